"""The package fuzzer's hostile arguments: values whose conversions raise,
interrupt (as Ctrl-C does), give the wrong type or run a whole nested
action; iterables and buffers that fail midway; a timer's Ctrl-C landing
inside a long native loop.  And what every room's checks use: the
documented exceptions, and replay-stable reprs.
"""

import signal
import threading

import campaign
from campaign import Failure, HostileError, helpers

DOCUMENTED = (TypeError, ValueError, IndexError, OverflowError, BufferError)


def show(value):
    """campaign.show, cut short: inputs run to 70,000 items."""
    return campaign.show(value, limit=200)


# ---- Hostile objects ------------------------------------------------------
#
# Each stands for a value and says what converting it gives: `expect(how)`
# for how in "index", "float", "bool" returns the value or the exception type.


class Hostile:
    def expect(self, how):
        return TypeError


class IndexOf(helpers.IndexOf, Hostile):
    def expect(self, how):
        if how == "bool":
            return True
        return self.value if how == "index" else float_of_int(self.value)


def float_of_int(value):
    try:
        return float(value)
    except OverflowError:
        return OverflowError


class Raises(Hostile):
    """Every conversion raises: HostileError, or KeyboardInterrupt as Ctrl-C would."""

    def __init__(self, error=HostileError):
        self.error = error

    def __index__(self):
        raise self.error("__index__")

    def __float__(self):
        raise self.error("__float__")

    def __bool__(self):
        raise self.error("__bool__")

    def __len__(self):
        raise self.error("__len__")

    def __iter__(self):
        raise self.error("__iter__")

    def __buffer__(self, flags):
        raise self.error("__buffer__")

    def expect(self, how):
        return self.error

    def __repr__(self):
        return f"Raises({self.error.__name__})"


class WrongResult(Hostile):
    """Conversions return the wrong type."""

    def __index__(self):
        return "not an int"

    def __float__(self):
        return "not a float"

    def __bool__(self):
        return 2

    def expect(self, how):
        return TypeError

    def __repr__(self):
        return "WrongResult()"


class FloatOf(Hostile):
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def expect(self, how):
        return self.value if how == "float" else (True if how == "bool" else TypeError)

    def __repr__(self):
        return f"FloatOf({self.value!r})"


class Reentrant(Hostile):
    """Runs a whole nested action (checked like any other) while it is
    converted, in this thread or in another one that it waits for."""

    def __init__(self, fuzzer, value, other_thread=False):
        self.fuzzer, self.value, self.other_thread = fuzzer, value, other_thread

    def _nested(self):
        if not self.other_thread:
            self.fuzzer.nested()
            return
        failures = []

        def run():
            try:
                self.fuzzer.nested()
            except Failure as failure:
                failures.append(failure)

        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
        if failures:
            raise failures[0]

    def __index__(self):
        self._nested()
        return self.value

    def __float__(self):
        self._nested()
        return float(self.value)

    def __bool__(self):
        self._nested()
        return bool(self.value)

    def expect(self, how):
        return bool(self.value) if how == "bool" else IndexOf(self.value).expect(how)

    def __repr__(self):
        return f"Reentrant({self.value!r}{', other_thread=True' if self.other_thread else ''})"


class Items:
    """An iterable of `items` that raises `error` after `at` of them (never
    when `at` is None), or goes on with further items in another thread."""

    def __init__(self, items, at=None, error=HostileError):
        self.items, self.at, self.error = list(items), at, error

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.at:
                raise self.error("midway")
            yield item
        if self.at is not None and self.at >= len(self.items):
            raise self.error("at the end")

    def __repr__(self):
        tail = f", at={self.at}, error={self.error.__name__}" if self.at is not None else ""
        return f"Items({show(self.items)}{tail})"


class BufferOf:
    """An object whose __buffer__ gives a view of `target` (any layout), or
    raises, or changes between calls."""

    def __init__(self, target, then=None, release_raises=False):
        self.target, self.then, self.release_raises, self.calls = target, then, release_raises, 0

    def __buffer__(self, flags):
        self.calls += 1
        target = self.then if self.then is not None and self.calls > 1 else self.target
        if isinstance(target, type) and issubclass(target, BaseException):
            raise target("__buffer__")
        return memoryview(target)

    def __release_buffer__(self, view):
        view.release()
        if self.release_raises:
            raise HostileError("__release_buffer__")

    def __repr__(self):
        return f"BufferOf({show(self.target)}, then={show(self.then)})"


def raise_hostile(*args):
    raise HostileError("callback")


def flush_signals():
    """Runs a pending signal handler now, inside the call that caused it."""
    for _ in range(2):
        pass


class Alarm:
    """Ctrl-C from a timer after `delay` seconds, while the block runs."""

    armed = False

    def __init__(self, delay):
        self.delay = delay

    def __enter__(self):
        Alarm.armed = True
        self.previous = signal.signal(signal.SIGALRM, Alarm.fire)
        signal.setitimer(signal.ITIMER_REAL, self.delay)

    @staticmethod
    def fire(signum, frame):
        if Alarm.armed:
            Alarm.armed = False
            raise KeyboardInterrupt("timer")

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        Alarm.armed = False
        signal.signal(signal.SIGALRM, self.previous)
