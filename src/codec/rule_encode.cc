#include "codec/rule_encode.h"

#include <utility>

#include "codec/encode.h"
#include "codec/rank_merge.h"

namespace selvane::codec {

std::vector<model::TokenId> encode_by_rule(const model::Data& data,
                                           const RankTable& ranks,
                                           std::string_view st, Rule rule) {
  std::vector<model::TokenId> ids = base_ids(data.unicode_lookup, st);
  merge_by_rule(data, ranks, ids, rule);
  return ids;
}

void merge_by_rule(const model::Data& data, const RankTable& ranks,
                   std::vector<model::TokenId>& ids, Rule rule) {
  if (rule == Rule::kFrequency) {
    ids = merge_base_ids(data.merges, std::move(ids));
  } else {
    merge_by_rank(ranks, ids);
  }
}

}  // namespace selvane::codec
