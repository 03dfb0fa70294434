#ifndef SELVANE_BASE_OS_ERROR_H_
#define SELVANE_BASE_OS_ERROR_H_

#include <string>
#include <string_view>

namespace selvane {

// Returns the kind name for an error number, "Uncategorized" when it has none
// of its own (2 gives "NotFound").
std::string_view os_error_kind(int code);

// Returns the description of a failed system call:
// Os { code: E, kind: K, message: "M" }, with the system's message M escaped.
std::string describe_os_error(int code);

// The description of a path that holds a NUL byte, which no system call can
// take.
inline constexpr std::string_view kNulInPathDescription =
    "Error { kind: InvalidInput, message: \"file name contained an unexpected "
    "NUL byte\" }";

// The description of a write that transferred no bytes.
inline constexpr std::string_view kWriteZeroDescription =
    "Error { kind: WriteZero, message: \"failed to write whole buffer\" }";

}  // namespace selvane

#endif  // SELVANE_BASE_OS_ERROR_H_
