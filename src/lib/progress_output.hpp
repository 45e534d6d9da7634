// Progress lines written from a method call.
//
// A write to standard output can block: a full pipe, a terminal on hold; on
// a descriptor left non-blocking, the sink waits for room instead. The thread
// that empties the pipe may be a Python thread of this same process (output
// capture in a notebook kernel does that), so the write and the wait let other
// threads run, as the interpreter's own writes do; the instance stays under
// the running call's access meanwhile. A signal that interrupts either runs
// its Python handler, and an exception from the handler ends the call; so
// does one raised at a checkpoint of the long work (see signal_checks.hpp).
#pragma once

#include <cerrno>

#include "faults.hpp"
#include "graph/progress.hpp"
#include "signal_checks.hpp"

namespace velunq::py {

// Runs a system call with the interpreter lock released, and hands back its
// result with errno as the call left it (taking the lock back may change it).
template <class Call>
auto without_the_lock(Call call) {
  decltype(call()) result;
  int error;
  Py_BEGIN_ALLOW_THREADS
  result = call();
  error = errno;
  Py_END_ALLOW_THREADS
  errno = error;
  return result;
}

class MethodProgress final : public StdoutSink {
 public:
  void checkpoint() override { check_signals(); }

 protected:
  ssize_t write_some(const char* data, std::size_t size) override {
    return without_the_lock([&] { return StdoutSink::write_some(data, size); });
  }

  int wait_for_room() override {
    return without_the_lock([this] { return StdoutSink::wait_for_room(); });
  }

  void interrupted() override { check_signals(); }
};

}  // namespace velunq::py
