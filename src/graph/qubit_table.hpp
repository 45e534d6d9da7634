// QubitTable: numbers the distinct qubit indices of a graph densely.
//
// Qubit indices are arbitrary 64-bit values, but a circuit touches few of
// them. Nodes store the dense number (a "slot") of each qubit, so that the
// schedule, the idle-window search and the DD pass keep their per-qubit state
// in plain arrays instead of hash maps. Small indices, the usual case, are
// looked up in a direct array; the rest go through a hash table.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <vector>

#include "interner.hpp"
#include "types.hpp"

namespace velunq {

using QubitSlot = std::uint32_t;

class QubitTable {
 public:
  std::size_t size() const noexcept { return qubits_.size(); }
  Qubit qubit(QubitSlot slot) const noexcept { return qubits_.key(slot); }

  // Every slot, in ascending qubit index.
  std::vector<QubitSlot> slots_by_qubit() const {
    std::vector<QubitSlot> slots(size());
    std::iota(slots.begin(), slots.end(), QubitSlot{0});
    std::sort(slots.begin(), slots.end(), [this](QubitSlot a, QubitSlot b) { return qubit(a) < qubit(b); });
    return slots;
  }

  std::optional<QubitSlot> find(Qubit qubit) const noexcept {
    if (qubit < kDirectLimit) {
      if (qubit >= direct_.size() || direct_[qubit] == kNone) return std::nullopt;
      return direct_[qubit];
    }
    return qubits_.find(qubit);
  }

  // The slot of a qubit that has been interned.
  QubitSlot slot(Qubit qubit) const noexcept {
    return qubit < kDirectLimit ? direct_[qubit] : *qubits_.find(qubit);
  }

  // Forgets the qubits numbered `count` and above, the most recent ones, as
  // if they had never been interned (to undo a step that failed part-way).
  void forget_from(std::size_t count) noexcept {
    for (std::size_t slot = count; slot < qubits_.size(); ++slot) {
      const Qubit qubit = qubits_.key(static_cast<QubitSlot>(slot));
      if (qubit < kDirectLimit) direct_[qubit] = kNone;
    }
    qubits_.forget_from(count);
  }

  QubitSlot intern(Qubit qubit) {
    if (qubit < kDirectLimit) {
      if (qubit < direct_.size() && direct_[qubit] != kNone) return direct_[qubit];
      if (qubit >= direct_.size()) direct_.resize(grown_direct_size(qubit), kNone);
      return direct_[qubit] = qubits_.intern(qubit);
    }
    return qubits_.intern(qubit);
  }

 private:
  static constexpr Qubit kDirectLimit = Qubit{1} << 20;
  static constexpr QubitSlot kNone = ~QubitSlot{0};

  static std::size_t grown_direct_size(Qubit qubit) noexcept {
    std::size_t size = 64;
    while (size <= qubit) size *= 2;
    return size;
  }

  Interner<Qubit> qubits_;
  std::vector<QubitSlot> direct_;  // slot of each small qubit index, or kNone
};

}  // namespace velunq
