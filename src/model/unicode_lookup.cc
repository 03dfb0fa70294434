#include "model/unicode_lookup.h"

#include <cstring>

namespace selvane::model {
namespace {

// The smallest index, and its growth rule: the slots stay at most half
// full, where linear probing still ends within a slot or two.
constexpr std::size_t kMinSlots = 16;

constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;

// Returns `value` with its bits mixed, so that the low bits (the slot) and
// the high bits (the tag) each depend on every input bit.
constexpr std::uint64_t mix(std::uint64_t value) {
  value ^= value >> 31;
  value *= 0xBF58476D1CE4E5B9ull;
  value ^= value >> 29;
  return value;
}

// Returns the `size` bytes (1 to 8) at `bytes` packed in a word, in loads
// that stay inside them: two overlapping halves from four bytes on, else
// the first, middle and last byte. Texts of one length differ exactly when
// their words do.
inline std::uint64_t short_word(const char* bytes, std::size_t size) {
  if (size >= 4) {
    std::uint32_t low;
    std::uint32_t high;
    std::memcpy(&low, bytes, sizeof low);
    std::memcpy(&high, bytes + size - 4, sizeof high);
    return low | (std::uint64_t{high} << 32);
  }
  return std::uint64_t{static_cast<unsigned char>(bytes[0])} |
         std::uint64_t{static_cast<unsigned char>(bytes[size / 2])} << 8 |
         std::uint64_t{static_cast<unsigned char>(bytes[size - 1])} << 16;
}

// Returns whether `key` and `text` are the same bytes: a cluster of marks
// takes a few bytes, compared as words instead of through a call.
inline bool same_text(const std::string& key, std::string_view text) {
  if (key.size() != text.size()) return false;
  if (text.empty()) return true;
  if (text.size() <= 8) {
    return short_word(key.data(), text.size()) ==
           short_word(text.data(), text.size());
  }
  return std::memcmp(key.data(), text.data(), text.size()) == 0;
}

}  // namespace

std::uint64_t UnicodeLookup::hash(std::string_view text) {
  // Clusters are a few bytes long: eight at a time, then the rest as one
  // word, with the length in the seed so that trailing zero bytes count.
  std::uint64_t h = (text.size() + 1) * kMul;
  const char* bytes = text.data();
  std::size_t left = text.size();
  while (left >= 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    h = (h ^ word) * kMul;
    h ^= h >> 32;
    bytes += 8;
    left -= 8;
  }
  if (left > 0) h = (h ^ short_word(bytes, left)) * kMul;
  return mix(h);
}

std::uint64_t UnicodeLookup::short_hash(std::uint64_t word, std::size_t size) {
  return mix((word ^ size) * kMul);
}

std::uint64_t UnicodeLookup::short_key(std::string_view text) {
  return short_word(text.data(), text.size());
}

std::uint32_t UnicodeLookup::find_short(std::string_view text) const {
  if (short_slots_.empty()) return kNone;
  const std::uint64_t word = short_key(text);
  for (std::size_t slot = short_hash(word, text.size()) & short_mask_;;
       slot = (slot + 1) & short_mask_) {
    const ShortSlot& probe = short_slots_[slot];
    if (probe.entry == 0) return kNone;
    if (probe.word == word && probe.size == text.size()) return probe.entry - 1;
  }
}

void UnicodeLookup::add_short(std::size_t entry) {
  if (2 * (short_count_ + 1) > short_slots_.size()) {
    // Reinserts every short entry, the new one included.
    rebuild_short(short_slots_.empty() ? kMinSlots : 2 * short_slots_.size());
    return;
  }
  place_short(entry);
}

void UnicodeLookup::place_short(std::size_t entry) {
  const std::string& text = entries_[entry].first;
  const std::uint64_t word = short_key(text);
  std::size_t slot = short_hash(word, text.size()) & short_mask_;
  while (short_slots_[slot].entry != 0) slot = (slot + 1) & short_mask_;
  short_slots_[slot] = ShortSlot{word, static_cast<std::uint32_t>(entry + 1),
                                 static_cast<std::uint32_t>(text.size())};
  ++short_count_;
}

void UnicodeLookup::rebuild_short(std::size_t slot_count) {
  short_slots_.assign(slot_count, ShortSlot{});
  short_mask_ = slot_count - 1;
  short_count_ = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (is_short(entries_[i].first)) place_short(i);
  }
}

std::uint32_t UnicodeLookup::find_hashed(std::string_view text) const {
  if (slots_.empty()) return kNone;
  const std::uint64_t h = hash(text);
  const auto tag = static_cast<std::uint32_t>(h >> 32);
  for (std::size_t slot = h & slot_mask_;; slot = (slot + 1) & slot_mask_) {
    const Slot& probe = slots_[slot];
    if (probe.entry == 0) return kNone;
    if (probe.tag == tag && same_text(entries_[probe.entry - 1].first, text)) {
      return probe.entry - 1;
    }
  }
}

std::pair<UnicodeLookup::iterator, bool> UnicodeLookup::emplace(
    std::string text, TokenId id) {
  const std::uint32_t entry = find_entry(text);
  if (entry != kNone) return {entries_.begin() + entry, false};
  const std::uint64_t h = hash(text);
  return {append(std::move(text), id, h), true};
}

std::pair<UnicodeLookup::iterator, bool> UnicodeLookup::insert_or_assign(
    std::string text, TokenId id) {
  const std::uint32_t entry = find_entry(text);
  if (entry != kNone) {
    entries_[entry].second = id;
    return {entries_.begin() + entry, false};
  }
  const std::uint64_t h = hash(text);
  return {append(std::move(text), id, h), true};
}

void UnicodeLookup::reserve(std::size_t count) {
  entries_.reserve(count);
  std::size_t slot_count = kMinSlots;
  while (slot_count < 2 * count) slot_count *= 2;
  if (slot_count > slots_.size()) rebuild(slot_count);
}

UnicodeLookup::iterator UnicodeLookup::append(std::string text, TokenId id,
                                              std::uint64_t h) {
  if (const std::size_t code_point = direct_code_point(text);
      code_point < kDirectCodePoints) {
    direct_[code_point] = static_cast<std::uint32_t>(entries_.size() + 1);
  }
  const bool short_text = is_short(text);
  entries_.emplace_back(std::move(text), id);
  if (short_text) add_short(entries_.size() - 1);
  if (2 * entries_.size() > slots_.size()) {
    // Reinserts the new entry with the others.
    rebuild(slots_.empty() ? kMinSlots : 2 * slots_.size());
    return entries_.end() - 1;
  }
  std::size_t slot = h & slot_mask_;
  while (slots_[slot].entry != 0) slot = (slot + 1) & slot_mask_;
  // Entries stay far below 2^32: each one a model file holds takes at least
  // ten of its bytes.
  slots_[slot] = Slot{static_cast<std::uint32_t>(h >> 32),
                      static_cast<std::uint32_t>(entries_.size())};
  return entries_.end() - 1;
}

void UnicodeLookup::rebuild(std::size_t slot_count) {
  slots_.assign(slot_count, Slot{});
  slot_mask_ = slot_count - 1;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const std::uint64_t h = hash(entries_[i].first);
    std::size_t slot = h & slot_mask_;
    while (slots_[slot].entry != 0) slot = (slot + 1) & slot_mask_;
    slots_[slot] = Slot{static_cast<std::uint32_t>(h >> 32),
                        static_cast<std::uint32_t>(i + 1)};
  }
}

}  // namespace selvane::model
