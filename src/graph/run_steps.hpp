// RunSteps: where a clearance search that keeps meeting the pulses of one
// run of a track ends up, found without making each move.
//
// A search that has moved past pulse k of a run stands at the place
// t_k = end_k + 10 ns. Its next overlap in the run, if any, is the run's
// first pulse that ends after t_k, pulse m(k): starts and ends ascend in a
// run, so no other can be it. [t_k, t_k + d) overlaps it exactly when
// t_k + d > start_m(k), and as t_k + d only grows with d, the move k -> m(k)
// is certain from a least pulse length on: its threshold. A pulse that fits
// no gap of a dense train walks the train this way, move after move; where
// many windows meet one train, that costs the square of its pulses.
//
// Here each pulse keeps its move, m(k) and the threshold, and the place
// after 16 moves, 256 and 4,096 with the greatest threshold on the way. A
// walk takes the longest of these whose thresholds are all at most d and
// whose last place is still within the caller's bound, then ever shorter
// ones, and makes its last moves one by one. Places only grow along a walk,
// so a bound met at the end of a jump was met on the way. Only comparisons
// the search itself makes decide a move, so the walk ends where the search
// would. A move is worked out once it is final: in the last run, once a
// later pulse of the run ends after its place; in a run before it (time
// stepped back since), all its moves at once, the first time a walk starts
// there.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "dd_rules.hpp"
#include "pulse.hpp"

namespace velunq {

// Doubles as integers in the same order (-0.0 just below +0.0); NaNs fall
// outside the infinities.
inline std::int64_t ordered_key(double x) noexcept {
  const auto bits = std::bit_cast<std::int64_t>(x);
  return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
}

inline double from_ordered_key(std::int64_t key) noexcept {
  return std::bit_cast<double>(key < 0 ? key ^ std::numeric_limits<std::int64_t>::max() : key);
}

// The key of a move that no length makes certain: above every length's.
inline constexpr std::int64_t kNeverCertain = std::numeric_limits<std::int64_t>::max();

// The key of the least length d for which t + d > start holds, computed as
// the pass computes it, or kNeverCertain when none does. t + d only grows
// with d (t is never -infinity or NaN here), so a bisection over the keys of
// the lengths finds it.
inline std::int64_t step_threshold_by_bisection(double t, double start) noexcept {
  const auto holds = [&](std::int64_t key) { return t + from_ordered_key(key) > start; };
  std::int64_t low = ordered_key(-std::numeric_limits<double>::infinity());
  std::int64_t high = ordered_key(std::numeric_limits<double>::infinity());
  if (std::isnan(t) || t == -std::numeric_limits<double>::infinity() || !holds(high)) return kNeverCertain;
  while (low < high) {  // the answer is in [low, high]
    const std::int64_t middle = std::midpoint(low, high);  // rounds down, without overflow
    if (holds(middle)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return low;
}

// The same key, found faster as a rule. As t + d only grows with d, the
// answer is the one key that holds while the key below it does not. The sum
// rounds above start from the midpoint between start and the next double
// on, so a length near that midpoint less t is, where both are finite,
// within a key or two of the answer; where it is not (cancellation), or
// where either is infinite, the bisection finds it.
inline std::int64_t step_threshold(double t, double start) noexcept {
  if (std::isfinite(t) && std::isfinite(start)) {
    const auto holds = [&](std::int64_t key) { return t + from_ordered_key(key) > start; };
    std::int64_t key =
        ordered_key((start - t) + (std::nextafter(start, std::numeric_limits<double>::infinity()) - start) / 2);
    for (int tries = 0; tries < 4; ++tries) {
      if (!holds(key)) {
        ++key;
      } else if (holds(key - 1)) {
        --key;
      } else {
        return key;
      }
    }
  }
  return step_threshold_by_bisection(t, start);
}

class RunSteps {
 public:
  // Jumps of 1, 16, 256 and 4,096 moves.
  static constexpr std::size_t kLevels = 4;
  static constexpr std::size_t kFanout = 16;

  // Forgets everything (the pulses were moved).
  void clear() noexcept {
    scan_ = 0;
    closed_done_.clear();
    for (Level& level : levels_) {
      level.to.clear();
      level.threshold.clear();
    }
  }

  // The pulse past which a search of length d stands after the moves it
  // makes from pulse `from`: each move from a place t_k with t_k + d within
  // the bound (`within(k)`) that is certain for d, until one is not.
  // `pulses` and `run_begins` are the track's (see PulseTrack); `run` is
  // the number of the run that holds `from`.
  template <class Within>
  std::size_t walk(const std::vector<Pulse>& pulses, const std::vector<std::size_t>& run_begins, std::size_t from,
                   std::size_t run, double d, Within within) {
    bring_up_to_date(pulses, run_begins);
    if (run + 1 < run_begins.size() && !work_out_closed_run(pulses, run_begins, run)) return from;
    const std::int64_t key = ordered_key(d);
    std::size_t k = from;
    if (std::isnan(d) || !within(k)) return k;
    // Longer jumps first; a jump lands where the next place is within too.
    for (std::size_t level = kLevels; level-- > 1;) {
      const Level& jumps = levels_[level];
      while (k < jumps.to.size() && jumps.to[k] != kNowhere && jumps.threshold[k] <= key && within(jumps.to[k])) {
        k = jumps.to[k];
      }
    }
    // The last moves one by one: the place they land on need not be within.
    const Level& moves = levels_[0];
    while (k < moves.to.size() && moves.to[k] != kNowhere && moves.threshold[k] <= key && within(k)) k = moves.to[k];
    return k;
  }

 private:
  struct Level {
    std::vector<std::uint32_t> to;           // where the jump from each pulse lands (kNowhere if at no pulse)
    std::vector<std::int64_t> threshold;     // the greatest threshold of its moves
  };
  static constexpr std::uint32_t kNowhere = std::numeric_limits<std::uint32_t>::max();

  // Works out every move and jump of closed run r, unless done before;
  // false where its pulses are past what a move can point to.
  bool work_out_closed_run(const std::vector<Pulse>& pulses, const std::vector<std::size_t>& run_begins,
                           std::size_t r) {
    const std::size_t begin = run_begins[r];
    const std::size_t end = run_begins[r + 1];
    if (end > kNowhere) return false;
    if (closed_done_.size() < run_begins.size()) closed_done_.resize(run_begins.size(), 0);
    if (closed_done_[r]) return true;
    closed_done_[r] = 1;
    // Places ascend along the run, and so does the first pulse that ends
    // after each.
    Level& moves = levels_[0];
    std::size_t scan = begin;
    for (std::size_t i = begin; i < end; ++i) {
      const double place = pulses[i].end + kPulseSpacingNs;
      scan = std::max(scan, i + 1);
      while (scan < end && !(pulses[scan].end > place)) ++scan;
      moves.to[i] = scan == end ? kNowhere : static_cast<std::uint32_t>(scan);
      moves.threshold[i] = scan == end ? kNeverCertain : step_threshold(place, pulses[scan].start);
    }
    for (std::size_t level = 1; level < kLevels; ++level) {
      const Level& below = levels_[level - 1];
      Level& jumps = levels_[level];
      for (std::size_t i = begin; i < end; ++i) {
        std::size_t at = i;
        std::int64_t greatest = std::numeric_limits<std::int64_t>::min();
        for (std::size_t taken = 0; taken < kFanout && at != kNowhere; ++taken) {
          greatest = std::max(greatest, below.threshold[at]);
          at = below.to[at];
        }
        jumps.to[i] = static_cast<std::uint32_t>(at);
        jumps.threshold[i] = at == kNowhere ? kNeverCertain : greatest;
      }
    }
    return true;
  }

  // Works out the moves and jumps that have become final since last time.
  void bring_up_to_date(const std::vector<Pulse>& pulses, const std::vector<std::size_t>& run_begins) {
    // Walks stay in their run, so the pulses of the runs before the last
    // get their moves only once a walk starts there (work_out_closed_run):
    // where time has stepped back since the last walk, that skips the
    // threshold of each.
    const std::size_t closed = std::min<std::size_t>(run_begins.empty() ? 0 : run_begins.back(), kNowhere);
    for (Level& level : levels_) {
      if (level.to.size() < closed) {
        level.to.resize(closed, kNowhere);
        level.threshold.resize(closed, kNeverCertain);
      }
    }
    // The rest lie in the last run, which ends with the track.
    Level& moves = levels_[0];
    for (std::size_t k = moves.to.size(); k < pulses.size() && k < kNowhere; ++k) {
      const double place = pulses[k].end + kPulseSpacingNs;
      scan_ = std::max(scan_, k + 1);
      while (scan_ < pulses.size() && !(pulses[scan_].end > place)) ++scan_;
      if (scan_ == pulses.size()) break;  // a later pulse may still end after this place
      moves.to.push_back(static_cast<std::uint32_t>(scan_));
      moves.threshold.push_back(step_threshold(place, pulses[scan_].start));
    }
    for (std::size_t level = 1; level < kLevels; ++level) {
      const Level& below = levels_[level - 1];
      Level& jumps = levels_[level];
      for (std::size_t k = jumps.to.size(); k < below.to.size(); ++k) {
        std::size_t at = k;
        std::int64_t greatest = std::numeric_limits<std::int64_t>::min();
        std::size_t taken = 0;
        for (; taken < kFanout && at < below.to.size(); ++taken) {
          greatest = std::max(greatest, below.threshold[at]);
          at = below.to[at];
          if (at == kNowhere) break;
        }
        if (at != kNowhere && taken < kFanout) break;  // runs into moves not worked out yet
        jumps.to.push_back(static_cast<std::uint32_t>(at));
        jumps.threshold.push_back(at == kNowhere ? kNeverCertain : greatest);
      }
    }
  }

  std::array<Level, kLevels> levels_;
  std::vector<char> closed_done_;  // for each run before the last: whether its moves are worked out
  // Where the search for the next move's pulse goes on: no pulse before it
  // ends after the place of the first move not worked out yet.
  std::size_t scan_ = 0;
};

}  // namespace velunq
