// The standard-output sink: a line goes out whole however the writes split
// it, a signal only interrupts the write, a full non-blocking descriptor only
// delays it, and any other failure is a fault.
#include "graph/progress.hpp"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <stdexcept>
#include <string>

#include "graph/fault.hpp"
#include "support.hpp"

namespace velunq::test {
namespace {

// Each write takes what the script says: a byte count (at most what is
// left), or -errno for a failure. An empty script writes everything. Each
// wait for room takes the next of `waits`: 1 for ready, or -errno.
class ScriptedSink final : public StdoutSink {
 public:
  explicit ScriptedSink(std::deque<long> script, std::deque<int> waits = {})
      : script_(std::move(script)), waits_(std::move(waits)) {}

  std::string out;
  int interruptions = 0;
  int waited = 0;
  int stop_at = 0;  // the interruption whose handler throws, from 1; 0: none

 private:
  ssize_t write_some(const char* data, std::size_t size) override {
    long step = static_cast<long>(size);
    if (!script_.empty()) {
      step = script_.front();
      script_.pop_front();
    }
    if (step < 0) {
      errno = static_cast<int>(-step);
      return -1;
    }
    const std::size_t taken = std::min(static_cast<std::size_t>(step), size);
    out.append(data, taken);
    return static_cast<ssize_t>(taken);
  }

  int wait_for_room() override {
    ++waited;
    const int step = waits_.empty() ? 1 : waits_.front();
    if (!waits_.empty()) waits_.pop_front();
    if (step >= 0) return step;
    errno = -step;
    return -1;
  }

  void interrupted() override {
    if (++interruptions == stop_at) throw std::runtime_error("stopped by the signal's handler");
  }

  std::deque<long> script_;
  std::deque<int> waits_;
};

const std::string kLine = "\xF0\x9F\xA6\x80 [Core] Graph memory now contains 3 nodes.\n";

std::string fault_of(ScriptedSink& sink) {
  try {
    sink.line(kLine);
  } catch (const InternalFault& fault) {
    return fault.what();
  }
  return "no fault";
}

TEST(StdoutSink, ShortWritesAndSignalsStillDeliverTheWholeLine) {
  ScriptedSink sink({3, -EINTR, 1, 5, -EINTR, -EINTR, 2});
  sink.line(kLine);
  EXPECT_EQ(sink.out, kLine);
  EXPECT_EQ(sink.interruptions, 3);
}

TEST(StdoutSink, AFullNonBlockingDescriptorDelaysTheLineUntilThereIsRoom) {
  // Signals are answered before each of the three waits and after the one
  // that a signal cut short.
  ScriptedSink sink({5, -EAGAIN, -EWOULDBLOCK, 4, -EAGAIN}, {1, -EINTR, 1, 1});
  sink.line(kLine);
  EXPECT_EQ(sink.out, kLine);
  EXPECT_EQ(sink.waited, 4);
  EXPECT_EQ(sink.interruptions, 4);

  ScriptedSink broken({3, -EAGAIN}, {-ENOMEM});
  EXPECT_EQ(fault_of(broken), "failed printing to stdout: Cannot allocate memory");
  EXPECT_EQ(broken.out, kLine.substr(0, 3));

  // A handler that raises ends the line, whether its signal came before the
  // wait or cut it short.
  for (int stop_at : {1, 2}) {
    ScriptedSink stopped({-EAGAIN}, {-EINTR});
    stopped.stop_at = stop_at;
    EXPECT_THROW(stopped.line(kLine), std::runtime_error);
    EXPECT_EQ(stopped.out, "");
    EXPECT_EQ(stopped.waited, stop_at - 1);
  }
}

TEST(StdoutSink, FailuresAreFaultsAndAHandlersErrorEndsTheLine) {
  ScriptedSink no_room({4, -ENOSPC});
  EXPECT_EQ(fault_of(no_room), "failed printing to stdout: No space left on device");
  EXPECT_EQ(no_room.out, kLine.substr(0, 4));

  ScriptedSink stuck({0});
  EXPECT_EQ(fault_of(stuck), "failed printing to stdout: nothing was written");

  ScriptedSink interrupted({2, -EINTR});
  interrupted.stop_at = 1;
  EXPECT_THROW(interrupted.line(kLine), std::runtime_error);
  EXPECT_EQ(interrupted.out, kLine.substr(0, 2));
}

}  // namespace
}  // namespace velunq::test
