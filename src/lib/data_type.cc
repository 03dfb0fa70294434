#include "lib/data_type.h"

#include <memory>
#include <new>

#include "base/panic.h"
#include "binding/call_frame.h"
#include "binding/errors.h"
#include "lib/entries.h"

namespace selvane::lib {
namespace {

// Created by the first import and never released: instances keep a reference
// to it, and later imports reuse it.
PyTypeObject* data_type_object = nullptr;

// Data(*args, **kwargs)
//   Always raises TypeError "No constructor defined": a model comes only from
//   load_from_file(), even an empty one.
PyObject* data_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
  return binding::run_in_frame([]() -> PyObject* {
    throw binding::TypeError("No constructor defined");
  });
}

// Destroys the model record with its last reference. Failures cannot
// propagate from here and go to the unraisable hook.
void data_dealloc(PyObject* self) noexcept {
  binding::run_reporting_unraisable(
      self, [self] { std::destroy_at(&record_of(as_data_object(self))); });
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(type);
}

// The ml_doc texts carry only a text signature: the part before "\n--\n\n"
// becomes __text_signature__, and the empty rest leaves __doc__ None.
PyMethodDef data_methods[] = {
    {"train", as_cfunction(&data_train), METH_FASTCALL | METH_KEYWORDS,
     "train($self, train_file, print_logs, logs_file)\n--\n\n"},
    {"encode", as_cfunction(&data_encode), METH_FASTCALL | METH_KEYWORDS,
     "encode($self, st)\n--\n\n"},
    {"decode", as_cfunction(&data_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, tokens)\n--\n\n"},
    {"vocab", &data_vocab, METH_NOARGS, "vocab($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot data_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(&data_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&data_dealloc)},
    {Py_tp_methods, data_methods},
    {0, nullptr},
};

// Default flags only: not a base type, not tracked by the garbage collector
// (the record holds no Python objects), no __dict__, no weak references.
PyType_Spec data_spec = {
    "builtins.Data",
    static_cast<int>(sizeof(DataObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    data_slots,
};

}  // namespace

PyTypeObject* data_type() {
  if (data_type_object == nullptr) {
    data_type_object = reinterpret_cast<PyTypeObject*>(
        binding::check(PyType_FromSpec(&data_spec)).release());
  }
  return data_type_object;
}

DataObject* downcast_data(PyObject* self) {
  if (data_type_object == nullptr ||
      !PyType_IsSubtype(Py_TYPE(self), data_type_object)) {
    binding::throw_downcast_error(self, "Data");
  }
  return as_data_object(self);
}

binding::OwnedRef new_data_object(model::Data&& record) {
  PyTypeObject* type = data_type();
  binding::OwnedRef object = binding::OwnedRef::steal(type->tp_alloc(type, 0));
  if (!object) {
    panic("called `Result::unwrap()` on an `Err` value: " +
          binding::describe_current_error());
  }
  DataObject* data = as_data_object(object.get());
  try {
    ::new (static_cast<void*>(data->record_storage))
        model::Data(std::move(record));
  } catch (...) {
    // Without a record the destructor slot must not run: free the raw
    // object directly.
    type->tp_free(object.release());
    Py_DECREF(type);
    throw;
  }
  data->borrow_flag = 0;
  return object;
}

}  // namespace selvane::lib
