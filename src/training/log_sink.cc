#include "training/log_sink.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "training/save_model.h"

namespace selvane::training {
namespace {

constexpr std::string_view kLogsFilePrefix = "To Work";
constexpr std::string_view kLogsFileAgainPrefix =
    "Logs File throws an error To Work";
constexpr std::string_view kMergeLogPrefix = "To Work";
constexpr std::string_view kLogWritePrefix = "To Work";

constexpr int kCreateTruncate = O_WRONLY | O_CREAT | O_TRUNC;

// Whether both paths name one existing regular file. A path that names
// nothing (or cannot be looked at) cannot be destroyed by truncating the
// other, and neither can a device such as /dev/null.
bool same_file(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::stat(a.c_str(), &first) == 0 && S_ISREG(first.st_mode) &&
         ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

}  // namespace

void FileLogSink::write(std::string_view bytes) {
  write_all(file_.get(), bytes, kLogWritePrefix);
}

void refuse_self_destruction(const std::string& logs_file,
                             const std::string& train_file) {
  if (same_file(logs_file, train_file)) {
    fail(kLogsFilePrefix,
         "logs_file is the same file as train_file; refused before "
         "truncating it");
  }
  if (same_file(logs_file, kModelFileName)) {
    fail(kLogsFilePrefix,
         "logs_file is the same file as the model file \"tokenizer\"; "
         "refused before truncating it");
  }
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
