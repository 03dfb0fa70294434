#ifndef SELVANE_CODEC_ENCODE_H_
#define SELVANE_CODEC_ENCODE_H_

#include <string_view>
#include <vector>

#include "model/data.h"

namespace selvane::codec {

// base_ids()
//
// Returns the id of each grapheme cluster of `st` in `unicode_lookup`, and
// the id of "oov" for every cluster that is not a key. Panics with "called
// `Option::unwrap()` on a `None` value" when a cluster is unknown and "oov"
// is not a key either.
std::vector<model::TokenId> base_ids(const model::UnicodeLookup& unicode_lookup,
                                     std::string_view st);

// Returns the base ids `ids` merged by their own most frequent pairs for as
// long as `merges` holds the most frequent one.
std::vector<model::TokenId> merge_base_ids(const model::Merges& merges,
                                           std::vector<model::TokenId> ids);

// Returns the token ids of the UTF-8 text `st`: its grapheme clusters mapped
// through `unicode_lookup`, then merged by the text's own most frequent pairs
// for as long as `merges` holds the most frequent one.
std::vector<model::TokenId> encode(const model::Data& data,
                                   std::string_view st);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_ENCODE_H_
