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

class MethodProgress final : public StdoutSink {
 public:
  void checkpoint() override { check_signals(); }

 protected:
  ssize_t write_some(const char* data, std::size_t size) override {
    ssize_t written;
    int error;
    Py_BEGIN_ALLOW_THREADS
    written = StdoutSink::write_some(data, size);
    error = errno;
    Py_END_ALLOW_THREADS
    errno = error;
    return written;
  }

  int wait_for_room() override {
    int ready;
    int error;
    Py_BEGIN_ALLOW_THREADS
    ready = StdoutSink::wait_for_room();
    error = errno;
    Py_END_ALLOW_THREADS
    errno = error;
    return ready;
  }

  void interrupted() override { check_signals(); }
};

}  // namespace velunq::py
