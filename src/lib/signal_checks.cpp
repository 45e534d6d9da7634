#include "signal_checks.hpp"

#include "once.hpp"

namespace velunq::py {

namespace {

ProcessOnce getsignal;  // _signal.getsignal

// The Python handler of SIGINT, or nothing (no error set) when it is not a
// callable or cannot be looked up.
OwnedRef callable_interrupt_handler() {
  try {
    PyObject* lookup = getsignal.get([] {
      OwnedRef module = check(PyImport_ImportModule("_signal"));
      return check(PyObject_GetAttrString(module.get(), "getsignal")).release();
    });
    OwnedRef handler = check(PyObject_CallFunction(lookup, "i", SIGINT));
    if (PyCallable_Check(handler.get())) return handler;
  } catch (const PyErrorPending&) {
    PyErr_Clear();
  }
  return OwnedRef();
}

}  // namespace

// The interpreter runs a signal's handler once per signal and writes the
// signal once to the descriptor of signal.set_wakeup_fd, where an event loop
// counts the presses. Setting the Ctrl-C pending again for the interpreter
// would write it a second time, so its handler is called here, with the
// arguments the interpreter gives it. Only where that cannot be done is the
// Ctrl-C set pending again.
void take_interrupt() {
  // Other signals first: while they are pending, the first bytecode of the
  // handler would run theirs inside it. If one raises, the Ctrl-C waits for
  // the next check, as in the interpreter.
  if (PyErr_CheckSignals() < 0) {
    PyErr_SetInterruptEx(SIGINT);
    throw PyErrorPending{};
  }
  OwnedRef handler = callable_interrupt_handler();
  if (!handler) {
    PyErr_SetInterruptEx(SIGINT);
    check_signals();
    return;
  }
  PyObject* frame = reinterpret_cast<PyObject*>(PyEval_GetFrame());  // borrowed
  check(PyObject_CallFunction(handler.get(), "iO", SIGINT, frame != nullptr ? frame : Py_None));
}

}  // namespace velunq::py
