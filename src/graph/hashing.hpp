// Seeded hashing for the core's hash tables.
//
// Every table draws its own seed when it is created (a copy keeps its
// source's, which is no less hidden), so that neither the layout of a table
// nor its cost can be steered by chosen inputs (qubit indices and names come
// from users). No result depends on a table's layout.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace velunq {

// A fresh, unpredictable 64-bit seed for one hash table.
std::uint64_t fresh_hash_seed() noexcept;

inline std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  return x;
}

inline std::uint64_t hash_key(std::uint64_t key, std::uint64_t seed) noexcept {
  return mix64(key ^ seed);
}

inline std::uint64_t hash_key(const std::pair<std::uint64_t, std::uint64_t>& key,
                              std::uint64_t seed) noexcept {
  return mix64(mix64(key.first ^ seed) + key.second);
}

inline std::uint64_t hash_key(std::string_view key, std::uint64_t seed) noexcept {
  std::uint64_t h = seed ^ (key.size() * 0x9e3779b97f4a7c15ULL);
  const char* p = key.data();
  std::size_t n = key.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = mix64(h ^ word) + 0x9e3779b97f4a7c15ULL;
  }
  if (n > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, n);
    h = mix64(h ^ word);
  }
  return mix64(h);
}

}  // namespace velunq
