#ifndef SELVANE_MODEL_UNICODE_LOOKUP_H_
#define SELVANE_MODEL_UNICODE_LOOKUP_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/token_id.h"

namespace selvane::model {

// UnicodeLookup
//
// Text of one grapheme cluster (or the reserved "oov") -> its id. A flat
// hash table: the entries sit in one array in insertion order, and an open
// addressing index of (hash, entry) slots finds them. Every cluster of a
// training chunk and of an encoded text is looked up here, and a node-based
// map cost a pointer chase and a cache miss per cluster; here a lookup
// reads one slot and one entry, whose short text is stored inline.
//
// The interface is the part of `std::unordered_map` that the model uses;
// tests add what else they ask (testing/unicode_lookup_extras.h). Entries
// are never removed. Iteration follows insertion order, which no result
// depends on.
class UnicodeLookup {
 public:
  using value_type = std::pair<std::string, TokenId>;
  using iterator = std::vector<value_type>::iterator;
  using const_iterator = std::vector<value_type>::const_iterator;

  UnicodeLookup() = default;

  // Returns the number of entries.
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  // Returns the entry of `text`, or `end()`.
  const_iterator find(std::string_view text) const {
    const std::uint32_t entry = find_entry(text);
    return entry == kNone ? end() : begin() + entry;
  }

  // Inserts `text` -> `id` unless `text` is a key; returns its entry and
  // whether it was inserted.
  std::pair<iterator, bool> emplace(std::string text, TokenId id);

  // Sets the id of `text`, inserting it or replacing its id.
  std::pair<iterator, bool> insert_or_assign(std::string text, TokenId id);

  // Makes room for `count` entries without growing the index.
  void reserve(std::size_t count);

 private:
  // One slot of the index: a part of the key's hash, so that most
  // mismatches are settled without reading the entry, and the entry's
  // index plus one; 0 marks an empty slot.
  struct Slot {
    std::uint32_t tag = 0;
    std::uint32_t entry = 0;
  };

  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  // The code points of one or two UTF-8 bytes, which `direct_` covers.
  static constexpr std::size_t kDirectCodePoints = 0x800;

  // Returns the hash of `text`.
  static std::uint64_t hash(std::string_view text);

  // Returns the code point that `text` is, when it is exactly one of one or
  // two well-formed UTF-8 bytes; else kDirectCodePoints.
  static std::size_t direct_code_point(std::string_view text) {
    if (text.size() == 1) {
      const auto byte = static_cast<unsigned char>(text[0]);
      return byte < 0x80 ? byte : kDirectCodePoints;
    }
    if (text.size() == 2) {
      const auto lead = static_cast<unsigned char>(text[0]);
      const auto trail = static_cast<unsigned char>(text[1]);
      if (lead >= 0xC2 && lead <= 0xDF && (trail & 0xC0) == 0x80) {
        return ((lead & 0x1Fu) << 6) | (trail & 0x3Fu);
      }
    }
    return kDirectCodePoints;
  }

  // The longest text that the short index holds.
  static constexpr std::size_t kShortBytes = 8;

  static bool is_short(std::string_view text) {
    return !text.empty() && text.size() <= kShortBytes;
  }

  // Returns the entry index of `text`, or kNone. Inline for the clusters
  // of one letter without marks, most of an Arabic or ASCII text, which
  // take one load from `direct_` instead of a hash and a compare; a letter
  // with its marks takes the short index.
  std::uint32_t find_entry(std::string_view text) const {
    if (text.size() <= 2) {
      const std::size_t code_point = direct_code_point(text);
      if (code_point < kDirectCodePoints) return direct_[code_point] - 1;
    }
    if (is_short(text)) return find_short(text);
    return find_hashed(text);
  }

  // One slot of the short index: the text's bytes packed in a word, its
  // length, and its entry index plus one; 0 marks an empty slot. A match
  // is settled in the slot, without reading the entry.
  struct ShortSlot {
    std::uint64_t word = 0;
    std::uint32_t entry = 0;
    std::uint32_t size = 0;
  };

  // Returns the word and the hash of a short text.
  static std::uint64_t short_key(std::string_view text);
  static std::uint64_t short_hash(std::uint64_t word, std::size_t size);

  // Returns the entry index of the short text `text`, or kNone.
  std::uint32_t find_short(std::string_view text) const;

  // Adds entry `entry`, whose text is short, to the short index.
  void add_short(std::size_t entry);

  // Puts entry `entry`, whose text is short, into a free slot of the short
  // index, which must have room for it.
  void place_short(std::size_t entry);

  // Rebuilds the short index with `slot_count` slots (a power of two).
  void rebuild_short(std::size_t slot_count);

  // Returns the entry index of `text` by the hashed index, or kNone.
  std::uint32_t find_hashed(std::string_view text) const;

  // Appends the entry `text` -> `id`, which must be absent, with hash `h`.
  iterator append(std::string text, TokenId id, std::uint64_t h);

  // Rebuilds the index with `slot_count` slots (a power of two).
  void rebuild(std::size_t slot_count);

  std::vector<value_type> entries_;
  // The entry index plus one of each text that is one code point below
  // kDirectCodePoints, 0 where there is none; such texts are in the hashed
  // index as well.
  std::array<std::uint32_t, kDirectCodePoints> direct_{};
  std::vector<Slot> slots_;
  std::size_t slot_mask_ = 0;
  // Every entry whose text is 1 to kShortBytes bytes long, keyed by its
  // bytes as one word; such texts are in the hashed index as well.
  std::vector<ShortSlot> short_slots_;
  std::size_t short_mask_ = 0;
  std::size_t short_count_ = 0;
};

}  // namespace selvane::model

#endif  // SELVANE_MODEL_UNICODE_LOOKUP_H_
