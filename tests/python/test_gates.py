"""Gate insertion, node ids and the coupling map."""

import itertools
import math

import pytest

from _velun_q import QuantumDAG


def test_ids_are_consecutive_from_zero(qd, capfd):
    assert qd.node_count() == 0
    assert [qd.add_gate("g", [i % 2], 1.0) for i in range(5)] == [0, 1, 2, 3, 4]
    assert qd.node_count() == 5
    qd.build_from_ir([("h", [0], 1.0, {})])
    capfd.readouterr()
    assert qd.add_gate("g", [0], 1.0) == 6
    assert capfd.readouterr() == ("", "")  # insertion prints nothing


@pytest.mark.parametrize("args, exported", [
    (("x", [], 10.0), ("x", [], 10.0, {})),
    (("cx", [2, 2], 5.0), ("cx", [2, 2], 5.0, {})),
    (("cx", [3, 1], 5.0), ("cx", [3, 1], 5.0, {})),
    (("", [0], -4.5), ("", [0], -4.5, {})),
    (("ρ😀", [2**64 - 1], math.inf), ("ρ😀", [2**64 - 1], math.inf, {})),
    (("rz", [0], 0.0, {"amp": 0.15}), ("rz", [0], 0.0, {"amp": 0.15})),
    (("rz", [0], 1.0, None), ("rz", [0], 1.0, {})),
    (("u", [0], 1.0, {"a": 1, "b": -0.0, "c": 2.5}), ("u", [0], 1.0, {"a": 1.0, "b": -0.0, "c": 2.5})),
])
def test_stored_as_given(qd, args, exported):
    qd.add_gate(*args)
    assert qd.get_all_nodes() == [exported]


def test_nan_duration_is_kept(qd):
    qd.add_gate("", [0], float("nan"))
    ((name, qubits, duration, params),) = qd.get_all_nodes()
    assert (name, qubits, params) == ("", [0], {})
    assert math.isnan(duration)


def test_stored_params_do_not_alias_the_argument(qd):
    params, qubits = {"amp": 0.5}, [1, 2]
    qd.add_gate("rx", qubits, 1.0, params)
    params["amp"] = 9.0
    qubits.append(3)
    assert qd.get_all_nodes() == [("rx", [1, 2], 1.0, {"amp": 0.5})]


def test_schedule_is_a_snapshot(qd):
    qd.add_gate("a", [0], 10.0)
    qd.add_gate("b", [0, 1], 5.0)
    qd.build_schedule()
    assert qd.add_gate("c", [1], 1.0) == 2
    assert [qd.get_node_schedule(i) for i in range(3)] == [(0.0, 10.0), (10.0, 15.0), None]
    qd.build_schedule()
    assert qd.get_node_schedule(2) == (15.0, 16.0)


# --- coupling map ------------------------------------------------------------
# The map is not exported, so it is observed through the pulse pass: pulses are
# first placed on qubit p; qubit q then has a window of exactly the two-pulse
# threshold, which only holds both pulses when q is not coupled to p (a coupling
# pushes q's pulses past p's and out of the window).

def _pulses_on_q(setup, p, q):
    g = QuantumDAG()
    setup(g)
    g.add_gate("hold", [100], 150.0)
    g.add_gate("g", [p, 100], 10.0)
    g.add_gate("hold", [101], 150.0)
    g.add_gate("g", [q, 101], 10.0)
    g.build_schedule()
    nodes = g.apply_dd_pass(num_qubits=3).get_all_nodes()
    pulses = [n[1][0] for n in nodes if n[0].startswith("DD_")]
    assert pulses.count(p) == 2
    return pulses.count(q)


def coupling(setup):
    """The set of ordered pairs (q, p), q != p among qubits 0..2, in the map."""
    found = set()
    for p, q in itertools.permutations(range(3), 2):
        count = _pulses_on_q(setup, p, q)
        assert count in (0, 2)
        if count == 0:
            found.add((q, p))
    return found


def calls(*edge_lists, fails=()):
    def setup(g):
        for i, edges in enumerate(edge_lists):
            if i in fails:
                with pytest.raises((TypeError, ValueError, OverflowError)):
                    g.set_coupling_map(edges)
            else:
                assert g.set_coupling_map(edges) is None
    return setup


@pytest.mark.parametrize("setup, expected", [
    (calls(), set()),
    (calls([]), set()),
    (calls([(0, 1)]), {(0, 1), (1, 0)}),
    (calls([(1, 0)], [(0, 1)], [(1, 0), (1, 0)]), {(0, 1), (1, 0)}),
    (calls([(0, 1)], [(1, 2)]), {(0, 1), (1, 0), (1, 2), (2, 1)}),
    (calls([(0, 1)], []), {(0, 1), (1, 0)}),
    (calls([(2, 2)]), set()),
    # a failing call stores none of its edges, and keeps what was there
    (calls([(0, 1), [1, 2]], fails={0}), set()),
    (calls([(0, 1), (1, 2, 3)], fails={0}), set()),
    (calls([(1, 2)], [(0, 1), (0, -1)], fails={1}), {(1, 2), (2, 1)}),
])
def test_coupling_map_accumulates(setup, expected):
    assert coupling(setup) == expected


def test_coupling_survives_gates_and_schedules():
    def setup(g):
        g.set_coupling_map([(0, 2)])
        g.add_gate("x", [7], 1.0)
        g.build_schedule()
        g.build_from_ir([])

    assert coupling(setup) == {(0, 2), (2, 0)}
