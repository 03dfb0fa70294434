#include "codec/encode.h"

#include <cstddef>
#include <optional>
#include <utility>

#include "base/panic.h"
#include "codec/merge_engine.h"
#include "codec/merge_loop.h"
#include "codec/plain_merge_sequence.h"
#include "text/grapheme.h"

namespace selvane::codec {
namespace {

using model::TokenId;

// From this many base ids on, the incremental engine pays for its set-up:
// measured with a model trained on one classical chunk, on modern and
// classical text, it was at least 1.4x (up to 18x) faster than recounting
// from 128 ids on, while below 64 ids recounting was as fast or faster (by
// well under a microsecond).
constexpr std::size_t kEngineMinIds = 128;

// Returns `ids` merged by their own most frequent pairs, on a `Sequence`.
template <class Sequence>
std::vector<TokenId> merged_ids(std::vector<TokenId> ids,
                                const model::Merges& merges) {
  Sequence sequence(std::move(ids));
  merge_by_frequency(sequence, merges);
  const auto merged = sequence.ids();
  return {merged.begin(), merged.end()};
}

}  // namespace

std::vector<TokenId> base_ids(const model::UnicodeLookup& unicode_lookup,
                              std::string_view st) {
  // The cluster is looked up as a whole: a letter with marks that is not a
  // key becomes "oov" even when the bare letter is.
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

std::vector<TokenId> encode(const model::Data& data, std::string_view st) {
  // The base ids come first, so a missing "oov" fails even a text that is
  // too short to have any pair.
  std::vector<TokenId> ids = base_ids(data.unicode_lookup, st);
  // Recounting the whole sequence before each choice costs O(n) a pass; the
  // engine updates its counts per rewritten occurrence instead. Both give
  // the same ids.
  if (ids.size() < kEngineMinIds) {
    return merged_ids<PlainMergeSequence>(std::move(ids), data.merges);
  }
  return merged_ids<MergeEngine>(std::move(ids), data.merges);
}

}  // namespace selvane::codec
