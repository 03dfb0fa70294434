#include "codec/token_widths.h"

#include <cstddef>
#include <limits>
#include <utility>

namespace selvane::codec {
namespace {

using model::pair_first;
using model::pair_second;
using model::PairKey;
using model::TokenId;

constexpr std::uint32_t kTooWide = std::numeric_limits<std::uint32_t>::max();

// Where the walk over one merged id stands.
enum class Visit : std::uint8_t { kNew, kOpen, kDone };

std::uint32_t saturating_sum(std::uint32_t a, std::uint32_t b) {
  // A chain of merges doubles a width per step; past 32 bits no text
  // reaches it, and the sum is only ever a bound.
  return a > kTooWide - b ? kTooWide : a + b;
}

}  // namespace

TokenWidths::TokenWidths(const model::Data& data)
    : widths_(model::kTokenIdCount, 0) {
  std::vector<std::uint8_t> is_cluster(model::kTokenIdCount, 0);
  for (const auto& entry : data.unicode_lookup) is_cluster[entry.second] = 1;
  std::vector<std::uint32_t> pair_count(model::kTokenIdCount, 0);
  std::vector<PairKey> pair_of(model::kTokenIdCount, 0);
  for (const auto& [pair, merged] : data.merges) {
    ++pair_count[merged];
    pair_of[merged] = pair;
    if (is_cluster[merged] != 0 || pair_count[merged] > 1) exact_ = false;
  }
  for (std::size_t id = 0; id < model::kTokenIdCount; ++id) {
    if (is_cluster[id] != 0) widths_[id] = 1;
  }
  if (!exact_) return;

  // Depth first over the merge tree, with an explicit stack: a chain of
  // merges may be tens of thousands deep, too deep to recurse on a thread's
  // stack.
  std::vector<Visit> state(model::kTokenIdCount, Visit::kNew);
  std::vector<TokenId> stack;
  for (std::size_t root = 0; root < model::kTokenIdCount; ++root) {
    if (pair_count[root] == 0 || state[root] == Visit::kDone) continue;
    stack.push_back(static_cast<TokenId>(root));
    while (!stack.empty()) {
      const TokenId id = stack.back();
      const TokenId parts[] = {pair_first(pair_of[id]),
                               pair_second(pair_of[id])};
      if (state[id] == Visit::kNew) {
        state[id] = Visit::kOpen;
        for (const TokenId part : parts) {
          if (pair_count[part] == 0) continue;
          if (state[part] == Visit::kOpen) {
            // A merge that contains itself: its width depends on the path.
            exact_ = false;
            return;
          }
          if (state[part] == Visit::kNew) stack.push_back(part);
        }
        continue;
      }
      stack.pop_back();
      if (state[id] == Visit::kDone) continue;
      state[id] = Visit::kDone;
      // A part that is neither a cluster nor a merge result never occurs,
      // so neither does this id: width 0.
      if (widths_[parts[0]] == 0 || widths_[parts[1]] == 0) continue;
      widths_[id] = saturating_sum(widths_[parts[0]], widths_[parts[1]]);
    }
  }
}

}  // namespace selvane::codec
