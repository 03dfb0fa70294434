#ifndef SELVANE_TESTS_TESTING_CAPTURE_H_
#define SELVANE_TESTS_TESTING_CAPTURE_H_

#include <string>
#include <string_view>

#include "training/console.h"
#include "training/log_sink.h"

namespace selvane::testing {

// StringConsole
//
// A console that keeps everything printed to it.
class StringConsole final : public training::Console {
 public:
  // Appends `text` to the captured output.
  void print(std::string_view text) override { text_ += text; }

  // Returns everything printed so far.
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// StringLogSink
//
// A log sink that keeps everything written to it.
class StringLogSink final : public training::LogSink {
 public:
  // Appends `bytes` to the captured log.
  void write(std::string_view bytes) override { text_ += bytes; }

  // Returns everything written so far.
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace selvane::testing

#endif  // SELVANE_TESTS_TESTING_CAPTURE_H_
