#include "training/merge_learning.h"

#include "base/panic.h"

namespace selvane::training {

std::string merged_token_bytes(const model::Lookup& lookup,
                               model::PairKey pair) {
  const std::string* first = lookup.find(model::pair_first(pair));
  const std::string* second = lookup.find(model::pair_second(pair));
  // Ids come from the model's own maps, so a missing one means a loaded
  // model whose maps disagree.
  if (first == nullptr || second == nullptr) panic("This should not happen");
  std::string bytes;
  bytes.reserve(first->size() + second->size());
  bytes += *first;
  bytes += *second;
  return bytes;
}

}  // namespace selvane::training
