// The coarse record of pulse times: whatever the times, a member that holds a
// pulse overlapping a stretch is never left out of the answer for it.
#include "graph/pulse_buckets.hpp"

#include <random>

#include "support.hpp"

namespace velunq::test {
namespace {

struct Recorded {
  std::size_t member;
  double start;
  double end;
};

double odd_time(std::mt19937_64& rng) {
  static const std::vector<double> odd{0.0, -0.0, -5.0, -1e-300, 1e-300, kInf, -kInf, kNaN, 1e300, 2e6, 4e6};
  if (rng() % 5 == 0) return pick(rng, odd);
  return std::uniform_real_distribution<double>(-50.0, 3000.0)(rng);
}

TEST(PulseBuckets, NeverLeavesOutAnOverlap) {
  std::mt19937_64 rng(65537);
  const std::vector<double> lengths{0.0, 5.0, 20.0, 35.0, -15.0, 300.0, 5000.0, kInf, kNaN};
  int overlaps = 0, ruled_out = 0;
  for (int round = 0; round < 200; ++round) {
    const std::size_t members = 1 + rng() % 150;  // up to three words
    const double width = pick(rng, std::vector<double>{1.0, 30.0, 45.0, 1e-3});
    const double origin = pick(rng, std::vector<double>{0.0, 0.0, -20.0, -1e-300, -2e6});
    const double span = pick(rng, std::vector<double>{0.0, 100.0, 3000.0, 1e6});
    PulseBuckets buckets(members, width, origin, span, 1 + rng() % 5000);  // room for few buckets, or many
    std::vector<Recorded> pulses;
    for (int i = 0; i < 300; ++i) {
      const double start = odd_time(rng);
      const Recorded p{rng() % members, start, start + pick(rng, lengths)};
      buckets.add(p.member, p.start, p.end);
      pulses.push_back(p);
    }
    std::vector<PulseBuckets::Word> everyone(buckets.words(), ~PulseBuckets::Word{0});
    for (int i = 0; i < 300; ++i) {
      const double t = odd_time(rng);
      const double d = pick(rng, lengths);
      const std::span<const PulseBuckets::Word> possible = buckets.possible(t, d, everyone.data());
      if (possible.empty()) continue;  // no answer: the caller looks at everything
      std::vector<bool> holds(members, false);
      for (const Recorded& p : pulses) {
        if (t + d > p.start && p.end > t) holds[p.member] = true;  // the clearance rule's overlap
      }
      for (std::size_t m = 0; m < members; ++m) {
        const bool said = (possible[m / 64] >> (m % 64)) & 1;
        ASSERT_TRUE(said || !holds[m]) << "member " << m << " left out for [" << t << ", " << t + d << ")";
        overlaps += holds[m];
        ruled_out += !said;
      }
    }
  }
  // Both sides are exercised: real overlaps, and members ruled out.
  EXPECT_GT(overlaps, 1000);
  EXPECT_GT(ruled_out, 100000);
}

// Room for 64 buckets of one word: a span of 10^6 ns widens them to about
// 16 us each. A pulse near the end is then still placed, so a stretch far
// from it does not name its member.
TEST(PulseBuckets, WidenToPlacePulsesAcrossTheSpan) {
  PulseBuckets buckets(3, 30.0, 0.0, 1e6, 64);
  buckets.add(1, 999'000.0, 999'020.0);
  buckets.add(2, 1e6 - 20.0, 1e6);
  std::vector<PulseBuckets::Word> everyone(buckets.words(), ~PulseBuckets::Word{0});
  const auto answer = [&](double t, double d) {
    const std::span<const PulseBuckets::Word> possible = buckets.possible(t, d, everyone.data());
    return possible.empty() ? ~PulseBuckets::Word{0} : possible[0];
  };
  EXPECT_EQ(answer(10.0, 20.0), 0u);
  EXPECT_EQ(answer(999'010.0, 20.0), 0b110u);
}

// Before 0 the buckets reach back to the earliest time they are given, as
// far as that widens them at most twofold; a pulse before that is possible
// everywhere.
TEST(PulseBuckets, ReachBackBeforeZeroAsFarAsTheirRoomAllows) {
  const auto answer = [](PulseBuckets& buckets, double t, double d) {
    const std::vector<PulseBuckets::Word> everyone(buckets.words(), ~PulseBuckets::Word{0});
    const std::span<const PulseBuckets::Word> possible = buckets.possible(t, d, everyone.data());
    return possible.empty() ? ~PulseBuckets::Word{0} : possible[0];
  };
  PulseBuckets wide(3, 30.0, -1000.0, 1e6, 64);  // 64 buckets from -1000 ns
  wide.add(1, -900.0, -880.0);
  EXPECT_EQ(answer(wide, 500'000.0, 20.0), 0u);
  EXPECT_EQ(answer(wide, -895.0, 10.0), 0b10u);

  // 64 buckets of 30 ns would cover 1,890 ns: they start there, not at -1e9.
  PulseBuckets reaching(3, 30.0, -1e9, 1000.0, 64);
  reaching.add(1, -1500.0, -1480.0);
  reaching.add(2, -5000.0, -4980.0);
  EXPECT_EQ(answer(reaching, 500.0, 20.0), 0b100u);
  EXPECT_EQ(answer(reaching, -1490.0, 5.0), 0b110u);
}

// A record of no members answers with no members.
TEST(PulseBuckets, HoldNoMembers) {
  PulseBuckets buckets(0, 30.0, 0.0, 1e6, 64);
  EXPECT_EQ(buckets.words(), 0u);
  EXPECT_TRUE(buckets.possible(10.0, 20.0, nullptr).empty());
}

}  // namespace
}  // namespace velunq::test
