// The as-soon-as-possible schedule.
//
// Nodes are taken in ascending id order (a topological order). A node starts
// when every one of its qubits is free, that is, at the end of the node taken
// last before it on each of those qubits: the last such node, not the
// latest-ending one (they differ only for negative or NaN durations).

#include <limits>

#include "quantum_dag.hpp"

namespace velunq {

namespace {

// A gate on three or more qubits, or on none (rare): its start, given its
// qubits' free times, which then move to its end. Kept out of the main loop,
// which stays small.
[[gnu::noinline]] double schedule_wide(const QubitSlot* first, const QubitSlot* last, double duration,
                                       double* free) {
  double start = 0.0;
  for (const QubitSlot* q = first; q != last; ++q) {
    if (free[*q] > start) start = free[*q];
  }
  const double end = scheduled_times(start, duration).end_time;
  for (const QubitSlot* q = first; q != last; ++q) free[*q] = end;
  return start;
}

}  // namespace

void QuantumDAG::build_schedule() {
  const std::size_t count = nodes_.size();
  // End of the node taken last on each qubit slot. NaN stands for "not used
  // yet": like a NaN end, it never raises a start. Both allocations come
  // before the first write, so that running out of memory leaves the last
  // schedule as it was.
  std::vector<double> free_at(qubits_.size(), std::numeric_limits<double>::quiet_NaN());
  starts_.resize_for_overwrite(count);
  if (count == 0) return;
  double* const free = free_at.data();
  const QubitSlot* const pool = nodes_.qubit_pool().data();
  const PoolIndex* const qubit_ends = nodes_.qubit_ends().data();
  const auto charged = nodes_.charged_durations();
  double* const starts = starts_.data();
  std::size_t begin = 0;
  for (std::size_t id = 0; id < count; ++id) {
    const std::size_t end_of_qubits = qubit_ends[id];
    const std::size_t n = end_of_qubits - begin;
    const double duration = charged[id];
    if (n - 1 < 2) [[likely]] {
      // One or two qubits, the usual gates, without a loop to mispredict: a
      // one-qubit gate reads and writes its qubit twice, which is the same.
      const QubitSlot a = pool[begin];
      const QubitSlot b = pool[begin + n - 1];
      double start = 0.0;
      if (free[a] > start) start = free[a];
      if (free[b] > start) start = free[b];
      const double end = scheduled_times(start, duration).end_time;
      starts[id] = start;
      free[a] = end;
      free[b] = end;
    } else {
      starts[id] = schedule_wide(pool + begin, pool + end_of_qubits, duration, free);
    }
    begin = end_of_qubits;
  }
}

}  // namespace velunq
