#ifndef SELVANE_BINDING_CONVERSIONS_H_
#define SELVANE_BINDING_CONVERSIONS_H_

#include <Python.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_CONVERSIONS_H_
