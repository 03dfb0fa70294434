#ifndef SELVANE_BINDING_PARAMETER_TABLE_H_
#define SELVANE_BINDING_PARAMETER_TABLE_H_

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>

namespace selvane::binding {

// ParameterTable
//
// The static description of one callable's parameters, which every call is
// parsed against. Parameters are positional-or-keyword unless among the first
// `positional_only`; the first `required` of them must be given.
struct ParameterTable {
  // Class of a method, or nullptr for a module function.
  const char* class_name;
  const char* function_name;
  std::span<const char* const> keywords;
  std::size_t positional_only;
  std::size_t required;
};

// Returns the callable's name as messages show it: "Data.train()" or
// "load_from_file()".
std::string display_name(const ParameterTable& table);

// Parses a vectorcall (`nargs` positional values in `args`, followed by the
// values of the keyword names `kwnames`) into `slots`, one per parameter in
// table order; an absent argument leaves its slot null. Throws `TypeError`
// for too many positional arguments, an unknown or repeated keyword, or a
// missing required argument, checked in that order.
void parse_arguments(const ParameterTable& table, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> slots);

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_PARAMETER_TABLE_H_
