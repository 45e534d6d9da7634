// Idle windows: gaps of at least a given length between consecutive
// operations (in start order) on each qubit.
//
// The windows of one qubit come out in ascending time; qubits come out in
// ascending index; operations that start at the same time on one qubit are
// taken in ascending node id. Every result is therefore fully determined.
//
// In a schedule built from non-negative durations the operations on a qubit
// already start in id order, so one pass in id order pairs each operation
// with its predecessor and nothing needs sorting but the finished windows, by
// qubit. A qubit where a start goes backwards (after a negative or NaN
// duration) has its operations gathered and stably sorted by start instead.

#include <algorithm>
#include <limits>
#include <numeric>

#include "quantum_dag.hpp"

namespace velunq {

namespace {

struct Interval {
  double start;
  double end;
};

struct SlotWindow {
  QubitSlot slot;
  double start;
  double end;
};

}  // namespace

std::vector<IdleWindow> QuantumDAG::find_idle_windows(double min_gap_ns) const {
  std::vector<IdleWindow> result;
  const std::size_t scheduled = schedule_.size();
  if (scheduled == 0 || nodes_.empty()) return result;
  const std::size_t slot_count = qubits_.size();

  // The previous operation on each qubit slot; a NaN start means none yet
  // (no start is NaN), and a NaN end makes no window.
  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  std::vector<Interval> previous(slot_count, Interval{kNone, kNone});
  std::vector<char> out_of_order(slot_count, 0);

  const QubitSlot* const pool = nodes_.qubit_pool().data();
  const PoolIndex* const qubit_ends = nodes_.qubit_ends().data();
  // The hot loop: a candidate window is written for every occurrence and
  // kept by advancing the cursor only when it qualifies (no branch to miss).
  // Every occurrence may make a window, so the room is reserved up front;
  // pages past the windows actually found are never touched.
  Buffer<SlotWindow> found;  // in id order of the later operation
  found.resize_for_overwrite(nodes_.qubit_pool_size() + 1);
  SlotWindow* cursor = found.data();
  bool any_out_of_order = false;
  {
    Interval* const prev_of = previous.data();
    const double min_gap = min_gap_ns;
    auto visit = [&](QubitSlot slot, const ScheduleEntry& entry) {
      Interval& prev = prev_of[slot];
      if (entry.start_time < prev.start) [[unlikely]] {
        out_of_order[slot] = 1;
        any_out_of_order = true;
      }
      *cursor = SlotWindow{slot, prev.end, entry.start_time};
      cursor += entry.start_time - prev.end >= min_gap;
      prev = Interval{entry.start_time, entry.end_time};
    };
    std::size_t begin = 0;
    for (std::size_t id = 0; id < scheduled; ++id) {
      const ScheduleEntry entry = schedule_[id];
      const std::size_t end_of_qubits = qubit_ends[id];
      for (; begin < end_of_qubits; ++begin) visit(pool[begin], entry);
    }
  }

  if (any_out_of_order) {
    // Redo those qubits from their operations sorted stably by start. A qubit
    // has fewer windows than operations, so the room above still suffices.
    cursor = std::remove_if(found.data(), cursor, [&](const SlotWindow& w) { return out_of_order[w.slot] != 0; });
    std::vector<std::vector<Interval>> ops(slot_count);
    const QubitSlot* slot = pool;
    for (std::size_t id = 0; id < scheduled; ++id) {
      const ScheduleEntry entry = schedule_[id];
      for (const QubitSlot* const last = pool + qubit_ends[id]; slot != last; ++slot) {
        if (out_of_order[*slot]) ops[*slot].push_back(Interval{entry.start_time, entry.end_time});
      }
    }
    for (QubitSlot q = 0; q < slot_count; ++q) {
      std::vector<Interval>& list = ops[q];
      std::stable_sort(list.begin(), list.end(), [](const Interval& a, const Interval& b) { return a.start < b.start; });
      for (std::size_t i = 1; i < list.size(); ++i) {
        if (list[i].start - list[i - 1].end >= min_gap_ns) *cursor++ = SlotWindow{q, list[i - 1].end, list[i].start};
      }
    }
  }
  const std::span<const SlotWindow> windows(found.data(), cursor);

  // Group the windows by qubit, qubits in ascending index, keeping each
  // qubit's windows in the order found (a stable counting sort).
  std::vector<QubitSlot> by_qubit(slot_count);
  std::iota(by_qubit.begin(), by_qubit.end(), QubitSlot{0});
  std::sort(by_qubit.begin(), by_qubit.end(),
            [this](QubitSlot a, QubitSlot b) { return qubits_.qubit(a) < qubits_.qubit(b); });
  std::vector<std::size_t> offset(slot_count, 0);
  for (const SlotWindow& w : windows) ++offset[w.slot];
  std::size_t total = 0;
  for (QubitSlot slot : by_qubit) total += std::exchange(offset[slot], total);
  result.resize(windows.size());
  for (const SlotWindow& w : windows) result[offset[w.slot]++] = IdleWindow{qubits_.qubit(w.slot), w.start, w.end};
  return result;
}

}  // namespace velunq
