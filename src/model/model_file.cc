#include "model/model_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "base/allocation.h"
#include "text/utf8.h"

namespace selvane::model {
namespace {

// Ahead of the data, a map is pre-sized for at most this many entries, so a
// corrupt count reserves about 1 MiB at most before the data runs out.
constexpr std::size_t kLookupReserveCap = 65'536;
constexpr std::size_t kMergesReserveCap = 174'762;
constexpr std::size_t kUnicodeLookupReserveCap = 65'536;

// Fixed sizes of the parts of an entry.
constexpr std::size_t kCountBytes = 8;
constexpr std::size_t kIdBytes = 2;
constexpr std::size_t kMergeBytes = 3 * kIdBytes;
// The smallest `lookup` or `unicode_lookup` entry: an id and a length.
constexpr std::size_t kMinTextEntryBytes = kIdBytes + kCountBytes;

// Returns how many entries to pre-size a map for: no more than the count, the
// cap, or the entries that the bytes left could possibly hold. The last bound
// keeps a corrupt count from reserving anything the file cannot back.
std::size_t reserve_for(std::size_t count, std::size_t cap,
                        std::size_t bytes_left, std::size_t min_entry_bytes) {
  return std::min({count, cap, bytes_left / min_entry_bytes});
}

// Returns the text of a failed allocation while reading entry `entry` (from
// 0) of `count` of `what`.
std::string allocation_message(std::string_view what, std::size_t entry,
                               std::size_t count) {
  std::string out = "memory allocation failed while loading a model: ";
  out += what;
  if (count > 0) {
    out += " (entry " + std::to_string(entry + 1) + " of " +
           std::to_string(count) + ")";
  }
  return out;
}

// Writes little-endian integers front to back into a buffer that the size
// pass has already made exactly large enough.
class Writer {
 public:
  explicit Writer(char* out) : out_(out) {}

  void u16(TokenId value) {
    out_[0] = static_cast<char>(value & 0xFFu);
    out_[1] = static_cast<char>(value >> 8);
    out_ += kIdBytes;
  }

  void u64(std::uint64_t value) {
    for (std::size_t i = 0; i < kCountBytes; ++i) {
      out_[i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
    }
    out_ += kCountBytes;
  }

  void bytes(std::string_view value) {
    std::copy(value.begin(), value.end(), out_);
    out_ += value.size();
  }

 private:
  char* out_;
};

// Reads the model's bytes with a cursor, either over data held whole in
// memory or over a window that a `ByteSource` refills block by block; every
// shortfall is an end-of-data error.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : view_(bytes) {}
  explicit Reader(ByteSource& source) : source_(&source) {
    try {
      window_ = std::make_unique_for_overwrite<char[]>(kWindowBytes);
    } catch (const std::bad_alloc&) {
      throw AllocationFailure(allocation_message("the read buffer", 0, 0));
    }
  }

  // Returns how many bytes are left, as far as known: only pre-sizing reads
  // it, so a source of unknown size counts as endless.
  std::size_t left() const {
    const std::size_t here = view_.size() - pos_;
    if (source_ == nullptr) return here;
    const std::size_t later = source_->size_hint();
    return later > SIZE_MAX - here ? SIZE_MAX : here + later;
  }

  TokenId u16() {
    need(kIdBytes);
    const auto low = static_cast<std::uint8_t>(view_[pos_]);
    const auto high = static_cast<std::uint8_t>(view_[pos_ + 1]);
    pos_ += kIdBytes;
    return static_cast<TokenId>(low | (high << 8));
  }

  std::uint64_t u64() {
    need(kCountBytes);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < kCountBytes; ++i) {
      value |= std::uint64_t{static_cast<std::uint8_t>(view_[pos_ + i])}
               << (8 * i);
    }
    pos_ += kCountBytes;
    return value;
  }

  // Reads a count or byte length, refusing one above 2^32 - 1.
  std::size_t size() {
    const std::uint64_t value = u64();
    if (value > kMaxModelFileSize) {
      throw ModelFileError("Custom(\"Invalid size " + std::to_string(value) +
                           ": sizes must fit in a usize (0 to 4294967295)\")");
    }
    return static_cast<std::size_t>(value);
  }

  // Puts the next `length` bytes into `out` and returns true, or returns
  // false when the data ends first.
  bool take(std::size_t length, std::string& out) {
    if (view_.size() - pos_ >= length) {
      // Constructing is cheaper than assign(), which must allow for the
      // source overlapping the string.
      out = std::string(view_.data() + pos_, length);
      pos_ += length;
      return true;
    }
    return take_across_blocks(length, out);
  }

 private:
  // A block of the source: large enough that reads are few, small enough to
  // cost nothing beside a model.
  static constexpr std::size_t kWindowBytes = 64 * 1024;
  // Ahead of its bytes, a text is pre-sized for at most 1 MiB.
  static constexpr std::size_t kTextReserveCap = 1 << 20;

  // Kept small enough to inline into every field read: the data is in the
  // window nearly always.
  void need(std::size_t length) {
    if (view_.size() - pos_ < length) [[unlikely]] {
      refill_for(length);
    }
  }

  [[gnu::noinline]] void refill_for(std::size_t length) {
    while (view_.size() - pos_ < length) {
      if (!refill()) {
        throw ModelFileError(std::string(kUnexpectedEofDescription));
      }
    }
  }

  // The rest of `take()`, for bytes beyond the window. Memory grows with the
  // bytes that arrive, never ahead of them, so a corrupt length costs no more
  // than the data behind it; data held whole is checked before anything is
  // allocated.
  [[gnu::noinline]] bool take_across_blocks(std::size_t length,
                                            std::string& out) {
    out.clear();
    if (source_ == nullptr) return false;
    out.reserve(std::min(length, kTextReserveCap));
    for (;;) {
      const std::size_t here =
          std::min(view_.size() - pos_, length - out.size());
      out.append(view_.data() + pos_, here);
      pos_ += here;
      if (out.size() == length) return true;
      if (!refill()) return false;
    }
  }

  // Moves the unread bytes to the front of the window and reads more behind
  // them. Returns false at the end of the data.
  bool refill() {
    if (source_ == nullptr) return false;
    const std::size_t unread = view_.size() - pos_;
    std::copy(view_.begin() + static_cast<std::ptrdiff_t>(pos_), view_.end(),
              window_.get());
    const std::size_t got =
        source_->read(window_.get() + unread, kWindowBytes - unread);
    view_ = std::string_view(window_.get(), unread + got);
    pos_ = 0;
    return got > 0;
  }

  ByteSource* source_ = nullptr;
  std::unique_ptr<char[]> window_;
  std::string_view view_;
  std::size_t pos_ = 0;
};

std::string describe_utf8_error(const text::Utf8Error& error) {
  std::string out = "InvalidUtf8Encoding(Utf8Error { valid_up_to: ";
  out += std::to_string(error.valid_up_to);
  out += ", error_len: ";
  out += error.error_len ? "Some(" + std::to_string(*error.error_len) + ")"
                         : std::string("None");
  out += " })";
  return out;
}

void read_lookup(Reader& in, Lookup& lookup) {
  const std::size_t count = in.size();
  std::size_t i = 0;
  std::size_t length = 0;
  try {
    lookup.reserve(
        reserve_for(count, kLookupReserveCap, in.left(), kMinTextEntryBytes));
    for (; i < count; ++i) {
      const TokenId id = in.u16();
      length = in.size();
      // Running out inside the bytes is the same end-of-data error as
      // running out before a length or id.
      std::string bytes;
      if (!in.take(length, bytes)) {
        throw ModelFileError(std::string(kUnexpectedEofDescription));
      }
      length = 0;
      lookup.insert_or_assign(id, std::move(bytes));
    }
  } catch (const std::bad_alloc&) {
    throw AllocationFailure(allocation_message(
        length > 0
            ? "the " + std::to_string(length) + " bytes of a lookup token"
            : std::string("the lookup map"),
        i, count));
  }
}

void read_merges(Reader& in, Merges& merges) {
  const std::size_t count = in.size();
  std::size_t i = 0;
  try {
    merges.reserve(
        reserve_for(count, kMergesReserveCap, in.left(), kMergeBytes));
    for (; i < count; ++i) {
      const TokenId first = in.u16();
      const TokenId second = in.u16();
      const TokenId merged = in.u16();
      merges.insert_or_assign(pair_key(first, second), merged);
    }
  } catch (const std::bad_alloc&) {
    throw AllocationFailure(allocation_message("the merges map", i, count));
  }
}

void read_unicode_lookup(Reader& in, UnicodeLookup& unicode_lookup) {
  const std::size_t count = in.size();
  std::size_t i = 0;
  std::size_t length = 0;
  try {
    unicode_lookup.reserve(reserve_for(count, kUnicodeLookupReserveCap,
                                       in.left(), kMinTextEntryBytes));
    for (; i < count; ++i) {
      length = in.size();
      std::string key;
      if (!in.take(length, key)) {
        throw ModelFileError(std::string(kShortTextDescription));
      }
      length = 0;
      if (const std::optional<text::Utf8Error> error =
              text::validate_utf8(key)) {
        throw ModelFileError(describe_utf8_error(*error));
      }
      const TokenId id = in.u16();
      unicode_lookup.insert_or_assign(std::move(key), id);
    }
  } catch (const std::bad_alloc&) {
    throw AllocationFailure(
        allocation_message(length > 0 ? "the " + std::to_string(length) +
                                            " bytes of a unicode_lookup text"
                                      : std::string("the unicode_lookup map"),
                           i, count));
  }
}

Data decode(Reader& in) {
  Data data;
  read_lookup(in, data.lookup);
  read_merges(in, data.merges);
  read_unicode_lookup(in, data.unicode_lookup);
  return data;
}

}  // namespace

std::string encode_model(const Data& data) {
  // Size pass, in 64 bits: three counts plus every entry.
  std::uint64_t size = 3 * kCountBytes;
  data.lookup.for_each([&size](TokenId, const std::string& bytes) {
    size += kIdBytes + kCountBytes + bytes.size();
  });
  size += kMergeBytes * std::uint64_t{data.merges.size()};

  // The fixed entry orders need sorted copies of the hash maps' entries.
  std::vector<std::tuple<TokenId, TokenId, TokenId>> merges;
  merges.reserve(data.merges.size());
  for (const auto& [key, merged] : data.merges) {
    merges.emplace_back(merged, pair_first(key), pair_second(key));
  }
  std::sort(merges.begin(), merges.end());

  std::vector<std::pair<TokenId, std::string_view>> texts;
  texts.reserve(data.unicode_lookup.size());
  for (const auto& [text, id] : data.unicode_lookup) {
    texts.emplace_back(id, text);
    size += kCountBytes + text.size() + kIdBytes;
  }
  std::sort(texts.begin(), texts.end());

  std::string image(static_cast<std::size_t>(size), '\0');
  Writer out(image.data());
  out.u64(data.lookup.size());
  data.lookup.for_each([&out](TokenId id, const std::string& bytes) {
    out.u16(id);
    out.u64(bytes.size());
    out.bytes(bytes);
  });
  out.u64(merges.size());
  for (const auto& [merged, first, second] : merges) {
    out.u16(first);
    out.u16(second);
    out.u16(merged);
  }
  out.u64(texts.size());
  for (const auto& [id, text] : texts) {
    out.u64(text.size());
    out.bytes(text);
    out.u16(id);
  }
  return image;
}

Data decode_model(std::string_view bytes) {
  Reader in(bytes);
  return decode(in);
}

Data decode_model(ByteSource& source) {
  Reader in(source);
  return decode(in);
}

}  // namespace selvane::model
