// NeighbourIndex: each qubit's coupled neighbours, as the DD pass's
// clearance scans them, and the plain scan over their pulse tracks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "pulse_track.hpp"
#include "quantum_dag.hpp"

namespace velunq {

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

// The first pulse, in the scan's order, of the tracks of `neighbours` that
// [t, t + d) overlaps. `hints` holds one search hint per neighbour (see
// PulseTrack::first_overlap).
inline const Pulse* first_overlap_among(double t, double d, std::span<const QubitSlot> neighbours,
                                        const std::vector<PulseTrack>& tracks, std::size_t* hints) noexcept {
  for (std::size_t i = 0; i < neighbours.size(); ++i) {
    const PulseTrack& track = tracks[neighbours[i]];
    if (track.empty()) continue;
    if (const Pulse* hit = track.first_overlap(t, d, hints[i])) return hit;
  }
  return nullptr;
}

// Long walks of a search along a neighbour's train of pulses, taken at once
// (PulseTrack::walk). A pulse that fits no gap of a dense train is moved past
// its pulses one at a time; where many windows meet one train, that costs
// the square of the pulses. A search whose last few moves each went past a
// pulse just after the one before, as along one track, tries a walk before
// its next move, and tries less often while walks go nowhere.
class TrainWalk {
 public:
  // Moves along one track before the first try.
  static constexpr std::size_t kFirstTry = 8;

  explicit TrainWalk(std::size_t first_try = kFirstTry) : next_try_(first_try) {}

  // The pulse past which the search moves instead of `hit`, the overlap that
  // its scan of `neighbours` just found for [t, t + d): `hit` itself, or a
  // later pulse of the same run reached by moves that are all certain.
  const Pulse* past(const Pulse* hit, double d, double window_end, std::span<const QubitSlot> neighbours,
                    const std::vector<PulseTrack>& tracks) {
    // Only a guess at the same track: walk() finds out for certain.
    const auto step = reinterpret_cast<std::uintptr_t>(hit) - reinterpret_cast<std::uintptr_t>(last_);
    along_ = step - 1 < kNear * sizeof(Pulse) ? along_ + 1 : 0;
    last_ = hit;
    if (along_ < next_try_) [[likely]] return hit;
    const Pulse* to = walk(hit, d, window_end, neighbours, tracks);
    last_ = to;
    next_try_ = to == hit ? 2 * next_try_ + 1 : kFirstTry;
    along_ = 0;
    return to;
  }

 private:
  [[gnu::noinline]] static const Pulse* walk(const Pulse* hit, double d, double window_end,
                                             std::span<const QubitSlot> neighbours,
                                             const std::vector<PulseTrack>& tracks) {
    const auto on = std::find_if(neighbours.begin(), neighbours.end(), [&](QubitSlot n) { return tracks[n].holds(hit); });
    if (on == neighbours.end()) return hit;
    // A pulse that can meet the search from its next place on ends after that
    // place; the least start among those of the other tracks, and of the
    // walked track's runs before hit's, bounds the walk. The walked track's
    // later runs come after hit's in the scan: they matter only where hit's
    // run holds no overlap, and there the walk stops.
    const double place = hit->end + kPulseSpacingNs;
    const std::size_t run = tracks[*on].run_of(hit);
    double bound = std::numeric_limits<double>::infinity();
    for (QubitSlot n : neighbours) {
      if (tracks[n].empty()) continue;
      bound = std::min(bound, tracks[n].least_start_after(place, n == *on ? run : PulseTrack::kAllRuns));
    }
    return tracks[*on].walk(hit, run, d, window_end, bound);
  }

  // How far past the one before a pulse may be and still count as along it.
  static constexpr std::uintptr_t kNear = 16;

  const Pulse* last_ = nullptr;
  std::size_t along_ = 0;
  std::size_t next_try_;
};

}  // namespace velunq
