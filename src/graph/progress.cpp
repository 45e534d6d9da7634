#include "progress.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <unistd.h>

#include "fault.hpp"

namespace velunq {

void StdoutSink::line(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw InternalFault(std::string("failed printing to stdout: ") + std::strerror(errno));
    }
    if (written == 0) throw InternalFault("failed printing to stdout: nothing was written");
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace velunq
