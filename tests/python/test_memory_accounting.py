"""Memory the containers report: sys.getsizeof counts the table storage, and
tracemalloc sees the table blocks while they live."""

import sys
import tracemalloc

import pytest

import tavoric

MAPS = [tavoric.FunnelHashMap, tavoric.ElasticHashMap]
SETS = [tavoric.FunnelHashSet, tavoric.ElasticHashSet]
# Bytes of one stored entry: key wrapper (two words) plus the value for maps.
ENTRY = {cls: 24 for cls in MAPS} | {cls: 16 for cls in SETS}


def filled(cls, keys):
    return cls.fromkeys(keys) if cls in MAPS else cls(keys)


@pytest.mark.parametrize("cls", MAPS + SETS, ids=lambda c: c.__name__)
def test_getsizeof_counts_the_table(cls):
    empty = sys.getsizeof(cls())
    assert empty >= cls.__basicsize__
    sizes = []
    for n in (10, 1000, 20000):
        c = filled(cls, range(n))
        size = sys.getsizeof(c)
        # Every entry lives in the table, so the storage is at least the entries.
        assert size - cls.__basicsize__ >= n * ENTRY[cls]
        sizes.append(size)
    assert sizes == sorted(sizes) and sizes[0] < sizes[-1]
    # Clearing keeps the table (and its size); emptying by a new object frees it.
    c = filled(cls, range(1000))
    before = sys.getsizeof(c)
    c.clear()
    assert sys.getsizeof(c) == before


@pytest.mark.parametrize("cls", MAPS + SETS, ids=lambda c: c.__name__)
def test_tracemalloc_sees_table_blocks(cls):
    keys = list(range(20000))  # made before tracing: only the table is new
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        c = filled(cls, keys)
        grown = tracemalloc.get_traced_memory()[0] - base
        storage = sys.getsizeof(c) - cls.__basicsize__
        # The block dominates at this size; level arrays and the schedule are
        # the small rest tracemalloc does not see.
        assert grown >= 0.8 * storage
        del c
        assert tracemalloc.get_traced_memory()[0] - base < 0.05 * storage
    finally:
        tracemalloc.stop()
