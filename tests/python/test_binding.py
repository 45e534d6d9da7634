"""Binding of passed arguments to parameters, and the messages of every binding failure."""

import pytest

from _velun_q import QuantumDAG
from conftest import expect

AG = "QuantumDAG.add_gate()"

BINDING_ERRORS = [
    # missing arguments: one, two and three names, given positionally or by keyword
    (lambda g: g.add_gate("h", [0]), f"{AG} missing 1 required positional argument: 'duration_ns'"),
    (lambda g: g.add_gate("h", duration_ns=1.0), f"{AG} missing 1 required positional argument: 'qubits'"),
    (lambda g: g.add_gate("h"), f"{AG} missing 2 required positional arguments: 'qubits' and 'duration_ns'"),
    (lambda g: g.add_gate(qubits=[0]), f"{AG} missing 2 required positional arguments: 'name' and 'duration_ns'"),
    (lambda g: g.add_gate(), f"{AG} missing 3 required positional arguments: 'name', 'qubits', and 'duration_ns'"),
    (lambda g: g.add_gate(params={}), f"{AG} missing 3 required positional arguments: 'name', 'qubits', and 'duration_ns'"),
    (lambda g: g.set_coupling_map(), "QuantumDAG.set_coupling_map() missing 1 required positional argument: 'edges'"),
    (lambda g: g.build_from_ir(), "QuantumDAG.build_from_ir() missing 1 required positional argument: 'instructions'"),
    (lambda g: g.get_node_schedule(), "QuantumDAG.get_node_schedule() missing 1 required positional argument: 'node_id'"),
    (lambda g: g.find_idle_windows(), "QuantumDAG.find_idle_windows() missing 1 required positional argument: 'min_gap_ns'"),
    # too many positional arguments; "arguments" stays plural for one parameter
    (lambda g: g.add_gate("h", [0], 1.0, {}, 5), f"{AG} takes from 3 to 4 positional arguments but 5 were given"),
    (lambda g: g.add_gate(1, 2, 3, 4, 5, 6, Bogus=1), f"{AG} takes from 3 to 4 positional arguments but 6 were given"),
    (lambda g: g.build_from_ir([], []), "QuantumDAG.build_from_ir() takes 1 positional arguments but 2 were given"),
    (lambda g: g.set_coupling_map([], [], []), "QuantumDAG.set_coupling_map() takes 1 positional arguments but 3 were given"),
    (lambda g: g.get_node_schedule(0, 1), "QuantumDAG.get_node_schedule() takes 1 positional arguments but 2 were given"),
    (lambda g: g.find_idle_windows(0.0, 1), "QuantumDAG.find_idle_windows() takes 1 positional arguments but 2 were given"),
    (lambda g: g.apply_dd_pass("XY", None, 0, 1),
     "QuantumDAG.apply_dd_pass() takes from 0 to 3 positional arguments but 4 were given"),
    # keywords: unknown names, duplicates, and the first offender wins
    (lambda g: g.add_gate("h", [0], 1.0, name="x"), f"{AG} got multiple values for argument 'name'"),
    (lambda g: g.add_gate("h", [0], 1.0, Name="x"), f"{AG} got an unexpected keyword argument 'Name'"),
    (lambda g: g.add_gate("h", [0], 1.0, name="x", Bogus=1), f"{AG} got multiple values for argument 'name'"),
    (lambda g: g.add_gate("h", [0], 1.0, Bogus=1, name="x"), f"{AG} got an unexpected keyword argument 'Bogus'"),
    (lambda g: g.add_gate(Bogus=1), f"{AG} got an unexpected keyword argument 'Bogus'"),
    (lambda g: g.add_gate("h", [0], 1.0, **{"name\0": 1}), f"{AG} got an unexpected keyword argument 'name\0'"),
    (lambda g: g.add_gate("h", [0], 1.0, **{"\udc80": 1}), f"{AG} got an unexpected keyword argument '\udc80'"),
    (lambda g: g.apply_dd_pass("XY", sequence="XY4"),
     "QuantumDAG.apply_dd_pass() got multiple values for argument 'sequence'"),
    (lambda g: g.set_coupling_map(edges=[], x=1), "QuantumDAG.set_coupling_map() got an unexpected keyword argument 'x'"),
    # binding comes before any conversion: the bad name is never looked at
    (lambda g: g.add_gate(5, [0], Bogus=1), f"{AG} got an unexpected keyword argument 'Bogus'"),
    (lambda g: g.add_gate(5), f"{AG} missing 2 required positional arguments: 'qubits' and 'duration_ns'"),
    # constructor
    (lambda g: QuantumDAG(1), "QuantumDAG.__new__() takes 0 positional arguments but 1 was given"),
    (lambda g: QuantumDAG(1, 2, x=3), "QuantumDAG.__new__() takes 0 positional arguments but 2 were given"),
    (lambda g: QuantumDAG(x=1), "QuantumDAG.__new__() got an unexpected keyword argument 'x'"),
    (lambda g: QuantumDAG(b=1, a=2), "QuantumDAG.__new__() got an unexpected keyword argument 'b'"),
    # methods without parameters are refused by the interpreter itself
    (lambda g: g.node_count(1), "QuantumDAG.node_count() takes no arguments (1 given)"),
    (lambda g: g.build_schedule(1, 2), "QuantumDAG.build_schedule() takes no arguments (2 given)"),
    (lambda g: g.get_all_nodes(a=1), "QuantumDAG.get_all_nodes() takes no keyword arguments"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(qd, call, message):
    expect(TypeError, message, call, qd)
    assert qd.node_count() == 0


def test_keywords_bind_in_any_order(qd):
    assert qd.add_gate(duration_ns=1.0, qubits=[0], name="h") == 0
    assert qd.add_gate("x", duration_ns=2.0, params={"a": 1.0}, qubits=[1, 0]) == 1
    qd.set_coupling_map(edges=[(0, 1)])
    qd.build_from_ir(instructions=[("y", [2], 3.0, {})])
    qd.build_schedule()
    assert qd.get_node_schedule(node_id=0) == (0.0, 1.0)
    assert qd.find_idle_windows(min_gap_ns=1e9) == []
    out = qd.apply_dd_pass(num_qubits=0, pulse_durations=None, sequence="XY")
    assert out.node_count() == 3
    assert qd.get_all_nodes() == [
        ("h", [0], 1.0, {}), ("x", [1, 0], 2.0, {"a": 1.0}), ("y", [2], 3.0, {})]


def test_pass_defaults_and_receiver(qd):
    qd.add_gate("h", [0], 1.0)
    qd.build_schedule()
    out = qd.apply_dd_pass()
    assert out is not qd and out.node_count() == 1 and qd.node_count() == 1
