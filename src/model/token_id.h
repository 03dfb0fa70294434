#ifndef SELVANE_MODEL_TOKEN_ID_H_
#define SELVANE_MODEL_TOKEN_ID_H_

#include <cstddef>
#include <cstdint>

namespace selvane::model {

// An unsigned 16-bit token id, for base clusters and merged tokens alike.
using TokenId = std::uint16_t;

// The number of distinct token ids, 0 to 65535.
inline constexpr std::size_t kTokenIdCount = 65536;

// An ordered pair of neighbouring ids packed as first << 16 | second, so that
// ascending keys are ascending (first, second) pairs.
using PairKey = std::uint32_t;

// Packs the ordered pair (first, second).
constexpr PairKey pair_key(TokenId first, TokenId second) {
  return (static_cast<PairKey>(first) << 16) | second;
}

// Returns the first (left-hand) id of a packed pair.
constexpr TokenId pair_first(PairKey key) {
  return static_cast<TokenId>(key >> 16);
}

// Returns the second (right-hand) id of a packed pair.
constexpr TokenId pair_second(PairKey key) {
  return static_cast<TokenId>(key & 0xFFFFu);
}

}  // namespace selvane::model

#endif  // SELVANE_MODEL_TOKEN_ID_H_
