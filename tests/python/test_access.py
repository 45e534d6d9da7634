"""Shared and exclusive access when argument conversion calls back into the same instance."""

import collections.abc

import pytest

from _velun_q import QuantumDAG
from conftest import expect, expect_panic

SHARED_INNER = lambda g: g.node_count()  # noqa: E731
EXCLUSIVE_INNER = lambda g: g.add_gate("inner", [9], 1.0)  # noqa: E731


class Probe:
    """Runs `inner` every time it is converted, records the outcome, then
    either re-raises the inner failure or swallows it and converts to 0."""

    def __init__(self, g, inner, swallow=False):
        self.g, self.inner, self.swallow, self.seen = g, inner, swallow, []

    def _run(self):
        try:
            self.seen.append(("ok", self.inner(self.g)))
        except RuntimeError as exc:
            self.seen.append((type(exc).__name__, str(exc)))
            if not self.swallow:
                raise
        return 0

    def __index__(self):
        return self._run()

    def __float__(self):
        return float(self._run())


class ProbeSeq(collections.abc.Sequence):
    def __init__(self, probe):
        self.probe = probe

    def __len__(self):
        return 0

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        self.probe._run()
        return iter(())


# outer call, with the probe placed in one of its arguments
OUTER = {
    "add_gate/qubit": (True, lambda g, p: g.add_gate("h", [p], 1.0)),
    "add_gate/duration": (True, lambda g, p: g.add_gate("h", [0], p)),
    "add_gate/params": (True, lambda g, p: g.add_gate("h", [0], 1.0, {"a": p})),
    "set_coupling_map/iter": (True, lambda g, p: g.set_coupling_map(ProbeSeq(p))),
    "build_from_ir/duration": (True, lambda g, p: g.build_from_ir([("h", [0], p, {})])),
    "get_node_schedule": (False, lambda g, p: g.get_node_schedule(p)),
    "find_idle_windows": (False, lambda g, p: g.find_idle_windows(p)),
    "apply_dd_pass/num_qubits": (False, lambda g, p: g.apply_dd_pass(num_qubits=p)),
    "apply_dd_pass/pulse_key": (False, lambda g, p: g.apply_dd_pass(pulse_durations={p: 5.0})),
}


def assert_free(g):
    """Both kinds of access can be taken again."""
    before = g.node_count()
    assert g.add_gate("after", [0], 1.0) == before
    assert g.node_count() == before + 1


@pytest.mark.parametrize("outer", OUTER, ids=str)
@pytest.mark.parametrize("inner_exclusive", [False, True], ids=["inner-shared", "inner-exclusive"])
def test_reentrant_call_conflicts(qd, outer, inner_exclusive):
    outer_exclusive, call = OUTER[outer]
    probe = Probe(qd, EXCLUSIVE_INNER if inner_exclusive else SHARED_INNER)
    if not (outer_exclusive or inner_exclusive):
        call(qd, probe)  # shared inside shared is fine
        assert probe.seen == [("ok", 0)]
    else:
        message = "Already borrowed" if inner_exclusive else "Already mutably borrowed"
        expect(RuntimeError, message, call, qd, probe)
        assert probe.seen == [("RuntimeError", message)]
    assert qd.node_count() == 0
    assert_free(qd)


@pytest.mark.parametrize("inner, outer_call, message", [
    (SHARED_INNER, lambda g, ps: g.add_gate("h", ps, 1.0), "Already mutably borrowed"),
    (EXCLUSIVE_INNER, lambda g, ps: g.get_node_schedule(ps[0]) or g.get_node_schedule(ps[1]), "Already borrowed"),
])
def test_failed_inner_call_keeps_the_outer_access(qd, inner, outer_call, message):
    # The first inner call fails and is swallowed; the outer access must still
    # be held when the next conversion tries again.
    probe = Probe(qd, inner, swallow=True)
    outer_call(qd, [probe, probe])
    assert probe.seen == [("RuntimeError", message)] * 2


def test_completed_inner_shared_call_keeps_the_outer_shared_access(qd):
    shared, exclusive = Probe(qd, SHARED_INNER), Probe(qd, EXCLUSIVE_INNER, swallow=True)
    qd.apply_dd_pass("XY", {shared: 1.0, exclusive: 2.0})
    assert shared.seen == [("ok", 0)]
    assert exclusive.seen == [("RuntimeError", "Already borrowed")]
    assert_free(qd)


def test_binding_errors_come_before_the_access_check(qd):
    seen = []

    class Inner:
        def __index__(self):
            for call in (lambda: qd.add_gate(), lambda: qd.node_count(1)):
                try:
                    call()
                except TypeError as exc:
                    seen.append(str(exc))
            return 0

    qd.add_gate("h", [Inner()], 1.0)
    assert seen == [
        "QuantumDAG.add_gate() missing 3 required positional arguments: 'name', 'qubits', and 'duration_ns'",
        "QuantumDAG.node_count() takes no arguments (1 given)",
    ]


def test_other_instances_are_independent(qd):
    other = QuantumDAG()
    qd.add_gate("h", [Probe(other, EXCLUSIVE_INNER)], 1.0)
    assert other.node_count() == 1 and qd.node_count() == 1


def test_faults_release_the_access(qd, panic_type):
    params = {"a": 1.0}

    class Grow:
        def __float__(self):
            params["x"] = 1.0
            return 1.0

    params["b"] = Grow()
    expect_panic(qd.add_gate, "h", [0], 1.0, params)  # under exclusive access
    assert_free(qd)

    class Raise:
        def __index__(self):
            raise panic_type("boom")

    expect_panic(qd.get_node_schedule, Raise())  # under shared access
    assert_free(qd)
