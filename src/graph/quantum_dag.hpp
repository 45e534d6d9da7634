// QuantumDAG: one quantum circuit as a graph of gate nodes.
//
// Dependencies are implicit: a node depends on every earlier node that shares
// a qubit with it. Node ids are handed out consecutively from 0 and never
// reused or removed, so ascending id order is insertion order and a
// topological order; nothing but the nodes themselves is stored for the edges.
//
// Storage is dense and indexed by id (see NodeStore). Qubits are kept as
// dense slots of a per-graph QubitTable.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "idle_windows.hpp"
#include "instruction_list.hpp"
#include "interner.hpp"
#include "node_store.hpp"
#include "plain_vector.hpp"
#include "progress.hpp"
#include "qubit_table.hpp"
#include "types.hpp"

namespace velunq {

class QuantumDAG;

// A read-only view of one node; valid until the graph is next changed.
class DagNode {
 public:
  NodeId id() const noexcept { return id_; }
  NodeKind kind() const noexcept;
  // The node's text form: the gate name of an operation, "input" or "output".
  std::string_view name() const noexcept;
  double duration_ns() const noexcept;
  // What the schedule charges for the node: boundary nodes take no time.
  double gate_duration_ns() const noexcept { return kind() == NodeKind::Operation ? duration_ns() : 0.0; }
  NameId name_id() const noexcept;

  std::size_t qubit_count() const noexcept { return slots().size(); }
  Qubit qubit(std::size_t i) const noexcept;
  std::vector<Qubit> qubits() const;
  std::span<const QubitSlot> slots() const noexcept;

  std::size_t param_count() const noexcept { return params().size(); }
  std::string_view param_name(std::size_t i) const noexcept;
  double param_value(std::size_t i) const noexcept { return params()[i].value; }
  std::span<const StoredParam> params() const noexcept;

 private:
  friend class QuantumDAG;
  DagNode(const QuantumDAG& dag, NodeId id) : dag_(&dag), id_(id) {}

  const QuantumDAG* dag_;
  NodeId id_;
};

// Durations of DD pulses per qubit, in the order given; for a qubit named
// twice the later entry wins.
using PulseDurations = std::vector<std::pair<Qubit, double>>;

class QuantumDAG {
 public:
  QuantumDAG() = default;

  // --- nodes -------------------------------------------------------------
  NodeId add_gate(std::string_view name, std::span<const Qubit> qubits, double duration_ns,
                  const ParamList& params = {});
  std::uint64_t node_count() const noexcept { return nodes_.size(); }
  NodeId next_id() const noexcept { return nodes_.size(); }
  DagNode node(NodeId id) const noexcept { return DagNode(*this, id); }

  // Appends one node per instruction, in list order, between two progress lines.
  void build_from_ir(InstructionList instructions, ProgressSink& progress);

  // --- coupling map --------------------------------------------------------
  // Records the coupling of each pair, in both directions. If memory runs
  // out part-way, the map is left as it was.
  void add_couplings(std::span<const std::pair<Qubit, Qubit>> edges);
  void add_coupling(Qubit a, Qubit b) {
    const std::pair<Qubit, Qubit> edge{a, b};
    add_couplings({&edge, 1});
  }
  bool coupled(Qubit a, Qubit b) const noexcept { return coupling_.find(std::pair{a, b}).has_value(); }
  const std::vector<std::pair<Qubit, Qubit>>& coupling_pairs() const noexcept { return coupling_.keys(); }

  // --- timing --------------------------------------------------------------
  // Schedules every node present now as soon as possible (see node_schedule).
  void build_schedule();
  std::optional<ScheduleEntry> node_schedule(NodeId id) const noexcept {
    if (id >= starts_.size()) return std::nullopt;
    return schedule_of(id);
  }
  // Scheduled nodes are exactly ids 0 .. scheduled_count() - 1.
  std::uint64_t scheduled_count() const noexcept { return starts_.size(); }

  // Gaps of at least min_gap_ns between consecutive operations on each qubit;
  // qubits in ascending index, windows of a qubit in ascending time.
  IdleWindowList find_idle_windows(double min_gap_ns) const;
  // The same windows, handed to `sink` in pieces.
  void find_idle_windows(double min_gap_ns, IdleWindowSink& sink) const;

  // --- dynamical decoupling ------------------------------------------------
  QuantumDAG apply_dd_pass(std::string_view sequence, const PulseDurations& pulse_durations,
                           std::uint64_t num_qubits, ProgressSink& progress) const;

  // --- storage (for the passes and the boundary) ---------------------------
  const NodeStore<QubitSlot>& store() const noexcept { return nodes_; }
  const QubitTable& qubit_table() const noexcept { return qubits_; }

 private:
  friend class DagNode;

  // A scheduled node's times. Only starts are stored: nodes never change, so
  // the end is the very sum the schedule computed.
  ScheduleEntry schedule_of(std::size_t id) const noexcept { return schedule_of(id, nodes_.charged_durations()); }
  ScheduleEntry schedule_of(std::size_t id, const NodeStore<QubitSlot>::ChargedDurations& charged) const noexcept {
    return scheduled_times(starts_[id], charged[id]);
  }
  // find_idle_windows from the schedule's notes, where they tell every window
  // (see there); qubit slots come in ascending qubit index.
  IdleWindowList noted_windows(double min_gap_ns, const std::vector<QubitSlot>& by_qubit) const;
  // find_idle_windows where every qubit's starts only grow, a piece at a time.
  void forward_windows(double min_gap_ns, const std::vector<QubitSlot>& by_qubit, IdleWindowSink& sink) const;
  // find_idle_windows where some qubit's starts go backwards.
  IdleWindowList reordered_windows(double min_gap_ns, const std::vector<QubitSlot>& by_qubit) const;

  NodeStore<QubitSlot> nodes_;
  PlainVector<double> starts_;  // scheduled start of ids 0 .. size() - 1
  // The windows each node can close, as build_schedule noted them (see
  // there); not valid after a build_schedule that failed or found too many
  // wide nodes to note.
  PlainVector<double> waits_;  // per node
  PlainVector<WideCandidate> wide_candidates_;
  bool candidates_valid_ = false;
  Interner<std::pair<Qubit, Qubit>> coupling_;
  QubitTable qubits_;
};

}  // namespace velunq
