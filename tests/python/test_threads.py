"""Threads sharing containers, with keys that yield inside __eq__ and __hash__: only borrow conflicts escape."""

import itertools
import sys
import threading
import time

import pytest

from helpers import MAPS, SETS, Key, consistent

THREADS = 6
OPERATIONS = 300


class Yielding(Key):
    __hash__ = lambda self: time.sleep(0) or Key.__hash__(self)  # noqa: E731
    __eq__ = lambda self, other: time.sleep(0) or Key.__eq__(self, other)  # noqa: E731


def hammer(work):
    """Runs work(thread_index, step) on THREADS threads at once; returns the errors other than borrow conflicts."""
    unexpected, start, old_interval = [], threading.Barrier(THREADS), sys.getswitchinterval()

    def run(index):
        start.wait()
        for step in range(OPERATIONS):
            try:
                work(index, step)
            except BaseException as error:  # noqa: BLE001 - sorted here
                if not (type(error) is RuntimeError and str(error) in ("Already borrowed", "Already mutably borrowed")):
                    unexpected.append(repr(error))

    sys.setswitchinterval(1e-6)
    threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
    try:
        [thread.start() for thread in threads], [thread.join() for thread in threads]
    finally:
        sys.setswitchinterval(old_interval)
    return unexpected


@pytest.mark.parametrize("cls", MAPS)
def test_threads_share_one_map(cls):
    m = cls()
    written = {}  # key number -> value, for successful writes only (dict operations are atomic)

    def work(index, step):
        key = Yielding(index * 1000 + step % 40)
        if step % 4 == 3:
            m.pop(key, "absent") != "absent" and written.pop(key.n)
        else:
            m[key] = written[key.n] = step
        key in m, len(m), step % 50 or list(m.items())

    assert hammer(work) == []
    # Each thread owns its keys, so the successful writes describe the map.
    assert len(list(m)) == len(m) == len(written) and {k.n: v for k, v in m.items()} == written


@pytest.mark.parametrize("cls", SETS)
def test_threads_share_one_set_and_one_iterator(cls):
    s = cls(Yielding(i) for i in range(100))
    shared_iterator = iter(s.copy())
    members, handed_out = set(range(100)), []  # set and list operations are atomic

    def work(index, step):
        n = 1000 + index * 1000 + step % 30
        if step % 3 == 0:
            s.add(Yielding(n)), members.add(n)
        elif step % 3 == 1:
            s.discard(Yielding(n)), members.discard(n)
        else:
            handed_out.extend(itertools.islice(shared_iterator, 1))

    assert hammer(work) == []
    assert len(list(s)) == len(s) and {k.n for k in s} == members
    # The iterator handed every snapshot key out at most once.
    assert len({id(k) for k in handed_out}) == len(handed_out) <= 100


@pytest.mark.parametrize("cls", SETS)
def test_threads_running_set_algebra_on_two_sets(cls):
    # Each operation holds both sets while other threads use either.
    s, t = cls(Yielding(i) for i in range(24)), cls(Yielding(i) for i in range(12, 36))
    operations = [lambda: s.__ior__(t), lambda: s.__isub__(t), lambda: s & t, lambda: s == t, lambda: s.issubset(t),
                  lambda: s.__ixor__([Yielding(1), Yielding(40)]), lambda: t.__iand__(s), lambda: t.__ior__(s),
                  lambda: t ^ s, lambda: t.isdisjoint(s), lambda: t.symmetric_difference_update(s),
                  lambda: t.update(Yielding(i) for i in range(30, 36))]
    assert hammer(lambda index, step: operations[(index * 7 + step) % len(operations)]()) == []
    assert all(len({k.n for k in consistent(x)}) == len(x) for x in (s, t))
