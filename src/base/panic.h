#ifndef SELVANE_BASE_PANIC_H_
#define SELVANE_BASE_PANIC_H_

#include <exception>
#include <source_location>
#include <string>

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

// Writes the panic report for `message` at `where` to standard error.
void report_panic(const std::string& message, std::source_location where);

}  // namespace selvane

#endif  // SELVANE_BASE_PANIC_H_
