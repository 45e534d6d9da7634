#include "signal_checks.hpp"

#include "once.hpp"

namespace velunq::py {

namespace {

ProcessOnce getsignal;  // _signal.getsignal

// The Python handler of SIGINT, or nothing (no error set) when it is not a
// callable or cannot be looked up. The lookup runs no Python code (no import
// hook), where a pending signal's handler could run and raise unseen.
OwnedRef callable_interrupt_handler() {
  try {
    PyObject* lookup = getsignal.get([] {
      OwnedRef name = check(PyUnicode_FromString("_signal"));
      OwnedRef module = OwnedRef::steal(PyImport_GetModule(name.get()));
      if (!module) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "no _signal module");
        throw PyErrorPending{};
      }
      return check(PyObject_GetAttrString(module.get(), "getsignal")).release();
    });
    OwnedRef handler = check(PyObject_CallFunction(lookup, "i", SIGINT));
    if (PyCallable_Check(handler.get())) return handler;
  } catch (const PyErrorPending&) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw;
    PyErr_Clear();
  }
  return OwnedRef();
}

}  // namespace

// The interpreter runs a signal's handler once per signal and writes the
// signal once to the descriptor of signal.set_wakeup_fd, where an event loop
// counts the presses. Setting the Ctrl-C pending again for the interpreter
// would write it a second time, so its handler is called here, with the
// arguments the interpreter gives it. Only where that cannot be done (a
// handler of another signal raised, the handler cannot be looked up) is the
// Ctrl-C set pending again, and written twice.
void take_interrupt() {
  const auto leave_pending = [] { PyErr_SetInterruptEx(SIGINT); };
  // Other signals first: while they are pending, the first bytecode of the
  // handler would run theirs inside it. If one raises, the Ctrl-C waits for
  // the next check, as in the interpreter.
  if (PyErr_CheckSignals() < 0) {
    leave_pending();
    throw PyErrorPending{};
  }
  OwnedRef handler;
  try {
    handler = callable_interrupt_handler();
  } catch (const PyErrorPending&) {
    leave_pending();
    throw;
  }
  if (!handler) {
    leave_pending();
    check_signals();
    return;
  }
  PyObject* frame = reinterpret_cast<PyObject*>(PyEval_GetFrame());  // borrowed
  check(PyObject_CallFunction(handler.get(), "iO", SIGINT, frame != nullptr ? frame : Py_None));
}

}  // namespace velunq::py
