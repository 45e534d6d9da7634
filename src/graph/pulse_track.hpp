// PulseTrack: the pulses the DD pass has placed on one qubit, kept so that
// the first one a stretch of time overlaps is found without looking at each.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "dd_rules.hpp"
#include "pulse.hpp"
#include "run_steps.hpp"

namespace velunq {

// Which of a track's runs holds the first pulse, in placement order, that
// [t, x) overlaps, without looking at every run: a track where time has
// stepped back many times has many runs, and each would cost a bisection.
//
// The runs are grouped into aligned blocks of kFanout runs, those into
// blocks of kFanout blocks, and so on; a block is made once all its runs are
// closed. A block keeps its pulses' ends in ascending order, each with the
// least start among the pulses that end no earlier. The pulses of a block
// that end after t then follow the first such end, and one of them starts
// before x exactly when that end's least start is below x: a bisection tells
// whether a block holds an overlap, and the search descends into the first
// block that does. Only comparisons are made, so the answer is the literal
// scan's.
class RunIndex {
 public:
  static constexpr std::size_t kFanout = 16;

  void clear() noexcept { levels_.clear(); }

  // Runs [0, covered()) are in blocks; later ones are not.
  std::size_t covered() const noexcept { return levels_.empty() ? 0 : levels_[0].count() * kFanout; }

  // Makes the blocks that the first `closed` runs complete. Run r holds
  // pulses[run_begins[r] .. run_begins[r + 1]).
  void update(const std::vector<Pulse>& pulses, const std::vector<std::size_t>& run_begins, std::size_t closed) {
    std::size_t span = kFanout;  // runs per block at this level
    for (std::size_t level = 0; closed / span > 0; ++level, span *= kFanout) {
      if (level == levels_.size()) levels_.emplace_back();
      Level& blocks = levels_[level];
      for (std::size_t b = blocks.count(); b < closed / span; ++b) {
        const auto first = pulses.begin() + static_cast<std::ptrdiff_t>(run_begins[b * span]);
        const auto last = pulses.begin() + static_cast<std::ptrdiff_t>(run_begins[(b + 1) * span]);
        const std::size_t begin = blocks.entries.size();
        for (auto p = first; p != last; ++p) blocks.entries.push_back(Entry{p->end, p->start});
        const auto block = blocks.entries.begin() + static_cast<std::ptrdiff_t>(begin);
        std::sort(block, blocks.entries.end(), [](const Entry& x, const Entry& y) { return x.end < y.end; });
        for (std::size_t i = blocks.entries.size() - 1; i > begin; --i) {
          blocks.entries[i - 1].least_start = std::min(blocks.entries[i - 1].least_start, blocks.entries[i].least_start);
        }
        blocks.ends.push_back(blocks.entries.size());
      }
    }
  }

  // The least start among the pulses that end after w, of the runs in the
  // whole blocks that fill runs [0, runs) from the start (infinity when
  // none), and the number of runs those blocks hold.
  std::pair<double, std::size_t> least_start_after(double w, std::size_t runs) const noexcept {
    double least = std::numeric_limits<double>::infinity();
    std::size_t run = 0;  // a multiple of every span below the current one
    for (std::size_t level = levels_.size(); level-- > 0;) {
      const std::size_t span = span_of(level);
      for (std::size_t b = run / span; b < levels_[level].count() && run + span <= runs; ++b, run += span) {
        least = std::min(least, levels_[level].least_start_after(b, w));
      }
    }
    return {least, run};
  }

  // The first overlap in runs [0, covered()), or nullptr. `in_run(r)` gives
  // run r's first overlap, or nullptr.
  template <class InRun>
  const Pulse* first_overlap(double t, double x, InRun&& in_run) const {
    std::size_t run = 0;  // the runs before it hold no overlap
    for (std::size_t level = levels_.size(); level-- > 0;) {
      const std::size_t span = span_of(level);
      for (std::size_t b = run / span; b < levels_[level].count(); ++b) {
        if (levels_[level].overlaps(b, t, x)) {
          if (const Pulse* hit = descend(level, b, t, x, in_run)) return hit;
        }
        run = (b + 1) * span;
      }
    }
    return nullptr;
  }

 private:
  struct Entry {
    double end;
    double least_start;  // of the block's pulses that end at or after this one, in sorted order
  };
  struct Level {
    std::vector<Entry> entries;          // every block's entries, block after block
    std::vector<std::size_t> ends{0};    // where each block's entries end (after a leading 0)
    std::size_t count() const noexcept { return ends.size() - 1; }
    bool overlaps(std::size_t b, double t, double x) const noexcept {
      const auto first = entries.begin() + static_cast<std::ptrdiff_t>(ends[b]);
      const auto last = entries.begin() + static_cast<std::ptrdiff_t>(ends[b + 1]);
      // The block's least start and greatest end rule most blocks out.
      if (first == last || !(first->least_start < x) || !((last - 1)->end > t)) return false;
      const auto after = std::partition_point(first, last, [t](const Entry& e) { return !(e.end > t); });
      return after != last && after->least_start < x;
    }
    double least_start_after(std::size_t b, double w) const noexcept {
      const auto first = entries.begin() + static_cast<std::ptrdiff_t>(ends[b]);
      const auto last = entries.begin() + static_cast<std::ptrdiff_t>(ends[b + 1]);
      const auto after = std::partition_point(first, last, [w](const Entry& e) { return !(e.end > w); });
      return after == last ? std::numeric_limits<double>::infinity() : after->least_start;
    }
  };

  static std::size_t span_of(std::size_t level) noexcept {
    std::size_t span = kFanout;
    while (level-- > 0) span *= kFanout;
    return span;
  }

  template <class InRun>
  const Pulse* descend(std::size_t level, std::size_t block, double t, double x, InRun& in_run) const {
    if (level == 0) {
      for (std::size_t r = block * kFanout; r < (block + 1) * kFanout; ++r) {
        if (const Pulse* hit = in_run(r)) return hit;
      }
      return nullptr;
    }
    for (std::size_t b = block * kFanout; b < (block + 1) * kFanout; ++b) {
      if (!levels_[level - 1].overlaps(b, t, x)) continue;
      if (const Pulse* hit = descend(level - 1, b, t, x, in_run)) return hit;
    }
    return nullptr;
  }

  std::vector<Level> levels_;  // levels_[0]: blocks of kFanout runs
};

// The pulses placed on one qubit in one call of the pass, in placement order, kept as
// consecutive runs in which starts and ends both ascend, so that a run is
// searched by bisection. A pulse that starts or ends before the last one
// opens a new run. A pulse that nothing can overlap (see can_be_overlapped)
// is not kept at all. While time only moves forward a track is one run.
class PulseTrack {
 public:
  bool empty() const noexcept { return pulses_.empty(); }

  // Whether the track has doubled since it was last trimmed.
  bool trim_due() const noexcept { return pulses_.size() >= next_trim_; }

  // Forgets the pulses that end by `w`, on the caller's promise that no
  // search will ever start before w again: such a pulse can never be the
  // first overlap. In each run they form a prefix. Finding w costs the caller
  // a look at each of the track's `scanners`; the track is looked at again
  // once it has doubled and has had as many pulses added as it has scanners,
  // so trimming costs a constant per pulse added.
  void trim(double w, std::size_t scanners) {
    std::size_t kept = 0;
    std::size_t runs = 0;
    for (std::size_t r = 0; r < run_begins_.size(); ++r) {
      const auto [first, last] = run(r);  // before this turn rewrites an earlier entry of run_begins_
      const auto live = std::partition_point(first, last, [w](const Pulse& p) { return p.end <= w; });
      if (live == last) continue;
      run_begins_[runs++] = kept;
      const auto to = pulses_.begin() + static_cast<std::ptrdiff_t>(kept);
      kept = static_cast<std::size_t>((to == live ? last : std::copy(live, last, to)) - pulses_.begin());
    }
    // Hints count forgotten pulses too. While the last run keeps a pulse,
    // every pulse forgotten came before it, so its hints stay exact;
    // otherwise a hint is only clamped into the new last run.
    forgotten_ += pulses_.size() - kept;
    pulses_.resize(kept);
    run_begins_.resize(runs);
    index_.clear();
    if (runs > 0) index_.update(pulses_, run_begins_, runs - 1);
    if (steps_) steps_->clear();
    if (kept > 0) last_end_ = pulses_.back().end;
    next_trim_ = std::max({kFirstTrim, 2 * kept, kept + scanners});
  }

  void add(double start, double end) {
    if (!can_be_overlapped(start, end)) return;
    const bool fits = !pulses_.empty() && pulses_.back().start <= start && last_end_ <= end;
    if (!fits) open_run();
    pulses_.push_back(Pulse{start, end});
    last_end_ = end;
  }

  // The least start and the greatest end of the pulses that end after w
  // (infinity and -infinity when there is none).
  std::pair<double, double> bounds_after(double w) const noexcept {
    double least = std::numeric_limits<double>::infinity();
    double greatest = -std::numeric_limits<double>::infinity();
    for (std::size_t r = 0; r < run_begins_.size(); ++r) {
      const auto [first, last] = run(r);
      const auto live = first_ending_after(first, last, w);
      if (live == last) continue;
      least = std::min(least, live->start);
      greatest = std::max(greatest, (last - 1)->end);
    }
    return {least, greatest};
  }

  // The least start of the pulses of the first `runs` runs that end after w
  // (infinity when there is none): through the index's blocks where it has
  // them, so that a track of many runs costs a bisection per block.
  double least_start_after(double w, std::size_t runs = kAllRuns) const noexcept {
    runs = std::min(runs, run_begins_.size());
    auto [least, r] = index_.least_start_after(w, std::min(runs, index_.covered()));
    for (; r < runs; ++r) {
      const auto [first, last] = run(r);
      const auto live = first_ending_after(first, last, w);
      if (live != last) least = std::min(least, live->start);
    }
    return least;
  }

  // The first pulse, in placement order, that [t, t + d) overlaps.
  //
  // `hint` is where the caller's previous search of this track's last run
  // ended. One qubit's searches mostly move forward in time, so starting from
  // there walks the run once from front to back instead of searching it
  // afresh.
  const Pulse* first_overlap(double t, double d, std::size_t& hint) const noexcept {
    // Ends ascend in a run: the pulses ending after t form a suffix of it.
    // If the suffix's first pulse starts at or after t + d, so do the
    // others, as starts ascend too: only that pulse can be the run's first
    // overlap.
    if (run_begins_.size() > 1 && closed_end_ > t) {  // the closed runs, usually none
      if (const Pulse* hit = first_overlap_in_closed_runs(t, d)) return hit;
    }
    if (!(last_end_ > t)) return nullptr;  // the usual answer
    const std::size_t last_begin = run_begins_.back();
    const std::size_t last = pulses_.size() - 1;
    // Hints count the forgotten pulses too, so trimming leaves them valid.
    const std::size_t from = std::clamp(hint > forgotten_ ? hint - forgotten_ : 0, last_begin, last);
    const std::size_t first = first_ending_after(t, last_begin, from, last);
    hint = first + forgotten_;
    return overlaps(pulses_[first], t, d) ? &pulses_[first] : nullptr;
  }

  static constexpr std::size_t kAllRuns = std::numeric_limits<std::size_t>::max();

  // Whether `p` is one of this track's pulses.
  bool holds(const Pulse* p) const noexcept {
    if (pulses_.empty()) return false;
    const std::greater_equal<const Pulse*> at_or_after;
    return at_or_after(p, pulses_.data()) && at_or_after(&pulses_.back(), p);
  }

  // The number of the run that holds `p`, one of this track's pulses.
  std::size_t run_of(const Pulse* p) const noexcept {
    const auto k = static_cast<std::size_t>(p - pulses_.data());
    return static_cast<std::size_t>(std::upper_bound(run_begins_.begin(), run_begins_.end(), k) - run_begins_.begin()) - 1;
  }

  // For a search of [t, t + d) about to move past `hit`, a pulse of this
  // track in run `run`: the pulse past which the same search stands after
  // the moves it then makes along that run (see RunSteps), as long as each place t it
  // moves from keeps t + d within both `window_end` and `bound`. The caller
  // promises that every pulse that could meet the search on the way before
  // that run does, on the tracks scanned before this one or in this track's
  // earlier runs, starts at or after `bound`, so that the run holds the
  // first overlap of each place. `hit` itself when no move is certain.
  [[gnu::noinline]] const Pulse* walk(const Pulse* hit, std::size_t run, double d, double window_end,
                                      double bound) const {
    const auto within = [&](std::size_t k) {
      const double x = pulses_[k].end + kPulseSpacingNs + d;
      return !(x > window_end) && !(x > bound);
    };
    if (!steps_) steps_ = std::make_unique<RunSteps>();
    return &pulses_[steps_->walk(pulses_, run_begins_, static_cast<std::size_t>(hit - pulses_.data()), run, d, within)];
  }

 private:
  using Pulses = std::vector<Pulse>::const_iterator;

  // The pulses of run r.
  std::pair<Pulses, Pulses> run(std::size_t r) const noexcept {
    const Pulses first = pulses_.begin() + static_cast<std::ptrdiff_t>(run_begins_[r]);
    return {first, r + 1 < run_begins_.size() ? pulses_.begin() + static_cast<std::ptrdiff_t>(run_begins_[r + 1])
                                              : pulses_.end()};
  }

  // The first pulse of a run's [first, last) that ends after w: those that
  // do form a suffix, as ends ascend in a run.
  static Pulses first_ending_after(Pulses first, Pulses last, double w) noexcept {
    return std::partition_point(first, last, [w](const Pulse& p) { return !(p.end > w); });
  }

  // The two rarely taken paths stay out of line: the pass's main loop, where
  // the calls sit, runs faster without them inlined.
  [[gnu::noinline]] void open_run() {
    if (!pulses_.empty()) closed_end_ = std::max(closed_end_, last_end_);
    run_begins_.push_back(pulses_.size());
    index_.update(pulses_, run_begins_, run_begins_.size() - 1);
  }

  // The same search over the runs before the last: those in the index's
  // blocks first, then the rest one by one.
  [[gnu::noinline]] const Pulse* first_overlap_in_closed_runs(double t, double d) const noexcept {
    const auto in_run = [&](std::size_t r) -> const Pulse* {
      const std::size_t last = run_begins_[r + 1] - 1;
      if (!(pulses_[last].end > t)) return nullptr;
      const Pulse& first = pulses_[first_ending_after(t, run_begins_[r], run_begins_[r], last)];
      return overlaps(first, t, d) ? &first : nullptr;
    };
    if (const Pulse* hit = index_.first_overlap(t, t + d, in_run)) return hit;
    const std::size_t last_begin = run_begins_.back();
    for (std::size_t r = index_.covered(); run_begins_[r] != last_begin; ++r) {
      if (const Pulse* hit = in_run(r)) return hit;
    }
    return nullptr;
  }

  // The index of the first pulse in [begin, last] that ends after t, given
  // that pulses_[last] does: gallop from `from` towards it, then bisect.
  std::size_t first_ending_after(double t, std::size_t begin, std::size_t from, std::size_t last) const noexcept {
    std::size_t low;   // the answer is in [low, high]
    std::size_t high;  // pulses_[high].end > t
    std::size_t step = 1;
    if (pulses_[from].end > t) {
      high = from;
      low = begin;
      while (high > begin) {
        const std::size_t probe = high - begin > step ? high - step : begin;
        if (!(pulses_[probe].end > t)) {
          low = probe + 1;
          break;
        }
        high = probe;
        step *= 2;
      }
    } else {
      low = from + 1;
      for (;;) {
        const std::size_t probe = std::min(last, from + step);
        if (pulses_[probe].end > t) {
          high = probe;
          break;
        }
        low = probe + 1;
        step *= 2;
      }
    }
    const auto first = pulses_.begin();
    return static_cast<std::size_t>(
        std::partition_point(first + static_cast<std::ptrdiff_t>(low), first + static_cast<std::ptrdiff_t>(high),
                             [t](const Pulse& p) { return !(p.end > t); }) -
        first);
  }

  static constexpr std::size_t kFirstTrim = 64;

  std::vector<Pulse> pulses_;
  std::vector<std::size_t> run_begins_;  // index in pulses_ of each run's first pulse
  RunIndex index_;                       // over the closed runs
  mutable std::unique_ptr<RunSteps> steps_;  // made when a walk first needs it
  std::size_t forgotten_ = 0;            // pulses trimmed off the front
  std::size_t next_trim_ = kFirstTrim;
  double last_end_ = 0.0;  // of the last pulse, when there is one
  // No pulse in the runs before the last ends later than this (ends ascend
  // in a run, so a run's last pulse holds its greatest), and a search from t
  // at or past it cannot overlap any of them. Where time has stepped back,
  // most searches are past the pulses placed before the last step. Trimming
  // leaves it as it is: it only forgets pulses, so the bound still holds.
  double closed_end_ = -std::numeric_limits<double>::infinity();
};

}  // namespace velunq
