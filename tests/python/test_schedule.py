import pytest

import _velun_q
from reference import mirror, same

QuantumDAG = _velun_q.QuantumDAG
NAN, INF = float("nan"), float("inf")
TOP = 2**64 - 1


def gates(*shapes):
    return [("g", qubits, duration, {}) for qubits, duration in shapes]


CASES = {
    "disjoint": (gates(([0], 20.0), ([1], 30.0)), [(0.0, 20.0), (0.0, 30.0)]),
    "join": (gates(([0], 20.0), ([1], 50.0), ([0, 1], 30.0)), [(0.0, 20.0), (0.0, 50.0), (50.0, 80.0)]),
    "chain": (gates(([0], 10.0), ([0], 10.0), ([0], 10.0)), [(0.0, 10.0), (10.0, 20.0), (20.0, 30.0)]),
    "empty qubit list": (gates(([0], 5.0), ([], 7.0), ([0], 1.0)), [(0.0, 5.0), (0.0, 7.0), (5.0, 6.0)]),
    "repeated qubit": (gates(([3], 5.0), ([3, 3], 2.0), ([3], 1.0)), [(0.0, 5.0), (5.0, 7.0), (7.0, 8.0)]),
    # the node taken last on a qubit decides, not the one ending latest
    "negative": (gates(([0], 100.0), ([0], -80.0), ([0], 1.0), ([0], -500.0), ([0], 3.0)),
                 [(0.0, 100.0), (100.0, 20.0), (20.0, 21.0), (21.0, -479.0), (0.0, 3.0)]),
    "nan": (gates(([1], 5.0), ([0], NAN), ([0, 1], 2.0), ([0], NAN), ([0], 1.0)),
            [(0.0, 5.0), (0.0, NAN), (5.0, 7.0), (7.0, NAN), (0.0, 1.0)]),
    "infinite": (gates(([0], INF), ([0], 1.0), ([1], -INF), ([1], 2.0)),
                 [(0.0, INF), (INF, INF), (0.0, -INF), (0.0, 2.0)]),
    "zero": (gates(([0], 0.0), ([0], 0.0), ([0, 1], -0.0)), [(0.0, 0.0), (0.0, 0.0), (0.0, 0.0)]),
    "huge indices": (gates(([TOP], 4.0), ([0], 1.0), ([TOP, 2**63], 2.0), ([2**63], 1.0)),
                     [(0.0, 4.0), (0.0, 1.0), (4.0, 6.0), (6.0, 7.0)]),
}


@pytest.mark.parametrize("name", CASES)
def test_worked_schedules(name):
    instructions, expected = CASES[name]
    g, ref = mirror(instructions)
    assert g.build_schedule() is None
    ref.build_schedule()
    got = [g.get_node_schedule(i) for i in range(len(instructions))]
    assert same(got, expected) and same(got, [ref.get_node_schedule(i) for i in range(len(expected))])
    assert all(type(e) is tuple and not (e[0] < 0.0) and e[0] == e[0] for e in got)
    g.build_schedule()  # rebuilding an unchanged graph gives the same entries
    assert same([g.get_node_schedule(i) for i in range(len(instructions))], got)


def test_missing_entries_and_snapshot():
    g = QuantumDAG()
    g.build_schedule()
    assert g.get_node_schedule(0) is None
    g.add_gate("a", [0], 10)
    g.add_gate("b", [0], 10)
    assert g.get_node_schedule(0) is None  # never built
    g.build_schedule()
    assert g.get_node_schedule(1) == (10.0, 20.0) and type(g.get_node_schedule(1)[0]) is float
    g.add_gate("c", [0], 5.0)
    assert g.get_node_schedule(2) is None and g.get_node_schedule(1) == (10.0, 20.0)
    assert g.get_node_schedule(TOP) is None and g.get_node_schedule(True) == (10.0, 20.0)
    g.build_schedule()
    assert [g.get_node_schedule(i) for i in range(3)] == [(0.0, 10.0), (10.0, 20.0), (20.0, 25.0)]
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError):
            g.get_node_schedule(bad)
    with pytest.raises(TypeError, match="^argument 'node_id': "):
        g.get_node_schedule(1.0)
