"""Repeated operations keep reference counts, traced memory and table size."""

import gc
import operator
import sys
import tracemalloc

import pytest

from helpers import ALL, MAPS, Key

ROUNDS = 300


def unhashable_after(*xs):
    yield from xs
    yield []


def map_operations(cls, key, value, other):
    """Named lists of steps, each leaving the map as it found it; steps may raise the errors they are there for."""
    ops = (operator.sub, operator.and_, operator.or_, operator.xor)
    held = {}
    return {
        "write": [lambda m: m.__setitem__(key, value), lambda m: m.__setitem__(key, other), lambda m: m.__delitem__(key),
                  lambda m: m.__setitem__(key, value), lambda m: m.pop(key), lambda m: m.pop(key, other),
                  lambda m: m.setdefault(key, value), lambda m: m.popitem()],
        "errors": [lambda m: m[key], lambda m: m.pop(key), lambda m: m.__delitem__(key),
                   lambda m: m.update([(key, 1, 2)]), lambda m: cls([(key, value), (1, 2, 3)])],
        "bulk": [lambda m: m.update({key: value}, extra=other), lambda m: m.update([(key, other)]),
                 lambda m: m.update(cls({key: value})), lambda m: m.__ior__({key: other}), lambda m: m.clear()],
        "derived": [lambda m: m.__setitem__(key, value), lambda m: m.copy(), lambda m: m | {Key(-1): other},
                    lambda m: {Key(-2): value} | m, lambda m: cls.fromkeys([key], value), lambda m: cls(m),
                    lambda m: m.clear()],
        "reading": [lambda m: m.__setitem__(key, value), lambda m: m.get(key), lambda m: m.get(Key(-5), other),
                    lambda m: (key in m, (key, value) in m.items(), value in m.values()),
                    lambda m: (list(m), list(m.keys()), list(m.values()), list(m.items()), repr(m.items())),
                    lambda m: (m == {key: value}, m == cls({key: value})), lambda m: m.clear()],
        "iterators": [lambda m: m.__setitem__(key, value),
                      lambda m: held.update(its=[iter(m), iter(m.values()), iter(m.items()), reversed(m)]),
                      lambda m: next(held["its"][1]), lambda m: m.__setitem__(key, other),
                      *[lambda m, i=i: next(held["its"][i]) for i in range(4)], lambda m: held["its"][2].__reduce__(),
                      lambda m: held.clear(), lambda m: m.clear()],
        "views": [lambda m: m.__setitem__(key, value),
                  *[lambda m, op=op: op(m.keys(), iter([key, other])) for op in ops],
                  *[lambda m, op=op: op([other], m.keys()) for op in ops],
                  *[lambda m, op=op: op(m.items(), [(key, value), (other, value)]) for op in ops],
                  *[lambda m, op=op: op({(other, value)}, m.items()) for op in ops],
                  lambda m: (m.keys().isdisjoint([other]), m.items().isdisjoint({(key, value)})),
                  lambda m: (m.keys() < {key, other}, m.items() >= {(key, value)}, m.keys().mapping[key]),
                  *[lambda m, make=make: [(it.__length_hint__(), it.__reduce__(), next(it)) for it in [make(m)]]
                    for make in (reversed, lambda m: reversed(m.values()), lambda m: iter(m.items()))],
                  lambda m: m.__delitem__(key)],
    }


def set_operations(cls, key, other):
    t, held = cls([key, other]), {}
    return {
        "element": [lambda s: s.add(key), lambda s: s.add(key), lambda s: s.discard(key), lambda s: s.add(other),
                    lambda s: s.remove(other), lambda s: s.remove(key)],
        "bulk": [lambda s: s.update([key], cls([other]), {other}), lambda s: s.pop(), lambda s: s.clear()],
        "derived": [lambda s: s.add(key), lambda s: (s.copy(), cls(s), iter(s), s.__reduce__()),
                    lambda s: held.update(it=iter(s)), lambda s: s.pop(), lambda s: held.clear()],
        "algebra": [lambda s: s.update([key, 1]),
                    *[lambda s, make=make: make(s) for make in (
                        lambda s: s | t, lambda s: s & t, lambda s: s - t, lambda s: s ^ t, lambda s: s | [key],
                        lambda s: [key] | s, lambda s: [key, other] - s, lambda s: (key, other) ^ s,
                        lambda s: s & {key}, lambda s: s.union(t, [other]), lambda s: s.symmetric_difference([other]),
                        lambda s: s.issubset([key]), lambda s: s == {key, 1}, lambda s: s.isdisjoint(t),
                        lambda s: s.symmetric_difference_update(unhashable_after(key, other)),
                        lambda s: s.intersection_update(unhashable_after(key, other)),
                        lambda s: s.union(unhashable_after(key, other)), lambda s: unhashable_after(key, other) - s)],
                    *[lambda s, change=change: change(s.copy()) for change in (
                        lambda u: u.__ior__(t), lambda u: u.__iand__([1]), lambda u: u.__isub__(t),
                        lambda u: u.__ixor__([key, key]), lambda u: u.__ixor__(t), lambda u: u.__ixor__(u),
                        lambda u: u.__isub__(u))],
                    lambda s: s.clear()],
    }


def run_and_measure(container, steps, watched):
    def operation(c):
        for step in steps:
            try:
                step(c)
            except (LookupError, ValueError, TypeError, RuntimeError):
                pass

    for _ in range(20):  # warm up caches and free lists
        operation(container)
    gc.collect()
    counts, size = [sys.getrefcount(x) for x in watched], sys.getsizeof(container)
    tracemalloc.start()
    try:
        for _ in range(2):  # allocator pools may grow once in the first batch, a leak grows in both
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(ROUNDS):
                operation(container)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    gc.collect()  # tracebacks of caught errors may hold generator frames
    assert [sys.getrefcount(x) for x in watched] == counts and sys.getsizeof(container) == size
    # A leak of one small object per round shows as ROUNDS * 16 bytes or more.
    assert grown < ROUNDS * 8, f"{grown} bytes kept after {ROUNDS} rounds"


@pytest.mark.parametrize("cls", ALL)
def test_operations_do_not_leak(cls):
    key, value, other = Key(1), object(), Key(8)
    groups = map_operations(cls, key, value, other) if cls in MAPS else set_operations(cls, key, other)
    for name, steps in groups.items():
        run_and_measure(cls(capacity=8), steps, (key, value, other))


@pytest.mark.parametrize("cls", ALL)
def test_destruction_releases_everything(cls):
    keys, values = [Key(i) for i in range(500)], [object() for _ in range(500)]
    counts = lambda: [sys.getrefcount(x) for x in keys + values]  # noqa: E731
    base = counts()
    assert all(len(cls(zip(keys, values)) if cls in MAPS else cls(keys)) == 500 for _ in range(5))
    assert counts() == base
    if cls in MAPS:  # a value iterator's snapshot keeps a replaced value alive
        c = cls({1: values[0]})
        it, c[1] = iter(c.values()), None
        assert counts()[500] == base[500] + 1
        del it
        assert counts() == base
