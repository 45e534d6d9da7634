// Pulse: a DD pulse placed by the pass, and the overlap rule its clearance uses.
#pragma once

#include <limits>

namespace velunq {

// A placed pulse: [start, end).
struct Pulse {
  double start;
  double end;
};

// Whether [t, t + d) overlaps pulse p.
inline bool overlaps(const Pulse& p, double t, double d) noexcept { return t + d > p.start && p.end > t; }

// Whether any stretch can overlap a pulse from `start` to `end`. None can
// when it ends at -infinity or starts at +infinity (as a pulse placed at an
// infinite time does), or has a NaN bound: such a pulse needs no record.
inline bool can_be_overlapped(double start, double end) noexcept {
  return end > -std::numeric_limits<double>::infinity() && start < std::numeric_limits<double>::infinity();
}

}  // namespace velunq
