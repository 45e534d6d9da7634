// The as-soon-as-possible schedule.
//
// Nodes are taken in ascending id order (a topological order). A node starts
// when every one of its qubits is free, that is, at the end of the node taken
// last before it on each of those qubits: the last such node, not the
// latest-ending one (they differ only for negative or NaN durations).

#include <limits>

#include "quantum_dag.hpp"

namespace velunq {

void QuantumDAG::build_schedule() {
  const std::size_t count = nodes_.size();
  schedule_.resize_for_overwrite(count);
  if (count == 0) return;

  // End of the node taken last on each qubit slot. NaN stands for "not used
  // yet": like a NaN end, it never raises a start.
  std::vector<double> free_at(qubits_.size(), std::numeric_limits<double>::quiet_NaN());
  double* const free = free_at.data();
  const QubitSlot* const pool = nodes_.qubit_pool().data();
  const std::uint64_t* const qubit_ends = nodes_.qubit_ends().data();
  const double* const durations = nodes_.durations().data();
  const NodeKind* const kinds = nodes_.kinds().data();
  const QubitSlot* slot = pool;
  for (std::size_t id = 0; id < count; ++id) {
    const QubitSlot* const last = pool + qubit_ends[id];
    double start = 0.0;
    for (const QubitSlot* q = slot; q != last; ++q) {
      if (free[*q] > start) start = free[*q];
    }
    const double end = start + (kinds[id] == NodeKind::Operation ? durations[id] : 0.0);
    schedule_[id] = ScheduleEntry{start, end};
    for (; slot != last; ++slot) free[*slot] = end;
  }
}

}  // namespace velunq
