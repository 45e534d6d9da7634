#include "binding.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace velunq::py {

namespace {

std::string full_name(const FunctionDescription& desc) {
  std::string name;
  if (desc.cls != nullptr) name = std::string(desc.cls) + ".";
  return name + desc.function + "()";
}

[[noreturn]] void type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PyErrorPending{};
}

[[noreturn]] void too_many_positional(const FunctionDescription& desc, Py_ssize_t given) {
  std::string message = full_name(desc) + " takes ";
  if (desc.required == desc.count) {
    message += std::to_string(desc.count);
  } else {
    message += "from " + std::to_string(desc.required) + " to " + std::to_string(desc.count);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
             " given";
  type_error(message);
}

[[noreturn]] void unexpected_keyword(const FunctionDescription& desc, PyObject* key) {
  OwnedRef text = check(PyObject_Str(key));
  const std::string prefix = full_name(desc) + " got an unexpected keyword argument '";
  OwnedRef message = check(PyUnicode_FromFormat("%s%U'", prefix.c_str(), text.get()));
  PyErr_SetObject(PyExc_TypeError, message.get());
  throw PyErrorPending{};
}

// The parameter that `key` names, or -1.
Py_ssize_t parameter_index(const FunctionDescription& desc, PyObject* key) {
  Py_ssize_t size = 0;
  const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (name == nullptr) {
    PyErr_Clear();  // a name that cannot be read names no parameter
    return -1;
  }
  for (std::size_t i = 0; i < desc.count; ++i) {
    if (std::strlen(desc.names[i]) == static_cast<std::size_t>(size) &&
        std::memcmp(desc.names[i], name, static_cast<std::size_t>(size)) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

void bind_keyword(const FunctionDescription& desc, PyObject* key, PyObject* value, PyObject** slots) {
  const Py_ssize_t index = parameter_index(desc, key);
  if (index < 0) unexpected_keyword(desc, key);
  if (slots[index] != nullptr) {
    type_error(full_name(desc) + " got multiple values for argument '" + desc.names[index] + "'");
  }
  slots[index] = value;
}

void bind_positional(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** slots) {
  if (static_cast<std::size_t>(nargs) > desc.count) too_many_positional(desc, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
}

void check_required(const FunctionDescription& desc, PyObject* const* slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < desc.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(desc.names[i]);
  }
  if (missing.empty()) return;
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        list += " and ";
      } else {
        list += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    list += std::string("'") + missing[i] + "'";
  }
  type_error(full_name(desc) + " missing " + std::to_string(missing.size()) + " required positional " +
             (missing.size() == 1 ? "argument" : "arguments") + ": " + list);
}

}  // namespace

void extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  bind_positional(desc, args, nargs, slots);
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      bind_keyword(desc, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots);
    }
  }
  check_required(desc, slots);
}

void extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args,
                                  PyObject* kwargs, PyObject** slots) {
  bind_positional(desc, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), slots);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(desc, key, value, slots);
  }
  check_required(desc, slots);
}

}  // namespace velunq::py
