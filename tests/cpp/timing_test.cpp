// The as-soon-as-possible schedule and the idle-window search.
#include <algorithm>
#include <span>

#include "graph/fault.hpp"
#include "support.hpp"

namespace velunq::test {
namespace {

void expect_schedule(const QuantumDAG& dag, const std::vector<ScheduleEntry>& expected) {
  ASSERT_EQ(dag.scheduled_count(), expected.size());
  for (NodeId id = 0; id < expected.size(); ++id) {
    const auto got = dag.node_schedule(id);
    ASSERT_TRUE(got.has_value()) << id;
    EXPECT_TRUE(same_time(got->start_time, expected[id].start_time) && same_time(got->end_time, expected[id].end_time))
        << "node " << id << ": got (" << got->start_time << ", " << got->end_time << ")";
  }
  EXPECT_FALSE(dag.node_schedule(expected.size()).has_value());
}

TEST(Schedule, WorkedExamples) {
  const struct {
    const char* what;
    std::vector<Gate> gates;
    std::vector<ScheduleEntry> expected;
  } cases[] = {
      {"waits for every qubit", {{"a", {0}, 20, {}}, {"b", {1}, 50, {}}, {"c", {0, 1}, 30, {}}}, {{0, 20}, {0, 50}, {50, 80}}},
      {"three in a row", {{"a", {0}, 10, {}}, {"a", {0}, 10, {}}, {"a", {0}, 10, {}}}, {{0, 10}, {10, 20}, {20, 30}}},
      {"empty qubit list", {{"a", {0}, 10, {}}, {"e", {}, 7, {}}, {"b", {0}, 5, {}}}, {{0, 10}, {0, 7}, {10, 15}}},
      {"repeated qubit", {{"a", {0}, 10, {}}, {"b", {0, 0}, 5, {}}, {"c", {0}, 3, {}}}, {{0, 10}, {10, 15}, {15, 18}}},
      {"negative: last node, not latest end", {{"a", {0}, 100, {}}, {"n", {0}, -20, {}}, {"b", {0}, 5, {}}}, {{0, 100}, {100, 80}, {80, 85}}},
      {"negative: never below zero", {{"a", {1}, 10, {}}, {"n", {1}, -30, {}}, {"b", {1}, 5, {}}}, {{0, 10}, {10, -20}, {0, 5}}},
      {"NaN end is ignored", {{"a", {1}, 7, {}}, {"b", {0}, 10, {}}, {"n", {0}, kNaN, {}}, {"c", {0, 1}, 5, {}}, {"d", {0}, 1, {}}},
       {{0, 7}, {0, 10}, {10, kNaN}, {7, 12}, {12, 13}}},
      {"infinite", {{"a", {0}, kInf, {}}, {"b", {0}, 1, {}}, {"c", {0}, -kInf, {}}}, {{0, kInf}, {kInf, kInf}, {kInf, kNaN}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QuantumDAG dag = dag_of(c.gates);
    dag.build_schedule();
    expect_schedule(dag, c.expected);
    dag.build_schedule();  // rebuilding gives the same entries
    expect_schedule(dag, c.expected);
  }
}

TEST(IdleWindows, WorkedExamples) {
  const std::vector<Gate> fork{{"a", {0}, 20, {}}, {"b", {1}, 50, {}}, {"c", {0, 1}, 30, {}}};
  const std::vector<Gate> row{{"a", {0}, 10, {}}, {"a", {0}, 10, {}}, {"a", {0}, 10, {}}};
  // Starts on qubit 0 in id order: 0, 10, 0, 5. Sorted by start, the tie at 0 goes to the lower id.
  const std::vector<Gate> backwards{{"a", {0}, 10, {}}, {"n", {0}, -20, {}}, {"b", {0}, 5, {}}, {"z", {0}, 0, {}}};
  // Runs come out by ascending qubit index whatever order the qubits first appear in.
  const std::vector<Gate> spread{{"a", {kMaxQubit, Qubit{1} << 21}, 5, {}}, {"b", {7, 3}, 1, {}},
                                 {"c", {3, 7, Qubit{1} << 21, kMaxQubit}, 1, {}}};
  const struct {
    const std::vector<Gate>* gates;
    double min_gap;
    std::vector<IdleWindow> expected;
  } cases[] = {
      {&fork, 30.0, {{0, 20, 50}}},
      {&fork, 30.5, {}},
      {&fork, 0.0, {{0, 20, 50}, {1, 50, 50}}},
      {&fork, kNaN, {}},
      {&fork, -kInf, {{0, 20, 50}, {1, 50, 50}}},
      {&row, 0.0, {{0, 10, 10}, {0, 20, 20}}},
      {&row, 0.001, {}},
      {&backwards, -kInf, {{0, 10, 0}, {0, 5, 5}, {0, 5, 10}}},
      {&backwards, 0.0, {{0, 5, 5}, {0, 5, 10}}},
      {&spread, 0.0, {{3, 1, 5}, {7, 1, 5}, {Qubit{1} << 21, 5, 5}, {kMaxQubit, 5, 5}}},
  };
  for (const auto& c : cases) {
    QuantumDAG dag = dag_of(*c.gates);
    EXPECT_TRUE(dag.find_idle_windows(-kInf).empty());  // nothing before the schedule is built
    dag.build_schedule();
    EXPECT_EQ(dag.find_idle_windows(c.min_gap).to_vector(), c.expected) << "min_gap " << c.min_gap;
  }
}

// The search exactly as described, with per-qubit runs by ascending index and
// ties in start time by ascending node id.
std::vector<IdleWindow> reference_windows(const std::vector<Gate>& gates,
                                          const std::map<NodeId, ScheduleEntry>& schedule, double min_gap) {
  std::map<Qubit, std::vector<ScheduleEntry>> intervals;
  for (const auto& [id, entry] : schedule)
    for (Qubit q : gates[id].qubits) intervals[q].push_back(entry);
  std::vector<IdleWindow> out;
  for (auto& [q, list] : intervals) {
    std::stable_sort(list.begin(), list.end(),
                     [](const ScheduleEntry& a, const ScheduleEntry& b) { return a.start_time < b.start_time; });
    for (std::size_t i = 1; i < list.size(); ++i)
      if (list[i].start_time - list[i - 1].end_time >= min_gap)
        out.push_back({q, list[i - 1].end_time, list[i].start_time});
  }
  return out;
}

TEST(Timing, MatchesTheReferenceOnRandomCircuits) {
  std::mt19937_64 rng(20240611);
  const std::vector<double> gaps{-kInf, -10.0, 0.0, 5.0, 10.0, 50.0, 300.0, kInf, kNaN};
  for (int round = 0; round < 3000; ++round) {
    std::vector<Gate> gates = random_gates(rng, rng() % 14);
    QuantumDAG dag = dag_of(gates);
    dag.build_schedule();
    const auto schedule = reference_schedule(gates);
    for (int extra = rng() % 3; extra > 0; --extra) {  // added after the schedule: never seen
      gates.push_back({"late", {rng() % 6}, 1.0, {}});
      add(dag, gates.back());
    }
    ASSERT_EQ(dag.scheduled_count(), schedule.size());  // the late gates have no entry
    ASSERT_FALSE(dag.node_schedule(schedule.size()).has_value());
    for (const auto& [id, entry] : schedule) {
      const auto got = dag.node_schedule(id);
      ASSERT_TRUE(got && same_time(got->start_time, entry.start_time) && same_time(got->end_time, entry.end_time))
          << "round " << round << " node " << id;
    }
    for (double gap : gaps) {
      const auto got = dag.find_idle_windows(gap).to_vector();
      const auto want = reference_windows(gates, schedule, gap);
      ASSERT_EQ(got.size(), want.size()) << "round " << round << " min_gap " << gap;
      for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_TRUE(got[i].qubit == want[i].qubit && same_time(got[i].start, want[i].start) && same_time(got[i].end, want[i].end))
            << "round " << round << " min_gap " << gap << " window " << i;
    }
  }
}

// Puts a search's pieces together as a caller of the sink would, checking
// on the way what the sink is promised.
class PieceAssembler final : public IdleWindowSink {
 public:
  explicit PieceAssembler(std::size_t piece_entries) : piece_entries_(piece_entries) {}

  void expect(std::span<const IdleWindowList::Run> runs, std::size_t total) override {
    EXPECT_TRUE(places_.empty() && windows_.empty()) << "expected twice";
    std::size_t at = 0;
    for (const IdleWindowList::Run& run : runs) {
      EXPECT_EQ(run.begin, at);
      EXPECT_GT(run.size, 0u);
      if (!places_.empty()) {
        EXPECT_LT(places_.back().qubit, run.qubit);
      }
      places_.push_back(Place{run.qubit, run.begin, run.begin + run.size});
      at += run.size;
    }
    EXPECT_EQ(at, total);
    windows_.resize(total);
  }

  void take(const IdleWindowList& piece) override {
    ++pieces_;
    EXPECT_FALSE(piece.empty());
    auto place = places_.begin();
    for (const IdleWindowList::Run& run : piece.runs()) {
      while (place != places_.end() && place->qubit != run.qubit) ++place;
      ASSERT_NE(place, places_.end()) << "qubit " << run.qubit << " unexpected or out of order";
      ASSERT_LE(place->next + run.size, place->end) << "qubit " << run.qubit;
      for (const TimeSpan& w : piece.windows(run)) windows_[place->next++] = IdleWindow{run.qubit, w.start, w.end};
    }
  }

  std::size_t piece_entries() const noexcept override { return piece_entries_; }

  std::vector<IdleWindow> finish() const {
    for (const Place& place : places_) EXPECT_EQ(place.next, place.end) << "qubit " << place.qubit;
    return windows_;
  }
  std::size_t pieces() const { return pieces_; }

 private:
  struct Place {
    Qubit qubit;
    std::size_t next;
    std::size_t end;
  };
  std::size_t piece_entries_;
  std::vector<Place> places_;
  std::vector<IdleWindow> windows_;
  std::size_t pieces_ = 0;
};

TEST(Timing, WindowLayoutCheckRefusesRoomBetweenRunsAndWrongTotals) {
  using Run = IdleWindowList::Run;
  const std::vector<Run> next_to_each_other{{0, 0, 2}, {5, 2, 1}};
  EXPECT_NO_THROW(check_window_layout(next_to_each_other, 3));
  EXPECT_NO_THROW(check_window_layout({}, 0));
  EXPECT_THROW(check_window_layout(next_to_each_other, 4), InternalFault);
  EXPECT_THROW(check_window_layout({}, 1), InternalFault);
  const std::vector<Run> room_between{{0, 0, 2}, {5, 3, 1}};
  EXPECT_THROW(check_window_layout(room_between, 3), InternalFault);
}

// The search on `gates`, scheduled, at each minimum in `gaps`, against the
// reference: as one list, and in pieces of several sizes (the smallest ask
// for one qubit entry, and get as many entries as there are qubits).
void expect_reference_windows(const std::vector<Gate>& gates, const std::vector<double>& gaps) {
  QuantumDAG dag = dag_of(gates);
  dag.build_schedule();
  const auto schedule = reference_schedule(gates);
  for (double gap : gaps) {
    const auto want = reference_windows(gates, schedule, gap);
    ASSERT_EQ(dag.find_idle_windows(gap).to_vector(), want) << "min_gap " << gap;
    for (std::size_t entries : {1, 7, 1000}) {
      PieceAssembler pieces(entries);
      dag.find_idle_windows(gap, pieces);
      ASSERT_EQ(pieces.finish(), want) << "min_gap " << gap << ", pieces of " << entries;
    }
  }
}

// Long circuits without negative or NaN durations, where each qubit's starts
// only grow: the search's straight path, over many operations per qubit, in
// both of its forms. Half the circuits open with a long run of gates on
// fresh qubits, which keep no window, so the search's first look finds few
// even where many follow. The lengths take every remainder by 4, as the
// filter takes four gates at a time.
TEST(Timing, MatchesTheReferenceOnLongForwardCircuits) {
  std::mt19937_64 rng(77);
  const std::vector<double> durations{0, 0, 5, 35, 35, 300, 700, 1000};
  const std::vector<double> gaps{-kInf, 0.0, 35.0, 1000.0, kNaN};
  for (int round = 0; round < 12; ++round) {
    std::vector<Gate> gates(6000 + round);
    const Qubit width = 1 + rng() % 9;
    const std::size_t fresh = round % 2 ? 4500 : 0;
    for (std::size_t i = 0; i < fresh; ++i) gates[i] = {"f", {100 + i}, pick(rng, durations), {}};
    for (Gate& g : std::span(gates).subspan(fresh)) {
      g.name = "g";
      const std::size_t arity = rng() % 50 ? 1 + rng() % 2 : rng() % 4;  // now and then 0 or 3
      for (std::size_t i = 0; i < arity; ++i) g.qubits.push_back(rng() % width);
      g.duration = rng() % 200 ? pick(rng, durations) : kInf;
    }
    SCOPED_TRACE(round);
    expect_reference_windows(gates, gaps);
    if (round == 0) {  // the pieces above were many
      QuantumDAG dag = dag_of(gates);
      dag.build_schedule();
      PieceAssembler pieces(7);
      dag.find_idle_windows(0.0, pieces);
      EXPECT_GT(pieces.pieces(), 10u);
    }
  }
}

// Forward circuits with gates on three or more qubits (qubits listed twice
// included), at shares on both sides of the point past which the schedule
// stops noting their windows, and on two-qubit gates that list a qubit twice.
TEST(Timing, MatchesTheReferenceWhereWideGatesAreCommon) {
  std::mt19937_64 rng(4242);
  const std::vector<double> durations{0, 5, 35, 300, 1000};
  const std::vector<double> gaps{0.0, 1e-300, 5.0, 300.0, kInf, kNaN};
  for (const std::size_t wide_every : {3, 6, 9, 12, 20, 40, 1000}) {
    std::vector<Gate> gates(2999 + wide_every % 4);
    for (std::size_t i = 0; i < gates.size(); ++i) {
      Gate& g = gates[i];
      g.name = "g";
      // The last gate is wide, so that the search's last hits can be its.
      const std::size_t arity = i % wide_every == 0 || i + 1 == gates.size() ? 3 + rng() % 4 : 1 + rng() % 2;
      for (std::size_t k = 0; k < arity; ++k) g.qubits.push_back(rng() % 7);
      g.duration = pick(rng, durations);
    }
    SCOPED_TRACE(wide_every);
    expect_reference_windows(gates, gaps);
  }
}

// Long circuits where time steps back (negative, infinite and NaN
// durations), from every other gate to one in hundreds, so that a qubit's
// operations come in anything from a few ascending runs to hundreds, with
// starts repeated across runs (zero durations) to show the order is stable.
TEST(Timing, MatchesTheReferenceWhereTimeStepsBack) {
  std::mt19937_64 rng(9182);
  const std::vector<double> durations{0, 0, 5, 35, 300};
  const std::vector<double> odd{-20, -300, -kInf, kInf, kNaN};
  const std::vector<double> gaps{-kInf, 0.0, 5.0, 300.0, kInf};
  for (const std::size_t odd_every : {2, 5, 40, 700}) {
    std::vector<Gate> gates(4000);
    for (Gate& g : gates) {
      g.name = "g";
      const std::size_t arity = 1 + rng() % 2;
      for (std::size_t k = 0; k < arity; ++k) g.qubits.push_back(rng() % 5);
      g.duration = rng() % odd_every ? pick(rng, durations) : pick(rng, odd);
    }
    SCOPED_TRACE(odd_every);
    expect_reference_windows(gates, gaps);
  }
}

}  // namespace
}  // namespace velunq::test
