import gc
import random
import sys

import pytest

import _velun_q
from reference import mirror, same

NAN, INF = float("nan"), float("inf")
TOP = 2**64 - 1


def gates(*shapes):
    return [("g", qubits, duration, {}) for qubits, duration in shapes]


JOIN = gates(([0], 20.0), ([1], 50.0), ([0, 1], 30.0))
CHAIN = gates(([0], 10.0), ([0], 10.0), ([0], 10.0))
# starts on qubit 0 go backwards: (0, 100), (100, -50), (0, 10); the tie at 0.0
# keeps the lower node id first
BACKWARDS = gates(([0], 100.0), ([0], -150.0), ([0], 10.0))
REPEAT = gates(([4], 10.0), ([4, 4], 10.0))
HUGE = gates(([TOP], 1.0), ([3], 1.0), ([TOP, 3], 1.0), ([2**63], 1.0), ([TOP, 2**63, 3], 1.0))

CASES = [
    (JOIN, 30.0, [(0, 20.0, 50.0)]),
    (JOIN, 30.5, []),
    (JOIN, 0.0, [(0, 20.0, 50.0), (1, 50.0, 50.0)]),
    (JOIN, NAN, []),
    (JOIN, -INF, [(0, 20.0, 50.0), (1, 50.0, 50.0)]),
    (CHAIN, 0.0, [(0, 10.0, 10.0), (0, 20.0, 20.0)]),
    (CHAIN, 1e-300, []),
    (gates(([0], 20.0), ([0, 1], 5.0)), -1e9, [(0, 20.0, 20.0)]),  # nothing before a first use
    (BACKWARDS, 0.0, [(0, 10.0, 100.0)]),
    (BACKWARDS, -100.0, [(0, 100.0, 0.0), (0, 10.0, 100.0)]),
    (REPEAT, 0.0, [(4, 10.0, 10.0)]),
    (REPEAT, -10.0, [(4, 10.0, 10.0), (4, 20.0, 10.0)]),
    (gates(([0], NAN), ([0], 5.0), ([0], INF), ([0], 1.0)), -INF, [(0, 5.0, 5.0)]),
    (gates(([0], 0.0), ([0], 0.0), ([0], 7.0)), 0.0, [(0, 0.0, 0.0), (0, 0.0, 0.0)]),
    (HUGE, 0.0, [(3, 1.0, 1.0), (3, 2.0, 2.0), (2**63, 1.0, 2.0), (TOP, 1.0, 1.0), (TOP, 2.0, 2.0)]),
]


@pytest.mark.parametrize("instructions, min_gap, expected", CASES)
def test_windows(instructions, min_gap, expected):
    g, ref = mirror(instructions)
    g.build_schedule()
    ref.build_schedule()
    got = g.find_idle_windows(min_gap)
    assert same(got, expected) and same(got, ref.find_idle_windows(min_gap))
    assert all(type(w) is tuple and len(w) == 3 and type(w[0]) is int for w in got)


@pytest.mark.parametrize("min_gap", [0.0, -1.0, -INF, NAN, 5])
def test_schedule_snapshot_decides(min_gap):
    g, _ = mirror(CHAIN)
    assert g.find_idle_windows(min_gap) == []  # never built
    g.build_schedule()
    before = g.find_idle_windows(min_gap)
    g.add_gate("late", [0], 1.0)
    g.add_gate("late", [7], 1.0)
    g.add_gate("late", [7], 1.0)
    assert same(g.find_idle_windows(min_gap), before)
    g.build_schedule()
    if min_gap == 0.0:
        assert g.find_idle_windows(0.0) == before + [(0, 30.0, 30.0), (7, 1.0, 1.0)]
    assert _velun_q.QuantumDAG().find_idle_windows(min_gap) == []


def float_places(windows):
    """How many places in the list each float object fills, after checking
    that each is held once per place and nowhere else (a float made apart
    serves as the control)."""
    floats = [x for w in windows for x in w[1:]]
    objects = {id(x): x for x in floats}
    places = dict.fromkeys(objects, 0)
    for x in floats:
        places[id(x)] += 1
    del floats, x
    control = [float("1.5") + 0.0]
    objects[0], places[0] = control[0], 1
    assert len({sys.getrefcount(x) - places[key] for key, x in objects.items()}) == 1
    return sorted(n for key, n in places.items() if key != 0)


def test_floats_shared_between_neighbours_keep_one_reference_per_place():
    # Zero-time gates make windows of length 0, each starting where the one
    # before ended; each qubit's run makes its own floats.
    g, _ = mirror(gates(([0], 5.0), ([0], 0.0), ([0], 0.0), ([0, 1], 3.0), ([1], 0.0), ([0, 1], 1.0)))
    g.build_schedule()
    windows = g.find_idle_windows(0.0)
    assert windows == [(0, 5.0, 5.0), (0, 5.0, 5.0), (0, 5.0, 5.0), (0, 8.0, 8.0), (1, 8.0, 8.0), (1, 8.0, 8.0)]
    assert float_places(windows) == [2, 4, 6]  # one float per run of equal neighbours


def test_number_tuples_behave_as_ordinary_tuples():
    # Window tuples and schedule pairs are made outside PyTuple_New: they must
    # hash, compare, slice and die like tuples Python makes, and, holding only
    # numbers, stay out of the cyclic collector.
    g, _ = mirror(JOIN)
    g.build_schedule()
    made = g.find_idle_windows(0.0) + [g.get_node_schedule(2)]
    plain = [tuple(list(t)) for t in made]
    assert made == plain == [(0, 20.0, 50.0), (1, 50.0, 50.0), (50.0, 80.0)]
    for t, p in zip(made, plain):
        assert type(t) is tuple and len(t) == len(p)
        assert hash(t) == hash(p) == hash(t)  # computed, then cached
        assert t[::-1] == p[::-1] and t + () is t and repr(t) == repr(p)
        assert not gc.is_tracked(t)
    assert {made[0]: "a"}[(0, 20.0, 50.0)] == "a"
    refs = [sys.getrefcount(t) for t in made]
    del plain
    gc.collect()
    assert [sys.getrefcount(t) for t in made] == refs


@pytest.mark.parametrize("step_back", [False, True])
def test_long_circuits_match_the_twin(step_back):
    # Long enough for the search to hand its windows over in many pieces;
    # where time steps back, in one piece whose runs had room between them.
    rng = random.Random(7)
    instructions = []
    for i in range(24000):
        duration = rng.choice((0.0, 35.0, 300.0, 1000.0))
        if step_back and i % 50 == 0:
            duration = -40.0
        instructions.append(("g", rng.sample(range(5), rng.choice((1, 1, 2))), duration, {}))
    g, ref = mirror(instructions)
    g.build_schedule()
    ref.build_schedule()
    for min_gap in (0.0, -INF, 300.0):
        got = g.find_idle_windows(min_gap)
        assert len(got) > 1000 and same(got, ref.find_idle_windows(min_gap))
        assert sum(float_places(got)) == 2 * len(got)
