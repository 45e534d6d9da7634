"""The compile road written in plain Python, as a user would write it without
the native core.

It follows the same rules as ``QuantumDAG`` and gives the same results:
nodes keyed by id in a dict, an as-soon-as-possible schedule in id order,
idle windows per qubit (qubits ascending), and the dynamical-decoupling pass
with its neighbour clearance done as the plain scan over every qubit index
below ``num_qubits``, each neighbour's pulses checked in placement order.
"""

from __future__ import annotations

DEFAULT_PULSE_NS = 50.0
WINDOW_FACTOR = 1.5
PULSE_SPACING_NS = 10.0


class Node:
    __slots__ = ("id", "name", "qubits", "duration", "params")

    def __init__(self, node_id, name, qubits, duration, params):
        self.id = node_id
        self.name = name
        self.qubits = qubits
        self.duration = duration
        self.params = params


class PyDAG:
    def __init__(self):
        self.nodes = {}
        self.schedule = {}
        self.coupling = set()
        self.next_id = 0

    def add_gate(self, name, qubits, duration_ns, params=None):
        node_id = self.next_id
        self.nodes[node_id] = Node(node_id, str(name), list(qubits), float(duration_ns),
                                   dict(params) if params else {})
        self.next_id += 1
        return node_id

    def build_from_ir(self, instructions):
        for name, qubits, duration, params in instructions:
            self.add_gate(name, qubits, duration, params)

    def node_count(self):
        return len(self.nodes)

    def set_coupling_map(self, edges):
        for a, b in edges:
            self.coupling.add((a, b))
            self.coupling.add((b, a))

    def build_schedule(self):
        self.schedule = {}
        free_at = {}
        for node_id in range(self.next_id):
            node = self.nodes.get(node_id)
            if node is None:
                continue
            start = 0.0
            for q in node.qubits:
                t = free_at.get(q)
                if t is not None and t > start:
                    start = t
            end = start + node.duration
            self.schedule[node_id] = (start, end)
            for q in node.qubits:
                free_at[q] = end

    def get_node_schedule(self, node_id):
        return self.schedule.get(node_id)

    def find_idle_windows(self, min_gap_ns):
        if not self.schedule or not self.nodes:
            return []
        intervals = {}
        for node_id in range(self.next_id):
            times = self.schedule.get(node_id)
            if times is None:
                continue
            for q in self.nodes[node_id].qubits:
                intervals.setdefault(q, []).append(times)
        windows = []
        for q in sorted(intervals):
            runs = intervals[q]
            if len(runs) < 2:
                continue
            runs.sort(key=lambda pair: pair[0])
            for i in range(1, len(runs)):
                prev_end = runs[i - 1][1]
                start = runs[i][0]
                if start - prev_end >= min_gap_ns:
                    windows.append((q, prev_end, start))
        return windows

    def apply_dd_pass(self, sequence="XY", pulse_durations=None, num_qubits=0):
        pulse_durations = pulse_durations or {}
        if sequence == "XY4":
            pulses = ["DD_X", "DD_Y", "DD_X", "DD_Y"]
        else:
            pulses = ["DD_X", "DD_Y"]
        n = len(pulses)
        out = PyDAG()
        busy_until = {}
        dd_intervals = {}
        for node_id in range(self.next_id):
            node = self.nodes[node_id]
            times = self.schedule.get(node_id)
            if times is None:
                continue
            start, end = times
            for q in node.qubits:
                gap = start - busy_until.get(q, 0.0)
                d = pulse_durations.get(q, DEFAULT_PULSE_NS)
                threshold = (n * d) * WINDOW_FACTOR
                if gap >= threshold:
                    t = busy_until.get(q, 0.0)
                    window_end = 0.0
                    for p in node.qubits:
                        b = busy_until.get(p, 0.0)
                        if b > window_end:
                            window_end = b
                    for pulse in pulses:
                        if num_qubits > 0 and dd_intervals and self.coupling:
                            t = self._clear_neighbours(q, t, d, num_qubits, dd_intervals)
                        if t + d > window_end:
                            break
                        out.add_gate(pulse, [q], d, {"amp": 0.15, "sigma": 40.0, "beta": 0.5})
                        dd_intervals.setdefault(q, []).append((t, t + d))
                        t = t + (d + PULSE_SPACING_NS)
                busy_until[q] = start
            out.add_gate(node.name, node.qubits, node.duration, node.params)
            for p in node.qubits:
                busy_until[p] = end
        return out

    def _clear_neighbours(self, q, t, d, num_qubits, dd_intervals):
        moved = True
        while moved:
            moved = False
            for i in range(num_qubits):
                if (q, i) in self.coupling and i in dd_intervals:
                    for s, e in dd_intervals[i]:
                        if t + d > s and e > t:
                            t = e + PULSE_SPACING_NS
                            moved = True
                            break
                    if moved:
                        break
        return t

    def get_all_nodes(self):
        result = []
        for node_id in range(self.next_id):
            node = self.nodes.get(node_id)
            if node is None:
                continue
            result.append((node.name, list(node.qubits), node.duration, dict(node.params)))
        return result
