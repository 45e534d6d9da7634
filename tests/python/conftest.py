"""Shared fixtures and helpers for the _velun_q boundary tests."""

import gc
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import _velun_q


@pytest.fixture(autouse=True)
def collect_on_owner_thread():
    """Reference cycles made by a test (exceptions with tracebacks holding an
    instance) are collected here, on the owner thread, rather than later by
    whichever thread happens to trigger the collector."""
    yield
    gc.collect(1)


@pytest.fixture
def qd():
    """A fresh, empty QuantumDAG owned by the test's thread."""
    return _velun_q.QuantumDAG()


def expect(exc_type, message, fn, *args, **kwargs):
    """Call fn and require exactly exc_type (not a subclass) with exactly message."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    if message is not None:
        assert str(info.value) == message
    return info.value


def expect_panic(fn, *args, **kwargs):
    """Call fn and require the internal-fault exception; return it.

    It must slip through `except Exception`, so it is caught here only as
    BaseException after checking that an Exception handler ignores it."""
    caught_by_exception = False
    try:
        try:
            fn(*args, **kwargs)
        except Exception:
            caught_by_exception = True
    except BaseException as exc:
        assert type(exc).__name__ == "PanicException"
        assert issubclass(type(exc), BaseException)
        assert not issubclass(type(exc), Exception)
        return exc
    pytest.fail("no PanicException (caught by 'except Exception': %s)" % caught_by_exception)


def call_in_thread(fn):
    """Run fn on a new thread; return ("ok", result) or ("raised", exception)."""
    out = []

    def body():
        try:
            out.append(("ok", fn()))
        except BaseException as exc:  # noqa: B036 - the fault type is a BaseException
            out.append(("raised", exc))

    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    return out[0]


@pytest.fixture(scope="session")
def panic_type():
    """The internal-fault exception class, obtained from a foreign-thread call."""
    victim = _velun_q.QuantumDAG()
    kind, exc = call_in_thread(victim.node_count)
    assert kind == "raised"
    return type(exc)


def run_python(code, timeout=120, env=None):
    """Run code in a fresh interpreter of the same installation; `env` holds
    defaults for variables the test run's own environment does not set."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        encoding="utf-8",
        errors="replace",
        timeout=timeout,
        env=None if env is None else {**env, **os.environ},
    )


class Index:
    """Not an int, but converts to `value` through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value
