#ifndef SELVANE_TRAINING_ID_ALLOCATION_H_
#define SELVANE_TRAINING_ID_ALLOCATION_H_

#include "model/data.h"

namespace selvane::training {

// Returns the id that a new cluster or merge takes: the number of entries
// `lookup` holds. Panics, before anything is inserted, when all 65,536 ids
// are in use, or when that id already has an entry (a loaded model whose ids
// have gaps), since handing it out would overwrite a token.
model::TokenId new_token_id(const model::Lookup& lookup);

// Writes the reserved entries: "oov" -> 0 in `unicode_lookup` and 0 -> the
// empty byte string in `lookup`, replacing any earlier values.
void write_reserved_entries(model::Data& data);

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_ID_ALLOCATION_H_
