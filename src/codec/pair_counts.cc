#include "codec/pair_counts.h"

#include <string>

#include "base/panic.h"

namespace selvane::codec {

std::string describe_pair(PairKey pair) {
  return "(" + std::to_string(model::pair_first(pair)) + ", " +
         std::to_string(model::pair_second(pair)) + ")";
}

void panic_uncounted_window(const char* owner, PairKey pair,
                            std::source_location where) {
  panic_with("This should not happen",
             std::string(owner) + ": a window of pair " + describe_pair(pair) +
                 " is to be removed but its count is already 0",
             where);
}

PairCounts count_occur(std::span<const TokenId> ids) {
  PairCounts counts;
  for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
    ++counts[model::pair_key(ids[i], ids[i + 1])];
  }
  return counts;
}

std::vector<TokenId> replace_pair(std::span<const TokenId> ids, PairKey pair,
                                  TokenId merged) {
  const TokenId first = model::pair_first(pair);
  const TokenId second = model::pair_second(pair);
  std::vector<TokenId> out;
  out.reserve(ids.size());
  std::size_t i = 0;
  while (i < ids.size()) {
    if (i + 1 < ids.size() && ids[i] == first && ids[i + 1] == second) {
      out.push_back(merged);
      i += 2;
    } else {
      out.push_back(ids[i]);
      ++i;
    }
  }
  return out;
}

}  // namespace selvane::codec
