// The dynamical-decoupling pass, checked on worked examples and against a
// plain, slow reference of the pass on random circuits.
#include <algorithm>
#include <set>

#include "support.hpp"

namespace velunq::test {
namespace {

using Coupling = std::set<std::pair<Qubit, Qubit>>;

struct Placed {
  std::vector<Gate> gates;
  std::vector<std::pair<double, double>> pulse_times;  // of each pulse, in result order
  int shifts = 0;                                       // clearance moves made
  int blocked = 0;                                      // pulse lists cut short after a move
};

// The pass step by step: ordered maps, a clearance scan over every index below
// num_qubits that starts again from 0 after each move.
Placed reference_pass(const std::vector<Gate>& src, const std::map<NodeId, ScheduleEntry>& schedule,
                      const Coupling& coupling, const std::string& sequence, const PulseDurations& durations,
                      std::uint64_t num_qubits) {
  std::map<Qubit, double> pulse_ns;
  for (const auto& [q, d] : durations) pulse_ns[q] = d;
  const std::vector<const char*> pulses =
      sequence == "XY4" ? std::vector<const char*>{"DD_X", "DD_Y", "DD_X", "DD_Y"} : std::vector<const char*>{"DD_X", "DD_Y"};
  const double n = static_cast<double>(pulses.size());
  std::map<Qubit, double> busy;
  std::map<Qubit, std::vector<std::pair<double, double>>> placed;
  const auto busy_of = [&](Qubit q) { return busy.count(q) ? busy[q] : 0.0; };
  Placed out;
  for (NodeId k = 0; k < src.size(); ++k) {
    const auto entry = schedule.find(k);
    if (entry == schedule.end()) continue;
    const auto [S, E] = entry->second;
    for (Qubit q : src[k].qubits) {
      const double gap = S - busy_of(q);
      const double d = pulse_ns.count(q) ? pulse_ns[q] : 50.0;
      if (gap >= (n * d) * 1.5) {
        double t = busy_of(q), W = 0.0;
        for (Qubit p : src[k].qubits) W = busy_of(p) > W ? busy_of(p) : W;
        bool moved = false;
        for (const char* name : pulses) {
          if (num_qubits > 0 && !placed.empty() && !coupling.empty()) {
            for (std::uint64_t i = 0; i < num_qubits;) {
              bool hit = false;
              if (coupling.count({q, i}) && placed.count(i)) {
                for (const auto& [s, e] : placed[i]) {
                  if (t + d > s && e > t) {
                    t = e + 10.0, hit = moved = true, ++out.shifts;
                    break;
                  }
                }
              }
              i = hit ? 0 : i + 1;
            }
          }
          if (t + d > W) {
            out.blocked += moved;
            break;
          }
          out.gates.push_back(pulse(name, q, d));
          out.pulse_times.emplace_back(t, t + d);
          placed[q].emplace_back(t, t + d);
          t = t + (d + 10.0);
        }
      }
      busy[q] = S;
    }
    out.gates.push_back(src[k]);
    for (Qubit p : src[k].qubits) busy[p] = E;
  }
  return out;
}

struct PassInput {
  std::vector<Gate> gates{};
  Coupling coupling{};
  std::string sequence = "XY";
  PulseDurations durations{};
  std::uint64_t num_qubits = 0;
};

// Runs both the core pass and the reference on a freshly scheduled graph and
// checks that they agree; returns the reference's result.
Placed run_both(const PassInput& r) {
  QuantumDAG dag = dag_of(r.gates);
  for (auto [a, b] : r.coupling) dag.add_coupling(a, b);
  dag.build_schedule();
  Lines lines;
  const QuantumDAG result = dag.apply_dd_pass(r.sequence, r.durations, r.num_qubits, lines);
  Placed ref = reference_pass(r.gates, reference_schedule(r.gates), r.coupling, r.sequence, r.durations, r.num_qubits);
  EXPECT_EQ(exported(result), ref.gates);
  return ref;
}

using Times = std::vector<std::pair<double, double>>;

TEST(DdPass, WorkedExamples) {
  const Gate g200{"a", {0}, 200, {}}, g100{"b", {0, 1}, 100, {}};
  const struct {
    const char* what;
    PassInput run;
    std::vector<Gate> expected;
    Times times;
  } cases[] = {
      {"defaults", {{g200, g100}}, {g200, pulse("DD_X", 1, 50), pulse("DD_Y", 1, 50), g100}, {{0, 50}, {60, 110}}},
      {"XY4 needs 300 ns", {{g200, g100}, {}, "XY4"}, {g200, g100}, {}},
      {"lower-case xy4 is XY", {{g200, g100}, {}, "xy4"}, {g200, pulse("DD_X", 1, 50), pulse("DD_Y", 1, 50), g100}, {{0, 50}, {60, 110}}},
      {"XY4 plus more is XY", {{g200, g100}, {}, "XY4 "}, {g200, pulse("DD_X", 1, 50), pulse("DD_Y", 1, 50), g100}, {{0, 50}, {60, 110}}},
      {"empty text is XY", {{g200, g100}, {}, ""}, {g200, pulse("DD_X", 1, 50), pulse("DD_Y", 1, 50), g100}, {{0, 50}, {60, 110}}},
      {"other qubits' durations", {{g200, g100}, {}, "XY", {{7, 1.0}, {0, 2.0}}}, {g200, pulse("DD_X", 1, 50), pulse("DD_Y", 1, 50), g100}, {{0, 50}, {60, 110}}},
      {"gap equal to threshold", {{{"a", {0}, 150, {}}, g100}}, {{"a", {0}, 150, {}}, pulse("DD_X", 1, 50), pulse("DD_Y", 1, 50), g100}, {{0, 50}, {60, 110}}},
      {"long window, one list", {{{"a", {0}, 10000, {}}, g100}}, {{"a", {0}, 10000, {}}, pulse("DD_X", 1, 50), pulse("DD_Y", 1, 50), g100}, {{0, 50}, {60, 110}}},
      {"cut short", {{{"a", {0}, 15, {}}, g100}, {}, "XY", {{1, 5.0}}}, {{"a", {0}, 15, {}}, pulse("DD_X", 1, 5), g100}, {{0, 5}}},
      {"ends exactly at the window end", {{{"a", {0}, 30, {}}, g100}, {}, "XY", {{1, 10.0}}},
       {{"a", {0}, 30, {}}, pulse("DD_X", 1, 10), pulse("DD_Y", 1, 10), g100}, {{0, 10}, {20, 30}}},
      {"later duration wins", {{{"a", {0}, 30, {}}, g100}, {}, "XY", {{1, 1e6}, {1, 10.0}}},
       {{"a", {0}, 30, {}}, pulse("DD_X", 1, 10), pulse("DD_Y", 1, 10), g100}, {{0, 10}, {20, 30}}},
      {"empty qubit list", {{{"e", {}, 500, {}}, {"f", {}, 1, {}}}}, {{"e", {}, 500, {}}, {"f", {}, 1, {}}}, {}},
      {"repeated qubit visited twice", {{{"a", {0}, 300, {}}, {"b", {0, 1, 1}, 5, {{"t", 1}}}}},
       {{"a", {0}, 300, {}}, pulse("DD_X", 1, 50), pulse("DD_Y", 1, 50), {"b", {0, 1, 1}, 5, {{"t", 1}}}}, {{0, 50}, {60, 110}}},
      {"zero-length pulses before every node", {{{"a", {0}, 10, {}}, {"b", {0}, 10, {}}}, {}, "XY", {{0, 0.0}}},
       {pulse("DD_X", 0, 0), {"a", {0}, 10, {}}, pulse("DD_X", 0, 0), {"b", {0}, 10, {}}}, {{0, 0}, {10, 10}}},
      {"zero-length pulses 10 ns apart", {{{"a", {1}, 300, {}}, {"b", {0, 1}, 1, {}}}, {}, "XY4", {{0, 0.0}}},
       {{"a", {1}, 300, {}}, pulse("DD_X", 0, 0), pulse("DD_Y", 0, 0), pulse("DD_X", 0, 0), pulse("DD_Y", 0, 0), {"b", {0, 1}, 1, {}}},
       {{0, 0}, {10, 10}, {20, 20}, {30, 30}}},
      // Qubit 2 is coupled to 0 and 1; taking neighbour 0 first moves its pulse to 130, past the window end.
      // Qubit 1 is used first, so the order of first use is not the order of indices.
      {"neighbours scanned by ascending index",
       {{{"z", {1}, 0, {}}, {"a", {0}, 10, {}}, {"w", {3}, 160, {}}, {"v", {4}, 175, {}}, {"c", {0, 3}, 1, {}}, {"d", {1, 3}, 1, {}},
         {"e", {2, 4}, 1, {}}},
        {{0, 2}, {2, 0}, {1, 2}, {2, 1}}, "XY", {}, 3},
       {{"z", {1}, 0, {}}, {"a", {0}, 10, {}}, {"w", {3}, 160, {}}, {"v", {4}, 175, {}}, pulse("DD_X", 0, 50), pulse("DD_Y", 0, 50), {"c", {0, 3}, 1, {}},
        pulse("DD_X", 1, 50), pulse("DD_Y", 1, 50), {"d", {1, 3}, 1, {}}, {"e", {2, 4}, 1, {}}},
       {{10, 60}, {70, 120}, {0, 50}, {60, 110}}},
      // Neighbour 1 moves qubit 2's pulse onto neighbour 0's pulses, so the scan starts again from 0.
      {"scan restarts from index 0",
       {{{"a", {0}, 60, {}}, {"w", {3}, 210, {}}, {"c", {0, 3}, 1, {}}, {"d", {1, 3}, 1, {}}, {"v", {4}, 200, {}}, {"e", {2, 4}, 1, {}}},
        {{0, 2}, {2, 0}, {1, 2}, {2, 1}}, "XY", {}, 3},
       {{"a", {0}, 60, {}}, {"w", {3}, 210, {}}, pulse("DD_X", 0, 50), pulse("DD_Y", 0, 50), {"c", {0, 3}, 1, {}},
        pulse("DD_X", 1, 50), pulse("DD_Y", 1, 50), {"d", {1, 3}, 1, {}}, {"v", {4}, 200, {}}, {"e", {2, 4}, 1, {}}},
       {{60, 110}, {120, 170}, {0, 50}, {60, 110}}},
      {"NaN duration: no pulses", {{g200, g100}, {}, "XY", {{1, kNaN}}}, {g200, g100}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Placed ref = run_both(c.run);
    EXPECT_EQ(ref.gates, c.expected);
    EXPECT_EQ(ref.pulse_times, c.times);
  }
}

TEST(DdPass, NeighbourClearanceExample) {
  const std::vector<Gate> gates{{"p", {2}, 150, {}}, {"q", {1}, 20, {}}, {"r", {3}, 400, {}},
                                {"s", {0, 2}, 10, {}}, {"t", {1, 3}, 10, {}}};
  const std::vector<Gate> order{gates[0], gates[1], gates[2], pulse("DD_X", 0, 50), pulse("DD_Y", 0, 50), gates[3],
                                pulse("DD_X", 1, 50), pulse("DD_Y", 1, 50), gates[4]};
  const Times moved{{0, 50}, {60, 110}, {120, 170}, {180, 230}};
  const Times unmoved{{0, 50}, {60, 110}, {20, 70}, {80, 130}};
  for (std::uint64_t num_qubits : {2, 1, 0}) {
    const Placed ref = run_both({gates, {{0, 1}, {1, 0}}, "XY", {}, num_qubits});
    EXPECT_EQ(ref.gates, order);
    EXPECT_EQ(ref.pulse_times, num_qubits > 0 ? moved : unmoved) << num_qubits;
  }
}

// Qubit 1 holds a dense train of short pulses, one every 1.1 ns for 3300
// ns; qubit 0's 400 ns windows come later in the node order. While the train
// lasts (the first 8 windows), clearance pushes each of qubit 0's pulses out
// of its window, and the search may stop there, however much train is left;
// each of the other 32 windows takes a whole pulse list.
TEST(DdPass, ClearancePushingPulsesOutOfTheirWindows) {
  PassInput r;
  for (int k = 0; k < 3000; ++k) r.gates.insert(r.gates.end(), {{"w", {3}, 1.0, {}}, {"n", {1, 3}, 0.1, {}}});
  for (int k = 0; k < 40; ++k) r.gates.insert(r.gates.end(), {{"w", {4}, 400.0, {}}, {"q", {0, 4}, 0.1, {}}});
  r.coupling = {{0, 1}, {1, 0}};
  r.durations = {{1, 0.1}, {0, 50.0}};
  r.num_qubits = 2;
  for (const char* sequence : {"XY", "XY4"}) {
    r.sequence = sequence;
    const Placed ref = run_both(r);
    const auto on_0 = std::count_if(ref.gates.begin(), ref.gates.end(),
                                    [](const Gate& g) { return g.name.starts_with("DD_") && g.qubits[0] == 0; });
    EXPECT_EQ(ref.blocked, 8) << sequence;
    EXPECT_EQ(on_0, 32 * (sequence == std::string("XY") ? 2 : 4)) << sequence;
  }
}

// A pulse shorter than -10 ns steps the next search back in time, behind
// pulses of a long neighbour track that are old enough to be forgotten
// otherwise. Qubit 1's second pulse must still be pushed past qubit 0's
// pulse [60, 110) and qubit 2's [95, 145), out of its window.
TEST(DdPass, SearchesSteppingBackSeeEveryPulse) {
  PassInput r;
  r.gates.push_back({"b0", {1}, 115, {}});
  for (int k = 0; k < 32; ++k) {  // 64 pulses on qubit 0: enough to be trimmed
    r.gates.push_back({"h", {4}, 200, {}});
    r.gates.push_back({"a", {0, 4}, 10, {}});
  }
  r.gates.insert(r.gates.end(), {{"c0", {2}, 95, {}}, {"h3", {3}, 300, {}}, {"c1", {2, 3}, 10, {}}, {"b1", {1}, 10, {}}});
  r.coupling = {{0, 1}, {1, 0}, {1, 2}, {2, 1}};
  r.durations = {{1, -20.0}};
  r.num_qubits = 5;
  const Placed ref = run_both(r);
  EXPECT_EQ(ref.gates.end()[-2], pulse("DD_X", 1, -20));
  EXPECT_EQ(ref.gates.size(), 138u);
}

// Pulses of -10.1 ns step back by 0.0999... ns each, and three such steps
// in floating point land below busy - 3 * 0.0999...: the search bound must
// come from the same additions. Qubit 1's last pulse ends at 5150.4, just
// inside the reach of qubit 0's last search, which it pushes to 5160.4;
// qubit 2's pulses must then start after that one, leaving room for three.
TEST(DdPass, ForgetsOnlyPulsesNoSearchCanReachAfterRounding) {
  const double busy = 5150.7;
  const double list_start = 5150.4 - 230.0;
  PassInput r;
  r.gates.push_back({"g", {0}, busy, {}});
  for (Qubit i = 0; i < 15; ++i) {  // enough pulses on qubit 1 to be trimmed
    r.gates.push_back({"g", {4 + i}, 300.0 * static_cast<double>(i + 1), {}});
    r.gates.push_back({"g", {4 + i, 1}, 0, {}});
  }
  r.gates.insert(r.gates.end(), {{"g", {1}, list_start - 4500.0, {}}, {"g", {19}, list_start + 300.0, {}},
                                 {"g", {19, 1}, 0, {}}, {"g", {0}, 0, {}}, {"g", {2}, busy - 5.0, {}},
                                 {"g", {3}, busy + 118.0, {}}, {"g", {3, 2}, 0, {}}});
  r.coupling = {{0, 1}, {1, 0}, {0, 2}, {2, 0}};
  r.sequence = "XY4";
  r.durations = {{0, -10.1}, {1, 50.0}, {2, 20.0}};
  r.num_qubits = 3;
  const Placed ref = run_both(r);
  EXPECT_EQ(std::count(ref.gates.begin(), ref.gates.end(), pulse("DD_X", 2, 20)) +
                std::count(ref.gates.begin(), ref.gates.end(), pulse("DD_Y", 2, 20)),
            3);
}

TEST(DdPass, LeavesTheReceiverAloneAndReportsProgress) {
  QuantumDAG dag = dag_of({{"a", {0}, 200, {{"k", 1}}}, {"b", {0, 1}, 100, {}}});
  dag.add_coupling(0, 1);
  Lines lines;
  EXPECT_EQ(dag.apply_dd_pass("XY", {}, 2, lines).node_count(), 0u);  // never scheduled
  dag.build_schedule();
  add(dag, {"late", {1}, 1, {}});
  const auto before = exported(dag);
  const QuantumDAG result = dag.apply_dd_pass("XY", {{1, 5.0}}, 2, lines);
  EXPECT_EQ(exported(result), (std::vector<Gate>{before[0], pulse("DD_X", 1, 5), pulse("DD_Y", 1, 5), before[1]}));
  EXPECT_EQ(lines.lines, (std::vector<std::string>{
                             "\U0001F980 [Core] Starting apply_dd_pass with 2 nodes...\n",
                             "\U0001F980 [Core] apply_dd_pass finished! Optimized DAG contains 0 nodes.\n",
                             "\U0001F980 [Core] Starting apply_dd_pass with 3 nodes...\n",
                             "\U0001F980 [Core] apply_dd_pass finished! Optimized DAG contains 4 nodes.\n"}));
  EXPECT_EQ(exported(dag), before);
  EXPECT_EQ(dag.scheduled_count(), 2u);
  EXPECT_EQ(dag.coupling_pairs().size(), 2u);
  EXPECT_EQ(result.scheduled_count(), 0u);
  EXPECT_TRUE(result.coupling_pairs().empty());
}

TEST(DdPass, AllPulsesShareOneCopyOfTheirParameters) {
  // Pulses on several qubits and in several windows; the sources have one
  // parameter each. The 16 pulses hold one copy of their three parameters
  // between them, not one each.
  std::vector<Gate> gates;
  for (Qubit q = 1; q <= 2; ++q) {
    for (int k = 0; k < 2; ++k) {
      gates.push_back({"long", {0}, 10000, {{"k", 1}}});
      gates.push_back({"sync", {0, q}, 10, {{"k", 2}}});
    }
  }
  QuantumDAG dag = dag_of(gates);
  dag.build_schedule();
  Lines lines;
  const QuantumDAG result = dag.apply_dd_pass("XY4", {}, 0, lines);
  EXPECT_EQ(result.node_count(), gates.size() + 16);
  EXPECT_EQ(result.store().param_pool_size(), gates.size() + 3);
}

TEST(DdPass, TheResultKeepsNoRoomPastItsNodes) {
  // Room is made for as many pulses as nodes; a result may be kept long, so
  // whatever the pass did not fill, or grew past, is given back.
  std::vector<Gate> busy;  // no idle time: no pulse fits
  for (int i = 0; i < 100; ++i) busy.push_back({"x", {0}, 35, {}});
  std::vector<Gate> idle;  // more pulses than nodes
  for (Qubit q = 1; q <= 4; ++q) idle.push_back({"long", {0}, 10000, {}}), idle.push_back({"sync", {0, q}, 10, {}});
  Lines lines;
  for (const auto& gates : {busy, idle}) {
    QuantumDAG dag = dag_of(gates);
    dag.build_schedule();
    const QuantumDAG result = dag.apply_dd_pass("XY4", {}, 0, lines);
    EXPECT_EQ(result.node_count(), gates == busy ? busy.size() : idle.size() + 16);
    EXPECT_EQ(result.store().node_capacity(), result.node_count());
  }
}

TEST(DdPass, MatchesTheReferenceOnRandomCircuits) {
  std::mt19937_64 rng(77);
  const std::vector<double> pulse_choices{0, 5, 10, 15, 20, 25, 40, 50, -5, kInf, -kInf, kNaN};
  const std::vector<Qubit> qubits{0, 1, 2, 3, 4, 5, 6, 0, 1, 2, 3, 4, 5, 6, Qubit{1} << 20, kMaxQubit};
  const std::vector<std::string> sequences{"XY", "XY4", "XY4", "xy4", ""};
  int shifts = 0, blocked = 0, pulses = 0;
  for (int round = 0; round < 4000; ++round) {
    PassInput r;
    r.gates = random_gates(rng, 1 + rng() % 14);
    for (int i = rng() % 16; i > 0; --i) r.coupling.insert({pick(rng, qubits), pick(rng, qubits)});
    for (auto [a, b] : Coupling(r.coupling)) r.coupling.insert({b, a});
    for (int i = rng() % 6; i > 0; --i) r.durations.emplace_back(pick(rng, qubits), pick(rng, pulse_choices));
    r.sequence = pick(rng, sequences);
    r.num_qubits = rng() % 9;
    // Gates added after the schedule are left out; give the core and the reference both.
    QuantumDAG dag = dag_of(r.gates);
    for (auto [a, b] : r.coupling) dag.add_coupling(a, b);
    dag.build_schedule();
    const auto schedule = reference_schedule(r.gates);
    std::vector<Gate> all = r.gates;
    for (int late = rng() % 3 == 0 ? 2 : 0; late > 0; --late) {
      all.push_back({"late", {rng() % 3}, 1.0, {}});
      add(dag, all.back());
    }
    Lines lines;
    const QuantumDAG result = dag.apply_dd_pass(r.sequence, r.durations, r.num_qubits, lines);
    const Placed ref = reference_pass(all, schedule, r.coupling, r.sequence, r.durations, r.num_qubits);
    ASSERT_EQ(exported(result), ref.gates) << "round " << round;
    EXPECT_EQ(exported(dag), all);
    shifts += ref.shifts, blocked += ref.blocked, pulses += static_cast<int>(ref.pulse_times.size());
  }
  // The circuits must reach the clearance moves, including moves that push a pulse out of its window.
  EXPECT_GT(pulses, 2000);
  EXPECT_GT(shifts, 200);
  EXPECT_GT(blocked, 20);
}

TEST(DdPass, MatchesTheReferenceOnWideGates) {
  // Gates across many qubits, listing some of them twice, between narrow
  // ones: the window end of a visit counts the qubits visited earlier in the
  // node at its start, and the others at their busy time before it.
  std::mt19937_64 rng(2027);
  const std::vector<double> durations{0, 5, 10, 35, 50, 100, 300, 1000, -40, kInf, kNaN};
  const std::vector<double> pulse_choices{0, 5, 10, 20, 50, -15, kNaN};
  int pulses = 0;
  for (int round = 0; round < 400; ++round) {
    PassInput r;
    const Qubit width = 6 + rng() % 20;
    for (std::size_t i = 20 + rng() % 60; i > 0; --i) {
      Gate g{"g", {rng() % width}, pick(rng, durations), {}};
      const std::size_t more = rng() % 4 == 0 ? 8 + rng() % 30 : rng() % 2;
      for (std::size_t j = 0; j < more; ++j) g.qubits.push_back(rng() % width);
      if (rng() % 4 == 0) g.duration = 10.0 * static_cast<double>(rng() % 40);
      r.gates.push_back(g);
    }
    for (Qubit a = 0; a + 1 < width; ++a) r.coupling.insert({a, a + 1}), r.coupling.insert({a + 1, a});
    for (Qubit q = 0; q < width; ++q) r.durations.emplace_back(q, rng() % 3 ? 5.0 : pick(rng, pulse_choices));
    r.sequence = rng() % 2 ? "XY4" : "XY";
    r.num_qubits = rng() % 2 ? width : 0;
    pulses += static_cast<int>(run_both(r).pulse_times.size());
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(pulses, 20000);
}

TEST(DdPass, MatchesTheReferenceOnLongCircuits) {
  // Long runs of pulses on densely coupled qubits, so that a neighbour's pulse
  // list grows long and later searches start far from its ends. In half the
  // circuits a rare negative or NaN duration sends a qubit back in time, and
  // a search backwards, so that pulse lists fall into many sorted runs; in the
  // other half time only moves forward, and pulses that no search can reach
  // any more are forgotten.
  std::mt19937_64 rng(4099);
  const std::vector<double> durations{0, 5, 10, 20, 35, 50, 60, 100, 150, 300};
  const std::vector<double> backward_durations{-40, -40, -400, kNaN};
  const std::vector<double> pulse_choices{5, 10, 15, 20, 25, 40};
  int shifts = 0, pulses = 0;
  for (int round = 0; round < 300; ++round) {
    PassInput r;
    const Qubit width = 2 + rng() % 5;
    const bool backwards = round % 2 == 1;
    for (std::size_t i = backwards ? 100 + rng() % 300 : 500 + rng() % 1500; i > 0; --i) {
      Gate g{"g", {rng() % width}, pick(rng, durations), {}};
      if (rng() % 3 == 0) g.qubits.push_back(rng() % width);
      if (backwards && rng() % 60 == 0) g.duration = pick(rng, backward_durations);
      r.gates.push_back(g);
    }
    for (Qubit a = 0; a < width; ++a)
      for (Qubit b = a + 1; b < width; ++b)
        if (rng() % 3) r.coupling.insert({a, b}), r.coupling.insert({b, a});  // the graph keeps both
    for (Qubit q = 0; q < width; ++q) r.durations.emplace_back(q, pick(rng, pulse_choices));
    // A pulse below -10 ns steps its qubit's next search back; one above
    // that is reversed (ends before it starts) but keeps searches moving on.
    if (rng() % 8 == 0) r.durations.front().second = rng() % 2 ? -15.0 : -5.0;
    r.sequence = rng() % 2 ? "XY4" : "XY";
    r.num_qubits = 1 + rng() % width;
    const Placed ref = run_both(r);
    if (HasFatalFailure()) return;
    shifts += ref.shifts, pulses += static_cast<int>(ref.pulse_times.size());
  }
  EXPECT_GT(pulses, 20000);
  EXPECT_GT(shifts, 2000);
}

TEST(DdPass, MatchesTheReferenceWhereTimeOftenStepsBack) {
  // Frequent negative and NaN durations send qubits back in time again and
  // again, so that a neighbour's pulse list falls into hundreds of sorted
  // runs: enough for the search to group runs into blocks, and those blocks
  // into larger ones.
  std::mt19937_64 rng(8191);
  const std::vector<double> durations{0, 10, 35, 50, 100, 300};
  const std::vector<double> backward_durations{-60, -400, -5000, kNaN};
  const std::vector<double> pulse_choices{5, 10, 20, 35};
  std::size_t most_runs = 0;
  int shifts = 0;
  for (int round = 0; round < 6; ++round) {
    PassInput r;
    const Qubit width = 2 + round % 3;
    for (int i = 0; i < 8000; ++i) {
      Gate g{"g", {rng() % width}, pick(rng, durations), {}};
      if (rng() % 3 == 0) g.qubits.push_back(rng() % width);
      if (rng() % 4 == 0) g.duration = pick(rng, backward_durations);
      r.gates.push_back(g);
    }
    for (Qubit a = 0; a < width; ++a)
      for (Qubit b = a + 1; b < width; ++b) r.coupling.insert({a, b}), r.coupling.insert({b, a});
    for (Qubit q = 0; q < width; ++q) r.durations.emplace_back(q, pick(rng, pulse_choices));
    r.sequence = round % 2 ? "XY4" : "XY";
    r.num_qubits = width;
    const Placed ref = run_both(r);
    if (HasFatalFailure()) return;
    shifts += ref.shifts;
    // A pulse that starts or ends before the one placed last on its qubit
    // opens a new run there.
    std::map<Qubit, std::pair<double, double>> last;
    std::map<Qubit, std::size_t> runs;
    std::size_t k = 0;
    for (const Gate& g : ref.gates) {
      if (g.name != "DD_X" && g.name != "DD_Y") continue;
      const auto [start, end] = ref.pulse_times[k++];
      const Qubit q = g.qubits[0];
      const auto seen = last.find(q);
      if (seen == last.end() || start < seen->second.first || end < seen->second.second) ++runs[q];
      last[q] = {start, end};
      most_runs = std::max(most_runs, runs[q]);
    }
  }
  EXPECT_GT(most_runs, 300u);
  EXPECT_GT(shifts, 1000);
}

TEST(DdPass, MatchesTheReferenceAroundHubs) {
  // One to three hubs, each coupled to 64 or more qubits (sometimes several
  // hundred), on a device that is otherwise a sparse line: a hub searches its
  // neighbours block by block, passing over blocks and groups of blocks whose
  // pulses all end before the search starts or start after it ends. Some
  // devices have twenty hubs over the same leaves.
  std::mt19937_64 rng(8191);
  const std::vector<double> durations{0, 10, 35, 50, 100, 300, 1000, 0.3, 7.7, 61.1};
  const std::vector<double> odd_durations{-40, -400, kNaN, kInf, -kInf, 1e15};
  const std::vector<double> pulse_choices{5, 10, 20, 35, 50, 12.9};
  const std::vector<double> odd_pulses{0, -5, -15, 1e6, kInf, -kInf, kNaN};
  int shifts = 0, hub_pulses = 0;
  for (int round = 0; round < 60; ++round) {
    PassInput r;
    const Qubit leaves = round % 4 == 3 ? 300 + rng() % 300 : 64 + rng() % 80;
    const Qubit hubs = round % 10 == 9 ? 20 : 1 + rng() % 3;  // qubits 0 .. hubs - 1
    for (Qubit h = 0; h < hubs; ++h)
      for (Qubit q = hubs; q < hubs + leaves; ++q)
        if (rng() % 8 != 0 || h == 0) r.coupling.insert({h, q}), r.coupling.insert({q, h});
    for (Qubit q = hubs; q + 1 < hubs + leaves; ++q) r.coupling.insert({q, q + 1}), r.coupling.insert({q + 1, q});
    const bool odd = round % 3 == 0;
    // Half the circuits sweep across the leaves, so that most of a hub's
    // neighbours have only old pulses when it searches.
    const bool sweeping = round % 2 == 1;
    for (std::size_t i = 300 + rng() % 600; i > 0; --i) {
      const Qubit leaf = hubs + (sweeping ? (i / 2 + rng() % 24) : rng()) % leaves;
      Gate g{"g", {leaf}, pick(rng, durations), {}};
      if (rng() % 3 == 0) g.qubits.push_back(rng() % hubs);
      if (odd && rng() % 50 == 0) g.duration = pick(rng, odd_durations);
      r.gates.push_back(g);
    }
    for (Qubit q = 0; q < hubs + leaves; ++q) r.durations.emplace_back(q, pick(rng, pulse_choices));
    if (rng() % 4 == 0) r.durations[rng() % r.durations.size()].second = pick(rng, odd_pulses);
    r.sequence = rng() % 2 ? "XY4" : "XY";
    // Sometimes the scan stops short of part of a hub's neighbours.
    r.num_qubits = rng() % 4 == 0 ? 40 + rng() % 60 : 1000;
    const Placed ref = run_both(r);
    if (HasFatalFailure()) return;
    shifts += ref.shifts;
    for (std::size_t i = 0; i < ref.gates.size(); ++i) {
      hub_pulses += ref.gates[i].name.starts_with("DD_") && ref.gates[i].qubits[0] < hubs;
    }
  }
  EXPECT_GT(hub_pulses, 500);
  EXPECT_GT(shifts, 2000);
}

// Seventeen hubs of 64 leaves each share connector 0. The hubs lie beyond
// num_qubits, so the connector lists none of them, and only sixteen may
// record its pulses in their blocks; the seventeenth has to look at the
// connector's track itself: its pulses [0, 50) and [60, 110) push that hub's
// 40 ns pulse in [0, 150) to 120, out of the window.
TEST(DdPass, HubsLookAtNeighboursTheyDoNotRecord) {
  PassInput r;
  const Qubit z = 1 << 20;  // qubits beyond the leaves
  const auto hub = [&](Qubit h) { return z + 1 + h; };
  for (Qubit h = 1; h <= 17; ++h) {
    for (Qubit k = 0; k < 64; ++k) {
      const Qubit leaf = 100 + 64 * h + k;
      r.gates.push_back({"g", {leaf}, 1.0, {}});
      r.coupling.insert({hub(h), leaf}), r.coupling.insert({leaf, hub(h)});
    }
    if (h < 17) r.gates.push_back({"g", {hub(h)}, 1.0, {}});
    r.coupling.insert({hub(h), 0}), r.coupling.insert({0, hub(h)});
  }
  r.gates.insert(r.gates.end(), {{"w", {z}, 200.0, {}}, {"c", {0, z}, 0.0, {}},  // connector idle [0, 200)
                                 {"w", {z + 1}, 150.0, {}}, {"h", {hub(17), z + 1}, 0.0, {}}});  // idle [0, 150)
  r.durations = {{hub(17), 40.0}};
  r.num_qubits = z;
  const Placed ref = run_both(r);
  EXPECT_EQ(ref.pulse_times, (std::vector<std::pair<double, double>>{{0, 50}, {60, 110}}));
  EXPECT_EQ(ref.blocked, 1);
}

// Hub 0 has 600 leaves, each with pulses [0, 50) and [60, 110); leaf 360
// also has [5000, 5050) and [5060, 5110). The hub's search from 300 finds
// nothing and makes its records again without the pulses that ended by then;
// they must still hold leaf 360's, which pushes the hub's pulse in
// [4990, 5150) out of the window. Leaf 360 sits in the second half of the
// one group of 256 entries that lies wholly within the hub's list (entries
// 600 to 1199, after one entry of each leaf).
TEST(DdPass, HubsRemakeRecordsWithoutPulsesLongPast) {
  PassInput r;
  const Qubit z = 1 << 20;  // qubits beyond the leaves
  r.gates.push_back({"w", {z}, 200.0, {}});
  for (Qubit q = 1; q <= 600; ++q) {
    r.gates.push_back({"a", {q, z}, 0.0, {}});  // idle [0, 200)
    r.coupling.insert({0, q}), r.coupling.insert({q, 0});
  }
  r.gates.insert(r.gates.end(), {{"g", {360}, 4800.0, {}}, {"w", {z + 1}, 5200.0, {}},
                                 {"b", {360, z + 1}, 0.0, {}},  // leaf 360 idle [5000, 5200)
                                 {"h", {0}, 300.0, {}}, {"w", {z + 2}, 600.0, {}},
                                 {"c", {0, z + 2}, 0.0, {}},  // hub idle [300, 600)
                                 {"h", {0}, 4390.0, {}}, {"w", {z + 3}, 5150.0, {}},
                                 {"d", {0, z + 3}, 0.0, {}}});  // hub idle [4990, 5150)
  r.num_qubits = 601;
  const Placed ref = run_both(r);
  EXPECT_EQ(ref.pulse_times.size(), 2 * 600u + 2 + 2);
  EXPECT_EQ(ref.blocked, 1);
}

TEST(DdPass, MatchesTheReferenceAroundStarModules) {
  // Seventeen or more hubs, each with its own leaves, all coupled to one
  // connector and sometimes to one another. Hubs listed by many hubs, and
  // the connector where the hubs lie beyond num_qubits (so that it lists
  // none of them), are watched by too many block searches: later hubs search
  // their tracks directly, or keep the plain search.
  std::mt19937_64 rng(65537);
  const std::vector<double> durations{0, 10, 35, 50, 100, 300, 1000, 7.7};
  const std::vector<double> pulse_choices{5, 10, 20, 35, 50, 12.9, -15, 0};
  int shifts = 0;
  for (int round = 0; round < 6; ++round) {
    PassInput r;
    const Qubit hubs = 17 + rng() % 3;  // hub(1) .. hub(hubs); 0 is the connector
    const Qubit per_hub = 64 + rng() % 8;
    const bool beyond = round % 3 == 2;  // leaves first, then the hubs
    const auto hub = [&](Qubit h) { return beyond ? hubs * per_hub + h : h; };
    const auto leaf = [&](Qubit h, Qubit k) { return (beyond ? 1 : hubs + 1) + (h - 1) * per_hub + k; };
    for (Qubit h = 1; h <= hubs; ++h) {
      r.coupling.insert({hub(h), 0}), r.coupling.insert({0, hub(h)});
      for (Qubit k = 0; k < per_hub; ++k) {
        r.coupling.insert({hub(h), leaf(h, k)}), r.coupling.insert({leaf(h, k), hub(h)});
        r.gates.push_back({"g", {leaf(h, k)}, 1.0, {}});
      }
      if (round % 2 == 1)
        for (Qubit g = 1; g < h; ++g) r.coupling.insert({hub(h), hub(g)}), r.coupling.insert({hub(g), hub(h)});
    }
    for (std::size_t i = 1500; i > 0; --i) {
      const Qubit h = 1 + rng() % hubs;
      switch (rng() % 4) {
        case 0: r.gates.push_back({"g", {leaf(h, rng() % per_hub)}, pick(rng, durations), {}}); break;
        case 1: r.gates.push_back({"g", {hub(h), leaf(h, rng() % per_hub)}, pick(rng, durations), {}}); break;
        case 2: r.gates.push_back({"g", {hub(h), 0}, pick(rng, durations), {}}); break;
        default: r.gates.push_back({"g", {rng() % 2 ? hub(h) : Qubit{0}}, pick(rng, durations), {}}); break;
      }
    }
    const Qubit top = std::max(hub(hubs), leaf(hubs, per_hub - 1));
    for (Qubit q = 0; q <= top; ++q) r.durations.emplace_back(q, pick(rng, pulse_choices));
    r.sequence = rng() % 2 ? "XY4" : "XY";
    r.num_qubits = leaf(hubs, per_hub - 1) + 1;
    const Placed ref = run_both(r);
    if (HasFatalFailure()) return;
    shifts += ref.shifts;
  }
  EXPECT_GT(shifts, 1000);
}

// Hub 0 has hundreds or thousands of neighbours, and searches them by
// blocks of entries that start mid-block and cross groups at every level. In
// its window [0, 150), its 50 ns pulse is moved past qubit a's pulses
// [0, 40) and [50, 90) to 100, where it ends exactly at the window end: that
// is no reason to stop, as qubit b's pulse [110, 150) still overlaps it and
// moves it out. a and b take every place in the shorter list, and places
// all along the longer one.
TEST(DdPass, HubsFindTheOverlappingNeighbourWhereverItSits) {
  const auto check = [](Qubit leaves, Qubit a) {
    const Qubit b = a % leaves + 1;
    const Qubit z = 1 << 20;  // qubits beyond the leaves
    PassInput r;
    for (Qubit q = 1; q <= leaves; ++q)
      if (q != a && q != b) r.gates.push_back({"g", {q}, 1.0, {}});
    r.gates.insert(r.gates.end(), {{"w", {z}, 200.0, {}}, {"a", {a, z}, 0.0, {}},  // a idle [0, 200)
                                   {"g", {b}, 110.0, {}}, {"w", {z + 1}, 270.0, {}},
                                   {"b", {b, z + 1}, 0.0, {}},  // b idle [110, 270)
                                   {"w", {z + 2}, 150.0, {}}, {"h", {0, z + 2}, 0.0, {}}});  // hub idle [0, 150)
    for (Qubit q = 1; q <= leaves; ++q) r.coupling.insert({0, q}), r.coupling.insert({q, 0});
    r.durations = {{a, 40.0}, {b, 40.0}};
    r.num_qubits = leaves + 1;
    const Placed ref = run_both(r);
    EXPECT_EQ(ref.pulse_times.size(), 4u) << leaves << " " << a;
    EXPECT_EQ(ref.blocked, 1) << leaves << " " << a;
  };
  for (Qubit a = 1; a <= 300 && !HasFailure(); ++a) check(300, a);
  for (Qubit a = 1; a <= 5000 && !HasFailure(); a += 97) check(5000, a);
  // The 5000-entry list starts at entry 5000 (after one entry of each other
  // leaf, a and b), so it crosses from one group of 4096 entries to the next
  // at leaf 3193.
  for (Qubit a = 3190; a <= 3195 && !HasFailure(); ++a) check(5000, a);
}

TEST(DdPass, MatchesTheReferenceOnDenselyCoupledDevices) {
  // Many neighbours per qubit, where the pass first asks a coarse record of
  // pulse times which neighbours can overlap at all. Qubit indices are
  // scattered, so that the order of first use differs from the scan's; some
  // devices need more than 64 bits per record. Times that the record cannot
  // hold (negative, infinite, NaN, huge) and pulses of every sign and size
  // must change nothing.
  {
    // A pulse of infinite length on qubit 0 lies beyond every bucket, yet
    // qubit 2's pulses at 0.0 overlap it and must move (to infinity, so
    // that none is placed).
    PassInput r;
    r.gates = {{"g", {1}, kInf, {}}, {"g", {0, 1}, 10.0, {}}, {"g", {3}, 200.0, {}}, {"g", {2, 3}, 10.0, {}}};
    for (Qubit q = 4; q < 9; ++q) r.gates.push_back({"g", {q}, 10.0, {}});  // each qubit has 8 neighbours
    for (Qubit a = 0; a < 9; ++a)
      for (Qubit b = 0; b < 9; ++b)
        if (a != b) r.coupling.insert({a, b});
    r.durations = {{0, kInf}, {2, 20.0}};
    r.num_qubits = 9;
    const Placed ref = run_both(r);
    EXPECT_EQ(ref.pulse_times.size(), 2u);  // both on qubit 0
    EXPECT_EQ(ref.shifts, 1);
  }
  std::mt19937_64 rng(131071);
  const std::vector<double> durations{0, 5, 10, 20, 35, 50, 60, 100, 150, 300, 1000};
  const std::vector<double> odd_durations{-40, -400, kNaN, kInf, -kInf, 1e15, -0.0};
  const std::vector<double> pulse_choices{5, 10, 15, 20, 25, 40};
  const std::vector<double> odd_pulses{0, -5, -15, 1e6, 1e-300, kInf, -kInf, kNaN};
  int shifts = 0, pulses = 0;
  for (int round = 0; round < 80; ++round) {
    PassInput r;
    const bool wide = round % 5 == 4;
    std::vector<Qubit> device;
    for (std::size_t n = wide ? 70 + rng() % 30 : 9 + rng() % 16; device.size() < n;) {
      const Qubit q = rng() % 300;
      if (std::find(device.begin(), device.end(), q) == device.end()) device.push_back(q);
    }
    const bool odd = round % 3 == 0;
    for (std::size_t i = 300 + rng() % 900; i > 0; --i) {
      Gate g{"g", {pick(rng, device)}, pick(rng, durations), {}};
      if (rng() % 3 == 0) g.qubits.push_back(pick(rng, device));
      if (odd && rng() % 50 == 0) g.duration = pick(rng, odd_durations);
      r.gates.push_back(g);
    }
    const unsigned density = wide ? 4 : 8;  // in tenths
    for (Qubit a : device)
      for (Qubit b : device)
        if (a < b && rng() % 10 < density) r.coupling.insert({a, b}), r.coupling.insert({b, a});
    for (Qubit q : device) r.durations.emplace_back(q, pick(rng, pulse_choices));
    if (rng() % 4 == 0) r.durations[rng() % device.size()].second = pick(rng, odd_pulses);
    r.sequence = rng() % 2 ? "XY4" : "XY";
    r.num_qubits = rng() % 4 == 0 ? 100 + rng() % 200 : 301;
    const Placed ref = run_both(r);
    if (HasFatalFailure()) return;
    shifts += ref.shifts, pulses += static_cast<int>(ref.pulse_times.size());
  }
  EXPECT_GT(pulses, 20000);
  EXPECT_GT(shifts, 5000);
}

}  // namespace
}  // namespace velunq::test
