#include "hashing.hpp"

#include <atomic>
#include <chrono>
#include <random>

namespace velunq {

namespace {

std::uint64_t process_entropy() noexcept {
  std::uint64_t value = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  try {
    std::random_device device;
    value ^= (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // No entropy device: the clock and the counter below still vary the seeds.
  }
  return value;
}

}  // namespace

std::uint64_t fresh_hash_seed() noexcept {
  static const std::uint64_t base = process_entropy();
  static std::atomic<std::uint64_t> counter{0};
  const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  return mix64(base + n * 0x9e3779b97f4a7c15ULL);
}

}  // namespace velunq
