#ifndef SELVANE_CODEC_RULE_ENCODE_H_
#define SELVANE_CODEC_RULE_ENCODE_H_

#include <string_view>
#include <vector>

#include "codec/rank_table.h"
#include "codec/rule.h"
#include "model/data.h"

namespace selvane::codec {

// encode_by_rule()
//
// Returns the token ids of the UTF-8 text `st` under `rule`: for
// `kFrequency` exactly those of `encode()`, for `kRank` the base ids merged
// by `merge_by_rank()` with `ranks`, which must be those of `data`. Unknown
// clusters take the id of "oov" under both, and panic as `base_ids()` does when
// there is none.
std::vector<model::TokenId> encode_by_rule(const model::Data& data,
                                           const RankTable& ranks,
                                           std::string_view st, Rule rule);

// merge_by_rule()
//
// Merges the base ids `ids` in place under `rule`, as `encode_by_rule()`
// does after looking the clusters up.
void merge_by_rule(const model::Data& data, const RankTable& ranks,
                   std::vector<model::TokenId>& ids, Rule rule);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_RULE_ENCODE_H_
