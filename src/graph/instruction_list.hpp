// InstructionList: a flat instruction list (name, qubits, duration,
// parameters), as a framework adapter hands it over, in compact form.
//
// The boundary converts the whole Python list into one of these before the
// graph is touched; `QuantumDAG::build_from_ir` then appends it in one go.
#pragma once

#include <string_view>

#include "node_store.hpp"
#include "types.hpp"

namespace velunq {

class InstructionList {
 public:
  std::size_t size() const noexcept { return store_.size(); }

  void reserve(std::size_t instructions) { store_.reserve(instructions, instructions, 0); }
  void reserve_qubits(std::size_t qubits) { store_.reserve(0, qubits, 0); }

  NameId intern_name(std::string_view name) { return store_.intern_name(name); }

  // One instruction: `begin`, its qubits and parameters in order, then `end`.
  void begin() noexcept { store_.begin_node(); }
  void push_qubit(Qubit qubit) { store_.push_qubit(qubit); }
  void push_param(NameId name, double value) { store_.push_param(name, value); }
  void end(NameId name, double duration_ns) { store_.end_node(name, duration_ns); }

  const NodeStore<Qubit>& store() const noexcept { return store_; }
  // Gives the whole store away, for a graph that takes it as it is.
  NodeStore<Qubit>&& release_store() noexcept { return std::move(store_); }

 private:
  NodeStore<Qubit> store_;
};

}  // namespace velunq
