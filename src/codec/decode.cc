#include "codec/decode.h"

#include "base/panic.h"

namespace selvane::codec {

std::string decode(const model::Data&, std::span<const model::TokenId>) {
  panic("decode is not built yet");
}

}  // namespace selvane::codec
