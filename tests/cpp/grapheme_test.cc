#include "text/grapheme.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "testing/next_grapheme_break.h"
#include "testing/plain_grapheme.h"
#include "text/grapheme_break_tables_generated.h"
#include "text/utf8.h"

namespace selvane::text {
namespace {

std::string unicode_file(const std::string& name) {
  return std::string(SELVANE_SOURCE_DIR) + "/third_party/unicode-" +
         std::string(kUnicodeVersion) + "/" + name;
}

// A text with its expected cluster end offsets.
struct Case {
  std::string text;
  std::vector<std::size_t> ends;
};

// Parses the "÷ 0628 × 0651 ÷" notation: hex code points, with ÷ where a
// cluster ends and × where it does not.
Case parse_case(const std::string& line) {
  Case c;
  std::istringstream words(line);
  std::string word;
  while (words >> word) {
    if (word == "\xC3\xB7") {  // ÷
      if (!c.text.empty()) c.ends.push_back(c.text.size());
    } else if (word != "\xC3\x97") {  // ×
      append_code_point(c.text,
                        static_cast<char32_t>(std::stoul(word, nullptr, 16)));
    }
  }
  return c;
}

// Copies `text` to a heap block of exactly its size, so that a read past the
// end is a heap overflow under AddressSanitizer.
class ExactCopy {
 public:
  explicit ExactCopy(std::string_view text)
      : bytes_(new char[text.size()]), size_(text.size()) {
    std::copy(text.begin(), text.end(), bytes_.get());
  }
  std::string_view view() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

// The cluster ends that for_each_grapheme visits.
std::vector<std::size_t> fast_ends(std::string_view text) {
  const ExactCopy copy(text);
  const std::string_view view = copy.view();
  std::vector<std::size_t> ends;
  for_each_grapheme(view, [&](std::string_view cluster) {
    ends.push_back(static_cast<std::size_t>(cluster.data() - view.data()) +
                   cluster.size());
  });
  return ends;
}

// The cluster ends from next_grapheme_breaks, `capacity` at a time, or from
// next_grapheme_break when `capacity` is 0.
std::vector<std::size_t> batch_ends(std::string_view text,
                                    std::size_t capacity) {
  const ExactCopy copy(text);
  std::vector<std::size_t> ends;
  std::vector<std::size_t> batch(capacity);
  std::size_t start = 0;
  while (start < text.size()) {
    if (capacity == 0) {
      start = next_grapheme_break(copy.view(), start);
      ends.push_back(start);
      continue;
    }
    const std::size_t count = next_grapheme_breaks(copy.view(), start, batch);
    if (count == 0) {
      ADD_FAILURE() << "no boundary after " << start;
      break;
    }
    ends.insert(ends.end(), batch.begin(),
                batch.begin() + static_cast<std::ptrdiff_t>(count));
    start = ends.back();
  }
  return ends;
}

// Checks every entry point of the segmenter, and the plain one.
void expect_segments(const Case& c, const std::string& label) {
  EXPECT_EQ(fast_ends(c.text), c.ends) << label;
  EXPECT_EQ(plain_grapheme_breaks(c.text), c.ends) << label;
  for (const std::size_t capacity : {0u, 1u, 3u}) {
    EXPECT_EQ(batch_ends(c.text, capacity), c.ends) << label << capacity;
  }
}

TEST(Grapheme, ConformanceFile) {
  std::ifstream file(unicode_file("GraphemeBreakTest.txt"));
  ASSERT_TRUE(file) << unicode_file("GraphemeBreakTest.txt");
  std::string line;
  int lines_run = 0;
  while (std::getline(file, line)) {
    const std::size_t hash = line.find('#');
    const std::string body = line.substr(0, hash);
    if (body.find_first_not_of(" \t") == std::string::npos) continue;
    expect_segments(parse_case(body), line);
    ++lines_run;
  }
  EXPECT_EQ(lines_run, 602);
}

// Parses a UCD property file into `values` as `bits` per listed code point,
// using `name_bits` for the value names.
void read_property_file(const std::string& path,
                        const std::vector<std::pair<std::string, int>>& names,
                        std::vector<std::uint8_t>& values) {
  std::ifstream file(path);
  ASSERT_TRUE(file) << path;
  std::string line;
  while (std::getline(file, line)) {
    line = line.substr(0, line.find('#'));
    const std::size_t semicolon = line.find(';');
    if (semicolon == std::string::npos) continue;
    const std::string range = line.substr(0, semicolon);
    std::string name = line.substr(semicolon + 1);
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    const std::size_t dots = range.find("..");
    const unsigned long first = std::stoul(range, nullptr, 16);
    const unsigned long last =
        dots == std::string::npos
            ? first
            : std::stoul(range.substr(dots + 2), nullptr, 16);
    for (const auto& [known, bits] : names) {
      if (known != name) continue;
      for (unsigned long cp = first; cp <= last; ++cp) {
        values[cp] = static_cast<std::uint8_t>(values[cp] | bits);
      }
    }
  }
}

TEST(Grapheme, TablesMatchDataFilesForEveryCodePoint) {
  std::vector<std::uint8_t> expected(0x110000, 0);
  read_property_file(unicode_file("GraphemeBreakProperty.txt"),
                     {{"CR", 1},
                      {"LF", 2},
                      {"Control", 3},
                      {"Extend", 4},
                      {"ZWJ", 5},
                      {"Regional_Indicator", 6},
                      {"Prepend", 7},
                      {"SpacingMark", 8},
                      {"L", 9},
                      {"V", 10},
                      {"T", 11},
                      {"LV", 12},
                      {"LVT", 13}},
                     expected);
  read_property_file(unicode_file("emoji-data.txt"),
                     {{"Extended_Pictographic", kExtendedPictographicBit}},
                     expected);
  std::size_t mismatches = 0;
  for (char32_t cp = 0; cp < expected.size(); ++cp) {
    if (grapheme_properties(cp) != expected[cp] && ++mismatches <= 5) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(cp);
    }
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(grapheme_properties(0x110000), 0);
  EXPECT_EQ(grapheme_properties(0xFFFFFFFF), 0);
}

TEST(Grapheme, ArabicText) {
  const char* const cases[] = {
      // Letter with shadda and fatha; tanween; superscript alef.
      "÷ 0628 × 0651 × 064E ÷ 0627 ÷",
      "÷ 0643 × 064F ÷ 062A × 064F ÷ 0628 × 064C ÷",
      "÷ 0628 × 064B ÷ 0627 ÷",
      "÷ 0647 × 0670 ÷ 0630 × 0650 ÷ 0647 ÷",
      // Tatweel is a letter of its own and can carry marks.
      "÷ 0628 ÷ 0640 × 064E ÷ 0640 ÷ 0627 ÷",
      // Lam then alef are two clusters; the ligature is one.
      "÷ 0644 × 064E ÷ 0627 ÷",
      "÷ FEFB ÷ FEFC × 064B ÷",
      // Presentation forms take marks like the letters.
      "÷ FE91 ÷ FEE4 × 0651 ÷ FE8E ÷",
      "÷ FB50 ÷ FDF2 ÷",
      // Prepend: number signs hold on to the digits after them.
      "÷ 0600 × 0661 ÷ 0662 ÷",
      "÷ 0601 × 0031 ÷ 0032 ÷",
      "÷ 0602 × 0033 ÷",
      "÷ 0603 × 0664 ÷",
      "÷ 0604 × 0035 ÷",
      "÷ 0605 × 0036 ÷",
      "÷ 06DD × 0661 ÷",
      "÷ 0600 × 0020 ÷",
      "÷ 0600 ÷ 000A ÷",
      "÷ 0600 × 0600 × 0661 ÷",
      // ZWNJ is Extend; ZWJ between letters joins only to the left.
      "÷ 0644 × 200C ÷ 0627 ÷",
      "÷ 0644 × 200D ÷ 0627 ÷",
      "÷ 0628 × 200D ÷ 1F600 ÷",
      // CR LF and controls.
      "÷ 0628 ÷ 000D × 000A ÷ 0628 ÷",
      "÷ 000D ÷ 064E ÷",
      "÷ 000A ÷ 000D ÷",
      "÷ 0628 ÷ 061C ÷ 064E ÷",
      "÷ 0628 ÷ 200F ÷ 0627 ÷",
      "÷ 0020 × 064E ÷ 0628 ÷",
      // Emoji inside Arabic text: ZWJ sequences, modifiers, flags.
      "÷ 0645 ÷ 1F468 × 200D × 1F469 × 200D × 1F467 ÷ 0627 ÷",
      "÷ 0634 ÷ 1F44D × 1F3FB ÷ 0634 ÷",
      "÷ 2764 × FE0F × 200D × 1F525 ÷ 0020 ÷",
      "÷ 1F600 × 064E ÷ 0628 ÷",
      "÷ 0627 ÷ 1F1F8 × 1F1E6 ÷ 1F1EA × 1F1EC ÷ 0020 ÷",
      "÷ 1F1F8 × 1F1E6 ÷ 1F1EA ÷ 0628 ÷",
      "÷ 0600 × 1F1F8 × 1F1E6 ÷ 1F1EA ÷",
      "÷ 1F1F8 × 064E ÷ 1F1E6 ÷",
      "÷ 1F600 × 200D ÷ 0628 × 200D ÷ 1F600 ÷",
  };
  for (const char* const line : cases) expect_segments(parse_case(line), line);
}

TEST(Grapheme, IllFormedBytesAreClustersOfTheirOwn) {
  // Each byte that does not start a well-formed sequence is one cluster, and
  // a truncated sequence at the very end is read no further than the end.
  const Case cases[] = {
      {"\xFF", {1}},
      {"a\xCC", {1, 2}},
      {"\xCC\x81", {2}},
      {"a\xCC\x81\xCC", {3, 4}},
      {"\xE0\xA0", {1, 2}},
      {"\xE0\x80\x80", {1, 2, 3}},
      {"\xED\xA0\x80", {1, 2, 3}},
      {"\xF4\x90\x80\x80", {1, 2, 3, 4}},
      {"\xF0\x9F\x98", {1, 2, 3}},
      {"\xC0\x80", {1, 2}},
      // A stray byte does not take the mark after it.
      {"\x80\xD9\x8E", {1, 3}},
      {"\xD8\xA8\xFF\xD9\x8E", {2, 3, 5}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fast_ends(c.text), c.ends);
    EXPECT_EQ(plain_grapheme_breaks(c.text), c.ends);
  }
  EXPECT_TRUE(fast_ends("").empty());
  EXPECT_TRUE(plain_grapheme_breaks("").empty());
  std::size_t unused = 0;
  EXPECT_EQ(next_grapheme_breaks("ab", 0, std::span(&unused, 0)), 0u);
}

// One code point of each property (and pictographic, and ill-formed bytes),
// as UTF-8 pieces.
std::vector<std::string> property_samples() {
  const char32_t points[] = {
      0x0061,   // Other
      0x0628,   // Other (Arabic)
      0x000D,   // CR
      0x000A,   // LF
      0x0001,   // Control
      0x064E,   // Extend
      0x1F3FB,  // Extend (emoji modifier)
      0x200D,   // ZWJ
      0x1F1E6,  // Regional_Indicator
      0x0600,   // Prepend
      0x0903,   // SpacingMark
      0x1100,   // L
      0x1160,   // V
      0x11A8,   // T
      0xAC00,   // LV
      0xAC01,   // LVT
      0x1F600,  // Other, Extended_Pictographic
      0x00A9,   // Other, Extended_Pictographic (two bytes)
  };
  std::vector<std::string> samples;
  for (const char32_t cp : points) {
    samples.emplace_back();
    append_code_point(samples.back(), cp);
  }
  samples.push_back("\xFF");      // never starts a sequence
  samples.push_back("\xE0\xA0");  // truncated, or cut by what follows
  samples.push_back("\x80");      // lone continuation byte
  return samples;
}

TEST(Grapheme, FastEqualsPlainOnEveryShortString) {
  const std::vector<std::string> samples = property_samples();
  const std::size_t n = samples.size();
  std::size_t checked = 0;
  for (std::size_t length = 1; length <= 4; ++length) {
    std::vector<std::size_t> digits(length, 0);
    while (true) {
      std::string text;
      for (const std::size_t d : digits) text += samples[d];
      ASSERT_EQ(fast_ends(text), plain_grapheme_breaks(text)) << text;
      ++checked;
      std::size_t k = 0;
      while (k < length && ++digits[k] == n) digits[k++] = 0;
      if (k == length) break;
    }
  }
  EXPECT_EQ(checked, n + n * n + n * n * n + n * n * n * n);
}

TEST(Grapheme, FastEqualsPlainOnRandomStrings) {
  const std::vector<std::string> samples = property_samples();
  std::mt19937 random(20260815);
  std::uniform_int_distribution<std::size_t> pick(0, samples.size() - 1);
  std::uniform_int_distribution<std::size_t> length(5, 40);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (std::size_t k = length(random); k > 0; --k)
      text += samples[pick(random)];
    const std::vector<std::size_t> expected = plain_grapheme_breaks(text);
    ASSERT_EQ(fast_ends(text), expected) << round;
    ASSERT_EQ(batch_ends(text, 0), expected) << round;
    ASSERT_EQ(batch_ends(text, 5), expected) << round;
  }
}

// Real Arabic prose with its marks, whole and cut at every byte into pieces
// that put ill-formed bytes and stray marks where runs of letters are
// segmented without the state machine.
TEST(Grapheme, FastEqualsPlainOnSampleText) {
  std::ifstream file(std::string(SELVANE_SOURCE_DIR) +
                     "/data/sample/tashkeela-msa-excerpt.txt");
  ASSERT_TRUE(file);
  std::ostringstream contents;
  contents << file.rdbuf();
  const std::string text = contents.str().substr(0, 200000);
  ASSERT_GT(text.size(), 10000u);
  EXPECT_EQ(fast_ends(text), plain_grapheme_breaks(text));
  EXPECT_EQ(batch_ends(text, 7), plain_grapheme_breaks(text));
  const std::string piece = text.substr(0, 400);
  const std::vector<std::string> samples = property_samples();
  for (std::size_t at = 0; at <= piece.size(); ++at) {
    for (const std::string& inserted : samples) {
      const std::string mixed =
          piece.substr(0, at) + inserted + piece.substr(at);
      ASSERT_EQ(fast_ends(mixed), plain_grapheme_breaks(mixed))
          << at << " " << inserted;
    }
    // Cut there: the text may end inside a code point.
    ASSERT_EQ(fast_ends(piece.substr(0, at)),
              plain_grapheme_breaks(piece.substr(0, at)))
        << at;
  }
}

// Long random runs of plain code points (letters, marks, spaces, controls,
// ZWJ, SpacingMark, Latin-1) with an occasional code point that the plain
// runs cannot take, at every batch size that cuts them.
TEST(Grapheme, FastEqualsPlainOnPlainRuns) {
  const char32_t plain[] = {0x0628, 0x0627, 0x064E, 0x0651, 0x0020, 0x0061,
                            0x0031, 0x000A, 0x0009, 0x061C, 0x00AD, 0x200D,
                            0x0903, 0x00E9, 0x0670, 0x0085};
  const char32_t others[] = {0x000D,  0x0600, 0x1F600, 0x00A9,
                             0x1F1E6, 0xFEFB, 0x1100,  0xAC00};
  std::mt19937 random(20261209);
  std::uniform_int_distribution<std::size_t> pick_plain(0,
                                                        std::size(plain) - 1);
  std::uniform_int_distribution<std::size_t> pick_other(0,
                                                        std::size(others) - 1);
  std::uniform_int_distribution<int> percent(0, 99);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int length = 1 + percent(random);
    for (int k = 0; k < length; ++k) {
      const int roll = percent(random);
      if (roll < 4) {
        append_code_point(text, others[pick_other(random)]);
      } else if (roll < 5) {
        text += static_cast<char>(0xC0 + percent(random) % 64);
      } else {
        append_code_point(text, plain[pick_plain(random)]);
      }
    }
    const std::vector<std::size_t> expected = plain_grapheme_breaks(text);
    ASSERT_EQ(fast_ends(text), expected) << round;
    for (const std::size_t capacity : {1u, 2u, 9u}) {
      ASSERT_EQ(batch_ends(text, capacity), expected) << round << capacity;
    }
  }
}

}  // namespace
}  // namespace selvane::text
