#ifndef SELVANE_TRAINING_LOG_SINK_H_
#define SELVANE_TRAINING_LOG_SINK_H_

#include <string>
#include <string_view>

#include "base/file_io.h"

namespace selvane::training {

// The file that receives the merge lines when `print_logs` is true.
inline constexpr char kMergeLogFileName[] = "log.txt";

// What a logs file holds once `print_logs` has sent the log to "log.txt".
inline constexpr std::string_view kLogsFileStarted = "Started \n ";

// LogSink
//
// Where training writes its merge lines and chunk separators. The production
// sink is a file; tests capture the text (`testing::StringLogSink`).
class LogSink {
 public:
  virtual ~LogSink() = default;

  // Writes all of `bytes` at once, without buffering.
  virtual void write(std::string_view bytes) = 0;
};

// FileLogSink
//
// A log sink on an open file. Every write goes to the operating system at
// once, so the log is complete up to the moment a call fails.
class FileLogSink final : public LogSink {
 public:
  // Takes ownership of `file`, which is closed with the sink.
  explicit FileLogSink(UniqueFd file) : file_(std::move(file)) {}

  // Writes all of `bytes`; panics with "To Work: " and the error's
  // description on failure.
  void write(std::string_view bytes) override;

  // Returns the descriptor written to.
  int fd() const { return file_.get(); }

 private:
  UniqueFd file_;
};

// refuse_self_destruction()
//
// Panics with a "To Work" message when `logs_file` is the same file
// (device and inode, links followed) as `train_file` or as the model file
// "tokenizer": creating the log would truncate the corpus or the model.
// Call it before any file is created or truncated.
void refuse_self_destruction(const std::string& logs_file,
                             const std::string& train_file);

// Opens the log sink of a training call. `logs_file` is created or truncated
// either way; with `print_logs` it then holds just "Started \n ", and the sink
// is "log.txt" opened for appending. Panics with "To Work" or "Logs File
// throws an error To Work" and the error's description when a step fails.
FileLogSink open_log_sink(const std::string& logs_file, bool print_logs);

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_LOG_SINK_H_
