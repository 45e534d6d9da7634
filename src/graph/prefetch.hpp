// Prefetch hints for loops that stream through long columns.
//
// Each asks for the cache line `bytes` past `at`, so that it arrives before
// the loop gets there. The line may lie past the column's end: a prefetch
// there is harmless, but a pointer there may not be formed, so the address
// is computed as a number.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velunq {

inline void prefetch_to_read(const void* at, std::size_t bytes) noexcept {
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(at) + bytes), 0);
}

inline void prefetch_to_write(void* at, std::size_t bytes) noexcept {
  __builtin_prefetch(reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(at) + bytes), 1);
}

}  // namespace velunq
