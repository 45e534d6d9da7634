// IdleWindowList: the idle windows of a schedule, grouped by qubit; and
// IdleWindowSink, which takes a search's windows in pieces.
//
// Each qubit's windows sit in one run of a shared buffer, the runs in
// ascending qubit index. The buffer has room for as many windows on a qubit
// as the qubit has operations, so the search writes every window straight to
// its place; the room a qubit does not use is left between the runs and, for
// a large buffer, never touched.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "fault.hpp"
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

  // Lists `size` windows of `qubit` from `begin` in the buffer, if any.
  void add_run(Qubit qubit, std::size_t begin, std::size_t size) {
    if (size == 0) return;
    runs_.push_back(Run{qubit, begin, size});
    size_ += size;
  }

  PlainVector<TimeSpan> buffer_;
  std::vector<Run> runs_;
  std::size_t size_ = 0;
};

// Throws InternalFault unless `runs` lie one after another from 0 and add up
// to `total`, as IdleWindowSink::expect is promised.
void check_window_layout(std::span<const IdleWindowList::Run> runs, std::size_t total);

// Where the pieces of a search go in the whole list (see IdleWindowSink):
// keeps how far each qubit's run is filled, and checks on the way what a
// sink is promised, throwing InternalFault where the search broke it.
class WindowPlacer {
 public:
  struct Place {
    std::size_t run;  // of the whole list's runs
    std::size_t at;   // in the whole list
  };

  // The whole list's runs (see IdleWindowSink::expect).
  void expect(std::span<const IdleWindowList::Run> runs, std::size_t total) {
    check_window_layout(runs, total);
    runs_.assign(runs.begin(), runs.end());
    filled_.assign(runs.size(), 0);
  }

  // Where the windows of `run`, a run of a piece, go; they count as placed.
  Place place(const IdleWindowList::Run& run) {
    const auto whole = std::lower_bound(runs_.begin(), runs_.end(), run.qubit,
                                        [](const IdleWindowList::Run& r, Qubit q) { return r.qubit < q; });
    const auto index = static_cast<std::size_t>(whole - runs_.begin());
    if (whole == runs_.end() || whole->qubit != run.qubit || whole->size - filled_[index] < run.size) {
      throw InternalFault("idle windows beyond the qubit's expected count");
    }
    const Place place{index, whole->begin + filled_[index]};
    filled_[index] += run.size;
    return place;
  }

  // Checks that every run got all its windows.
  void finish() const {
    for (std::size_t i = 0; i < runs_.size(); ++i) {
      if (filled_[i] != runs_[i].size) throw InternalFault("fewer idle windows than expected");
    }
  }

 private:
  std::vector<IdleWindowList::Run> runs_;
  std::vector<std::size_t> filled_;  // per run
};

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
