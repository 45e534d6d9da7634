"""Conversion of Python argument values to native values, and how failures are labelled."""

import array
import collections
import collections.abc
import types

import pytest

from conftest import Index, expect, expect_panic, run_python

NEG = "can't convert negative int to unsigned"
BIG = "int too big to convert"
SURROGATE = "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Str(str):
    pass


def gen():
    yield 0


REJECTED = [
    # qubits: a str is never a sequence; non-sequences name their type
    (lambda g: g.add_gate("h", "01", 10.0), TypeError, "argument 'qubits': Can't extract `str` to `Vec`"),
    (lambda g: g.add_gate("h", {0, 1}, 10.0), TypeError, "argument 'qubits': 'set' object cannot be cast as 'Sequence'"),
    (lambda g: g.add_gate("h", gen(), 10.0), TypeError, "argument 'qubits': 'generator' object cannot be cast as 'Sequence'"),
    (lambda g: g.add_gate("h", {0: 1}, 10.0), TypeError, "argument 'qubits': 'dict' object cannot be cast as 'Sequence'"),
    (lambda g: g.add_gate("h", iter([0]), 10.0), TypeError, "argument 'qubits': 'list_iterator' object cannot be cast as 'Sequence'"),
    (lambda g: g.add_gate("h", None, 10.0), TypeError, "argument 'qubits': 'NoneType' object cannot be cast as 'Sequence'"),
    (lambda g: g.add_gate("h", g, 10.0), TypeError, "argument 'qubits': 'QuantumDAG' object cannot be cast as 'Sequence'"),
    # qubit items: range errors pass unlabelled, type errors are labelled
    (lambda g: g.add_gate("h", [0, -1], 10.0), OverflowError, NEG),
    (lambda g: g.add_gate("h", [2**64], 10.0), OverflowError, BIG),
    (lambda g: g.add_gate("h", [Index(2**70)], 10.0), OverflowError, BIG),
    (lambda g: g.add_gate("h", [0.0], 10.0), TypeError, "argument 'qubits': 'float' object cannot be interpreted as an integer"),
    (lambda g: g.add_gate("h", ["0"], 10.0), TypeError, "argument 'qubits': 'str' object cannot be interpreted as an integer"),
    (lambda g: g.add_gate("h", [Index("0")], 10.0), TypeError, "argument 'qubits': __index__ returned non-int (type str)"),
    # name, and the order in which parameters are converted
    (lambda g: g.add_gate(5, [0], 1.0), TypeError, "argument 'name': 'int' object cannot be cast as 'str'"),
    (lambda g: g.add_gate(b"h", [0], 1.0), TypeError, "argument 'name': 'bytes' object cannot be cast as 'str'"),
    (lambda g: g.add_gate(5, "01", None, 7), TypeError, "argument 'name': 'int' object cannot be cast as 'str'"),
    (lambda g: g.add_gate("h", [-1], "x"), OverflowError, NEG),
    (lambda g: g.add_gate("h", [0], "x", 7), TypeError, "argument 'duration_ns': must be real number, not str"),
    (lambda g: g.add_gate("\ud800", [0], 1.0), UnicodeEncodeError, SURROGATE),
    # duration and params
    (lambda g: g.add_gate("h", [0], None), TypeError, "argument 'duration_ns': must be real number, not NoneType"),
    (lambda g: g.add_gate("h", [0], 10**400), OverflowError, "int too large to convert to float"),
    (lambda g: g.add_gate("h", [0], Float("1")), TypeError, "argument 'duration_ns': Float.__float__ returned non-float (type str)"),
    (lambda g: g.add_gate("h", [0], 1.0, {1: 0.5}), TypeError, "argument 'params': 'int' object cannot be cast as 'str'"),
    (lambda g: g.add_gate("h", [0], 1.0, [("a", 1.0)]), TypeError, "argument 'params': 'list' object cannot be cast as 'dict'"),
    (lambda g: g.add_gate("h", [0], 1.0, types.MappingProxyType({})), TypeError,
     "argument 'params': 'mappingproxy' object cannot be cast as 'dict'"),
    (lambda g: g.add_gate("h", [0], 1.0, {"a": None}), TypeError, "argument 'params': must be real number, not NoneType"),
    (lambda g: g.add_gate("h", [0], 1.0, {"\ud800": 1.0}), UnicodeEncodeError, SURROGATE),
    # edges
    (lambda g: g.set_coupling_map([[0, 1]]), TypeError, "argument 'edges': 'list' object cannot be cast as 'tuple'"),
    (lambda g: g.set_coupling_map([(0, 1, 2)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda g: g.set_coupling_map([()]), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    (lambda g: g.set_coupling_map([(0, -1)]), OverflowError, NEG),
    (lambda g: g.set_coupling_map([(0, 1.5)]), TypeError, "argument 'edges': 'float' object cannot be interpreted as an integer"),
    (lambda g: g.set_coupling_map("01"), TypeError, "argument 'edges': Can't extract `str` to `Vec`"),
    # instruction lists: only the outer parameter is named
    (lambda g: g.build_from_ir([("h", [0], 10.0)]), ValueError, "expected tuple of length 4, but got tuple of length 3"),
    (lambda g: g.build_from_ir([("h", [0], 1.0, {}), ("x", [0], 1.0, {}, 0)]), ValueError,
     "expected tuple of length 4, but got tuple of length 5"),
    (lambda g: g.build_from_ir([("h", [0], 10.0, None)]), TypeError, "argument 'instructions': 'NoneType' object cannot be cast as 'dict'"),
    (lambda g: g.build_from_ir([("h", "0", 10.0, {})]), TypeError, "argument 'instructions': Can't extract `str` to `Vec`"),
    (lambda g: g.build_from_ir([["h", [0], 10.0, {}]]), TypeError, "argument 'instructions': 'list' object cannot be cast as 'tuple'"),
    (lambda g: g.build_from_ir([(1, [0], 10.0, {})]), TypeError, "argument 'instructions': 'int' object cannot be cast as 'str'"),
    (lambda g: g.build_from_ir([("h", [-1], 10.0, {})]), OverflowError, NEG),
    (lambda g: g.build_from_ir([("h", [0], "x", {})]), TypeError, "argument 'instructions': must be real number, not str"),
    (lambda g: g.build_from_ir("ab"), TypeError, "argument 'instructions': Can't extract `str` to `Vec`"),
    (lambda g: g.build_from_ir(x for x in []), TypeError, "argument 'instructions': 'generator' object cannot be cast as 'Sequence'"),
    # scalar queries
    (lambda g: g.get_node_schedule(-1), OverflowError, NEG),
    (lambda g: g.get_node_schedule(2**64), OverflowError, BIG),
    (lambda g: g.get_node_schedule("3"), TypeError, "argument 'node_id': 'str' object cannot be interpreted as an integer"),
    (lambda g: g.find_idle_windows("1"), TypeError, "argument 'min_gap_ns': must be real number, not str"),
    # the pass's options, converted in order sequence, pulse_durations, num_qubits
    (lambda g: g.apply_dd_pass(sequence=None), TypeError, "argument 'sequence': 'NoneType' object cannot be cast as 'str'"),
    (lambda g: g.apply_dd_pass(None, [], -1), TypeError, "argument 'sequence': 'NoneType' object cannot be cast as 'str'"),
    (lambda g: g.apply_dd_pass("\ud800"), UnicodeEncodeError, SURROGATE),
    (lambda g: g.apply_dd_pass("XY", [], -1), TypeError, "argument 'pulse_durations': 'list' object cannot be cast as 'dict'"),
    (lambda g: g.apply_dd_pass(pulse_durations={"0": 1.0}), TypeError,
     "argument 'pulse_durations': 'str' object cannot be interpreted as an integer"),
    (lambda g: g.apply_dd_pass(pulse_durations={-1: 1.0}), OverflowError, NEG),
    (lambda g: g.apply_dd_pass(pulse_durations={0: "x"}), TypeError, "argument 'pulse_durations': must be real number, not str"),
    (lambda g: g.apply_dd_pass(num_qubits=-1), OverflowError, NEG),
    (lambda g: g.apply_dd_pass(num_qubits=1.5), TypeError, "argument 'num_qubits': 'float' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("call, exc_type, message", REJECTED)
def test_rejected_values_leave_the_graph_unchanged(qd, call, exc_type, message):
    qd.add_gate("seed", [0], 1.0)
    expect(exc_type, message, call, qd)
    assert qd.node_count() == 1
    assert qd.add_gate("next", [0], 1.0) == 1
    assert [n[0] for n in qd.get_all_nodes()] == ["seed", "next"]


class LenFails(collections.abc.Sequence):
    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, i):
        if i < 2:
            return i + 5
        raise IndexError(i)


class LenLies(LenFails):
    def __len__(self):
        return 100


class LenStops(LenFails):
    """A length whose exception is no ordinary error: it must not be discarded."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        raise self.exc


@pytest.mark.parametrize("call", [
    lambda g, seq: g.add_gate("h", seq, 1.0),
    lambda g, seq: g.build_from_ir([("h", seq, 1.0, {})]),
    lambda g, seq: g.build_from_ir(seq),
    lambda g, seq: g.set_coupling_map(seq),
], ids=["qubits", "nested qubits", "instructions", "edges"])
def test_a_length_that_stops_the_program_is_not_discarded(qd, call, panic_type, capfd):
    for exc in (KeyboardInterrupt(), SystemExit(3)):
        assert expect(type(exc), None, call, qd, LenStops(exc)) is exc
    exc = expect_panic(call, qd, LenStops(panic_type("from len")))
    assert str(exc) == "from len"
    assert "raised PanicException" in capfd.readouterr().err
    assert qd.node_count() == 0 and qd.get_all_nodes() == []


@pytest.mark.parametrize("qubits, stored", [
    (b"\x00\x01", [0, 1]),
    (bytearray(b"\x02"), [2]),
    (range(3), [0, 1, 2]),
    ((4, 5), [4, 5]),
    (array.array("Q", [7, 2**64 - 1]), [7, 2**64 - 1]),
    ([True, False], [1, 0]),
    ([Index(3)], [3]),
    (LenFails(), [5, 6]),
    (LenLies(), [5, 6]),
])
def test_accepted_qubit_sequences(qd, qubits, stored):
    qd.add_gate("h", qubits, 10)
    assert qd.get_all_nodes() == [("h", stored, 10.0, {})]


@pytest.mark.parametrize("duration, stored", [
    (10, 10.0), (True, 1.0), (Float(2.5), 2.5), (Index(7), 7.0), (type("F", (float,), {})(3.5), 3.5),
    # -1.0 is also the interpreter's error marker; without an error it is a value
    (-1, -1.0), (-1.0, -1.0), (Float(-1.0), -1.0), (Index(-1), -1.0),
    # only an exact int skips __float__; a float subclass is read by its stored value
    (type("I", (int,), {"__float__": lambda self: 2.5})(1), 2.5),
    (type("G", (float,), {"__float__": lambda self: 9.0})(3.5), 3.5),
    # ints convert exactly where a float can hold them, and round once where it cannot
    (16_777_217, 16_777_217.0), (-(2**40) - 1, -1_099_511_627_777.0), (2**53 + 1, 2.0**53)])
def test_accepted_durations(qd, duration, stored):
    qd.add_gate("h", [0], duration)
    (node,) = qd.get_all_nodes()
    assert type(node[2]) is float and node[2] == stored


def test_largest_unsigned_values_are_accepted(qd):
    assert qd.get_node_schedule(2**64 - 1) is None
    assert qd.apply_dd_pass("XY", {2**64 - 1: 1.0}, 2**64 - 1).node_count() == 0


def test_accepted_params_and_names(qd):
    class Key(str):
        # unequal to "a" for the dict, yet the same text once converted
        def __hash__(self):
            return 12345

        def __eq__(self, other):
            return self is other

    class Unhashable(str):
        # a name is its text: the module never needs the object's hash
        def __hash__(self):
            raise ValueError("no hash")

    qd.add_gate(Str("h"), [0], 1.0, {"amp": 1})
    qd.add_gate("h", [0], 1.0, collections.OrderedDict(b=True))
    qd.add_gate("h", [0], 1.0, {"a": 1.0, Key("a"): 2.0})
    qd.build_from_ir([(Unhashable("u"), [0], 1.0, {"big": 123_456_789})])
    qd.add_gate(Unhashable("v"), [0], 1.0)
    nodes = qd.get_all_nodes()
    assert type(nodes[0][0]) is str
    assert [n[0] for n in nodes] == ["h", "h", "h", "u", "v"]
    assert [n[3] for n in nodes] == [{"amp": 1.0}, {"b": 1.0}, {"a": 2.0}, {"big": 123_456_789.0}, {}]
    assert type(nodes[0][3]["amp"]) is float


def test_list_and_tuple_subclasses_are_iterated(qd, capfd):
    # A subclass's own __iter__ is what the module reads, not the stored items.
    def iterating(base):
        return type("Iterating", (base,), {"__iter__": lambda self: iter(self.given)})

    for base in (list, tuple):
        def seq(given, stored):
            s = iterating(base)(stored)
            s.given = given
            return s

        g = type(qd)()
        g.add_gate("h", seq([7, 8], [0, 1]), 1.0)
        g.build_from_ir(seq([("x", [9], 2.0, {})], [("wrong", [0], 1.0, {})]))
        assert g.get_all_nodes() == [("h", [7, 8], 1.0, {}), ("x", [9], 2.0, {})], base
        # the edge (0, 1) took: qubit 1 makes room for qubit 0's pulses and keeps only its DD_X
        g = type(qd)()
        g.build_from_ir([("a", [2], 200.0, {}), ("b", [0, 1, 2], 1.0, {})])
        g.set_coupling_map(seq([(0, 1)], [(5, 6)]))
        g.build_schedule()
        assert [n[0] for n in g.apply_dd_pass(num_qubits=2).get_all_nodes()] == ["a", "DD_X", "DD_Y", "DD_X", "b"]


def test_tuple_subclasses_are_tuples(qd, capfd):
    Instruction = collections.namedtuple("Instruction", "name qubits duration params")
    Edge = collections.namedtuple("Edge", "a b")
    qd.build_from_ir([Instruction("a", [2], 200.0, {}), Instruction("b", (0, 1, 2), 1.0, {"t": 1})])
    qd.set_coupling_map([Edge(0, 1)])
    qd.build_schedule()
    assert qd.get_all_nodes() == [("a", [2], 200.0, {}), ("b", [0, 1, 2], 1.0, {"t": 1.0})]
    # the pair took: qubit 1 makes room for qubit 0's pulses and keeps only its DD_X
    out = qd.apply_dd_pass(num_qubits=2).get_all_nodes()
    assert [n[0] for n in out] == ["a", "DD_X", "DD_Y", "DD_X", "b"]


EMPTIED_BY_ITS_OWN_ITEM = {
    # the pair took: qubit 1 makes room for qubit 0's pulses and keeps only its DD_X
    "list": ("""
        edges = []
        edges.append((Clear(edges), One()))
        g.set_coupling_map(edges)
        g.build_from_ir([("a", [2], 200.0, {}), ("b", [0, 1, 2], 1.0, {})])
        g.build_schedule()
        print([n[0] for n in g.apply_dd_pass(num_qubits=2).get_all_nodes()])
    """, "['a', 'DD_X', 'DD_Y', 'DD_X', 'b']"),
    # the value is a float subclass, so its memory is freed, not kept for reuse
    "dict": ("""
        g.build_from_ir([("a", [0], 200.0, {}), ("b", [0, 1], 1.0, {})])
        g.build_schedule()
        durations = {}
        durations[Clear(durations)] = type("F", (float,), {})(1.25)
        try:
            g.apply_dd_pass(pulse_durations=durations)
        except BaseException as exc:
            print(type(exc).__name__, exc)
    """, "PanicException dictionary changed size during iteration"),
}


@pytest.mark.parametrize("container", sorted(EMPTIED_BY_ITS_OWN_ITEM))
def test_container_emptied_by_its_own_items_conversion(container):
    # The entry leaves the container while its first part converts; the
    # entry and its other part must stay alive. The debug allocator
    # overwrites freed memory, so using a freed object would crash (a run
    # that already chose its allocator, under a memory checker, keeps it).
    code, last_line = EMPTIED_BY_ITS_OWN_ITEM[container]
    done = run_python("""
        import _velun_q
        class Clear:
            def __init__(self, container):
                self.container = container
            def __index__(self):
                self.container.clear()
                return 0
        class One:
            def __index__(self):
                return 1
        g = _velun_q.QuantumDAG()
    """ + code, env={"PYTHONMALLOC": "debug"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == last_line


class LabelledTypeError(TypeError):
    pass


def test_sequence_is_named_as_it_is_now_called(qd):
    # The name is read when the message is made, and a name that cannot be
    # encoded as UTF-8 is still a name.
    original = collections.abc.Sequence.__qualname__
    try:
        for name in ("Renamed", "Seq\udc80"):
            collections.abc.Sequence.__qualname__ = name
            expect(TypeError, f"argument 'qubits': 'set' object cannot be cast as '{name}'", qd.add_gate, "h", {0}, 1.0)
    finally:
        collections.abc.Sequence.__qualname__ = original
    assert qd.node_count() == 0


def test_type_error_subclass_is_not_relabelled(qd):
    class Bad:
        def __index__(self):
            raise LabelledTypeError("mine")

    expect(LabelledTypeError, "mine", qd.add_gate, "h", [Bad()], 1.0)


@pytest.mark.parametrize("cause", ["none given", None, KeyError("k")])
def test_relabelled_type_error_keeps_its_cause(qd, cause):
    class Bad:
        def __index__(self):
            if cause == "none given":
                raise TypeError("inner")
            raise TypeError("inner") from cause

    exc = expect(TypeError, "argument 'node_id': inner", qd.get_node_schedule, Bad())
    assert exc.__cause__ is (None if cause == "none given" else cause)
    # The cause is set, as by assigning __cause__, even when it is None.
    assert exc.__suppress_context__ is True


class Unprintable:
    def __init__(self, failure):
        self.failure = failure

    def __str__(self):
        raise self.failure


@pytest.mark.parametrize("failure", [ValueError("no text"), KeyboardInterrupt()])
def test_type_error_without_text_is_not_lost(qd, failure):
    # The prefix needs the message as text. When that fails, the error is
    # reported as it stands; a Ctrl-C while making the text ends the call,
    # carrying the error it interrupted.
    original = TypeError(Unprintable(failure))

    class Bad:
        def __index__(self):
            raise original

    with pytest.raises(BaseException) as info:
        qd.get_node_schedule(Bad())
    if isinstance(failure, Exception):
        assert info.value is original
    else:
        assert info.value is failure and failure.__context__ is original


def test_type_error_whose_text_raises_a_fault_is_a_fault(qd, panic_type):
    class Bad:
        def __index__(self):
            raise TypeError(Unprintable(panic_type("from str")))

    expect_panic(qd.add_gate, "h", [Bad()], 1.0)
    assert qd.node_count() == 0 and qd.add_gate("h", [0], 1.0) == 0


@pytest.mark.parametrize("raised, expected, message", [
    (ValueError("stop"), ValueError, "stop"),
    (TypeError("stop"), TypeError, "argument 'edges': stop"),
])
def test_errors_of_the_iteration_itself(qd, raised, expected, message):
    class Seq(collections.abc.Sequence):
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise raised

    expect(expected, message, qd.set_coupling_map, Seq())


def test_dict_resized_by_a_value_conversion_is_a_fault(qd):
    params = {"a": 1.0}

    class Grow:
        def __float__(self):
            params["zz"] = 2.0
            return 1.0

    params["b"] = Grow()
    exc = expect_panic(qd.add_gate, "h", [0], 1.0, params)
    assert str(exc) == "dictionary changed size during iteration"
    assert qd.node_count() == 0 and qd.add_gate("h", [0], 1.0) == 0


def test_dict_keys_swapped_by_a_value_conversion_is_a_fault(qd):
    params = {}

    class Swap:
        def __float__(self):
            del params["a"]
            params["c"] = 3.0
            return 1.0

    params["a"] = Swap()
    params["b"] = 2.0
    exc = expect_panic(qd.add_gate, "h", [0], 1.0, params)
    assert str(exc) == "dictionary keys changed during iteration"
    assert qd.add_gate("h", [0], 1.0) == 0


def test_fault_raised_by_python_code_comes_back_as_fault(qd, panic_type):
    class Raise:
        def __float__(self):
            raise panic_type("from python\0 and after a NUL")

    exc = expect_panic(qd.add_gate, "h", [0], Raise())
    assert str(exc) == "from python\0 and after a NUL"
    assert qd.node_count() == 0 and qd.add_gate("h", [0], 1.0) == 0


class Huge(collections.abc.Sequence):
    """Reports a length far beyond any memory; yields a few items, then fails loudly."""

    def __init__(self, item):
        self.item = item

    def __len__(self):
        return 10**12

    def __getitem__(self, i):
        if i < 1000:
            return self.item
        raise AssertionError("iterated on after room for the reported length was 'reserved'")


@pytest.mark.parametrize("call", [
    lambda g: g.add_gate("h", range(10**12), 1.0),
    lambda g: g.add_gate("h", Huge(0), 1.0),
    lambda g: g.set_coupling_map(Huge((0, 1))),
    lambda g: g.build_from_ir(Huge(("h", [0], 1.0, {}))),
    lambda g: g.build_from_ir([("h", Huge(0), 1.0, {})]),
])
def test_unallocatable_argument_fails_orderly(qd, call):
    # The reported length sizes the storage before any item is read, so an
    # impossible length fails at once instead of exhausting the machine.
    expect(MemoryError, None, call, qd)
    assert qd.node_count() == 0 and qd.add_gate("h", [0], 1.0) == 0
