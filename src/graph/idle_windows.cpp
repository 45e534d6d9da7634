// Idle windows: gaps of at least a given length between consecutive
// operations (in start order) on each qubit.
//
// The windows of one qubit come out in ascending time; qubits come out in
// ascending index; operations that start at the same time on one qubit are
// taken in ascending node id. Every result is therefore fully determined.
//
// In a schedule built from non-negative durations the operations on a qubit
// already start in id order, so one pass in id order pairs each operation
// with its predecessor and writes the window straight into the qubit's run.
// A qubit where a start goes backwards (after a negative or NaN duration)
// has its operations gathered and stably sorted by start instead.

#include <algorithm>
#include <limits>
#include <numeric>

#include "quantum_dag.hpp"

namespace velunq {

IdleWindowList QuantumDAG::find_idle_windows(double min_gap_ns) const {
  IdleWindowList result;
  const std::size_t scheduled = starts_.size();
  if (scheduled == 0 || nodes_.empty()) return result;
  const std::size_t slot_count = qubits_.size();
  const QubitSlot* const pool = nodes_.qubit_pool().data();
  const PoolIndex* const qubit_ends = nodes_.qubit_ends().data();
  const auto charged = nodes_.charged_durations();

  // A qubit's run has room for one window per operation on it, which is one
  // more than it can hold: the pass below writes each candidate before
  // deciding whether to keep it. Runs are laid out in ascending qubit index.
  std::vector<QubitSlot> by_qubit(slot_count);
  std::iota(by_qubit.begin(), by_qubit.end(), QubitSlot{0});
  std::sort(by_qubit.begin(), by_qubit.end(),
            [this](QubitSlot a, QubitSlot b) { return qubits_.qubit(a) < qubits_.qubit(b); });
  std::vector<std::size_t> run_begin(slot_count, 0);
  for (const QubitSlot* slot = pool; slot != pool + qubit_ends[scheduled - 1]; ++slot) ++run_begin[*slot];
  std::size_t room = 0;
  for (QubitSlot slot : by_qubit) room += std::exchange(run_begin[slot], room);
  result.buffer_.resize_for_overwrite(room);
  TimeSpan* const buffer = result.buffer_.data();

  // Per qubit slot: the end of the previous operation (NaN before the first:
  // a NaN end makes no window) and where the next window goes.
  struct Cursor {
    double end;
    TimeSpan* next;
  };
  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  std::vector<Cursor> cursors(slot_count);
  for (QubitSlot slot = 0; slot < slot_count; ++slot) cursors[slot] = Cursor{kNone, buffer + run_begin[slot]};
  Cursor* const cursor_of = cursors.data();
  std::vector<char> out_of_order(slot_count, 0);
  bool any_out_of_order = false;

  // One operation on one qubit: the candidate window is always written and
  // kept by advancing the cursor only when it qualifies (no branch to miss).
  const auto step = [min_gap = min_gap_ns](Cursor& c, const ScheduleEntry& entry, bool may_keep) {
    *c.next = TimeSpan{c.end, entry.start_time};
    c.next += may_keep & (entry.start_time - c.end >= min_gap);
    c.end = entry.end_time;
  };

  if (nodes_.backward_count() == 0) {
    // Without negative or NaN durations every qubit's starts only grow, so
    // there is nothing to check. Nodes of one and two qubits take one path
    // without a data-dependent branch: a one-qubit node takes its second
    // step on its own qubit again, where it keeps nothing and changes nothing.
    std::size_t begin = 0;
    for (std::size_t id = 0; id < scheduled; ++id) {
      const std::size_t end = qubit_ends[id];
      if (end == begin) [[unlikely]] continue;
      const ScheduleEntry entry = schedule_of(id, charged);
      const std::size_t two = end - begin >= 2;
      step(cursor_of[pool[begin]], entry, true);
      step(cursor_of[pool[begin + two]], entry, two);
      begin += 2;
      if (begin < end) [[unlikely]] {
        for (; begin < end; ++begin) step(cursor_of[pool[begin]], entry, true);
      }
      begin = end;
    }
  } else {
    // Note each qubit whose starts go backwards somewhere.
    std::vector<double> last_start(slot_count, kNone);  // NaN compares false
    std::size_t begin = 0;
    for (std::size_t id = 0; id < scheduled; ++id) {
      const ScheduleEntry entry = schedule_of(id, charged);
      for (const std::size_t end = qubit_ends[id]; begin < end; ++begin) {
        const QubitSlot slot = pool[begin];
        if (entry.start_time < last_start[slot]) [[unlikely]] {
          out_of_order[slot] = 1;
          any_out_of_order = true;
        }
        last_start[slot] = entry.start_time;
        step(cursor_of[slot], entry, true);
      }
    }
  }

  if (any_out_of_order) {
    // Redo those qubits from their operations sorted stably by start.
    std::vector<std::vector<TimeSpan>> ops(slot_count);
    const QubitSlot* slot = pool;
    for (std::size_t id = 0; id < scheduled; ++id) {
      const ScheduleEntry entry = schedule_of(id, charged);
      for (const QubitSlot* const last = pool + qubit_ends[id]; slot != last; ++slot) {
        if (out_of_order[*slot]) ops[*slot].push_back(TimeSpan{entry.start_time, entry.end_time});
      }
    }
    for (QubitSlot q = 0; q < slot_count; ++q) {
      if (!out_of_order[q]) continue;
      std::vector<TimeSpan>& list = ops[q];
      std::stable_sort(list.begin(), list.end(), [](const TimeSpan& a, const TimeSpan& b) { return a.start < b.start; });
      TimeSpan*& next = cursors[q].next;
      next = buffer + run_begin[q];
      for (std::size_t i = 1; i < list.size(); ++i) {
        if (list[i].start - list[i - 1].end >= min_gap_ns) *next++ = TimeSpan{list[i - 1].end, list[i].start};
      }
    }
  }

  for (QubitSlot slot : by_qubit) {
    const auto size = static_cast<std::size_t>(cursors[slot].next - (buffer + run_begin[slot]));
    if (size == 0) continue;
    result.runs_.push_back(IdleWindowList::Run{qubits_.qubit(slot), run_begin[slot], size});
    result.size_ += size;
  }
  return result;
}

}  // namespace velunq
