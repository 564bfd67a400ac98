"""Several threads hammering one map, one set and one iterator.

Keys whose __eq__ and __hash__ yield the thread (time.sleep(0)) force thread
switches in the middle of table operations. The only errors allowed are the
borrow conflicts (RuntimeError "Already borrowed" or "Already mutably
borrowed"); afterwards
the container must be consistent and contain exactly what the successful
operations put there."""

import sys
import threading
import time

import pytest

import tavoric
from tavoric import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet

BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")
THREADS = 6
OPERATIONS = 300


class Yielding:
    def __init__(self, n):
        self.n = n

    def __hash__(self):
        time.sleep(0)
        return self.n % 5  # collisions: equality runs inside the table

    def __eq__(self, other):
        time.sleep(0)
        return isinstance(other, Yielding) and other.n == self.n

    def __repr__(self):
        return f"Y{self.n}"


def borrow_error(error):
    return isinstance(error, RuntimeError) and str(error) in BORROW_MESSAGES


def hammer(work):
    """Runs work(thread_index, record) on THREADS threads at once; returns
    the unexpected errors."""
    unexpected = []
    start = threading.Barrier(THREADS)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)

    def run(index):
        start.wait()
        for step in range(OPERATIONS):
            try:
                work(index, step)
            except BaseException as error:  # noqa: BLE001 - sorted below
                if not borrow_error(error):
                    unexpected.append(repr(error))

    try:
        threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    return unexpected


@pytest.mark.parametrize("cls", [FunnelHashMap, ElasticHashMap])
def test_threads_share_one_map(cls):
    m = cls()
    written = {}  # (thread, step) -> key actually stored, for successes only
    lock = threading.Lock()

    def work(index, step):
        key = Yielding(index * 1000 + step % 40)
        if step % 4 == 3:
            removed = m.pop(key, "absent")
            if removed != "absent":
                with lock:
                    written.pop(key.n, None)
        else:
            m[key] = step
            with lock:
                written[key.n] = step
        key in m
        len(m)
        if step % 50 == 0:
            list(m.items())

    unexpected = hammer(work)
    assert unexpected == []
    # Each thread owns its keys, so the successful writes describe the map.
    assert len(list(m)) == len(m) == len(written)
    assert {k.n: v for k, v in m.items()} == written


@pytest.mark.parametrize("cls", [FunnelHashSet, ElasticHashSet])
def test_threads_share_one_set_and_one_iterator(cls):
    s = cls(Yielding(i) for i in range(100))
    shared_iterator = iter(s.copy())
    members = {i for i in range(100)}
    lock = threading.Lock()
    handed_out = []

    def work(index, step):
        n = 1000 + index * 1000 + step % 30
        if step % 3 == 0:
            s.add(Yielding(n))
            with lock:
                members.add(n)
        elif step % 3 == 1:
            s.discard(Yielding(n))
            with lock:
                members.discard(n)
        else:
            try:
                handed_out.append(next(shared_iterator))
            except StopIteration:
                pass

    unexpected = hammer(work)
    assert unexpected == []
    assert len(list(s)) == len(s)
    assert {k.n for k in s} == members
    # The iterator handed every snapshot key out at most once.
    assert len({id(k) for k in handed_out}) == len(handed_out) <= 100


@pytest.mark.parametrize("cls", [FunnelHashSet, ElasticHashSet])
def test_threads_running_set_algebra_on_two_sets(cls):
    # Each operation holds both sets; switches inside it meet the other
    # threads' operations on either set.
    s, t = cls(Yielding(i) for i in range(24)), cls(Yielding(i) for i in range(12, 36))
    operations = [lambda: s.__ior__(t), lambda: s.__isub__(t), lambda: s & t, lambda: s == t, lambda: s.issubset(t),
                  lambda: s.__ixor__([Yielding(1), Yielding(40)]), lambda: t.__iand__(s), lambda: t.__ior__(s),
                  lambda: t ^ s, lambda: t.isdisjoint(s), lambda: t.symmetric_difference_update(s),
                  lambda: t.update(Yielding(i) for i in range(30, 36))]
    assert hammer(lambda index, step: operations[(index * 7 + step) % len(operations)]()) == []
    for x in (s, t):
        listed = list(x)
        assert len(listed) == len(x) == len({k.n for k in listed}) and all(k in x for k in listed)
