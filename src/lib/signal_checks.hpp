// Signals during long calls.
//
// A call holds the interpreter lock from start to end, and the interpreter
// runs a signal's Python handler only between bytecodes, so without checks a
// Ctrl-C during an import or an export of millions of items would wait for
// the call's end. Long loops check now and then instead: a handler's
// exception (KeyboardInterrupt by default) ends the call, its partial
// results freed. Checks sit only where every object made so far is whole,
// since a handler is Python code.
//
// Two kinds of check:
// - check_signals runs every pending handler. The interpreter also runs a
//   due collection of the cyclic garbage collector there, so it suits loops
//   that make no Python objects (conversions, the DD pass): a collection
//   due there was due before the call and would run right after it anyway.
// - check_interrupt looks for Ctrl-C alone, and runs the handlers only when
//   there is one. It suits loops that make Python objects (exports, window
//   lists): their allocations make a collection due every few thousand
//   objects, and each collection run inside the call would walk the result
//   as it grows; an export of a million nodes took three times as long.
//   Looking takes the Ctrl-C, so the check calls its handler itself, as the
//   interpreter would. Setting it pending again instead would also write it
//   a second time to the descriptor of signal.set_wakeup_fd, and an event
//   loop reading that descriptor would see two presses.
#pragma once

#include <csignal>
#include <cstdint>

#include "refs.hpp"

namespace velunq::py {

// Runs pending signal handlers; throws PyErrorPending if one raised.
inline void check_signals() {
  if (PyErr_CheckSignals() < 0) throw PyErrorPending{};
}

// Calls the Python handler of SIGINT with the arguments the interpreter
// gives it; throws PyErrorPending if it raised. A handler set to SIG_IGN or
// SIG_DFL since the signal came is not called, as in the interpreter.
inline void call_interrupt_handler() {
  OwnedRef signals = check(PyImport_ImportModule("_signal"));
  OwnedRef handler = check(PyObject_CallMethod(signals.get(), "getsignal", "i", SIGINT));
  if (!PyCallable_Check(handler.get())) return;
  PyObject* frame = reinterpret_cast<PyObject*>(PyEval_GetFrame());  // borrowed
  check(PyObject_CallFunction(handler.get(), "iO", SIGINT, frame != nullptr ? frame : Py_None));
}

// Runs the handlers only if a Ctrl-C came; throws PyErrorPending if one
// raised.
inline void check_interrupt() {
  if (!PyOS_InterruptOccurred()) return;
  call_interrupt_handler();
  check_signals();  // any other signal that came meanwhile
}

// Calls `check` once every kSteps calls of step(), the first time after kSteps.
template <void (*check)()>
class EveryFewSteps {
 public:
  void step() {
    if (--left_ == 0) [[unlikely]] {
      left_ = kSteps;
      check();
    }
  }

 private:
  static constexpr std::uint32_t kSteps = 4096;
  std::uint32_t left_ = kSteps;
};

using SignalChecks = EveryFewSteps<check_signals>;
using InterruptChecks = EveryFewSteps<check_interrupt>;

}  // namespace velunq::py
