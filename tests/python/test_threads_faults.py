"""Owner-thread binding of instances, drops on foreign threads, and internal-fault notices."""

import gc
import re
import sys
import textwrap
import threading

import pytest

from _velun_q import QuantumDAG
from conftest import call_in_thread, expect, expect_panic, run_python

SENT = "_velun_q::PyQuantumDAG is unsendable, but sent to another thread"
DROPPED = "_velun_q::PyQuantumDAG is unsendable, but is being dropped on another thread"

FOREIGN_CALLS = [
    lambda g: g.node_count(),
    lambda g: g.add_gate("h", [0], 1.0),
    lambda g: g.add_gate(5, "not qubits", None),  # conversion never runs
    lambda g: g.set_coupling_map([(0, 1)]),
    lambda g: g.build_from_ir([("h", [0], 1.0, {})]),
    lambda g: g.build_schedule(),
    lambda g: g.get_node_schedule(0),
    lambda g: g.find_idle_windows(0.0),
    lambda g: g.apply_dd_pass(),
    lambda g: g.get_all_nodes(),
]


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


@pytest.mark.parametrize("call", FOREIGN_CALLS)
def test_call_from_foreign_thread_is_a_fault(qd, call):
    qd.add_gate("h", [0], 10.0)
    qd.build_schedule()
    kind, exc = call_in_thread(lambda: expect_panic(call, qd))
    assert kind == "ok", exc
    assert SENT in str(exc)
    owner, current = re.fullmatch(r".*\(owner thread (\d+), current thread (\d+)\)", str(exc)).groups()
    assert owner != current
    # untouched and still usable on the owner thread
    assert qd.get_all_nodes() == [("h", [0], 10.0, {})]
    assert qd.get_node_schedule(0) == (0.0, 10.0)
    assert qd.add_gate("x", [1], 1.0) == 1


def test_foreign_thread_binding_errors_come_first(qd):
    kind, exc = call_in_thread(lambda: expect(
        TypeError, "QuantumDAG.add_gate() missing 1 required positional argument: 'duration_ns'",
        qd.add_gate, "h", [0]))
    assert kind == "ok", exc


def test_foreign_call_during_owner_access_is_a_fault_not_a_conflict(qd):
    outcome = []

    class Spawn:
        def __index__(self):
            outcome.append(call_in_thread(qd.node_count))
            return 0

    assert qd.add_gate("h", [Spawn()], 1.0) == 0
    ((kind, exc),) = outcome
    assert kind == "raised" and type(exc).__name__ == "PanicException" and SENT in str(exc)


def test_dropped_on_foreign_thread_is_reported(unraisable):
    holder = [QuantumDAG()]
    holder[0].add_gate("h", [0], 1.0)
    call_in_thread(holder.clear)
    assert [(type(u.exc_value), str(u.exc_value)) for u in unraisable] == [(RuntimeError, DROPPED)]


def test_instance_made_on_a_worker_belongs_to_it(unraisable):
    def work():
        g = QuantumDAG()
        g.add_gate("a", [0], 200.0)
        g.add_gate("b", [0, 1], 10.0)
        g.build_schedule()
        out = g.apply_dd_pass()
        assert [n[0] for n in out.get_all_nodes()] == ["a", "DD_X", "DD_Y", "b"]
        return out

    kind, out = call_in_thread(work)
    assert kind == "ok", out
    expect_panic(out.node_count)
    # A later thread is another thread, even when the system hands it the
    # ended owner's identifier again (which it usually does).
    kind, fault = call_in_thread(out.node_count)
    assert kind == "raised" and SENT in str(fault), fault
    del fault, out
    gc.collect()  # the fault's traceback held the instance in a cycle
    assert [str(u.exc_value) for u in unraisable] == [DROPPED]


def test_instance_the_constructor_never_made():
    # With the class's __new__ replaced from Python, object.__new__ makes a
    # zeroed instance that holds no graph: its calls fail, and dropping it
    # destroys nothing and reports nothing.
    result = run_python("""
        from _velun_q import QuantumDAG
        QuantumDAG.__new__ = staticmethod(lambda cls: object.__new__(cls))
        g = QuantumDAG()
        for call in (g.node_count, lambda: g.add_gate("h", [0], 1.0)):
            try:
                call()
            except BaseException as exc:
                print(type(exc).__name__, "holds no graph" in str(exc))
        del g
        print("alive")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["PanicException", "True"] * 2 + ["alive"]
    assert "dropped" not in result.stderr


def test_threads_with_own_instances_run_side_by_side():
    workers, gates = 4, 300
    barrier = threading.Barrier(workers)
    out = [None] * workers

    def work(k):
        try:
            g = QuantumDAG()
            barrier.wait()
            for i in range(gates):
                assert g.add_gate(f"g{k}", [k, i % 3], 1.0) == i
            g.build_schedule()
            assert g.node_count() == gates
            assert {n[0] for n in g.get_all_nodes()} == {f"g{k}"}
            out[k] = g.get_node_schedule(gates - 1)
        except BaseException as exc:  # noqa: B036
            out[k] = exc

    threads = [threading.Thread(target=work, args=(k,)) for k in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert out == [(gates - 1.0, float(gates))] * workers


FAULT_SCRIPT = """
    import threading, _velun_q
    g = _velun_q.QuantumDAG()
    faults = []

    def foreign():
        try:
            g.node_count()
        except BaseException as exc:
            faults.append(exc)
            print("caught", type(exc).__name__, flush=True)

    t = threading.Thread(target=foreign)
    t.start()
    t.join()

    class Boom:
        def __float__(self):
            raise type(faults[0])("raised by python code")

    try:
        g.add_gate("h", [0], Boom())
    except BaseException as exc:
        print("caught", type(exc).__name__)
    print("count", g.node_count())
"""


def test_fault_notices_go_to_stderr():
    result = run_python(FAULT_SCRIPT)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["caught PanicException", "caught PanicException", "count 0"]
    assert SENT in result.stderr
    # the fault raised by Python code is shown with its traceback
    assert "Traceback" in result.stderr
    assert "raised by python code" in result.stderr and "__float__" in result.stderr


# Result objects that cannot be made (each allocation in turn refused): the
# exception is printed, which runs sys.excepthook, and by then no half-built
# result may be left for Python code to find.
HALF_BUILT_SCRIPT = """
    import gc, sys
    try:
        import _testcapi
    except ImportError:
        print("no _testcapi")
        raise SystemExit(0)
    from _velun_q import QuantumDAG

    N = 4099  # no other list of this length is alive
    g = QuantumDAG()
    g.build_from_ir([("x", [i % 5], float(i), {"t": float(i)}) for i in range(N)])
    found = []
    sys.excepthook = lambda *exc: found.append(
        sum(1 for o in gc.get_objects() if type(o) is list and len(o) == N))
    outcomes = set()
    for k in range(40):
        found.clear()
        _testcapi.set_nomemory(k, k + 1)
        try:
            g.get_all_nodes()
            outcome = "ok"
        except BaseException as exc:
            outcome = f"{type(exc).__name__}: {exc} {found}"
        finally:
            _testcapi.remove_mem_hooks()
        outcomes.add(outcome)
    print(sorted(outcomes), len(g.get_all_nodes()))
"""


def test_result_objects_that_cannot_be_made_leave_nothing_half_built():
    result = run_python(HALF_BUILT_SCRIPT)
    assert result.returncode == 0, result.stderr
    last = result.stdout.splitlines()[-1]
    if last == "no _testcapi":
        pytest.skip("this interpreter has no _testcapi")
    assert last == "['PanicException: Python API call failed [0]'] 4099"
    assert "velun_q: internal fault" in result.stderr


def run_first_lookup(script, timeout):
    """Runs a script that needs the process's first cast message still to come."""
    guard = """
        import sys
        if "collections" in sys.modules:
            print("collections imported at start-up", flush=True)
            raise SystemExit(0)
    """
    result = run_python(textwrap.dedent(guard) + textwrap.dedent(script), timeout=timeout)
    if result.stdout == "collections imported at start-up\n":
        pytest.skip("this interpreter imports collections at start-up")
    return result


# The first "cannot be cast as 'Sequence'" message imports a module, which
# runs Python code: here an audit hook and an import hook that need the same
# message on the same thread. They must get it, not wait for themselves.
REENTRY_SCRIPT = """
    import sys
    from _velun_q import QuantumDAG
    seen = []

    def need_message(where):
        if where in seen:
            return
        seen.append(where)
        try:
            QuantumDAG().add_gate("h", {1}, 1.0)
        except TypeError as exc:
            print(where, exc, flush=True)

    class Finder:
        def find_spec(self, name, path=None, target=None):
            need_message("finder")

    sys.meta_path.insert(0, Finder())
    sys.addaudithook(lambda event, args: event == "import" and need_message("hook"))
    for _ in range(2):
        try:
            QuantumDAG().add_gate("h", {0}, 1.0)
        except TypeError as exc:
            print("outer", exc, flush=True)
"""


def test_one_time_lookup_reentered_on_its_own_thread():
    result = run_first_lookup(REENTRY_SCRIPT, timeout=60)
    assert result.returncode == 0, result.stderr
    message = "argument 'qubits': 'set' object cannot be cast as 'Sequence'"
    lines = result.stdout.splitlines()
    assert lines[-2:] == [f"outer {message}"] * 2
    assert sorted(lines[:-2]) == [f"finder {message}", f"hook {message}"]


# The same lookup across threads: A, first to need the message, imports while
# B sits in an import hook, holding the interpreter's import lock, and needs
# the message too. Neither may wait for the other.
CROSS_THREAD_SCRIPT = """
    import faulthandler, sys, threading, time
    from _velun_q import QuantumDAG
    faulthandler.dump_traceback_later(30, exit=True)
    in_hook, a_started = threading.Event(), threading.Event()

    def need_message(who, dag):
        try:
            dag.add_gate("h", {1}, 1.0)
        except TypeError as exc:
            print(who, exc, flush=True)

    class Finder:
        def find_spec(self, name, path=None, target=None):
            if name == "velunq_absent_module":
                in_hook.set()
                a_started.wait()
                # Wait for A to be inside its import, waiting for the lock.
                for _ in range(1000):
                    frame = sys._current_frames().get(a_thread.ident)
                    if frame is not None and "importlib" in frame.f_code.co_filename:
                        break
                    time.sleep(0.01)
                need_message("B", b_dag)

    def thread_b():
        global b_dag
        b_dag = QuantumDAG()
        sys.meta_path.insert(0, Finder())
        try:
            import velunq_absent_module
        except ImportError:
            pass

    def thread_a():
        dag = QuantumDAG()
        in_hook.wait()
        a_started.set()
        need_message("A", dag)

    a_thread = threading.Thread(target=thread_a)
    threads = [threading.Thread(target=thread_b), a_thread]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
"""


def test_one_time_lookup_needed_by_a_thread_holding_the_import_lock():
    result = run_first_lookup(CROSS_THREAD_SCRIPT, timeout=90)
    assert result.returncode == 0, result.stderr
    message = "argument 'qubits': 'set' object cannot be cast as 'Sequence'"
    assert sorted(result.stdout.splitlines()) == [f"A {message}", f"B {message}"]


# An interrupt that cuts that first import short is kept, as the panic's
# context; the lookup is tried again on the next call.
INTERRUPTED_LOOKUP_SCRIPT = """
    import sys
    from _velun_q import QuantumDAG

    class CtrlC:
        def find_spec(self, name, path=None, target=None):
            if name == "collections":
                raise KeyboardInterrupt("pressed")

    sys.meta_path.insert(0, CtrlC())
    g = QuantumDAG()
    try:
        g.add_gate("h", {0}, 1.0)
    except BaseException as exc:
        print(type(exc).__name__, exc, "|", repr(exc.__context__))
    sys.meta_path.pop(0)
    try:
        g.add_gate("h", {0}, 1.0)
    except TypeError as exc:
        print(exc)
"""


def test_one_time_lookup_cut_short_keeps_what_cut_it():
    result = run_first_lookup(INTERRUPTED_LOOKUP_SCRIPT, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "PanicException failed to import collections.abc.Sequence | KeyboardInterrupt('pressed')",
        "argument 'qubits': 'set' object cannot be cast as 'Sequence'",
    ]
