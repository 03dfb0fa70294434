#ifndef SELVANE_BASE_PANIC_H_
#define SELVANE_BASE_PANIC_H_

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace selvane {

// Panic
//
// The one failure type of the core. It carries the message that the binding
// raises as the Python panic exception. Throw it only through `panic()`, which
// also writes the report to standard error.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// panic()
//
// Writes a panic report (thread, source location, message) to standard error
// and throws `Panic` with `message`.
[[noreturn]] void panic(
    std::string message,
    std::source_location where = std::source_location::current());

// panic_with()
//
// Like `panic()`, and the report also gives `detail`, what failed (the
// values involved), on the line after the message. The exception carries
// `message` alone, so what callers see stays the same.
[[noreturn]] void panic_with(
    std::string message, std::string_view detail,
    std::source_location where = std::source_location::current());

// Writes the panic report for `message` at `where` to standard error, with
// `detail` on a line of its own after the message when it is not empty.
void report_panic(const std::string& message, std::source_location where,
                  std::string_view detail = {});

}  // namespace selvane

#endif  // SELVANE_BASE_PANIC_H_
