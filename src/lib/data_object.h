#ifndef SELVANE_LIB_DATA_OBJECT_H_
#define SELVANE_LIB_DATA_OBJECT_H_

#include <Python.h>

#include <cstddef>
#include <new>

#include "model/data.h"

namespace selvane::lib {

// DataObject
//
// The instance layout of the class `Data`: the object header, the model record
// held by value, then the borrow flag (0 free, all bits set exclusively
// borrowed, n shared borrows). The record lives in raw storage so that the
// struct stays standard-layout and is constructed and destroyed explicitly.
struct DataObject {
  PyObject ob_base;
  alignas(model::Data) unsigned char record_storage[sizeof(model::Data)];
  std::size_t borrow_flag;
};

// Returns the instance layout of `object`, which must be a `Data` instance.
inline DataObject* as_data_object(PyObject* object) {
  return reinterpret_cast<DataObject*>(object);
}

// Returns the model record of a constructed `Data` instance.
inline model::Data& record_of(DataObject* object) {
  return *std::launder(reinterpret_cast<model::Data*>(object->record_storage));
}

}  // namespace selvane::lib

#endif  // SELVANE_LIB_DATA_OBJECT_H_
