#include "base/panic.h"

#include <unistd.h>

#include "base/file_io.h"

namespace selvane {
namespace {

// Strips the build machine's directories so that reports name files as they
// stand in the source tree.
std::string_view source_relative(std::string_view path) {
  const std::size_t at = path.rfind("/src/");
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

}  // namespace

void report_panic(const std::string& message, std::source_location where,
                  std::string_view detail) {
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
  if (!detail.empty()) {
    report += detail;
    report += '\n';
  }
  // A failed write leaves nothing sensible to report to.
  static_cast<void>(try_write_all(STDERR_FILENO, report));
}

void panic(std::string message, std::source_location where) {
  report_panic(message, where);
  throw Panic(std::move(message));
}

void panic_with(std::string message, std::string_view detail,
                std::source_location where) {
  report_panic(message, where, detail);
  throw Panic(std::move(message));
}

}  // namespace selvane
