#include "progress.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <unistd.h>

#include "fault.hpp"

namespace velunq {

ssize_t StdoutSink::write_some(const char* data, std::size_t size) { return ::write(STDOUT_FILENO, data, size); }

void StdoutSink::line(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write_some(text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) {
        interrupted();
        continue;
      }
      const int error = errno;  // before anything that may allocate
      throw InternalFault(std::string("failed printing to stdout: ") + std::strerror(error));
    }
    if (written == 0) throw InternalFault("failed printing to stdout: nothing was written");
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace velunq
