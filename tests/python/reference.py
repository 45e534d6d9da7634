"""A plain-Python model of the graph, its schedule, idle windows and the DD pass.

Written step by step from the documented algorithms, with dicts and sets for
every map, so that the tests can compare the extension against it value by
value. Arguments are native values (ints, floats, str keys); progress lines
are returned as strings instead of being printed.
"""

import math
import operator

DEFAULT_PULSE_NS = 50.0
PULSE_PARAMS = {"amp": 0.15, "sigma": 40.0, "beta": 0.5}


class RefNode:
    def __init__(self, name, qubits, duration_ns, params):
        # gate insertion only makes operation nodes: the text form is the name,
        # and the gate duration and the node duration are the same value
        self.name, self.qubits, self.duration_ns, self.params = name, list(qubits), duration_ns, dict(params)


class RefDAG:
    def __init__(self):
        self.nodes = {}
        self.schedule = {}
        self.coupling_map = set()
        self.next_id = 0
        self.placements = []  # (qubit, pulse, start, end) when made by apply_dd_pass

    def add_gate(self, name, qubits, duration_ns, params=None):
        id_ = self.next_id
        self.nodes[id_] = RefNode(name, qubits, float(duration_ns), {k: float(v) for k, v in (params or {}).items()})
        self.next_id += 1
        return id_

    def build_from_ir(self, instructions):
        first = f"\U0001F980 [Core] Received {len(instructions)} instructions from Python.\n"
        for name, qubits, duration, params in instructions:
            self.add_gate(name, qubits, duration, params)
        second = f"\U0001F980 [Core] Graph memory now contains {len(self.nodes)} nodes.\n"
        return first, second

    def set_coupling_map(self, edges):
        for a, b in edges:
            self.coupling_map.add((a, b))
            self.coupling_map.add((b, a))

    def get_all_nodes(self):
        out = []
        for id_ in range(self.next_id):
            if (node := self.nodes.get(id_)) is not None:
                out.append((node.name, list(node.qubits), node.duration_ns, dict(node.params)))
        return out

    def build_schedule(self):
        self.schedule = {}
        qubit_free_at = {}
        if self.next_id == 0 or not self.nodes:
            return
        for id_ in range(self.next_id):
            if (node := self.nodes.get(id_)) is None:
                continue
            start = +0.0
            for q in node.qubits:
                if q in qubit_free_at and qubit_free_at[q] > start:
                    start = qubit_free_at[q]
            end = start + node.duration_ns
            self.schedule[id_] = (start, end)
            for q in node.qubits:
                qubit_free_at[q] = end

    def get_node_schedule(self, node_id):
        return self.schedule.get(node_id)

    def find_idle_windows(self, min_gap_ns):
        result = []
        if not self.schedule or not self.nodes:
            return result
        qubit_intervals = {}
        for id_ in sorted(self.nodes):  # gathering in id order: ties keep ascending id
            if id_ not in self.schedule:
                continue
            for q in self.nodes[id_].qubits:
                qubit_intervals.setdefault(q, []).append(self.schedule[id_])
        for q in sorted(qubit_intervals):  # runs in ascending qubit index
            if len(qubit_intervals[q]) < 2:
                continue
            intervals = sorted(qubit_intervals[q], key=lambda pair: pair[0])  # stable
            for i in range(1, len(intervals)):
                gap = intervals[i][0] - intervals[i - 1][1]
                if gap >= min_gap_ns:
                    result.append((q, intervals[i - 1][1], intervals[i][0]))
        return result

    def apply_dd_pass(self, sequence="XY", pulse_durations=None, num_qubits=0):
        # Keys convert to qubit indices; of two keys naming one qubit, the later wins.
        pulse_durations = {operator.index(k): float(v) for k, v in (pulse_durations or {}).items()}
        n_nodes = len(self.nodes)
        first = f"\U0001F980 [Core] Starting apply_dd_pass with {n_nodes} nodes...\n"
        result = RefDAG()
        busy = {}
        intervals = {}
        pulses = ["DD_X", "DD_Y", "DD_X", "DD_Y"] if sequence == "XY4" else ["DD_X", "DD_Y"]
        n = len(pulses)
        for k in range(n_nodes):
            node = self.nodes[k]
            if k not in self.schedule:
                continue
            S, E = self.schedule[k]
            for q in node.qubits:
                gap = S - busy.get(q, 0.0)
                d = pulse_durations[q] if q in pulse_durations else DEFAULT_PULSE_NS
                threshold = (n * d) * 1.5
                if gap >= threshold:
                    t = busy.get(q, 0.0)
                    W = 0.0  # window end, taken now
                    for p in node.qubits:
                        W = busy.get(p, 0.0) if busy.get(p, 0.0) > W else W
                    for pulse in pulses:
                        if num_qubits > 0 and intervals and self.coupling_map:
                            t = self._clear(q, t, d, num_qubits, intervals)
                        if t + d > W:
                            break
                        result.add_gate(pulse, [q], d, dict(PULSE_PARAMS))
                        intervals.setdefault(q, []).append((t, t + d))
                        result.placements.append((q, pulse, t, t + d))
                        t = t + (d + 10.0)
                busy[q] = S
            result.add_gate(node.name, list(node.qubits), node.duration_ns, dict(node.params))
            for p in node.qubits:
                busy[p] = E
        second = ("\U0001F980 [Core] apply_dd_pass finished! Optimized DAG contains "
                  f"{len(result.nodes)} nodes.\n")
        return result, (first, second)

    def _clear(self, q, t, d, num_qubits, intervals):
        i = 0
        while i < num_qubits:
            hit = None
            if (q, i) in self.coupling_map and i in intervals:
                for s, e in intervals[i]:
                    if t + d > s and e > t:
                        hit = e
                        break
            if hit is None:
                i += 1
            else:
                t = hit + 10.0
                i = 0
        return t


def same(a, b):
    """Deep equality where NaN equals NaN and 0.0 differs from -0.0."""
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def mirror(instructions, coupling=()):
    """A module graph and a reference graph holding the same gates."""
    import _velun_q

    g, ref = _velun_q.QuantumDAG(), RefDAG()
    for name, qubits, duration, params in instructions:
        g.add_gate(name, qubits, duration, params)
        ref.add_gate(name, qubits, duration, params)
    g.set_coupling_map(list(coupling))
    ref.set_coupling_map(list(coupling))
    return g, ref
