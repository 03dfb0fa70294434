#include "codec/encode.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "base/panic.h"
#include "codec/counted_sequence.h"
#include "codec/indexed_sequence.h"
#include "codec/merge_engine.h"
#include "codec/merge_loop.h"
#include "model/cluster_cache.h"
#include "text/grapheme.h"

namespace selvane::codec {
namespace {

using model::TokenId;

// Texts of kIndexedMinIds to kIndexedMaxIds ids merge on an
// `IndexedSequence`, whose steps cost the occurrences they rewrite instead
// of a rewrite of the whole text; below it, the counted sequence's rewrites
// are short and its set-up cheaper. The indexed sequence holds a record
// and a flag per id besides the ids, which for a string of many megabytes
// that stops within a few steps is more memory than the text: such a
// string takes up to kCountedSteps steps on the counted sequence, which
// holds only the ids and the pairs, and the engine for the rest.
constexpr std::size_t kIndexedMinIds = 4096;
constexpr std::size_t kIndexedMaxIds = std::size_t{1} << 21;
constexpr std::size_t kCountedSteps = 8;

// Texts of at least this many bytes look their clusters up through a
// `model::ClusterCache`, whose set-up a short text would not earn back.
constexpr std::size_t kClusterCacheFrom = 16 * 1024;

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
  const auto id_of = [&](std::string_view cluster) {
    // The lookup table's hash and equality are transparent: the cluster view
    // is hashed and compared in place, with no temporary string.
    const auto known = unicode_lookup.find(cluster);
    if (known != unicode_lookup.end()) return known->second;
    if (!oov) {
      const auto reserved = unicode_lookup.find(model::kOovKey);
      if (reserved == unicode_lookup.end()) {
        panic("called `Option::unwrap()` on a `None` value");
      }
      oov = reserved->second;
    }
    return *oov;
  };
  if (st.size() < kClusterCacheFrom) {
    text::for_each_grapheme(
        st, [&](std::string_view cluster) { ids.push_back(id_of(cluster)); });
    return ids;
  }
  model::ClusterCache<TokenId> cache;
  text::for_each_grapheme(st, [&](std::string_view cluster) {
    ids.push_back(cache.value_of(st, cluster, id_of));
  });
  return ids;
}

std::vector<TokenId> encode(const model::Data& data, std::string_view st) {
  // The base ids come first, so a missing "oov" fails even a text that is
  // too short to have any pair.
  return merge_base_ids(data.merges, base_ids(data.unicode_lookup, st));
}

std::vector<TokenId> merge_base_ids(const model::Merges& merges,
                                    std::vector<TokenId> ids) {
  // The loop of merge_by_frequency(), on counts kept up to date instead of
  // recounted for each choice. Every sequence gives the same ids.
  if (merges.empty()) return ids;
  if (ids.size() >= kIndexedMinIds && ids.size() <= kIndexedMaxIds) {
    IndexedSequence sequence(std::move(ids));
    merge_by_frequency(sequence, merges);
    return sequence.take_ids();
  }
  CountedSequence sequence(std::move(ids));
  for (std::size_t steps = 0; sequence.size() >= 2; ++steps) {
    if (steps == kCountedSteps && sequence.size() >= kIndexedMinIds) {
      return merged_ids<MergeEngine>(sequence.take_ids(), merges);
    }
    const auto best = sequence.top();
    if (!best) break;
    const auto merge = merges.find(best->pair);
    if (merge == merges.end()) break;
    sequence.apply(best->pair, merge->second);
  }
  return sequence.take_ids();
}

}  // namespace selvane::codec
