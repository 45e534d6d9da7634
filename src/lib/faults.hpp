// Internal faults at the boundary.
//
// Every entry point runs its body through `guarded`, the one place where C++
// failures become Python exceptions:
// - PyErrorPending: the exception is already set; it propagates as it is.
// - InternalFault (from the core or the boundary): a notice goes to standard
//   error and the caller gets `PanicException` carrying the fault's message.
// - ResultObjectFailed: the interpreter could not create a result object;
//   its exception is printed, then the call becomes that internal fault. The
//   printing waits until the call has unwound: it may run Python code (the
//   exception hook, sys.stderr), which must find no half-built result.
// - std::bad_alloc / std::length_error: native memory ran out; MemoryError.
#pragma once

#include <new>
#include <stdexcept>

#include "graph/fault.hpp"
#include "refs.hpp"

namespace velunq::py {

// The PanicException class (created on first need).
PyObject* panic_exception_type();

// Sets PanicException for `fault`, after writing the notice to standard error.
void raise_panic(const InternalFault& fault) noexcept;
void raise_panic(const char* message) noexcept;

// A PanicException raised by Python code that the module called: prints a
// notice and the traceback, then raises it again as a fault of our own.
[[noreturn]] void rethrow_python_panic(PyObject* exception);

// The interpreter failed to create a result object; its exception is pending.
class ResultObjectFailed : public InternalFault {
 public:
  using InternalFault::InternalFault;
};

// A Python object that a result conversion created; a failure to create it is
// printed and becomes an internal fault (ResultObjectFailed).
OwnedRef result_object(PyObject* p);

template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const PyErrorPending&) {
    ensure_error_set();
  } catch (const ResultObjectFailed& fault) {
    ensure_error_set();
    PyErr_Print();
    raise_panic(fault);
  } catch (const InternalFault& fault) {
    raise_panic(fault);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("internal fault without a message");
  }
  return {};
}

}  // namespace velunq::py
