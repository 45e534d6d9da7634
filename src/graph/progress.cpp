#include "progress.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <poll.h>
#include <unistd.h>

#include "fault.hpp"

namespace velunq {
namespace {

[[noreturn]] void fail(int error) {
  throw InternalFault(std::string("failed printing to stdout: ") + std::strerror(error));
}

}  // namespace

ssize_t StdoutSink::write_some(const char* data, std::size_t size) { return ::write(STDOUT_FILENO, data, size); }

int StdoutSink::wait_for_room() {
  pollfd out{STDOUT_FILENO, POLLOUT, 0};
  return ::poll(&out, 1, -1);
}

void StdoutSink::line(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write_some(text.data(), text.size());
    if (written < 0) {
      const int error = errno;  // before anything that may allocate
      if (error == EINTR) {
        interrupted();
        continue;
      }
      if (error != EAGAIN && error != EWOULDBLOCK) fail(error);
      // fd 1 was left non-blocking by someone and is full for now: wait for
      // room as a blocking write would, rather than lose or fail the line.
      // A signal that came since the write would not cut the wait short, so
      // it is answered first. Whatever ended the wait, the next write tells
      // whether it can go on.
      interrupted();
      while (wait_for_room() < 0) {
        const int wait_error = errno;
        if (wait_error != EINTR) fail(wait_error);
        interrupted();
      }
      continue;
    }
    if (written == 0) throw InternalFault("failed printing to stdout: nothing was written");
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace velunq
