// Binding passed arguments to a method's parameters.
#pragma once

#include <array>
#include <cstddef>

#include "refs.hpp"

namespace velunq::py {

// The parameters of one method; every parameter may be passed by position or
// by keyword, and the leading `required` ones must be passed.
struct FunctionDescription {
  const char* cls;
  const char* function;
  const char* const* names;
  std::size_t count;
  std::size_t required;
};

// One borrowed reference per parameter; nullptr where nothing was passed.
template <std::size_t N>
using BoundArgs = std::array<PyObject*, N>;

// Binds a vector call: `args` holds `nargs` positional values followed by
// one value per name in `kwnames`. Throws PyErrorPending with a TypeError.
void extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Binds an argument tuple and keyword dictionary (the constructor's call).
void extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args,
                                  PyObject* kwargs, PyObject** slots);

template <std::size_t N>
BoundArgs<N> bind(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  BoundArgs<N> slots{};
  extract_arguments_fastcall(desc, args, nargs, kwnames, slots.data());
  return slots;
}

}  // namespace velunq::py
