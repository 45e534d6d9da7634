"""The compile road on a small bundled circuit.

Imports an instruction list, records the device's coupling map, schedules the
circuit as soon as possible, lists the idle windows, inserts XY4 dynamical
decoupling with neighbour clearance, and exports the result, printing what
each step did.
"""

import argparse
import json
import pathlib
import sys

import _velun_q

HERE = pathlib.Path(__file__).resolve().parent


def fmt_gate(name, qubits, duration, params):
    extra = "".join(f" {k}={v:g}" for k, v in params.items())
    return f"{name:<8} q{','.join(map(str, qubits)):<6} {duration:7.1f} ns{extra}"


def report_pulses(dag, exported):
    """Names the idle window that each run of pulses fills.

    The result keeps no times. Its operations are the source's in the same
    order, each preceded by the pulses placed before it, so the window of a
    run is the source schedule's gap on that qubit before that operation.
    """
    source = dag.get_all_nodes()
    free_at = {}
    pending = {}
    source_id = 0
    for name, qubits, duration, params in exported:
        if name.startswith("DD_"):
            pending.setdefault(qubits[0], []).append((name, duration))
            continue
        start, end = dag.get_node_schedule(source_id)
        for q in qubits:
            if q in pending:
                names = " ".join(n for n, _ in pending.pop(q))
                gate_name, gate_qubits = source[source_id][:2]
                print(f"   q{q}: {names} in the idle time {free_at.get(q, 0.0):.1f} .. {start:.1f} ns "
                      f"before #{source_id} {gate_name} q{','.join(map(str, gate_qubits))}")
        for q in qubits:
            free_at[q] = end
        source_id += 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("circuit", nargs="?", default=HERE / "ghz5.json", type=pathlib.Path)
    parser.add_argument("--sequence", default="XY4", help='DD sequence: "XY4" or "XY" (default XY4)')
    parser.add_argument("--min-gap", type=float, default=100.0, help="smallest idle window to list, ns")
    args = parser.parse_args()
    # Progress lines of the core go straight to file descriptor 1; flush ours
    # line by line so that the two stay in order.
    sys.stdout.reconfigure(line_buffering=True)

    circuit = json.loads(args.circuit.read_text())
    instructions = [(n, q, d, p) for n, q, d, p in circuit["instructions"]]
    edges = [tuple(e) for e in circuit["coupling"]]
    durations = {int(q): d for q, d in circuit.get("pulse_durations", {}).items()}
    print(f"Circuit: {circuit['name']}")

    print("\n1. Import")
    dag = _velun_q.QuantumDAG()
    dag.build_from_ir(instructions)
    barrier_id = dag.add_gate("measure", [4], 1200.0)
    print(f"   added the last measurement by hand as node {barrier_id}; {dag.node_count()} nodes")

    print("\n2. Coupling map")
    dag.set_coupling_map(edges)
    print("   " + "  ".join(f"{a}-{b}" for a, b in edges))

    print("\n3. As-soon-as-possible schedule")
    dag.build_schedule()
    for node_id, gate in enumerate(dag.get_all_nodes()):
        start, end = dag.get_node_schedule(node_id)
        print(f"   #{node_id:<3} {start:7.1f} .. {end:7.1f}  {fmt_gate(*gate)}")

    print(f"\n4. Idle windows of at least {args.min_gap:g} ns")
    for qubit, start, end in dag.find_idle_windows(args.min_gap):
        print(f"   q{qubit}: {start:7.1f} .. {end:7.1f}  ({end - start:.1f} ns idle)")

    print(f"\n5. Dynamical decoupling ({args.sequence}, neighbour clearance on)")
    result = dag.apply_dd_pass(args.sequence, durations, circuit["num_qubits"])
    exported = result.get_all_nodes()
    report_pulses(dag, exported)
    print(f"   the input graph is unchanged: {dag.node_count()} nodes; the result has {len(exported)}")

    print("\n6. Export of the decoupled circuit")
    for node_id, gate in enumerate(exported):
        print(f"   #{node_id:<3} {fmt_gate(*gate)}")


if __name__ == "__main__":
    main()
