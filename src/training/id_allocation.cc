#include "training/id_allocation.h"

#include <string>

#include "base/panic.h"

namespace selvane::training {

model::TokenId new_token_id(const model::Lookup& lookup) {
  const std::size_t next = lookup.size();
  if (next >= model::kTokenIdCount) {
    panic(
        "All 65,536 token ids are in use: the model has no id left for a "
        "new token");
  }
  const auto id = static_cast<model::TokenId>(next);
  if (lookup.contains(id)) {
    panic("Token id " + std::to_string(id) +
          " is already in use: the model's ids are not the numbers below its "
          "entry count, so a new token cannot take one");
  }
  return id;
}

void write_reserved_entries(model::Data& data) {
  data.unicode_lookup.insert_or_assign(std::string(model::kOovKey),
                                       model::TokenId{0});
  data.lookup.insert_or_assign(0, std::string());
}

}  // namespace selvane::training
