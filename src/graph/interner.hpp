// Interner: a hash table that numbers distinct keys 0, 1, 2, ... in order of
// first appearance.
//
// The keys live in a plain vector (so iteration is in insertion order and
// never depends on hashing); an open-addressing table of 32-bit indices finds
// them. Keys are never removed. The graph uses it for qubit indices, names
// and coupled pairs.
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

  // A copy holds the same keys under the same numbers, with a seed of its own.
  Interner(const Interner& other) : seed_(fresh_hash_seed()) {
    reserve(other.size());
    for (const Key& key : other.keys_) intern(key);
  }
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
    for (std::size_t at = hash_key(key, seed_) & mask;; at = (at + 1) & mask) {
      const Index slot = table_[at];
      if (slot == kEmpty) return std::nullopt;
      if (keys_[slot - 1] == key) return slot - 1;
    }
  }

  // The number of `key`, numbering it first if it is new.
  template <class Probe>
  Index intern(const Probe& key) {
    if (table_capacity_for(keys_.size() + 1) > table_.size()) {
      rehash(table_capacity_for(keys_.size() + 1));
    }
    const std::size_t mask = table_.size() - 1;
    std::size_t at = hash_key(key, seed_) & mask;
    for (;; at = (at + 1) & mask) {
      const Index slot = table_[at];
      if (slot == kEmpty) break;
      if (keys_[slot - 1] == key) return slot - 1;
    }
    if (keys_.size() >= kMaxKeys) throw std::bad_alloc();
    keys_.emplace_back(key);
    const auto index = static_cast<Index>(keys_.size() - 1);
    table_[at] = index + 1;
    return index;
  }

  // Forgets the keys numbered `count` and above, the most recent ones, as if
  // they had never been interned (to undo a step that failed part-way).
  // Each key's probe path only crosses slots taken by older keys, so taking
  // out the newest keys breaks no path of the others.
  void forget_from(std::size_t count) noexcept {
    if (count >= keys_.size()) return;
    const std::size_t mask = table_.size() - 1;
    for (std::size_t i = count; i < keys_.size(); ++i) {
      std::size_t at = hash_key(keys_[i], seed_) & mask;
      while (table_[at] != i + 1) at = (at + 1) & mask;
      table_[at] = kEmpty;
    }
    keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(count), keys_.end());
  }

 private:
  static constexpr Index kEmpty = 0;
  static constexpr std::size_t kMaxKeys = std::numeric_limits<Index>::max() - 1;

  // Keeps the table at most half full.
  static std::size_t table_capacity_for(std::size_t count) noexcept {
    std::size_t capacity = 16;
    while (capacity < 2 * count) capacity *= 2;
    return capacity;
  }

  void rehash(std::size_t capacity) {
    std::vector<Index> table(capacity, kEmpty);
    const std::size_t mask = capacity - 1;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      std::size_t at = hash_key(keys_[i], seed_) & mask;
      while (table[at] != kEmpty) at = (at + 1) & mask;
      table[at] = static_cast<Index>(i + 1);
    }
    table_.swap(table);
  }

  std::uint64_t seed_;
  std::vector<Key> keys_;
  std::vector<Index> table_;  // 0 = empty, otherwise key number + 1
};

}  // namespace velunq
