#include "model/model_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// The largest single request to operator new while tracking is on, so tests
// can show that a corrupt count or length never reserves gigabytes.
bool tracking_allocations = false;
std::size_t largest_allocation = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (tracking_allocations && size > largest_allocation) {
    largest_allocation = size;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The nothrow form (std::stable_sort's temporary buffer uses it) must come
// from malloc too: the deletes below free whatever either form returned.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (tracking_allocations && size > largest_allocation) {
    largest_allocation = size;
  }
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace selvane::model {
namespace {

// Builds model file bytes by hand, independently of the encoder.
class Image {
 public:
  Image& u16(std::uint16_t v) {
    bytes_ += static_cast<char>(v & 0xFF);
    bytes_ += static_cast<char>(v >> 8);
    return *this;
  }
  Image& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
      bytes_ += static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
  }
  Image& raw(std::string_view b) {
    bytes_ += b;
    return *this;
  }
  // Records that [size now, size now + length) holds a `unicode_lookup` text.
  Image& text(std::string_view b) {
    text_ranges_.emplace_back(bytes_.size(), bytes_.size() + b.size());
    return raw(b);
  }
  const std::string& bytes() const { return bytes_; }
  const std::vector<std::pair<std::size_t, std::size_t>>& text_ranges() const {
    return text_ranges_;
  }

 private:
  std::string bytes_;
  std::vector<std::pair<std::size_t, std::size_t>> text_ranges_;
};

// Decodes a copy of `bytes` held in a heap block of exactly its size, so a
// read past the end is caught by the sanitizers; returns the description of
// the error, or "" on success.
std::string decode_error(std::string_view bytes, Data* out = nullptr) {
  std::unique_ptr<char[]> copy(
      new char[bytes.size() + (bytes.empty() ? 1 : 0)]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  try {
    Data data = decode_model(std::string_view(copy.get(), bytes.size()));
    if (out != nullptr) *out = std::move(data);
    return "";
  } catch (const ModelFileError& error) {
    return error.description();
  }
}

std::map<TokenId, std::string> lookup_of(const Data& data) {
  std::map<TokenId, std::string> out;
  data.lookup.for_each(
      [&out](TokenId id, const std::string& bytes) { out[id] = bytes; });
  return out;
}

std::map<PairKey, TokenId> merges_of(const Data& data) {
  return {data.merges.begin(), data.merges.end()};
}

std::map<std::string, TokenId> unicode_of(const Data& data) {
  return {data.unicode_lookup.begin(), data.unicode_lookup.end()};
}

std::string size_error(std::uint64_t n) {
  return "Custom(\"Invalid size " + std::to_string(n) +
         ": sizes must fit in a usize (0 to 4294967295)\")";
}

const std::string kEof = "Io(Kind(UnexpectedEof))";
const std::string kShortText =
    "Io(Custom { kind: UnexpectedEof, error: \"\" })";

// A model shaped like a trained one: the reserved entries, Arabic clusters,
// merges whose bytes join their parts, one empty token.
Image trained_like_image() {
  Image image;
  const std::vector<std::pair<TokenId, std::string>> tokens = {
      {0, ""},
      {1, "\xD8\xA8"},                  // beh
      {2, "\xD8\xA8\xD9\x8E"},          // beh + fatha, one cluster
      {3, "\xD9\x84"},                  // lam
      {4, "\xD8\xA8\xD9\x84"},          // merge of 1 and 3
      {5, "\xD8\xA8\xD9\x84\xD8\xA8"},  // merge of 4 and 1
  };
  image.u64(tokens.size());
  for (const auto& [id, bytes] : tokens)
    image.u16(id).u64(bytes.size()).raw(bytes);
  image.u64(2).u16(1).u16(3).u16(4).u16(4).u16(1).u16(5);
  const std::vector<std::pair<std::string, TokenId>> texts = {
      {"oov", 0}, {"\xD8\xA8", 1}, {"\xD8\xA8\xD9\x8E", 2}, {"\xD9\x84", 3}};
  image.u64(texts.size());
  for (const auto& [text, id] : texts)
    image.u64(text.size()).text(text).u16(id);
  return image;
}

TEST(ModelFile, WorkedExampleByteForByte) {
  const std::string expected(
      "\x01\0\0\0\0\0\0\0"
      "\x01\0"
      "\x02\0\0\0\0\0\0\0"
      "\xD8\xA8"
      "\x01\0\0\0\0\0\0\0"
      "\x01\0\x01\0\x02\0"
      "\x01\0\0\0\0\0\0\0"
      "\x02\0\0\0\0\0\0\0"
      "\xD8\xA8"
      "\x01\0",
      54);
  Data data;
  data.lookup.insert_or_assign(1, "\xD8\xA8");
  data.merges.emplace(pair_key(1, 1), TokenId{2});
  data.unicode_lookup.emplace("\xD8\xA8", TokenId{1});
  EXPECT_EQ(encode_model(data), expected);

  Data decoded;
  ASSERT_EQ(decode_error(expected, &decoded), "");
  EXPECT_EQ(lookup_of(decoded),
            (std::map<TokenId, std::string>{{1, "\xD8\xA8"}}));
  EXPECT_EQ(merges_of(decoded),
            (std::map<PairKey, TokenId>{{pair_key(1, 1), 2}}));
  EXPECT_EQ(unicode_of(decoded),
            (std::map<std::string, TokenId>{{"\xD8\xA8", 1}}));
}

TEST(ModelFile, EmptyModelIsTwentyFourZeros) {
  const std::string zeros(24, '\0');
  EXPECT_EQ(encode_model(Data{}), zeros);
  Data data;
  ASSERT_EQ(decode_error(zeros, &data), "");
  EXPECT_TRUE(data.lookup.empty());
  EXPECT_TRUE(data.merges.empty());
  EXPECT_TRUE(data.unicode_lookup.empty());
  // Every shorter run of zeros stops at one of the three counts.
  for (std::size_t n = 0; n < 24; ++n) {
    EXPECT_EQ(decode_error(zeros.substr(0, n)), kEof) << n;
  }
}

TEST(ModelFile, EveryTruncationFailsWithTheRightError) {
  const Image image = trained_like_image();
  const std::string& full = image.bytes();
  ASSERT_EQ(decode_error(full), "");
  for (std::size_t n = 0; n < full.size(); ++n) {
    // Cut inside a `unicode_lookup` text (after its length): short text.
    // Anywhere else: end of data.
    bool in_text = false;
    for (const auto& [begin, end] : image.text_ranges()) {
      if (n >= begin && n < end) in_text = true;
    }
    EXPECT_EQ(decode_error(full.substr(0, n)), in_text ? kShortText : kEof)
        << "prefix of " << n << " bytes";
  }
}

TEST(ModelFile, RandomCorruptionsNeverCrash) {
  const std::string full = trained_like_image().bytes();
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<std::size_t> pos(0, full.size() - 1);
  std::uniform_int_distribution<int> byte(0, 255);
  int decoded = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = full;
    const int flips = 1 + round % 4;
    for (int i = 0; i < flips; ++i) {
      bytes[pos(rng)] = static_cast<char>(byte(rng));
    }
    if (round % 3 == 0) bytes.resize(pos(rng));
    tracking_allocations = true;
    largest_allocation = 0;
    const std::string error = decode_error(bytes);
    tracking_allocations = false;
    if (error.empty()) ++decoded;
    // A corrupt count or length may not reserve more than the caps allow.
    EXPECT_LE(largest_allocation, std::size_t{4} << 20) << round;
  }
  EXPECT_GT(decoded, 0);  // Flips inside token bytes still decode.
}

TEST(ModelFile, HugeCountsAndLengthsDoNotAllocateAhead) {
  const std::uint64_t max = 4294967295u;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Image().u64(max).bytes(), kEof},
      {Image().u64(0).u64(max).bytes(), kEof},
      {Image().u64(0).u64(0).u64(max).bytes(), kEof},
      {Image().u64(1).u16(7).u64(max).raw("only a few bytes").bytes(), kEof},
      {Image().u64(0).u64(0).u64(1).u64(max).raw("abc").bytes(), kShortText},
  };
  for (const auto& [bytes, expected] : cases) {
    tracking_allocations = true;
    largest_allocation = 0;
    EXPECT_EQ(decode_error(bytes), expected);
    tracking_allocations = false;
    EXPECT_LT(largest_allocation, std::size_t{64} << 10);
  }
}

TEST(ModelFile, SizesAboveTwoToTheThirtyTwoMinusOne) {
  const std::uint64_t big = std::uint64_t{1} << 32;
  EXPECT_EQ(decode_error(Image().u64(big).bytes()), size_error(big));
  EXPECT_EQ(decode_error(Image().u64(0).u64(big).bytes()), size_error(big));
  EXPECT_EQ(decode_error(Image().u64(0).u64(0).u64(big).bytes()),
            size_error(big));
  EXPECT_EQ(decode_error(Image().u64(1).u16(1).u64(big).bytes()),
            size_error(big));
  EXPECT_EQ(decode_error(Image().u64(0).u64(0).u64(1).u64(UINT64_MAX).bytes()),
            size_error(UINT64_MAX));
  EXPECT_EQ(decode_error(std::string("\0\0\0\0\x01\0\0\0", 8)),
            "Custom(\"Invalid size 4294967296: sizes must fit in a usize (0 to "
            "4294967295)\")");
}

TEST(ModelFile, ShortTextDiffersFromLookupEof) {
  EXPECT_EQ(decode_error(Image().u64(1).u16(1).u64(5).raw("abc").bytes()),
            kEof);
  EXPECT_EQ(
      decode_error(Image().u64(0).u64(0).u64(1).u64(5).raw("abc").bytes()),
      kShortText);
  // A text that fits but whose id is cut short is end of data again.
  EXPECT_EQ(
      decode_error(Image().u64(0).u64(0).u64(1).u64(3).raw("abc\x01").bytes()),
      kEof);
}

TEST(ModelFile, LaterDuplicatesWin) {
  Data data;
  ASSERT_EQ(decode_error(Image()
                             .u64(2)
                             .u16(4)
                             .u64(1)
                             .raw("a")
                             .u16(4)
                             .u64(1)
                             .raw("b")
                             .u64(2)
                             .u16(1)
                             .u16(2)
                             .u16(7)
                             .u16(1)
                             .u16(2)
                             .u16(9)
                             .u64(2)
                             .u64(1)
                             .raw("x")
                             .u16(3)
                             .u64(1)
                             .raw("x")
                             .u16(5)
                             .bytes(),
                         &data),
            "");
  EXPECT_EQ(lookup_of(data), (std::map<TokenId, std::string>{{4, "b"}}));
  EXPECT_EQ(merges_of(data), (std::map<PairKey, TokenId>{{pair_key(1, 2), 9}}));
  EXPECT_EQ(unicode_of(data), (std::map<std::string, TokenId>{{"x", 5}}));
}

TEST(ModelFile, TrailingBytesAreIgnored) {
  const std::string full = trained_like_image().bytes();
  Data plain;
  Data padded;
  ASSERT_EQ(decode_error(full, &plain), "");
  ASSERT_EQ(decode_error(full + std::string("\xFF\0garbage", 9), &padded), "");
  EXPECT_EQ(lookup_of(plain), lookup_of(padded));
  EXPECT_EQ(merges_of(plain), merges_of(padded));
  EXPECT_EQ(unicode_of(plain), unicode_of(padded));
}

TEST(ModelFile, TextsMustBeUtf8ButTokenBytesNeedNot) {
  const auto text_file = [](std::string_view text) {
    return Image()
        .u64(0)
        .u64(0)
        .u64(1)
        .u64(text.size())
        .raw(text)
        .u16(1)
        .bytes();
  };
  EXPECT_EQ(
      decode_error(text_file("\xFF\x41")),
      "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })");
  EXPECT_EQ(
      decode_error(text_file("\x41\xD8")),
      "InvalidUtf8Encoding(Utf8Error { valid_up_to: 1, error_len: None })");
  EXPECT_EQ(
      decode_error(text_file("ab\xED\xA0\x80")),
      "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: Some(1) })");
  EXPECT_EQ(
      decode_error(text_file("\xE0\xA0\x41")),
      "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(2) })");

  Data data;
  ASSERT_EQ(decode_error(Image()
                             .u64(2)
                             .u16(0)
                             .u64(0)
                             .u16(1)
                             .u64(1)
                             .raw("\xFF")
                             .u64(0)
                             .u64(0)
                             .bytes(),
                         &data),
            "");
  EXPECT_EQ(lookup_of(data),
            (std::map<TokenId, std::string>{{0, ""}, {1, "\xFF"}}));
}

TEST(ModelFile, EncodingIsCanonicalAndRoundTrips) {
  // Canonical order in the hand-built image: lookup by id, merges by merged
  // id, texts by id. Decoding and re-encoding gives the same bytes.
  const std::string full = trained_like_image().bytes();
  Data data;
  ASSERT_EQ(decode_error(full, &data), "");
  EXPECT_EQ(encode_model(data), full);

  // The same model built in two insertion orders (and so two hash-map
  // iteration orders) encodes to the same bytes.
  std::mt19937 rng(7);
  std::vector<std::pair<std::string, TokenId>> texts;
  std::vector<std::pair<PairKey, TokenId>> merges;
  for (TokenId i = 0; i < 500; ++i) {
    texts.emplace_back("t" + std::to_string(i), static_cast<TokenId>(i % 97));
    merges.emplace_back(pair_key(static_cast<TokenId>(i * 7), i),
                        static_cast<TokenId>(i % 13));
  }
  Data forward;
  Data shuffled;
  for (const auto& [t, id] : texts) forward.unicode_lookup.emplace(t, id);
  for (const auto& [k, id] : merges) forward.merges.emplace(k, id);
  std::shuffle(texts.begin(), texts.end(), rng);
  std::shuffle(merges.begin(), merges.end(), rng);
  shuffled.unicode_lookup.reserve(4096);
  shuffled.merges.reserve(4096);
  for (const auto& [t, id] : texts) shuffled.unicode_lookup.emplace(t, id);
  for (const auto& [k, id] : merges) shuffled.merges.emplace(k, id);
  for (TokenId id : {TokenId{3}, TokenId{60000}, TokenId{0}}) {
    forward.lookup.insert_or_assign(id, std::string(id % 5, 'z'));
  }
  for (TokenId id : {TokenId{0}, TokenId{60000}, TokenId{3}}) {
    shuffled.lookup.insert_or_assign(id, std::string(id % 5, 'z'));
  }
  const std::string bytes = encode_model(forward);
  EXPECT_EQ(encode_model(shuffled), bytes);

  Data again;
  ASSERT_EQ(decode_error(bytes, &again), "");
  EXPECT_EQ(lookup_of(again), lookup_of(forward));
  EXPECT_EQ(merges_of(again), merges_of(forward));
  EXPECT_EQ(unicode_of(again), unicode_of(forward));
  EXPECT_EQ(encode_model(again), bytes);
}

}  // namespace
}  // namespace selvane::model
