#ifndef SELVANE_TRAINING_CONSOLE_H_
#define SELVANE_TRAINING_CONSOLE_H_

#include <string>
#include <string_view>

namespace selvane::training {

// Console
//
// Where training prints its progress lines. The production console is file
// descriptor 1; tests capture the lines (`testing::StringConsole`).
class Console {
 public:
  virtual ~Console() = default;

  // Prints `text`, which may hold several lines or part of one.
  virtual void print(std::string_view text) = 0;
};

// FdConsole
//
// A line-buffered console on a file descriptor: text is held until a line
// feed arrives, and then every complete line goes out in one write-all.
// Writing to the descriptor directly, not through Python's `sys.stdout`,
// keeps the core free of the interpreter.
class FdConsole final : public Console {
 public:
  // Prints to `fd`; `name` is the stream's name in failure messages.
  explicit FdConsole(int fd = 1, std::string name = "stdout")
      : fd_(fd), name_(std::move(name)) {}
  FdConsole(const FdConsole&) = delete;
  FdConsole& operator=(const FdConsole&) = delete;
  // Writes out an unfinished last line, ignoring errors.
  ~FdConsole() override;

  // Buffers `text` and writes out every completed line. Panics with "failed
  // printing to <name>: " and the error's description when a write fails.
  void print(std::string_view text) override;

 private:
  int fd_;
  std::string name_;
  std::string pending_;
};

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_CONSOLE_H_
