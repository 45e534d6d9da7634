// BlockEnds: the DD pass's clearance for qubits with very many neighbours.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "dd_rules.hpp"
#include "neighbour_index.hpp"
#include "pulse_track.hpp"

namespace velunq {

// first_overlap_among's search, for qubits with very many neighbours on a
// device that is not densely coupled as a whole (a hub coupled to every
// other qubit, say).
// Each such qubit's neighbour list is cut into blocks, blocks into groups of
// 16 blocks, those into groups of 16 groups, and so on; each keeps the
// greatest end and the least start of any pulse recorded on its neighbours.
// Only a pulse that ends after t and starts before t + d can overlap
// [t, t + d), so a block or group whose greatest end is not past t, or whose
// least start is not before t + d, is passed over whole; the first overlap
// found is still the scan's.
class BlockEnds {
 public:
  static constexpr std::size_t kBlock = 16;  // entries, and blocks in a group, and so on
  static constexpr std::size_t kBlockBits = 4;
  static constexpr std::size_t kMaxLevels = 64 / kBlockBits;  // enough for any entry index
  static constexpr std::size_t kWideDegree = 4 * kBlock;  // neighbours of a qubit searched by blocks
  static constexpr std::size_t kHubRatio = 4;              // see where_it_pays
  static constexpr std::size_t kMostWatchers = 16;         // block updates per pulse on a hub

  // BlockEnds for these neighbour lists, if some qubit has enough neighbours
  // for it to pay.
  //
  // Blocks pay for a hub: a qubit with kHubRatio times as many neighbours
  // as, on average, there are qubits with kWideDegree neighbours or more
  // listing each of them. Where every qubit has about as many neighbours as
  // the next (a device coupled at random, say), every block holds recent
  // pulses, so that a search passes over few of them, while every pulse
  // updates the blocks of all who list its qubit: the plain search is faster
  // there.
  //
  // Every pulse updates a block of each qubit that lists its qubit and
  // searches by blocks, so a qubit is watched by a bounded number of such
  // qubits; later ones search its track directly (a crowded entry). A hub
  // may have kMostWatchers. Any other qubit may have as many as its own list
  // is long, if that is more: it searches its list plainly for each pulse it
  // places, so the updates cost about as much per level. Qubits are taken
  // from the most neighbours down, and one searches by blocks only while at
  // most one in kBlock of its neighbours is crowded.
  static std::unique_ptr<BlockEnds> where_it_pays(const NeighbourIndex& neighbours, std::size_t slot_count) {
    std::vector<QubitSlot> candidates;
    for (QubitSlot slot = 0; slot < slot_count; ++slot) {
      if (neighbours.of(slot).size() >= kWideDegree) candidates.push_back(slot);
    }
    if (candidates.empty()) return nullptr;
    std::vector<std::size_t> listers(slot_count, 0);  // of each slot, among the candidates
    for (QubitSlot slot : candidates) {
      for (QubitSlot n : neighbours.of(slot)) ++listers[n];
    }
    std::erase_if(candidates, [&](QubitSlot slot) {
      const std::span<const QubitSlot> list = neighbours.of(slot);
      std::size_t listing = 0;
      for (QubitSlot n : list) listing += listers[n];
      return list.size() * list.size() < kHubRatio * listing;
    });
    if (candidates.empty()) return nullptr;
    std::stable_sort(candidates.begin(), candidates.end(), [&](QubitSlot a, QubitSlot b) {
      return neighbours.of(a).size() > neighbours.of(b).size();
    });
    std::vector<char> wide(slot_count, 0);
    std::vector<char> watched(neighbours.entry_count(), 0);  // of each entry
    std::vector<std::size_t> watchers(slot_count, 0);
    std::vector<std::size_t> most(slot_count, 0);  // watchers allowed, of each slot
    for (QubitSlot slot = 0; slot < slot_count; ++slot) {
      most[slot] = std::max(kMostWatchers, neighbours.of(slot).size());
    }
    for (QubitSlot slot : candidates) most[slot] = kMostWatchers;
    const auto crowded = [&](QubitSlot n) { return watchers[n] >= most[n]; };
    for (QubitSlot slot : candidates) {
      const std::span<const QubitSlot> list = neighbours.of(slot);
      if (static_cast<std::size_t>(std::count_if(list.begin(), list.end(), crowded)) > list.size() / kBlock) continue;
      for (std::size_t i = 0; i < list.size(); ++i) {
        if (crowded(list[i])) continue;
        ++watchers[list[i]];
        watched[neighbours.first_entry(slot) + i] = 1;
      }
      wide[slot] = 1;
    }
    return std::make_unique<BlockEnds>(neighbours, std::move(wide), std::move(watched));
  }

  // Entries count as in NeighbourIndex: a block holds kBlock consecutive
  // entries (a group at level k, kBlock^(k + 1)), and may hold the end of one
  // qubit's list and the start of the next; its record then covers both,
  // which only makes it wider. Levels go up until the longest list spans
  // about kBlock groups of the top level: each level costs every update.
  // `watched` tells which entries of wide slots' lists are recorded.
  BlockEnds(const NeighbourIndex& neighbours, std::vector<char> wide, std::vector<char> watched)
      : wide_(std::move(wide)), recorded_(std::move(watched)), watched_begin_(wide_.size() + 1, 0) {
    std::size_t longest = 0;
    for (QubitSlot slot = 0; slot < wide_.size(); ++slot) {
      if (wide_[slot]) longest = std::max(longest, neighbours.of(slot).size());
    }
    for (std::size_t bits = kBlockBits;; bits += kBlockBits) {
      const std::size_t groups = ((neighbours.entry_count() - 1) >> bits) + 1;
      levels_.push_back(Level{std::vector<double>(groups, -std::numeric_limits<double>::infinity()),
                              std::vector<double>(groups, std::numeric_limits<double>::infinity())});
      if (groups == 1 || (longest >> bits) <= kBlock) break;
    }
    // For each slot, the recorded entries that qubits searched by blocks hold
    // for it; and the crowded entries, in order.
    for (QubitSlot slot = 0; slot < wide_.size(); ++slot) {
      if (!wide_[slot]) continue;
      const std::span<const QubitSlot> list = neighbours.of(slot);
      for (std::size_t i = 0; i < list.size(); ++i) {
        if (recorded_[neighbours.first_entry(slot) + i]) {
          ++watched_begin_[list[i] + 1];
        } else {
          crowded_.push_back(neighbours.first_entry(slot) + i);
        }
      }
    }
    for (std::size_t i = 1; i < watched_begin_.size(); ++i) watched_begin_[i] += watched_begin_[i - 1];
    watched_.resize(watched_begin_.back());
    std::vector<std::size_t> next(watched_begin_.begin(), watched_begin_.end() - 1);
    for (QubitSlot slot = 0; slot < wide_.size(); ++slot) {
      if (!wide_[slot]) continue;
      const std::span<const QubitSlot> list = neighbours.of(slot);
      for (std::size_t i = 0; i < list.size(); ++i) {
        const std::size_t entry = neighbours.first_entry(slot) + i;
        if (recorded_[entry]) watched_[next[list[i]]++] = entry;
      }
    }
  }

  bool wide(QubitSlot slot) const noexcept { return wide_[slot]; }

  // add and clear stay out of line, as DenseClearance's calls do.

  // Notes the pulse [start, end) on `slot`. The track keeps no pulse that
  // nothing can overlap, so neither is it noted.
  [[gnu::noinline]] void add(QubitSlot slot, double start, double end) noexcept {
    if (!can_be_overlapped(start, end)) return;
    for (std::size_t i = watched_begin_[slot]; i < watched_begin_[slot + 1]; ++i) {
      std::size_t bits = kBlockBits;
      for (Level& level : levels_) {
        const std::size_t group = watched_[i] >> bits;
        if (end > level.ends[group]) level.ends[group] = end;
        if (start < level.starts[group]) level.starts[group] = start;
        bits += kBlockBits;
      }
    }
  }

  // Moves t as the pass's plain clearance does (clear_of_neighbours), for
  // a slot with wide() true. Not noexcept: a walk may allocate.
  // `floor` is a time before which no search by `slot` starts from now on
  // (-infinity where there is none): the records that a search passes
  // through in vain are then made again without the pulses that end by it.
  [[gnu::noinline]] double clear(double t, double d, double window_end, double floor, QubitSlot slot,
                                 const NeighbourIndex& index, const std::vector<PulseTrack>& tracks,
                                 std::size_t* hints) {
    TrainWalk walk;
    for (;;) {
      const Pulse* hit = first_overlap(t, d, floor, slot, index, tracks, hints);
      if (!hit) return t;
      t = walk.past(hit, d, window_end, index.of(slot), tracks)->end + kPulseSpacingNs;
      if (t + d > window_end) return t;
    }
  }

 private:
  struct Level {
    std::vector<double> ends;    // greatest pulse end of each group (level 0: of each block)
    std::vector<double> starts;  // least pulse start of each group
  };

  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  // first_overlap_among, passing over the blocks and groups that hold no
  // pulse ending after t or none starting before t + d: none in their record,
  // nor on the tracks of their crowded entries.
  //
  // A record only ever grows, so pulses long past can keep one from being
  // passed over (a neighbour with pulses both before and after the slot's
  // windows). A block searched in vain, and a group gone through in vain,
  // that lie within the slot's own list are therefore made again from the
  // pulses that end after `floor`: those alone can meet a later search.
  const Pulse* first_overlap(double t, double d, double floor, QubitSlot slot, const NeighbourIndex& index,
                             const std::vector<PulseTrack>& tracks, std::size_t* hints) noexcept {
    const std::span<const QubitSlot> neighbours = index.of(slot);
    const std::size_t base = index.first_entry(slot);
    const std::size_t list_end = base + neighbours.size();
    const double x = t + d;
    const bool remake = floor > -std::numeric_limits<double>::infinity();  // not for a NaN floor either
    // The group at each level that the search went into, from level 1 up.
    std::array<std::size_t, kMaxLevels> entered;
    entered.fill(kNone);
    // Makes again the groups entered that end by entry `to`, lower levels
    // first, and forgets them.
    const auto leave = [&](std::size_t to) {
      for (std::size_t k = 1; k < levels_.size(); ++k) {
        if (entered[k] == kNone) continue;
        const std::size_t bits = (k + 1) * kBlockBits;
        if (((entered[k] + 1) << bits) > to) continue;
        if (remake && (entered[k] << bits) >= base) remake_group(k, entered[k]);
        entered[k] = kNone;
      }
    };
    // The crowded entries before `crowded` need no look: they lie behind the
    // search, or were found clear.
    auto crowded = std::lower_bound(crowded_.begin(), crowded_.end(), base);
    std::size_t overlap_at = kNone;  // a crowded entry found to overlap
    // Whether the crowded entries ahead, up to entry `to`, hold no overlap.
    const auto crowded_clear = [&](std::size_t to) {
      if (overlap_at < to) return false;
      for (; crowded != crowded_.end() && *crowded < to; ++crowded) {
        const std::size_t i = *crowded - base;
        const PulseTrack& track = tracks[neighbours[i]];
        if (!track.empty() && track.first_overlap(t, d, hints[i])) {
          overlap_at = *crowded;
          return false;
        }
      }
      return true;
    };
    for (std::size_t i = 0; i < neighbours.size();) {
      leave(base + i);
      while (crowded != crowded_.end() && *crowded < base + i) ++crowded;
      // The widest group at this entry that can be passed over, if any.
      std::size_t passed_to = 0;
      for (std::size_t k = levels_.size(); k-- > 0;) {
        const std::size_t bits = (k + 1) * kBlockBits;
        const std::size_t group = (base + i) >> bits;
        const std::size_t group_end = (group + 1) << bits;
        if ((!(levels_[k].ends[group] > t) || !(levels_[k].starts[group] < x)) &&
            crowded_clear(std::min(group_end, list_end))) {
          passed_to = group_end - base;
          break;
        }
        if (k > 0) entered[k] = group;
      }
      if (passed_to > 0) {
        i = std::min(neighbours.size(), passed_to);
        continue;
      }
      const std::size_t block = (base + i) >> kBlockBits;
      const std::size_t stop = std::min(neighbours.size(), ((block + 1) << kBlockBits) - base);
      if (const Pulse* hit = first_overlap_among(t, d, neighbours.subspan(i, stop - i), tracks, hints + i)) {
        return hit;
      }
      if (remake && (block << kBlockBits) >= base && ((block + 1) << kBlockBits) <= list_end) {
        remake_block(block, floor, neighbours, base, tracks);
      }
      i = stop;
    }
    leave(list_end);
    return nullptr;
  }

  // Makes block b's record again from the recorded pulses that end after
  // `floor`. The block lies within `neighbours`, the list whose entries
  // start at `base`.
  void remake_block(std::size_t b, double floor, std::span<const QubitSlot> neighbours, std::size_t base,
                    const std::vector<PulseTrack>& tracks) noexcept {
    double least = std::numeric_limits<double>::infinity();
    double greatest = -std::numeric_limits<double>::infinity();
    for (std::size_t e = b << kBlockBits; e < (b + 1) << kBlockBits; ++e) {
      const PulseTrack& track = tracks[neighbours[e - base]];
      if (!recorded_[e] || track.empty()) continue;
      const auto [start, end] = track.bounds_after(floor);
      least = std::min(least, start);
      greatest = std::max(greatest, end);
    }
    levels_[0].starts[b] = least;
    levels_[0].ends[b] = greatest;
  }

  // Makes group g of level k's record again from its members' records.
  void remake_group(std::size_t k, std::size_t g) noexcept {
    double least = std::numeric_limits<double>::infinity();
    double greatest = -std::numeric_limits<double>::infinity();
    for (std::size_t c = g << kBlockBits; c < (g + 1) << kBlockBits; ++c) {
      least = std::min(least, levels_[k - 1].starts[c]);
      greatest = std::max(greatest, levels_[k - 1].ends[c]);
    }
    levels_[k].starts[g] = least;
    levels_[k].ends[g] = greatest;
  }

  std::vector<char> wide_;                  // of each slot
  std::vector<char> recorded_;              // of each entry: whether it is in the records
  std::vector<Level> levels_;               // blocks, then groups of ever more blocks
  std::vector<std::size_t> watched_begin_;  // of each slot's entries in watched_
  std::vector<std::size_t> watched_;        // the recorded entries of wide slots' lists, by neighbour
  std::vector<std::size_t> crowded_;        // the other entries of wide slots' lists, ascending
};

}  // namespace velunq
