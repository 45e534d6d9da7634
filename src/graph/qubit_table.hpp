// QubitTable: numbers the distinct qubit indices of a graph densely.
//
// Qubit indices are arbitrary 64-bit values, but a circuit touches few of
// them. Nodes store the dense number (a "slot") of each qubit, so that the
// schedule, the idle-window search and the DD pass keep their per-qubit state
// in plain arrays instead of hash maps. Small indices, the usual case, are
// looked up in a direct array; the rest go through a hash table. The direct
// array only grows while it stays within a few entries per known qubit, so a
// graph that uses one large index does not pay megabytes for the gap below it.
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
  // Entries of the direct array (each one a QubitSlot).
  std::size_t direct_entries() const noexcept { return direct_.size(); }

  // Every slot, in ascending qubit index.
  std::vector<QubitSlot> slots_by_qubit() const {
    std::vector<QubitSlot> slots(size());
    std::iota(slots.begin(), slots.end(), QubitSlot{0});
    std::sort(slots.begin(), slots.end(), [this](QubitSlot a, QubitSlot b) { return qubit(a) < qubit(b); });
    return slots;
  }

  std::optional<QubitSlot> find(Qubit qubit) const noexcept {
    if (qubit < direct_.size()) {
      if (direct_[qubit] == kNone) return std::nullopt;
      return direct_[qubit];
    }
    return qubits_.find(qubit);
  }

  // The slot of a qubit that has been interned.
  QubitSlot slot(Qubit qubit) const noexcept {
    return qubit < direct_.size() ? direct_[qubit] : *qubits_.find(qubit);
  }

  // Forgets the qubits numbered `count` and above, the most recent ones, as
  // if they had never been interned (to undo a step that failed part-way).
  void forget_from(std::size_t count) noexcept {
    for (std::size_t slot = count; slot < qubits_.size(); ++slot) {
      const Qubit qubit = qubits_.key(static_cast<QubitSlot>(slot));
      if (qubit < direct_.size()) direct_[qubit] = kNone;
    }
    qubits_.forget_from(count);
  }

  QubitSlot intern(Qubit qubit) {
    if (qubit >= direct_.size() && qubit < kDirectLimit) grow_direct_to_cover(qubit);
    if (qubit < direct_.size()) {
      if (direct_[qubit] != kNone) return direct_[qubit];
      return direct_[qubit] = qubits_.intern(qubit);
    }
    return qubits_.intern(qubit);
  }

 private:
  static constexpr Qubit kDirectLimit = Qubit{1} << 20;
  static constexpr std::size_t kDirectFloor = 4096;   // entries always allowed
  static constexpr std::size_t kEntriesPerQubit = 16;  // beyond the floor
  static constexpr QubitSlot kNone = ~QubitSlot{0};

  // Grows the direct array to cover `qubit` when that keeps it dense enough,
  // and enters there the known qubits it now covers; otherwise `qubit` stays
  // with the hash table.
  void grow_direct_to_cover(Qubit qubit) {
    std::size_t size = 64;
    while (size <= qubit) size *= 2;
    if (size > std::max(kDirectFloor, kEntriesPerQubit * (qubits_.size() + 1))) return;
    const std::size_t covered = direct_.size();
    direct_.resize(size, kNone);
    for (std::size_t slot = 0; slot < qubits_.size(); ++slot) {
      const Qubit known = qubits_.key(static_cast<QubitSlot>(slot));
      if (known >= covered && known < size) direct_[known] = static_cast<QubitSlot>(slot);
    }
  }

  Interner<Qubit> qubits_;
  std::vector<QubitSlot> direct_;  // slot of each qubit index below its size, or kNone
};

}  // namespace velunq
