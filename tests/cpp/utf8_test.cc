#include "text/utf8.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace selvane::text {
namespace {

// The reference reads each sequence by arithmetic: a prefix is good when some
// scalar value of the length its lead byte announces starts with it. The
// longest good prefix is the maximal subpart that one U+FFFD replaces.
struct RefStep {
  std::size_t length;  // Of the sequence, or of the maximal subpart.
  bool valid;
  bool truncated;  // Good so far, but the bytes ended.
};

bool good_prefix(std::string_view bytes, std::size_t i, std::size_t k,
                 std::size_t n) {
  if (i + k > bytes.size()) return false;
  const auto lead = static_cast<std::uint8_t>(bytes[i]);
  std::uint32_t low = lead & (0x7Fu >> n);
  for (std::size_t j = 1; j < k; ++j) {
    const auto byte = static_cast<std::uint8_t>(bytes[i + j]);
    if ((byte & 0xC0) != 0x80) return false;
    low = (low << 6) | (byte & 0x3Fu);
  }
  std::uint32_t high = low;
  for (std::size_t j = k; j < n; ++j) {
    low <<= 6;
    high = (high << 6) | 0x3F;
  }
  const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  const std::uint32_t largest[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
  const std::uint32_t a = std::max(low, smallest[n]);
  const std::uint32_t b = std::min(high, largest[n]);
  return a <= b && !(a >= 0xD800 && b <= 0xDFFF);
}

RefStep ref_step(std::string_view bytes, std::size_t i) {
  const auto lead = static_cast<std::uint8_t>(bytes[i]);
  const std::size_t n = lead < 0x80   ? 1
                        : lead < 0xC0 ? 0
                        : lead < 0xE0 ? 2
                        : lead < 0xF0 ? 3
                        : lead < 0xF8 ? 4
                                      : 0;
  if (n == 0) return {1, false, false};
  std::size_t k = 0;
  while (k < n && good_prefix(bytes, i, k + 1, n)) ++k;
  if (k == n) return {n, true, false};
  if (k > 0 && i + k == bytes.size()) return {k, false, true};
  return {std::max<std::size_t>(k, 1), false, false};
}

std::optional<Utf8Error> ref_validate(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const RefStep step = ref_step(bytes, i);
    if (!step.valid) {
      return Utf8Error{
          i, step.truncated ? std::nullopt : std::optional(step.length)};
    }
    i += step.length;
  }
  return std::nullopt;
}

std::string ref_lossy(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size();) {
    const RefStep step = ref_step(bytes, i);
    out += step.valid ? bytes.substr(i, step.length) : "\xEF\xBF\xBD";
    i += step.length;
  }
  return out;
}

std::string describe(const std::optional<Utf8Error>& error) {
  if (!error) return "valid";
  return "valid_up_to " + std::to_string(error->valid_up_to) + " error_len " +
         (error->error_len ? std::to_string(*error->error_len) : "None");
}

std::string hex(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    const auto byte = static_cast<std::uint8_t>(c);
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
    out += ' ';
  }
  return out;
}

// Checks both entry points against the reference.
void expect_like_reference(std::string_view bytes) {
  ASSERT_EQ(describe(validate_utf8(bytes)), describe(ref_validate(bytes)))
      << hex(bytes);
  ASSERT_EQ(decode_utf8_lossy(bytes), ref_lossy(bytes)) << hex(bytes);
}

constexpr std::string_view kFffd = "\xEF\xBF\xBD";

TEST(Utf8, ErrorPositions) {
  struct Case {
    std::string bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"\xFF"
       "A",
       "valid_up_to 0 error_len 1"},
      {"A\xD8", "valid_up_to 1 error_len None"},
      {"", "valid"},
      {"\xD8\xA8\xD9\x8E", "valid"},
      {"\xF0\x9F\x98\x80", "valid"},
      {"\xF4\x8F\xBF\xBF", "valid"},
      // Truncated: valid as far as the bytes go.
      {"\xE0\xA0", "valid_up_to 0 error_len None"},
      {"ab\xF0\x9F\x98", "valid_up_to 2 error_len None"},
      // Cut by a byte that does not continue: the prefix is the error.
      {"\xE1\x80"
       "A",
       "valid_up_to 0 error_len 2"},
      {"\xF1\x80\x80"
       "A",
       "valid_up_to 0 error_len 3"},
      // Overlong forms, surrogates, above U+10FFFF: the lead byte alone.
      {"\xC0\x80", "valid_up_to 0 error_len 1"},
      {"\xC1\xBF", "valid_up_to 0 error_len 1"},
      {"\xE0\x80\x80", "valid_up_to 0 error_len 1"},
      {"\xF0\x80\x80\x80", "valid_up_to 0 error_len 1"},
      {"\xED\xA0\x80", "valid_up_to 0 error_len 1"},
      {"\xF4\x90\x80\x80", "valid_up_to 0 error_len 1"},
      {"\xF5\x80\x80\x80", "valid_up_to 0 error_len 1"},
      {"\x80", "valid_up_to 0 error_len 1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describe(validate_utf8(c.bytes)), c.expected) << hex(c.bytes);
  }
}

TEST(Utf8, LossyReplacesEachMaximalSubpart) {
  const std::string fffd(kFffd);
  EXPECT_EQ(decode_utf8_lossy("\xC0\x80"), fffd + fffd);
  EXPECT_EQ(decode_utf8_lossy("\xE0\x80\x80"), fffd + fffd + fffd);
  EXPECT_EQ(decode_utf8_lossy("\xED\xA0\x80"), fffd + fffd + fffd);
  EXPECT_EQ(decode_utf8_lossy("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);
  EXPECT_EQ(decode_utf8_lossy("\xE1\x80"
                              "A"),
            fffd + "A");
  EXPECT_EQ(decode_utf8_lossy("\xF1\x80\x80"), fffd);
  EXPECT_EQ(decode_utf8_lossy("a\xFF"
                              "b"),
            "a" + fffd + "b");
  // Appending keeps what is already there.
  std::string out = "x";
  append_utf8_lossy(out, "\xD8\xA8\xFF");
  EXPECT_EQ(out, "x\xD8\xA8" + fffd);
}

TEST(Utf8, EveryStringOfOneAndTwoBytes) {
  for (int a = 0; a < 256; ++a) {
    const std::string one(1, static_cast<char>(a));
    expect_like_reference(one);
    for (int b = 0; b < 256; ++b) {
      expect_like_reference(one + static_cast<char>(b));
    }
  }
}

TEST(Utf8, ShapeOfEveryCodePoint) {
  EXPECT_EQ(code_point_shape("").count, 0u);
  EXPECT_EQ(code_point_shape("").max, 0u);
  std::string all;
  std::uint32_t sampled = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string one;
    append_code_point(one, c);
    const CodePointShape shape = code_point_shape(one);
    ASSERT_EQ(shape.count, 1u) << static_cast<unsigned>(c);
    ASSERT_EQ(shape.max, c);
    if (c < 0x10000) {
      ASSERT_EQ(shape.head[0], c);
    }
    if (c % 997 == 0) {
      all += one;
      ++sampled;
    }
  }
  // In a string, the count adds up and the largest wins wherever it is.
  const CodePointShape shape = code_point_shape(all + "a");
  EXPECT_EQ(shape.count, sampled + 1);
  EXPECT_EQ(shape.max, char32_t{0x10FFFF} / 997 * 997);
  // The head keeps the first four code points as 16-bit units, zero after
  // the last.
  const CodePointShape short_text = code_point_shape("a\u0628\u00E9");
  EXPECT_EQ(short_text.head,
            (std::array<std::uint16_t, 4>{'a', 0x0628, 0xE9, 0}));
  EXPECT_EQ(code_point_shape("\uFFFFbcdef").head,
            (std::array<std::uint16_t, 4>{0xFFFF, 'b', 'c', 'd'}));
}

// Bytes at the edges of every range that the lead bytes distinguish.
const std::vector<std::uint8_t> kEdgeBytes = {
    0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
    0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};

TEST(Utf8, EveryStringOfThreeAndFourEdgeBytes) {
  const std::size_t n = kEdgeBytes.size();
  for (std::size_t length = 3; length <= 4; ++length) {
    std::vector<std::size_t> digits(length, 0);
    while (true) {
      std::string bytes;
      for (const std::size_t d : digits) {
        bytes += static_cast<char>(kEdgeBytes[d]);
      }
      expect_like_reference(bytes);
      std::size_t k = 0;
      while (k < length && ++digits[k] == n) digits[k++] = 0;
      if (k == length) break;
    }
  }
}

TEST(Utf8, RandomStringsAroundTheAsciiRuns) {
  // Long ASCII runs take the eight-byte path; errors at every offset of it.
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> pick(0, kEdgeBytes.size() - 1);
  std::uniform_int_distribution<int> ascii_run(0, 20);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    for (int piece = 0; piece < 4; ++piece) {
      bytes.append(static_cast<std::size_t>(ascii_run(random)), 'a');
      for (int k = 0; k < 3; ++k) {
        bytes += static_cast<char>(kEdgeBytes[pick(random)]);
      }
    }
    expect_like_reference(bytes);
  }
}

TEST(Utf8, RandomStringsOfTwoByteSequences) {
  // Runs of Arabic letters and ASCII, read eight bytes at a time, with a
  // stray byte (a lone or overlong lead, a continuation, a longer form's
  // lead) at every offset of a window and around its last byte.
  const std::string_view pieces[] = {"\xD8\xA8", "\xD9\x8E", "\xC2\x80",
                                     "\xDF\xBF", " ",        "a"};
  const std::uint8_t strays[] = {0xC0, 0xC1, 0xC2, 0xDF, 0x80, 0xBF,
                                 0xE0, 0xED, 0xF0, 0xFF, 0xD8};
  std::mt19937 random(11);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<std::size_t> pick_stray(0,
                                                        std::size(strays) - 1);
  std::uniform_int_distribution<int> percent(0, 99);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    const int length = percent(random) / 2;
    for (int k = 0; k < length; ++k) {
      if (percent(random) < 3) {
        bytes += static_cast<char>(strays[pick_stray(random)]);
      } else {
        bytes += pieces[pick(random)];
      }
    }
    expect_like_reference(bytes);
  }
}

}  // namespace
}  // namespace selvane::text
