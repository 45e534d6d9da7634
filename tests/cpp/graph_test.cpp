// Gate insertion, node views, the coupling map, instruction import and the Interner.
#include <random>
#include <set>

#include "support.hpp"

namespace velunq::test {
namespace {

TEST(Graph, InsertionNumbersNodesAndStoresThemUnchanged) {
  const std::vector<Gate> gates{{"x", {}, 10.0, {}},          {"cx", {2, 2}, 5.0, {}},
                                {"cx", {3, 1}, 5.0, {}},      {"", {0}, kNaN, {}},
                                {"rz", {0}, -4.0, {{"amp", 0.15}}}, {"x", {1}, kInf, {{"x", -0.0}}}};
  QuantumDAG dag;
  EXPECT_EQ(dag.node_count(), 0u);
  for (std::size_t i = 0; i < gates.size(); ++i) EXPECT_EQ(add(dag, gates[i]), i);
  EXPECT_EQ(dag.node_count(), gates.size());
  EXPECT_EQ(exported(dag), gates);
  for (NodeId id = 0; id < dag.node_count(); ++id) {
    EXPECT_EQ(dag.node(id).kind(), NodeKind::Operation);
    EXPECT_TRUE(same(dag.node(id).gate_duration_ns(), gates[id].duration));
  }
}

TEST(Graph, ParamNameGivenTwiceKeepsFirstPlaceAndLastValue) {
  QuantumDAG dag;
  add(dag, {"u", {0}, 1.0, {{"b", 1}, {"a", 2}, {"b", 3}, {"c", 4}, {"a", 5}}});
  add(dag, {"u", {0}, 1.0, {{"a", 7}, {"b", 8}, {"a", 9}}});  // positions are per node
  add(dag, {"u", {0}, 1.0, {}});
  const std::vector<Gate> expected{{"u", {0}, 1.0, {{"b", 3}, {"a", 5}, {"c", 4}}},
                                   {"u", {0}, 1.0, {{"a", 9}, {"b", 8}}},
                                   {"u", {0}, 1.0, {}}};
  EXPECT_EQ(exported(dag), expected);
}

TEST(Graph, HugeQubitIndicesRoundTripThroughNodeViews) {
  const std::vector<Qubit> big{kMaxQubit, Qubit{1} << 20, (Qubit{1} << 20) - 1, 0, Qubit{1} << 63, kMaxQubit, 5};
  QuantumDAG dag;
  add(dag, {"g", big, 1.0, {}});
  add(dag, {"h", {Qubit{1} << 63, (Qubit{1} << 20) + 1}, 2.0, {}});
  EXPECT_EQ(dag.node(0).qubits(), big);
  for (std::size_t i = 0; i < big.size(); ++i) EXPECT_EQ(dag.node(0).qubit(i), big[i]);
  EXPECT_EQ(dag.node(1).qubits(), (std::vector<Qubit>{Qubit{1} << 63, (Qubit{1} << 20) + 1}));
  dag.build_schedule();  // the large index links the two nodes
  EXPECT_EQ(dag.node_schedule(1), (ScheduleEntry{1.0, 3.0}));
}

TEST(Graph, CouplingIsSymmetricAndOnlyGrows) {
  QuantumDAG dag;
  const std::vector<std::pair<Qubit, Qubit>> edges{{0, 1}, {1, 2}, {0, 1}, {1, 0}, {5, 5}, {kMaxQubit, 3}};
  for (auto [a, b] : edges) dag.add_coupling(a, b);
  const auto& pairs = dag.coupling_pairs();
  const std::set<std::pair<Qubit, Qubit>> stored(pairs.begin(), pairs.end());
  EXPECT_EQ(pairs.size(), stored.size());
  EXPECT_EQ(stored, (std::set<std::pair<Qubit, Qubit>>{{0, 1}, {1, 0}, {1, 2}, {2, 1}, {5, 5}, {kMaxQubit, 3}, {3, kMaxQubit}}));
  for (auto [a, b] : stored) EXPECT_TRUE(dag.coupled(a, b) && dag.coupled(b, a));
  EXPECT_FALSE(dag.coupled(0, 2));
  EXPECT_FALSE(dag.coupled(1, 1));
}

// The list for `gates`, with room made first for `room` instructions.
InstructionList instructions(const std::vector<Gate>& gates, std::size_t room = 0) {
  InstructionList list;
  list.reserve(room);
  for (const Gate& g : gates) {
    list.begin();
    for (Qubit q : g.qubits) list.push_qubit(q);
    for (const auto& [k, v] : g.params) list.push_param(list.intern_name(k), v);
    list.end(list.intern_name(g.name), g.duration);
  }
  return list;
}

TEST(Graph, BuildFromIrAppendsWithConsecutiveIdsAndTwoProgressLines) {
  QuantumDAG dag;
  const Gate first{"h", {0}, 35.0, {{"x", 1.0}}};
  add(dag, first);
  dag.build_schedule();
  // Names that already exist, in another order, and a gate name reused as a parameter name.
  const std::vector<Gate> batch{{"x", {1, 1}, kNaN, {{"h", 2.0}, {"x", 3.0}, {"h", 4.0}}},
                                {"h", {}, -1.0, {}},
                                {"new", {kMaxQubit, 0}, 0.0, {{"theta", 0.25}}}};
  Lines out;
  dag.build_from_ir(instructions(batch), out);
  dag.build_from_ir(instructions({}), out);
  EXPECT_EQ(out.lines, (std::vector<std::string>{"\U0001F980 [Core] Received 3 instructions from Python.\n",
                                                 "\U0001F980 [Core] Graph memory now contains 4 nodes.\n",
                                                 "\U0001F980 [Core] Received 0 instructions from Python.\n",
                                                 "\U0001F980 [Core] Graph memory now contains 4 nodes.\n"}));
  std::vector<Gate> expected{first, batch[0], batch[1], batch[2]};
  expected[1].params = {{"h", 4.0}, {"x", 3.0}};
  EXPECT_EQ(exported(dag), expected);
  EXPECT_EQ(dag.node_count(), 4u);
  EXPECT_EQ(add(dag, first), 4u);
  // The schedule is left as it was: only node 0 has an entry.
  EXPECT_EQ(dag.scheduled_count(), 1u);
  EXPECT_FALSE(dag.node_schedule(1).has_value());

  // An export imports again unchanged.
  QuantumDAG copy;
  copy.build_from_ir(instructions(exported(dag)), out);
  EXPECT_EQ(exported(copy), exported(dag));
}

TEST(Graph, AFirstImportKeepsNoRoomItsListReservedPastItsNodes) {
  // The list was sized for far more instructions than came (a sequence's
  // length can overstate its items); the graph takes its columns as they are.
  const std::vector<Gate> gates{{"h", {0}, 35.0, {{"theta", 0.5}}}, {"cx", {0, 1}, 300.0, {}}};
  Lines out;
  QuantumDAG dag;
  dag.build_from_ir(instructions(gates, 100000), out);
  EXPECT_EQ(exported(dag), gates);
  EXPECT_EQ(dag.store().node_capacity(), gates.size());
  EXPECT_EQ(add(dag, {"x", {2}, 35.0, {}}), 2u);  // and it grows again from there
}

TEST(Graph, NamesTakenOverFromAnImportServeLaterGatesAndPasses) {
  // A fresh graph takes the import's names as they are numbered there; later
  // gates, imports and the DD result must still find them and tell a name
  // given twice in one gate.
  Lines out;
  QuantumDAG dag;
  dag.build_from_ir(instructions({{"u", {0}, 1000.0, {{"a", 1}, {"b", 2}}}, {"b", {1}, 1.0, {}}}), out);
  add(dag, {"v", {0, 1}, 2.0, {{"b", 3}, {"c", 4}, {"b", 5}}});
  add(dag, {"u", {0}, 1.0, {{"a", 6}, {"a", 7}}});
  dag.build_from_ir(instructions({{"c", {0}, 1.0, {{"u", 8}, {"a", 9}}}, {"w", {0}, 1.0, {{"w", 0}}}}), out);
  const std::vector<Gate> gates{{"u", {0}, 1000.0, {{"a", 1}, {"b", 2}}}, {"b", {1}, 1.0, {}},
                                {"v", {0, 1}, 2.0, {{"b", 5}, {"c", 4}}},   {"u", {0}, 1.0, {{"a", 7}}},
                                {"c", {0}, 1.0, {{"u", 8}, {"a", 9}}},   {"w", {0}, 1.0, {{"w", 0}}}};
  EXPECT_EQ(exported(dag), gates);

  dag.build_schedule();
  QuantumDAG result = dag.apply_dd_pass("XY", {}, 0, out);
  add(result, {"amp", {0}, 1.0, {{"amp", 1}, {"w", 2}, {"amp", 3}, {"new", 4}}});
  const std::vector<Gate> after = exported(result);
  ASSERT_EQ(after.size(), gates.size() + 3);  // one pulse pair on qubit 1, before node 2
  EXPECT_EQ(after[2], pulse("DD_X", 1, 50.0));
  EXPECT_EQ(after[4], gates[2]);
  EXPECT_EQ(after.back(), (Gate{"amp", {0}, 1.0, {{"amp", 3}, {"w", 2}, {"new", 4}}}));
  EXPECT_EQ(exported(dag), gates);  // the receiver keeps its names
  EXPECT_FALSE(dag.store().names().find(std::string_view("new")).has_value());
}

TEST(Interner, NumbersKeysInFirstAppearanceOrderThroughGrowthAndCopies) {
  Interner<std::uint64_t> numbers;
  const auto key = [](std::uint64_t i) { return i * 0x9e3779b97f4a7c15ULL; };
  for (std::uint64_t i = 0; i < 5000; ++i) {
    ASSERT_EQ(numbers.intern(key(i)), i);
    ASSERT_EQ(numbers.intern(key(i / 2)), i / 2);  // an old key keeps its number while the table grows
  }
  Interner<std::uint64_t> copy = numbers;
  EXPECT_EQ(copy.keys(), numbers.keys());
  for (std::uint64_t i = 0; i < 5000; ++i) ASSERT_EQ(copy.find(key(i)), std::optional<std::uint32_t>(i));
  EXPECT_FALSE(copy.find(key(5000)).has_value());
  EXPECT_EQ(copy.intern(key(5000)), 5000u);
  EXPECT_EQ(numbers.size(), 5000u);
  copy = Interner<std::uint64_t>();
  EXPECT_FALSE(copy.find(key(1)).has_value());

  // A key not numbered yet is not found, however full the table is.
  Interner<std::uint64_t> filling;
  for (std::uint64_t i = 0; i < 300; ++i) {
    ASSERT_FALSE(filling.find(i).has_value()) << i;
    filling.intern(i);
  }

  Interner<std::string> names;
  for (std::string_view name : {"b", "", "b", "bb"}) names.intern(name);
  EXPECT_EQ(names.keys(), (std::vector<std::string>{"b", "", "bb"}));
  EXPECT_FALSE(names.find(std::string_view("a")).has_value());
}

TEST(Interner, ForgettingTheNewestKeysLeavesTheOthersFindable) {
  Interner<std::pair<std::uint64_t, std::uint64_t>> pairs;
  const auto key = [](std::uint64_t i) { return std::pair{i % 97, i}; };
  // Forget back to points before and after the table's growth, then number
  // the forgotten keys again in another order.
  for (const std::size_t keep : {6000u, 4096u, 1000u, 0u}) {
    for (std::uint64_t i = 0; i < 6000; ++i) pairs.intern(key(i));
    pairs.forget_from(keep);
    ASSERT_EQ(pairs.size(), keep);
    for (std::uint64_t i = 0; i < 6000; ++i) {
      const auto found = pairs.find(key(i));
      ASSERT_EQ(found, i < keep ? std::optional<std::uint32_t>(i) : std::nullopt) << i;
    }
    for (std::uint64_t i = 6000; i-- > keep;) ASSERT_EQ(pairs.intern(key(i)), keep + 5999 - i);
    for (std::uint64_t i = keep; i < 6000; ++i) ASSERT_EQ(pairs.find(key(i)), std::optional<std::uint32_t>(keep + 5999 - i));
    pairs = Interner<std::pair<std::uint64_t, std::uint64_t>>();
  }
}

TEST(Interner, ForgettingKeepsEveryProbePathAcrossManyGrowths) {
  // A growth moves the keys in table order, so a newer key may come to sit
  // on an older one's probe path; forgetting it must not cut that path.
  // Filled to the brink of the next growth, the table has long runs.
  for (std::uint64_t trial = 0; trial < 24; ++trial) {
    Interner<std::uint64_t> numbers;
    const std::size_t keep = 500 + trial * 300;
    for (std::uint64_t i = 0; i < 8192; ++i) numbers.intern(i * 7919 + trial);
    numbers.forget_from(keep);
    for (std::uint64_t i = 0; i < 8192; ++i) {
      ASSERT_EQ(numbers.find(i * 7919 + trial), i < keep ? std::optional<std::uint32_t>(i) : std::nullopt) << trial;
    }
  }

  // Random names, forgotten back to random points between growths and
  // numbered again: every kept key stays findable under its number, every
  // forgotten one is gone, and a copy made on the way agrees.
  std::mt19937_64 rng(20261210);
  Interner<std::string> names;
  std::vector<std::string> kept;
  for (int round = 0; round < 40; ++round) {
    const std::size_t grow = 1 + rng() % 3000;
    for (std::size_t i = 0; i < grow; ++i) {
      std::string name = "n" + std::to_string(rng() % 20000);
      if (names.find(std::string_view(name))) continue;
      ASSERT_EQ(names.intern(std::string_view(name)), kept.size());
      kept.push_back(std::move(name));
    }
    const std::size_t keep = rng() % (kept.size() + 1);
    const std::vector<std::string> gone(kept.begin() + static_cast<std::ptrdiff_t>(keep), kept.end());
    names.forget_from(keep);
    kept.resize(keep);
    const Interner<std::string> copy = names;
    for (std::size_t i = 0; i < kept.size(); ++i) {
      ASSERT_EQ(names.find(std::string_view(kept[i])), std::optional<std::uint32_t>(i)) << round;
      ASSERT_EQ(copy.find(std::string_view(kept[i])), std::optional<std::uint32_t>(i)) << round;
    }
    for (const std::string& name : gone) ASSERT_FALSE(names.find(std::string_view(name)).has_value()) << round;
  }
}

TEST(QubitTable, ForgettingTheNewestQubitsClearsBothLookups) {
  QubitTable table;
  const std::vector<Qubit> kept{5, 1ULL << 40, 0};
  const std::vector<Qubit> dropped{7, 1ULL << 50, 70000, (1ULL << 20) - 1, 1ULL << 20};
  for (Qubit q : kept) table.intern(q);
  for (Qubit q : dropped) table.intern(q);
  table.forget_from(kept.size());
  ASSERT_EQ(table.size(), kept.size());
  for (QubitSlot slot = 0; slot < kept.size(); ++slot) {
    EXPECT_EQ(table.find(kept[slot]), std::optional<QubitSlot>(slot));
    EXPECT_EQ(table.slot(kept[slot]), slot);
  }
  for (Qubit q : dropped) EXPECT_EQ(table.find(q), std::nullopt) << q;
  // Numbered again, in another order, from where the kept ones end.
  for (std::size_t i = dropped.size(); i-- > 0;) {
    EXPECT_EQ(table.intern(dropped[i]), kept.size() + dropped.size() - 1 - i);
  }
}

TEST(QubitTable, OneLargeIndexStaysOutOfTheDirectArrayUntilTheQubitsAreDenseEnough) {
  QubitTable table;
  const Qubit far = (1ULL << 20) - 1;
  table.intern(3);
  table.intern(far);
  table.intern(70000);
  EXPECT_LE(table.direct_entries(), 4096u);
  // Dense small qubits make the array grow over the earlier ones, which must
  // then be found through it.
  for (Qubit q = 0; q < 70000; q += 1) table.intern(q);
  EXPECT_GT(table.direct_entries(), 70000u);
  EXPECT_EQ(table.size(), 70002u);
  EXPECT_EQ(table.find(3), std::optional<QubitSlot>(0));
  EXPECT_EQ(table.slot(far), 1u);
  EXPECT_EQ(table.find(70000), std::optional<QubitSlot>(2));
  EXPECT_EQ(table.slot(70000), 2u);
  EXPECT_EQ(table.find(0), std::optional<QubitSlot>(3));
  EXPECT_EQ(table.slot(69999), 70001u);
  EXPECT_EQ(table.find(70001), std::nullopt);
  EXPECT_EQ(table.find(far - 1), std::nullopt);
  table.forget_from(2);
  EXPECT_EQ(table.find(70000), std::nullopt);
  EXPECT_EQ(table.find(0), std::nullopt);
  EXPECT_EQ(table.slot(far), 1u);
  EXPECT_EQ(table.intern(69999), 2u);
}

TEST(QubitTable, TheDirectArrayGrowsToCoverTheIndexWhileDenseEnough) {
  QubitTable first;
  first.intern(64);  // needs 65 entries: the next power of two above 64
  EXPECT_EQ(first.direct_entries(), 128u);
  // 16 entries per qubit, the new one counted: 512 qubits allow 8,192.
  QubitTable dense;
  for (Qubit q = 0; q < 511; ++q) dense.intern(q);
  dense.intern(8000);
  EXPECT_EQ(dense.direct_entries(), 8192u);
  EXPECT_EQ(dense.find(8000), std::optional<QubitSlot>(511));
}

TEST(QubitTable, AQubitAtTheOldEndOfTheDirectArrayIsEnteredWhenItGrows) {
  QubitTable table;
  table.intern(4095);  // the array takes 4,096 entries
  table.intern(4096);  // one more index would double it for two qubits: hash table
  ASSERT_EQ(table.direct_entries(), 4096u);
  for (Qubit q = 0; q < 600; ++q) table.intern(q);
  table.intern(5000);  // dense enough now
  ASSERT_EQ(table.direct_entries(), 8192u);
  EXPECT_EQ(table.find(4096), std::optional<QubitSlot>(1));
  EXPECT_EQ(table.slot(4096), 1u);
  EXPECT_EQ(table.intern(4096), 1u);
  EXPECT_EQ(table.find(5000), std::optional<QubitSlot>(602));
}

TEST(NodeStore, RefusesToOutgrowItsPoolIndexAndKeepsEarlierNodesWhole) {
  // A one-byte pool index stands in for the four-byte one: 255 entries at most.
  NodeStore<QubitSlot, std::uint8_t> store;
  const NameId gate = store.intern_name("g");
  const NameId theta = store.intern_name("theta");
  const auto add = [&](std::size_t qubits, std::size_t params) {
    store.begin_node();
    for (std::size_t i = 0; i < qubits; ++i) store.push_qubit(static_cast<QubitSlot>(i));
    for (std::size_t i = 0; i < params; ++i) store.push_param(store.intern_name("p" + std::to_string(i)), 1.0);
    store.end_node(gate, 1.0);
  };
  add(200, 1);
  EXPECT_TRUE(store.pools_can_take(55, 254));
  EXPECT_FALSE(store.pools_can_take(56, 0));
  EXPECT_FALSE(store.pools_can_take(0, 255));
  add(55, 0);  // exactly full
  EXPECT_THROW(add(1, 0), std::length_error);
  ASSERT_EQ(store.size(), 2u);
  EXPECT_EQ(store.qubit_pool_size(), 255u);
  EXPECT_EQ(store.qubits(1).size(), 55u);
  add(0, 254);  // parameters fill up the same way
  EXPECT_THROW(add(0, 1), std::length_error);
  ASSERT_EQ(store.size(), 3u);
  EXPECT_EQ(store.params(2).size(), 254u);
  EXPECT_EQ(store.params(0)[0].value, 1.0);
  store.begin_node();
  store.end_node_sharing_params(gate, 2.0, 0);  // a full pool can still be shared
  EXPECT_EQ(store.params(3).size(), 1u);
  store.begin_node();
  store.push_param(theta, 2.0);
  EXPECT_THROW(store.end_node(gate, 1.0), std::length_error);
  EXPECT_EQ(store.size(), 4u);
  EXPECT_EQ(store.param_pool_size(), 255u);
}

TEST(NodeStore, SharesOneParameterRunAndCopiesAnyOther) {
  NodeStore<QubitSlot> store;
  const NameId gate = store.intern_name("g");
  const NameId a = store.intern_name("a");
  const NameId b = store.intern_name("b");
  const auto own = [&](std::vector<StoredParam> params) {
    store.begin_node();
    for (const StoredParam& p : params) store.push_param(p.name, p.value);
    store.end_node(gate, 1.0);
    return store.size() - 1;
  };
  const auto shared = [&](std::size_t other) {
    store.begin_node();
    store.push_param(b, 9.0);  // given way to the shared run
    store.end_node_sharing_params(gate, 2.0, other);
    return store.size() - 1;
  };
  const auto values = [&](std::size_t i) {
    std::vector<std::pair<NameId, double>> out;
    for (const StoredParam& p : store.params(i)) out.emplace_back(p.name, p.value);
    return out;
  };
  const std::size_t first = own({{a, 1.0}, {b, 2.0}});
  const std::size_t second = own({{a, 3.0}});
  const std::size_t s1 = shared(first);
  const std::size_t s2 = shared(s1);      // sharing a sharer: the same run
  const std::size_t copy = shared(second);  // another run: copied
  const std::size_t after = own({{b, 4.0}});
  EXPECT_EQ(store.params(s1).data(), store.params(first).data());
  EXPECT_EQ(store.params(s2).data(), store.params(first).data());
  EXPECT_NE(store.params(copy).data(), store.params(second).data());
  EXPECT_EQ(values(copy), values(second));
  EXPECT_EQ(values(after), (std::vector<std::pair<NameId, double>>{{b, 4.0}}));
  EXPECT_EQ(values(second), (std::vector<std::pair<NameId, double>>{{a, 3.0}}));
  EXPECT_EQ(store.param_pool_size(), 5u);  // 2 + 1 + the copy + 1; the given-way pushes are gone
  EXPECT_EQ(store.kind(s1), NodeKind::Operation);
  EXPECT_EQ(store.duration(s2), 2.0);
  const NodeStore<QubitSlot> copied = store;
  EXPECT_EQ(copied.params(s2).size(), 2u);
  EXPECT_EQ(copied.params(s2)[1].value, 2.0);
}

TEST(NodeStore, TruncatingDropsTheNodeBeingBuiltButNeverGrows) {
  NodeStore<QubitSlot> store;
  const NameId gate = store.intern_name("g");
  const NameId theta = store.intern_name("theta");
  for (QubitSlot q = 0; q < 3; ++q) {
    store.begin_node();
    store.push_qubit(q);
    store.push_param(theta, q);
    store.end_node(gate, 1.0 + q);
  }
  store.begin_node();
  store.push_qubit(7);
  store.push_param(theta, 7.0);
  store.truncate(10);  // past the end: only the node being built goes
  ASSERT_EQ(store.size(), 3u);
  EXPECT_EQ(store.qubit_pool_size(), 3u);
  EXPECT_EQ(store.param_pool_size(), 3u);
  store.truncate(1);
  ASSERT_EQ(store.size(), 1u);
  EXPECT_EQ(store.qubit_pool_size(), 1u);
  EXPECT_EQ(store.duration(0), 1.0);
}

}  // namespace
}  // namespace velunq::test
