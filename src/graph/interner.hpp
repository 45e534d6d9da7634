// Interner: a hash table that numbers distinct keys 0, 1, 2, ... in order of
// first appearance.
//
// The keys live in a plain vector (so iteration is in insertion order and
// never depends on hashing); an open-addressing table with linear probing
// finds them. Each slot holds a key's number and the low 32 bits of its
// hash. A probe looks at a key only when those bits match, and the table
// grows without looking at the keys at all: with many keys, each look at one
// is a cache miss. The graph uses it for qubit indices, names and coupled
// pairs.
#pragma once

#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "hashing.hpp"

namespace velunq {

template <class Key>
class Interner {
 public:
  using Index = std::uint32_t;

  Interner() : seed_(fresh_hash_seed()) {}

  // A copy holds the same keys under the same numbers. It keeps the seed,
  // which stays as hidden as before, so that the table is copied as it is
  // instead of being filled again key by key.
  Interner(const Interner& other) = default;
  Interner& operator=(const Interner& other) {
    if (this != &other) *this = Interner(other);
    return *this;
  }
  Interner(Interner&&) noexcept = default;
  Interner& operator=(Interner&&) noexcept = default;

  std::size_t size() const noexcept { return keys_.size(); }
  bool empty() const noexcept { return keys_.empty(); }
  const Key& key(Index index) const noexcept { return keys_[index]; }
  const std::vector<Key>& keys() const noexcept { return keys_; }

  void reserve(std::size_t count) {
    keys_.reserve(count);
    if (table_capacity_for(count) > table_.size()) rehash(table_capacity_for(count));
  }

  // The number of `key`, if it has one.
  template <class Probe>
  std::optional<Index> find(const Probe& key) const noexcept {
    if (table_.empty()) return std::nullopt;
    const std::size_t mask = table_.size() - 1;
    const std::uint64_t hash = hash_key(key, seed_);
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
      const Slot slot = table_[at];
      if (slot.number == kEmpty) return std::nullopt;
      if (slot.bits == bits_of(hash) && keys_[slot.number - 1] == key) return slot.number - 1;
    }
  }

  // The number of `key`, numbering it first if it is new.
  template <class Probe>
  Index intern(const Probe& key) {
    if (table_capacity_for(keys_.size() + 1) > table_.size()) {
      rehash(table_capacity_for(keys_.size() + 1));
    }
    const std::size_t mask = table_.size() - 1;
    const std::uint64_t hash = hash_key(key, seed_);
    std::size_t at = hash & mask;
    for (;; at = (at + 1) & mask) {
      const Slot slot = table_[at];
      if (slot.number == kEmpty) break;
      if (slot.bits == bits_of(hash) && keys_[slot.number - 1] == key) return slot.number - 1;
    }
    if (keys_.size() >= kMaxKeys) throw std::bad_alloc();
    keys_.emplace_back(key);
    const auto index = static_cast<Index>(keys_.size() - 1);
    table_[at] = Slot{bits_of(hash), index + 1};
    return index;
  }

  // Forgets the keys numbered `count` and above, the most recent ones, as if
  // they had never been interned (to undo a step that failed part-way).
  void forget_from(std::size_t count) noexcept {
    if (count >= keys_.size()) return;
    const std::size_t mask = table_.size() - 1;
    for (std::size_t i = count; i < keys_.size(); ++i) {
      std::size_t at = hash_key(keys_[i], seed_) & mask;
      while (table_[at].number != i + 1) at = (at + 1) & mask;
      remove_slot(at);
    }
    keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(count), keys_.end());
  }

 private:
  static constexpr Index kEmpty = 0;
  static constexpr std::size_t kMaxKeys = std::numeric_limits<Index>::max() - 1;

  struct Slot {
    std::uint32_t bits = 0;  // the low half of the key's hash
    Index number = kEmpty;   // 0 = empty, otherwise key number + 1
  };
  static std::uint32_t bits_of(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash); }

  // Where the key in `slot` starts its probe, in a table of mask + 1 slots.
  // The slot's bits tell, unless the table has more than 2^32 slots.
  std::size_t home(const Slot& slot, std::size_t mask) const noexcept {
    if (mask > std::numeric_limits<std::uint32_t>::max()) [[unlikely]] {
      return hash_key(keys_[slot.number - 1], seed_) & mask;
    }
    return slot.bits & mask;
  }

  // Empties the slot at `at`, moving back each later key of its cluster that
  // may take the hole (one whose home is not between the hole and the key),
  // so that every probe still reaches its key.
  void remove_slot(std::size_t at) noexcept {
    const std::size_t mask = table_.size() - 1;
    std::size_t hole = at;
    for (std::size_t next = (hole + 1) & mask; table_[next].number != kEmpty; next = (next + 1) & mask) {
      if (((next - home(table_[next], mask)) & mask) >= ((next - hole) & mask)) {
        table_[hole] = table_[next];
        hole = next;
      }
    }
    table_[hole] = Slot{};
  }

  // Keeps the table at most half full.
  static std::size_t table_capacity_for(std::size_t count) noexcept {
    std::size_t capacity = 16;
    while (capacity < 2 * count) capacity *= 2;
    return capacity;
  }

  // Moves the keys in the order of the old table, so that the writes into
  // the new one run along it too instead of landing anywhere.
  void rehash(std::size_t capacity) {
    std::vector<Slot> table(capacity);
    const std::size_t mask = capacity - 1;
    for (const Slot& slot : table_) {
      if (slot.number == kEmpty) continue;
      std::size_t at = home(slot, mask);
      while (table[at].number != kEmpty) at = (at + 1) & mask;
      table[at] = slot;
    }
    table_.swap(table);
  }

  std::uint64_t seed_;
  std::vector<Key> keys_;
  std::vector<Slot> table_;
};

}  // namespace velunq
