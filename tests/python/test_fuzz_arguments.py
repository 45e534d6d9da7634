"""Arbitrary Python values in every argument of every QuantumDAG method.

A call either succeeds or raises one of the exceptions the binding layer
documents (or the one the caller's own object raised); it never crashes, and
a failed call leaves the graph exactly as it was. Values are drawn as recipes
(`Make`) and made afresh for every call, so that one-shot values and objects
bound to the graph under test replay and shrink like plain ones.
VELUNQ_FUZZ_EXAMPLES sets the number of examples per method (default 150).
"""

import array
import os
import re
import warnings
from collections import OrderedDict
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _velun_q import QuantumDAG
from conftest import call_in_thread

FUZZ = settings(max_examples=int(os.environ.get("VELUNQ_FUZZ_EXAMPLES", "150")), deadline=None,
                database=None, print_blob=True, suppress_health_check=list(HealthCheck))
PanicException = type(call_in_thread(QuantumDAG().node_count)[1])
assert PanicException.__name__ == "PanicException"

# Faults a conversion may report: Python code it ran changed the dict being
# read, or raised PanicException itself.
HOSTILE_PANIC = "hostile object panicked"
PANIC_MESSAGES = {"dictionary changed size during iteration", "dictionary keys changed during iteration",
                  HOSTILE_PANIC}
BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}

PARAMS = {
    "set_coupling_map": ("edges",), "node_count": (), "add_gate": ("name", "qubits", "duration_ns", "params"),
    "build_from_ir": ("instructions",), "build_schedule": (), "get_node_schedule": ("node_id",),
    "find_idle_windows": ("min_gap_ns",), "apply_dd_pass": ("sequence", "pulse_durations", "num_qubits"),
    "get_all_nodes": (),
}
REQUIRED = {"add_gate": 3, "apply_dd_pass": 0}
METHODS = list(PARAMS)
MUTATORS = {"set_coupling_map", "add_gate", "build_from_ir", "build_schedule"}

TYPE_ERROR = re.compile(
    r"^(?:QuantumDAG\.(?P<method>\w+)\(\) "
    r"|argument '(?P<param>\w+)': "
    r"|descriptor '(?P<descriptor>\w+)' for '(?:builtins\.)?QuantumDAG' objects doesn't apply to )"
)
VALUE_ERROR = re.compile(r"^expected tuple of length (2|4), but got tuple of length \d+$")


Boom = type("Boom", (Exception,), {})
BoomBase = type("BoomBase", (BaseException,), {})  # not an Exception
RAISES = [Boom, BoomBase, TypeError, ValueError, OverflowError, MemoryError, PanicException]
# Calls a hostile object may make back into the graph under test: method -> arguments.
CALLBACKS = {
    "node_count": (), "get_all_nodes": (), "get_node_schedule": (0,), "find_idle_windows": (0.0,),
    "apply_dd_pass": (), "add_gate": ("cb", [0], 1.0), "build_schedule": (), "set_coupling_map": ([(0, 7)],),
    "build_from_ir": ([("cb", [0], 1.0, {})],),
}


class Ctx:
    """What one call's arguments are made against, and what making them did."""

    def __init__(self, dag):
        self.dag = dag
        self.huge = False  # an argument claims more items than memory holds
        self.raised = set()  # exception types a hostile object may raise

    def raise_(self, kind):
        self.raised.add(kind)
        raise kind(HOSTILE_PANIC if kind is PanicException else "hostile")

    def act(self, action):
        """A hook's action: nothing, raise, or call back into the graph (maybe hiding the borrow error)."""
        kind, arg = action
        if kind == "raise":
            self.raise_(arg)
        elif kind == "call":
            name, swallow = arg
            try:
                getattr(self.dag, name)(*CALLBACKS[name])
            except RuntimeError as exc:
                assert str(exc) in BORROW_MESSAGES, exc
                if not swallow:
                    self.raised.add(RuntimeError)
                    raise


class Make:
    """A recipe for one argument value."""

    def __init__(self, fn, label):
        self.fn, self.label = fn, label

    def __call__(self, ctx):
        return self.fn(ctx)

    def __repr__(self):
        return self.label


def const(value, label=None):
    return Make(lambda ctx: value, label or repr(value))


def made(makes, wrap=list):
    return Make(lambda ctx: wrap([m(ctx) for m in makes]), f"{wrap.__name__}({makes!r})")


def generator(items):
    return (item for item in items)


# ---- hostile objects --------------------------------------------------------


class Scalar:
    """An object whose __index__ and __float__ run an action, then give `value`."""

    def __init__(self, ctx, action, value):
        self.ctx, self.action, self.value = ctx, action, value

    def __index__(self):
        self.ctx.act(self.action)
        return self.value

    def __float__(self):
        return float(self.__index__())


class Seq:
    """A sequence whose __len__ raises or lies, whose __iter__ acts, or whose iteration fails."""

    def __init__(self, ctx, items, length, action, stop_after):
        self.ctx, self.items, self.length = ctx, items, length
        self.action, self.stop_after = action, stop_after

    def __len__(self):
        if isinstance(self.length, type):
            self.ctx.raise_(self.length)
        if self.length is not None and self.length > 2**40:
            self.ctx.huge = True
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self.ctx.act(self.action)
        for n, item in enumerate(self.items):
            if n == self.stop_after:
                self.ctx.raise_(Boom)
            yield item


class Mutator:
    """An item whose first conversion changes the list or dict it sits in."""

    def __init__(self, owner, how):
        self.owner, self.how = owner, how

    def __index__(self):
        how, self.how, owner = self.how, None, self.owner
        if how in ("clear", "append"):
            owner.clear() if how == "clear" else owner.append(1)
        elif how in ("grow", "swap"):  # a new key; or one key replaced, the size kept
            key = f"k{len(owner)}" if how == "grow" else next(iter(owner))
            owner.pop(key, None)
            owner[key + ("'" if how == "swap" else "")] = 1.0
        return 1

    def __float__(self):
        return float(self.__index__())


def mutating(makes, how):
    def make(ctx):
        items = [m(ctx) for m in makes]
        owner = {f"m{i}": v for i, v in enumerate(items)} if how in ("grow", "swap") else items
        if isinstance(owner, dict):
            owner["x"] = Mutator(owner, how)
        else:
            owner.insert(len(items) // 2, Mutator(owner, how))
        return owner

    return Make(make, f"{how}({makes!r})")


SUB = {t: type(f"My{t.__name__.title()}", (t,), {}) for t in (int, float, str, dict, tuple)}
EDGE_INTS = [0, 1, -1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), 10**30, -(10**30)]
ODD_VALUES = [
    float("nan"), float("inf"), float("-inf"), -0.0, 5e-324, 1.7976931348623157e308,
    "\ud800", "a\udfffb", "\U0001f980", "", "0", "\x00",
    b"", b"\x00\x01", bytearray(b"\x02"), Decimal("1.5"), Decimal("nan"), Fraction(1, 3),
    1j, None, True, False, Ellipsis, NotImplemented, int, print,
]
# Fresh-per-call containers of small ints that are not lists.
OTHER_CONTAINERS = [set, frozenset, iter, lambda v: {x: x for x in v}.keys(),
                    lambda v: array.array("Q", v), lambda v: memoryview(bytes(v))]

scalars = st.one_of(
    st.integers(), st.sampled_from(EDGE_INTS), st.floats(), st.sampled_from(ODD_VALUES),
    st.text(max_size=6), st.binary(max_size=6),
    st.text(st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF, categories=["Cs"]), min_size=1, max_size=2),
).map(const)


def sub(t, v):
    return Make(lambda ctx: SUB[t](v), f"{SUB[t].__name__}({v!r})")


subclassed = st.one_of(
    st.integers(0, 2**64 - 1).map(lambda v: sub(int, v)),
    st.floats().map(lambda v: sub(float, v)),
    st.one_of(st.text(max_size=4), st.just("\udc80")).map(lambda v: sub(str, v)),
    st.sampled_from([Make(lambda ctx: ctx.dag, "<graph under test>"), Make(lambda ctx: QuantumDAG(), "QuantumDAG()"),
                     Make(lambda ctx: object(), "object()")]),
)
actions = st.one_of(
    st.just(("none", None)),
    st.tuples(st.just("raise"), st.sampled_from(RAISES)),
    st.tuples(st.just("call"), st.tuples(st.sampled_from(sorted(CALLBACKS)), st.booleans())),
)
hostile = st.builds(lambda action, value: Make(lambda ctx: Scalar(ctx, action, value), f"Scalar({action!r}, {value})"),
                    actions, st.sampled_from([0, 1, 7, -1, 2**64]))


def sequences(items):
    """Every kind of value the list conversion meets, over recipes `items`."""

    def seq(makes, length, action, stop):
        label = f"Seq({makes!r}, len={length!r}, iter={action!r}, stop={stop})"
        return Make(lambda ctx: Seq(ctx, [m(ctx) for m in makes], length, action, stop), label)

    lists = st.lists(items, max_size=4)
    return st.one_of(
        st.builds(made, lists, st.sampled_from([list, tuple, generator])),
        st.builds(seq, lists, st.sampled_from([None, 0, 100, 2**62, Boom, TypeError]), actions,
                  st.sampled_from([None, 0, 1])),
        st.builds(mutating, lists, st.sampled_from(["clear", "append"])),
        st.integers(0, 5).map(lambda n: const(range(n))),
        # ranges whose native form cannot be allocated
        st.sampled_from([10**11, 10**12, 2**62]).map(
            lambda n: Make(lambda ctx: setattr(ctx, "huge", True) or range(n), f"range({n})")),
        st.builds(lambda wrap, v: Make(lambda ctx: wrap(v), f"{getattr(wrap, '__name__', 'other')}({v!r})"),
                  st.sampled_from(OTHER_CONTAINERS), st.lists(st.integers(0, 3), max_size=3)),
    )


def dicts(keys, values):
    def plain(entries, cls):
        return Make(lambda ctx: cls((k(ctx), v(ctx)) for k, v in entries), f"{cls.__name__}({entries!r})")

    return st.one_of(
        st.builds(plain, st.lists(st.tuples(keys, values), max_size=3), st.sampled_from([dict, SUB[dict], OrderedDict])),
        st.builds(mutating, st.lists(values, max_size=3), st.sampled_from(["grow", "swap"])),
    )


hashable_keys = st.one_of(
    st.integers().map(const), st.text(max_size=4).map(const), hostile,
    st.sampled_from(EDGE_INTS + ["\ud800", "", None, 1.5, float("nan"), (1, 2), b"k"]).map(const),
)
anything = st.recursive(st.one_of(scalars, subclassed, hostile),
                        lambda children: st.one_of(sequences(children), dicts(hashable_keys, children)),
                        max_leaves=8)

# ---- values shaped like what each parameter wants --------------------------

good_u64 = st.integers(0, 9).map(const)
u64 = st.one_of(good_u64, good_u64, hostile)
qubit_item = st.one_of(u64, u64, anything)
qubit_lists = st.one_of(sequences(qubit_item), st.lists(good_u64, max_size=3).map(made))
f64 = st.one_of(st.floats(-100, 500).map(const), st.sampled_from([float("nan"), float("inf"), 0, 7]).map(const), hostile)
names = st.sampled_from(["h", "cx", "", "DD_X", "\u00fcn\u00ef", "x" * 40]).map(const)
param_maps = st.one_of(
    st.just(const(None)),
    st.dictionaries(st.sampled_from(["amp", "sigma", "beta", ""]), st.floats(-1, 1), max_size=3).map(const),
    dicts(st.one_of(names, names, hashable_keys), st.one_of(f64, f64, anything)),
)


def tuples_of(fields, n):
    """Tuples of `n` fields drawn from `fields`, sometimes the wrong size or kind."""
    right = st.tuples(*fields).map(list)
    return st.builds(made, st.one_of(right, right, right, st.lists(anything, max_size=n + 1)),
                     st.sampled_from([tuple, tuple, list, SUB[tuple]]))


def lists_of(item):
    return st.one_of(st.lists(item, max_size=3).map(made), sequences(item))


SHAPED = {
    "edges": lists_of(tuples_of([qubit_item, qubit_item], 2)),
    "name": names,
    "qubits": qubit_lists,
    "duration_ns": f64,
    "params": param_maps,
    "instructions": lists_of(tuples_of([st.one_of(names, names, anything), qubit_lists,
                                        st.one_of(f64, f64, anything), param_maps], 4)),
    "node_id": st.one_of(st.integers(0, 12).map(const), st.sampled_from(EDGE_INTS).map(const), hostile),
    "min_gap_ns": f64,
    "sequence": st.sampled_from(["XY", "XY4", "xy4", "XY4 ", "", "\ud83d"]).map(const),
    "pulse_durations": st.one_of(
        st.just(const(None)),
        st.dictionaries(st.integers(0, 9), st.floats(0, 100), max_size=3).map(const),
        dicts(st.one_of(u64, u64, hashable_keys), st.one_of(f64, f64, anything)),
    ),
    "num_qubits": st.one_of(st.integers(0, 10).map(const), st.sampled_from(EDGE_INTS).map(const), hostile),
}
# Plainly valid values, so that calls get past their first arguments.
VALID = {
    "edges": st.lists(st.tuples(st.integers(0, 9), st.integers(0, 9)), max_size=3),
    "name": st.text(max_size=4),
    "qubits": st.lists(st.integers(0, 9), max_size=3),
    "duration_ns": st.floats(-10, 500),
    "params": st.none() | st.dictionaries(st.text(max_size=3), st.floats(-1, 1), max_size=2),
    "instructions": st.lists(st.tuples(st.text(max_size=3), st.lists(st.integers(0, 9), max_size=3),
                                       st.floats(0, 100), st.just({})), max_size=3),
    "node_id": st.integers(0, 12),
    "min_gap_ns": st.floats(-10, 500),
    "sequence": st.sampled_from(["XY", "XY4"]),
    "pulse_durations": st.none() | st.dictionaries(st.integers(0, 9), st.floats(0, 100), max_size=2),
    "num_qubits": st.integers(0, 10),
}


def argument(param):
    valid = VALID[param].map(const)
    return st.one_of(valid, valid, valid, SHAPED[param], SHAPED[param], anything)


@st.composite
def calls(draw, method):
    """A call of `method`: (receiver recipe or None, positional recipes, keyword recipes)."""
    params = PARAMS[method]
    values = {p: draw(argument(p)) for p in params}
    required = REQUIRED.get(method, len(params))
    present = [p for i, p in enumerate(params) if i < required or draw(st.booleans())]
    # Mostly well-formed calls, sometimes binding mistakes.
    mistake = draw(st.sampled_from([None] * 15 + ["drop", "extra", "unknown", "twice", "surrogate"]))
    if mistake == "drop" and present:
        present.remove(draw(st.sampled_from(present)))
    # Positional arguments stay in order: after the first keyword nothing is positional.
    positional = [values[p] for p in params[:draw(st.integers(0, len(present)))] if p in present]
    keywords = {p: values[p] for p in present if params.index(p) >= len(positional)}
    if mistake == "extra":
        positional, keywords = [values[p] for p in params if p in present] + [draw(anything)], {}
    elif mistake == "unknown":
        keywords[draw(st.sampled_from(["Name", "self", "edge", "x" * 20]))] = draw(anything)
    elif mistake == "twice" and positional:
        keywords[params[0]] = draw(anything)
    elif mistake == "surrogate":
        keywords["\udcff"] = const(1)
    # Now and then an unbound call on a receiver that is no QuantumDAG.
    receiver = None
    if draw(st.integers(0, 19)) == 13:
        receiver = draw(st.one_of(scalars, st.just(const(object(), "object()"))))
    return receiver, positional, keywords


# ---- observing the graph -----------------------------------------------------


def fresh_graph():
    """A small scheduled graph with a coupling map, so that every reader sees something."""
    g = QuantumDAG()
    g.build_from_ir([("x", [2], 150.0, {}), ("y", [1], 20.0, {"amp": 0.5}), ("z", [3], 400.0, {}),
                     ("cx", [0, 2], 10.0, {}), ("cx", [1, 3], 10.0, {"a": 1.0, "b": 2.0})])
    g.set_coupling_map([(0, 1)])
    g.build_schedule()
    return g


def snapshot(g):
    """Everything observable about a graph, as text (NaN compares equal as text)."""
    n = g.node_count()
    return {
        "count": n,
        "nodes": [repr(t) for t in g.get_all_nodes()],
        "schedule": [repr(g.get_node_schedule(i)) for i in range(n + 1)],
        "windows": repr(g.find_idle_windows(0.0)),
        "dd": repr(g.apply_dd_pass("XY", None, 16).get_all_nodes()),
    }


def types_of(seq):
    return [type(x) for x in seq]


def check_result(method, result):
    if method in ("set_coupling_map", "build_from_ir", "build_schedule"):
        assert result is None
    elif method in ("node_count", "add_gate"):
        assert type(result) is int and result >= 0
    elif method == "get_node_schedule":
        assert result is None or (type(result) is tuple and types_of(result) == [float, float])
    elif method == "find_idle_windows":
        assert type(result) is list and all(type(w) is tuple and types_of(w) == [int, float, float] for w in result)
        assert [w[0] for w in result] == sorted(w[0] for w in result)
    elif method == "apply_dd_pass":
        assert type(result) is QuantumDAG and result.get_node_schedule(0) is None
    elif method == "get_all_nodes":
        assert type(result) is list
        for name, qubits, duration, params in result:
            assert types_of((name, qubits, duration)) == [str, list, float] and set(types_of(qubits)) <= {int}
            assert all(type(k) is str and type(v) is float for k, v in params.items())


def check_effect(method, before, after):
    """A successful call changed only what its method may change."""
    if method not in MUTATORS:
        assert after == before
    elif method in ("add_gate", "build_from_ir"):
        added = after["count"] - before["count"]
        assert added == 1 if method == "add_gate" else added >= 0
        assert after["nodes"][: before["count"]] == before["nodes"]
        assert after["schedule"][: before["count"]] == before["schedule"][:-1]
        assert set(after["schedule"][before["count"]:]) == {"None"}
        assert (after["windows"], after["dd"]) == (before["windows"], before["dd"])
    elif method == "set_coupling_map":
        assert {k: v for k, v in after.items() if k != "dd"} == {k: v for k, v in before.items() if k != "dd"}
    elif method == "build_schedule":
        assert (after["count"], after["nodes"]) == (before["count"], before["nodes"])
        assert "None" not in after["schedule"][:-1]


def check_exception(method, exc, ctx):
    kind = type(exc)
    if kind in ctx.raised and kind not in (PanicException, TypeError):
        return  # a hostile object's own exception, passed through unchanged
    if kind is PanicException:
        assert str(exc) in PANIC_MESSAGES, f"internal fault: {exc}"
    elif kind is MemoryError:
        assert ctx.huge, "MemoryError without an oversized argument"
    elif kind is RuntimeError:
        assert str(exc) in BORROW_MESSAGES, exc
    elif kind is TypeError:
        match = TYPE_ERROR.match(str(exc))
        assert match, f"unlabelled TypeError: {exc}"
        if match["param"]:
            assert match["param"] in PARAMS[method], exc
        else:
            assert (match["method"] or match["descriptor"]) == method, exc
    elif kind is ValueError:
        assert VALUE_ERROR.match(str(exc)), exc
    else:
        assert kind in (OverflowError, UnicodeEncodeError), f"unexpected {kind.__name__}: {exc}"


def run_call(g, method, call):
    """Makes the call's arguments, calls, and checks the outcome."""
    receiver, positional, keywords = call
    ctx = Ctx(g)
    before = snapshot(g)
    args = [m(ctx) for m in positional]
    kwargs = {k: m(ctx) for k, m in keywords.items()}
    target = getattr(g, method) if receiver is None else getattr(QuantumDAG, method)
    if receiver is not None:
        args.insert(0, receiver(ctx))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = target(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - every outcome is judged below
        check_exception(method, exc, ctx)
        assert snapshot(g) == before, "a failed call changed the graph"
        return
    assert receiver is None, "a foreign receiver was accepted"
    check_result(method, result)
    check_effect(method, before, snapshot(g))


@pytest.mark.parametrize("method", METHODS)
@FUZZ
@given(data=st.data())
def test_any_arguments_to_any_method(method, data):
    g = fresh_graph()
    run_call(g, method, data.draw(calls(method), label="call"))
    # A few more calls on the same graph, so that odd but accepted values
    # (NaN durations, huge qubit indices) meet every reader afterwards.
    for other in data.draw(st.lists(st.sampled_from(METHODS), max_size=2), label="then"):
        run_call(g, other, data.draw(calls(other), label=other))


@FUZZ
@given(positional=st.lists(anything, max_size=2), keywords=st.dictionaries(st.text(max_size=3), anything, max_size=2))
def test_constructor_takes_nothing(positional, keywords):
    ctx = Ctx(None)
    args = [m(ctx) for m in positional]
    kwargs = {k: m(ctx) for k, m in keywords.items()}
    if not args and not kwargs:
        assert QuantumDAG().node_count() == 0
        return
    with pytest.raises(TypeError, match=r"^QuantumDAG\.__new__\(\) "):
        QuantumDAG(*args, **kwargs)
