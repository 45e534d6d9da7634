// Walks along trains of pulses: a clearance search that takes many moves at
// once ends exactly where the same search ends move by move.
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "graph/neighbour_index.hpp"
#include "support.hpp"

namespace velunq::test {
namespace {

// The clearance search made one move at a time.
double move_by_move(double t, double d, double window_end, std::span<const QubitSlot> neighbours,
                    const std::vector<PulseTrack>& tracks, std::size_t& moves) {
  std::vector<std::size_t> hints(neighbours.size(), 0);
  for (;;) {
    const Pulse* hit = first_overlap_among(t, d, neighbours, tracks, hints.data());
    if (!hit) return t;
    ++moves;
    t = hit->end + kPulseSpacingNs;
    if (t + d > window_end) return t;
  }
}

// The same search with walks.
double walking(double t, double d, double window_end, std::span<const QubitSlot> neighbours,
               const std::vector<PulseTrack>& tracks) {
  std::vector<std::size_t> hints(neighbours.size(), 0);
  TrainWalk walk;
  for (;;) {
    const Pulse* hit = first_overlap_among(t, d, neighbours, tracks, hints.data());
    if (!hit) return t;
    t = walk.past(hit, d, window_end, neighbours, tracks)->end + kPulseSpacingNs;
    if (t + d > window_end) return t;
  }
}

// Trains of pulses with gaps near the moves' 10 ns, lengths of every sign,
// times far enough out that adding 10 ns rounds, and steps back in time.
struct Trains {
  std::mt19937_64 rng;
  std::vector<PulseTrack> tracks;
  std::vector<double> clock;
  std::vector<double> starts;  // of every pulse added

  // One pulse in `step_back_one_in` steps back in time by one of `steps_back`
  // and opens a new run.
  std::uint64_t step_back_one_in = 200;
  std::vector<double> steps_back{15.0, 300.0, 1e4};

  Trains(std::uint64_t seed, std::size_t count) : rng(seed), tracks(count), clock(count) {
    const std::vector<double> origins{0.0, 0.0, 1e3, 3e16, 1e17, -500.0};
    for (double& c : clock) c = pick(rng, origins);
  }

  void add_some(std::size_t pulses) {
    const std::vector<double> gaps{0.0, 0.1, 1.0, 5.0, 9.99, 10.0, 10.01, 11.0};
    const std::vector<double> wide_gaps{20.0, 49.0, 60.0, 300.0};
    const std::vector<double> lengths{1.0, 1.0, 0.5, 0.0, 35.0, 50.0, 2.0, -1.0, 1e-9};
    for (std::size_t i = 0; i < pulses; ++i) {
      const std::size_t k = rng() % tracks.size();
      if (rng() % step_back_one_in == 0) clock[k] -= pick(rng, steps_back);  // a new run
      const double start = clock[k] + pick(rng, rng() % 8 == 0 ? wide_gaps : gaps);
      const double end = start + pick(rng, lengths);
      tracks[k].add(start, end);
      starts.push_back(start);
      clock[k] = std::max(start, end);
    }
  }

  // Mostly at or just after a pulse's start, so that the search meets it.
  double some_time() {
    const double start = starts[rng() % starts.size()];
    return rng() % 4 == 0 ? start - 30.0 : start + pick(rng, std::vector<double>{0.0, 0.0, 0.5, 3.0});
  }
};

// Searches of random trains, with walks and move by move, end alike.
void expect_walks_end_where_the_moves_end(std::uint64_t step_back_one_in, std::vector<double> steps_back) {
  const std::vector<double> lengths{50.0, 50.0, 35.0, 35.0, 20.0, 49.9, 12.0, 9.0, 1.0, 0.0, -0.0, 1e-9, -5.0,
                                    kInf, -kInf, kNaN};
  std::size_t searches = 0, long_walks = 0;
  for (std::uint64_t seed = 1; seed <= 200; ++seed) {
    Trains trains(seed, 1 + seed % 4);
    trains.step_back_one_in = step_back_one_in;
    trains.steps_back = steps_back;
    std::vector<QubitSlot> all(trains.tracks.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<QubitSlot>(i);
    for (int round = 0; round < 8; ++round) {
      trains.add_some(150);  // walks pick up pulses added since their last look
      for (int s = 0; s < 40; ++s) {
        // Any subset of the tracks in any order, as a qubit's neighbour list.
        std::vector<QubitSlot> neighbours = all;
        std::shuffle(neighbours.begin(), neighbours.end(), trains.rng);
        neighbours.resize(1 + trains.rng() % neighbours.size());
        const double t = trains.some_time();
        const double d = pick(trains.rng, lengths);
        const double window_end = trains.rng() % 4 == 0 ? kInf : t + std::uniform_real_distribution<double>(0.0, 4000.0)(trains.rng);
        std::size_t moves = 0;
        const double expected = move_by_move(t, d, window_end, neighbours, trains.tracks, moves);
        const double got = walking(t, d, window_end, neighbours, trains.tracks);
        ASSERT_TRUE(same(got, expected)) << "seed " << seed << " t " << t << " d " << d << " window end "
                                         << window_end << ": " << got << " against " << expected;
        ++searches;
        long_walks += moves >= 32;
      }
    }
  }
  EXPECT_GT(long_walks, searches / 50);  // the walks are exercised, not just the first moves
}

TEST(TrainWalk, EndsWhereTheMovesEnd) { expect_walks_end_where_the_moves_end(200, {15.0, 300.0, 1e4}); }

// Time steps back often and not far: trains lie in many runs that overlap
// in time, before the last one too.
TEST(TrainWalk, EndsWhereTheMovesEndAcrossManyRuns) { expect_walks_end_where_the_moves_end(20, {15.0, 60.0, 300.0}); }

TEST(TrainWalk, WalksAlongARunBeforeTheLast) {
  // A pulse first (run 0); then time steps back for a train of 300 pulses
  // with 11 ns gaps (run 1), and back again (run 2), so that the train lies
  // in a run before the last. A 2 ns search fits no gap of the train and
  // walks along it, but the scan looks at run 0 first: its pulse, 11.5 ns
  // into the gap after the train's 200th, moves the search into the next
  // gap, where it fits. A walk along the train alone would go past the end.
  std::vector<PulseTrack> tracks(1);
  tracks[0].add(12.0 * 200 + 11.5, 12.0 * 200 + 19.0);
  for (int i = 0; i < 300; ++i) tracks[0].add(12.0 * i, 12.0 * i + 1.0);
  tracks[0].add(-1000.0, -999.0);
  const std::vector<QubitSlot> neighbours{0};
  for (double t : {0.0, 0.5, 996.0}) {
    std::size_t moves = 0;
    const double expected = move_by_move(t, 2.0, kInf, neighbours, tracks, moves);
    EXPECT_TRUE(same(expected, 12.0 * 200 + 29.0)) << t;
    EXPECT_TRUE(same(walking(t, 2.0, kInf, neighbours, tracks), expected)) << t;
    EXPECT_GT(moves, 100u);
  }
}

// The least length d for which place + d > start, by halving an interval of
// lengths until its ends are neighbouring doubles.
double least_overlapping(double place, double start) {
  double fails = -1e308;
  double holds = 1e308;
  while (std::nextafter(fails, holds) != holds) {
    const double middle = fails / 2 + holds / 2;
    (place + middle > start ? holds : fails) = middle;
  }
  return holds;
}

TEST(TrainWalk, StopsWhereItsPulseJustFits) {
  // Past 40 gaps that no length near 1 ns fits come gaps of about 1 ns. A
  // search with a length just short of overlapping the first of those next
  // pulses stops there, one just long enough walks on; also where adding
  // 10 ns rounds. The walk must turn exactly where the moves do.
  for (double origin : {0.0, 300000.1, 1.5e15, 0x1p52}) {  // the last two with ulps of 1/4 and 1 ns
    std::vector<PulseTrack> tracks(1);
    std::vector<double> starts;
    for (double start = origin; starts.size() < 300; start += starts.size() < 40 ? 11.5 : 12.0) {
      tracks[0].add(start, start + 1.0);
      starts.push_back(start);
    }
    const std::vector<QubitSlot> neighbours{0};
    const double turn = least_overlapping((starts[39] + 1.0) + kPulseSpacingNs, starts[40]);
    std::size_t stopped = 0, walked_on = 0;
    double d = turn;
    for (int i = 0; i < 3; ++i) d = std::nextafter(d, -kInf);
    for (int i = 0; i < 7; ++i, d = std::nextafter(d, kInf)) {
      std::size_t moves = 0;
      const double expected = move_by_move(origin, d, kInf, neighbours, tracks, moves);
      EXPECT_TRUE(same(walking(origin, d, kInf, neighbours, tracks), expected)) << origin << " " << d;
      (moves <= 40 ? stopped : walked_on) += 1;
    }
    EXPECT_EQ(stopped, 3u) << origin;  // the lengths straddle the turn
    EXPECT_EQ(walked_on, 4u) << origin;
  }
}

TEST(TrainWalk, ForgetsItsMovesWhenTheTrackIsTrimmed) {
  std::vector<PulseTrack> tracks(1);
  for (int i = 0; i < 400; ++i) tracks[0].add(12.0 * i, 12.0 * i + 1.0);  // 11 ns gaps: a 2 ns pulse fits none
  const std::vector<QubitSlot> neighbours{0};
  std::size_t moves = 0;
  EXPECT_TRUE(same(walking(0.0, 2.0, kInf, neighbours, tracks), move_by_move(0.0, 2.0, kInf, neighbours, tracks, moves)));
  tracks[0].trim(12.0 * 100, 1);  // the first hundred pulses go, the rest move down
  for (int i = 400; i < 500; ++i) tracks[0].add(12.0 * i, 12.0 * i + 1.0);
  for (double t : {1200.5, 2400.5, 4991.5}) {
    moves = 0;
    const double expected = move_by_move(t, 2.0, kInf, neighbours, tracks, moves);
    EXPECT_TRUE(same(walking(t, 2.0, kInf, neighbours, tracks), expected)) << t;
    EXPECT_TRUE(same(expected, 12.0 * 499 + 11.0));  // past the whole train
  }
}

TEST(TrainWalk, MoveThresholdIsTheLeastLengthThatReachesThePulse) {
  // Places and starts of every size and sign, equal, a few doubles apart,
  // 10 ns apart, or unrelated; subnormals, the largest doubles, infinities.
  std::mt19937_64 rng(65537);
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double huge = std::numeric_limits<double>::max();
  const std::vector<double> specials{0.0, -0.0, tiny, -tiny, 1e-310, huge, -huge, kInf, -kInf, 1.0, 3e16, -500.0};
  const auto some_double = [&] {
    if (rng() % 6 == 0) return pick(rng, specials);
    const double magnitude = std::ldexp(1.0 + static_cast<double>(rng() % 1000) / 1000.0, static_cast<int>(rng() % 2100) - 1075);
    return rng() % 4 == 0 ? -magnitude : magnitude;
  };
  for (int i = 0; i < 200000; ++i) {
    const double t = some_double();
    double start = t;
    switch (rng() % 5) {
      case 0: break;
      case 1:
        for (int k = static_cast<int>(rng() % 4); k > 0; --k) start = std::nextafter(start, rng() % 2 ? kInf : -kInf);
        break;
      case 2: start = t + pick(rng, std::vector<double>{10.0, -10.0, 0.5, 1e-9}); break;
      case 3: start = (t + some_double()) * 0.5; break;
      default: start = some_double();
    }
    ASSERT_EQ(step_threshold(t, start), step_threshold_by_bisection(t, start)) << t << " " << start;
  }
}

}  // namespace
}  // namespace velunq::test
