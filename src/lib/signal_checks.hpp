// Signals during long calls.
//
// A call holds the interpreter lock from start to end, and the interpreter
// runs a signal's Python handler only between bytecodes, so without checks a
// Ctrl-C during an export of millions of nodes would wait for its end. Long
// loops check now and then instead: a handler's exception (KeyboardInterrupt
// by default) ends the call, its partial results freed. A check may also run
// the cyclic garbage collector, if a collection is due, and with it Python
// code; checks therefore sit only where every object made so far is whole.
#pragma once

#include <cstdint>

#include "refs.hpp"

namespace velunq::py {

// Runs pending signal handlers; throws PyErrorPending if one raised.
inline void check_signals() {
  if (PyErr_CheckSignals() < 0) throw PyErrorPending{};
}

// Checks once every kSteps calls of step(), the first time after kSteps.
class SignalChecks {
 public:
  void step() {
    if (--left_ == 0) [[unlikely]] {
      left_ = kSteps;
      check_signals();
    }
  }

 private:
  static constexpr std::uint32_t kSteps = 4096;
  std::uint32_t left_ = kSteps;
};

}  // namespace velunq::py
