// Replays the fuzzers' seed corpora and saved findings through the same
// property checks, so that every input a fuzzer once needed stays tested in
// the ordinary build.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

#include "../../fuzz/grapheme_check.h"
#include "../../fuzz/model_file_check.h"
#include "../../fuzz/rank_check.h"
#include "../../fuzz/round_trip_check.h"
#include "../../fuzz/unit_check.h"
#include "../../fuzz/utf8_check.h"

namespace selvane::fuzz {

// A failing property ends the input's check with this exception.
class PropertyFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void property_failed(std::string_view what) {
  throw PropertyFailure(std::string(what));
}

// The replay does not watch the allocator.
void start_allocation_watch() {}
std::size_t largest_allocation() { return 0; }

namespace {

template <typename Check>
void replay(const std::string& target, Check check) {
  const std::filesystem::path dir =
      std::filesystem::path(SELVANE_SOURCE_DIR) / "fuzz" / "corpus" / target;
  int inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)),
                            std::istreambuf_iterator<char>());
    try {
      check(bytes);
    } catch (const PropertyFailure& failure) {
      ADD_FAILURE() << entry.path() << ": " << failure.what();
    }
    ++inputs;
  }
  EXPECT_GT(inputs, 0) << "no inputs in " << dir;
}

TEST(FuzzCorpusTest, ModelFiles) { replay("model_file", check_model_file); }
TEST(FuzzCorpusTest, Utf8) { replay("utf8", check_utf8); }
TEST(FuzzCorpusTest, Grapheme) { replay("grapheme", check_grapheme); }
TEST(FuzzCorpusTest, RoundTrip) { replay("round_trip", check_round_trip); }
TEST(FuzzCorpusTest, Unit) { replay("unit", check_unit); }
TEST(FuzzCorpusTest, Rank) { replay("rank", check_rank); }

// The checks themselves catch faults: a broken expectation fails.
TEST(FuzzCorpusTest, ChecksReportViolations) {
  EXPECT_THROW(require(false, "never holds"), PropertyFailure);
  // 23 zero bytes fail to decode, which the check accepts as an error.
  EXPECT_NO_THROW(check_model_file(std::string(23, '\0')));
}

}  // namespace
}  // namespace selvane::fuzz
