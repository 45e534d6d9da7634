// IdleWindowList: the idle windows of a schedule, grouped by qubit; and
// IdleWindowSink, which takes a search's windows in pieces.
//
// Each qubit's windows sit in one run of a shared buffer, the runs in
// ascending qubit index. The buffer has room for as many windows on a qubit
// as the qubit has operations, so the search writes every window straight to
// its place; the room a qubit does not use is left between the runs and, for
// a large buffer, never touched.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "plain_vector.hpp"
#include "qubit_table.hpp"
#include "types.hpp"

namespace velunq {

// A window that may close before node `id` of three or more qubits on `slot`:
// from the end of the qubit's previous operation to the node's start (see
// build_schedule).
struct WideCandidate {
  std::size_t id;
  double previous_end;
  QubitSlot slot;
};

class IdleWindowList {
 public:
  struct Run {
    Qubit qubit;
    std::size_t begin;  // in the buffer
    std::size_t size;   // never 0
  };

  // Runs in ascending qubit index.
  const std::vector<Run>& runs() const noexcept { return runs_; }
  // One run's windows, in ascending time.
  std::span<const TimeSpan> windows(const Run& run) const noexcept { return {buffer_.data() + run.begin, run.size}; }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  std::vector<IdleWindow> to_vector() const {
    std::vector<IdleWindow> out;
    out.reserve(size_);
    for (const Run& run : runs_) {
      for (const TimeSpan& w : windows(run)) out.push_back(IdleWindow{run.qubit, w.start, w.end});
    }
    return out;
  }

 private:
  friend class QuantumDAG;
  class Collector;  // an IdleWindowSink that puts the pieces together

  PlainVector<TimeSpan> buffer_;
  std::vector<Run> runs_;
  std::size_t size_ = 0;
};

// Throws InternalFault unless `runs` lie one after another from 0 and add up
// to `total`, as IdleWindowSink::expect is promised.
void check_window_layout(std::span<const IdleWindowList::Run> runs, std::size_t total);

// Takes the windows of a search a piece at a time, for a caller that copies
// them elsewhere: no piece outlives the call that hands it over, so the
// search never holds all the windows at once.
class IdleWindowSink {
 public:
  // Called once, before any piece: the qubits that have windows, in
  // ascending qubit index, each with its number of windows and where they
  // begin in the whole list (one after another, in that order).
  virtual void expect(std::span<const IdleWindowList::Run> runs, std::size_t total) = 0;
  // More windows. A qubit's windows continue where its windows in the pieces
  // before ended; the piece's qubits are among those expected.
  virtual void take(const IdleWindowList& piece) = 0;
  // About how many qubit entries (operations on a qubit) a piece should
  // span: small enough for a piece to stay in the processor's cache, large
  // enough that the pieces keep each qubit's windows in long runs.
  virtual std::size_t piece_entries() const noexcept { return 16384; }

 protected:
  ~IdleWindowSink() = default;
};

}  // namespace velunq
