// Python references and pending Python errors, for the boundary's C++ code.
//
// Ownership rules:
// - A plain `PyObject*` parameter or local is *borrowed*: the code that holds
//   it never releases it and must not keep it beyond the call that lent it.
// - An `OwnedRef` holds one strong reference and releases it when it goes out
//   of scope. Take a new reference with `OwnedRef::steal(result_of_api_call)`
//   (the API call returned a new reference) or `OwnedRef::borrow(p)` (adds a
//   reference to a borrowed pointer). `release()` hands the reference on.
// - A Python API call that fails leaves an exception pending; the code that
//   sees the failure throws `PyErrorPending`, which unwinds the C++ frames
//   (releasing every OwnedRef on the way) to the method's single exit, which
//   returns NULL with the exception still set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velunq::py {

// Thrown when a Python exception is set and must reach the caller.
struct PyErrorPending {};

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
  static OwnedRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return OwnedRef(p);
  }

  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Makes sure an exception is pending before a failure is reported: an API
// call that failed without setting one is reported as the interpreter would.
inline void ensure_error_set() noexcept {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

[[noreturn]] inline void throw_pending() {
  ensure_error_set();
  throw PyErrorPending{};
}

// The new reference `p`, or the pending exception if the call that made it failed.
inline OwnedRef check(PyObject* p) {
  if (p == nullptr) throw_pending();
  return OwnedRef::steal(p);
}

}  // namespace velunq::py
