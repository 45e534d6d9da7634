"""Ctrl-C and garbage collections during long calls.

A call holds the interpreter lock throughout, so signal handlers run only if
the call itself checks for them. These tests leave a Ctrl-C pending inside a
call with no Python frame in between to handle it, from an argument's
`__index__` that is a C function (a frame would take the interrupt at once).
The SIGINT handler then tells whether it ran while the call still held the
graph.
"""

import collections
import ctypes
import functools
import gc
import signal
import textwrap

import pytest

from _velun_q import QuantumDAG
from conftest import run_python

_set_interrupt = ctypes.pythonapi.PyErr_SetInterruptEx
_set_interrupt.argtypes = [ctypes.c_int]
_set_interrupt.restype = ctypes.c_int


class Trip:
    """Converts to the index 0 and leaves a Ctrl-C pending."""

    __index__ = staticmethod(functools.partial(_set_interrupt, signal.SIGINT))


def busy(dag):
    """Whether a call is running on `dag`: it refuses a change meanwhile (here
    one that changes nothing)."""
    try:
        dag.set_coupling_map([])
    except RuntimeError:
        return True
    return False


@pytest.fixture
def interrupts():
    """Installs a SIGINT handler that notes, for the graph under test, whether
    a call was still running on it, then raises KeyboardInterrupt."""
    seen = []
    state = {}

    def handler(signum, frame):
        seen.append(busy(state["dag"]))
        raise KeyboardInterrupt

    # Python code run by a collection inside the call (another library's
    # callback) would take the interrupt in its own frame and lose it there.
    was_enabled = gc.isenabled()
    gc.disable()
    previous = signal.signal(signal.SIGINT, handler)
    yield seen, state
    signal.signal(signal.SIGINT, previous)
    if was_enabled:
        gc.enable()


def many_gates(n=20_000):
    return [("x", [i % 5], 100.0, {}) for i in range(n)] + [("cx", [0, 1], 2000.0, {})]


def scheduled(n=20_000):
    dag = QuantumDAG()
    dag.build_from_ir(many_gates(n))
    dag.build_schedule()
    return dag


# The start of the scripts run in a fresh interpreter below: a scheduled
# graph `dag` of 20,000 gates, `run`, its call under test, and
# `set_interrupt(signum)`, which leaves a signal pending from C.
CHILD_PREAMBLE = """\
import asyncio, ctypes, functools, gc, operator, signal, sys
from _velun_q import QuantumDAG

dag = QuantumDAG()
dag.build_from_ir([("x", [i % 5], 100.0, {}) for i in range(20_000)])
dag.build_schedule()
run = functools.partial(getattr(dag, CALL), *ARGS)
set_interrupt = ctypes.pythonapi.PyErr_SetInterruptEx
set_interrupt.argtypes = [ctypes.c_int]
"""


def run_child(call, script):
    """Runs `script` after CHILD_PREAMBLE, `run` being the graph's `call`."""
    args = (0.0,) if call == "find_idle_windows" else ()
    return run_python(f"CALL, ARGS = {call!r}, {args!r}\n" + CHILD_PREAMBLE + textwrap.dedent(script))


@pytest.mark.parametrize("container", [list, tuple, collections.deque])
def test_ctrl_c_stops_an_import_that_then_adds_nothing(interrupts, container, capfd):
    seen, state = interrupts
    dag = state["dag"] = QuantumDAG()
    with pytest.raises(KeyboardInterrupt):
        dag.build_from_ir(container([("x", [Trip()], 1.0, {})] + many_gates()))
    assert seen == [True]
    assert dag.node_count() == 0
    assert capfd.readouterr().out == ""


def test_ctrl_c_stops_the_dd_pass(interrupts, capfd):
    seen, state = interrupts
    dag = state["dag"] = scheduled()
    capfd.readouterr()
    with pytest.raises(KeyboardInterrupt):
        dag.apply_dd_pass("XY4", {}, Trip())
    assert seen == [True]
    assert capfd.readouterr().out == "\U0001f980 [Core] Starting apply_dd_pass with 20001 nodes...\n"
    assert len(dag.apply_dd_pass("XY4", {}, 0).get_all_nodes()) == 20_001  # usable after


def test_ctrl_c_stops_a_window_search(interrupts):
    seen, state = interrupts
    dag = state["dag"] = scheduled()
    with pytest.raises(KeyboardInterrupt):
        dag.find_idle_windows(Trip())  # 0.0: a window between every two gates
    assert seen == [True]
    assert len(dag.find_idle_windows(0.0)) == 19_997


class Finalised:
    """Garbage in a cycle whose finaliser uses the graph under test."""

    def __init__(self, dag, log):
        self.dag, self.log, self.cycle = dag, log, self

    def __del__(self):
        self.log.append((busy(self.dag), self.dag.node_count(), len(self.dag.find_idle_windows(1e9))))


# A call that makes many objects makes a collection due every few thousand of
# them. Run inside the call (as a full signal check would), each walks the
# result as it grows: together they tripled an export's time. Collections
# wait for the end of the call, as they would without the checks.
@pytest.mark.parametrize("call", ["get_all_nodes", "find_idle_windows"])
def test_collections_wait_for_the_end_of_calls_that_make_results(call):
    dag = scheduled()
    run = getattr(dag, call)
    args = (0.0,) if call == "find_idle_windows" else ()
    expected = run(*args)
    threshold = gc.get_threshold()
    was_enabled = gc.isenabled()
    log = []
    gc.enable()
    gc.collect()
    try:
        gc.set_threshold(100_000)
        for _ in range(200):
            Finalised(dag, log)
        gc.set_threshold(100)  # the call's own objects make a collection due
        got = run(*args)
        gc.collect()
    finally:
        gc.set_threshold(*threshold)
        if not was_enabled:
            gc.disable()
    assert got == expected
    assert len(log) == 200
    assert all(entry == (False, 20_001, 0) for entry in log)


# A handler is Python code, and through gc.get_objects() it sees every object
# the collector tracks. A result list still being filled has empty slots, so
# it stays out of the collector's view until it is whole; on a module that
# tracked it from the start, the handler below crashed the interpreter.
# `map` calls the two C functions back to back, with no bytecode in between
# to take the pending Ctrl-C before the call does.
@pytest.mark.parametrize("call", ["get_all_nodes", "find_idle_windows"])
def test_ctrl_c_handlers_never_see_a_result_being_filled(call):
    done = run_child(call, """
        size = len(run())
        found = []

        def handler(signum, frame):
            for o in gc.get_objects():
                if type(o) is list and len(o) == size:
                    found.append(sum(len(item) for item in o))
            raise KeyboardInterrupt

        signal.signal(signal.SIGINT, handler)
        try:
            list(map(operator.call, [functools.partial(set_interrupt, signal.SIGINT), run]))
        except KeyboardInterrupt:
            print("stopped", found, gc.is_tracked(run()))  # tracked once whole
        else:
            print("not stopped")
    """)
    assert (done.returncode, done.stdout.splitlines()[-1:], done.stderr) == (0, ["stopped [] True"], "")


# Looking for a Ctrl-C inside a call takes it. A module that then set it
# pending again, to leave it for the handler, also wrote it a second time to
# the descriptor of signal.set_wakeup_fd: an asyncio loop read two presses and
# ran its callback twice for one.
@pytest.mark.parametrize("call", ["get_all_nodes", "find_idle_windows"])
def test_one_ctrl_c_inside_a_call_reaches_an_event_loop_once(call):
    done = run_child(call, """
        expected = run()

        async def main():
            presses = []
            handled = []
            asyncio.get_running_loop().add_signal_handler(signal.SIGINT, presses.append, 1)
            handler = signal.getsignal(signal.SIGINT)  # the loop's own: does nothing
            signal.signal(signal.SIGINT, lambda *args: handled.append(args) or handler(*args))
            got = list(map(operator.call, [functools.partial(set_interrupt, signal.SIGINT), run]))[1]
            await asyncio.sleep(0.2)
            (signum, frame), = handled
            return got == expected, len(presses), signum, frame.f_code.co_name

        print(*asyncio.run(main()))
    """)
    assert (done.returncode, done.stdout.splitlines()[-1:], done.stderr) == (0, ["True 1 2 main"], "")


# A Ctrl-C inside a call that comes with other signals: each handler runs
# once, none inside another, and a raising one does not lose the Ctrl-C.
# Its handler was once called with the others still pending, so that its
# first bytecode ran theirs inside it, and the exception of one cut it short.
# And where the handler cannot be looked up, the interpreter still runs it.
# The lookup runs no import hook: a raising handler run there was lost.
@pytest.mark.parametrize("case", ["with_a_raising_signal", "lookup_fails", "import_hook"])
def test_a_ctrl_c_inside_a_call_is_never_lost(case):
    done = run_child("get_all_nodes", f"""
        ran = []

        def on_int(signum, frame):
            ran.append(("INT", frame.f_code.co_name))

        def on_usr1(signum, frame):
            ran.append(("USR1", frame.f_code.co_name))
            raise RuntimeError("usr1")

        signal.signal(signal.SIGINT, on_int)
        signal.signal(signal.SIGUSR1, on_usr1)
        trips = [signal.SIGINT]
        if "{case}" == "with_a_raising_signal":
            trips.append(signal.SIGUSR1)
        elif "{case}" == "lookup_fails":
            sys.modules["_signal"] = None
        else:
            import builtins
            plain_import = builtins.__import__

            def hook(name, *args, **kwargs):
                set_interrupt(signal.SIGUSR1)
                return plain_import(name, *args, **kwargs)

            builtins.__import__ = hook

        def main():
            calls = [functools.partial(set_interrupt, s) for s in trips] + [run]
            try:
                return len(list(map(operator.call, calls))[-1])
            except RuntimeError as e:
                return str(e)

        print(main(), sorted(ran))
    """)
    expected = {
        "with_a_raising_signal": "usr1 [('INT', 'main'), ('USR1', 'main')]",
        "lookup_fails": "20000 [('INT', 'main')]",
        "import_hook": "20000 [('INT', 'main')]",
    }[case]
    assert (done.returncode, done.stdout.splitlines()[-1:], done.stderr) == (0, [expected], "")
