#ifndef SELVANE_CODEC_SPECIAL_MATCHER_H_
#define SELVANE_CODEC_SPECIAL_MATCHER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "codec/model_tokens.h"

namespace selvane::codec {

// SpecialMatcher
//
// Finds the occurrences of a set of special tokens in a text: scanning from
// the left, at each byte the longest token that starts there wins, and the
// scan resumes after it, so occurrences never overlap. The tokens are UTF-8,
// so a match starts and ends on code point boundaries of valid text.
class SpecialMatcher {
 public:
  // `tokens` may be empty; tokens with empty text are never matched.
  explicit SpecialMatcher(std::vector<SpecialToken> tokens);

  // Returns whether there is no token to find.
  bool empty() const { return tokens_.empty(); }

  // Splits `text`: calls `on_piece(std::string_view)` for each non-empty run
  // of text between occurrences and `on_special(const SpecialToken&)` for
  // each occurrence, in text order.
  template <typename OnPiece, typename OnSpecial>
  void split(std::string_view text, OnPiece&& on_piece,
             OnSpecial&& on_special) const {
    std::size_t piece_start = 0;
    std::size_t at = 0;
    while (at < text.size()) {
      if (only_first_byte_ >= 0) {
        // One first byte for every token (as in "<|...|>" sets): jump to its
        // next occurrence, a library search far faster than a byte loop.
        at = text.find(static_cast<char>(only_first_byte_), at);
        if (at == std::string_view::npos) break;
      }
      const SpecialToken* match = match_at(text, at);
      if (match == nullptr) {
        ++at;
        continue;
      }
      if (at > piece_start) {
        on_piece(text.substr(piece_start, at - piece_start));
      }
      on_special(*match);
      at += match->text.size();
      piece_start = at;
    }
    if (piece_start < text.size()) on_piece(text.substr(piece_start));
  }

 private:
  // Returns the longest token that `text` holds at byte `at`, or nullptr.
  const SpecialToken* match_at(std::string_view text, std::size_t at) const {
    const auto& candidates =
        by_first_byte_[static_cast<unsigned char>(text[at])];
    for (const std::uint32_t index : candidates) {
      if (text.substr(at).starts_with(tokens_[index].text)) {
        return &tokens_[index];
      }
    }
    return nullptr;
  }

  std::vector<SpecialToken> tokens_;
  // Per first byte, the indices of the tokens starting with it, longest
  // first, so the first that matches is the longest.
  std::array<std::vector<std::uint32_t>, 256> by_first_byte_;
  // The first byte that all tokens share, or -1 when they do not share one.
  int only_first_byte_ = -1;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_SPECIAL_MATCHER_H_
