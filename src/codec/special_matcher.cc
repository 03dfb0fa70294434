#include "codec/special_matcher.h"

#include <algorithm>
#include <utility>

namespace selvane::codec {

SpecialMatcher::SpecialMatcher(std::vector<SpecialToken> tokens)
    : tokens_(std::move(tokens)) {
  std::erase_if(tokens_,
                [](const SpecialToken& token) { return token.text.empty(); });
  for (std::size_t i = 0; i < tokens_.size(); ++i) {
    const auto first = static_cast<unsigned char>(tokens_[i].text[0]);
    by_first_byte_[first].push_back(static_cast<std::uint32_t>(i));
  }
  int first_bytes = 0;
  for (std::size_t byte = 0; byte < by_first_byte_.size(); ++byte) {
    if (by_first_byte_[byte].empty()) continue;
    ++first_bytes;
    only_first_byte_ = static_cast<int>(byte);
  }
  if (first_bytes != 1) only_first_byte_ = -1;
  for (auto& candidates : by_first_byte_) {
    // Equal texts keep their given order, so the first given wins.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [&](std::uint32_t a, std::uint32_t b) {
                       return tokens_[a].text.size() > tokens_[b].text.size();
                     });
  }
}

}  // namespace selvane::codec
