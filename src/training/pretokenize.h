#ifndef SELVANE_TRAINING_PRETOKENIZE_H_
#define SELVANE_TRAINING_PRETOKENIZE_H_

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/data.h"
#include "model/unicode_lookup.h"

namespace selvane::training {

// Returns `text` with every "<|im_start|>" and then every "<|im_end|>"
// replaced by "^", each scanned left to right without overlap.
std::string replace_markers(std::string text);

// pretokenize_chunk()
//
// Returns the id sequence of one chunk: its bytes decoded as UTF-8 with
// U+FFFD for ill-formed parts, the markers replaced, and one id per extended
// grapheme cluster. A cluster new to `data` takes a new id, entered into
// `unicode_lookup` and then `lookup`.
std::vector<model::TokenId> pretokenize_chunk(model::Data& data,
                                              std::string_view chunk);

// PreparedChunk
//
// A chunk pretokenized against a model that it may not change yet: the ids
// of known clusters, and the clusters new to the model in order of first
// occurrence, waiting for `commit_chunk()` to give them ids.
struct PreparedChunk {
  // One id per cluster; at a new cluster, the index of its text in
  // `new_clusters` instead (truncated to 16 bits: see commit_chunk()).
  std::vector<model::TokenId> ids;
  // The texts of the new clusters, in order of first occurrence.
  std::vector<std::string> new_clusters;
  // Whether each position of `ids` holds a new cluster's index; empty when
  // there is no new cluster.
  std::vector<bool> is_new;
};

// Returns the pretokenization of `chunk` against `unicode_lookup`, which it
// only reads: safe beside threads that change the model's other maps.
PreparedChunk prepare_chunk(const model::UnicodeLookup& unicode_lookup,
                            std::string_view chunk);

// commit_chunk()
//
// Gives the new clusters of `prepared` their ids, in order of first
// occurrence, exactly as `pretokenize_chunk()` would have (the same
// allocations and insertions, so an exhausted id space fails at the same
// cluster with the same message), and returns the chunk's ids. `data`'s
// `unicode_lookup` must be the one `prepared` was made against, or have
// gained clusters since: those keep their ids.
std::vector<model::TokenId> commit_chunk(model::Data& data,
                                         PreparedChunk prepared);

// Gives `new_clusters` their ids as `commit_chunk()` does and returns the id
// of each, in their order.
std::vector<model::TokenId> commit_new_clusters(
    model::Data& data, std::vector<std::string> new_clusters);

// What takes the ids of a chunk's pieces, in order, as they are committed.
using PieceConsumer = std::function<void(std::span<const model::TokenId>)>;

// pretokenize_chunk_in_pieces()
//
// Pretokenizes `chunk` as `pretokenize_chunk()` does, with the same effects
// on `data`, preparing the pieces of a large chunk on two threads. Hands the
// ids to `consume` on the calling thread, a piece at a time in order, as
// soon as each piece's new clusters have their ids; the other thread goes on
// preparing pieces meanwhile.
void pretokenize_chunk_in_pieces(model::Data& data, std::string_view chunk,
                                 const PieceConsumer& consume);

// Returns the ids that `pretokenize_chunk()` returns, with the same effects
// on `data`, pretokenized in pieces as above.
std::vector<model::TokenId> pretokenize_chunk_in_pieces(model::Data& data,
                                                        std::string_view chunk);

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_PRETOKENIZE_H_
