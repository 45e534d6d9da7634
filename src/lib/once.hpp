// Process-wide objects created at most once, on first need.
#pragma once

#include "refs.hpp"

#include <atomic>
#include <mutex>
#include <thread>

namespace velunq::py {

// Holds one strong reference for the life of the process. The first caller
// creates it; a thread that arrives meanwhile waits with the interpreter lock
// released, so that the creating thread can go on running Python code.
//
// That Python code (an import hook, an audit hook) may come back here on the
// creating thread itself. It must not wait for itself: it makes a value of
// its own, and whichever value is stored first is the one kept.
class ProcessOnce {
 public:
  // `make` returns a new reference or throws.
  template <class Make>
  PyObject* get(Make&& make) {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    // Only this thread ever stores its own id here, so a relaxed load is
    // enough to recognise it.
    if (maker_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return keep_first(make());
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      Py_BEGIN_ALLOW_THREADS
      lock.lock();
      Py_END_ALLOW_THREADS
    }
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    maker_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    struct Done {
      std::atomic<std::thread::id>& maker;
      ~Done() { maker.store(std::thread::id(), std::memory_order_relaxed); }
    } done{maker_};
    return keep_first(make());
  }

  PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

 private:
  // Stores `made` unless a value is stored already; returns the stored one.
  PyObject* keep_first(PyObject* made) {
    PyObject* stored = nullptr;
    if (value_.compare_exchange_strong(stored, made, std::memory_order_acq_rel)) return made;
    Py_DECREF(made);
    return stored;
  }

  std::atomic<PyObject*> value_{nullptr};
  std::atomic<std::thread::id> maker_{};
  std::mutex mutex_;
};

}  // namespace velunq::py
