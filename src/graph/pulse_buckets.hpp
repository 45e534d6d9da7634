// PulseBuckets: which members of a set (qubits, by number) hold pulses in
// each stretch of time.
//
// The timeline from an origin is cut into buckets of one width; a bucket
// keeps one bit per member, set by every pulse recorded for that member that
// touches the bucket. Two stretches that overlap touch a common bucket (a
// time's bucket is found by a subtraction, a multiplication and a rounding
// down, which keep the order of times), so a member whose bit is clear in
// every bucket that a stretch touches holds no pulse that the stretch
// overlaps. Bits are never cleared: the answer is a superset of the members
// that hold an overlap, never less.
//
// A pulse that cannot be placed in buckets (a bound before the origin or
// infinite, beyond the buckets' room, or over too many buckets) marks its
// member as always possible. A stretch that cannot be placed gets no answer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velunq {

class PulseBuckets {
 public:
  using Word = std::uint64_t;
  static constexpr std::size_t kWordBits = 64;

  static std::size_t words_for(std::size_t members) noexcept { return (members + kWordBits - 1) / kWordBits; }

  // Buckets of `width` ns (positive and finite) for `members` members, with
  // room for at most `max_words` words of bits in all, for times from
  // `earliest` (at most 0) to `latest` (at least 0), both finite. Where that
  // room would not reach `latest`, the buckets are widened until it does, so
  // that pulses up to then are still placed, if coarsely. Times before 0 are
  // covered as far back as that widens the buckets at most twofold: the
  // buckets start at `earliest`, or at minus the larger of `latest` and the
  // time the room covers at `width`.
  PulseBuckets(std::size_t members, double width, double earliest, double latest, std::size_t max_words)
      : words_(words_for(members)),
        max_buckets_(std::max<std::size_t>(1, max_words / std::max<std::size_t>(1, words_))),
        origin_(std::max(earliest, -std::max(latest, width * static_cast<double>(max_buckets_ - 1)))),
        scale_(1.0 / std::max(width, (latest - origin_) /
                                         static_cast<double>(std::max<std::size_t>(1, max_buckets_ - 1)))),
        always_(words_, 0),
        found_(words_, 0) {}

  std::size_t words() const noexcept { return words_; }

  // Records a pulse from `start` to `end` for `member`. A pulse with a NaN
  // bound overlaps nothing and is left out.
  void add(std::size_t member, double start, double end) {
    if (std::isnan(start) || std::isnan(end)) return;
    const Word bit = Word{1} << (member % kWordBits);
    std::size_t first = 0;
    std::size_t last = 0;
    if (!place(std::min(start, end), std::max(start, end), first, last)) {
      always_[member / kWordBits] |= bit;
      return;
    }
    if ((last + 1) * words_ > bits_.size()) {
      bits_.resize(std::min(max_buckets_ * words_, std::max((last + 1) * words_, 2 * bits_.size())), 0);
    }
    for (std::size_t b = first; b <= last; ++b) bits_[b * words_ + member / kWordBits] |= bit;
  }

  // The members of `among` (words() words) that may hold a pulse that
  // [t, t + d) overlaps, or nothing when the stretch cannot be placed. The
  // answer stays valid until the next call.
  std::span<const Word> possible(double t, double d, const Word* among) {
    const double x = t + d;
    std::size_t first = 0;
    std::size_t last = 0;
    if (std::isnan(x) || !place(std::min(t, x), std::max(t, x), first, last)) return {};
    std::copy(always_.begin(), always_.end(), found_.begin());
    const std::size_t stored = words_ == 0 ? 0 : bits_.size() / words_;  // the buckets after them are empty
    for (std::size_t b = first; b <= last && b < stored; ++b) {
      const Word* bucket = bits_.data() + b * words_;
      for (std::size_t w = 0; w < words_; ++w) found_[w] |= bucket[w];
    }
    for (std::size_t w = 0; w < words_; ++w) found_[w] &= among[w];
    return found_;
  }

 private:
  // A stretch never spans more buckets than this; a longer one cannot be
  // placed.
  static constexpr std::size_t kMaxSpan = 64;

  // The buckets from time `low` to time `high` (low <= high), if they can be
  // placed.
  bool place(double low, double high, std::size_t& first, std::size_t& last) const noexcept {
    low -= origin_;  // subtracting one value keeps the order of times
    high -= origin_;
    if (!(low >= 0.0)) return false;
    const double top = high * scale_;
    if (!(top < static_cast<double>(max_buckets_))) return false;  // infinite too
    first = static_cast<std::size_t>(low * scale_);
    last = static_cast<std::size_t>(top);
    return last - first < kMaxSpan;
  }

  std::size_t words_;
  std::size_t max_buckets_;
  double origin_;  // where the first bucket starts
  double scale_;   // buckets per ns
  std::vector<Word> bits_;    // bucket after bucket, words_ words each
  std::vector<Word> always_;  // members with a pulse outside the buckets
  std::vector<Word> found_;   // the last answer
};

}  // namespace velunq
