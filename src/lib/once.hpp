// Process-wide objects created on first need and kept while the interpreter
// runtime that made them lasts.
#pragma once

#include "refs.hpp"

#include <atomic>

namespace velunq::py {

// Holds one strong reference, made on first need. Every caller gets the same
// object.
//
// Making the value may run Python code (an import runs import and audit
// hooks), and that code may hold a lock another thread needs, such as the
// interpreter's import lock, or come back here on the same thread. So no
// caller ever waits for another: a thread that finds no value makes one, the
// first value stored is kept, and a value that lost the race is dropped
// before anyone sees it. Nothing is held while a value is made, so a process
// forked meanwhile inherits no lock either.
//
// The values belong to the interpreter runtime that made them. An embedding
// program may finalise the runtime and start a new one in the same process;
// `forget_all` then drops every value unreleased (its runtime is gone), so
// that the new runtime makes its own.
class ProcessOnce {
 public:
  ProcessOnce() noexcept : next_(all_) { all_ = this; }
  ProcessOnce(const ProcessOnce&) = delete;
  ProcessOnce& operator=(const ProcessOnce&) = delete;

  // `make` returns a new reference or throws.
  template <class Make>
  PyObject* get(Make&& make) {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    PyObject* made = make();
    PyObject* stored = nullptr;
    if (value_.compare_exchange_strong(stored, made, std::memory_order_acq_rel)) return made;
    Py_DECREF(made);
    return stored;
  }

  static void forget_all() noexcept {
    for (ProcessOnce* once = all_; once != nullptr; once = once->next_) once->value_.store(nullptr);
  }

 private:
  // Every instance, all of them made at load time.
  static inline ProcessOnce* all_ = nullptr;

  std::atomic<PyObject*> value_{nullptr};
  ProcessOnce* next_;
};

}  // namespace velunq::py
