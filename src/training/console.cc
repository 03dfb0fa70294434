#include "training/console.h"

#include "base/file_io.h"

namespace selvane::training {

FdConsole::~FdConsole() {
  // A destructor has no one to report a failed write to.
  static_cast<void>(try_write_all(fd_, pending_));
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
