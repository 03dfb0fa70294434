#include "base/os_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace selvane {
namespace {

TEST(OsErrorKind, NamesByErrorNumber) {
  const std::pair<int, std::string_view> table[] = {
      {1, "PermissionDenied"},
      {2, "NotFound"},
      {4, "Interrupted"},
      {7, "ArgumentListTooLong"},
      {11, "WouldBlock"},
      {12, "OutOfMemory"},
      {13, "PermissionDenied"},
      {16, "ResourceBusy"},
      {17, "AlreadyExists"},
      {18, "CrossesDevices"},
      {20, "NotADirectory"},
      {21, "IsADirectory"},
      {22, "InvalidInput"},
      {26, "ExecutableFileBusy"},
      {27, "FileTooLarge"},
      {28, "StorageFull"},
      {29, "NotSeekable"},
      {30, "ReadOnlyFilesystem"},
      {31, "TooManyLinks"},
      {32, "BrokenPipe"},
      {35, "Deadlock"},
      {36, "InvalidFilename"},
      {38, "Unsupported"},
      {39, "DirectoryNotEmpty"},
      {40, "FilesystemLoop"},
      {98, "AddrInUse"},
      {99, "AddrNotAvailable"},
      {100, "NetworkDown"},
      {101, "NetworkUnreachable"},
      {103, "ConnectionAborted"},
      {104, "ConnectionReset"},
      {107, "NotConnected"},
      {110, "TimedOut"},
      {111, "ConnectionRefused"},
      {113, "HostUnreachable"},
      {116, "StaleNetworkFileHandle"},
      {122, "FilesystemQuotaExceeded"},
  };
  int named = 0;
  for (const auto& [code, kind] : table) {
    EXPECT_EQ(os_error_kind(code), kind) << code;
  }
  // Everything else up to well past the last Linux number is uncategorized.
  for (int code = -1; code < 200; ++code) {
    if (os_error_kind(code) != "Uncategorized") ++named;
  }
  EXPECT_EQ(named, std::size(table));
  EXPECT_EQ(os_error_kind(5), "Uncategorized");
  EXPECT_EQ(os_error_kind(23), "Uncategorized");
  EXPECT_EQ(os_error_kind(24), "Uncategorized");
}

TEST(DescribeOsError, FullForm) {
  EXPECT_EQ(describe_os_error(ENOENT),
            "Os { code: 2, kind: NotFound, message: \"No such file or "
            "directory\" }");
  EXPECT_EQ(describe_os_error(EISDIR),
            "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  EXPECT_EQ(describe_os_error(EIO),
            "Os { code: 5, kind: Uncategorized, message: \"" +
                std::string(std::strerror(EIO)) + "\" }");
  // A number the C library has no text for still gets its generic message.
  EXPECT_EQ(describe_os_error(4000),
            "Os { code: 4000, kind: Uncategorized, message: \"" +
                std::string(std::strerror(4000)) + "\" }");
}

TEST(DescribeOsError, MessagesAreQuotedSafely) {
  // Whatever the C library says, the text between the quotes never ends
  // early: every quote and backslash inside is escaped.
  for (int code = 0; code < 150; ++code) {
    const std::string d = describe_os_error(code);
    const std::string head = "message: \"";
    const std::size_t start = d.find(head) + head.size();
    ASSERT_EQ(d.substr(d.size() - 3), "\" }");
    for (std::size_t i = start; i < d.size() - 3; ++i) {
      if (d[i] == '\\') {
        ASSERT_TRUE(d[i + 1] == '"' || d[i + 1] == '\\') << d;
        ++i;
      } else {
        ASSERT_NE(d[i], '"') << d;
      }
    }
  }
}

}  // namespace
}  // namespace selvane
