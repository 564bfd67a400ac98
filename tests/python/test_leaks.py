"""Leak checks: every operation, repeated many times, must bring the
reference counts of its keys and values back to their baselines, and must
not grow the memory tracemalloc sees or the table's own size."""

import gc
import operator
import sys
import tracemalloc

import pytest

from tavoric import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet

MAPS = [FunnelHashMap, ElasticHashMap]
SETS = [FunnelHashSet, ElasticHashSet]
ROUNDS = 300


class Key:
    def __init__(self, n):
        self.n = n

    def __hash__(self):
        return self.n % 7  # plenty of collisions: equality runs often

    def __eq__(self, other):
        return isinstance(other, Key) and other.n == self.n


def map_operations(cls, key, value, other):
    """(name, callable(map)) pairs; each leaves the map as it found it."""

    def assign_and_delete(m):
        m[key] = value
        m[key] = other  # replace
        del m[key]

    def pop_paths(m):
        m[key] = value
        m.pop(key)
        m.pop(key, other)
        m.setdefault(key, value)
        m.popitem()

    def errors(m):
        for bad in (lambda: m[key], lambda: m.pop(key), lambda: m.__delitem__(key), lambda: m.update([(key, 1, 2)]),
                    lambda: cls([(key, value), (1, 2, 3)])):
            try:
                bad()
            except (KeyError, ValueError):
                pass

    def bulk(m):
        m.update({key: value}, extra=other)
        m.update([(key, other)])
        m.update(cls({key: value}))
        m |= {key: other}
        m.clear()

    def derived(m):
        m[key] = value
        for made in (m.copy(), m | {Key(-1): other}, {Key(-2): value} | m, cls.fromkeys([key], value), cls(m)):
            assert len(made) >= 1
        m.clear()

    def reading(m):
        m[key] = value
        m.get(key)
        m.get(Key(-5), other)
        assert key in m and (key, value) in m.items() and value in m.values()
        list(m), list(m.keys()), list(m.values()), list(m.items())
        repr(m.items()), m.keys() - [key], m.items() | [], m.keys() ^ [other]
        assert m == {key: value} and m == cls({key: value})
        m.clear()

    def abandoned_iterators(m):
        m[key] = value
        iterators = [iter(m), iter(m.values()), iter(m.items())]
        next(iterators[1])
        m[key] = other
        for it in iterators:
            try:
                next(it)
            except RuntimeError:
                pass
        m.clear()

    def views(m):
        m[key] = value
        keys, items = m.keys(), m.items()
        for op in (operator.sub, operator.and_, operator.or_, operator.xor):
            op(keys, iter([key, other]))
            op([other], keys)
            op(items, [(key, value), (other, value)])
            op({(other, value)}, items)
        keys.isdisjoint([other]), items.isdisjoint({(key, value)})
        keys < {key, other}, items >= {(key, value)}, keys.mapping[key]
        for it in (reversed(m), reversed(m.values()), iter(items)):
            it.__length_hint__(), it.__reduce__(), next(it)
        stale = iter(m)
        m[key] = other
        with pytest.raises(RuntimeError):
            stale.__reduce__()
        del m[key]

    return [assign_and_delete, pop_paths, errors, bulk, derived, reading, abandoned_iterators, views]


def set_operations(cls, key, other):
    def element(s):
        s.add(key)
        s.add(key)
        s.discard(key)
        s.add(other)
        s.remove(other)
        try:
            s.remove(key)
        except KeyError:
            pass

    def bulk(s):
        s.update([key], cls([other]), {other})
        s.pop()
        s.clear()

    def derived(s):
        s.add(key)
        for made in (s.copy(), cls(s), iter(s), s.__reduce__()):
            assert made is not None
        it = iter(s)
        s.pop()  # only the iterator's snapshot holds the key now
        del it

    def unhashable_after(x):
        yield x
        yield other
        yield []

    def algebra(s):
        s.update([key, 1])
        t = cls([key, other])
        for make in (lambda: s | t, lambda: s & t, lambda: s - t, lambda: s ^ t, lambda: s | [key],
                     lambda: [key] | s, lambda: [key, other] - s, lambda: (key, other) ^ s, lambda: s & {key},
                     lambda: s.union(t, [other]), lambda: s.symmetric_difference([other]),
                     lambda: s.issubset([key]), lambda: s == {key, 1}, lambda: s.isdisjoint(t)):
            make()
        for fail in (lambda: s.symmetric_difference_update(unhashable_after(key)),
                     lambda: s.intersection_update(unhashable_after(key)),
                     lambda: s.union(unhashable_after(key)), lambda: unhashable_after(key) - s):
            try:
                fail()
            except TypeError:
                pass
        for change in (lambda u: u.__ior__(t), lambda u: u.__iand__([1]), lambda u: u.__isub__(t),
                       lambda u: u.__ixor__([key, key]), lambda u: u.__ixor__(t), lambda u: u.__ixor__(u),
                       lambda u: u.__isub__(u)):
            change(s.copy())
        s.clear()

    return [element, bulk, derived, algebra]


def run_and_measure(container, operation, watched):
    for _ in range(20):  # warm up caches and free lists
        operation(container)
    gc.collect()
    counts = [sys.getrefcount(x) for x in watched]
    size = sys.getsizeof(container)
    tracemalloc.start()
    try:
        # Two batches: allocator pools may grow once in the first, a leak
        # grows in both.
        for _ in range(ROUNDS):
            operation(container)
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            operation(container)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    gc.collect()  # tracebacks of caught errors may hold generator frames
    assert [sys.getrefcount(x) for x in watched] == counts
    assert sys.getsizeof(container) == size
    # A leak of one small object per round would show as ROUNDS * 16 bytes
    # or more; allow a little allocator noise.
    assert grown < ROUNDS * 8, f"{grown} bytes kept after {ROUNDS} rounds"


@pytest.mark.parametrize("cls", MAPS)
def test_map_operations_do_not_leak(cls):
    key, value, other = Key(1), object(), object()
    for operation in map_operations(cls, key, value, other):
        m = cls(capacity=8)
        run_and_measure(m, operation, (key, value, other))


@pytest.mark.parametrize("cls", SETS)
def test_set_operations_do_not_leak(cls):
    key, other = Key(1), Key(8)
    for operation in set_operations(cls, key, other):
        s = cls(capacity=8)
        run_and_measure(s, operation, (key, other))


@pytest.mark.parametrize("cls", MAPS + SETS)
def test_destruction_releases_everything(cls):
    keys = [Key(i) for i in range(500)]
    values = [object() for _ in range(500)]
    base_keys = [sys.getrefcount(k) for k in keys]
    base_values = [sys.getrefcount(v) for v in values]
    for _ in range(5):
        c = cls(zip(keys, values)) if cls in MAPS else cls(keys)
        del c
    assert [sys.getrefcount(k) for k in keys] == base_keys
    assert [sys.getrefcount(v) for v in values] == base_values
    if cls in MAPS:  # a value iterator's snapshot keeps a replaced value alive
        c = cls({1: values[0]})
        it = iter(c.values())
        c[1] = None
        assert sys.getrefcount(values[0]) == base_values[0] + 1
        del it
        assert sys.getrefcount(values[0]) == base_values[0]
