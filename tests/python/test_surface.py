"""The module object, its exception class and the QuantumDAG type as seen from Python."""

import ast
import ctypes
import gc
import inspect
import pathlib
import sys
import weakref

import pytest

import _velun_q
from _velun_q import QuantumDAG, VelunQError
from conftest import run_python

METHODS = [
    # name, text signature, docstring
    ("set_coupling_map", "($self, edges)", None),
    ("node_count", "($self)", "Returns the total number of nodes in the DAG."),
    ("add_gate", "($self, name, qubits, duration_ns, params=None)",
     "Adds a gate node to the graph and connects dependent edges."),
    ("build_from_ir", "($self, instructions)",
     "Reads an IR constructed by a framework adapter and builds the DAG."),
    ("build_schedule", "($self)", "Computes the schedule (start and end times) for all nodes."),
    ("get_node_schedule", "($self, node_id)",
     "Retrieves the schedule for a specific node as (start_time, end_time)."),
    ("find_idle_windows", "($self, min_gap_ns)",
     "Finds idle windows on qubits where the gap between operations is >= min_gap_ns."),
    ("apply_dd_pass", '($self, sequence="XY", pulse_durations=None, num_qubits=0)',
     "Dynamically inserts Dynamical Decoupling (DD) sequences on idle qubits."),
    ("get_all_nodes", "($self)",
     "Exports all operations in topological order a list of tuples (name, qubits, duration)."),
]


def test_module_attributes():
    assert _velun_q.__name__ == "_velun_q"
    assert _velun_q.__doc__ == "The VelunQ high-performance quantum compiler module."
    assert _velun_q.__all__ == ["VelunQError", "QuantumDAG"]
    public = {k for k in vars(_velun_q) if not k.startswith("__")}
    assert public == {"VelunQError", "QuantumDAG"}


def test_init_again_returns_the_same_module():
    # Calling the entry point directly and going through the import system both
    # re-run initialisation; neither may build a second module or re-add names.
    entry = ctypes.PyDLL(_velun_q.__file__).PyInit__velun_q
    entry.restype = ctypes.py_object
    assert entry() is _velun_q
    # each call hands out a reference of its own
    before = sys.getrefcount(_velun_q)
    for _ in range(10):
        entry()
    assert sys.getrefcount(_velun_q) == before
    saved = sys.modules.pop("_velun_q")
    try:
        import _velun_q as again
        assert again is saved
    finally:
        sys.modules["_velun_q"] = saved
    assert _velun_q.__all__ == ["VelunQError", "QuantumDAG"]
    assert _velun_q.QuantumDAG is QuantumDAG and _velun_q.VelunQError is VelunQError


def test_exception_class():
    assert VelunQError.__module__ == "velun_q"
    assert VelunQError.__name__ == VelunQError.__qualname__ == "VelunQError"
    assert VelunQError.__doc__ is None
    assert VelunQError.__bases__ == (Exception,)
    assert str(VelunQError("x")) == "x"


def test_panic_exception_class(panic_type):
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__name__ == "PanicException"
    assert f"{panic_type.__module__}.{panic_type.__qualname__}" == "velun_q.PanicException"
    assert panic_type.__doc__
    assert not hasattr(_velun_q, "PanicException")


def test_type_attributes():
    assert QuantumDAG.__module__ == "builtins"
    assert QuantumDAG.__name__ == QuantumDAG.__qualname__ == "QuantumDAG"
    assert QuantumDAG.__text_signature__ == "()"
    assert QuantumDAG.__doc__ == "Python wrapper for the core QuantumDAG."
    assert QuantumDAG.__bases__ == (object,)
    for hook in ("__init__", "__repr__", "__eq__", "__hash__", "__getattribute__", "__setattr__"):
        assert getattr(QuantumDAG, hook) is getattr(object, hook)


def test_methods_signatures_docs_and_order():
    names = [m[0] for m in METHODS]
    assert [n for n in vars(QuantumDAG) if n in names] == names
    for name, signature, doc in METHODS:
        method = vars(QuantumDAG)[name]
        assert method.__text_signature__ == signature, name
        assert method.__doc__ == doc, name


def test_installed_type_stub_matches_the_module():
    stub = ast.parse(pathlib.Path(_velun_q.__file__).with_name("_velun_q.pyi").read_text())
    assert ast.get_docstring(stub) == _velun_q.__doc__
    classes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}
    assert set(_velun_q.__all__) <= set(classes)
    assert ast.get_docstring(classes["QuantumDAG"]) == QuantumDAG.__doc__
    defs = {node.name: node for node in classes["QuantumDAG"].body if isinstance(node, ast.FunctionDef)}
    assert set(defs) - {"__new__"} == {name for name, _, _ in METHODS}
    for name, _, doc in METHODS:
        args = defs[name].args
        runtime = list(inspect.signature(getattr(QuantumDAG, name)).parameters.values())
        assert [a.arg for a in args.args] == [p.name for p in runtime], name
        defaults = [ast.literal_eval(d) for d in args.defaults]
        assert defaults == [p.default for p in runtime if p.default is not p.empty], name
        assert ast.get_docstring(defs[name]) == doc, name


def test_not_subclassable():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (QuantumDAG,), {})


def test_instance_is_a_plain_object(qd):
    assert not hasattr(qd, "__dict__")
    assert not gc.is_tracked(qd)  # no cycle collection for instances
    assert qd == qd and qd != QuantumDAG() and hash(qd) == hash(qd)
    with pytest.raises(TypeError):
        len(qd)
    with pytest.raises(TypeError):
        qd[0]
    with pytest.raises(AttributeError):
        qd.extra = 1
    with pytest.raises(AttributeError):
        qd.node_count = None
    with pytest.raises(TypeError):
        weakref.ref(qd)


def test_instances_hold_their_class_only_while_they_live():
    # Instances of a heap type each hold a reference to it; a freed one must
    # give it back, whether the caller or the DD pass made it.
    g = QuantumDAG()
    g.add_gate("x", [0], 200.0)
    g.add_gate("cx", [0, 1], 100.0)
    g.build_schedule()
    before = sys.getrefcount(QuantumDAG)
    for _ in range(100):
        QuantumDAG()
        g.apply_dd_pass()
    assert sys.getrefcount(QuantumDAG) == before


def test_class_attribute_assignment():
    QuantumDAG.tag_for_test = 42
    try:
        assert QuantumDAG().tag_for_test == 42
    finally:
        del QuantumDAG.tag_for_test


# A legacy-config interpreter skips the interpreter's own isolation check,
# so the module's guard is what refuses it. Where no interpreter imported
# the module before, the import in the sub-interpreter has the main one
# initialise it first: the message names the owner, where it once said the
# module was "already loaded in another interpreter".
@pytest.mark.parametrize("main_first", [True, False])
def test_sub_interpreter_import_is_refused(main_first):
    result = run_python(f"""
        import _interpreters
        if {main_first}:
            import _velun_q
        sub = _interpreters.create(_interpreters.new_config("legacy"))
        try:
            err = _interpreters.exec(sub, "import _velun_q")
        finally:
            _interpreters.destroy(sub)
        import _velun_q
        print(err.type.__name__)
        print(err.msg)
        print(_velun_q.QuantumDAG().add_gate("h", [0], 1.0))
    """)
    assert result.returncode == 0, result.stderr
    kind, message, gate_id = result.stdout.splitlines()
    assert kind == "ImportError", message
    assert message == "_velun_q does not support sub-interpreters: it belongs to interpreter 0, the first to initialise it"
    assert gate_id == "0"
