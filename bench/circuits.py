"""Seeded generator of hardware-like circuits for the benchmark.

A circuit is the flat instruction list that a framework adapter hands to
``QuantumDAG.build_from_ir``: tuples ``(name, qubits, duration_ns, params)``.
The gate mix follows what a circuit looks like after it has been lowered to a
superconducting device's native gates:

* ``rz``      virtual, 0 ns, one angle parameter ``theta``;
* ``sx``/``x`` 35 ns single-qubit pulses;
* ``cz``      two-qubit gate on a coupled pair, 300-700 ns (fixed per pair);
* ``measure`` 1000-1500 ns (fixed per qubit), a few mid-circuit ones.

Every duration is a whole number of nanoseconds, so a peer framework that
counts time in 1 ns device cycles sees exactly the same values.

Two coupling maps are available: a heavy-hex lattice (rows of qubits joined
by bridge qubits, the default is a 127-qubit device) and a square grid.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass

SX_NS = 35.0
X_NS = 35.0
RZ_NS = 0.0

# Share of each gate kind, in per mille; the rest is rz.
_SX_PM = 300
_X_PM = 50
_CZ_PM = 270
_MEASURE_PM = 30


@dataclass
class Circuit:
    instructions: list
    edges: list
    num_qubits: int
    # Durations used to build the circuit, for peers that need them as a
    # table: per coupled pair (both orientations) and per qubit.
    pair_ns: dict
    measure_ns: dict


def heavy_hex(rows: int = 7, cols: int = 15, trim_corners: bool = True):
    """Heavy-hex lattice: ``rows`` chains of ``cols`` qubits, neighbouring
    chains joined through bridge qubits every fourth column, the bridge
    columns alternating between 0, 4, 8, ... and 2, 6, 10, ...

    With ``trim_corners`` the last qubit of the first chain and the first
    qubit of the last chain are left out (neither is a bridge end), which
    gives the familiar 127-qubit layout for 7 x 15.

    Returns ``(num_qubits, edges)`` with each edge as ``(a, b)``, ``a < b``.
    """
    index = {}
    edges = []
    for r in range(rows):
        first = 1 if (trim_corners and r == rows - 1 and rows > 1) else 0
        last = cols - 1 if (trim_corners and r == 0 and rows > 1) else cols
        for c in range(first, last):
            index[("row", r, c)] = len(index)
            if c > first:
                edges.append((index[("row", r, c - 1)], index[("row", r, c)]))
        if r > 0:
            # Bridges between the previous chain and this one.
            offset = 0 if (r - 1) % 2 == 0 else 2
            for c in range(offset, cols, 4):
                upper, lower = ("row", r - 1, c), ("row", r, c)
                if upper in index and lower in index:
                    bridge = index.setdefault(("bridge", r - 1, c), len(index))
                    edges.append((index[upper], bridge))
                    edges.append((index[lower], bridge))
    return len(index), sorted((min(a, b), max(a, b)) for a, b in edges)


def grid(rows: int, cols: int):
    """Square grid; returns ``(num_qubits, edges)``."""
    edges = []
    for r in range(rows):
        for c in range(cols):
            q = r * cols + c
            if c + 1 < cols:
                edges.append((q, q + 1))
            if r + 1 < rows:
                edges.append((q, q + cols))
    return rows * cols, edges


def coupling(topology: str = "heavy-hex", num_qubits: int = 127):
    """A coupling map of roughly ``num_qubits`` qubits (exactly 127 for the
    default heavy-hex device)."""
    if topology == "heavy-hex":
        if num_qubits == 127:
            return heavy_hex(7, 15)
        # About 1.25 qubits per chain position with bridges included.
        cols = 15
        rows = max(1, round(num_qubits / (cols * 1.27)))
        return heavy_hex(rows, cols, trim_corners=False)
    if topology == "grid":
        side = max(1, math.isqrt(num_qubits))
        return grid(side, max(1, -(-num_qubits // side)))
    raise ValueError(f"unknown topology {topology!r}")


def generate(num_gates: int, seed: int = 1234, topology: str = "heavy-hex",
             num_qubits: int = 127) -> Circuit:
    """Build a seeded circuit of ``num_gates`` instructions.

    The same arguments always give the same instruction list."""
    rng = random.Random(seed)
    nq, edges = coupling(topology, num_qubits)
    pair_ns = {}
    for a, b in edges:
        d = float(rng.randrange(300, 701))
        pair_ns[(a, b)] = d
        pair_ns[(b, a)] = d
    measure_ns = {q: float(rng.randrange(1000, 1501)) for q in range(nq)}
    # Per edge, both orientations with their duration objects, so that the
    # generated tuples share float objects the way an adapter's lookup table
    # would.
    oriented = [((a, b), pair_ns[(a, b)]) for a, b in edges]
    oriented += [((b, a), pair_ns[(a, b)]) for a, b in edges]
    n_oriented = len(oriented)

    sx_cut = _SX_PM
    x_cut = sx_cut + _X_PM
    cz_cut = x_cut + _CZ_PM
    m_cut = cz_cut + _MEASURE_PM
    two_pi = 2.0 * math.pi
    rand = rng.random

    out = []
    append = out.append
    for _ in range(num_gates):
        u = int(rand() * 1000)
        if u < sx_cut:
            append(("sx", [int(rand() * nq)], SX_NS, {}))
        elif u < x_cut:
            append(("x", [int(rand() * nq)], X_NS, {}))
        elif u < cz_cut:
            (a, b), d = oriented[int(rand() * n_oriented)]
            append(("cz", [a, b], d, {}))
        elif u < m_cut:
            q = int(rand() * nq)
            append(("measure", [q], measure_ns[q], {}))
        else:
            append(("rz", [int(rand() * nq)], RZ_NS, {"theta": rand() * two_pi - math.pi}))
    return Circuit(out, list(edges), nq, pair_ns, measure_ns)


def parse_size(text: str) -> int:
    """'10k' -> 10000, '1M' -> 1000000, '2500' -> 2500."""
    t = text.strip().lower()
    scale = 1
    if t.endswith("k"):
        scale, t = 1000, t[:-1]
    elif t.endswith("m"):
        scale, t = 1000000, t[:-1]
    return int(float(t) * scale)


def size_label(n: int) -> str:
    if n >= 1000000 and n % 1000000 == 0:
        return f"{n // 1000000}M"
    if n >= 1000 and n % 1000 == 0:
        return f"{n // 1000}k"
    return str(n)
