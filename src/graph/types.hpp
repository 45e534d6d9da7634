// Small value types shared by every part of the graph core.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velunq {

using NodeId = std::uint64_t;  // handed out consecutively from 0, never reused
using Qubit = std::uint64_t;   // a device qubit index; never checked against a size

// Where a node sits on the as-soon-as-possible timeline, in nanoseconds.
struct ScheduleEntry {
  double start_time;
  double end_time;
  friend bool operator==(const ScheduleEntry&, const ScheduleEntry&) = default;
};

// A node's times from its start and the duration the schedule charges it.
// Only starts are stored; the end is always this same sum.
inline ScheduleEntry scheduled_times(double start, double charged_duration) noexcept {
  return ScheduleEntry{start, start + charged_duration};
}

// A stretch of time, in nanoseconds.
struct TimeSpan {
  double start;
  double end;
  friend bool operator==(const TimeSpan&, const TimeSpan&) = default;
};

// A stretch of idle time on one qubit between two consecutive operations.
struct IdleWindow {
  Qubit qubit;
  double start;  // end_time of the earlier operation
  double end;    // start_time of the later operation
  friend bool operator==(const IdleWindow&, const IdleWindow&) = default;
};

// One gate parameter as callers hand it in.
struct Param {
  std::string name;
  double value;
};

// A gate's parameters in the order given. A name given twice keeps its first
// place and its last value.
using ParamList = std::vector<Param>;

}  // namespace velunq
