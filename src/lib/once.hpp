// Process-wide objects created on first need and kept for the life of the
// process.
#pragma once

#include "refs.hpp"

#include <atomic>

namespace velunq::py {

// Holds one strong reference for the life of the process. Every caller gets
// the same object.
//
// Making the value may run Python code (an import runs import and audit
// hooks), and that code may hold a lock another thread needs, such as the
// interpreter's import lock, or come back here on the same thread. So no
// caller ever waits for another: a thread that finds no value makes one, the
// first value stored is kept, and a value that lost the race is dropped
// before anyone sees it. Nothing is held while a value is made, so a process
// forked meanwhile inherits no lock either.
class ProcessOnce {
 public:
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

  PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<PyObject*> value_{nullptr};
};

}  // namespace velunq::py
