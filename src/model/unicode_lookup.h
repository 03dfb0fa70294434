#ifndef SELVANE_MODEL_UNICODE_LOOKUP_H_
#define SELVANE_MODEL_UNICODE_LOOKUP_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
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
// The interface is the part of `std::unordered_map` that the model uses.
// Entries are never removed. Iteration follows insertion order, which no
// result depends on.
class UnicodeLookup {
 public:
  using value_type = std::pair<std::string, TokenId>;
  using iterator = std::vector<value_type>::iterator;
  using const_iterator = std::vector<value_type>::const_iterator;

  UnicodeLookup() = default;
  UnicodeLookup(std::initializer_list<value_type> entries);

  // Returns the number of entries.
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }

  // Returns the entry of `text`, or `end()`.
  const_iterator find(std::string_view text) const {
    const std::uint32_t entry = find_entry(text);
    return entry == kNone ? end() : begin() + entry;
  }
  iterator find(std::string_view text) {
    const std::uint32_t entry = find_entry(text);
    return entry == kNone ? end() : begin() + entry;
  }

  // Returns whether `text` is a key.
  bool contains(std::string_view text) const {
    return find_entry(text) != kNone;
  }
  std::size_t count(std::string_view text) const {
    return contains(text) ? 1 : 0;
  }

  // Returns the id of `text`; throws std::out_of_range when it is absent.
  TokenId at(std::string_view text) const;

  // Inserts `text` -> `id` unless `text` is a key; returns its entry and
  // whether it was inserted.
  std::pair<iterator, bool> emplace(std::string text, TokenId id);
  std::pair<iterator, bool> try_emplace(std::string text, TokenId id) {
    return emplace(std::move(text), id);
  }

  // Sets the id of `text`, inserting it or replacing its id.
  std::pair<iterator, bool> insert_or_assign(std::string text, TokenId id);

  // Returns the id of `text`, inserting it with id 0 when it is absent.
  TokenId& operator[](std::string_view text);

  // Makes room for `count` entries without growing the index.
  void reserve(std::size_t count);

  // Returns whether both hold the same keys with the same ids, in any order.
  friend bool operator==(const UnicodeLookup& a, const UnicodeLookup& b);

 private:
  // One slot of the index: a part of the key's hash, so that most
  // mismatches are settled without reading the entry, and the entry's
  // index plus one; 0 marks an empty slot.
  struct Slot {
    std::uint32_t tag = 0;
    std::uint32_t entry = 0;
  };

  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  // Returns the hash of `text`.
  static std::uint64_t hash(std::string_view text);

  // Returns the entry index of `text`, or kNone.
  std::uint32_t find_entry(std::string_view text) const;

  // Appends the entry `text` -> `id`, which must be absent, with hash `h`.
  iterator append(std::string text, TokenId id, std::uint64_t h);

  // Rebuilds the index with `slot_count` slots (a power of two).
  void rebuild(std::size_t slot_count);

  std::vector<value_type> entries_;
  std::vector<Slot> slots_;
  std::size_t slot_mask_ = 0;
};

}  // namespace selvane::model

#endif  // SELVANE_MODEL_UNICODE_LOOKUP_H_
