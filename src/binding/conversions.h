#ifndef SELVANE_BINDING_CONVERSIONS_H_
#define SELVANE_BINDING_CONVERSIONS_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/errors.h"
#include "binding/owned_ref.h"
#include "model/token_id.h"

namespace selvane::binding {

// Returns the UTF-8 form of the `str` (or subclass) `object`, borrowed from
// it: valid while `object` lives. Throws the "PyString" downcast error for
// other types and the interpreter's `UnicodeEncodeError` for lone surrogates.
std::string_view text_view(PyObject* object);

// Utf8Text
//
// The UTF-8 form of a `str`: borrowed from the string, or for a long
// non-ASCII one a temporary copy that `release()` frees once it is no longer
// needed. The string keeps no UTF-8 copy of its own then, which for a text
// of many megabytes is as much memory again as the text.
class Utf8Text {
 public:
  // Converts `object` under the rules of `text_view()`.
  explicit Utf8Text(PyObject* object);

  std::string_view view() const { return view_; }

  // Frees the temporary copy, if any; `view()` is empty afterwards.
  void release() {
    view_ = {};
    copy_ = OwnedRef();
  }

 private:
  OwnedRef copy_;
  std::string_view view_;
};

// Returns a copy of the UTF-8 form of `object`, under the rules of
// `text_view()`.
std::string owned_text(PyObject* object);

// Returns the truth of a `bool`, or of a numpy boolean through its type's
// truth slot. Throws the "PyBool" downcast error for anything else.
bool to_bool(PyObject* object);

// Returns the elements of the sequence `object` (not a `str`) as token ids, in
// iteration order. Throws `OverflowError` for an element outside 0..65535.
std::vector<model::TokenId> to_token_ids(PyObject* object);

// Returns a new `list` of `int` holding `ids` in order.
OwnedRef ids_to_list(std::span<const model::TokenId> ids);

// Returns a new `str` from the valid UTF-8 text `text`.
OwnedRef utf8_to_str(std::string_view text);

// new_str()
//
// Returns a new `str` of `length` code points whose largest is exactly
// `max_code_point` (at most U+10FFFF), filled by `fill(units)`: it gets a
// `std::span` of the string's `length` code units, of `std::uint8_t`,
// `std::uint16_t` or `std::uint32_t` by the width that `max_code_point`
// needs, and must write them all.
template <class Fill>
OwnedRef new_str(std::size_t length, char32_t max_code_point, Fill&& fill) {
  // Made in its final width, so the interpreter neither scans nor converts
  // the text again; the largest code point being exact keeps the string in
  // the canonical form that comparison and hashing rely on.
  OwnedRef str = check(PyUnicode_New(static_cast<Py_ssize_t>(length),
                                     static_cast<Py_UCS4>(max_code_point)));
  if (length == 0) return str;
  void* units = PyUnicode_DATA(str.get());
  switch (PyUnicode_KIND(str.get())) {
    case PyUnicode_1BYTE_KIND:
      fill(std::span(static_cast<std::uint8_t*>(units), length));
      break;
    case PyUnicode_2BYTE_KIND:
      fill(std::span(static_cast<std::uint16_t*>(units), length));
      break;
    default:
      fill(std::span(static_cast<std::uint32_t*>(units), length));
      break;
  }
  return str;
}

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_CONVERSIONS_H_
