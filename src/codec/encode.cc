#include "codec/encode.h"

#include "base/panic.h"

namespace selvane::codec {

std::vector<model::TokenId> encode(const model::Data&, std::string_view) {
  panic("encode is not built yet");
}

}  // namespace selvane::codec
