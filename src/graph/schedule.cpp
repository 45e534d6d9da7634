// The as-soon-as-possible schedule.
//
// Nodes are taken in ascending id order (a topological order). A node starts
// when every one of its qubits is free, that is, at the end of the node taken
// last before it on each of those qubits: the last such node, not the
// latest-ending one (they differ only for negative or NaN durations).
//
// Alongside, the schedule notes the idle windows that each node can close,
// for the search for windows to filter. Where no duration is negative or NaN,
// times are never negative and a qubit's starts only grow, so a node closes
// on each of its qubits the window from the end of the qubit's previous
// operation to the node's start. For a node of one qubit that window has
// length 0 (or NaN, at the qubit's first operation or past an infinite end).
// A node of two qubits starts when the later of them is free, so only the
// one free first can have waited: its free time is noted, negated when it is
// the second qubit's (times are never negative here, so the sign tells the
// two apart and the value comes back exactly). Nodes of more qubits are rare
// and get one candidate per qubit entry, a qubit's second listing starting
// at the node's own end, as long as they hold at most one in kMostWide of
// all qubit entries; past that nothing is noted.

#include <bit>
#include <cstdint>
#include <limits>

#include "prefetch.hpp"
#include "quantum_dag.hpp"

namespace velunq {

namespace {

constexpr std::size_t kMostWide = 8;
constexpr std::size_t kWriteAhead = 128 * sizeof(double);  // 16 cache lines

// The note of a node of two qubits that were free at `first` and `second`:
// `first` where it is the earlier (or equal), else `-second`. Chosen without
// a branch, which would go either way at random.
double waited(double first, double second) noexcept {
  const std::uint64_t take_second = std::uint64_t{0} - static_cast<std::uint64_t>(!(first <= second));
  const auto a = std::bit_cast<std::uint64_t>(first);
  const auto b = std::bit_cast<std::uint64_t>(-second);
  return std::bit_cast<double>((a & ~take_second) | (b & take_second));
}

// A gate on three or more qubits, or on none (rare): its start, given its
// qubits' free times, which then move to its end one entry at a time, each
// entry's candidate window written to `out` if it is not null. Kept out of
// the main loop, which stays small.
[[gnu::noinline]] double schedule_wide(std::size_t id, const QubitSlot* first, const QubitSlot* last,
                                       double duration, double* free, WideCandidate*& out) {
  double start = 0.0;
  for (const QubitSlot* q = first; q != last; ++q) {
    if (free[*q] > start) start = free[*q];
  }
  const double end = scheduled_times(start, duration).end_time;
  for (const QubitSlot* q = first; q != last; ++q) {
    if (out) *out++ = WideCandidate{id, free[*q], *q};
    free[*q] = end;
  }
  return start;
}

}  // namespace

void QuantumDAG::build_schedule() {
  const std::size_t count = nodes_.size();
  // End of the node taken last on each qubit slot. NaN stands for "not used
  // yet": like a NaN end, it never raises a start. The allocations come
  // before the first write, so that running out of memory leaves the last
  // start times as they were (without their notes).
  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> free_at(qubits_.size(), kNone);
  const PoolIndex* const qubit_ends = nodes_.qubit_ends().data();
  const std::size_t wide_entries = nodes_.wide_qubit_count();
  const bool note_wide = wide_entries <= nodes_.qubit_pool_size(count) / kMostWide;
  candidates_valid_ = false;
  waits_.resize_for_overwrite(count);
  wide_candidates_.resize_for_overwrite(note_wide ? wide_entries : 0);
  starts_.resize_for_overwrite(count);
  double* const free = free_at.data();
  const QubitSlot* const pool = nodes_.qubit_pool().data();
  const auto charged = nodes_.charged_durations();
  double* const starts = starts_.data();
  double* const waits = waits_.data();
  WideCandidate* wide = note_wide ? wide_candidates_.data() : nullptr;
  std::size_t begin = 0;
  for (std::size_t id = 0; id < count; ++id) {
    const std::size_t end_of_qubits = qubit_ends[id];
    const std::size_t n = end_of_qubits - begin;
    const double duration = charged[id];
    // The two columns are written far ahead of use into lines that have
    // mostly left the cache: asking for them early (to be written) keeps the
    // stores from waiting on memory, 3.6 against 2.9 ms at a million nodes.
    prefetch_to_write(starts + id, kWriteAhead);
    prefetch_to_write(waits + id, kWriteAhead);
    if (n - 1 < 2) [[likely]] {
      // One or two qubits, the usual gates, without a loop to mispredict: a
      // one-qubit gate reads and writes its qubit twice, which is the same.
      const QubitSlot a = pool[begin];
      const QubitSlot b = pool[begin + n - 1];
      const double free_a = free[a];
      const double free_b = free[b];
      double start = 0.0;
      if (free_a > start) start = free_a;
      if (free_b > start) start = free_b;
      const double end = scheduled_times(start, duration).end_time;
      starts[id] = start;
      waits[id] = waited(free_a, free_b);
      free[a] = end;
      free[b] = end;
    } else {
      starts[id] = schedule_wide(id, pool + begin, pool + end_of_qubits, duration, free, wide);
      waits[id] = kNone;
    }
    begin = end_of_qubits;
  }
  candidates_valid_ = note_wide;
}

}  // namespace velunq
