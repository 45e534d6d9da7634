#include "quantum_dag.hpp"

#include <stdexcept>
#include <string>

namespace velunq {

// ---- DagNode -----------------------------------------------------------------

NodeKind DagNode::kind() const noexcept { return dag_->nodes_.kind(id_); }
double DagNode::duration_ns() const noexcept { return dag_->nodes_.duration(id_); }
NameId DagNode::name_id() const noexcept { return dag_->nodes_.name_id(id_); }

std::string_view DagNode::name() const noexcept {
  switch (kind()) {
    case NodeKind::Input:
      return "input";
    case NodeKind::Output:
      return "output";
    case NodeKind::Operation:
      break;
  }
  return dag_->nodes_.name(name_id());
}

std::span<const QubitSlot> DagNode::slots() const noexcept { return dag_->nodes_.qubits(id_); }

Qubit DagNode::qubit(std::size_t i) const noexcept { return dag_->qubits_.qubit(slots()[i]); }

std::vector<Qubit> DagNode::qubits() const {
  std::vector<Qubit> out;
  out.reserve(qubit_count());
  for (QubitSlot slot : slots()) out.push_back(dag_->qubits_.qubit(slot));
  return out;
}

std::span<const StoredParam> DagNode::params() const noexcept { return dag_->nodes_.params(id_); }

std::string_view DagNode::param_name(std::size_t i) const noexcept {
  return dag_->nodes_.name(params()[i].name);
}

// ---- QuantumDAG ----------------------------------------------------------------

NodeId QuantumDAG::add_gate(std::string_view name, std::span<const Qubit> qubits,
                            double duration_ns, const ParamList& params) {
  const NodeId id = nodes_.size();
  const std::size_t known_names = nodes_.names().size();
  const std::size_t known_qubits = qubits_.size();
  try {
    // Intern everything and make room first. Should an allocation still
    // fail once the node is begun, the store drops what it pushed.
    const NameId name_id = nodes_.intern_name(name);
    std::vector<QubitSlot> slots;
    slots.reserve(qubits.size());
    for (Qubit qubit : qubits) slots.push_back(qubits_.intern(qubit));
    std::vector<NameId> param_names;
    param_names.reserve(params.size());
    for (const Param& param : params) param_names.push_back(nodes_.intern_name(param.name));

    nodes_.reserve(1, slots.size(), params.size());
    nodes_.begin_node();
    for (QubitSlot slot : slots) nodes_.push_qubit(slot);
    for (std::size_t i = 0; i < params.size(); ++i) nodes_.push_param(param_names[i], params[i].value);
    nodes_.end_node(name_id, duration_ns);
  } catch (...) {
    // No node uses them: every graph-wide array would still grow by them.
    nodes_.abandon_node();
    qubits_.forget_from(known_qubits);
    nodes_.forget_names_from(known_names);
    throw;
  }
  return id;
}

void QuantumDAG::build_from_ir(InstructionList instructions, ProgressSink& progress) {
  progress.line("\U0001F980 [Core] Received " + std::to_string(instructions.size()) +
                " instructions from Python.\n");

  const NodeStore<Qubit>& source = instructions.store();
  if (!nodes_.pools_can_take(source.qubit_pool_size(), source.param_pool_size())) {
    throw std::length_error("the graph's qubit or parameter pool cannot take the instructions");
  }
  // The closing line is made before the graph is touched: once the nodes are
  // in, running out of memory for its text would report a failed call that
  // has changed the graph.
  const std::string closing_line = "\U0001F980 [Core] Graph memory now contains " +
                                   std::to_string(nodes_.size() + source.size()) + " nodes.\n";
  // A graph with no names yet has no nodes either: it takes the list's
  // nodes and names as they are, with the qubits numbered, instead of
  // copying them (for a first import of millions of gates, tens of
  // megabytes neither copied nor newly touched). Any other graph gives the
  // list's names its own numbers.
  const bool takes_list = nodes_.names().empty();

  // Number every name and qubit, then take the list's nodes or make room
  // for copies of them: adding the copies then cannot fail, so a call that
  // runs out of memory adds none of them, and forgets the names and qubits
  // it numbered. Each qubit's number is kept, so that indices past the
  // direct array are looked up once.
  const std::size_t known_names = nodes_.names().size();
  const std::size_t known_qubits = qubits_.size();
  const std::size_t known_nodes = nodes_.size();
  std::vector<NameId> name_of;
  PlainVector<QubitSlot> slots;
  try {
    name_of.resize(takes_list ? 0 : source.names().size());
    for (NameId i = 0; i < name_of.size(); ++i) name_of[i] = nodes_.intern_name(source.name(i));
    slots.resize_for_overwrite(source.qubit_pool_size());
    QubitSlot* next = slots.data();
    for (Qubit qubit : source.qubit_pool()) *next++ = qubits_.intern(qubit);
    if (takes_list) {
      nodes_.adopt(instructions.release_store(), std::move(slots));
    } else {
      nodes_.reserve(source.size(), source.qubit_pool_size(), source.param_pool_size());
    }
  } catch (...) {
    qubits_.forget_from(known_qubits);
    nodes_.forget_names_from(known_names);
    throw;
  }
  if (!takes_list) {
    const QubitSlot* slot = slots.data();
    for (std::size_t i = 0; i < source.size(); ++i) {
      nodes_.begin_node();
      for (std::size_t k = source.qubits(i).size(); k > 0; --k) nodes_.push_qubit(*slot++);
      for (const StoredParam& param : source.params(i)) nodes_.append_param(name_of[param.name], param.value);
      nodes_.end_node(name_of[source.name_id(i)], source.duration(i));
    }
  }

  try {
    progress.line(closing_line);
  } catch (const InternalFault&) {
    throw;  // the line cannot be written: the nodes, all in by now, stay
  } catch (...) {
    // The receiver of the progress asked to stop while the line was held up
    // (a signal's handler raised): the call fails, so it adds nothing. A
    // graph that took the list's storage had none of its own: it goes back
    // to that, names and room included.
    if (takes_list) {
      nodes_ = NodeStore<QubitSlot>{};
    } else {
      nodes_.truncate(known_nodes);
      nodes_.forget_names_from(known_names);
    }
    qubits_.forget_from(known_qubits);
    throw;
  }
}

void QuantumDAG::add_couplings(std::span<const std::pair<Qubit, Qubit>> edges) {
  const std::size_t before = coupling_.size();
  try {
    for (const auto& [a, b] : edges) {
      coupling_.intern(std::pair{a, b});
      coupling_.intern(std::pair{b, a});
    }
  } catch (...) {
    coupling_.forget_from(before);
    throw;
  }
}

}  // namespace velunq
