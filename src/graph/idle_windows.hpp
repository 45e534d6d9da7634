// IdleWindowList: the idle windows of a schedule, grouped by qubit.
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

  PlainVector<TimeSpan> buffer_;
  std::vector<Run> runs_;
  std::size_t size_ = 0;
};

}  // namespace velunq
