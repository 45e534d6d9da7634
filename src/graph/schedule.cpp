// The as-soon-as-possible schedule.
//
// Nodes are taken in ascending id order (a topological order). A node starts
// when every one of its qubits is free, that is, at the end of the node taken
// last before it on each of those qubits: the last such node, not the
// latest-ending one (they differ only for negative or NaN durations).

#include <cmath>
#include <limits>

#include "quantum_dag.hpp"

namespace velunq {

void QuantumDAG::build_schedule() {
  schedule_.clear();
  const std::size_t count = nodes_.size();
  if (count == 0) return;
  schedule_.reserve(count);

  // End of the node taken last on each qubit slot. NaN stands for "not used
  // yet": like a NaN end, it never raises a start.
  std::vector<double> free_at(qubits_.size(), std::numeric_limits<double>::quiet_NaN());
  for (std::size_t id = 0; id < count; ++id) {
    const DagNode node = this->node(id);
    const std::span<const QubitSlot> slots = node.slots();
    double start = 0.0;
    for (QubitSlot slot : slots) {
      if (free_at[slot] > start) start = free_at[slot];
    }
    const double end = start + node.gate_duration_ns();
    schedule_.push_back(ScheduleEntry{start, end});
    for (QubitSlot slot : slots) free_at[slot] = end;
  }
}

}  // namespace velunq
