#include "codec/decode.h"

#include <cstddef>
#include <cstring>

#include "base/panic.h"
#include "text/utf8.h"

namespace selvane::codec {

std::string decode(const model::Data& data,
                   std::span<const model::TokenId> ids) {
  // First pass: every id must be present before anything is built, and the
  // total size lets the joined bytes be allocated once.
  std::size_t total = 0;
  for (const model::TokenId id : ids) {
    const std::string* bytes = data.lookup.find(id);
    if (bytes == nullptr) panic("This should not happend");
    total += bytes->size();
  }
  // Copying into a buffer sized up front avoids append's capacity check per
  // token, which dominates for tokens of a few bytes.
  std::string joined(total, '\0');
  char* out = joined.data();
  for (const model::TokenId id : ids) {
    // Present by the first pass; the test only spares a null dereference.
    if (const std::string* bytes = data.lookup.find(id)) {
      std::memcpy(out, bytes->data(), bytes->size());
      out += bytes->size();
    }
  }

  // Joined before decoding, so a character split over tokens comes out
  // whole. A trained model only holds valid UTF-8, and then the joined bytes
  // are already the answer: the lookup knows it from checking each entry
  // once, and otherwise checking is cheaper than copying them again.
  if (data.lookup.all_utf8() || !text::validate_utf8(joined)) return joined;
  return text::decode_utf8_lossy(joined);
}

}  // namespace selvane::codec
