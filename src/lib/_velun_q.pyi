"""The VelunQ high-performance quantum compiler module."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

__all__ = ["VelunQError", "QuantumDAG"]

# Anything the module converts to a 64-bit float: a float, an int, or an
# object with __float__ or __index__.
_Float = SupportsFloat | SupportsIndex

# One gate: (name, qubits, duration in ns, parameters).
_Instruction = tuple[str, Sequence[SupportsIndex], _Float, dict[str, _Float]]

class VelunQError(Exception): ...

@final
class QuantumDAG:
    """Python wrapper for the core QuantumDAG."""

    # An instance belongs to the thread that created it: a call from any
    # other thread raises the module's internal-fault exception, which
    # derives from BaseException, not Exception.

    def __new__(cls) -> QuantumDAG: ...
    def set_coupling_map(self, edges: Sequence[tuple[SupportsIndex, SupportsIndex]]) -> None: ...
    def node_count(self) -> int:
        """Returns the total number of nodes in the DAG."""
    def add_gate(
        self,
        name: str,
        qubits: Sequence[SupportsIndex],
        duration_ns: _Float,
        params: dict[str, _Float] | None = None,
    ) -> int:
        """Adds a gate node to the graph and connects dependent edges."""
    def build_from_ir(self, instructions: Sequence[_Instruction]) -> None:
        """Reads an IR constructed by a framework adapter and builds the DAG."""
    def build_schedule(self) -> None:
        """Computes the schedule (start and end times) for all nodes."""
    def get_node_schedule(self, node_id: SupportsIndex) -> tuple[float, float] | None:
        """Retrieves the schedule for a specific node as (start_time, end_time)."""
    def find_idle_windows(self, min_gap_ns: _Float) -> list[tuple[int, float, float]]:
        """Finds idle windows on qubits where the gap between operations is >= min_gap_ns."""
    def apply_dd_pass(
        self,
        sequence: str = "XY",
        pulse_durations: dict[SupportsIndex, _Float] | None = None,
        num_qubits: SupportsIndex = 0,
    ) -> QuantumDAG:
        """Dynamically inserts Dynamical Decoupling (DD) sequences on idle qubits."""
    def get_all_nodes(self) -> list[tuple[str, list[int], float, dict[str, float]]]:
        """Exports all operations in topological order a list of tuples (name, qubits, duration)."""
