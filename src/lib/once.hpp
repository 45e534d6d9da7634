// Process-wide objects created at most once, on first need.
#pragma once

#include "refs.hpp"

#include <atomic>
#include <mutex>

namespace velunq::py {

// Holds one strong reference for the life of the process. The first caller
// creates it; a thread that arrives meanwhile waits with the interpreter lock
// released, so that the creating thread can go on running Python code.
class ProcessOnce {
 public:
  // `make` returns a new reference or throws.
  template <class Make>
  PyObject* get(Make&& make) {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      Py_BEGIN_ALLOW_THREADS
      lock.lock();
      Py_END_ALLOW_THREADS
    }
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    PyObject* value = make();
    value_.store(value, std::memory_order_release);
    return value;
  }

  PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex mutex_;
};

}  // namespace velunq::py
