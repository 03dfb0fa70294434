#include "binding/parameter_table.h"

#include <string_view>
#include <vector>

#include "binding/conversions.h"
#include "binding/errors.h"
#include "binding/owned_ref.h"

namespace selvane::binding {
namespace {

// Joins quoted names as a sentence lists them: 'a'; 'a' and 'b';
// 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += ' ';
      if (i + 1 == names.size()) out += "and ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Returns the index of the parameter that a keyword may name, or the number of
// parameters when none matches.
std::size_t find_keyword(const ParameterTable& table, PyObject* name) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) {
    // A name that UTF-8 cannot hold matches no parameter; the lookup failure
    // is not the caller's error.
    take_current_error();
    return table.keywords.size();
  }
  const std::string_view text(utf8, static_cast<std::size_t>(size));
  for (std::size_t i = table.positional_only; i < table.keywords.size(); ++i) {
    if (text == table.keywords[i]) return i;
  }
  return table.keywords.size();
}

// Returns str(name) as UTF-8 for a message. A failing str() is reported to
// the unraisable hook, since the message is what the caller needs to see.
std::string keyword_text(PyObject* name) {
  if (OwnedRef text = OwnedRef::steal(PyObject_Str(name))) {
    return lossy_utf8(text.get());
  }
  PyErr_WriteUnraisable(name);
  return std::string("<unprintable ") + Py_TYPE(name)->tp_name + " object>";
}

}  // namespace

std::string display_name(const ParameterTable& table) {
  std::string name;
  if (table.class_name != nullptr) {
    name += table.class_name;
    name += '.';
  }
  name += table.function_name;
  name += "()";
  return name;
}

void parse_arguments(const ParameterTable& table, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> slots) {
  const std::size_t parameters = table.keywords.size();
  const auto given = static_cast<std::size_t>(nargs);
  if (given > parameters) {
    throw TypeError(display_name(table) + " takes " +
                    std::to_string(parameters) + " positional arguments but " +
                    std::to_string(given) + " were given");
  }
  for (std::size_t i = 0; i < parameters; ++i) {
    slots[i] = i < given ? args[i] : nullptr;
  }

  const Py_ssize_t keyword_count =
      kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t index = find_keyword(table, name);
    if (index == parameters) {
      throw TypeError(display_name(table) +
                      " got an unexpected keyword argument '" +
                      keyword_text(name) + "'");
    }
    if (slots[index] != nullptr) {
      throw TypeError(display_name(table) +
                      " got multiple values for argument '" +
                      table.keywords[index] + "'");
    }
    slots[index] = args[nargs + k];
  }

  if (given < table.required) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < table.required; ++i) {
      if (slots[i] == nullptr) missing.push_back(table.keywords[i]);
    }
    if (!missing.empty()) {
      throw TypeError(
          display_name(table) + " missing " + std::to_string(missing.size()) +
          " required positional argument" + (missing.size() == 1 ? "" : "s") +
          ": " + quoted_list(missing));
    }
  }
}

}  // namespace selvane::binding
