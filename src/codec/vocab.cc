#include "codec/vocab.h"

#include "base/panic.h"

namespace selvane::codec {

std::vector<model::TokenId> vocab(const model::Data&) {
  panic("vocab is not built yet");
}

}  // namespace selvane::codec
