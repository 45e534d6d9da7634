#!/usr/bin/env python3
"""Looks for inputs on which a stage grows faster than the circuit.

    python bench/growth_probe.py [--first-seed S] [--shapes K] [--gates N]
                                 [--limit X] [--scale gates|width]

Each seed draws a circuit shape: 2 to 5000 qubits (some at large indices),
gates of one, two or many qubits (barriers across every qubit included),
repeated qubits, durations that are zero, huge, negative, infinite or NaN,
a coupling map on a line, a star, dense or to self, odd pulse lengths and
`num_qubits`. The road runs on the shape and on the shape grown four times
(best of 3 each), and a stage is reported when its time grows more than X
times (default 6). `--scale gates` grows the number of gates from N to 4N;
`--scale width` keeps N gates and makes the device and its wide gates four
times wider, which is where a cost in the square of a gate's width shows
(a barrier across a thousand qubits once cost the DD pass 3 s that way).
Exports and large window lists are left out: fresh memory dominates them.
The DD pass is judged per result node, since the pulses it places need not
grow with the circuit.

Growth a little above 4 is memory (caches, fresh pages); the probe is for
finding the square of something. A reported shape is printed in full; rerun
one seed with --first-seed S --shapes 1.
"""

from __future__ import annotations

import argparse
import gc
import math
import random
import time

import _velun_q

from run import silence_core_output

NAN, INF = math.nan, math.inf


def draw_shape(rng: random.Random) -> dict:
    q = rng.choice([2, 5, 20, 127, 1000, 5000])
    return {
        "qubits": q,
        "base": rng.choice([0, 0, 0, 1000, 2**40]),
        "wide_share": rng.choice([0, 0, 0.001, 0.01, 0.05]),
        "wide_width": rng.choice([5, 50, q]),
        "two_share": rng.choice([0, 0.3, 0.8]),
        "repeat_share": rng.choice([0, 0, 0.05]),
        "durations": rng.choice([[0, 35, 300, 1000], [35], [0], [1e-9, 1e9], [10, 20, 30],
                                 [35, -20], [35, NAN], [35, INF], [1, -1]]),
        "odd_share": rng.choice([0, 0, 0.001, 0.1]),
        "coupling": rng.choice(["line", "none", "dense", "star", "self"]),
        "pulse_ns": rng.choice([20.0, 0.0, 5.0, -20.0, 50.0, INF, NAN, -5.0, 1e-9]),
        "sequence": rng.choice(["XY", "XY4"]),
        "num_qubits": rng.choice(["all", "none", "huge", "half"]),
        "min_gap_ns": rng.choice([0.0, 1000.0, INF, -INF, 35.0]),
    }


def make_circuit(shape: dict, gates: int, rng: random.Random) -> list:
    q, base = shape["qubits"], shape["base"]
    ir = []
    for _ in range(gates):
        r = rng.random()
        if r < shape["wide_share"]:
            qubits = rng.sample(range(q), min(shape["wide_width"], q))
        elif r < shape["wide_share"] + shape["two_share"]:
            qubits = rng.sample(range(q), 2)
        else:
            qubits = [rng.randrange(q)]
        if rng.random() < shape["repeat_share"]:
            qubits = qubits + qubits[:1]
        duration = rng.choice(shape["durations"])
        if rng.random() < shape["odd_share"]:
            duration = rng.choice([NAN, -1000.0, INF, -INF])
        ir.append(("g", [base + i for i in qubits], float(duration), {}))
    return ir


def make_coupling(shape: dict) -> list:
    q, base, kind = shape["qubits"], shape["base"], shape["coupling"]
    if kind == "line":
        return [(base + i, base + i + 1) for i in range(q - 1)]
    if kind == "star":
        return [(base, base + i) for i in range(1, q)]
    if kind == "self":
        return [(base + i, base + i) for i in range(q)]
    if kind == "dense":
        band = q if q <= 200 else 40  # all pairs, or a band of 40 neighbours
        return [(base + i, base + j) for i in range(q) for j in range(i + 1, min(q, i + band))]
    return []


def run_road(shape: dict, ir: list) -> tuple[dict, int]:
    q, base = shape["qubits"], shape["base"]
    seconds = {}

    def timed(stage, call):
        t0 = time.perf_counter()
        result = call()
        seconds[stage] = time.perf_counter() - t0
        return result

    dag = _velun_q.QuantumDAG()
    timed("build_from_ir", lambda: dag.build_from_ir(ir))
    dag.set_coupling_map(make_coupling(shape))
    timed("build_schedule", dag.build_schedule)
    timed("find_idle_windows", lambda: dag.find_idle_windows(shape["min_gap_ns"]))
    num_qubits = {"all": base + q, "none": 0, "huge": 2**64 - 1, "half": base + q // 2}[shape["num_qubits"]]
    durations = {base + i: shape["pulse_ns"] for i in range(q)}
    result = timed("apply_dd_pass", lambda: dag.apply_dd_pass(shape["sequence"], durations, num_qubits))
    return seconds, result.node_count()


def grown(shape: dict, scale: str) -> tuple[dict, int]:
    """The shape four times larger, and the factor on the gate count."""
    if scale == "gates":
        return shape, 4
    wider = dict(shape, qubits=4 * shape["qubits"], wide_width=4 * shape["wide_width"])
    return wider, 1


def probe(seed: int, gates: int, limit: float, scale: str) -> tuple[list, dict, float]:
    shape = draw_shape(random.Random(seed))
    big_shape, factor = grown(shape, scale)
    best = [{}, {}]
    nodes = [0, 0]
    for k, (this_shape, size) in enumerate(((shape, gates), (big_shape, factor * gates))):
        ir = make_circuit(this_shape, size, random.Random(seed * 7 + k))
        for _ in range(3):
            seconds, nodes[k] = run_road(this_shape, ir)
            for stage, s in seconds.items():
                best[k][stage] = min(s, best[k].get(stage, math.inf))
    many_windows = shape["min_gap_ns"] in (0.0, -INF, 35.0)
    reports = []
    for stage, small in best[0].items():
        if stage == "find_idle_windows" and many_windows:
            continue
        big = best[1][stage]
        allowed = limit
        if stage == "apply_dd_pass":
            allowed *= max(1.0, nodes[1] / max(nodes[0], 1) / 4)
        growth = big / max(small, 1e-6)
        if big > 0.002 and growth > allowed:
            reports.append(f"{stage} {small * 1e3:.2f} -> {big * 1e3:.2f} ms ({growth:.1f}x)")
    return reports, shape, sum(best[1].values())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--first-seed", type=int, default=1)
    parser.add_argument("--shapes", type=int, default=50)
    parser.add_argument("--gates", type=int, default=30000)
    parser.add_argument("--limit", type=float, default=6.0)
    parser.add_argument("--scale", choices=("gates", "width"), default="gates")
    args = parser.parse_args()

    silence_core_output()
    gc.disable()
    found = 0
    for seed in range(args.first_seed, args.first_seed + args.shapes):
        reports, shape, total = probe(seed, args.gates, args.limit, args.scale)
        if reports:
            found += 1
            print(f"seed {seed}: " + "; ".join(reports))
            print(f"  shape {shape}")
        else:
            print(f"seed {seed}: ok ({total * 1e3:.0f} ms grown)")
    print(f"{found} of {args.shapes} shapes grew more than {args.limit:g}x when grown 4x ({args.scale})")


if __name__ == "__main__":
    main()
