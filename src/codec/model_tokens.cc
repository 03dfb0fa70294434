#include "codec/model_tokens.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

#include "text/utf8.h"

namespace selvane::codec {
namespace {

using model::TokenId;

// Returns whether `id` is a byte token candidate for `byte`: present, not
// produced by a cluster or merge, and holding exactly that byte.
bool holds_byte(const model::Data& data, const std::vector<bool>& produced,
                std::size_t id, std::size_t byte) {
  if (id >= model::kTokenIdCount || produced[id]) return false;
  const std::string* bytes = data.lookup.find(static_cast<TokenId>(id));
  return bytes != nullptr && bytes->size() == 1 &&
         static_cast<unsigned char>((*bytes)[0]) == byte;
}

}  // namespace

ModelTokens::ModelTokens(const model::Data& data) {
  // Ids that a text can produce: cluster ids and merged ids.
  std::vector<bool> produced(model::kTokenIdCount, false);
  for (const auto& [cluster, id] : data.unicode_lookup) {
    if (cluster == model::kOovKey) {
      oov = id;
    } else {
      produced[id] = true;
    }
  }
  for (const auto& [pair, merged] : data.merges) produced[merged] = true;
  if (oov) {
    oov_stands_alone = !produced[*oov];
    for (const auto& [pair, merged] : data.merges) {
      if (model::pair_first(pair) == *oov || model::pair_second(pair) == *oov) {
        oov_stands_alone = false;
      }
    }
    produced[*oov] = true;
  }

  for (std::size_t base = 0; base + kByteTokenCount <= model::kTokenIdCount;
       ++base) {
    if (!holds_byte(data, produced, base, 0)) continue;
    std::size_t byte = 1;
    while (byte < kByteTokenCount &&
           holds_byte(data, produced, base + byte, byte)) {
      ++byte;
    }
    if (byte == kByteTokenCount) {
      byte_base = static_cast<TokenId>(base);
      break;
    }
  }

  std::unordered_set<std::string_view> texts;
  data.lookup.for_each([&](TokenId id, const std::string& bytes) {
    if (id == 0 || produced[id] || bytes.empty()) return;
    if (byte_base && id >= *byte_base &&
        std::size_t{id} - *byte_base < kByteTokenCount) {
      return;
    }
    if (text::validate_utf8(bytes)) return;
    // Ascending ids, so the first of several equal texts is the lowest id.
    if (!texts.insert(bytes).second) return;
    specials.push_back(SpecialToken{bytes, id});
  });
}

const SpecialToken* ModelTokens::special(TokenId id) const {
  const auto found = std::lower_bound(
      specials.begin(), specials.end(), id,
      [](const SpecialToken& token, TokenId key) { return token.id < key; });
  return found != specials.end() && found->id == id ? &*found : nullptr;
}

}  // namespace selvane::codec
