// Progress lines: the only output of the core besides its results.
#pragma once

#include <cstddef>
#include <string_view>

#include <sys/types.h>

namespace velunq {

// Receives whole progress lines, each ending in a newline, and is asked now
// and then during long work whether to go on.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void line(std::string_view text) = 0;
  // Called between steps of a long operation, at points where stopping
  // leaves the receiver as it was. May throw to end the operation (a caller
  // that wants it stopped, such as a signal's handler).
  virtual void checkpoint() {}
};

// Writes each line to file descriptor 1 in one piece, bypassing every buffer,
// so that a line reaches the stream whole and at once. On a non-blocking
// descriptor that is full it waits for room, as a blocking one would. A line
// that cannot be written is an internal fault.
class StdoutSink : public ProgressSink {
 public:
  void line(std::string_view text) final;

 protected:
  // One write(2) to file descriptor 1: its result, with errno as it left it.
  virtual ssize_t write_some(const char* data, std::size_t size);
  // Waits until file descriptor 1 takes more: poll(2)'s result, with errno as
  // it left it.
  virtual int wait_for_room();
  // After a signal interrupted a write or a wait, before it is tried again,
  // and before each wait, for a signal that came just before it. May throw
  // to end the operation instead.
  virtual void interrupted() {}
};

}  // namespace velunq
