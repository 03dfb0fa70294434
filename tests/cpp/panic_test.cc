#include "base/panic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace selvane {
namespace {

TEST(Panic, ReportGivesTheDetailAndTheExceptionOnlyTheMessage) {
  ::testing::internal::CaptureStderr();
  std::string message;
  try {
    panic_with("This should not happen", "pair (3, 4): count 0");
  } catch (const Panic& failure) {
    message = failure.message();
  }
  const std::string report = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(message, "This should not happen");
  EXPECT_TRUE(report.starts_with("thread 'main' panicked at ")) << report;
  EXPECT_TRUE(
      report.ends_with("\nThis should not happen\npair (3, 4): count 0\n"))
      << report;

  // Without a detail the report is the two lines it always was.
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(panic("Counter should not be zero"), Panic);
  const std::string plain = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(plain.ends_with(":\nCounter should not be zero\n")) << plain;
  EXPECT_EQ(std::count(plain.begin(), plain.end(), '\n'), 2);
}

}  // namespace
}  // namespace selvane
