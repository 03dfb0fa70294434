#include "codec/vocab.h"

namespace selvane::codec {

std::vector<model::TokenId> vocab(const model::Data& data) {
  std::vector<model::TokenId> ids;
  ids.reserve(data.lookup.size());
  // `Lookup` visits ids in ascending order, which is the order promised.
  data.lookup.for_each(
      [&ids](model::TokenId id, const std::string&) { ids.push_back(id); });
  return ids;
}

}  // namespace selvane::codec
