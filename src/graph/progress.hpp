// Progress lines: the only output of the core besides its results.
#pragma once

#include <string_view>

namespace velunq {

// Receives whole progress lines, each ending in a newline.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void line(std::string_view text) = 0;
};

// Writes each line to file descriptor 1 in one piece, bypassing every buffer,
// so that a line reaches the stream whole and at once. A line that cannot be
// written is an internal fault.
class StdoutSink final : public ProgressSink {
 public:
  void line(std::string_view text) override;
};

}  // namespace velunq
