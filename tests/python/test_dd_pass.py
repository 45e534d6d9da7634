import random
import threading

import pytest

import _velun_q
from conftest import Index
from reference import RefDAG, mirror, same

NAN, INF = float("nan"), float("inf")
PULSE = {"amp": 0.15, "sigma": 40.0, "beta": 0.5}


def gates(*shapes):
    return [(f"g{i}", qubits, duration, {"i": float(i)}) for i, (qubits, duration) in enumerate(shapes)]


def X(q, d=50.0):
    return ("DD_X", [q], d, PULSE)


def Y(q, d=50.0):
    return ("DD_Y", [q], d, PULSE)


def run(capfd, instructions, coupling=(), **kwargs):
    """Runs the pass on the module and on the reference; both must agree."""
    g, ref = mirror(instructions, coupling)
    g.build_schedule()
    ref.build_schedule()
    capfd.readouterr()
    out = g.apply_dd_pass(**kwargs)
    expected, ref_lines = ref.apply_dd_pass(**kwargs)
    assert capfd.readouterr().out == "".join(ref_lines)
    assert same(out.get_all_nodes(), expected.get_all_nodes())
    return out.get_all_nodes(), expected.placements


def expand(instructions, export):
    """Expected export: ints pick source nodes, tuples are pulses."""
    return [instructions[e] if isinstance(e, int) else e for e in export]


W1 = gates(([0], 200.0), ([0, 1], 100.0))
LONG = gates(([0], 10000.0), ([0, 1], 10.0))
XY_AT_0 = [(1, "DD_X", 0.0, 50.0), (1, "DD_Y", 60.0, 110.0)]

CASES = [
    (W1, {}, [0, X(1), Y(1), 1], XY_AT_0),
    (W1, {"sequence": "XY4"}, [0, 1], []),
    (gates(([0], 150.0), ([0, 1], 10.0)), {}, [0, X(1), Y(1), 1], XY_AT_0),
    (gates(([0], 149.999), ([0, 1], 10.0)), {}, [0, 1], []),
    (LONG, {}, [0, X(1), Y(1), 1], XY_AT_0),
    (LONG, {"sequence": "XY4"}, [0, X(1), Y(1), X(1), Y(1), 1],
     [(1, p, s, s + 50.0) for p, s in zip(["DD_X", "DD_Y"] * 2, [0.0, 60.0, 120.0, 180.0])]),
    (gates(([0], 15.0), ([0, 1], 10.0)), {"pulse_durations": {1: 5.0}}, [0, X(1, 5.0), 1],
     [(1, "DD_X", 0.0, 5.0)]),
    (gates(([0], 30.0), ([0, 1], 10.0)), {"pulse_durations": {1: 10.0}}, [0, X(1, 10.0), Y(1, 10.0), 1],
     [(1, "DD_X", 0.0, 10.0), (1, "DD_Y", 20.0, 30.0)]),
    (W1, {"pulse_durations": {7: 1.0, 0: 100.0}}, [0, X(1), Y(1), 1], XY_AT_0),
    (W1, {"pulse_durations": {1: NAN}}, [0, 1], []),
    (W1, {"pulse_durations": {1: INF}}, [0, 1], []),
    (W1, {"pulse_durations": {1: -INF}}, [0, X(1, -INF), Y(1, -INF), 1], None),
    (W1, {"pulse_durations": {0: -5.0, 1: -5.0}},
     [X(0, -5.0), Y(0, -5.0), 0, X(0, -5.0), Y(0, -5.0), X(1, -5.0), Y(1, -5.0), 1], None),
    # zero-length pulses: one right before every node, even without idle time
    (gates(([0], 10.0), ([0], 10.0)), {"pulse_durations": {0: 0.0}}, [X(0, 0.0), 0, X(0, 0.0), 1],
     [(0, "DD_X", 0.0, 0.0), (0, "DD_X", 10.0, 10.0)]),
    (gates(([1], 100.0), ([0, 1], 1.0)), {"sequence": "XY4", "pulse_durations": {0: 0.0}},
     [0, X(0, 0.0), Y(0, 0.0), X(0, 0.0), Y(0, 0.0), 1],
     [(0, p, s, s) for p, s in zip(["DD_X", "DD_Y"] * 2, [0.0, 10.0, 20.0, 30.0])]),
    # the step to the next pulse is t + (d + 10.0); (t + d) + 10.0 would round past this window's end
    (gates(([1], 0.1), ([0], 10.499999999999998), ([0, 1], 1.0)), {"pulse_durations": {1: 0.2}},
     [0, 1, X(1, 0.2), Y(1, 0.2), 2],
     [(1, "DD_X", 0.1, 0.30000000000000004), (1, "DD_Y", 10.299999999999999, 10.499999999999998)]),
    # two keys naming one qubit: the later entry wins
    (W1, {"pulse_durations": {1: 20.0, Index(1): 30.0}}, [0, X(1, 30.0), Y(1, 30.0), 1],
     [(1, "DD_X", 0.0, 30.0), (1, "DD_Y", 40.0, 70.0)]),
    # an empty qubit list gets nothing; a repeated qubit's second visit sees no gap
    (gates(([], 5.0), ([0], 200.0), ([1, 0, 1], 10.0)), {}, [0, 1, X(1), Y(1), 2], XY_AT_0),
] + [(LONG, {"sequence": s}, [0, X(1), Y(1), 1], XY_AT_0)
     for s in ["XY", "xy4", "XY4 ", "XY44", " XY4", "", "\u00e9"]]


@pytest.mark.parametrize("instructions, kwargs, export, placements", CASES)
def test_worked_examples(capfd, instructions, kwargs, export, placements):
    got, ref_placements = run(capfd, instructions, **kwargs)
    assert same(got, expand(instructions, export))
    if placements is not None:
        assert same(ref_placements, placements)


def clearance_circuit(gate3=400.0):
    return gates(([2], 150.0), ([1], 20.0), ([3], gate3), ([0, 2], 10.0), ([1, 3], 10.0))


SHIFTED = [(0, "DD_X", 0.0, 50.0), (0, "DD_Y", 60.0, 110.0), (1, "DD_X", 120.0, 170.0), (1, "DD_Y", 180.0, 230.0)]
UNSHIFTED = SHIFTED[:2] + [(1, "DD_X", 20.0, 70.0), (1, "DD_Y", 80.0, 130.0)]


@pytest.mark.parametrize("gate3, num_qubits, coupling, placements", [
    (400.0, 0, [(0, 1)], UNSHIFTED), (400.0, 1, [(0, 1)], SHIFTED), (400.0, 2, [(0, 1)], SHIFTED),
    (400.0, 2**64 - 1, [(0, 1)], SHIFTED), (400.0, 2, [], UNSHIFTED), (400.0, 2, [(0, 3), (1, 1)], UNSHIFTED),
    # shorter windows on qubit 1 show where its pulses went
    (200.0, 0, [(0, 1)], UNSHIFTED), (200.0, 1, [(0, 1)], SHIFTED[:3]),
    (170.0, 0, [(0, 1)], UNSHIFTED), (170.0, 2, [(1, 0)], SHIFTED[:3]),
])
def test_neighbour_clearance(capfd, gate3, num_qubits, coupling, placements):
    instructions = clearance_circuit(gate3)
    if num_qubits < 100:
        got, ref_placements = run(capfd, instructions, coupling, num_qubits=num_qubits)
        assert same(ref_placements, placements)
    else:  # too many indices for the literal scan: compare with a count that covers all qubits
        g, _ = mirror(instructions, coupling)
        g.build_schedule()
        got = g.apply_dd_pass(num_qubits=num_qubits).get_all_nodes()
        assert same(got, g.apply_dd_pass(num_qubits=4).get_all_nodes())

    def on(q):
        return [(p, [q], 50.0, PULSE) for qq, p, *_ in placements if qq == q]

    assert same(got, expand(instructions, [0, 1, 2, *on(0), 3, *on(1), 4]))


@pytest.mark.parametrize("instructions, coupling, kwargs, export", [
    # qubit 0 scans only indices below num_qubits: its neighbour 1 is not one of them
    (gates(([2], 200.0), ([1, 0, 2], 1.0)), [(0, 1)], {"num_qubits": 1}, [0, X(1), Y(1), X(0), Y(0), 1]),
    # neighbours are scanned in ascending index: qubit 0's DD_X lands at 40.0 and its DD_Y at 53.0; the
    # other order would put them at 50.0 and 63.0, and the DD_Y would end past the window's end at 60.0
    (gates(([3], 60.0), ([1, 2, 0, 3], 1.0)), [(0, 1), (0, 2)],
     {"pulse_durations": {1: 10.0, 2: 15.0, 0: 3.0}, "num_qubits": 4},
     [0, X(1, 10.0), Y(1, 10.0), X(2, 15.0), Y(2, 15.0), X(0, 3.0), Y(0, 3.0), 1]),
])
def test_clearance_scans_the_neighbours_it_should_in_order(capfd, instructions, coupling, kwargs, export):
    got, _ = run(capfd, instructions, coupling, **kwargs)
    assert same(got, expand(instructions, export))


E20 = 1e20  # pulses this long end at the same float from nearby starts


def stepping_back(*lists):
    """Qubit 0 runs a gate of each duration, each followed by a step back that
    closes its pulse list, so that each list is a sorted run of its own."""
    out = []
    for k, duration in enumerate(lists):
        out += [("g", [0], duration, {}), ("h", [4 + k], 3 * E20, {}), ("back", [0, 4 + k], -3 * E20, {})]
    return out


# Qubit 1 holds one endless pulse over the whole time line, so each of qubit
# 0's lists keeps just its DD_X. Qubit 2's short pulses must clear them.
ENDLESS_1 = [("g", [1], 1.5 * E20, {}), ("g", [3], 4.5 * E20, {}), ("g", [1, 3], 1.0, {})]


def searched_by_2(start, window):
    return [("g", [2], start, {}), ("g", [40], start + window, {}), ("g", [2, 40], 1.0, {})]


@pytest.mark.parametrize("instructions, coupling, kwargs, on_searcher", [
    # two of qubit 0's pulses end at one float, the second starting earlier:
    # it must open a run of its own, or a search bisecting by end misses it
    (ENDLESS_1 + stepping_back(300.0, 100.0) + searched_by_2(150.0, 90.0), [(0, 1), (0, 2)],
     {"pulse_durations": {0: E20, 1: E20, 2: 20.0}, "num_qubits": 3}, (2, [])),
    # sixteen such runs make a block; its least start is the least of all of
    # them, not of its first run by end
    (ENDLESS_1 + stepping_back(*range(300, 140, -10), -2 * E20) + searched_by_2(200.0, 100.0),
     [(0, 1), (0, 2)], {"pulse_durations": {0: E20, 1: E20, 2: 20.0}, "num_qubits": 3}, (2, [])),
    # a block whose earliest pulse starts inside the search's window, not
    # before it: qubit 1's pulse from 985 must move past all of them to 1120
    ([("b", [1], 985.0, {}), ("h2", [3], 1145.0, {}), ("a", [0], 1000.0, {}), ("h", [2], 1300.0, {})]
     + [("back", [0, 2], -300.0, {})] + [("h", [2], 300.0, {}), ("back", [0, 2], -300.0, {})] * 15
     + [("a", [0], 4000.0, {}), ("h", [2], 4300.0, {}), ("back", [0, 2], -300.0, {}),
        ("h", [2], 300.0, {}), ("back", [0, 2], -300.0, {}), ("c", [1, 3], 1.0, {})],
     [(0, 1)], {"pulse_durations": {0: 50.0, 1: 20.0}, "num_qubits": 2}, (1, [(1, "DD_X", 1120.0, 1140.0)])),
])
def test_clearance_through_runs_of_pulses_stepping_back(capfd, instructions, coupling, kwargs, on_searcher):
    _, placements = run(capfd, instructions, coupling, **kwargs)
    searcher, expected = on_searcher
    assert same([p for p in placements if p[0] == searcher], expected)


def trains(seed):
    """Qubits 0 and 1 each get a dense train of short pulses from a helper
    (2 and 3) that keeps them busy between short windows; searchers 4.. wait
    through the trains, coupled to one or both of them and to each other, and
    sometimes step back in time, so that their pulses are moved along the
    trains one pulse at a time."""
    rng = random.Random(seed)
    instructions = []
    for train, helper in ((0, 2), (1, 3)):
        gap = rng.choice([11.0, 12.0, 12.1, 15.0, 25.0])
        for _ in range(rng.randint(40, 90)):
            instructions.append(("x", [helper], gap, {}))
            instructions.append(("cx", [helper, train], rng.choice([0.1, 0.1, 0.0, 3.0]), {}))
    shape = seed % 3  # 1: a densely coupled device; 2: the first searcher also has 70 quiet neighbours
    searchers = list(range(4, 4 + (12 if shape == 1 else rng.randint(3, 12))))
    for q in searchers:
        instructions.insert(rng.randint(0, len(instructions) // 3), ("x", [q], 0.1, {}))
        if q == 4:  # waits until well past both trains
            instructions += [("cx", [2, 3], 600.0, {}), ("ccx", [q, 2, 3], 35.0, {})]
        else:  # waits as long as a helper is busy at that point
            instructions.insert(rng.randint(len(instructions) // 3, len(instructions)),
                                ("cx", [q, rng.choice([2, 3])], 35.0, {}))
        if rng.random() < 0.2:
            instructions.append(("cx", [q, 2], -rng.choice([300.0, 900.0]), {}))  # back in time
            instructions.append(("x", [q], 1.0, {}))
    coupling = [(q, rng.choice([0, 1])) for q in searchers] + [(q, 1) for q in searchers if rng.random() < 0.4]
    coupling += [(a, b) for a in searchers for b in searchers if a < b and (shape == 1 or rng.random() < 0.3)]
    if shape == 2:
        instructions += [("x", [q], 5.0, {}) for q in range(100, 170)]
        coupling += [(4, q) for q in range(100, 170)]
    pulses = {0: rng.choice([1.0, 0.5, 2.0]), 1: rng.choice([1.0, 3.0])}
    pulses.update({q: rng.choice([50.0, 35.0, 20.0, 9.0]) for q in searchers})
    return instructions, coupling, dict(sequence=rng.choice(["XY", "XY4"]), pulse_durations=pulses,
                                       num_qubits=170 if shape == 2 else 4 + len(searchers))


def test_clearance_walks_long_trains_of_pulses(capfd):
    walked = 0
    for seed in range(24):
        instructions, coupling, kwargs = trains(seed)
        export, placements = run(capfd, instructions, coupling, **kwargs)
        # the first searcher's first pulse was moved along a train, from 0.1 ns
        first = min(t for q, _, t, _ in placements if q == 4)
        walked += sum(q < 2 and (4, q) in coupling and t < first for q, _, t, _ in placements) >= 20
    assert walked >= 12


def test_clearance_is_off_by_default(capfd):
    g, _ = mirror(clearance_circuit(200.0), [(0, 1)])
    g.build_schedule()
    default, off, on = (g.apply_dd_pass(**kw).get_all_nodes() for kw in ({}, {"num_qubits": 0}, {"num_qubits": 1}))
    assert same(default, off) and len(default) == 9 and len(on) == 8


def test_receiver_unchanged_and_result_fresh():
    g, ref = mirror(clearance_circuit(), [(0, 1)])
    g.build_schedule()
    ref.build_schedule()
    g.add_gate("late", [0], 5.0)  # no schedule entry: left out of the result
    expected = ref.apply_dd_pass(num_qubits=2)[0].get_all_nodes()

    def state():
        return [g.get_node_schedule(i) for i in range(6)], g.find_idle_windows(0.0), g.get_all_nodes()

    before = state()
    r1 = g.apply_dd_pass("XY", None, 2)
    r2 = g.apply_dd_pass(num_qubits=2, pulse_durations={})
    assert r1 is not g and r1 is not r2 and same(state(), before) and g.node_count() == 6
    # same call, same result; the second call still sees the receiver's coupling
    assert same(r1.get_all_nodes(), expected) and same(r2.get_all_nodes(), expected)
    assert all(r1.get_node_schedule(i) is None for i in range(10)) and r1.find_idle_windows(-INF) == []
    r1.build_schedule()
    assert r1.get_node_schedule(8) is not None and r1.add_gate("x", [0], 1.0) == 9


def test_each_exported_pulse_has_a_dict_of_its_own(capfd):
    g, _ = mirror(LONG, ())
    g.build_schedule()
    r = g.apply_dd_pass("XY4")
    pulses = r.get_all_nodes()[1:5]
    assert [p[0] for p in pulses] == ["DD_X", "DD_Y"] * 2 and len({id(p[3]) for p in pulses}) == 4
    pulses[1][3]["amp"] = 0.0
    assert all(p[3] == PULSE for p in pulses[2:]) and r.get_all_nodes()[2][3] == PULSE


def test_unscheduled_graph_gives_empty_result_without_coupling(capfd):
    g, _ = mirror(clearance_circuit(200.0), [(0, 1)])
    r = g.apply_dd_pass(num_qubits=2)
    assert capfd.readouterr().out == ("\U0001F980 [Core] Starting apply_dd_pass with 5 nodes...\n"
                                      "\U0001F980 [Core] apply_dd_pass finished! Optimized DAG contains 0 nodes.\n")
    assert r.node_count() == 0 and r.get_all_nodes() == []
    # the result has no coupling: the same gates placed on it get unshifted pulses
    r.build_from_ir(g.get_all_nodes())
    for dag in (g, r):
        dag.build_schedule()
    assert g.apply_dd_pass(num_qubits=2).node_count() == 8
    assert r.apply_dd_pass(num_qubits=2).node_count() == 9


def test_result_belongs_to_calling_thread():
    g, _ = mirror(W1)
    g.build_schedule()
    r = g.apply_dd_pass()
    caught = []

    def foreign():
        try:
            r.node_count()
        except BaseException as e:  # the fault type derives from BaseException only
            caught.append(e)

    t = threading.Thread(target=foreign)
    t.start()
    t.join()
    assert [type(e).__name__ for e in caught] == ["PanicException"]
    assert not isinstance(caught[0], Exception)
    assert r.node_count() == 4 and r.apply_dd_pass().node_count() == 0
