// The dynamical-decoupling pass.
//
// Walks the scheduled nodes in id order. Before each node, every qubit of the
// node whose idle gap (from the point up to which the qubit is taken, to the
// node's start) is at least 1.5 times the pulse list's total time receives
// one copy of the pulse list, packed from the gap's start with 10 ns between
// pulses. With neighbour clearance on, a pulse is moved past every pulse
// already placed on a coupled qubit that it would overlap. The node itself is
// copied after its pulses. The receiver is not changed.
//
// The clearance rule is a literal scan: neighbours in ascending index, each
// neighbour's pulses in placement order, and a restart from the first
// neighbour after every shift. It is kept exactly, but made cheap: each
// qubit's coupled neighbours are listed once per call, and a neighbour's
// pulses are searched by galloping and bisection over runs in which starts
// and ends ascend (one run in the usual case; a new one each time the
// qubit's time steps back) instead of one by one, each search starting where
// the same qubit's previous search of that neighbour ended. Where time has
// stepped back many times, the older runs are searched through blocks of
// runs (RunIndex), so that a search does not bisect each of them. Where
// qubits have many neighbours, a coarse record of which qubits hold pulses
// when (DenseClearance) rules out most neighbours before their pulses are
// looked at.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "pulse_buckets.hpp"
#include "quantum_dag.hpp"

namespace velunq {

namespace {

constexpr double kDefaultPulseNs = 50.0;
constexpr double kWindowFactor = 1.5;
constexpr double kPulseSpacingNs = 10.0;
// Neighbours per qubit from which DenseClearance is used, and its buckets'
// room in words beyond one per node.
constexpr std::size_t kDenseDegree = 8;
constexpr std::size_t kBucketWords = std::size_t{1} << 18;

struct Pulse {
  double start;
  double end;
};

// Whether [t, t + d) overlaps pulse p.
inline bool overlaps(const Pulse& p, double t, double d) noexcept { return t + d > p.start && p.end > t; }

// Which of a track's runs holds the first pulse, in placement order, that
// [t, x) overlaps, without looking at every run: a track where time has
// stepped back many times has many runs, and each would cost a bisection.
//
// The runs are grouped into aligned blocks of kFanout runs, those into
// blocks of kFanout blocks, and so on; a block is made once all its runs are
// closed. A block keeps its pulses' ends in ascending order, each with the
// least start among the pulses that end no earlier. The pulses of a block
// that end after t then follow the first such end, and one of them starts
// before x exactly when that end's least start is below x: a bisection tells
// whether a block holds an overlap, and the search descends into the first
// block that does. Only comparisons are made, so the answer is the literal
// scan's.
class RunIndex {
 public:
  static constexpr std::size_t kFanout = 16;

  void clear() noexcept { levels_.clear(); }

  // Runs [0, covered()) are in blocks; later ones are not.
  std::size_t covered() const noexcept { return levels_.empty() ? 0 : levels_[0].count() * kFanout; }

  // Makes the blocks that the first `closed` runs complete. Run r holds
  // pulses[run_begins[r] .. run_begins[r + 1]).
  void update(const std::vector<Pulse>& pulses, const std::vector<std::size_t>& run_begins, std::size_t closed) {
    std::size_t span = kFanout;  // runs per block at this level
    for (std::size_t level = 0; closed / span > 0; ++level, span *= kFanout) {
      if (level == levels_.size()) levels_.emplace_back();
      Level& blocks = levels_[level];
      for (std::size_t b = blocks.count(); b < closed / span; ++b) {
        const auto first = pulses.begin() + static_cast<std::ptrdiff_t>(run_begins[b * span]);
        const auto last = pulses.begin() + static_cast<std::ptrdiff_t>(run_begins[(b + 1) * span]);
        const std::size_t begin = blocks.entries.size();
        for (auto p = first; p != last; ++p) blocks.entries.push_back(Entry{p->end, p->start});
        const auto block = blocks.entries.begin() + static_cast<std::ptrdiff_t>(begin);
        std::sort(block, blocks.entries.end(), [](const Entry& a, const Entry& b) { return a.end < b.end; });
        for (std::size_t i = blocks.entries.size() - 1; i > begin; --i) {
          blocks.entries[i - 1].least_start = std::min(blocks.entries[i - 1].least_start, blocks.entries[i].least_start);
        }
        blocks.ends.push_back(blocks.entries.size());
      }
    }
  }

  // The first overlap in runs [0, covered()), or nullptr. `in_run(r)` gives
  // run r's first overlap, or nullptr.
  template <class InRun>
  const Pulse* first_overlap(double t, double x, InRun&& in_run) const {
    std::size_t run = 0;  // the runs before it hold no overlap
    for (std::size_t level = levels_.size(); level-- > 0;) {
      const std::size_t span = span_of(level);
      for (std::size_t b = run / span; b < levels_[level].count(); ++b) {
        if (levels_[level].overlaps(b, t, x)) {
          if (const Pulse* hit = descend(level, b, t, x, in_run)) return hit;
        }
        run = (b + 1) * span;
      }
    }
    return nullptr;
  }

 private:
  struct Entry {
    double end;
    double least_start;  // of the block's pulses that end at or after this one, in sorted order
  };
  struct Level {
    std::vector<Entry> entries;          // every block's entries, block after block
    std::vector<std::size_t> ends{0};    // where each block's entries end (after a leading 0)
    std::size_t count() const noexcept { return ends.size() - 1; }
    bool overlaps(std::size_t b, double t, double x) const noexcept {
      const auto first = entries.begin() + static_cast<std::ptrdiff_t>(ends[b]);
      const auto last = entries.begin() + static_cast<std::ptrdiff_t>(ends[b + 1]);
      // The block's least start and greatest end rule most blocks out.
      if (first == last || !(first->least_start < x) || !((last - 1)->end > t)) return false;
      const auto after = std::partition_point(first, last, [t](const Entry& e) { return !(e.end > t); });
      return after != last && after->least_start < x;
    }
  };

  static std::size_t span_of(std::size_t level) noexcept {
    std::size_t span = kFanout;
    while (level-- > 0) span *= kFanout;
    return span;
  }

  template <class InRun>
  const Pulse* descend(std::size_t level, std::size_t block, double t, double x, InRun& in_run) const {
    if (level == 0) {
      for (std::size_t r = block * kFanout; r < (block + 1) * kFanout; ++r) {
        if (const Pulse* hit = in_run(r)) return hit;
      }
      return nullptr;
    }
    for (std::size_t b = block * kFanout; b < (block + 1) * kFanout; ++b) {
      if (!levels_[level - 1].overlaps(b, t, x)) continue;
      if (const Pulse* hit = descend(level - 1, b, t, x, in_run)) return hit;
    }
    return nullptr;
  }

  std::vector<Level> levels_;  // levels_[0]: blocks of kFanout runs
};

// The pulses placed on one qubit in this call, in placement order, kept as
// consecutive runs in which starts and ends both ascend, so that a run is
// searched by bisection. A pulse that starts or ends before the last one
// opens a new run. A pulse with a NaN bound is not kept at all: it overlaps
// nothing. While time only moves forward a track is one run.
class PulseTrack {
 public:
  bool empty() const noexcept { return pulses_.empty(); }

  // Whether the track has doubled since it was last trimmed.
  bool trim_due() const noexcept { return pulses_.size() >= next_trim_; }

  // Forgets the pulses that end by `w`, on the caller's promise that no
  // search will ever start before w again: such a pulse can never be the
  // first overlap. In each run they form a prefix. Finding w costs the caller
  // a look at each of the track's `scanners`; the track is looked at again
  // once it has doubled and has had as many pulses added as it has scanners,
  // so trimming costs a constant per pulse added.
  void trim(double w, std::size_t scanners) {
    std::size_t kept = 0;
    std::size_t runs = 0;
    for (std::size_t r = 0; r < run_begins_.size(); ++r) {
      const auto first = pulses_.begin() + static_cast<std::ptrdiff_t>(run_begins_[r]);
      const auto last = r + 1 < run_begins_.size() ? pulses_.begin() + static_cast<std::ptrdiff_t>(run_begins_[r + 1])
                                                   : pulses_.end();
      const auto live = std::partition_point(first, last, [w](const Pulse& p) { return p.end <= w; });
      if (live == last) continue;
      run_begins_[runs++] = kept;
      const auto to = pulses_.begin() + static_cast<std::ptrdiff_t>(kept);
      kept = static_cast<std::size_t>((to == live ? last : std::copy(live, last, to)) - pulses_.begin());
    }
    // Hints count forgotten pulses too. While the last run keeps a pulse,
    // every pulse forgotten came before it, so its hints stay exact;
    // otherwise a hint is only clamped into the new last run.
    forgotten_ += pulses_.size() - kept;
    pulses_.resize(kept);
    run_begins_.resize(runs);
    index_.clear();
    if (runs > 0) index_.update(pulses_, run_begins_, runs - 1);
    if (kept > 0) last_end_ = pulses_.back().end;
    next_trim_ = std::max({kFirstTrim, 2 * kept, kept + scanners});
  }

  void add(double start, double end) {
    if (std::isnan(start) || std::isnan(end)) return;
    const bool fits = !pulses_.empty() && pulses_.back().start <= start && last_end_ <= end;
    if (!fits) open_run();
    pulses_.push_back(Pulse{start, end});
    last_end_ = end;
  }

  // The least start and the greatest end of the pulses that end after w
  // (infinity and -infinity when there is none).
  std::pair<double, double> bounds_after(double w) const noexcept {
    double least = std::numeric_limits<double>::infinity();
    double greatest = -std::numeric_limits<double>::infinity();
    for (std::size_t r = 0; r < run_begins_.size(); ++r) {
      const auto first = pulses_.begin() + static_cast<std::ptrdiff_t>(run_begins_[r]);
      const auto last = r + 1 < run_begins_.size() ? pulses_.begin() + static_cast<std::ptrdiff_t>(run_begins_[r + 1])
                                                   : pulses_.end();
      // Ends and starts ascend in a run.
      const auto live = std::partition_point(first, last, [w](const Pulse& p) { return !(p.end > w); });
      if (live == last) continue;
      least = std::min(least, live->start);
      greatest = std::max(greatest, (last - 1)->end);
    }
    return {least, greatest};
  }

  // The first pulse, in placement order, that [t, t + d) overlaps.
  //
  // `hint` is where the caller's previous search of this track's last run
  // ended. One qubit's searches mostly move forward in time, so starting from
  // there walks the run once from front to back instead of searching it
  // afresh.
  const Pulse* first_overlap(double t, double d, std::size_t& hint) const noexcept {
    // Ends ascend in a run: the pulses ending after t form a suffix of it.
    // If the suffix's first pulse starts at or after t + d, so do the
    // others, as starts ascend too: only that pulse can be the run's first
    // overlap.
    if (run_begins_.size() > 1) {  // the closed runs, usually none
      if (const Pulse* hit = first_overlap_in_closed_runs(t, d)) return hit;
    }
    if (!(last_end_ > t)) return nullptr;  // the usual answer
    const std::size_t last_begin = run_begins_.back();
    const std::size_t last = pulses_.size() - 1;
    // Hints count the forgotten pulses too, so trimming leaves them valid.
    const std::size_t from = std::clamp(hint > forgotten_ ? hint - forgotten_ : 0, last_begin, last);
    const std::size_t first = first_ending_after(t, last_begin, from, last);
    hint = first + forgotten_;
    return overlaps(pulses_[first], t, d) ? &pulses_[first] : nullptr;
  }

 private:
  // The two rarely taken paths stay out of line: the pass's main loop, where
  // the calls sit, runs faster without them inlined.
  [[gnu::noinline]] void open_run() {
    run_begins_.push_back(pulses_.size());
    index_.update(pulses_, run_begins_, run_begins_.size() - 1);
  }

  // The same search over the runs before the last: those in the index's
  // blocks first, then the rest one by one.
  [[gnu::noinline]] const Pulse* first_overlap_in_closed_runs(double t, double d) const noexcept {
    const auto in_run = [&](std::size_t r) -> const Pulse* {
      const std::size_t last = run_begins_[r + 1] - 1;
      if (!(pulses_[last].end > t)) return nullptr;
      const Pulse& first = pulses_[first_ending_after(t, run_begins_[r], run_begins_[r], last)];
      return overlaps(first, t, d) ? &first : nullptr;
    };
    if (const Pulse* hit = index_.first_overlap(t, t + d, in_run)) return hit;
    const std::size_t last_begin = run_begins_.back();
    for (std::size_t r = index_.covered(); run_begins_[r] != last_begin; ++r) {
      if (const Pulse* hit = in_run(r)) return hit;
    }
    return nullptr;
  }

  // The index of the first pulse in [begin, last] that ends after t, given
  // that pulses_[last] does: gallop from `from` towards it, then bisect.
  std::size_t first_ending_after(double t, std::size_t begin, std::size_t from, std::size_t last) const noexcept {
    std::size_t low;   // the answer is in [low, high]
    std::size_t high;  // pulses_[high].end > t
    std::size_t step = 1;
    if (pulses_[from].end > t) {
      high = from;
      low = begin;
      while (high > begin) {
        const std::size_t probe = high - begin > step ? high - step : begin;
        if (!(pulses_[probe].end > t)) {
          low = probe + 1;
          break;
        }
        high = probe;
        step *= 2;
      }
    } else {
      low = from + 1;
      for (;;) {
        const std::size_t probe = std::min(last, from + step);
        if (pulses_[probe].end > t) {
          high = probe;
          break;
        }
        low = probe + 1;
        step *= 2;
      }
    }
    const auto first = pulses_.begin();
    return static_cast<std::size_t>(
        std::partition_point(first + static_cast<std::ptrdiff_t>(low), first + static_cast<std::ptrdiff_t>(high),
                             [t](const Pulse& p) { return !(p.end > t); }) -
        first);
  }

  static constexpr std::size_t kFirstTrim = 64;

  std::vector<Pulse> pulses_;
  std::vector<std::size_t> run_begins_;  // index in pulses_ of each run's first pulse
  RunIndex index_;                       // over the closed runs
  std::size_t forgotten_ = 0;            // pulses trimmed off the front
  std::size_t next_trim_ = kFirstTrim;
  double last_end_ = 0.0;  // of the last pulse, when there is one
};

// For every qubit slot, its coupled neighbours i < num_qubits that occur in
// the graph, in ascending qubit index.
class NeighbourIndex {
 public:
  NeighbourIndex(const QuantumDAG& dag, std::uint64_t num_qubits) {
    const QubitTable& table = dag.qubit_table();
    std::vector<Edge> edges;
    for (const auto& [a, b] : dag.coupling_pairs()) {
      if (b >= num_qubits) continue;
      const auto from = table.find(a);
      const auto to = table.find(b);
      if (from && to) edges.push_back(Edge{*from, b, *to});
    }
    std::sort(edges.begin(), edges.end(), [](const Edge& x, const Edge& y) {
      return x.from != y.from ? x.from < y.from : x.to_qubit < y.to_qubit;
    });
    begin_.assign(table.size() + 1, 0);
    for (const Edge& edge : edges) ++begin_[edge.from + 1];
    for (std::size_t i = 1; i < begin_.size(); ++i) begin_[i] += begin_[i - 1];
    neighbours_.reserve(edges.size());
    for (const Edge& edge : edges) neighbours_.push_back(edge.to);
    // The same edges the other way round: who scans each slot.
    scanner_begin_.assign(table.size() + 1, 0);
    for (const Edge& edge : edges) ++scanner_begin_[edge.to + 1];
    for (std::size_t i = 1; i < scanner_begin_.size(); ++i) scanner_begin_[i] += scanner_begin_[i - 1];
    scanners_.resize(edges.size());
    std::vector<std::size_t> next(scanner_begin_.begin(), scanner_begin_.end() - 1);
    for (const Edge& edge : edges) scanners_[next[edge.to]++] = edge.from;
  }

  std::span<const QubitSlot> of(QubitSlot slot) const noexcept {
    return {neighbours_.data() + begin_[slot], begin_[slot + 1] - begin_[slot]};
  }
  // Where the slot's neighbours start among all entries (for data kept per
  // entry, like search hints).
  std::size_t first_entry(QubitSlot slot) const noexcept { return begin_[slot]; }
  std::size_t entry_count() const noexcept { return neighbours_.size(); }
  // The slots that have `slot` among their neighbours.
  std::span<const QubitSlot> scanners_of(QubitSlot slot) const noexcept {
    return {scanners_.data() + scanner_begin_[slot], scanner_begin_[slot + 1] - scanner_begin_[slot]};
  }

 private:
  struct Edge {
    QubitSlot from;
    Qubit to_qubit;
    QubitSlot to;
  };
  std::vector<std::size_t> begin_;
  std::vector<QubitSlot> neighbours_;
  std::vector<std::size_t> scanner_begin_;
  std::vector<QubitSlot> scanners_;
};

// The same clearance where qubits have many neighbours (a densely coupled
// device). There, looking at every neighbour's track on every search costs
// more than the searches: PulseBuckets tells which neighbours can hold an
// overlap at all, and only their tracks are searched. The buckets number the
// qubit slots by rank in ascending qubit index, so that walking the set bits
// of an answer meets the neighbours in the order of the rule's scan, and the
// first overlap found is the scan's.
class DenseClearance {
 public:
  using Word = PulseBuckets::Word;

  // A DenseClearance for these neighbour lists, if they are long enough
  // for it to pay.
  [[gnu::noinline]] static std::unique_ptr<DenseClearance> where_it_pays(const QubitTable& table,
                                                                         const NeighbourIndex& neighbours,
                                                                         const std::vector<double>& pulse_ns,
                                                                         const NodeStore<QubitSlot>& nodes,
                                                                         std::span<const double> starts) {
    std::size_t scanning = 0;
    for (QubitSlot slot = 0; slot < table.size(); ++slot) scanning += !neighbours.of(slot).empty();
    const std::size_t degree = scanning == 0 ? 0 : neighbours.entry_count() / scanning;
    if (degree < kDenseDegree || degree < 4 * PulseBuckets::words_for(table.size())) return nullptr;
    // Buckets about one pulse wide (of the median pulse of coupled qubits: a
    // qubit with far longer pulses is left to the literal scan), covering
    // the time up to the latest start of a node on coupled qubits: every
    // pulse placed, and every search, ends by its node's start, and only
    // pulses and searches of coupled qubits meet the buckets. Uncoupled
    // qubits may run far ahead without making the buckets coarse.
    const auto coupled = [&](QubitSlot slot) {
      return !neighbours.of(slot).empty() || !neighbours.scanners_of(slot).empty();
    };
    std::vector<double> lengths;
    for (QubitSlot slot = 0; slot < table.size(); ++slot) {
      if (coupled(slot) && pulse_ns[slot] > 0.0 && std::isfinite(pulse_ns[slot])) lengths.push_back(pulse_ns[slot]);
    }
    const auto median = lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2);
    if (!lengths.empty()) std::nth_element(lengths.begin(), median, lengths.end());
    const double width = lengths.empty() ? kDefaultPulseNs : *median + kPulseSpacingNs;
    double latest = 0.0;
    for (std::size_t id = 0; id < starts.size(); ++id) {
      const double start = starts[id];
      if (!(start > latest) || !std::isfinite(start)) continue;
      const std::span<const QubitSlot> slots = nodes.qubits(id);
      if (std::any_of(slots.begin(), slots.end(), coupled)) latest = start;
    }
    return std::make_unique<DenseClearance>(table, neighbours, width, latest, kBucketWords + nodes.size());
  }

  // Only slots with neighbours get a row of bits, so that the rows take at
  // most a few bytes per neighbour entry (see where_it_pays), not the square
  // of the qubits.
  DenseClearance(const QubitTable& table, const NeighbourIndex& neighbours, double width, double span,
                 std::size_t max_words)
      : rank_(table.size()),
        slot_of_rank_(table.slots_by_qubit()),
        row_(table.size(), kNoRow),
        buckets_(table.size(), width, span, max_words) {
    for (std::size_t r = 0; r < slot_of_rank_.size(); ++r) rank_[slot_of_rank_[r]] = r;
    std::uint32_t rows = 0;
    for (QubitSlot slot = 0; slot < table.size(); ++slot) {
      if (!neighbours.of(slot).empty()) row_[slot] = rows++;
    }
    const std::size_t words = buckets_.words();
    among_.assign(std::size_t{rows} * words, 0);
    before_word_.assign(std::size_t{rows} * words, 0);
    for (QubitSlot slot = 0; slot < table.size(); ++slot) {
      if (row_[slot] == kNoRow) continue;
      const std::size_t row = std::size_t{row_[slot]} * words;
      Word* among = among_.data() + row;
      for (QubitSlot neighbour : neighbours.of(slot)) {
        among[rank_[neighbour] / PulseBuckets::kWordBits] |= Word{1} << (rank_[neighbour] % PulseBuckets::kWordBits);
      }
      for (std::size_t w = 1; w < words; ++w) {
        before_word_[row + w] = before_word_[row + w - 1] + std::popcount(among[w - 1]);
      }
    }
  }

  // Both stay out of line: the pass's main loop, where the calls sit, runs
  // faster on sparse devices without them inlined.
  [[gnu::noinline]] void add(QubitSlot slot, double start, double end) { buckets_.add(rank_[slot], start, end); }

  // Where t got to, and whether that is the end: the buckets cannot answer
  // for every stretch, and then the literal scan goes on from there.
  struct Cleared {
    double t;
    bool done;
  };

  // Moves t as clear_of_neighbours does, for as long as the buckets can answer.
  [[gnu::noinline]] Cleared clear(double t, double d, double window_end, QubitSlot slot,
                                  const std::vector<PulseTrack>& tracks, std::size_t* hints) {
    if (row_[slot] == kNoRow) return {t, true};  // no neighbour to clear
    const std::size_t words = buckets_.words();
    const std::size_t row = std::size_t{row_[slot]} * words;
    const Word* among = among_.data() + row;
    const std::size_t* before = before_word_.data() + row;
    for (;;) {
      const std::span<const Word> possible = buckets_.possible(t, d, among);
      if (possible.empty()) return {t, false};
      const Pulse* hit = nullptr;
      for (std::size_t w = 0; w < words && !hit; ++w) {
        for (Word bits = possible[w]; bits != 0; bits &= bits - 1) {
          const std::size_t bit = static_cast<std::size_t>(std::countr_zero(bits));
          const PulseTrack& track = tracks[slot_of_rank_[w * PulseBuckets::kWordBits + bit]];
          if (track.empty()) continue;  // trimmed to nothing
          // The neighbour's place in the slot's list: its neighbours of lower rank.
          const std::size_t entry = before[w] + std::popcount(among[w] & ((Word{1} << bit) - 1));
          hit = track.first_overlap(t, d, hints[entry]);
          if (hit) break;
        }
      }
      if (!hit) return {t, true};
      t = hit->end + kPulseSpacingNs;
      if (t + d > window_end) return {t, true};  // out of its window for good
    }
  }

 private:
  static constexpr std::uint32_t kNoRow = ~std::uint32_t{0};

  std::vector<std::size_t> rank_;          // of each slot
  std::vector<QubitSlot> slot_of_rank_;
  std::vector<std::uint32_t> row_;         // of each slot's bits below, or kNoRow
  std::vector<Word> among_;                // each row's neighbours, by rank
  std::vector<std::size_t> before_word_;   // each row's neighbours in its earlier words
  PulseBuckets buckets_;
};

// The first pulse, in the scan's order, of the tracks of `neighbours` that
// [t, t + d) overlaps. `hints` holds one search hint per neighbour (see
// PulseTrack::first_overlap).
const Pulse* first_overlap_among(double t, double d, std::span<const QubitSlot> neighbours,
                                 const std::vector<PulseTrack>& tracks, std::size_t* hints) noexcept {
  for (std::size_t i = 0; i < neighbours.size(); ++i) {
    const PulseTrack& track = tracks[neighbours[i]];
    if (track.empty()) continue;
    if (const Pulse* hit = track.first_overlap(t, d, hints[i])) return hit;
  }
  return nullptr;
}

// The same search for qubits with very many neighbours on a device that is
// not densely coupled as a whole (a hub coupled to every other qubit, say).
// Each such qubit's neighbour list is cut into blocks, blocks into groups of
// 16 blocks, those into groups of 16 groups, and so on; each keeps the
// greatest end and the least start of any pulse recorded on its neighbours.
// Only a pulse that ends after t and starts before t + d can overlap
// [t, t + d), so a block or group whose greatest end is not past t, or whose
// least start is not before t + d, is passed over whole; the first overlap
// found is still the scan's.
class BlockEnds {
 public:
  static constexpr std::size_t kBlock = 16;  // entries, and blocks in a group, and so on
  static constexpr std::size_t kBlockBits = 4;
  static constexpr std::size_t kMaxLevels = 64 / kBlockBits;  // enough for any entry index
  static constexpr std::size_t kWideDegree = 4 * kBlock;  // neighbours of a qubit searched by blocks
  static constexpr std::size_t kMostWatchers = 16;         // the most block updates per pulse

  // BlockEnds for these neighbour lists, if some qubit has enough neighbours
  // for it to pay. Every pulse updates a block of each qubit that lists its
  // qubit and searches by blocks, so a qubit is watched by kMostWatchers such
  // qubits at most; later ones search its track directly (a crowded entry).
  // Qubits are taken from the most neighbours down, and one searches by
  // blocks only while at most one in kBlock of its neighbours is crowded:
  // where many qubits have many neighbours, the updates cost more than the
  // searches save, and the rest keep the plain search.
  static std::unique_ptr<BlockEnds> where_it_pays(const NeighbourIndex& neighbours, std::size_t slot_count) {
    std::vector<QubitSlot> candidates;
    for (QubitSlot slot = 0; slot < slot_count; ++slot) {
      if (neighbours.of(slot).size() >= kWideDegree) candidates.push_back(slot);
    }
    if (candidates.empty()) return nullptr;
    std::stable_sort(candidates.begin(), candidates.end(), [&](QubitSlot a, QubitSlot b) {
      return neighbours.of(a).size() > neighbours.of(b).size();
    });
    std::vector<char> wide(slot_count, 0);
    std::vector<char> watched(neighbours.entry_count(), 0);  // of each entry
    std::vector<std::size_t> watchers(slot_count, 0);
    const auto crowded = [&](QubitSlot n) { return watchers[n] >= kMostWatchers; };
    for (QubitSlot slot : candidates) {
      const std::span<const QubitSlot> list = neighbours.of(slot);
      if (static_cast<std::size_t>(std::count_if(list.begin(), list.end(), crowded)) > list.size() / kBlock) continue;
      for (std::size_t i = 0; i < list.size(); ++i) {
        if (crowded(list[i])) continue;
        ++watchers[list[i]];
        watched[neighbours.first_entry(slot) + i] = 1;
      }
      wide[slot] = 1;
    }
    return std::make_unique<BlockEnds>(neighbours, std::move(wide), std::move(watched));
  }

  // Entries count as in NeighbourIndex: a block holds kBlock consecutive
  // entries (a group at level k, kBlock^(k + 1)), and may hold the end of one
  // qubit's list and the start of the next; its record then covers both,
  // which only makes it wider. Levels go up until the longest list spans
  // about kBlock groups of the top level: each level costs every update.
  // `watched` tells which entries of wide slots' lists are recorded.
  BlockEnds(const NeighbourIndex& neighbours, std::vector<char> wide, std::vector<char> watched)
      : wide_(std::move(wide)), recorded_(std::move(watched)), watched_begin_(wide_.size() + 1, 0) {
    std::size_t longest = 0;
    for (QubitSlot slot = 0; slot < wide_.size(); ++slot) {
      if (wide_[slot]) longest = std::max(longest, neighbours.of(slot).size());
    }
    for (std::size_t bits = kBlockBits;; bits += kBlockBits) {
      const std::size_t groups = ((neighbours.entry_count() - 1) >> bits) + 1;
      levels_.push_back(Level{std::vector<double>(groups, -std::numeric_limits<double>::infinity()),
                              std::vector<double>(groups, std::numeric_limits<double>::infinity())});
      if (groups == 1 || (longest >> bits) <= kBlock) break;
    }
    // For each slot, the recorded entries that qubits searched by blocks hold
    // for it; and the crowded entries, in order.
    for (QubitSlot slot = 0; slot < wide_.size(); ++slot) {
      if (!wide_[slot]) continue;
      const std::span<const QubitSlot> list = neighbours.of(slot);
      for (std::size_t i = 0; i < list.size(); ++i) {
        if (recorded_[neighbours.first_entry(slot) + i]) {
          ++watched_begin_[list[i] + 1];
        } else {
          crowded_.push_back(neighbours.first_entry(slot) + i);
        }
      }
    }
    for (std::size_t i = 1; i < watched_begin_.size(); ++i) watched_begin_[i] += watched_begin_[i - 1];
    watched_.resize(watched_begin_.back());
    std::vector<std::size_t> next(watched_begin_.begin(), watched_begin_.end() - 1);
    for (QubitSlot slot = 0; slot < wide_.size(); ++slot) {
      if (!wide_[slot]) continue;
      const std::span<const QubitSlot> list = neighbours.of(slot);
      for (std::size_t i = 0; i < list.size(); ++i) {
        const std::size_t entry = neighbours.first_entry(slot) + i;
        if (recorded_[entry]) watched_[next[list[i]]++] = entry;
      }
    }
  }

  bool wide(QubitSlot slot) const noexcept { return wide_[slot]; }

  // add and clear stay out of line, as DenseClearance's calls do.

  // Notes the pulse [start, end) on `slot`. The track keeps no pulse with a
  // NaN time, so neither is it noted.
  [[gnu::noinline]] void add(QubitSlot slot, double start, double end) noexcept {
    if (std::isnan(start) || std::isnan(end)) return;
    for (std::size_t i = watched_begin_[slot]; i < watched_begin_[slot + 1]; ++i) {
      std::size_t bits = kBlockBits;
      for (Level& level : levels_) {
        const std::size_t group = watched_[i] >> bits;
        if (end > level.ends[group]) level.ends[group] = end;
        if (start < level.starts[group]) level.starts[group] = start;
        bits += kBlockBits;
      }
    }
  }

  // Moves t as clear_of_neighbours does, for a slot with wide() true.
  // `floor` is a time before which no search by `slot` starts from now on
  // (-infinity where there is none): the records that a search passes
  // through in vain are then made again without the pulses that end by it.
  [[gnu::noinline]] double clear(double t, double d, double window_end, double floor, QubitSlot slot,
                                 const NeighbourIndex& index, const std::vector<PulseTrack>& tracks,
                                 std::size_t* hints) noexcept {
    for (;;) {
      const Pulse* hit = first_overlap(t, d, floor, slot, index, tracks, hints);
      if (!hit) return t;
      t = hit->end + kPulseSpacingNs;
      if (t + d > window_end) return t;
    }
  }

 private:
  struct Level {
    std::vector<double> ends;    // greatest pulse end of each group (level 0: of each block)
    std::vector<double> starts;  // least pulse start of each group
  };

  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  // first_overlap_among, passing over the blocks and groups that hold no
  // pulse ending after t or none starting before t + d: none in their record,
  // nor on the tracks of their crowded entries.
  //
  // A record only ever grows, so pulses long past can keep one from being
  // passed over (a neighbour with pulses both before and after the slot's
  // windows). A block searched in vain, and a group gone through in vain,
  // that lie within the slot's own list are therefore made again from the
  // pulses that end after `floor`: those alone can meet a later search.
  const Pulse* first_overlap(double t, double d, double floor, QubitSlot slot, const NeighbourIndex& index,
                             const std::vector<PulseTrack>& tracks, std::size_t* hints) noexcept {
    const std::span<const QubitSlot> neighbours = index.of(slot);
    const std::size_t base = index.first_entry(slot);
    const std::size_t list_end = base + neighbours.size();
    const double x = t + d;
    const bool remake = floor > -std::numeric_limits<double>::infinity();  // not for a NaN floor either
    // The group at each level that the search went into, from level 1 up.
    std::array<std::size_t, kMaxLevels> entered;
    entered.fill(kNone);
    // Makes again the groups entered that end by entry `to`, lower levels
    // first, and forgets them.
    const auto leave = [&](std::size_t to) {
      for (std::size_t k = 1; k < levels_.size(); ++k) {
        if (entered[k] == kNone) continue;
        const std::size_t bits = (k + 1) * kBlockBits;
        if (((entered[k] + 1) << bits) > to) continue;
        if (remake && (entered[k] << bits) >= base) remake_group(k, entered[k]);
        entered[k] = kNone;
      }
    };
    // The crowded entries before `crowded` need no look: they lie behind the
    // search, or were found clear.
    auto crowded = std::lower_bound(crowded_.begin(), crowded_.end(), base);
    std::size_t overlap_at = kNone;  // a crowded entry found to overlap
    // Whether the crowded entries ahead, up to entry `to`, hold no overlap.
    const auto crowded_clear = [&](std::size_t to) {
      if (overlap_at < to) return false;
      for (; crowded != crowded_.end() && *crowded < to; ++crowded) {
        const std::size_t i = *crowded - base;
        const PulseTrack& track = tracks[neighbours[i]];
        if (!track.empty() && track.first_overlap(t, d, hints[i])) {
          overlap_at = *crowded;
          return false;
        }
      }
      return true;
    };
    for (std::size_t i = 0; i < neighbours.size();) {
      leave(base + i);
      while (crowded != crowded_.end() && *crowded < base + i) ++crowded;
      // The widest group at this entry that can be passed over, if any.
      std::size_t passed_to = 0;
      for (std::size_t k = levels_.size(); k-- > 0;) {
        const std::size_t bits = (k + 1) * kBlockBits;
        const std::size_t group = (base + i) >> bits;
        const std::size_t group_end = (group + 1) << bits;
        if ((!(levels_[k].ends[group] > t) || !(levels_[k].starts[group] < x)) &&
            crowded_clear(std::min(group_end, list_end))) {
          passed_to = group_end - base;
          break;
        }
        if (k > 0) entered[k] = group;
      }
      if (passed_to > 0) {
        i = std::min(neighbours.size(), passed_to);
        continue;
      }
      const std::size_t block = (base + i) >> kBlockBits;
      const std::size_t stop = std::min(neighbours.size(), ((block + 1) << kBlockBits) - base);
      if (const Pulse* hit = first_overlap_among(t, d, neighbours.subspan(i, stop - i), tracks, hints + i)) {
        return hit;
      }
      if (remake && (block << kBlockBits) >= base && ((block + 1) << kBlockBits) <= list_end) {
        remake_block(block, floor, neighbours, base, tracks);
      }
      i = stop;
    }
    leave(list_end);
    return nullptr;
  }

  // Makes block b's record again from the recorded pulses that end after
  // `floor`. The block lies within `neighbours`, the list whose entries
  // start at `base`.
  void remake_block(std::size_t b, double floor, std::span<const QubitSlot> neighbours, std::size_t base,
                    const std::vector<PulseTrack>& tracks) noexcept {
    double least = std::numeric_limits<double>::infinity();
    double greatest = -std::numeric_limits<double>::infinity();
    for (std::size_t e = b << kBlockBits; e < (b + 1) << kBlockBits; ++e) {
      const PulseTrack& track = tracks[neighbours[e - base]];
      if (!recorded_[e] || track.empty()) continue;
      const auto [start, end] = track.bounds_after(floor);
      least = std::min(least, start);
      greatest = std::max(greatest, end);
    }
    levels_[0].starts[b] = least;
    levels_[0].ends[b] = greatest;
  }

  // Makes group g of level k's record again from its members' records.
  void remake_group(std::size_t k, std::size_t g) noexcept {
    double least = std::numeric_limits<double>::infinity();
    double greatest = -std::numeric_limits<double>::infinity();
    for (std::size_t c = g << kBlockBits; c < (g + 1) << kBlockBits; ++c) {
      least = std::min(least, levels_[k - 1].starts[c]);
      greatest = std::max(greatest, levels_[k - 1].ends[c]);
    }
    levels_[k].starts[g] = least;
    levels_[k].ends[g] = greatest;
  }

  std::vector<char> wide_;                  // of each slot
  std::vector<char> recorded_;              // of each entry: whether it is in the records
  std::vector<Level> levels_;               // blocks, then groups of ever more blocks
  std::vector<std::size_t> watched_begin_;  // of each slot's entries in watched_
  std::vector<std::size_t> watched_;        // the recorded entries of wide slots' lists, by neighbour
  std::vector<std::size_t> crowded_;        // the other entries of wide slots' lists, ascending
};

// Moves the start t of a pulse of length d on `slot` past every overlapping
// pulse of a coupled neighbour, rescanning from the first neighbour after
// each move. Each move lands past an existing pulse end, so it terminates.
// It stops early once a move takes the pulse out of its window (t + d past
// `window_end`), as the caller then drops it wherever the moves would end:
// moves only raise t, and a rounded sum does not fall as t rises (the one
// sum that can turn NaN, t = inf with d = -inf, never lay past the end).
// Without the stop, a window beside a long train of neighbour pulses walks
// the whole rest of the train.
// `hints` holds one search hint per neighbour (see PulseTrack::first_overlap).
// A qubit that searches by blocks uses BlockEnds::clear instead.
double clear_of_neighbours(double t, double d, double window_end, QubitSlot slot, const NeighbourIndex& index,
                           const std::vector<PulseTrack>& tracks, std::size_t* hints, DenseClearance* dense) {
  if (dense) [[unlikely]] {
    const auto [to, done] = dense->clear(t, d, window_end, slot, tracks, hints);
    if (done) return to;
    t = to;
  }
  const std::span<const QubitSlot> neighbours = index.of(slot);
  for (;;) {
    const Pulse* hit = first_overlap_among(t, d, neighbours, tracks, hints);
    if (!hit) return t;
    t = hit->end + kPulseSpacingNs;
    if (t + d > window_end) return t;
  }
}

}  // namespace

QuantumDAG QuantumDAG::apply_dd_pass(std::string_view sequence, const PulseDurations& pulse_durations,
                                     std::uint64_t num_qubits, ProgressSink& progress) const {
  const std::size_t node_total = nodes_.size();
  progress.line("\U0001F980 [Core] Starting apply_dd_pass with " + std::to_string(node_total) +
                " nodes...\n");

  // The result shares this graph's qubit slots and name numbers, so nodes are
  // copied without translation.
  QuantumDAG result;
  result.qubits_ = qubits_;
  // Only scheduled nodes are copied. Room for them and as many pulses again;
  // a pass that places more grows the columns.
  const std::size_t scheduled = std::min<std::size_t>(node_total, starts_.size());
  result.nodes_.reserve(2 * scheduled, nodes_.qubit_pool_size(scheduled) + scheduled,
                        nodes_.param_pool_size(scheduled) + 3);
  for (const std::string& name : nodes_.names().keys()) result.nodes_.intern_name(name);
  const NameId dd_x = result.nodes_.intern_name("DD_X");
  const NameId dd_y = result.nodes_.intern_name("DD_Y");
  const NameId amp = result.nodes_.intern_name("amp");
  const NameId sigma = result.nodes_.intern_name("sigma");
  const NameId beta = result.nodes_.intern_name("beta");
  const NameId input_name = result.nodes_.intern_name("input");
  const NameId output_name = result.nodes_.intern_name("output");

  std::vector<NameId> pulse_list{dd_x, dd_y};
  if (sequence == "XY4") pulse_list = {dd_x, dd_y, dd_x, dd_y};
  const double pulse_count = static_cast<double>(pulse_list.size());

  const std::size_t slot_count = qubits_.size();
  std::vector<double> busy_until(slot_count, 0.0);
  std::vector<double> pulse_ns(slot_count, kDefaultPulseNs);
  for (const auto& [qubit, duration] : pulse_durations) {
    if (const auto slot = qubits_.find(qubit)) pulse_ns[*slot] = duration;
  }
  std::vector<PulseTrack> tracks(slot_count);
  constexpr std::size_t kNoPulse = std::numeric_limits<std::size_t>::max();
  std::size_t first_pulse = kNoPulse;  // every pulse shares its parameters
  bool any_pulse = false;
  const bool clearance = num_qubits > 0 && !coupling_.empty();
  const NeighbourIndex neighbours = clearance ? NeighbourIndex(*this, num_qubits) : NeighbourIndex(*this, 0);
  // Only the pulses of a qubit that some qubit scans as its neighbour are
  // ever looked at again; the others need no record.
  std::vector<char> tracked(slot_count, 0);
  std::vector<std::size_t> hints(neighbours.entry_count(), 0);
  // With no negative or NaN durations, each qubit's busy time only grows
  // through the walk, and so does the earliest time its searches can start:
  // its busy time, stepped back by its later pulses in one list (each starts
  // d + 10 ns after the one before, a step back when d < -10 ns). Searches
  // only move forward and rounding is monotone, so the same additions the
  // pass makes give that earliest time exactly. Pulses that end by every
  // scanner's earliest search can be forgotten.
  const bool pulses_can_be_forgotten = nodes_.backward_count() == 0;
  const auto earliest_search = [&](QubitSlot s) {
    const double step = pulse_ns[s] + kPulseSpacingNs;
    double t = busy_until[s];
    if (step < 0.0) {
      for (std::size_t k = 1; k < pulse_list.size(); ++k) t = t + step;
    }
    return t;
  };
  // A pulse of no positive length (t + d <= t) can only be overlapped by a
  // search for a pulse of positive length: [t', t' + d') overlaps [s, e)
  // when t' + d' > s and e > t', so d' > s - e >= 0. A track whose scanners
  // all have pulses of no positive length needs only its positive pulses.
  std::vector<char> scanned_for_length(slot_count, 0);
  for (QubitSlot slot = 0; slot < slot_count; ++slot) {
    for (QubitSlot neighbour : neighbours.of(slot)) {
      tracked[neighbour] = 1;
      if (pulse_ns[slot] > 0.0) scanned_for_length[neighbour] = 1;
    }
  }
  const std::unique_ptr<DenseClearance> dense =
      clearance ? DenseClearance::where_it_pays(qubits_, neighbours, pulse_ns, nodes_, {starts_.data(), scheduled})
                : nullptr;
  // Dense devices have their buckets; elsewhere a qubit with very many
  // neighbours searches them by blocks.
  const std::unique_ptr<BlockEnds> blocks =
      clearance && !dense ? BlockEnds::where_it_pays(neighbours, slot_count) : nullptr;

  const auto charged = nodes_.charged_durations();
  for (std::size_t id = 0; id < scheduled; ++id) {
    const auto [start, end] = schedule_of(id, charged);
    const std::span<const QubitSlot> slots = nodes_.qubits(id);

    for (QubitSlot q : slots) {
      const double d = pulse_ns[q];
      const double gap = start - busy_until[q];
      if (gap >= (pulse_count * d) * kWindowFactor) {
        double t = busy_until[q];
        // The window ends at the largest of 0.0 and the busy times of all
        // the node's qubits, those visited before this one holding `start`
        // already. That is `start` itself: the walk sets busy times exactly
        // as the schedule set its free times, so at the node's first visit
        // the largest is the very maximum that made `start`, and later ones
        // only add `start`. Taken literally it would cost the square of the
        // node's width (a barrier across a thousand qubits).
        const double window_end = start;
        for (NameId pulse : pulse_list) {
          if (clearance && any_pulse) {
            std::size_t* const hints_of_q = hints.data() + neighbours.first_entry(q);
            if (blocks && blocks->wide(q)) [[unlikely]] {
              const double floor = pulses_can_be_forgotten ? earliest_search(q) : -std::numeric_limits<double>::infinity();
              t = blocks->clear(t, d, window_end, floor, q, neighbours, tracks, hints_of_q);
            } else {
              t = clear_of_neighbours(t, d, window_end, q, neighbours, tracks, hints_of_q, dense.get());
            }
          }
          if (t + d > window_end) break;
          result.nodes_.begin_node();
          result.nodes_.push_qubit(q);
          if (first_pulse == kNoPulse) {
            first_pulse = result.nodes_.size();
            result.nodes_.push_param(amp, 0.15);
            result.nodes_.push_param(sigma, 40.0);
            result.nodes_.push_param(beta, 0.5);
            result.nodes_.end_node(pulse, d);
          } else {
            result.nodes_.end_node_sharing_params(pulse, d, first_pulse);  // the same three values
          }
          if (tracked[q] && (scanned_for_length[q] || t + d > t)) {
            PulseTrack& track = tracks[q];
            track.add(t, t + d);
            if (dense) [[unlikely]] dense->add(q, t, t + d);
            if (blocks) [[unlikely]] blocks->add(q, t, t + d);
            if (pulses_can_be_forgotten && track.trim_due()) {
              // A NaN bound (from infinite times) forgets nothing.
              double earliest = std::numeric_limits<double>::infinity();
              for (QubitSlot s : neighbours.scanners_of(q)) {
                const double e = earliest_search(s);
                if (std::isnan(e) || e < earliest) earliest = e;
              }
              track.trim(earliest, neighbours.scanners_of(q).size());
            }
          }
          any_pulse = true;
          t = t + (d + kPulseSpacingNs);
        }
      }
      busy_until[q] = start;
    }

    const NodeKind kind = nodes_.kind(id);
    const NameId name = kind == NodeKind::Input    ? input_name
                         : kind == NodeKind::Output ? output_name
                                                    : nodes_.name_id(id);
    result.nodes_.begin_node();
    for (QubitSlot q : slots) result.nodes_.push_qubit(q);
    for (const StoredParam& param : nodes_.params(id)) result.nodes_.push_param(param.name, param.value);
    result.nodes_.end_node(name, nodes_.duration(id));

    for (QubitSlot p : slots) busy_until[p] = end;
  }

  progress.line("\U0001F980 [Core] apply_dd_pass finished! Optimized DAG contains " +
                std::to_string(result.nodes_.size()) + " nodes.\n");
  return result;
}

}  // namespace velunq
