#!/usr/bin/env python3
"""Benchmark of the compile road: import, coupling map, schedule, idle
windows, DD pass, export.

    python bench/run.py [--sizes 10k,100k,1M] [--native-10m] [--json out.json]
                        [--repeat N] [--verify]

For every circuit size each contender runs the whole road; contenders take
turns, and every stage keeps its best time over the turns. Contenders:

  module   the native ``_velun_q.QuantumDAG``
  pure     the same operations in plain Python (``pure_python.py``)
  qiskit   the peer framework, when installed (``qiskit_peer.py``)
  floor    a Python comprehension that builds the same objects that cross
           the boundary (the least any import/export from Python can cost)

The native core writes progress lines straight to file descriptor 1; they
are sent to /dev/null while this script runs, and the report goes to the
original standard output. The cyclic garbage collector is off inside timed
sections (as ``timeit`` does) for every contender alike.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import math
import os
import platform
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import circuits  # noqa: E402
import pure_python  # noqa: E402
import qiskit_peer  # noqa: E402

from _velun_q import QuantumDAG  # noqa: E402

STAGES = ["build_from_ir", "set_coupling_map", "build_schedule", "find_idle_windows",
          "apply_dd_pass", "get_all_nodes"]
FEW_GAP_NS = 1000.0     # few windows qualify
MANY_GAP_NS = 0.0       # every pair of neighbouring operations qualifies
NONE_GAP_NS = math.inf  # no window qualifies: the search alone
SEQUENCE = "XY4"
PULSE_NS = circuits.X_NS
CLOCK = time.perf_counter


# --- output plumbing ------------------------------------------------------

def silence_core_output():
    """Point fd 1 at /dev/null and keep the real stdout for the report."""
    sys.stdout.flush()
    real = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    sys.stdout = open(real, "w", buffering=1, encoding="utf-8", closefd=True)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def malloc_trim():
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


# --- one turn of each contender ---------------------------------------------

def road(make_dag, instructions, edges, num_qubits, pulse_durations, sequence=SEQUENCE,
         with_dd=True, keep=None):
    """Times each stage of the road on a fresh graph from `make_dag`.

    Every stage's result stays alive to the end of the turn, as in a
    compile, so no stage's time includes freeing what it returned."""
    marks = [CLOCK()]
    dag = make_dag()
    dag.build_from_ir(instructions)
    marks.append(CLOCK())
    dag.set_coupling_map(edges)
    marks.append(CLOCK())
    dag.build_schedule()
    marks.append(CLOCK())
    windows = dag.find_idle_windows(FEW_GAP_NS)
    marks.append(CLOCK())
    if with_dd:
        out = dag.apply_dd_pass(sequence, pulse_durations, num_qubits)
        marks.append(CLOCK())
        exported = out.get_all_nodes()
        marks.append(CLOCK())
        if keep is not None:
            keep["export"] = exported
    del windows
    t = {name: b - a for name, a, b in zip(STAGES, marks, marks[1:])}
    if with_dd:
        t["road"] = marks[-1] - marks[0]
    return t


def module_road(circ, pulse_durations, keep=None):
    return road(QuantumDAG, circ.instructions, circ.edges, circ.num_qubits, pulse_durations, keep=keep)


def pure_road(circ, pulse_durations, with_dd=True):
    return road(pure_python.PyDAG, circ.instructions, circ.edges, circ.num_qubits, pulse_durations,
                with_dd=with_dd)


# Every timing below stops before the timed call's result is freed, as in
# the road: a result is freed when its caller is done with it, not as part
# of making it.

def timed(fn):
    t0 = CLOCK()
    result = fn()
    elapsed = CLOCK() - t0
    del result
    return elapsed


def floor_import(ir):
    return {"build_from_ir": timed(lambda: [(n, list(q), float(d), dict(p)) for n, q, d, p in ir])}


def floor_export(exported):
    return {"get_all_nodes": timed(lambda: [(n, list(q), float(d), dict(p)) for n, q, d, p in exported])}


def floor_windows(cols, stage):
    qs, ss, es = cols
    return {stage: timed(lambda: [(q, s, e) for q, s, e in zip(qs, ss, es)]),
            # The module has to create its float objects; this variant does too.
            stage + "_fresh": timed(lambda: [(q, s + 0.0, e + 0.0) for q, s, e in zip(qs, ss, es)])}


def window_columns(windows):
    return [w[0] for w in windows], [w[1] for w in windows], [w[2] for w in windows]


class Job:
    def __init__(self, contender, fn, turns):
        self.contender = contender
        self.fn = fn
        self.turns = turns


def run_in_turns(jobs, repeat, best):
    """Run every job once per turn, in an order that rotates from turn to
    turn; keep each (contender, stage) minimum in ``best``."""
    for turn in range(repeat):
        k = turn % len(jobs)
        for job in jobs[k:] + jobs[:k]:
            if turn >= job.turns:
                continue
            gc.collect()
            result = job.fn()
            slot = best.setdefault(job.contender, {})
            for stage, seconds in result.items():
                slot[stage] = min(seconds, slot.get(stage, math.inf))


# --- one circuit size -------------------------------------------------------

def bench_size(n, args, peer_ok, nq_size):
    circ = circuits.generate(n, seed=args.seed, topology=args.topology)
    pd = {q: PULSE_NS for q in range(circ.num_qubits)}
    info = {"gates": n, "num_qubits": circ.num_qubits, "edges": len(circ.edges)}

    # Warm-up road; its export feeds the export floor.
    keep = {}
    module_road(circ, pd, keep)
    exported = keep.pop("export")
    info["exported_nodes"] = len(exported)

    prepared = QuantumDAG()
    prepared.build_from_ir(circ.instructions)
    prepared.set_coupling_map(circ.edges)
    prepared.build_schedule()
    # The window lists, as columns for their floors: the one the road asks
    # for (few windows) and the one where every gap qualifies.
    few_cols = window_columns(prepared.find_idle_windows(FEW_GAP_NS))
    many_cols = window_columns(prepared.find_idle_windows(MANY_GAP_NS))
    info["windows_few"] = len(few_cols[0])
    info["windows_many"] = len(many_cols[0])

    # Time stepping back: every pulse list walks backwards (pulses of
    # -20 ns), or one gate in 1000 has a NaN duration (each later gate on its
    # qubits may start earlier than the one before).
    back_pd = {q: -20.0 for q in range(circ.num_qubits)}
    nan_dag = QuantumDAG()
    nan_dag.build_from_ir([(g, q, math.nan if i % 1000 == 999 else d, p)
                           for i, (g, q, d, p) in enumerate(circ.instructions)])
    nan_dag.set_coupling_map(circ.edges)
    nan_dag.build_schedule()

    run_pure = n <= args.pure_max
    run_peer = peer_ok and n <= args.qiskit_max
    jobs = [
        Job("module", lambda: module_road(circ, pd), args.repeat),
        Job("module", lambda: {"find_idle_windows_many": timed(lambda: prepared.find_idle_windows(MANY_GAP_NS)),
                               "find_idle_windows_none": timed(lambda: prepared.find_idle_windows(NONE_GAP_NS)),
                               "apply_dd_pass_no_clearance": timed(lambda: prepared.apply_dd_pass(SEQUENCE, pd, 0))},
            args.repeat),
        Job("floor", lambda: floor_import(circ.instructions), args.repeat),
        Job("floor", lambda: floor_export(exported), args.repeat),
        Job("floor", lambda: floor_windows(few_cols, "find_idle_windows"), args.repeat),
        Job("floor", lambda: floor_windows(many_cols, "find_idle_windows_many"), args.repeat),
    ]
    jobs.append(Job("module", lambda: {
        "dd_pulses_stepping_back": timed(lambda: prepared.apply_dd_pass(SEQUENCE, back_pd, circ.num_qubits)),
        "dd_nan_durations": timed(lambda: nan_dag.apply_dd_pass(SEQUENCE, pd, circ.num_qubits))}, args.repeat))
    if n == nq_size:
        jobs.append(Job("module", lambda: {"dd_num_qubits_128": timed(lambda: prepared.apply_dd_pass(SEQUENCE, pd, 128))},
                        args.repeat))
        jobs.append(Job("module", lambda: {"dd_num_qubits_1000": timed(lambda: prepared.apply_dd_pass(SEQUENCE, pd, 1000))},
                        args.repeat))
    if run_pure:
        pure_prepared = pure_python.PyDAG()
        pure_prepared.build_from_ir(circ.instructions)
        pure_prepared.set_coupling_map(circ.edges)
        pure_prepared.build_schedule()
        # The whole road (its DD pass dominates) takes few turns; the cheaper
        # stages get as many turns as the module.
        jobs.append(Job("pure", lambda: pure_road(circ, pd), args.pure_repeat))
        jobs.append(Job("pure", lambda: pure_road(circ, pd, with_dd=False), args.repeat))
        jobs.append(Job("pure", lambda: {
            "find_idle_windows_many": timed(lambda: pure_prepared.find_idle_windows(MANY_GAP_NS)),
            "find_idle_windows_none": timed(lambda: pure_prepared.find_idle_windows(NONE_GAP_NS)),
            "apply_dd_pass_no_clearance": timed(lambda: pure_prepared.apply_dd_pass(SEQUENCE, pd, 0))},
            args.pure_repeat))
    if run_peer:
        target = qiskit_peer.make_target(circ)
        qc = qiskit_peer.to_quantum_circuit(circ)

        def peer_turn():
            t = qiskit_peer.run_road(qc, target, CLOCK)
            t["sched_plus_dd"] = t["build_schedule"] + t["apply_dd_pass"]
            t["road"] = sum(v for k, v in t.items() if k != "sched_plus_dd")
            return t
        jobs.append(Job("qiskit", peer_turn, args.qiskit_repeat))

    best = {}
    gc.disable()
    try:
        run_in_turns(jobs, args.repeat, best)
    finally:
        gc.enable()
    info["pure_timed"] = run_pure
    info["qiskit_timed"] = run_peer
    return {"info": info, "best": best}


def reference_workload(args):
    ref = qiskit_peer.Reference()
    pd = {q: qiskit_peer.REF_NS["x"] for q in range(ref.num_qubits)}

    def module_turn():
        return road(QuantumDAG, ref.ir, ref.edges, ref.num_qubits, pd, sequence="XY")

    def module_passes():
        # Like for like with the peer's timed region: the graph is imported
        # and its coupling map set beforehand; only scheduling and the DD
        # pass are timed.
        dag = QuantumDAG()
        dag.build_from_ir(ref.ir)
        dag.set_coupling_map(ref.edges)
        t0 = CLOCK()
        dag.build_schedule()
        t1 = CLOCK()
        out = dag.apply_dd_pass("XY", pd, ref.num_qubits)
        t2 = CLOCK()
        del out
        return {"passes": t2 - t0, "passes_schedule": t1 - t0, "passes_dd": t2 - t1}

    def peer_passes():
        t = ref.run_passes_on_dag(CLOCK)
        return {"passes": t["build_schedule"] + t["apply_dd_pass"], "passes_schedule": t["build_schedule"],
                "passes_dd": t["apply_dd_pass"]}

    warm = QuantumDAG()
    warm.build_from_ir(ref.ir)
    warm.set_coupling_map(ref.edges)
    warm.build_schedule()
    exported = warm.apply_dd_pass("XY", pd, ref.num_qubits).get_all_nodes()
    best = {}
    gc.disable()
    try:
        run_in_turns([Job("module", module_turn, args.repeat),
                      Job("module", module_passes, args.repeat),
                      Job("floor", lambda: floor_export(exported), args.repeat),
                      Job("qiskit", lambda: {"sched_plus_dd": ref.run_peer(CLOCK)}, args.qiskit_repeat),
                      Job("qiskit", peer_passes, args.qiskit_repeat)],
                     args.repeat, best)
    finally:
        gc.enable()
    m, q = best["module"], best["qiskit"]
    return {"gates": len(ref.ir), "exported_nodes": len(exported), "module_road": m["road"],
            "module_stages": {s: m[s] for s in STAGES},
            "floor_export": best["floor"]["get_all_nodes"],
            "qiskit_sched_plus_dd": q["sched_plus_dd"],
            "module_passes": m["passes"], "module_passes_schedule": m["passes_schedule"],
            "module_passes_dd": m["passes_dd"],
            "qiskit_passes": q["passes"], "qiskit_passes_schedule": q["passes_schedule"],
            "qiskit_passes_dd": q["passes_dd"]}


# --- fresh-process measurements ---------------------------------------------

def child_memory(n, seed, topology):
    circ = circuits.generate(n, seed=seed, topology=topology)
    gc.collect()
    malloc_trim()
    base = rss_bytes()
    dag = QuantumDAG()
    dag.build_from_ir(circ.instructions)
    built_raw = rss_bytes()
    malloc_trim()
    built = rss_bytes()
    dag.build_schedule()
    malloc_trim()
    scheduled = rss_bytes()
    return {"nodes": dag.node_count(), "rss_before": base,
            "bytes_per_node_raw": (built_raw - base) / n,
            "bytes_per_node": (built - base) / n,
            "bytes_per_node_with_schedule": (scheduled - base) / n}


def child_native_10m(n, seed, topology):
    t0 = time.perf_counter()
    circ = circuits.generate(n, seed=seed, topology=topology)
    gen = time.perf_counter() - t0
    pd = {q: PULSE_NS for q in range(circ.num_qubits)}
    gc.collect()
    gc.disable()
    malloc_trim()
    base = rss_bytes()
    wall, cpu, keep = {}, {}, {}

    def stage(name, fn):
        w0, c0 = time.perf_counter(), time.process_time()
        keep[name] = fn()
        wall[name] = time.perf_counter() - w0
        cpu[name] = time.process_time() - c0

    dag = QuantumDAG()
    stage("build_from_ir", lambda: dag.build_from_ir(circ.instructions))
    malloc_trim()
    built = rss_bytes()
    # Import/export against the floor at this size: exporting the imported
    # graph builds exactly the objects of the floor comprehension.
    stage("floor_import_export", lambda: [(a, list(q), float(d), dict(p)) for a, q, d, p in circ.instructions])
    del keep["floor_import_export"]
    stage("export_of_import", dag.get_all_nodes)
    del keep["export_of_import"]
    stage("set_coupling_map", lambda: dag.set_coupling_map(circ.edges))
    stage("build_schedule", dag.build_schedule)
    stage("find_idle_windows", lambda: dag.find_idle_windows(FEW_GAP_NS))
    stage("apply_dd_pass", lambda: dag.apply_dd_pass(SEQUENCE, pd, circ.num_qubits))
    stage("get_all_nodes", keep["apply_dd_pass"].get_all_nodes)
    extra = ("floor_import_export", "export_of_import")
    wall["road"] = sum(v for k, v in wall.items() if k not in extra)
    cpu["road"] = sum(v for k, v in cpu.items() if k not in extra)
    return {"gates": n, "generate_s": gen, "times": wall, "cpu_times": cpu,
            "windows_few": len(keep["find_idle_windows"]), "result_nodes": len(keep["get_all_nodes"]),
            "bytes_per_node": (built - base) / n,
            "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}


def in_fresh_process(kind, n, args):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", kind, "--child-size", str(n),
           "--seed", str(args.seed), "--topology", args.topology]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    return {"error": f"exit {proc.returncode}: {proc.stderr.strip()[-500:]}"}


# --- verification -----------------------------------------------------------

def verify(args):
    """Module and pure Python agree on a 10k circuit, stage by stage."""
    circ = circuits.generate(10000, seed=args.seed, topology=args.topology)
    pd = {q: PULSE_NS for q in range(circ.num_qubits)}
    mod, ref = QuantumDAG(), pure_python.PyDAG()
    for dag in (mod, ref):
        dag.build_from_ir(circ.instructions)
        dag.set_coupling_map(circ.edges)
    checks = [("get_all_nodes after import", mod.get_all_nodes(), ref.get_all_nodes())]
    for dag in (mod, ref):
        dag.build_schedule()
    checks.append(("schedule", [mod.get_node_schedule(i) for i in range(len(circ.instructions))],
                   [ref.get_node_schedule(i) for i in range(len(circ.instructions))]))
    for gap in (MANY_GAP_NS, 200.0, FEW_GAP_NS, 1e9):
        checks.append((f"find_idle_windows({gap})", mod.find_idle_windows(gap), ref.find_idle_windows(gap)))
    for call in ((SEQUENCE, pd, circ.num_qubits), (SEQUENCE, pd, 1000), (SEQUENCE, pd, 0),
                 ("XY", None, circ.num_qubits), ("XY", {q: 5.0 for q in range(0, circ.num_qubits, 2)}, 64),
                 (SEQUENCE, {q: -20.0 for q in range(circ.num_qubits)}, circ.num_qubits)):
        label = f"apply_dd_pass{(call[0], 'per-qubit' if call[1] else None, call[2])}"
        checks.append((label, mod.apply_dd_pass(*call).get_all_nodes(),
                       ref.apply_dd_pass(*call).get_all_nodes()))
    ok = True
    for label, got, want in checks:
        if got == want:
            print(f"verify: {label}: same ({len(got)} items)")
            continue
        ok = False
        first = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        print(f"verify: {label}: DIFFERENT (module {len(got)} items, pure {len(want)}; "
              f"first difference at {first}: module {got[first:first + 1]}, pure {want[first:first + 1]})")
    return ok


# --- report -----------------------------------------------------------------

def fmt_s(x):
    if x is None or (isinstance(x, float) and math.isinf(x)):
        return "-"
    if x >= 100:
        return f"{x:.0f}"
    if x >= 1:
        return f"{x:.2f}"
    if x >= 0.001:
        return f"{x * 1e3:.2f}m"
    return f"{x * 1e6:.1f}u"


def fmt_x(x):
    if x is None or not math.isfinite(x):
        return "-"
    return f"{x:.0f}x" if x >= 100 else f"{x:.2f}x" if x < 10 else f"{x:.1f}x"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def print_size_table(label, res):
    best = res["best"]
    mod = best.get("module", {})
    pure = best.get("pure", {})
    peer = best.get("qiskit", {})
    floor = best.get("floor", {})
    info = res["info"]
    print(f"\n== {label} gates, {info['num_qubits']} qubits, {info['edges']} couplings; "
          f"DD result {info['exported_nodes']} nodes; windows >= {FEW_GAP_NS:g} ns: {info['windows_few']}, "
          f">= {MANY_GAP_NS:g} ns: {info['windows_many']}")
    head = f"{'stage':28} {'module s':>9} {'pure s':>9} {'pure/mod':>9} {'qiskit s':>9} {'qk/mod':>8} {'floor s':>9} {'mod/floor':>9}"
    print(head)
    print("-" * len(head))
    rows = STAGES + ["road", "find_idle_windows_many", "find_idle_windows_none", "apply_dd_pass_no_clearance",
                     "dd_pulses_stepping_back", "dd_nan_durations"]
    for stage in rows:
        m = mod.get(stage)
        p = pure.get(stage)
        q = peer.get(stage)
        f = floor.get(stage)
        print(f"{stage:28} {fmt_s(m):>9} {fmt_s(p):>9} {fmt_x(ratio(p, m)):>9} {fmt_s(q):>9} "
              f"{fmt_x(ratio(q, m)):>8} {fmt_s(f):>9} {fmt_x(ratio(m, f)):>9}")
    for stage, label in (("find_idle_windows", "  1000 ns list, fresh floats"),
                         ("find_idle_windows_many", "  0 ns list, fresh floats")):
        if stage + "_fresh" in floor:
            fresh = floor[stage + "_fresh"]
            print(f"{label:28} {'':>9} {'':>9} {'':>9} {'':>9} {'':>8} "
                  f"{fmt_s(fresh):>9} {fmt_x(ratio(mod.get(stage), fresh)):>9}")
    if "sched_plus_dd" in peer:
        print(f"{'qiskit schedule + DD only':28} {'':>9} {'':>9} {'':>9} {fmt_s(peer['sched_plus_dd']):>9} "
              f"{fmt_x(ratio(peer['sched_plus_dd'], mod.get('road'))):>8}   (vs the module's whole road)")
    notes = []
    if not info["pure_timed"]:
        notes.append("pure Python not timed at this size (see --pure-max)")
    if not info["qiskit_timed"]:
        notes.append("qiskit not timed at this size")
    for note in notes:
        print(f"  ({note})")


def check(targets, name, measured, limit, at_least, where):
    if measured is None:
        targets.append({"target": name, "where": where, "measured": None, "limit": limit,
                        "result": "n/a"})
        return
    ok = measured >= limit if at_least else measured <= limit
    targets.append({"target": name, "where": where, "measured": measured, "limit": limit,
                    "result": "PASS" if ok else "FAIL"})


def extra_line(targets, name, measured, where):
    """A number shown beside the targets but not judged."""
    targets.append({"target": name, "where": where, "measured": measured, "limit": None, "result": "info"})


def evaluate(results, sizes, ref, memory, native10):
    """Every target of the benchmark, with its measured ratio."""
    t = []
    by = {n: results[circuits.size_label(n)]["best"] for n in sizes}
    big = max(sizes)
    bl = circuits.size_label(big)
    mod_big = by[big].get("module", {})
    floor_big = by[big].get("floor", {})
    for stage in ("build_from_ir", "get_all_nodes"):
        check(t, f"{stage} <= 1.0x floor", ratio(mod_big.get(stage), floor_big.get(stage)), 1.0, False, bl)
    pure_sizes = [n for n in sizes if "pure" in by[n]]
    if pure_sizes:
        pn = max(pure_sizes)
        pl = circuits.size_label(pn)
        m, p = by[pn]["module"], by[pn]["pure"]
        for stage in ("build_schedule", "apply_dd_pass"):
            check(t, f"{stage} >= 100x pure", ratio(p.get(stage), m.get(stage)), 100.0, True, pl)
        check(t, f"find_idle_windows (>= {FEW_GAP_NS:g} ns) >= 100x pure",
              ratio(p.get("find_idle_windows"), m.get("find_idle_windows")), 100.0, True, pl)
        extra_line(t, "  same search, no window qualifies",
                   ratio(p.get("find_idle_windows_none"), m.get("find_idle_windows_none")), pl)
        # Where this many windows qualify, the result list is most of the
        # call: the module's time against building that list in Python.
        f = by[pn].get("floor", {})
        extra_line(t, "  mod/floor: the same list built in Python",
                   ratio(m.get("find_idle_windows"), f.get("find_idle_windows")), pl)
        extra_line(t, "  mod/floor: the same, with fresh floats",
                   ratio(m.get("find_idle_windows"), f.get("find_idle_windows_fresh")), pl)
    else:
        for name in ("build_schedule >= 100x pure", "apply_dd_pass >= 100x pure",
                     "find_idle_windows >= 100x pure"):
            check(t, name, None, 100.0, True, "-")
    check(t, f"find_idle_windows (>= {MANY_GAP_NS:g} ns) <= 1.0x tuple list",
          ratio(mod_big.get("find_idle_windows_many"), floor_big.get("find_idle_windows_many")), 1.0, False, bl)
    extra_line(t, "  same list, floor with fresh floats",
         ratio(mod_big.get("find_idle_windows_many"), floor_big.get("find_idle_windows_many_fresh")), bl)
    peer_sizes = [n for n in sizes if "qiskit" in by[n]]
    if peer_sizes:
        qn = 100000 if 100000 in peer_sizes else max(peer_sizes)
        check(t, "road >= 50x qiskit schedule+DD",
              ratio(by[qn]["qiskit"].get("sched_plus_dd"), by[qn]["module"].get("road")), 50.0, True,
              circuits.size_label(qn))
    else:
        check(t, "road >= 50x qiskit schedule+DD", None, 50.0, True, "-")
    name = "qiskit's 20q x 1000 workload, schedule + DD >= 100x"
    if ref and "module_passes" in ref:
        check(t, name, ratio(ref["qiskit_passes"], ref["module_passes"]), 100.0, True, f"{ref['gates']} gates")
        extra_line(t, "  same workload, whole road (pass manager on the circuit)",
             ratio(ref["qiskit_sched_plus_dd"], ref["module_road"]), f"{ref['gates']} gates")
    else:
        check(t, name, None, 100.0, True, "-")
    if len(sizes) >= 2:
        lo, hi = sorted(sizes)[-2:]
        step = hi / lo
        where = f"{circuits.size_label(hi)}/{circuits.size_label(lo)}"
        ml, mh = by[lo]["module"], by[hi]["module"]
        fl, fh = by[lo]["floor"], by[hi]["floor"]
        for stage in ("build_schedule", "find_idle_windows", "find_idle_windows_many", "apply_dd_pass"):
            check(t, f"growth {stage} <= {1.2 * step:g}", ratio(mh.get(stage), ml.get(stage)), 1.2 * step, False,
                  where)
        for stage in ("dd_pulses_stepping_back", "dd_nan_durations"):
            extra_line(t, f"  growth {stage}", ratio(mh.get(stage), ml.get(stage)), where)
        for stage in ("build_from_ir", "get_all_nodes"):
            mg = ratio(mh.get(stage), ml.get(stage))
            fg = ratio(fh.get(stage), fl.get(stage))
            check(t, f"growth {stage} <= 1.2x floor growth ({fmt_x(fg)})", ratio(mg, fg), 1.2, False, where)
    nq = [n for n in sizes if "dd_num_qubits_1000" in by[n].get("module", {})]
    if nq:
        m = by[nq[0]]["module"]
        check(t, "DD num_qubits 1000 vs 128 <= 2x", ratio(m["dd_num_qubits_1000"], m["dd_num_qubits_128"]), 2.0,
              False, circuits.size_label(nq[0]))
    if memory and "bytes_per_node" in memory:
        check(t, "resident bytes per node <= 100", memory["bytes_per_node"], 100.0, False,
              circuits.size_label(memory["nodes"]))
    else:
        check(t, "resident bytes per node <= 100", None, 100.0, False, "-")
    if native10 is not None:
        ok = "times" in native10
        t.append({"target": "10M gates through the native road", "where": "10M",
                  "measured": native10.get("times", {}).get("road"), "limit": None,
                  "result": "PASS" if ok else "FAIL"})
    return t


def print_targets(targets):
    print("\n== targets")
    for x in targets:
        m = x["measured"]
        shown = "-" if m is None else (f"{m:.1f} B" if "bytes" in x["target"] else
                                      f"{m:.2f} s wall" if "10M" in x["target"] else fmt_x(m))
        print(f"  {x['result']:4}  {x['target']:52} {x['where']:>12}  measured {shown}")


def machine_info():
    info = {"python": sys.version.split()[0], "implementation": platform.python_implementation(),
            "platform": platform.platform(), "cpus": os.cpu_count()}
    try:
        out = subprocess.run(["lscpu"], stdout=subprocess.PIPE, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                info["cpu"] = line.split(":", 1)[1].strip()
    except OSError:
        pass
    try:
        with open("/proc/meminfo") as f:
            info["memory_kib"] = int(f.readline().split()[1])
    except OSError:
        pass
    return info


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="10k,100k,1M")
    ap.add_argument("--repeat", type=int, default=11, help="turns per contender (best of N)")
    ap.add_argument("--pure-max", default="100k", help="largest size for pure Python")
    ap.add_argument("--pure-repeat", type=int, default=2, help="turns for pure Python")
    ap.add_argument("--qiskit-max", default="100k", help="largest size for the peer framework")
    ap.add_argument("--qiskit-repeat", type=int, default=3, help="turns for the peer framework")
    ap.add_argument("--no-qiskit", action="store_true", help="skip the peer framework")
    ap.add_argument("--native-10m", action="store_true", help="also run 10M gates through the native road")
    ap.add_argument("--json", help="write the numbers here")
    ap.add_argument("--verify", action="store_true", help="check module == pure Python on 10k, then exit")
    ap.add_argument("--cpu-time", action="store_true",
                    help="time with the process's CPU clock instead of the wall clock (for a busy machine)")
    ap.add_argument("--seed", type=int, default=1234)
    ap.add_argument("--topology", default="heavy-hex", choices=["heavy-hex", "grid"])
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--child-size", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    silence_core_output()
    global CLOCK
    if args.cpu_time:
        CLOCK = time.process_time

    if args.child:
        fn = {"memory": child_memory, "native10m": child_native_10m}[args.child]
        print("RESULT " + json.dumps(fn(args.child_size, args.seed, args.topology)))
        return 0

    if args.verify:
        return 0 if verify(args) else 1

    sizes = sorted(circuits.parse_size(s) for s in args.sizes.split(",") if s.strip())
    args.pure_max = circuits.parse_size(args.pure_max)
    args.qiskit_max = circuits.parse_size(args.qiskit_max)
    args.pure_repeat = min(args.pure_repeat, args.repeat)
    args.qiskit_repeat = min(args.qiskit_repeat, args.repeat)
    nq_size = 100000 if 100000 in sizes else sizes[-1]

    machine = machine_info()
    peer_ok, peer_info = (False, "disabled by --no-qiskit") if args.no_qiskit else qiskit_peer.available()
    print(f"machine: {machine.get('cpu', '?')}, {machine['cpus']} cpus, "
          f"{machine.get('memory_kib', 0) / 2**20:.1f} GiB, Python {machine['python']}")
    print(f"repeat {args.repeat} (pure {args.pure_repeat} up to {circuits.size_label(args.pure_max)}, "
          f"qiskit {args.qiskit_repeat} up to {circuits.size_label(args.qiskit_max)}); "
          f"topology {args.topology}, seed {args.seed}; DD '{SEQUENCE}', {PULSE_NS:g} ns pulses, "
          f"clearance on (num_qubits = device size); {'CPU' if args.cpu_time else 'wall'} clock")
    if peer_ok:
        print(f"qiskit {peer_info}")
    else:
        print(f"qiskit: SKIPPED, not importable ({peer_info}); install it with `pip install qiskit`")

    results = {}
    t_start = time.perf_counter()
    for n in sizes:
        label = circuits.size_label(n)
        results[label] = bench_size(n, args, peer_ok, nq_size)
        print_size_table(label, results[label])
        gc.collect()

    dd_m = results[circuits.size_label(nq_size)]["best"]["module"]
    print(f"\nDD pass, same {circuits.size_label(nq_size)} circuit: num_qubits=128 {fmt_s(dd_m['dd_num_qubits_128'])}s, "
          f"num_qubits=1000 {fmt_s(dd_m['dd_num_qubits_1000'])}s "
          f"({fmt_x(ratio(dd_m['dd_num_qubits_1000'], dd_m['dd_num_qubits_128']))})")

    ref = None
    if peer_ok:
        ref = reference_workload(args)
        print(f"qiskit's own workload (20 qubits, depth 1000, transpiled: {ref['gates']} gates):")
        print(f"  scheduling + DD passes on a built graph (judged): qiskit {fmt_s(ref['qiskit_passes'])}s "
              f"(schedule {fmt_s(ref['qiskit_passes_schedule'])}s, DD {fmt_s(ref['qiskit_passes_dd'])}s), "
              f"module {fmt_s(ref['module_passes'])}s (schedule {fmt_s(ref['module_passes_schedule'])}s, "
              f"DD {fmt_s(ref['module_passes_dd'])}s): {fmt_x(ratio(ref['qiskit_passes'], ref['module_passes']))}")
        print(f"  whole road: qiskit pass manager on the circuit {fmt_s(ref['qiskit_sched_plus_dd'])}s, module "
              f"whole road {fmt_s(ref['module_road'])}s ({fmt_x(ratio(ref['qiskit_sched_plus_dd'], ref['module_road']))})")
        print("  module stages: " + ", ".join(f"{k} {fmt_s(v)}s" for k, v in ref["module_stages"].items())
              + f"; floor for the export of its {ref['exported_nodes']} nodes {fmt_s(ref['floor_export'])}s")

    mem_n = 1000000
    memory = in_fresh_process("memory", mem_n, args)
    if "error" in memory:
        print(f"memory: FAILED ({memory['error']})")
    else:
        print(f"memory ({circuits.size_label(mem_n)}-gate graph, fresh process): "
              f"{memory['bytes_per_node']:.1f} resident bytes per node after import "
              f"({memory['bytes_per_node_raw']:.1f} before returning freed heap to the system; "
              f"{memory['bytes_per_node_with_schedule']:.1f} with the schedule built)")

    native10 = None
    if args.native_10m:
        native10 = in_fresh_process("native10m", 10000000, args)
        if "error" in native10:
            print(f"10M native: FAILED ({native10['error']})")
        else:
            tt, tc = native10["times"], native10["cpu_times"]
            print("10M native (fresh process, one turn; wall / cpu): "
                  + ", ".join(f"{k} {fmt_s(v)}/{fmt_s(tc[k])}s" for k, v in tt.items())
                  + f"; {native10['bytes_per_node']:.1f} B/node; peak RSS {native10['peak_rss'] / 2**30:.2f} GiB "
                  f"(includes the 10M-tuple input list and the exported list)")

    targets = evaluate(results, sizes, ref, memory, native10)
    print_targets(targets)
    print(f"\ntotal benchmark time {time.perf_counter() - t_start:.0f} s (wall)")

    if args.json:
        doc = {"machine": machine, "qiskit": peer_info if peer_ok else None,
               "config": {k: v for k, v in vars(args).items() if not k.startswith("child")},
               "sizes": results, "qiskit_workload": ref, "memory": memory, "native_10m": native10,
               "targets": targets}
        with open(args.json, "w") as f:
            json.dump(doc, f, indent=1, default=lambda x: None if isinstance(x, float) and not math.isfinite(x) else x)
        print(f"numbers written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
