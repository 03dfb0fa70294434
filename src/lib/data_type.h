#ifndef SELVANE_LIB_DATA_TYPE_H_
#define SELVANE_LIB_DATA_TYPE_H_

#include <Python.h>

#include "binding/owned_ref.h"
#include "lib/data_object.h"
#include "model/data.h"

namespace selvane::lib {

// Returns the class `Data` (borrowed; it lives as long as the process),
// creating it on the first call. Throws `binding::PyErrOccurred` when the
// interpreter cannot create it.
PyTypeObject* data_type();

// Returns `self` as a `Data` instance; throws the "Data" downcast `TypeError`
// when its type is neither `Data` nor a subtype.
DataObject* downcast_data(PyObject* self);

// Returns a new `Data` instance owning `record`, with a free borrow flag.
// Panics with the Python error's description if the allocation fails.
binding::OwnedRef new_data_object(model::Data&& record);

}  // namespace selvane::lib

#endif  // SELVANE_LIB_DATA_TYPE_H_
