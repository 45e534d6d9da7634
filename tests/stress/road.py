"""The whole compile road on one large circuit:  python tests/stress/road.py GATES [REPORT.json]

A random circuit of GATES instructions on 1000 qubits (single-qubit gates, CX
on ring neighbours, rare long measurements that leave idle windows) goes
through build_from_ir, set_coupling_map, build_schedule, find_idle_windows,
apply_dd_pass("XY4") and get_all_nodes; the results are checked. Figures go
as JSON to REPORT.json (or stderr); the exit status is non-zero on a failed check.
"""

import collections
import contextlib
import json
import random
import resource
import sys
import time

from _velun_q import QuantumDAG

QUBITS = 1000


def circuit(gates, seed=1):
    """`gates` instructions drawn from a fixed pool (shared tuples keep the input small)."""
    pool = [item for q in range(QUBITS) for item in (
        (("x", [q], 35.0, {}), 50), (("rz", [q], 0.0, {"theta": 0.5}), 30),
        (("cx", [q, (q + 1) % QUBITS], 300.0, {}), 19), (("measure", [q], 1500.0, {}), 1))]
    return random.Random(seed).choices([i for i, _ in pool], weights=[w for _, w in pool], k=gates)


def main():
    gates = int(sys.argv[1])
    report_path = sys.argv[2] if len(sys.argv) > 2 else None
    times = {}

    def step(name, fn):
        start = time.monotonic()
        result = fn()
        times[name] = round(time.monotonic() - start, 2)
        return result

    instructions = step("make input", lambda: circuit(gates))
    g = QuantumDAG()
    step("build_from_ir", lambda: g.build_from_ir(instructions))
    step("set_coupling_map", lambda: g.set_coupling_map([(q, (q + 1) % QUBITS) for q in range(QUBITS)]))
    step("build_schedule", g.build_schedule)
    windows = step("find_idle_windows", lambda: g.find_idle_windows(1000.0))
    dd = step("apply_dd_pass", lambda: g.apply_dd_pass("XY4", num_qubits=QUBITS))
    out = step("get_all_nodes", dd.get_all_nodes)

    problems = []

    def check(condition, message):
        if not condition:
            problems.append(message)

    check(g.node_count() == gates, "node count of the built graph")
    last = g.get_node_schedule(gates - 1)
    check(last is not None and last[1] >= last[0] >= 0.0, "schedule of the last node")
    check(g.get_node_schedule(gates) is None, "no schedule past the last node")
    check(all(end - start >= 1000.0 for _, start, end in windows), "every idle window is at least 1000 ns")
    check([w[0] for w in windows] == sorted(w[0] for w in windows), "idle windows grouped by ascending qubit")
    check(len(out) == dd.node_count(), "the export holds every node of the DD result")
    names = collections.Counter(name for name, *_ in out)
    pulses = names["DD_X"] + names["DD_Y"]
    check(len(out) - pulses == gates, "every source node is copied once")
    # Each visit places a prefix of X, Y, X, Y: never more Y than X pulses.
    check(names["DD_X"] >= names["DD_Y"], "XY4 pulses come as prefixes of X, Y, X, Y")
    # Pulses come right before the copy of the node they were placed for,
    # on one of its qubits, as whole pulses of the default duration.
    pending = set()
    for name, qubits, duration, params in out:
        if name in ("DD_X", "DD_Y"):
            if len(qubits) != 1 or duration != 50.0 or params != {"amp": 0.15, "sigma": 40.0, "beta": 0.5}:
                problems.append(f"malformed pulse {name, qubits, duration, params}")
                break
            pending.add(qubits[0])
        else:
            if not pending <= set(qubits):
                problems.append(f"pulses on {sorted(pending - set(qubits))} precede a node on {qubits}")
                break
            pending.clear()
    check(pulses > 0, "the circuit has idle time for pulses")
    check(out[-1] == instructions[-1], "the last exported node is the copy of the last source gate")
    check(g.node_count() == gates and dd.get_node_schedule(0) is None, "the receiver and result are separate")

    report = {
        "gates": gates,
        "idle_windows": len(windows),
        "result_nodes": len(out),
        "pulses": pulses,
        "seconds": times,
        "total_seconds": round(sum(times.values()), 1),
        "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024,
        "problems": problems,
    }
    with open(report_path, "w", encoding="utf-8") if report_path else contextlib.nullcontext(sys.stderr) as f:
        f.write(json.dumps(report, indent=1))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
