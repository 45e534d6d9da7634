"""Stress: a very large circuit, memory exhaustion, threads, sub-interpreters, an
unwritable standard output. The process must live: every failure reaches Python
as an exception and the graph stays usable. Cases that could take the process
down run in a child interpreter, most under an address-space limit (RLIMIT_AS).
VELUNQ_STRESS_GATES sizes the large circuit (default 10,000,000);
VELUNQ_STRESS_REPORT names a file that receives its figures as JSON.
"""

import json
import os
import resource
import subprocess
import sys
import textwrap
import threading

import pytest

from _velun_q import QuantumDAG

HERE = os.path.dirname(os.path.abspath(__file__))
GIB = 1 << 30


def run_child(*parts, limit_bytes=None, timeout=600):
    """Runs the code `parts` (each dedented) in a fresh interpreter, under an address-space limit if given."""

    def limit():
        if limit_bytes:
            resource.setrlimit(resource.RLIMIT_AS, (limit_bytes, limit_bytes))

    code = PRELUDE + "".join(textwrap.dedent(part) for part in parts)
    return subprocess.run(
        [sys.executable, "-c", code],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        encoding="utf-8",
        errors="replace",
        timeout=timeout,
        preexec_fn=limit,
    )


def said(child):
    """The lines the child wrote to standard error, without the module's notices."""
    return [line for line in child.stderr.splitlines() if line and not line.startswith("velun_q: ")]


def outcome(child):
    """The child's last line on standard error (its verdict), checked to exist."""
    lines = said(child)
    assert child.returncode == 0, f"child died with {child.returncode}:\n{child.stderr[-3000:]}"
    return lines[-1] if lines else ""


PRELUDE = """
import os
import sys

def attempt(call):
    try:
        call()
        return "ok"
    except BaseException as exc:
        return type(exc).__name__

def say(*parts):
    print(*parts, file=sys.stderr, flush=True)

# The outcomes of `calls`, run with `extra_mib` MiB of address space above
# what the process takes now.
def within(extra_mib, *calls):
    import resource
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (vm + extra_mib * 2**20, resource.RLIM_INFINITY))
    try:
        return [attempt(call) for call in calls]
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
"""


# ---- the whole road on a large circuit ---------------------------------------


def test_whole_road_on_a_large_circuit(tmp_path):
    gates = int(os.environ.get("VELUNQ_STRESS_GATES", "10000000"))
    report = os.environ.get("VELUNQ_STRESS_REPORT") or str(tmp_path / "road.json")
    child = subprocess.run(
        [sys.executable, os.path.join(HERE, "road.py"), str(gates), report],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        encoding="utf-8",
        errors="replace",
        timeout=1800,
    )
    assert os.path.exists(report), child.stderr[-3000:]
    with open(report, encoding="utf-8") as f:
        figures = json.load(f)
    assert figures["problems"] == []
    assert child.returncode == 0, child.stderr[-3000:]
    assert figures["gates"] == gates and figures["result_nodes"] == gates + figures["pulses"]


# ---- memory exhaustion ----------------------------------------------------------


@pytest.mark.parametrize(
    "argument, call",
    [
        # A length the allocator cannot give: refused before anything is read.
        ("range(10**9)", "g.add_gate('h', arg, 1.0)"),
        # A length that does not fit a machine word: read until memory runs out.
        ("range(2**64)", "g.add_gate('h', arg, 1.0)"),
        # A length far too small, and no end: read until memory runs out.
        ("type('Short', (), {'__len__': lambda s: 0, '__getitem__': lambda s, i: 0,"
         " '__iter__': lambda s: __import__('itertools').repeat(0)})()", "g.add_gate('h', arg, 1.0)"),
        # Python lists that fit, whose native form does not.
        ("[('h', [0, 1, 2, 3, 4, 5, 6, 7], 1.0, {'a': 1.0})] * 60_000_000", "g.build_from_ir(arg)"),
        ("[(1, 2)] * 100_000_000", "g.set_coupling_map(arg)"),
    ],
    ids=["qubits 10**9", "qubits 2**64", "qubits, length too small", "instructions", "edges"],
)
def test_exhausting_a_limited_address_space(argument, call):
    child = run_child(
        f"""
        from _velun_q import QuantumDAG
        g = QuantumDAG()
        g.add_gate("h", [0], 10.0)
        arg = {argument}
        first = attempt(lambda: {call})
        del arg
        # The process lives, and the graph is as it was and still works.
        g.add_gate("x", [0], 5.0)
        g.build_schedule()
        say(first, g.node_count(), g.get_node_schedule(1))
        """,
        limit_bytes=2 * GIB,
    )
    assert outcome(child) == "MemoryError 2 (10.0, 15.0)"


def test_exhaustion_inside_the_core_operations():
    """The graph fits; the pass, the schedule and the export then run out of room."""
    child = run_child(
        """
        from _velun_q import QuantumDAG
        g = QuantumDAG()
        g.build_from_ir([("cx", [q % 500, q % 500 + 1], 100.0, {"t": 1.0}) for q in range(20)] * 150_000)
        g.build_schedule()
        # Leave little more room than the graph already takes.
        results = within(64, lambda: g.apply_dd_pass("XY4", num_qubits=501), g.get_all_nodes)
        g.build_schedule()
        say(*results, g.node_count(), g.get_node_schedule(0), len(g.get_all_nodes()))
        """,
    )
    first, export, *rest = outcome(child).split(" ", 2)
    assert first == "MemoryError", child.stderr[-2000:]
    # The export builds Python objects: the interpreter's MemoryError, or the
    # fault that reports a result object that could not be made.
    assert export in ("MemoryError", "PanicException", "ok")
    assert rest == ["3000000 (0.0, 100.0) 3000000"]


def test_dd_pass_makes_room_only_for_the_scheduled_nodes():
    child = run_child(
        """
        from _velun_q import QuantumDAG
        g = QuantumDAG()
        g.add_gate("a", [0], 1.0)
        g.build_schedule()
        # Five million gates that the schedule does not hold: the pass copies
        # one node, and must not ask for room for ten million.
        g.build_from_ir([("x", [1], 35.0, {"theta": 0.5})] * 5_000_000)
        [result] = within(64, lambda: say(g.apply_dd_pass().get_all_nodes()))
        say(result)
        """,
    )
    assert outcome(child) == "ok"
    assert said(child)[-2] == "[('a', [0], 1.0, {})]"


def test_memory_follows_the_input_not_the_spread_of_qubit_indices():
    child = run_child(
        """
        from _velun_q import QuantumDAG
        # A qubit coupled to thousands of others puts the pass's clearance
        # on bit rows; one gate across 65,536 qubits must not give every
        # qubit a row (that took a GiB).
        g = QuantumDAG()
        g.add_gate("barrier", range(65536), 10.0)
        g.add_gate("h", [65536], 10.0)
        g.set_coupling_map([(65536, i) for i in range(4160)])
        g.build_schedule()
        # Two hundred one-gate graphs on a qubit just below 2**20 must not
        # each hold a lookup array reaching up to it (4 MiB each).
        graphs = []
        def many_graphs():
            for _ in range(200):
                graphs.append(QuantumDAG())
                graphs[-1].add_gate("x", [2**20 - 1], 35.0)
        say(*within(64, lambda: g.apply_dd_pass("XY", None, 4160).node_count(), many_graphs))
        """,
    )
    assert outcome(child) == "ok ok"


def test_schedule_that_runs_out_of_room_keeps_the_last_one():
    child = run_child(
        """
        from _velun_q import QuantumDAG
        g = QuantumDAG()
        g.add_gate("a", [0], 1.0)
        g.add_gate("b", [0], 2.0)
        g.build_schedule()
        # A gate across five million qubits: the new schedule's start times
        # fit, its working space of a free time per qubit (40 MB) does not.
        g.add_gate("wide", range(5_000_000), 3.0)
        [first] = within(16, g.build_schedule)
        say(first, *(g.get_node_schedule(i) for i in range(3)))
        g.build_schedule()
        say(g.get_node_schedule(2))
        """,
    )
    assert outcome(child) == "(3.0, 6.0)"
    assert said(child)[-2] == "MemoryError (0.0, 1.0) (1.0, 3.0) None"


def test_schedule_that_runs_out_of_room_leaves_the_windows_of_the_last_one():
    child = run_child(
        """
        from _velun_q import QuantumDAG
        g = QuantumDAG()
        for name, qubits, ns in (("a", [0], 1.0), ("b", [1], 5.0), ("c", [0, 1], 2.0), ("d", [0, 2], 2.0)):
            g.add_gate(name, qubits, ns)
        g.build_schedule()
        windows = [g.find_idle_windows(gap) for gap in (0.0, 1.0, float("nan"))]
        # Four million gates on no qubit: of the two columns of 32 MB that
        # the schedule keeps per node, only the first fits.
        for _ in range(4_000_000):
            g.add_gate("none", [], 1.0)
        [first] = within(48, g.build_schedule)
        say(first, [g.find_idle_windows(gap) for gap in (0.0, 1.0, float("nan"))] == windows, windows[1])
        g.build_schedule()
        say(g.find_idle_windows(1.0) == windows[1], g.get_node_schedule(4_000_003))
        """,
    )
    assert outcome(child) == "True (0.0, 1.0)"
    assert said(child)[-2] == "MemoryError True [(0, 1.0, 5.0)]"


def test_coupling_map_that_runs_out_of_room_keeps_the_last_one():
    child = run_child(
        """
        from _velun_q import QuantumDAG
        g = QuantumDAG()
        for name, qubits, ns in (("a", [2], 150.0), ("b", [1], 20.0), ("c", [3], 200.0),
                                 ("d", [0, 2], 10.0), ("e", [1, 3], 10.0)):
            g.add_gate(name, qubits, ns)
        g.set_coupling_map([(7, 8)])
        g.build_schedule()

        def pulses():
            return [n for n in g.apply_dd_pass(num_qubits=2).get_all_nodes() if n[0].startswith("DD")]

        alone = pulses()
        # The first edge would move qubit 1's pulses clear of qubit 0's, and
        # its second pulse would no longer fit; the map of four million more
        # pairs does not fit at all.
        edges = [(0, 1)] + [(q, q + 1) for q in range(10, 2_000_010)]
        [first] = within(64, lambda: g.set_coupling_map(edges))
        say(first, pulses() == alone)
        g.set_coupling_map(edges[:1])
        say(pulses() != alone)
        """,
    )
    assert outcome(child) == "True"
    assert said(child)[-2] == "MemoryError True"


def test_import_that_runs_out_of_room_adds_nothing():
    child = run_child(
        """
        from _velun_q import QuantumDAG
        g = QuantumDAG()
        g.add_gate("a", [0], 1.0)
        # Eight gates of a million new qubits each, all past the small
        # indices: the converted list fits, numbering its qubits does not.
        base = 1 << 40
        ir = [("wide", range(base + i * 2**20, base + (i + 1) * 2**20), 1.0, {}) for i in range(8)]
        [first] = within(160, lambda: g.build_from_ir(ir))
        say(first, g.node_count(), g.get_all_nodes())
        # The qubits the failed call numbered are forgotten too: the schedule
        # and the DD pass keep state per qubit, and for millions of them the
        # pass would not fit.
        scheduled = within(16, g.build_schedule, g.apply_dd_pass)
        g.build_from_ir(ir[:1])
        say(*scheduled, g.node_count())
        """,
    )
    assert outcome(child) == "ok ok 2"
    assert said(child)[-2] == "MemoryError 1 [('a', [0], 1.0, {})]"


def test_first_error_of_a_thread_with_the_heap_full():
    # A thread's first error needs the C++ runtime's exception state for that
    # thread, which the C library cannot set up without memory (it ends the
    # process instead). The module sets it up at the thread's first call.
    child = run_child(
        """
        import ctypes, resource, threading
        from _velun_q import QuantumDAG
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        libc.malloc.argtypes = [ctypes.c_size_t]
        out = [None]

        def worker():
            g = QuantumDAG()
            with open("/proc/self/statm") as f:
                vm = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
            resource.setrlimit(resource.RLIMIT_AS, (vm + 4 * 2**20, resource.RLIM_INFINITY))
            for size in (65536, 4096, 256, 64, 32):
                while libc.malloc(size):
                    pass
            out[0] = attempt(lambda: g.add_gate(5, [0], 1.0))
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

        t = threading.Thread(target=worker)
        t.start()
        t.join()
        say(out[0])
        """,
    )
    assert outcome(child) in ("TypeError", "MemoryError")


# ---- threads ----------------------------------------------------------------------


def road(seed, gates=3000):
    """A compile on a graph of the calling thread; returns everything it produced."""
    g = QuantumDAG()
    g.build_from_ir([(f"g{(seed + i) % 7}", [(seed + i) % 13, (seed * i) % 13], float(10 + (i * seed) % 90), {})
                     for i in range(gates)])
    g.set_coupling_map([(q, q + 1) for q in range(12)])
    g.build_schedule()
    dd = g.apply_dd_pass("XY4", {q: 5.0 for q in range(0, 13, 2)}, 13)
    return g.get_all_nodes(), g.find_idle_windows(20.0), dd.get_all_nodes()


def test_threads_each_working_on_their_own_graphs_at_once():
    expected = {seed: road(seed) for seed in range(1, 9)}
    results, errors = {}, []
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        def worker(seed):
            try:
                for _ in range(3):
                    results[seed] = road(seed)
            except BaseException as exc:  # noqa: B036
                errors.append(exc)

        threads = [threading.Thread(target=worker, args=(seed,)) for seed in expected]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert errors == []
    assert results == expected


def test_foreign_threads_are_refused_while_the_owner_keeps_working(monkeypatch):
    g = QuantumDAG()
    g.set_coupling_map([(0, 1)])
    outcomes = []
    calls = [g.node_count, lambda: g.add_gate("evil", [0], 1.0), g.build_schedule, g.get_all_nodes, g.apply_dd_pass,
             lambda: g.set_coupling_map([(5, 6)]), lambda: g.find_idle_windows(0.0), lambda: g.get_node_schedule(0),
             lambda: g.build_from_ir([("evil", [0], 1.0, {})])]

    def intruder(offset):
        for n in range(offset, offset + 300):
            try:
                calls[n % len(calls)]()
                outcomes.append("accepted")
            except BaseException as exc:  # noqa: B036
                outcomes.append(type(exc).__name__ if "unsendable" in str(exc) else repr(exc))

    threads = [threading.Thread(target=intruder, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    try:
        for i in range(2000):
            assert g.add_gate("h", [i % 3, (i + 1) % 3], 10.0) == i
            if i % 100 == 0:
                g.build_schedule()
                assert len(g.get_all_nodes()) == i + 1
    finally:
        for t in threads:
            t.join()
    assert len(outcomes) == 1200 and set(outcomes) == {"PanicException"}
    g.build_schedule()
    assert g.node_count() == 2000
    assert {name for name, *_ in g.get_all_nodes()} == {"h"}
    # Its last reference then goes on a foreign thread, with 50 more: reported, not fatal.
    graphs = [g] + [QuantumDAG() for _ in range(50)]
    calls.clear()
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(str(report.exc_value)))
    del g
    dropper = threading.Thread(target=graphs.clear)
    dropper.start()
    dropper.join()
    assert len(reports) == 51 and all("is being dropped on another thread" in r for r in reports)


# ---- sub-interpreters ------------------------------------------------------------


@pytest.mark.parametrize("main_first", [True, False])
def test_sub_interpreters_get_import_error_and_main_keeps_working(main_first):
    child = run_child(
        f"""
        import _interpreters
        if {main_first}:
            import _velun_q
        seen = []
        for config in ("legacy", "isolated"):
            interp = _interpreters.create(config)
            failure = _interpreters.run_string(interp, "import _velun_q")
            seen.append(None if failure is None else failure.type.__name__)
            _interpreters.destroy(interp)
        from _velun_q import QuantumDAG
        g = QuantumDAG()
        g.add_gate("h", [0], 1.0)
        g.build_schedule()
        say(*seen, g.get_node_schedule(0))
        """
    )
    assert outcome(child) == "ImportError ImportError (0.0, 1.0)"


# ---- standard output that cannot be written -------------------------------------


STDOUT_SETUPS = {
    "closed": "os.close(1)\n",
    "full device": "fd = os.open('/dev/full', os.O_WRONLY); os.dup2(fd, 1); os.close(fd)\n",
    "reader gone": "r, w = os.pipe(); os.dup2(w, 1); os.close(w); os.close(r)\n",
}


@pytest.mark.parametrize("setup", sorted(STDOUT_SETUPS))
def test_progress_lines_to_an_unwritable_stdout(setup):
    child = run_child(
        STDOUT_SETUPS[setup],
        """
        from _velun_q import QuantumDAG
        g = QuantumDAG()
        g.add_gate("h", [0], 1.0)
        g.build_schedule()
        results = [attempt(lambda: g.build_from_ir([("x", [0], 1.0, {})])), attempt(g.apply_dd_pass)]
        # Everything that prints nothing still works.
        g.add_gate("y", [1], 2.0)
        g.build_schedule()
        say(*results, g.node_count(), g.get_node_schedule(1), len(g.get_all_nodes()))
        """,
        timeout=60,
    )
    # The first progress line already fails, so build_from_ir added nothing.
    assert outcome(child) == "PanicException PanicException 2 (0.0, 2.0) 2"
    assert "failed printing to stdout" in child.stderr


def test_stdout_that_fails_after_the_first_progress_line():
    """The nodes of the call are added before the closing line fails; the graph stays whole."""
    child = run_child(
        """
        import resource, signal, tempfile
        from _velun_q import QuantumDAG
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # over-long writes fail with EFBIG instead
        out = tempfile.TemporaryFile()
        os.dup2(out.fileno(), 1)
        first_line = "\\U0001F980 [Core] Received 3 instructions from Python.\\n".encode()
        resource.setrlimit(resource.RLIMIT_FSIZE, (len(first_line), resource.RLIM_INFINITY))
        g = QuantumDAG()
        result = attempt(lambda: g.build_from_ir([("a", [0], 1.0, {}), ("b", [0], 2.0, {}), ("c", [1], 3.0, {})]))
        g.build_schedule()
        out.seek(0)
        say(result, out.read() == first_line, g.node_count(), g.get_node_schedule(1), g.get_all_nodes()[2][0])
        """,
        timeout=60,
    )
    assert outcome(child) == "PanicException True 3 (1.0, 3.0) c"


def test_progress_into_a_pipe_that_a_thread_of_this_process_drains():
    """Output capture as notebook kernels do it: the reader needs the interpreter lock."""
    child = run_child(
        """
        import faulthandler, threading
        from _velun_q import QuantumDAG
        faulthandler.dump_traceback_later(60, exit=True)
        r, w = os.pipe()
        os.dup2(w, 1)
        os.close(w)
        lines = []

        def drain():
            pending = b""
            while data := os.read(r, 1024):
                *whole, pending = (pending + data).split(b"\\n")
                lines.extend(whole)

        reader = threading.Thread(target=drain)
        reader.start()
        g = QuantumDAG()
        g.add_gate("h", [0], 1.0)
        g.build_schedule()
        # Far more than the pipe holds, faster than the reader gets its turn.
        for _ in range(20_000):
            g.build_from_ir([])
            g.apply_dd_pass()
        os.close(1)
        reader.join()
        say(len(lines), len(set(lines)))
        """,
        timeout=120,
    )
    assert outcome(child) == "80000 4"


# Standard output becomes a pipe that nobody reads, with `room` bytes left,
# and an alarm's handler raises once the call has been stuck a while. The
# descriptor is left non-blocking when the test sets NON_BLOCKING: the line
# then waits for room the same way.
BLOCKED_STDOUT = """
    import fcntl, signal
    from _velun_q import QuantumDAG
    r, w = os.pipe()
    os.dup2(w, 1)
    os.close(w)

    def block_stdout(room):
        os.set_blocking(1, False)
        left = fcntl.fcntl(1, 1032) - room  # F_GETPIPE_SZ
        while left:
            left -= os.write(1, b"x" * left)
        os.set_blocking(1, not NON_BLOCKING)

    armed = []

    def give_up(signum, frame):
        # Once per call; the alarm repeats, in case it rang before the write
        # began.
        if armed:
            armed.clear()
            raise TimeoutError("stdout is stuck")

    signal.signal(signal.SIGALRM, give_up)

    def stuck(call):
        armed.append(True)
        signal.setitimer(signal.ITIMER_REAL, 0.2, 0.2)
        try:
            return attempt(call)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
"""


@pytest.mark.parametrize("non_blocking", [False, True])
def test_signal_while_a_progress_line_is_blocked(non_blocking):
    """A handler's exception ends the call, as it ends a blocked os.write."""
    child = run_child(
        f"NON_BLOCKING = {non_blocking}\n",
        BLOCKED_STDOUT,
        """
        block_stdout(0)
        g = QuantumDAG()
        g.add_gate("h", [0], 1.0)
        g.build_schedule()
        results = [stuck(lambda: g.build_from_ir([("x", [0], 1.0, {})])), stuck(g.apply_dd_pass)]
        # The graph is as it was, and free for the next call.
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        g.build_from_ir([("y", [1], 2.0, {})])
        say(*results, g.node_count(), g.get_all_nodes()[1][0])
        """,
        timeout=60,
    )
    assert outcome(child) == "TimeoutError TimeoutError 2 y"


@pytest.mark.parametrize("non_blocking", [False, True])
@pytest.mark.parametrize("first_gate", [True, False], ids=["graph with a node", "new graph"])
def test_signal_while_the_closing_progress_line_is_blocked(non_blocking, first_gate):
    """The import is whole before its closing line: a handler's exception there takes it back.

    A new graph takes the converted list's storage, one with nodes copies it."""
    child = run_child(
        f"NON_BLOCKING = {non_blocking}\nFIRST_GATE = {first_gate}\n",
        BLOCKED_STDOUT,
        """
        first_line = "\\U0001F980 [Core] Received 2 instructions from Python.\\n".encode()
        block_stdout(len(first_line))  # room for the import's opening line, and no more
        g = QuantumDAG()
        if FIRST_GATE:
            g.add_gate("h", [0], 1.0)
        g.build_schedule()
        result = stuck(lambda: g.build_from_ir([("x", [0], 1.0, {}), ("y", [5, 6, 7], 2.0, {"a": 1.0})]))
        opened = os.read(r, 1 << 20).endswith(first_line)
        # Nothing of the failed import is left, and the graph takes the next one as if it never came.
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        g.build_from_ir([("z", [1], 2.0, {})])
        g.build_schedule()
        say(result, opened, g.node_count(), [n[0] for n in g.get_all_nodes()],
            g.get_node_schedule(g.node_count() - 1), g.find_idle_windows(0.0))
        """,
        timeout=60,
    )
    kept = "2 ['h', 'z']" if first_gate else "1 ['z']"
    assert outcome(child) == f"TimeoutError True {kept} (0.0, 2.0) []"


# ---- an embedding program that starts the interpreter twice ----------------------

EMBEDDING_HOST = r"""
#include <Python.h>
#include <stdio.h>
int main(void) {
    const char* code =
        "import _velun_q\n"
        "g = _velun_q.QuantumDAG()\n"
        "g.add_gate('h', [0], 1.0)\n"
        "try:\n"
        "    g.add_gate('h', {0}, 1.0)\n"
        "except TypeError as exc:\n"
        "    print(_velun_q.__all__, g.node_count(), exc, flush=True)\n";
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(code) != 0) return 10 + round;
        if (Py_FinalizeEx() != 0) return 20 + round;
    }
    return 0;
}
"""


def embedding_build_flags():
    """Compiler flags for a program embedding this very interpreter, or None."""
    import glob
    import shutil
    import sysconfig

    if not shutil.which("gcc"):
        return None
    version = sysconfig.get_python_version()
    name = f"libpython{version}{sys.abiflags}.so"
    found = glob.glob(os.path.join(sys.base_prefix, "lib*", "**", name), recursive=True)
    found += glob.glob(os.path.join(sysconfig.get_config_var("LIBDIR") or "/nonexistent", name))
    # Some copies link to another build's library (a debug one, say).
    found = [path for path in found if os.path.basename(os.path.realpath(path)).startswith(name)]
    if not found:
        return None
    libdir = os.path.dirname(os.path.realpath(found[0]))
    # Run it under the loader this interpreter runs under (a provisioned
    # interpreter brings its own C library).
    with open("/proc/self/maps") as maps:
        loader = next((line.split()[-1] for line in maps if "/ld-linux" in line), None)
    flags = [f"-I{sysconfig.get_paths()['include']}", f"-L{libdir}", f"-lpython{version}",
             "-Wl,--disable-new-dtags", f"-Wl,-rpath,{libdir}", "-Wl,--allow-shlib-undefined"]
    if loader:
        flags.append(f"-Wl,--dynamic-linker={loader}")
    return flags


def test_interpreter_started_again_in_the_same_process(tmp_path):
    flags = embedding_build_flags()
    if flags is None:
        pytest.skip("no C compiler or no shared libpython to embed")
    source = tmp_path / "host.c"
    source.write_text(EMBEDDING_HOST)
    host = tmp_path / "host"
    subprocess.run(["gcc", str(source), "-o", str(host), *flags], check=True, capture_output=True)
    import _velun_q

    env = dict(os.environ, PYTHONHOME=sys.base_prefix, PYTHONPATH=os.path.dirname(_velun_q.__file__))
    env.pop("PYTHONSTARTUP", None)
    run = subprocess.run([str(host)], capture_output=True, encoding="utf-8", errors="replace", env=env, timeout=60)
    assert run.returncode == 0, run.stderr[-3000:]
    line = "['VelunQError', 'QuantumDAG'] 1 argument 'qubits': 'set' object cannot be cast as 'Sequence'"
    assert run.stdout.splitlines() == [line, line]
