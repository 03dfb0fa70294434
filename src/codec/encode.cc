#include "codec/encode.h"

#include <optional>

#include "base/panic.h"
#include "codec/merge_loop.h"
#include "codec/plain_merge_sequence.h"
#include "text/grapheme.h"

namespace selvane::codec {
namespace {

using model::TokenId;

// Maps each grapheme cluster of `st` to its id, and every cluster that is not
// a key to the id of "oov". The cluster is looked up as a whole: a letter
// with marks that is not a key becomes "oov" even when the bare letter is.
std::vector<TokenId> base_ids(const model::UnicodeLookup& unicode_lookup,
                              std::string_view st) {
  std::vector<TokenId> ids;
  // Most clusters take at least two bytes in Arabic text, so half the byte
  // count saves the regrowths without doubling the memory for ASCII.
  ids.reserve(st.size() / 2 + 1);
  // "oov" is looked up once, on the first unknown cluster, so a model without
  // it still encodes every text whose clusters it all knows.
  std::optional<TokenId> oov;
  text::for_each_grapheme(st, [&](std::string_view cluster) {
    // The lookup table's hash and equality are transparent: the cluster view
    // is hashed and compared in place, with no temporary string.
    const auto known = unicode_lookup.find(cluster);
    if (known != unicode_lookup.end()) {
      ids.push_back(known->second);
      return;
    }
    if (!oov) {
      const auto reserved = unicode_lookup.find(model::kOovKey);
      if (reserved == unicode_lookup.end()) {
        panic("called `Option::unwrap()` on a `None` value");
      }
      oov = reserved->second;
    }
    ids.push_back(*oov);
  });
  return ids;
}

}  // namespace

std::vector<TokenId> encode(const model::Data& data, std::string_view st) {
  // The base ids come first, so a missing "oov" fails even a text that is
  // too short to have any pair.
  PlainMergeSequence sequence(base_ids(data.unicode_lookup, st));
  merge_by_frequency(sequence, data.merges);
  const auto ids = sequence.ids();
  return {ids.begin(), ids.end()};
}

}  // namespace selvane::codec
