#include "base/os_error.h"

#include <cerrno>
#include <cstring>

namespace selvane {
namespace {

// strerror_r comes in two shapes: the GNU one returns the message (which may
// be a static string rather than the buffer), the POSIX one fills the buffer
// and returns 0 or an error number. Overloading on the result type picks the
// right reading for whichever the C library declares.
[[maybe_unused]] const char* strerror_text(const char* result, const char*) {
  return result;
}
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string_view os_error_kind(int code) {
  switch (code) {
    case EPERM:
    case EACCES:
      return "PermissionDenied";
    case ENOENT:
      return "NotFound";
    case EINTR:
      return "Interrupted";
    case E2BIG:
      return "ArgumentListTooLong";
    case EAGAIN:
      return "WouldBlock";
    case ENOMEM:
      return "OutOfMemory";
    case EBUSY:
      return "ResourceBusy";
    case EEXIST:
      return "AlreadyExists";
    case EXDEV:
      return "CrossesDevices";
    case ENOTDIR:
      return "NotADirectory";
    case EISDIR:
      return "IsADirectory";
    case EINVAL:
      return "InvalidInput";
    case ETXTBSY:
      return "ExecutableFileBusy";
    case EFBIG:
      return "FileTooLarge";
    case ENOSPC:
      return "StorageFull";
    case ESPIPE:
      return "NotSeekable";
    case EROFS:
      return "ReadOnlyFilesystem";
    case EMLINK:
      return "TooManyLinks";
    case EPIPE:
      return "BrokenPipe";
    case EDEADLK:
      return "Deadlock";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENOSYS:
      return "Unsupported";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case ELOOP:
      return "FilesystemLoop";
    case EADDRINUSE:
      return "AddrInUse";
    case EADDRNOTAVAIL:
      return "AddrNotAvailable";
    case ENETDOWN:
      return "NetworkDown";
    case ENETUNREACH:
      return "NetworkUnreachable";
    case ECONNABORTED:
      return "ConnectionAborted";
    case ECONNRESET:
      return "ConnectionReset";
    case ENOTCONN:
      return "NotConnected";
    case ETIMEDOUT:
      return "TimedOut";
    case ECONNREFUSED:
      return "ConnectionRefused";
    case EHOSTUNREACH:
      return "HostUnreachable";
    case ESTALE:
      return "StaleNetworkFileHandle";
    case EDQUOT:
      return "FilesystemQuotaExceeded";
    default:
      return "Uncategorized";
  }
}

std::string describe_os_error(int code) {
  char buffer[256] = {};
  const char* message =
      strerror_text(::strerror_r(code, buffer, sizeof buffer), buffer);

  std::string out = "Os { code: ";
  out += std::to_string(code);
  out += ", kind: ";
  out += os_error_kind(code);
  out += ", message: \"";
  for (const char* c = message; *c != '\0'; ++c) {
    // The message sits between double quotes, so quotes and the escape
    // character itself are escaped.
    if (*c == '"' || *c == '\\') out += '\\';
    out += *c;
  }
  out += "\" }";
  return out;
}

}  // namespace selvane
