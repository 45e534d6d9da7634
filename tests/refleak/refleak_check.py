"""Reference and memory leak check of every QuantumDAG method, on good and bad input.

    python3.14d tests/refleak/refleak_check.py [--warmup 3] [--rounds 3] [--repeat 20] [-k NAME] [--once]

Each scenario runs `repeat` times per round: `warmup` rounds, then `rounds`
measured ones. It leaks when every measured round ends with
sys.gettotalrefcount(), sys.getallocatedblocks() or the C heap above where it
started (the `-R warmup:rounds` rule). Measuring needs a pydebug interpreter;
`--once` runs each scenario once on any interpreter (for sanitizer runs).
Exit status 0 when all behaved and nothing leaked; the last stdout line sums up.
"""

import argparse
import contextlib
import ctypes
import gc
import os
import sys
import threading
import time

import _velun_q
from _velun_q import QuantumDAG

try:
    import _testcapi
except ImportError:  # an interpreter built without the test modules
    _testcapi = None

ScenarioFailure = type("ScenarioFailure", (AssertionError,), {})
PanicException = None  # the internal-fault class; main() gets it from a foreign-thread call
G = None  # a shared, scheduled graph for the readers; made by main()
BIG = 10**12


def raises(kind, fn, *args, message=None, **kwargs):
    """Calls fn; it must raise exactly `kind` (with `message` if given)."""
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # noqa: B036
        if type(exc) is not kind or (message is not None and not str(exc).startswith(message)):
            raise ScenarioFailure(f"expected {kind.__name__}({message!r}), got {type(exc).__name__}({exc})") from None
        return
    raise ScenarioFailure(f"expected {kind.__name__}, the call succeeded")


def small_graph():
    g = QuantumDAG()
    g.build_from_ir([("x", [2], 150.0, {}), ("y", [1], 20.0, {"amp": 0.5}), ("z", [3], 400.0, {}),
                     ("cx", [0, 2], 10.0, {}), ("cx", [1, 3], 10.0, {"a": 1.0, "b": 2.0})])
    g.set_coupling_map([(0, 1), (2, 3)])
    g.build_schedule()
    return g


class Hook:
    """Runs `action` from whichever numeric or sequence hook is asked for."""

    def __init__(self, action, value=0):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        return float(self.__index__())


class Seq:
    def __init__(self, items, length=None, iter_error=None, fail_at=None):
        self.items, self.length, self.iter_error, self.fail_at = items, length, iter_error, fail_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.iter_error is not None:
            raise self.iter_error
        for n, item in enumerate(self.items):
            if n == self.fail_at:
                raise KeyError("midway")
            yield item


def raise_(exc):
    raise exc


class Unprintable:
    def __init__(self, failure):
        self.failure = failure

    def __str__(self):
        raise self.failure


def chained_type_error():
    try:
        raise KeyError("inner")
    except KeyError as inner:
        raise TypeError("outer") from inner


def growing_params():
    """A params dict whose last value's conversion adds a key to it."""
    d = {"a": 1.0}
    d["b"] = Hook(lambda: d.setdefault(f"k{len(d)}", 1.0))
    return d


def swapping_params():
    """A params dict whose last value's conversion renames its other keys, keeping the size."""
    d = {"a": 1.0, "b": 2.0, "c": 3.0}
    d["swap"] = Hook(lambda: [d.update({k + "'": d.pop(k)}) for k in list(d) if k != "swap"])
    return d


def in_thread(fn):
    out = []

    def body():
        try:
            out.append(fn())
        except BaseException as exc:  # noqa: B036
            out.append(exc)

    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    return out[0]


def foreign_call():
    g = QuantumDAG()
    exc = in_thread(g.node_count)
    if type(exc) is not PanicException or "unsendable" not in str(exc):
        raise ScenarioFailure(f"foreign-thread call: {exc!r}")
    if g.add_gate("h", [0], 1.0) != 0:
        raise ScenarioFailure("the owner cannot use the graph after a foreign call")


def foreign_drop():
    reports = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda report: reports.append(type(report.exc_value))
    try:
        g = in_thread(lambda: small_graph())
        del g  # dropped on this thread, not its owner's
    finally:
        sys.unraisablehook = old_hook
    if reports != [RuntimeError]:
        raise ScenarioFailure(f"dropping on a foreign thread reported {reports}")


def stdout_full(fn, *args):
    """`fn` with file descriptor 1 on /dev/full: its progress line cannot be written."""
    full, saved = os.open("/dev/full", os.O_WRONLY), os.dup(1)
    try:
        os.dup2(full, 1)
        raises(PanicException, fn, *args, message="failed printing to stdout")
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(full)


def reenter(outer, inner, message):
    """Calls `outer` with an argument whose conversion calls `inner` on the same graph."""
    g = small_graph()
    hook = Hook(lambda: inner(g))
    raises(RuntimeError, outer, g, hook, message=message)


def fail_allocations(call, limit=48, expected=()):
    """Fails the k-th Python allocation of `call` for each k < limit: it may succeed or
    raise `expected`, MemoryError or PanicException (a result that could not be built)."""
    if _testcapi is None:
        return
    allowed = (MemoryError, PanicException, *expected)
    for k in range(limit):
        _testcapi.set_nomemory(k, k + 1)
        try:
            call()
        except BaseException as exc:  # noqa: B036
            if type(exc) not in allowed:
                raise ScenarioFailure(f"allocation {k} failed: {type(exc).__name__}: {exc}") from None
        finally:
            _testcapi.remove_mem_hooks()



SCENARIOS = {
    # good input, every method
    "new+dealloc": lambda: QuantumDAG(),
    "add_gate": lambda: QuantumDAG().add_gate("h", [0, 1], 10.0, {"amp": 0.5, "beta": 1}),
    "add_gate/keywords": lambda: QuantumDAG().add_gate(duration_ns=1, qubits=(3,), name="rz", params=None),
    "add_gate/sequences": lambda: [QuantumDAG().add_gate("h", q, 1.0) for q in (range(3), b"\x00\x01", bytearray(b"\x02"), Seq([1, 2]))],
    "add_gate/subclasses": lambda: QuantumDAG().add_gate(type("S", (str,), {})("h"), [True, 2**64 - 1], 1.5, {"a": 2}),
    "node_count": lambda: G.node_count(),
    "set_coupling_map": lambda: QuantumDAG().set_coupling_map([(0, 1), (1, 2), (2, 2)]),
    "build_from_ir": lambda: QuantumDAG().build_from_ir([("h", [0], 1.0, {}), ("cx", (0, 1), 2, {"t": 0.5})] * 3),
    "build_from_ir/shared names": lambda: QuantumDAG().build_from_ir([(n, [i], 1.0, {n: 1.0}) for i, n in enumerate("abcabc")]),
    "build_schedule": lambda: small_graph().build_schedule(),
    "get_node_schedule": lambda: (G.get_node_schedule(3), G.get_node_schedule(99)),
    "find_idle_windows": lambda: (G.find_idle_windows(0.0), G.find_idle_windows(float("nan"))),
    "apply_dd_pass": lambda: G.apply_dd_pass("XY4", {1: 10.0, 3: 5.0}, 4).get_all_nodes(),
    "apply_dd_pass/defaults": lambda: G.apply_dd_pass().node_count(),
    "get_all_nodes": lambda: G.get_all_nodes(),
    "road": lambda: (lambda g: (g.build_schedule(), g.apply_dd_pass(num_qubits=4).get_all_nodes()))(small_graph()),
    # binding errors
    "bind/too many": lambda: raises(TypeError, G.get_node_schedule, 1, 2, message="QuantumDAG.get_node_schedule() takes 1"),
    "bind/unexpected": lambda: raises(TypeError, G.find_idle_windows, 1.0, gap=2, message="QuantumDAG.find_idle_windows() got an unexpected"),
    "bind/surrogate keyword": lambda: raises(TypeError, G.apply_dd_pass, **{"\udcff": 1}),
    "bind/twice": lambda: raises(TypeError, QuantumDAG().add_gate, "h", [0], 1.0, name="x", message="QuantumDAG.add_gate() got multiple"),
    "bind/missing": lambda: raises(TypeError, QuantumDAG().add_gate, message="QuantumDAG.add_gate() missing 3"),
    "bind/new args": lambda: raises(TypeError, QuantumDAG, 1, message="QuantumDAG.__new__() takes 0"),
    "bind/new kwargs": lambda: raises(TypeError, QuantumDAG, x=1, message="QuantumDAG.__new__() got an unexpected"),
    "bind/noargs": lambda: raises(TypeError, G.node_count, 1),
    "bind/receiver": lambda: raises(TypeError, QuantumDAG.get_all_nodes, object()),
    # conversion errors, one per shape and argument
    "name/int": lambda: raises(TypeError, QuantumDAG().add_gate, 5, [0], 1.0, message="argument 'name': 'int' object"),
    "name/surrogate": lambda: raises(UnicodeEncodeError, QuantumDAG().add_gate, "\ud800", [0], 1.0),
    "qubits/str": lambda: raises(TypeError, QuantumDAG().add_gate, "h", "01", 1.0, message="argument 'qubits': Can't extract"),
    "qubits/set": lambda: raises(TypeError, QuantumDAG().add_gate, "h", {0, 1}, 1.0, message="argument 'qubits': 'set' object"),
    "qubits/generator": lambda: raises(TypeError, QuantumDAG().add_gate, "h", (q for q in [0]), 1.0),
    "qubits/negative": lambda: raises(OverflowError, QuantumDAG().add_gate, "h", [0, -1], 1.0),
    "qubits/huge int": lambda: raises(OverflowError, QuantumDAG().add_gate, "h", [2**64], 1.0),
    "qubits/float": lambda: raises(TypeError, QuantumDAG().add_gate, "h", [0.0], 1.0, message="argument 'qubits': "),
    "qubits/index raises TypeError with cause": lambda: raises(TypeError, QuantumDAG().add_gate, "h", [Hook(chained_type_error)], 1.0, message="argument 'qubits': outer"),
    "qubits/index raises TypeError without text": lambda: raises(TypeError, QuantumDAG().add_gate, "h", [Hook(lambda: raise_(TypeError(Unprintable(KeyError(1)))))], 1.0),
    "qubits/index raises TypeError, text interrupted": lambda: raises(KeyboardInterrupt, QuantumDAG().add_gate, "h", [Hook(lambda: raise_(TypeError(Unprintable(KeyboardInterrupt()))))], 1.0),
    "qubits/index raises": lambda: raises(KeyError, QuantumDAG().add_gate, "h", [Hook(lambda: raise_(KeyError(1)))], 1.0),
    "qubits/len raises": lambda: QuantumDAG().add_gate("h", Seq([1, 2], length=KeyError("len")), 1.0),
    "qubits/len interrupted": lambda: raises(KeyboardInterrupt, QuantumDAG().add_gate, "h", Seq([1, 2], length=KeyboardInterrupt()), 1.0),
    "instructions/len panics": lambda: raises(PanicException, QuantumDAG().build_from_ir, Seq([], length=PanicException("len")), message="len"),
    "qubits/iter raises": lambda: raises(KeyError, QuantumDAG().add_gate, "h", Seq([1], iter_error=KeyError("iter")), 1.0),
    "qubits/next raises": lambda: raises(KeyError, QuantumDAG().add_gate, "h", Seq([1, 2, 3], fail_at=2), 1.0),
    "qubits/range(10**12)": lambda: raises(MemoryError, QuantumDAG().add_gate, "h", range(BIG), 1.0),
    "qubits/huge len": lambda: raises(MemoryError, QuantumDAG().add_gate, "h", Seq([1], length=2**60), 1.0),
    "duration/str": lambda: raises(TypeError, QuantumDAG().add_gate, "h", [0], "1.0", message="argument 'duration_ns': "),
    "duration/huge int": lambda: raises(OverflowError, QuantumDAG().add_gate, "h", [0], 10**400),
    "duration/float raises": lambda: raises(ZeroDivisionError, QuantumDAG().add_gate, "h", [0], Hook(lambda: 1 / 0)),
    "params/list": lambda: raises(TypeError, QuantumDAG().add_gate, "h", [0], 1.0, [("a", 1.0)], message="argument 'params': 'list'"),
    "params/key": lambda: raises(TypeError, QuantumDAG().add_gate, "h", [0], 1.0, {1: 0.5}, message="argument 'params': 'int'"),
    "params/value": lambda: raises(TypeError, QuantumDAG().add_gate, "h", [0], 1.0, {"a": "b"}, message="argument 'params': "),
    "params/dict grows": lambda: raises(PanicException, QuantumDAG().add_gate, "h", [0], 1.0, growing_params(), message="dictionary changed size"),
    "params/dict keys change": lambda: raises(PanicException, QuantumDAG().add_gate, "h", [0], 1.0, swapping_params(), message="dictionary keys changed"),
    "params/python panic": lambda: raises(PanicException, QuantumDAG().add_gate, "h", [0], 1.0, {"a": Hook(lambda: raise_(PanicException("from Python")))}, message="from Python"),
    "edges/list item": lambda: raises(TypeError, QuantumDAG().set_coupling_map, [(0, 1), [1, 2]], message="argument 'edges': 'list' object"),
    "edges/length": lambda: raises(ValueError, QuantumDAG().set_coupling_map, [(0, 1, 2)], message="expected tuple of length 2"),
    "edges/dict": lambda: raises(TypeError, QuantumDAG().set_coupling_map, {(0, 1): 1}),
    "edges/huge": lambda: raises(MemoryError, QuantumDAG().set_coupling_map, range(BIG)),
    "instructions/list item": lambda: raises(TypeError, QuantumDAG().build_from_ir, [("x", [0], 1.0, {}), ["y", [1], 1.0, {}]]),
    "instructions/length": lambda: raises(ValueError, QuantumDAG().build_from_ir, [("h", [0], 10.0)], message="expected tuple of length 4"),
    "instructions/None params": lambda: raises(TypeError, QuantumDAG().build_from_ir, [("h", [0], 10.0, None)], message="argument 'instructions': 'NoneType'"),
    "instructions/str qubits": lambda: raises(TypeError, QuantumDAG().build_from_ir, [("h", "0", 10.0, {})], message="argument 'instructions': Can't extract"),
    "instructions/deep overflow": lambda: raises(OverflowError, QuantumDAG().build_from_ir, [("h", [0], 1.0, {})] * 5 + [("h", [-1], 1.0, {})]),
    "instructions/bad name late": lambda: raises(TypeError, QuantumDAG().build_from_ir, [("a", [0], 1.0, {})] * 70 + [(b"a", [0], 1.0, {})]),
    "instructions/param panic": lambda: raises(PanicException, QuantumDAG().build_from_ir, [("h", [0], 1.0, growing_params())]),
    "instructions/huge": lambda: raises(MemoryError, QuantumDAG().build_from_ir, Seq([], length=2**58)),
    "instructions/str": lambda: raises(TypeError, QuantumDAG().build_from_ir, "abc"),
    "node_id/negative": lambda: raises(OverflowError, G.get_node_schedule, -1),
    "node_id/str": lambda: raises(TypeError, G.get_node_schedule, "3", message="argument 'node_id': "),
    "min_gap/str": lambda: raises(TypeError, G.find_idle_windows, "x", message="argument 'min_gap_ns': "),
    "min_gap/huge int": lambda: raises(OverflowError, G.find_idle_windows, 10**400),
    "sequence/None": lambda: raises(TypeError, G.apply_dd_pass, sequence=None, message="argument 'sequence': 'NoneType'"),
    "sequence/surrogate": lambda: raises(UnicodeEncodeError, G.apply_dd_pass, "\udcff"),
    "pulse_durations/list": lambda: raises(TypeError, G.apply_dd_pass, "XY", [1.0], message="argument 'pulse_durations': 'list'"),
    "pulse_durations/key": lambda: raises(OverflowError, G.apply_dd_pass, "XY", {-1: 1.0}),
    "pulse_durations/value": lambda: raises(TypeError, G.apply_dd_pass, "XY", {1: "x"}, message="argument 'pulse_durations': "),
    "num_qubits/negative": lambda: raises(OverflowError, G.apply_dd_pass, "XY", None, -1),
    # re-entrant calls on the same graph
    "reenter/shared in exclusive": lambda: reenter(lambda g, h: g.add_gate("h", [h], 1.0), lambda g: g.node_count(), "Already mutably borrowed"),
    "reenter/exclusive in shared": lambda: reenter(lambda g, h: g.get_node_schedule(h), lambda g: g.add_gate("h", [0], 1.0), "Already borrowed"),
    "reenter/exclusive in exclusive": lambda: reenter(lambda g, h: g.set_coupling_map([(h, 1)]), lambda g: g.build_schedule(), "Already borrowed"),
    "reenter/shared in shared": lambda: (lambda g: g.get_node_schedule(Hook(lambda: g.get_all_nodes())))(small_graph()),
    "reenter/dd in dd": lambda: (lambda g: g.apply_dd_pass("XY", None, Hook(lambda: g.apply_dd_pass(), 2)))(small_graph()),
    # internal faults and foreign threads
    "fault/foreign call": foreign_call,
    "fault/foreign drop": foreign_drop,
    "fault/stdout full, build_from_ir": lambda: stdout_full(QuantumDAG().build_from_ir, [("h", [0], 1.0, {})]),
    "fault/stdout full, apply_dd_pass": lambda: stdout_full(G.apply_dd_pass),
    # every Python allocation of each method made to fail in turn
    "nomemory/add_gate": lambda: fail_allocations(lambda: QuantumDAG().add_gate("h", [0, 1], 1.0, {"a": 1.0})),
    "nomemory/build_from_ir": lambda: fail_allocations(lambda: QuantumDAG().build_from_ir([("h", [0], 1.0, {"a": 1.0})])),
    "nomemory/get_all_nodes": lambda: fail_allocations(lambda: G.get_all_nodes(), 80),
    "nomemory/find_idle_windows": lambda: fail_allocations(lambda: G.find_idle_windows(0.0)),
    "nomemory/get_node_schedule": lambda: fail_allocations(lambda: G.get_node_schedule(4)),
    "nomemory/apply_dd_pass": lambda: fail_allocations(lambda: G.apply_dd_pass("XY4", {0: 1.0}, 4)),
    "nomemory/new": lambda: fail_allocations(QuantumDAG),
    "nomemory/bad argument": lambda: fail_allocations(lambda: QuantumDAG().add_gate("h", [0], "x"), expected=(TypeError,)),
    "nomemory/binding error": lambda: fail_allocations(lambda: QuantumDAG().add_gate("h", bogus=1), expected=(TypeError,)),
    "nomemory/dict changed": lambda: fail_allocations(lambda: QuantumDAG().add_gate("h", [0], 1.0, growing_params())),
    "nomemory/foreign call": lambda: fail_allocations(foreign_call, 24, expected=(ScenarioFailure,)),
}

_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.mallinfo2.restype = type("Mallinfo2", (ctypes.Structure,), {"_fields_": [(name, ctypes.c_size_t) for name in (
    "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]})


def heap_in_use():
    """Bytes of C heap in use (the module's own allocations included)."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def counters():
    gc.collect()
    sys._clear_internal_caches()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks(), heap_in_use()


# The C heap also moves with the interpreter's own bookkeeping, by a few
# hundred bytes at most once warm; a native leak must exceed this per round.
HEAP_SLACK = 4096


class NullWriter:
    """Takes Python-level output meanwhile. Not a file on /dev/null: the text-file
    layer keeps a traceback line per MemoryError printed through it."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@contextlib.contextmanager
def quiet():
    """Sends the calls' progress lines and fault notices to /dev/null."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1), os.dup(2)
    old_streams = sys.stdout, sys.stderr
    sink = NullWriter()
    try:
        sys.stdout.flush()
        sys.stderr.flush()
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        sys.stdout = sys.stderr = sink
        yield
    finally:
        sys.stdout, sys.stderr = old_streams
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (*saved, devnull):
            os.close(fd)


def run_rounds(fn, repeat, rounds):
    """Runs fn repeat times per round; returns the per-round counter deltas."""
    deltas = []
    for _ in range(rounds):
        before = counters()
        for _ in range(repeat):
            fn()
        after = counters()
        deltas.append(tuple(a - b for a, b in zip(after, before)))
    return deltas


def leaked(deltas):
    refs, blocks, heap = zip(*deltas)
    found = []
    if all(d >= 1 for d in refs):
        found.append(f"references {list(refs)}")
    if all(d >= 1 for d in blocks):
        found.append(f"memory blocks {list(blocks)}")
    if all(d > HEAP_SLACK for d in heap):
        found.append(f"C heap bytes {list(heap)}")
    return found


_kept = []


def self_test(options):
    """The measurement must catch a planted leak of each kind."""
    canaries = {"reference": lambda: _kept.append(_kept), "memory block": lambda: _kept.append(object()),
                "C heap": lambda: _libc.malloc(HEAP_SLACK + 100)}
    for kind, fn in canaries.items():
        for _ in range(options.warmup):
            fn()
        if not leaked(run_rounds(fn, options.repeat, options.rounds)):
            sys.exit(f"refleak: the check missed a planted {kind} leak; its figures cannot be trusted")
    _kept.clear()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--once", action="store_true", help="run each scenario once, measure nothing")
    parser.add_argument("--warmup", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=20)
    parser.add_argument("-k", dest="keyword", default="", help="only scenarios whose name contains this")
    options = parser.parse_args()
    if not options.once and not hasattr(sys, "gettotalrefcount"):
        parser.error("measuring needs a pydebug interpreter (sys.gettotalrefcount); use --once otherwise")

    global PanicException, G
    with quiet():
        PanicException = type(in_thread(QuantumDAG().node_count))
        G = small_graph()
    if not options.once:
        self_test(options)

    selected = {name: fn for name, fn in SCENARIOS.items() if options.keyword in name}
    start = time.monotonic()
    failures, leaks, calls = [], [], 0
    for name, fn in selected.items():
        try:
            with quiet():
                if options.once:
                    fn()
                    calls += 1
                else:
                    for _ in range(options.warmup):
                        for _ in range(options.repeat):
                            fn()
                    deltas = run_rounds(fn, options.repeat, options.rounds)
                    calls += options.repeat * (options.warmup + options.rounds)
        except BaseException as exc:  # noqa: B036 - report and go on
            failures.append(name)
            print(f"FAIL {name}: {type(exc).__name__}: {exc}", file=sys.stderr)
            continue
        if not options.once:
            found = leaked(deltas)
            if found:
                leaks.append(name)
                print(f"LEAK {name}: {'; '.join(found)}", file=sys.stderr)
            else:
                print(f"ok   {name}  {deltas}", file=sys.stderr)

    seconds = time.monotonic() - start
    label = "refleak-scenarios" if options.once else "refleak"
    print(f"{label}: {len(selected)} scenarios, {calls} calls, {len(leaks)} leaking, "
          f"{len(failures)} misbehaving; {seconds:.1f} s")
    return 1 if failures or leaks else 0


if __name__ == "__main__":
    sys.exit(main())
