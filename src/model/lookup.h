#ifndef SELVANE_MODEL_LOOKUP_H_
#define SELVANE_MODEL_LOOKUP_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/token_id.h"
#include "text/utf8.h"

namespace selvane::model {

// Lookup
//
// Token id -> the token's bytes. A dense table indexed by id: lookups are one
// index, and the table only grows as far as the highest id it holds, which
// for a trained model is its entry count.
class Lookup {
 public:
  // Returns the number of ids present.
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  // Returns whether `id` is present.
  bool contains(TokenId id) const {
    return id < present_.size() && present_[id] != 0;
  }

  // Returns whether every present id's bytes are valid UTF-8, so that any
  // concatenation of them is too.
  bool all_utf8() const { return invalid_utf8_ == 0; }

  // Returns the code point count and largest code point of the bytes of
  // `id`, which must be present and valid UTF-8.
  const text::CodePointShape& shape(TokenId id) const { return shapes_[id]; }

  // Returns the bytes of `id`, or nullptr when it is absent.
  const std::string* find(TokenId id) const {
    return contains(id) ? &bytes_[id] : nullptr;
  }

  // Sets the bytes of `id`, inserting it or replacing its value.
  void insert_or_assign(TokenId id, std::string bytes) {
    if (id >= present_.size()) {
      bytes_.resize(std::size_t{id} + 1);
      shapes_.resize(std::size_t{id} + 1);
      present_.resize(std::size_t{id} + 1, 0);
    }
    // Each entry is checked once, as it is set (a whole model once, at
    // load), so that decoding need not check the joined bytes every call.
    // Decoding also learns the text's length and width from these facts
    // instead of reading the joined bytes again.
    const std::uint8_t state = text::validate_utf8(bytes) ? kInvalid : kValid;
    shapes_[id] = state == kValid ? text::code_point_shape(bytes)
                                  : text::CodePointShape{};
    if (present_[id] == 0) {
      ++count_;
    } else if (present_[id] == kInvalid) {
      --invalid_utf8_;
    }
    if (state == kInvalid) ++invalid_utf8_;
    present_[id] = state;
    bytes_[id] = std::move(bytes);
  }

  // Reserves room for ids below `id_bound`.
  void reserve(std::size_t id_bound) {
    bytes_.reserve(id_bound);
    shapes_.reserve(id_bound);
    present_.reserve(id_bound);
  }

  // Calls `visit(id, bytes)` for every present id, in ascending id order.
  template <typename Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t id = 0; id < present_.size(); ++id) {
      if (present_[id] != 0) visit(static_cast<TokenId>(id), bytes_[id]);
    }
  }

 private:
  // States of `present_`: absent is 0.
  static constexpr std::uint8_t kValid = 1;
  static constexpr std::uint8_t kInvalid = 2;

  std::vector<std::string> bytes_;
  std::vector<text::CodePointShape> shapes_;
  std::vector<std::uint8_t> present_;
  std::size_t count_ = 0;
  // The number of present ids whose bytes are not valid UTF-8.
  std::size_t invalid_utf8_ = 0;
};

}  // namespace selvane::model

#endif  // SELVANE_MODEL_LOOKUP_H_
