// Idle windows: gaps of at least a given length between consecutive
// operations (in start order) on each qubit.
//
// The windows of one qubit come out in ascending time; qubits come out in
// ascending index; operations that start at the same time on one qubit are
// taken in ascending node id. Every result is therefore fully determined.
//
// In a schedule built from non-negative durations the operations on a qubit
// already start in id order, so each operation pairs with its predecessor in
// id order. For a positive minimum, only the windows that the schedule noted
// as possible can qualify: the search filters those and groups the hits by
// qubit. Otherwise the operations are paired in id order, a piece of the
// schedule at a time, each window written straight into its qubit's run in
// a buffer for that piece. A qubit where a start goes backwards
// (after a negative or NaN duration) has its operations gathered and stably
// sorted by start instead, by merging the runs in which its starts ascend.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "fault.hpp"
#include "plain_vector.hpp"
#include "prefetch.hpp"
#include "quantum_dag.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velunq {
namespace {

// Per qubit slot while scanning: the end of the previous operation (NaN
// before the first: a NaN end makes no window) and where the next window goes
// in the buffer.
struct Cursor {
  double end;
  std::size_t next;
};

// How a scan handles the windows it finds.
enum class Form {
  // A plain branch per window: the cheaper form when few qualify.
  kBranchy,
  // Always write the candidate window and keep it by advancing the cursor
  // only when it qualifies, so that nothing is mispredicted however many
  // qualify.
  kBranchFree,
  // Advance the cursors without writing anything: a count, which touches no
  // memory of the result.
  kCountOnly,
};

// The share of windows, one per this many steps, up to which the branchy
// form is the cheaper.
constexpr std::size_t kFew = 16;

// One operation on one qubit.
template <Form kForm>
void step(Cursor& c, TimeSpan* buffer, const ScheduleEntry& entry, double min_gap, bool may_keep) {
  const bool keep = may_keep & (entry.start_time - c.end >= min_gap);
  if constexpr (kForm == Form::kCountOnly) {
    c.next += keep;
  } else if constexpr (kForm == Form::kBranchFree) {
    buffer[c.next] = TimeSpan{c.end, entry.start_time};
    c.next += keep;
  } else if (keep) [[unlikely]] {
    buffer[c.next++] = TimeSpan{c.end, entry.start_time};
  }
  c.end = entry.end_time;
}

// The scan of a schedule whose starts only grow on every qubit, so that
// each operation pairs with the one before it in id order (as a count, it
// also estimates the share of windows in any schedule). Nodes of one and
// two qubits take one path without a data-dependent branch: a one-qubit node
// takes its second step on its own qubit again, where it keeps nothing and
// changes nothing.
struct ForwardScan {
  const double* starts;
  NodeStore<QubitSlot>::ChargedDurations charged;
  const PoolIndex* qubit_ends;
  const QubitSlot* pool;
  Cursor* cursors;
  TimeSpan* buffer;  // where the cursors point (none for a count)
  double min_gap;
  std::size_t next_step = 0;  // position in the qubit pool

  // Ids first .. last - 1. Out of line, so that each form's loop is laid
  // out on its own, whatever the caller around it.
  template <Form kForm>
  [[gnu::noinline]] void run(std::size_t first, std::size_t last) {
    // Locals, so that the loop's stores cannot be taken to change them.
    const double* const start_of = starts;
    const auto charged_of = charged;
    const PoolIndex* const ends = qubit_ends;
    const QubitSlot* const slots = pool;
    Cursor* const cursor_of = cursors;
    TimeSpan* const out = buffer;
    const double gap = min_gap;
    std::size_t begin = next_step;
    for (std::size_t id = first; id < last; ++id) {
      const std::size_t end = ends[id];
      if (end == begin) [[unlikely]] continue;
      const ScheduleEntry entry = scheduled_times(start_of[id], charged_of[id]);
      const std::size_t two = end - begin >= 2;
      step<kForm>(cursor_of[slots[begin]], out, entry, gap, true);
      step<kForm>(cursor_of[slots[begin + two]], out, entry, gap, two);
      begin += 2;
      if (begin < end) [[unlikely]] {
        for (; begin < end; ++begin) step<kForm>(cursor_of[slots[begin]], out, entry, gap, true);
      }
      begin = end;
    }
    next_step = begin;
  }
};

#if defined(__SSE2__)
// For each mask of four bits, the positions of its set bits packed into
// 16-bit lanes from the lowest up (the lanes past them are 0).
constexpr std::array<std::uint64_t, 16> kPackedHits = [] {
  std::array<std::uint64_t, 16> table{};
  for (unsigned mask = 0; mask < 16; ++mask) {
    unsigned lane = 0;
    for (unsigned bit = 0; bit < 4; ++bit) {
      if (mask >> bit & 1) table[mask] |= std::uint64_t{bit} << (16 * lane++);
    }
  }
  return table;
}();
// The number of set bits in each mask of four, four bits a mask.
constexpr std::uint64_t kHitCounts = 0x4332322132212110;
#endif

// Calls `visit(first, offsets, n)` with the ids first + offsets[0 .. n - 1],
// n > 0, for the ids among 0 .. count - 1 whose noted window qualifies (see
// build_schedule): a block of ids at a time, in id order. Hits come too
// irregularly for a branch to predict them, so the filter writes each
// candidate into the block and moves past it only on a hit; with SSE2, four
// ids at a time, written as one packed group whatever their share of hits.
// Both forms compute the same differences and comparisons.
template <class Visit>
void for_each_qualifying(const double* starts, const double* waits, std::size_t count, double min_gap,
                         Visit visit) {
  constexpr std::size_t kBlock = 512;
  constexpr std::size_t kReadAhead = 2048;  // bytes
  std::uint16_t offsets[kBlock];
  for (std::size_t first = 0; first < count; first += kBlock) {
    const std::size_t last = std::min(count, first + kBlock);
    std::size_t found = 0;
    std::size_t id = first;
#if defined(__SSE2__)
    // A group writes four lanes at `found`, which is at most its own offset.
    const __m128d gap = _mm_set1_pd(min_gap);
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
    for (; id + 4 <= last; id += 4) {
      // The columns have mostly left the cache since the schedule wrote
      // them: asked for 32 lines ahead, they come in time (a fifth less for
      // the filter alone in the road, at 100k and at 1M nodes).
      prefetch_to_read(starts + id, kReadAhead);
      prefetch_to_read(waits + id, kReadAhead);
      const __m128d low = _mm_sub_pd(_mm_loadu_pd(starts + id), _mm_and_pd(_mm_loadu_pd(waits + id), magnitude));
      const __m128d high =
          _mm_sub_pd(_mm_loadu_pd(starts + id + 2), _mm_and_pd(_mm_loadu_pd(waits + id + 2), magnitude));
      const unsigned mask = static_cast<unsigned>(_mm_movemask_pd(_mm_cmpge_pd(low, gap)) |
                                                  _mm_movemask_pd(_mm_cmpge_pd(high, gap)) << 2);
      const std::uint64_t lanes = kPackedHits[mask] + (id - first) * std::uint64_t{0x0001000100010001};
      std::memcpy(offsets + found, &lanes, sizeof lanes);  // little-endian: lane 0 first
      found += kHitCounts >> (4 * mask) & 15;
    }
#endif
    for (; id < last; ++id) {
      offsets[found] = static_cast<std::uint16_t>(id - first);
      found += starts[id] - std::fabs(waits[id]) >= min_gap;
    }
    if (found != 0) visit(first, offsets, found);
  }
}

// Sorts one qubit's operations stably by start (never NaN, so the order is
// total). They come in id order as ascending runs, a new one each time the
// qubit's time steps back: neighbouring runs are merged in pairs until one
// is left, n log r for r runs where a general sort pays n log n. `scratch`
// and `bounds` are working space kept between calls.
void sort_by_start(TimeSpan* first, TimeSpan* last, PlainVector<TimeSpan>& scratch, std::vector<std::size_t>& bounds) {
  const auto by_start = [](const TimeSpan& a, const TimeSpan& b) { return a.start < b.start; };
  const std::size_t size = static_cast<std::size_t>(last - first);
  bounds.assign(1, 0);
  for (std::size_t i = 1; i < size; ++i) {
    if (first[i].start < first[i - 1].start) bounds.push_back(i);
  }
  bounds.push_back(size);
  if (bounds.size() <= 2) return;
  scratch.resize_for_overwrite(size);
  TimeSpan* from = first;
  TimeSpan* to = scratch.data();
  while (bounds.size() > 2) {
    // Run i is bounds[i] .. bounds[i + 1]; an odd one out is copied as it is.
    std::size_t kept = 0;
    for (std::size_t i = 0; i + 1 < bounds.size(); i += 2) {
      const std::size_t begin = bounds[i];
      const std::size_t middle = bounds[i + 1];
      const std::size_t end = i + 2 < bounds.size() ? bounds[i + 2] : middle;
      std::merge(from + begin, from + middle, from + middle, from + end, to + begin, by_start);  // stable
      bounds[kept++] = begin;
    }
    bounds[kept++] = size;
    bounds.resize(kept);
    std::swap(from, to);
  }
  if (from != first) std::copy(from, from + size, first);
}

}  // namespace

// The windows noted by the schedule that qualify, in id order, which is time
// order on each qubit; then counted by qubit and laid out in runs.
IdleWindowList QuantumDAG::noted_windows(double min_gap_ns, const std::vector<QubitSlot>& by_qubit) const {
  IdleWindowList result;
  const std::size_t scheduled = starts_.size();
  const QubitSlot* const pool = nodes_.qubit_pool().data();
  const PoolIndex* const qubit_ends = nodes_.qubit_ends().data();
  struct Found {
    QubitSlot slot;
    TimeSpan span;
  };
  PlainVector<Found> found;
  std::vector<std::size_t> next(qubits_.size(), 0);  // counts, then where each run's next window goes
  const double* const starts = starts_.data();
  const double* const waits = waits_.data();
  // The window noted for node `id` (one that qualifies), and its qubit.
  const auto noted_slot = [waits, pool, qubit_ends](std::size_t id) {
    return pool[(id == 0 ? 0 : qubit_ends[id - 1]) + std::signbit(waits[id])];
  };
  const auto noted_span = [starts, waits](std::size_t id) { return TimeSpan{std::fabs(waits[id]), starts[id]}; };
  const auto keep = [&](const Found& hit) {
    found.push_back(hit);
    ++next[hit.slot];
  };
  const WideCandidate* wide = wide_candidates_.begin();
  const WideCandidate* const wide_end = wide_candidates_.end();
  const auto take_wide_before = [&](std::size_t id) {
    for (; wide != wide_end && wide->id < id; ++wide) {
      const TimeSpan span{wide->previous_end, starts[wide->id]};
      if (span.end - span.start >= min_gap_ns) keep(Found{wide->slot, span});
    }
  };
  const auto visit = [&](std::size_t first, const std::uint16_t* offsets, std::size_t n) {
    if (wide != wide_end && wide->id < first + offsets[n - 1]) [[unlikely]] {
      // Candidates of wide nodes fall among these hits: in id order, one by one.
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t id = first + offsets[i];
        take_wide_before(id);
        keep(Found{noted_slot(id), noted_span(id)});
      }
      return;
    }
    // Through locals, which the stores below cannot be taken to change.
    Found* const out = found.append_for_overwrite(n);
    std::size_t* const counts = next.data();
    for (std::size_t i = 0; i < n; ++i) {
      // Field by field: a whole Found built first would go through memory.
      const std::size_t id = first + offsets[i];
      const QubitSlot slot = noted_slot(id);
      out[i].slot = slot;
      out[i].span = noted_span(id);
      ++counts[slot];
    }
  };
  for_each_qualifying(starts, waits, scheduled, min_gap_ns, visit);
  take_wide_before(scheduled);
  for (QubitSlot slot : by_qubit) {
    result.add_run(qubits_.qubit(slot), result.size_, std::exchange(next[slot], result.size_));
  }
  result.buffer_.resize_for_overwrite(found.size());
  for (const Found& f : found) result.buffer_[next[f.slot]++] = f.span;
  return result;
}

void check_window_layout(std::span<const IdleWindowList::Run> runs, std::size_t total) {
  std::size_t at = 0;
  for (const IdleWindowList::Run& run : runs) {
    if (run.begin != at) throw InternalFault("idle window runs not laid out one after another");
    at += run.size;
  }
  if (at != total) throw InternalFault("idle window runs do not add up to their total");
}

// Puts the pieces of a search together into one list.
class IdleWindowList::Collector final : public IdleWindowSink {
 public:
  void expect(std::span<const Run> runs, std::size_t total) override {
    placer_.expect(runs, total);
    list_.runs_.assign(runs.begin(), runs.end());
    list_.size_ = total;
    list_.buffer_.resize_for_overwrite(total);
  }

  void take(const IdleWindowList& piece) override {
    for (const Run& run : piece.runs()) {
      const std::span<const TimeSpan> windows = piece.windows(run);
      std::copy(windows.begin(), windows.end(), list_.buffer_.data() + placer_.place(run).at);
    }
  }

  IdleWindowList finish() && {
    placer_.finish();
    return std::move(list_);
  }

 private:
  IdleWindowList list_;
  WindowPlacer placer_;
};

namespace {

// Hands a whole list to a sink as its only piece. The sink expects the runs
// one after another, where the list's buffer may have room between them.
void hand_over(const IdleWindowList& list, IdleWindowSink& sink) {
  std::vector<IdleWindowList::Run> layout = list.runs();
  std::size_t at = 0;
  for (IdleWindowList::Run& run : layout) {
    run.begin = at;
    at += run.size;
  }
  sink.expect(layout, list.size());
  if (!list.empty()) sink.take(list);
}

}  // namespace

IdleWindowList QuantumDAG::find_idle_windows(double min_gap_ns) const {
  IdleWindowList::Collector whole;
  find_idle_windows(min_gap_ns, whole);
  return std::move(whole).finish();
}

void QuantumDAG::find_idle_windows(double min_gap_ns, IdleWindowSink& sink) const {
  if (starts_.empty() || nodes_.empty()) return hand_over(IdleWindowList{}, sink);
  const std::vector<QubitSlot> by_qubit = qubits_.slots_by_qubit();
  if (nodes_.backward_count() != 0) return hand_over(reordered_windows(min_gap_ns, by_qubit), sink);
  // A positive (or NaN) minimum, from the schedule's notes.
  if (candidates_valid_ && !(min_gap_ns <= 0.0)) return hand_over(noted_windows(min_gap_ns, by_qubit), sink);
  forward_windows(min_gap_ns, by_qubit, sink);
}

// Every qubit's starts only grow, so each operation pairs with the one
// before it on its qubit in id order. The schedule is taken a piece of
// nodes at a time, twice: a count first, which writes nothing and tells the
// sink what to expect (and how many windows each qubit has in each piece);
// then each piece is scanned into a buffer laid out for that piece alone and
// handed over. The buffer is reused, so it stays in cache and its pages are
// seldom fresh, however many windows there are.
void QuantumDAG::forward_windows(double min_gap_ns, const std::vector<QubitSlot>& by_qubit,
                                 IdleWindowSink& sink) const {
  const std::size_t scheduled = starts_.size();
  const std::size_t slot_count = qubits_.size();
  const QubitSlot* const pool = nodes_.qubit_pool().data();
  const PoolIndex* const qubit_ends = nodes_.qubit_ends().data();
  const std::size_t entries = qubit_ends[scheduled - 1];
  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

  // A piece takes whole nodes up to about this many qubit entries; at least
  // as many as there are slots, since each piece looks at every slot.
  const std::size_t piece_entries = std::max<std::size_t>({sink.piece_entries(), slot_count, 1});
  const auto piece_after = [&](std::size_t first) {
    const std::size_t before = first == 0 ? 0 : qubit_ends[first - 1];
    // The node whose entries reach past the piece's share is its last.
    const PoolIndex* const past =
        std::upper_bound(qubit_ends + first, qubit_ends + scheduled, before + std::min(piece_entries, entries - before));
    return std::min(scheduled, static_cast<std::size_t>(past - qubit_ends) + 1);
  };

  std::vector<Cursor> cursors(slot_count, Cursor{kNone, 0});
  ForwardScan scan{starts_.data(), nodes_.charged_durations(), qubit_ends, pool, cursors.data(), nullptr, min_gap_ns};
  std::vector<std::size_t> piece_ends;
  PlainVector<std::size_t> counts;  // per piece, each slot's windows up to its end
  for (std::size_t first = 0; first < scheduled; first = piece_ends.back()) {
    piece_ends.push_back(piece_after(first));
    scan.run<Form::kCountOnly>(first, piece_ends.back());
    std::size_t* const after = counts.append_for_overwrite(slot_count);
    for (QubitSlot slot = 0; slot < slot_count; ++slot) after[slot] = cursors[slot].next;
  }
  IdleWindowList piece;  // first the whole list's layout, then each piece
  for (QubitSlot slot : by_qubit) piece.add_run(qubits_.qubit(slot), piece.size_, cursors[slot].next);
  sink.expect(piece.runs_, piece.size_);
  if (piece.size_ == 0) return;
  const bool many = piece.size_ * kFew > entries;

  std::fill(cursors.begin(), cursors.end(), Cursor{kNone, 0});
  scan.next_step = 0;
  std::vector<std::size_t> run_begin(slot_count);
  for (std::size_t p = 0; p < piece_ends.size(); ++p) {
    // Room for a slot's windows in the piece and one more: the branch-free
    // scan writes each candidate before deciding to keep it.
    const std::size_t* const after = counts.data() + p * slot_count;
    const std::size_t* const before = p == 0 ? nullptr : after - slot_count;  // the previous piece's counts
    std::size_t room = 0;
    for (QubitSlot slot : by_qubit) {
      run_begin[slot] = room;
      cursors[slot].next = room;
      room += after[slot] - (before ? before[slot] : 0) + 1;
    }
    piece.buffer_.resize_for_overwrite(room);
    scan.buffer = piece.buffer_.data();
    const std::size_t first = p == 0 ? 0 : piece_ends[p - 1];
    if (many) {
      scan.run<Form::kBranchFree>(first, piece_ends[p]);
    } else {
      scan.run<Form::kBranchy>(first, piece_ends[p]);
    }
    piece.runs_.clear();
    piece.size_ = 0;
    for (QubitSlot slot : by_qubit) {
      piece.add_run(qubits_.qubit(slot), run_begin[slot], cursors[slot].next - run_begin[slot]);
    }
    if (!piece.empty()) sink.take(piece);
  }
}

// Some qubit's starts go backwards (after a negative or NaN duration).
// Every qubit is paired in id order first, which is start order on the
// qubits where starts only grow; the others are then redone from their
// operations sorted stably by start.
IdleWindowList QuantumDAG::reordered_windows(double min_gap_ns, const std::vector<QubitSlot>& by_qubit) const {
  IdleWindowList result;
  const std::size_t scheduled = starts_.size();
  const std::size_t slot_count = qubits_.size();
  const QubitSlot* const pool = nodes_.qubit_pool().data();
  const PoolIndex* const qubit_ends = nodes_.qubit_ends().data();
  const auto charged = nodes_.charged_durations();

  // A qubit's run has room for one window per operation on it, which is one
  // more than it can hold: the branch-free scan writes each candidate before
  // deciding whether to keep it. Runs are laid out in ascending qubit index.
  std::vector<std::size_t> run_begin(slot_count, 0);
  for (const QubitSlot* slot = pool; slot != pool + qubit_ends[scheduled - 1]; ++slot) ++run_begin[*slot];
  std::size_t room = 0;
  for (QubitSlot slot : by_qubit) room += std::exchange(run_begin[slot], room);
  result.buffer_.resize_for_overwrite(room);
  TimeSpan* const buffer = result.buffer_.data();

  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  std::vector<Cursor> cursors(slot_count);
  const auto reset_cursors = [&] {
    for (QubitSlot slot = 0; slot < slot_count; ++slot) cursors[slot] = Cursor{kNone, run_begin[slot]};
  };
  reset_cursors();
  // How many windows a qubit's run holds so far.
  const auto kept_on = [&](QubitSlot slot) { return cursors[slot].next - run_begin[slot]; };
  // Lists the runs that hold windows.
  const auto finish_runs = [&](IdleWindowList& list) {
    for (QubitSlot s : by_qubit) list.add_run(qubits_.qubit(s), run_begin[s], kept_on(s));
    return std::move(list);
  };

  // A count over a first block shows how many windows qualify; the scan
  // then starts over in the form that suits that share. The count writes
  // nothing: a block of wide gates on a large device would otherwise touch a
  // page of the buffer for each qubit, window or not.
  constexpr std::size_t kSample = 4096;
  ForwardScan scan{starts_.data(), charged, qubit_ends, pool, cursors.data(), buffer, min_gap_ns};
  scan.run<Form::kCountOnly>(0, std::min(scheduled, kSample));
  std::size_t kept = 0;
  for (QubitSlot slot = 0; slot < slot_count; ++slot) kept += kept_on(slot);
  const bool many = kept * kFew > scan.next_step;
  reset_cursors();
  scan.next_step = 0;
  if (many) {
    scan.run<Form::kBranchFree>(0, scheduled);
  } else {
    scan.run<Form::kBranchy>(0, scheduled);
  }

  // Note each qubit whose starts go backwards somewhere.
  std::vector<char> out_of_order(slot_count, 0);
  bool any_out_of_order = false;
  std::vector<double> last_start(slot_count, kNone);  // NaN compares false
  const QubitSlot* slot = pool;
  for (std::size_t id = 0; id < scheduled; ++id) {
    const double start = starts_[id];
    for (const QubitSlot* const last = pool + qubit_ends[id]; slot != last; ++slot) {
      if (start < last_start[*slot]) [[unlikely]] {
        out_of_order[*slot] = 1;
        any_out_of_order = true;
      }
      last_start[*slot] = start;
    }
  }
  if (!any_out_of_order) return finish_runs(result);

  // Redo those qubits. Each qubit's operations are gathered into its own run
  // of the buffer, which has room for exactly that many, and turned into
  // windows there: each window is written over an operation that has
  // already been read.
  for (QubitSlot q = 0; q < slot_count; ++q) {
    if (out_of_order[q]) cursors[q].next = run_begin[q];
  }
  slot = pool;
  for (std::size_t id = 0; id < scheduled; ++id) {
    const ScheduleEntry entry = schedule_of(id, charged);
    for (const QubitSlot* const last = pool + qubit_ends[id]; slot != last; ++slot) {
      if (out_of_order[*slot]) buffer[cursors[*slot].next++] = TimeSpan{entry.start_time, entry.end_time};
    }
  }
  PlainVector<TimeSpan> scratch;
  std::vector<std::size_t> bounds;
  for (QubitSlot q = 0; q < slot_count; ++q) {
    if (!out_of_order[q]) continue;
    TimeSpan* const first = buffer + run_begin[q];
    TimeSpan* const last = buffer + cursors[q].next;
    sort_by_start(first, last, scratch, bounds);
    TimeSpan* next = first;
    for (const TimeSpan* op = first + 1; op < last; ++op) {
      const TimeSpan window{op[-1].end, op->start};
      if (window.end - window.start >= min_gap_ns) *next++ = window;
    }
    cursors[q].next = static_cast<std::size_t>(next - buffer);
  }

  return finish_runs(result);
}

}  // namespace velunq
