#include "training/merge_learning.h"

#include <string>

#include "base/panic.h"
#include "codec/pair_counts.h"

namespace selvane::training {

std::string merged_token_bytes(const model::Lookup& lookup,
                               model::PairKey pair) {
  const std::string* first = lookup.find(model::pair_first(pair));
  const std::string* second = lookup.find(model::pair_second(pair));
  // Ids come from the model's own maps, so a missing one means a loaded
  // model whose maps disagree.
  if (first == nullptr || second == nullptr) {
    const model::TokenId missing =
        first == nullptr ? model::pair_first(pair) : model::pair_second(pair);
    panic_with("This should not happen",
               "merging pair " + codec::describe_pair(pair) + ": id " +
                   std::to_string(missing) + " has no bytes in the model");
  }
  std::string bytes;
  bytes.reserve(first->size() + second->size());
  bytes += *first;
  bytes += *second;
  return bytes;
}

}  // namespace selvane::training
