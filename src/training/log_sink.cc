#include "training/log_sink.h"

#include <fcntl.h>

namespace selvane::training {
namespace {

constexpr std::string_view kLogsFilePrefix = "To Work";
constexpr std::string_view kLogsFileAgainPrefix =
    "Logs File throws an error To Work";
constexpr std::string_view kMergeLogPrefix = "To Work";
constexpr std::string_view kLogWritePrefix = "To Work";

constexpr int kCreateTruncate = O_WRONLY | O_CREAT | O_TRUNC;

}  // namespace

void FileLogSink::write(std::string_view bytes) {
  write_all(file_.get(), bytes, kLogWritePrefix);
}

FileLogSink open_log_sink(const std::string& logs_file, bool print_logs) {
  UniqueFd logs = open_file(logs_file, kCreateTruncate, kLogsFilePrefix);
  if (!print_logs) return FileLogSink(std::move(logs));
  // The logs file is opened, truncated and marked once more before the log
  // moves to "log.txt"; the move assignment closes the first handle.
  logs = open_file(logs_file, kCreateTruncate, kLogsFileAgainPrefix);
  write_all(logs.get(), kLogsFileStarted, kLogsFileAgainPrefix);
  UniqueFd merge_log = open_file(
      kMergeLogFileName, O_WRONLY | O_CREAT | O_APPEND, kMergeLogPrefix);
  return FileLogSink(std::move(merge_log));
}

}  // namespace selvane::training
