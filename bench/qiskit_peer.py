"""The optional peer framework for the benchmark (``pip install qiskit``).

Two things live here:

* the same compile road as the module's, on the same generated circuit:
  ``circuit_to_dag``, time-unit conversion plus ``ASAPScheduleAnalysis``,
  ``PadDynamicalDecoupling`` with an X-Y-X-Y sequence, ``dag_to_circuit``;
  every duration is taken from the generated circuit (1 ns device cycle);
* a rebuild of the peer's own scheduling workload: a 20-qubit random circuit
  of depth 1000, transpiled to rz/sx/x/cx on a 4 x 5 grid, then time-unit
  conversion, ASAP scheduling and DD padding, timed both pass by pass on a
  DAG built beforehand (the peer's own timed region) and as one pass
  manager run on the circuit.

Nothing here is imported unless the package is installed; ``available()``
says whether it is.
"""

from __future__ import annotations

import time

import circuits

DT = 1e-9  # one device cycle = 1 ns, so every generated duration is whole


def available():
    """``(True, version)`` when the package imports, else ``(False, reason)``."""
    try:
        import qiskit
    except Exception as exc:  # ImportError, or a broken install
        return False, f"{type(exc).__name__}: {exc}"
    return True, qiskit.__version__


def make_target(circ: circuits.Circuit):
    from qiskit.circuit import Delay, Parameter
    from qiskit.circuit.library import CZGate, Measure, RZGate, SXGate, XGate, YGate
    from qiskit.transpiler import InstructionProperties, Target

    nq = circ.num_qubits
    target = Target(num_qubits=nq, dt=DT)

    def each_qubit(ns):
        return {(q,): InstructionProperties(duration=ns * 1e-9) for q in range(nq)}

    target.add_instruction(RZGate(Parameter("theta")), each_qubit(circuits.RZ_NS))
    target.add_instruction(SXGate(), each_qubit(circuits.SX_NS))
    target.add_instruction(XGate(), each_qubit(circuits.X_NS))
    target.add_instruction(YGate(), each_qubit(circuits.X_NS))
    target.add_instruction(
        CZGate(), {pair: InstructionProperties(duration=ns * 1e-9) for pair, ns in circ.pair_ns.items()})
    target.add_instruction(
        Measure(), {(q,): InstructionProperties(duration=ns * 1e-9) for q, ns in circ.measure_ns.items()})
    target.add_instruction(Delay(Parameter("t")), {(q,): None for q in range(nq)})
    return target


def to_quantum_circuit(circ: circuits.Circuit):
    """The generated instruction list as a circuit of the peer framework."""
    from qiskit import QuantumCircuit

    qc = QuantumCircuit(circ.num_qubits, circ.num_qubits)
    rz, sx, x, cz, measure = qc.rz, qc.sx, qc.x, qc.cz, qc.measure
    for name, qubits, _duration, params in circ.instructions:
        if name == "rz":
            rz(params["theta"], qubits[0])
        elif name == "sx":
            sx(qubits[0])
        elif name == "x":
            x(qubits[0])
        elif name == "cz":
            cz(qubits[0], qubits[1])
        elif name == "measure":
            measure(qubits[0], qubits[0])
        else:
            raise ValueError(f"no peer gate for {name!r}")
    return qc


def run_road(qc, target, clock=time.perf_counter):
    """One pass over the road; returns ``{stage: seconds}`` using the
    module's stage names for the matching steps."""
    from qiskit.circuit.library import XGate, YGate
    from qiskit.converters import circuit_to_dag, dag_to_circuit
    from qiskit.transpiler.passes import (ASAPScheduleAnalysis, PadDynamicalDecoupling,
                                          TimeUnitConversion)

    times = {}
    t0 = clock()
    dag = circuit_to_dag(qc)
    t1 = clock()
    times["build_from_ir"] = t1 - t0

    units = TimeUnitConversion(target=target)
    dag = units.run(dag)
    asap = ASAPScheduleAnalysis(target=target)
    asap.property_set = units.property_set
    asap.run(dag)
    t2 = clock()
    times["build_schedule"] = t2 - t1

    pad = PadDynamicalDecoupling(target=target, dd_sequence=[XGate(), YGate(), XGate(), YGate()])
    pad.property_set = asap.property_set
    padded = pad.run(dag)
    t3 = clock()
    times["apply_dd_pass"] = t3 - t2

    out = dag_to_circuit(padded)
    times["get_all_nodes"] = clock() - t3
    del out  # freed after the clock, as every result in the benchmark
    return times


# --- the peer's own scheduling workload, rebuilt --------------------------

REF_QUBITS = 20
REF_DEPTH = 1000
REF_SEED = 42
# Durations in device cycles, the usual values for this workload.
REF_NS = {"rz": 0.0, "id": 160.0, "sx": 160.0, "x": 160.0, "y": 160.0, "cx": 800.0,
          "measure": 3200.0, "reset": 3600.0}


class Reference:
    """The transpiled 20 x 1000 random circuit, plus the same circuit as the
    module's instruction list."""

    def __init__(self):
        from qiskit import transpile
        from qiskit.circuit.random import random_circuit
        from qiskit.transpiler import CouplingMap, InstructionDurations

        nq, edges = circuits.grid(4, 5)
        self.num_qubits = nq
        self.edges = edges
        raw = random_circuit(REF_QUBITS, REF_DEPTH, max_operands=2, measure=True, seed=REF_SEED)
        cmap = CouplingMap([list(e) for e in edges] + [[b, a] for a, b in edges])
        self.circuit = transpile(raw, basis_gates=["rz", "sx", "x", "cx", "id", "reset"],
                                 coupling_map=cmap, optimization_level=1, seed_transpiler=REF_SEED)
        self.durations = InstructionDurations([(n, None, int(d)) for n, d in REF_NS.items()], dt=DT)
        self.ir = self._lower()

    def _lower(self):
        # What the framework adapter does: one tuple per operation, physical
        # qubit indices, duration in ns, the rotation angle as a parameter.
        qc = self.circuit
        index = {bit: i for i, bit in enumerate(qc.qubits)}
        ir = []
        for inst in qc.data:
            name = inst.operation.name
            if name == "barrier":
                continue
            params = {"theta": float(inst.operation.params[0])} if name == "rz" else {}
            ir.append((name, [index[q] for q in inst.qubits], REF_NS[name], params))
        return ir

    def run_passes_on_dag(self, clock=time.perf_counter):
        """The peer's own timed region: time-unit conversion, ASAP scheduling
        and DD padding run pass by pass on a DAG built beforehand (the
        conversion to the DAG is set-up, outside the timing). Returns
        ``{"build_schedule": s, "apply_dd_pass": s}``."""
        from qiskit.circuit.library import XGate
        from qiskit.converters import circuit_to_dag
        from qiskit.transpiler.passes import (ASAPScheduleAnalysis, PadDynamicalDecoupling,
                                              TimeUnitConversion)

        dag = circuit_to_dag(self.circuit)
        units = TimeUnitConversion(self.durations)
        asap = ASAPScheduleAnalysis(self.durations)
        pad = PadDynamicalDecoupling(self.durations, [XGate(), XGate()])
        t0 = clock()
        dag = units.run(dag)
        asap.property_set = units.property_set
        asap.run(dag)
        t1 = clock()
        pad.property_set = asap.property_set
        padded = pad.run(dag)
        t2 = clock()
        del padded
        return {"build_schedule": t1 - t0, "apply_dd_pass": t2 - t1}

    def run_peer(self, clock=time.perf_counter):
        """ASAP scheduling plus DD padding as one pass manager run on the
        circuit (its conversions to and from the DAG included); seconds."""
        from qiskit.circuit.library import XGate
        from qiskit.transpiler import PassManager
        from qiskit.transpiler.passes import (ASAPScheduleAnalysis, PadDynamicalDecoupling,
                                              TimeUnitConversion)

        pm = PassManager([TimeUnitConversion(self.durations),
                          ASAPScheduleAnalysis(self.durations),
                          PadDynamicalDecoupling(self.durations, [XGate(), XGate()])])
        t0 = clock()
        out = pm.run(self.circuit)
        elapsed = clock() - t0
        del out
        return elapsed
