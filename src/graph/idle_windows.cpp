// Idle windows: gaps of at least a given length between consecutive
// operations (in start order) on each qubit.
//
// The windows of one qubit come out in ascending time; qubits come out in
// ascending index; operations that start at the same time on one qubit are
// taken in ascending node id. Every result is therefore fully determined.
//
// In a schedule built from non-negative durations the operations on a qubit
// already start in id order, so one pass in id order pairs each operation with
// its predecessor and no per-qubit lists are needed. Qubits where a start goes
// backwards (negative or NaN durations before it) are gathered and sorted.

#include <algorithm>
#include <numeric>

#include "quantum_dag.hpp"

namespace velunq {

namespace {

struct Interval {
  double start;
  double end;
};

struct SlotState {
  double last_start = 0.0;
  double last_end = 0.0;
  std::uint64_t windows = 0;  // windows found for the slot
  std::uint64_t offset = 0;   // where the slot's windows go in the result
  bool seen = false;
  bool in_order = true;  // starts never went backwards in id order
};

}  // namespace

std::vector<IdleWindow> QuantumDAG::find_idle_windows(double min_gap_ns) const {
  std::vector<IdleWindow> result;
  const std::size_t scheduled = schedule_.size();
  if (scheduled == 0 || nodes_.empty()) return result;

  // Pass 1: count the windows of in-order slots and find the others.
  std::vector<SlotState> state(qubits_.size());
  for (std::size_t id = 0; id < scheduled; ++id) {
    const ScheduleEntry entry = schedule_[id];
    for (QubitSlot slot : nodes_.qubits(id)) {
      SlotState& s = state[slot];
      if (s.seen && s.in_order) {
        if (entry.start_time < s.last_start) {
          s.in_order = false;
        } else if (entry.start_time - s.last_end >= min_gap_ns) {
          ++s.windows;
        }
      }
      s.seen = true;
      s.last_start = entry.start_time;
      s.last_end = entry.end_time;
    }
  }

  // Out-of-order slots: gather their intervals in id order, sort stably by start.
  std::vector<std::uint64_t> gathered_begin(qubits_.size() + 1, 0);
  bool any_out_of_order = false;
  for (std::size_t slot = 0; slot < state.size(); ++slot) {
    any_out_of_order |= !state[slot].in_order;
  }
  std::vector<Interval> gathered;
  if (any_out_of_order) {
    for (std::size_t id = 0; id < scheduled; ++id) {
      for (QubitSlot slot : nodes_.qubits(id)) {
        if (!state[slot].in_order) ++gathered_begin[slot + 1];
      }
    }
    std::partial_sum(gathered_begin.begin(), gathered_begin.end(), gathered_begin.begin());
    gathered.resize(gathered_begin.back());
    std::vector<std::uint64_t> fill(gathered_begin.begin(), gathered_begin.end() - 1);
    for (std::size_t id = 0; id < scheduled; ++id) {
      const ScheduleEntry entry = schedule_[id];
      for (QubitSlot slot : nodes_.qubits(id)) {
        if (!state[slot].in_order) gathered[fill[slot]++] = Interval{entry.start_time, entry.end_time};
      }
    }
    for (std::size_t slot = 0; slot < state.size(); ++slot) {
      if (state[slot].in_order) continue;
      const auto first = gathered.begin() + static_cast<std::ptrdiff_t>(gathered_begin[slot]);
      const auto last = gathered.begin() + static_cast<std::ptrdiff_t>(gathered_begin[slot + 1]);
      std::stable_sort(first, last, [](const Interval& a, const Interval& b) { return a.start < b.start; });
      state[slot].windows = 0;
      for (auto it = first + 1; it < last; ++it) {
        if (it->start - (it - 1)->end >= min_gap_ns) ++state[slot].windows;
      }
    }
  }

  // Lay the runs out by ascending qubit index.
  std::vector<QubitSlot> by_qubit(qubits_.size());
  std::iota(by_qubit.begin(), by_qubit.end(), QubitSlot{0});
  std::sort(by_qubit.begin(), by_qubit.end(),
            [this](QubitSlot a, QubitSlot b) { return qubits_.qubit(a) < qubits_.qubit(b); });
  std::uint64_t total = 0;
  for (QubitSlot slot : by_qubit) {
    state[slot].offset = total;
    total += state[slot].windows;
  }
  if (total == 0) return result;
  result.resize(total);

  // Pass 2: write the windows.
  for (std::size_t slot = 0; slot < state.size(); ++slot) {
    SlotState& s = state[slot];
    s.seen = false;
    if (s.in_order || s.windows == 0) continue;
    const Qubit qubit = qubits_.qubit(static_cast<QubitSlot>(slot));
    for (std::uint64_t i = gathered_begin[slot] + 1; i < gathered_begin[slot + 1]; ++i) {
      if (gathered[i].start - gathered[i - 1].end >= min_gap_ns) {
        result[s.offset++] = IdleWindow{qubit, gathered[i - 1].end, gathered[i].start};
      }
    }
  }
  for (std::size_t id = 0; id < scheduled; ++id) {
    const ScheduleEntry entry = schedule_[id];
    for (QubitSlot slot : nodes_.qubits(id)) {
      SlotState& s = state[slot];
      if (!s.in_order || s.windows == 0) continue;
      if (s.seen && entry.start_time - s.last_end >= min_gap_ns) {
        result[s.offset++] = IdleWindow{qubits_.qubit(slot), s.last_end, entry.start_time};
      }
      s.seen = true;
      s.last_end = entry.end_time;
    }
  }
  return result;
}

}  // namespace velunq
