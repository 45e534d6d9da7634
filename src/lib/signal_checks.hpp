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
//   Looking takes the Ctrl-C, so the check then runs the handlers itself
//   (see take_interrupt).
#pragma once

#include <csignal>
#include <cstdint>

#include "refs.hpp"

namespace velunq::py {

// Runs pending signal handlers; throws PyErrorPending if one raised.
inline void check_signals() {
  if (PyErr_CheckSignals() < 0) throw PyErrorPending{};
}

// Runs the handlers of a Ctrl-C that check_interrupt took, and of any other
// signal pending; throws PyErrorPending if one raised.
void take_interrupt();

// Runs the handlers only if a Ctrl-C came; throws PyErrorPending if one
// raised.
inline void check_interrupt() {
  if (PyOS_InterruptOccurred()) [[unlikely]] take_interrupt();
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
