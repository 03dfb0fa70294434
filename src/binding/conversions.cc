#include "binding/conversions.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "binding/errors.h"

namespace selvane::binding {
namespace {

// numpy's boolean scalar type, under its name before numpy 2 and under the
// one it has had since.
constexpr const char* kNumpyBoolNames[] = {"numpy.bool_", "numpy.bool"};

// A sequence's length only sizes the first allocation; a `__len__` may claim
// far more elements than it yields, so the reservation is capped (2^20 ids,
// 2 MiB) and longer sequences grow as their elements arrive.
constexpr Py_ssize_t kMaxReservedIds = Py_ssize_t{1} << 20;

bool is_numpy_bool_type(const PyTypeObject* type) {
  return std::any_of(std::begin(kNumpyBoolNames), std::end(kNumpyBoolNames),
                     [type](const char* name) {
                       return std::strcmp(type->tp_name, name) == 0;
                     });
}

// Returns `value` as a token id; throws `OverflowError` outside 0..65535.
model::TokenId checked_token_id(long value) {
  if (value < 0 || value > std::numeric_limits<model::TokenId>::max()) {
    throw OverflowError("out of range integral type conversion attempted");
  }
  return static_cast<model::TokenId>(value);
}

// Returns whether `item` is a plain int stored in one internal digit (below
// 2^30 in size, which covers every token id), whose value can be read in
// place: no call, no overflow check, and no Python code that could run.
bool is_compact_int(PyObject* item) {
  return PyLong_CheckExact(item) &&
         PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item));
}

// Returns the token id of the compact int `item`; throws `OverflowError`
// outside 0..65535.
model::TokenId compact_token_id(PyObject* item) {
  return checked_token_id(static_cast<long>(
      PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item))));
}

// Returns the token id that the element `item` holds. Throws the
// interpreter's error for a non-integer and `OverflowError` outside 0..65535.
model::TokenId to_token_id(PyObject* item) {
  // The general conversion's call and checks were a tenth of a long decode.
  if (is_compact_int(item)) return compact_token_id(item);
  const long value = PyLong_AsLong(item);
  if (value == -1 && PyErr_Occurred() != nullptr) throw_current_error();
  return checked_token_id(value);
}

}  // namespace

std::string_view text_view(PyObject* object) {
  if (!PyUnicode_Check(object)) throw_downcast_error(object, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) throw_current_error();
  return {utf8, static_cast<std::size_t>(size)};
}

Utf8Text::Utf8Text(PyObject* object) {
  if (!PyUnicode_Check(object)) throw_downcast_error(object, "PyString");
  // Past this many code points the copy is freed early; below it the
  // string's own cached form saves a copy per call.
  constexpr Py_ssize_t kTemporaryFrom = Py_ssize_t{1} << 20;
  if (PyUnicode_GET_LENGTH(object) < kTemporaryFrom ||
      PyUnicode_IS_ASCII(object)) {
    view_ = text_view(object);
    return;
  }
  // The same strict encoder as the cached form, with the same errors.
  copy_ = check(PyUnicode_AsUTF8String(object));
  view_ = {PyBytes_AS_STRING(copy_.get()),
           static_cast<std::size_t>(PyBytes_GET_SIZE(copy_.get()))};
}

std::string owned_text(PyObject* object) {
  return std::string(text_view(object));
}

bool to_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyBool_Type) return object == Py_True;
  if (!is_numpy_bool_type(type)) throw_downcast_error(object, "PyBool");
  if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
    OwnedRef message = check(PyUnicode_FromFormat(
        "object of type '%S' does not define a '__bool__' conversion",
        reinterpret_cast<PyObject*>(type)));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw PyErrOccurred();
  }
  const int truth = type->tp_as_number->nb_bool(object);
  if (truth == 0) return false;
  if (truth == 1) return true;
  throw_current_error();
}

std::vector<model::TokenId> to_token_ids(PyObject* object) {
  if (PyUnicode_Check(object)) throw TypeError("Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) throw_downcast_error(object, "Sequence");

  std::vector<model::TokenId> ids;
  const Py_ssize_t length = PySequence_Size(object);
  if (length == -1) {
    // Only a hint: the iteration below decides the contents.
    take_current_error();
  } else {
    ids.reserve(static_cast<std::size_t>(std::min(length, kMaxReservedIds)));
  }

  // An exact list or tuple is read by index, as its own iterator would read
  // it (the length is checked again before every element, since converting
  // one may run Python code that changes the list), without an iterator
  // call per element; that call was most of the cost of a long decode.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    const bool is_list = PyList_CheckExact(object);
    for (Py_ssize_t index = 0;; ++index) {
      const Py_ssize_t size =
          is_list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object);
      if (index >= size) break;
      PyObject* item = is_list ? PyList_GET_ITEM(object, index)
                               : PyTuple_GET_ITEM(object, index);
      // Reading a compact int runs no Python code, so the list cannot drop
      // it meanwhile and it needs no reference of its own.
      if (is_compact_int(item)) {
        ids.push_back(compact_token_id(item));
        continue;
      }
      // Held for the conversion, which may drop the list's reference.
      const OwnedRef held = OwnedRef::borrow(item);
      ids.push_back(to_token_id(held.get()));
    }
    return ids;
  }

  OwnedRef iterator = check(PyObject_GetIter(object));
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    ids.push_back(to_token_id(item.get()));
  }
  if (PyErr_Occurred() != nullptr) throw_current_error();
  return ids;
}

OwnedRef ids_to_list(std::span<const model::TokenId> ids) {
  // One int object per token id, made on first use and kept: the
  // interpreter caches only the ints up to 256, and allocating an int per
  // element was a third of the cost of encoding a sentence. Ints are
  // immutable, so sharing them changes nothing a caller can rely on; the
  // module serves a single interpreter, whose lock guards the table.
  static PyObject* ints[model::kTokenIdCount] = {};
  OwnedRef list = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  Py_ssize_t index = 0;
  for (const model::TokenId id : ids) {
    PyObject*& cached = ints[id];
    if (cached == nullptr) {
      cached = PyLong_FromLong(id);
      if (cached == nullptr) throw_current_error();
    }
    PyList_SET_ITEM(list.get(), index++, Py_NewRef(cached));
  }
  return list;
}

OwnedRef utf8_to_str(std::string_view text) {
  return check(PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace selvane::binding
