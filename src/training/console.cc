#include "training/console.h"

#include <unistd.h>

#include <cerrno>

#include "base/panic.h"
#include "training/file_io.h"

namespace selvane::training {

FdConsole::~FdConsole() {
  std::string_view rest = pending_;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd_, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // A destructor has no one to report to.
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

void FdConsole::print(std::string_view text) {
  pending_ += text;
  const std::size_t last_line_feed = pending_.rfind('\n');
  if (last_line_feed == std::string::npos) return;
  // Take the complete lines out of the buffer before writing them, so that a
  // failed write is not repeated by the next print.
  const std::string lines = pending_.substr(0, last_line_feed + 1);
  pending_.erase(0, last_line_feed + 1);
  write_all(fd_, lines, "failed printing to " + name_);
}

}  // namespace selvane::training
