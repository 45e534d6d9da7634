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
// looked at; on an otherwise sparse device, a qubit with very many
// neighbours passes over blocks of its list at once (BlockEnds). Each of
// these has a header of its own.

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "block_ends.hpp"
#include "dd_rules.hpp"
#include "dense_clearance.hpp"
#include "neighbour_index.hpp"
#include "pulse_track.hpp"
#include "quantum_dag.hpp"

namespace velunq {

namespace {

// The rest of a search that keeps meeting pulses, from the overlap `hit`,
// with walks along trains of pulses (see TrainWalk); out of line, so that
// the usual short search stays as lean as it was.
[[gnu::noinline]] double clear_with_walks(const Pulse* hit, double d, double window_end,
                                          std::span<const QubitSlot> neighbours, const std::vector<PulseTrack>& tracks,
                                          std::size_t* hints) {
  TrainWalk walk(0);
  for (;;) {
    const double t = walk.past(hit, d, window_end, neighbours, tracks)->end + kPulseSpacingNs;
    if (t + d > window_end) return t;
    hit = first_overlap_among(t, d, neighbours, tracks, hints);
    if (!hit) return t;
  }
}

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
    const auto [to, done] = dense->clear(t, d, window_end, slot, index.of(slot), tracks, hints);
    if (done) return to;
    t = to;
  }
  const std::span<const QubitSlot> neighbours = index.of(slot);
  for (std::size_t moves = 0;; ++moves) {
    const Pulse* hit = first_overlap_among(t, d, neighbours, tracks, hints);
    if (!hit) return t;
    if (moves == TrainWalk::kFirstTry) [[unlikely]] return clear_with_walks(hit, d, window_end, neighbours, tracks, hints);
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
  result.nodes_.adopt_names(Interner<std::string>(nodes_.names()));
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
  constexpr std::size_t kNodesPerCheckpoint = 1024;
  for (std::size_t id = 0; id < scheduled; ++id) {
    if (id % kNodesPerCheckpoint == kNodesPerCheckpoint - 1) progress.checkpoint();
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
            result.nodes_.append_param(amp, 0.15);
            result.nodes_.append_param(sigma, 40.0);
            result.nodes_.append_param(beta, 0.5);
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
    for (const StoredParam& param : nodes_.params(id)) result.nodes_.append_param(param.name, param.value);
    result.nodes_.end_node(name, nodes_.duration(id));

    for (QubitSlot p : slots) busy_until[p] = end;
  }

  // The columns had room for as many pulses as nodes: the result may be kept
  // long, so what the pass did not fill is given back.
  result.nodes_.shrink_to_fit();
  progress.line("\U0001F980 [Core] apply_dd_pass finished! Optimized DAG contains " +
                std::to_string(result.nodes_.size()) + " nodes.\n");
  return result;
}

}  // namespace velunq
