import collections.abc
import math
import os
import subprocess
import sys

import pytest

import _velun_q
from reference import RefDAG, same

QuantumDAG = _velun_q.QuantumDAG
MARK = "\U0001F980"


def lines(n_in, n_total):
    return (f"{MARK} [Core] Received {n_in} instructions from Python.\n"
            f"{MARK} [Core] Graph memory now contains {n_total} nodes.\n")


def test_import_appends_and_numbers_in_call_order(capfd):
    g = QuantumDAG()
    g.build_from_ir([])
    assert capfd.readouterr().out == lines(0, 0) and g.get_all_nodes() == []
    assert g.add_gate("a", [0], 1.0) == 0
    g.build_from_ir([("b", [1], 2.0, {}), ("c", (2, 3), 3, {"x": 1})])
    g.build_from_ir(range(0))
    assert capfd.readouterr().out == lines(2, 3) + lines(0, 3)
    assert g.add_gate("d", [], 4.0) == 3
    g.build_from_ir([("e", [0], 5.0, {})])
    assert capfd.readouterr().out == lines(1, 5)
    assert [t[0] for t in g.get_all_nodes()] == list("abcde")
    assert g.get_all_nodes()[2] == ("c", [2, 3], 3.0, {"x": 1.0})


GOOD = ("x", [0], 35.0, {})
BAD_ITEMS = [["y", [1], 35.0, {}], ("y", [1], 35.0), ("y", [1], 35.0, {}, 0),
             ("y", [1], 35.0, None), ("y", "1", 35.0, {}), ("y", [1, -1], 35.0, {}),
             (1, [1], 35.0, {}), ("y", [1], "35", {}), ("y", [1], 35.0, {"a": None}),
             ("y", [1], 35.0, [("a", 1.0)]), ("y", [2**64], 35.0, {})]


@pytest.mark.parametrize("bad", BAD_ITEMS)
@pytest.mark.parametrize("where", [0, 1, 2])
def test_bad_item_anywhere_adds_and_prints_nothing(capfd, bad, where):
    g = QuantumDAG()
    g.add_gate("pre", [0], 1.0)
    items = [GOOD, GOOD]
    items.insert(where, bad)
    with pytest.raises((TypeError, ValueError, OverflowError)) as err:
        g.build_from_ir(items)
    if err.type is TypeError:
        assert str(err.value).startswith("argument 'instructions': ")
    assert capfd.readouterr().out == ""
    assert g.node_count() == 1 and len(g.get_all_nodes()) == 1


ROUND_TRIP = [("h", [0], 35.0, {}), ("cx", [3, 1], 0.0, {"theta": 0.5, "amp": -1.0}),
              ("", [], float("nan"), {}), ("rz\u00e9\u4e2d", [2, 2, 2**64 - 1], -20.0, {"\u00b5": 1e300}),
              ("m", [5], float("inf"), {"b": float("nan"), "a": -0.0}), ("h", [0], -0.0, {}),
              ("h", [0], 35.0, {})]


def test_round_trip_and_export_types(capfd):
    g = QuantumDAG()
    g.build_from_ir(ROUND_TRIP)
    out = g.get_all_nodes()
    assert type(out) is list and len(out) == len(ROUND_TRIP)
    for item in out:
        assert type(item) is tuple and len(item) == 4
        name, qubits, duration, params = item
        assert type(name) is str and type(qubits) is list and type(duration) is float
        assert type(params) is dict and all(type(q) is int for q in qubits)
        assert all(type(k) is str and type(v) is float for k, v in params.items())
    assert same(out, ROUND_TRIP)  # also keeps the parameter order as given
    again = QuantumDAG()
    again.build_from_ir(out)
    assert same(again.get_all_nodes(), out)
    ref = RefDAG()
    assert capfd.readouterr().out == "".join(ref.build_from_ir(ROUND_TRIP)) + lines(7, 7)
    assert math.isnan(out[2][2]) and out[1][3] == {"theta": 0.5, "amp": -1.0}
    # the export is a copy: changing it does not touch the graph
    out[0][1].append(9)
    out[0][3]["k"] = 1.0
    assert same(g.get_all_nodes(), ROUND_TRIP)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator holds freed blocks back, so address space tells nothing")
def test_a_graph_keeps_no_room_reserved_for_items_a_sequence_never_yielded(capfd):
    # A sequence may report more items than it yields; the room reserved for
    # them must not stay with the graph that a first import makes (about
    # 200 MiB of address space each for these four graphs if it did).
    class Overstated(collections.abc.Sequence):
        def __len__(self):
            return 10_000_000

        def __getitem__(self, i):
            if i < 2:
                return ("h", [i], 35.0, {"theta": 0.5})
            raise IndexError(i)

    def mapped_kib():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))

    before = mapped_kib()
    graphs = []
    for _ in range(4):
        g = QuantumDAG()
        g.build_from_ir(Overstated())
        graphs.append(g)
    assert mapped_kib() - before < 100 * 1024
    for g in graphs:
        assert same(g.get_all_nodes(), [("h", [0], 35.0, {"theta": 0.5}), ("h", [1], 35.0, {"theta": 0.5})])
        assert g.add_gate("x", [2], 35.0) == 2


def test_equal_numbers_share_objects_but_nans_never_do():
    g = QuantumDAG()
    nan = float("nan")
    g.add_gate("a", [0], 35.0, {"t": nan})
    g.add_gate("b", [1], 35.0, {"t": nan})
    g.add_gate("c", [2], nan, {})
    g.add_gate("d", [3], nan, {})
    a, b, c, d = g.get_all_nodes()
    assert a[2] is b[2]  # equal values may share one object
    # Containers compare items by identity first: a shared NaN would make
    # these compare equal, unlike the fresh NaNs a caller would build.
    assert a[3]["t"] is not b[3]["t"] and a[3] != b[3]
    assert c[2] is not d[2] and [c[2]] != [d[2]]


def test_equal_names_as_separate_objects_import_as_one_name(capfd):
    # A parser makes a new string for every gate; equal texts are one name
    # and different ones stay apart, whatever their kind or hash slot.
    texts = ["rz", "sx", "theta", "th\u00e9ta", "\u03b8", "\U0001d703", "a" * 40] + [f"p{i}" for i in range(300)]
    ir = [("".join(t), [i % 3], 1.0, {"".join(t): float(i), "".join(texts[i * 7 % len(texts)]): 2.0})
          for i in range(3 * len(texts)) for t in [texts[i % len(texts)]]]
    g = QuantumDAG()
    g.build_from_ir(ir)
    capfd.readouterr()
    out = g.get_all_nodes()
    assert same(out, ir)
    by_text = {}
    for name, _, _, params in out:
        assert by_text.setdefault(name, name) is name  # one object per name
        for key in params:
            assert by_text.setdefault(key, key) is key


def test_large_qubit_indices_export_equal_values_in_separate_lists():
    g = QuantumDAG()
    g.build_from_ir([("cz", [300, 2**64 - 1], 1.0, {}), ("cz", [2**64 - 1, 300], 1.0, {}), ("x", [300], 1.0, {})])
    first, second, third = (node[1] for node in g.get_all_nodes())
    assert first == [300, 2**64 - 1] and second == [2**64 - 1, 300] and third == [300]
    assert first[0] is second[1]  # one int object per distinct qubit
    first.append(5)
    first[0] = 0
    assert second == [2**64 - 1, 300] and third == [300]
    assert [node[1] for node in g.get_all_nodes()] == [[300, 2**64 - 1], [2**64 - 1, 300], [300]]


def run_child(code):
    prog = "import _velun_q, sys, io\ng = _velun_q.QuantumDAG()\n" + code
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    return subprocess.run([sys.executable, "-c", prog], capture_output=True, timeout=60, env=env)


def test_progress_lines_bypass_sys_stdout():
    proc = run_child(
        "buf = io.StringIO(); sys.stdout = buf\n"
        "g.build_from_ir([('h', [0], 1.0, {}), ('x', [1], 2.0, {})])\n"
        "g.build_schedule(); g.apply_dd_pass()\n"
        "sys.stderr.write(repr(buf.getvalue()))\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == b"''"
    assert proc.stdout.decode("utf-8") == lines(2, 2) + (
        f"{MARK} [Core] Starting apply_dd_pass with 2 nodes...\n"
        f"{MARK} [Core] apply_dd_pass finished! Optimized DAG contains 2 nodes.\n")


def test_progress_lines_are_whole_and_not_buffered_on_a_pipe():
    # With stdout a pipe, print() output sits in the interpreter's buffer until
    # exit, while every progress line is already on the pipe, each in one piece.
    proc = run_child(
        "print('before')\n"
        "for i in range(200): g.build_from_ir([('g', [i], 1.0, {})])\n"
        "print('after')\n")
    assert proc.returncode == 0, proc.stderr
    expected = "".join(lines(1, i + 1) for i in range(200)) + "before\nafter\n"
    assert proc.stdout.decode("utf-8") == expected


@pytest.mark.parametrize("left_non_blocking", [False, True])
def test_a_progress_line_blocked_on_a_full_pipe_lets_other_threads_drain_it(left_non_blocking):
    # The pipe's only reader is a thread of this process: the write must wait
    # without the interpreter lock, or the reader never runs. A descriptor left
    # non-blocking makes the line wait for room the same way rather than fail.
    proc = run_child(
        "import os, threading, fcntl\n"
        "r, w = os.pipe()\n"
        "os.dup2(w, 1)\n"
        "flags = fcntl.fcntl(1, fcntl.F_GETFL)\n"
        "fcntl.fcntl(1, fcntl.F_SETFL, flags | os.O_NONBLOCK)\n"
        "try:\n"
        "    while True: os.write(1, b'.' * 4096)\n"
        "except BlockingIOError: pass\n"
        f"if not {left_non_blocking}: fcntl.fcntl(1, fcntl.F_SETFL, flags)\n"
        "got = []\n"
        "def drain():\n"
        "    import time; time.sleep(0.2)\n"
        "    while not b''.join(got).endswith(b'nodes.\\n'): got.append(os.read(r, 1 << 16))\n"
        "t = threading.Thread(target=drain, daemon=True); t.start()\n"
        "g.build_from_ir([('h', [0], 1.0, {})])\n"
        "t.join(30)\n"
        "sys.stderr.write(str(g.node_count()) + ' ' + repr(b''.join(got).lstrip(b'.').decode()))\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.decode("utf-8") == "1 " + repr(lines(1, 1))
