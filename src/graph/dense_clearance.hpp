// DenseClearance: the DD pass's clearance on densely coupled devices.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "dd_rules.hpp"
#include "neighbour_index.hpp"
#include "node_store.hpp"
#include "pulse_buckets.hpp"
#include "pulse_track.hpp"
#include "qubit_table.hpp"

namespace velunq {

// The DD pass's neighbour clearance where qubits have many neighbours (a densely coupled
// device). There, looking at every neighbour's track on every search costs
// more than the searches: PulseBuckets tells which neighbours can hold an
// overlap at all, and only their tracks are searched. The buckets number the
// qubit slots by rank in ascending qubit index, so that walking the set bits
// of an answer meets the neighbours in the order of the rule's scan, and the
// first overlap found is the scan's.
class DenseClearance {
 public:
  using Word = PulseBuckets::Word;
  // Neighbours per qubit from which it is used, and its buckets' room in
  // words beyond one per node.
  static constexpr std::size_t kDenseDegree = 8;
  static constexpr std::size_t kBucketWords = std::size_t{1} << 18;

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
    // qubits may run far ahead without making the buckets coarse. Where
    // negative durations send such nodes before 0, the buckets reach back to
    // the earliest of their starts and ends, where windows can begin.
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
    double earliest = 0.0;
    const auto charged = nodes.charged_durations();
    for (std::size_t id = 0; id < starts.size(); ++id) {
      const double start = starts[id];
      const double low = std::min(start, scheduled_times(start, charged[id]).end_time);
      const bool later = start > latest && std::isfinite(start);
      const bool earlier = low < earliest && std::isfinite(low);
      if (!later && !earlier) continue;
      const std::span<const QubitSlot> slots = nodes.qubits(id);
      if (!std::any_of(slots.begin(), slots.end(), coupled)) continue;
      if (later) latest = start;
      if (earlier) earliest = low;
    }
    return std::make_unique<DenseClearance>(table, neighbours, width, earliest, latest, kBucketWords + nodes.size());
  }

  // Only slots with neighbours get a row of bits, so that the rows take at
  // most a few bytes per neighbour entry (see where_it_pays), not the square
  // of the qubits.
  DenseClearance(const QubitTable& table, const NeighbourIndex& neighbours, double width, double earliest,
                 double latest, std::size_t max_words)
      : rank_(table.size()),
        slot_of_rank_(table.slots_by_qubit()),
        row_(table.size(), kNoRow),
        buckets_(table.size(), width, earliest, latest, max_words) {
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
  // A pulse that nothing can overlap is left out, as the tracks leave it out:
  // one at an infinite time would mark its qubit as possible everywhere.
  [[gnu::noinline]] void add(QubitSlot slot, double start, double end) {
    if (can_be_overlapped(start, end)) buckets_.add(rank_[slot], start, end);
  }

  // Where t got to, and whether that is the end: the buckets cannot answer
  // for every stretch, and then the literal scan goes on from there.
  struct Cleared {
    double t;
    bool done;
  };

  // Moves t as the pass's plain clearance does (clear_of_neighbours), for as
  // long as the buckets can answer.
  [[gnu::noinline]] Cleared clear(double t, double d, double window_end, QubitSlot slot,
                                  std::span<const QubitSlot> neighbours, const std::vector<PulseTrack>& tracks,
                                  std::size_t* hints) {
    if (row_[slot] == kNoRow) return {t, true};  // no neighbour to clear
    const std::size_t words = buckets_.words();
    const std::size_t row = std::size_t{row_[slot]} * words;
    const Word* among = among_.data() + row;
    const std::size_t* before = before_word_.data() + row;
    TrainWalk walk;
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
      t = walk.past(hit, d, window_end, neighbours, tracks)->end + kPulseSpacingNs;
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

}  // namespace velunq
