// The fixed numbers of the dynamical-decoupling pass.
#pragma once

namespace velunq {

// A qubit's pulse length where the caller gives none.
constexpr double kDefaultPulseNs = 50.0;
// A gap qualifies for a pulse list when it is this many times the list's total time.
constexpr double kWindowFactor = 1.5;
// The time left after a pulse: between the pulses of one list, and after a
// neighbour's pulse that clearance moves a pulse past.
constexpr double kPulseSpacingNs = 10.0;

}  // namespace velunq
