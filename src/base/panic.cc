#include "base/panic.h"

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace selvane {
namespace {

// Strips the build machine's directories so that reports name files as they
// stand in the source tree.
std::string_view source_relative(std::string_view path) {
  const std::size_t at = path.rfind("/src/");
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

void write_all_stderr(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // Nothing sensible is left to report to.
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

void report_panic(const std::string& message, std::source_location where) {
  std::string report = "thread '";
  report += gettid() == getpid() ? "main" : "<unnamed>";
  report += "' panicked at ";
  report += source_relative(where.file_name());
  report += ':';
  report += std::to_string(where.line());
  report += ':';
  report += std::to_string(where.column());
  report += ":\n";
  report += message;
  report += '\n';
  write_all_stderr(report);
}

void panic(std::string message, std::source_location where) {
  report_panic(message, where);
  throw Panic(std::move(message));
}

}  // namespace selvane
