// PulseBuckets: which members of a set (qubits, by number) hold pulses in
// each stretch of time.
//
// The timeline from 0 is cut into buckets of one width; a bucket keeps one
// bit per member, set by every pulse recorded for that member that touches
// the bucket. Two stretches that overlap touch a common bucket (a time's
// bucket is found by one multiplication and a rounding down, which keep the
// order of times), so a member whose bit is clear in every bucket that a
// stretch touches holds no pulse that the stretch overlaps. Bits are never
// cleared: the answer is a superset of the members that hold an overlap,
// never less.
//
// A pulse that cannot be placed in buckets (a negative or infinite bound,
// over too many buckets, or beyond the buckets' room) marks its member as
// always possible. A stretch that cannot be placed gets no answer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "interner.hpp"

namespace velunq {

class PulseBuckets {
 public:
  using Word = std::uint64_t;
  static constexpr std::size_t kWordBits = 64;

  static std::size_t words_for(std::size_t members) noexcept { return (members + kWordBits - 1) / kWordBits; }

  // Buckets of `width` ns (positive and finite) for `members` members, with
  // room for about `max_words` words of bits near time 0 and as many again
  // for buckets in use further on.
  PulseBuckets(std::size_t members, double width, std::size_t max_words)
      : words_(words_for(members)),
        scale_(1.0 / width),
        max_buckets_(std::max<std::size_t>(1, max_words / std::max<std::size_t>(1, words_))),
        always_(words_, 0),
        found_(words_, 0) {}

  std::size_t words() const noexcept { return words_; }

  // Records a pulse from `start` to `end` for `member`. A pulse with a NaN
  // bound overlaps nothing and is left out.
  void add(std::size_t member, double start, double end) {
    if (std::isnan(start) || std::isnan(end)) return;
    const Word bit = Word{1} << (member % kWordBits);
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool placed = place(std::min(start, end), std::max(start, end), first, last);
    for (std::uint64_t b = first; placed && b <= last; ++b) {
      Word* bucket = bucket_to_write(b);
      if (bucket) bucket[member / kWordBits] |= bit;
      placed = bucket != nullptr;
    }
    if (!placed) always_[member / kWordBits] |= bit;
  }

  // The members of `among` (words() words) that may hold a pulse that
  // [t, t + d) overlaps, or nothing when the stretch cannot be placed. The
  // answer stays valid until the next call.
  std::span<const Word> possible(double t, double d, const Word* among) {
    const double x = t + d;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    if (std::isnan(x) || !place(std::min(t, x), std::max(t, x), first, last)) return {};
    std::copy(always_.begin(), always_.end(), found_.begin());
    for (std::uint64_t b = first; b <= last; ++b) {
      if (const Word* bucket = bucket_to_read(b)) {
        for (std::size_t w = 0; w < words_; ++w) found_[w] |= bucket[w];
      }
    }
    for (std::size_t w = 0; w < words_; ++w) found_[w] &= among[w];
    return found_;
  }

 private:
  // A stretch never spans more buckets than this; a longer one cannot be
  // placed.
  static constexpr std::uint64_t kMaxSpan = 64;
  // Bucket numbers stay below this, so that they convert exactly.
  static constexpr double kMaxBucket = 0x1p63;

  // The buckets from time `low` to time `high` (low <= high), if they can be
  // placed.
  bool place(double low, double high, std::uint64_t& first, std::uint64_t& last) const noexcept {
    if (!(low >= 0.0)) return false;
    const double top = high * scale_;
    if (!(top < kMaxBucket)) return false;  // infinite too
    first = static_cast<std::uint64_t>(low * scale_);
    last = static_cast<std::uint64_t>(top);
    return last - first < kMaxSpan;
  }

  // Bucket b's words, made if need be; nullptr when there is no room left.
  // The first max_buckets_ buckets lie in one array; later ones (far times)
  // are numbered by a table as they are first used, up to as many again.
  Word* bucket_to_write(std::uint64_t b) {
    if (b < max_buckets_) {
      if ((b + 1) * words_ > near_.size()) {
        near_.resize(std::min(max_buckets_ * words_, std::max((b + 1) * words_, 2 * near_.size())), 0);
      }
      return near_.data() + b * words_;
    }
    if (far_.size() >= max_buckets_ && !far_.find(b)) return nullptr;
    const std::size_t at = far_.intern(b) * words_;
    if (at == far_bits_.size()) far_bits_.resize(at + words_, 0);
    return far_bits_.data() + at;
  }

  // Bucket b's words, or nullptr for a bucket that holds nothing.
  const Word* bucket_to_read(std::uint64_t b) const noexcept {
    if (b < max_buckets_) return (b + 1) * words_ <= near_.size() ? near_.data() + b * words_ : nullptr;
    const auto number = far_.find(b);
    return number ? far_bits_.data() + *number * words_ : nullptr;
  }

  std::size_t words_;
  double scale_;  // buckets per ns
  std::size_t max_buckets_;
  std::vector<Word> near_;            // buckets 0, 1, ..., words_ words each
  Interner<std::uint64_t> far_;       // later buckets in use, by bucket number
  std::vector<Word> far_bits_;        // their words, in far_'s order
  std::vector<Word> always_;          // members with a pulse outside every bucket
  std::vector<Word> found_;           // the last answer
};

}  // namespace velunq
