"""Pickling and copying: sets (and maps) round-trip contents, class and
reserve exponent through every pickle protocol, copy.copy and copy.deepcopy;
iterators pickle as an iterator over what they have left, as set's do."""

import copy
import pickle
import sys

import pytest

import tavoric
from tavoric import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet

SETS = [FunnelHashSet, ElasticHashSet]
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


@pytest.fixture(params=SETS)
def cls(request):
    return request.param


class Point:
    """A hashable key with value equality, so deep copies are equal but distinct."""

    def __init__(self, x):
        self.x = x

    def __eq__(self, other):
        return isinstance(other, Point) and other.x == self.x

    def __hash__(self):
        return hash(("Point", self.x))


def reduce_args(s):
    factory, args, *_ = s.__reduce__()
    return factory, args


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_sets_round_trip_contents_class_and_reserve_exponent(cls, protocol):
    keys = [0, -1, 2**70, "a", "\u00e9", b"b", (1, "x"), None, 1.5, frozenset([3]), Point(4)]
    s = cls.with_options(0, 5)
    s.update(keys)
    s.update(range(100, 400))
    clone = pickle.loads(pickle.dumps(s, protocol))
    assert type(clone) is cls and clone is not s
    assert clone == s and len(clone) == len(s)
    assert reduce_args(clone) == (cls.with_options, (len(s), 5))
    # Sized up front for the keys, with the same exponent.
    assert clone.capacity == cls.with_options(len(s), 5).capacity
    clone.add("new")  # a working, independent set
    assert "new" not in s


def test_empty_and_default_sets(cls):
    for s in (cls(), cls([1, 2]), cls.with_options(1000)):
        for clone in (pickle.loads(pickle.dumps(s)), copy.copy(s), copy.deepcopy(s)):
            assert type(clone) is cls and clone == s
            assert reduce_args(clone)[1] == (len(s), 3)


def test_copies_share_or_copy_keys(cls):
    p = Point(1)
    s = cls.with_options(reserve_exponent=4)
    s.update([p, "k"])
    shallow = copy.copy(s)
    deep = copy.deepcopy(s)
    assert shallow == s == deep
    assert any(k is p for k in shallow)
    assert not any(k is p for k in deep) and Point(1) in deep
    assert reduce_args(shallow)[1] == reduce_args(deep)[1] == (2, 4)
    shallow.discard("k")
    assert "k" in s and "k" in deep

    # A set inside a structure referring to it again is rebuilt once.
    holder = [s, s]
    twin = copy.deepcopy(holder)
    assert twin[0] is twin[1] and twin[0] == s and twin[0] is not s


def test_setstate_adds_any_iterable_and_counts_once(cls):
    s = cls([1])
    it = iter(s)
    s.__setstate__([1])
    assert next(it) == 1  # nothing new: no bump
    s.__setstate__(iter([2, 3]))
    assert set(s) == {1, 2, 3}
    with pytest.raises(RuntimeError):
        next(it)
    with pytest.raises(TypeError):
        s.__setstate__(5)
    with pytest.raises(TypeError):
        s.__setstate__([[]])


def test_unpickled_keys_are_hashed_afresh(cls):
    # str hashes differ between processes; a pickle carries keys, not hashes.
    s = cls(["x", "y"])
    payload = pickle.dumps(s)
    state = s.__reduce__()[2]
    assert sorted(state) == ["x", "y"]
    assert pickle.loads(payload) == {"x", "y"}


def test_reduce_releases_its_references(cls):
    key = object()
    base = sys.getrefcount(key)
    s = cls([key])
    for _ in range(3):
        reduced = s.__reduce__()
        del reduced
        c = copy.copy(s)
        del c
    assert sys.getrefcount(key) == base + 1
    del s
    assert sys.getrefcount(key) == base


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("map_cls", [FunnelHashMap, ElasticHashMap])
def test_maps_round_trip_through_every_protocol(map_cls, protocol):
    m = map_cls.with_options(0, 4)
    m.update({1: "a", "b": [2], (3,): None})
    clone = pickle.loads(pickle.dumps(m, protocol))
    assert type(clone) is map_cls and clone == m
    assert clone.__reduce__()[1] == (3, 4)
    deep = copy.deepcopy(m)
    assert deep == m and deep["b"] is not m["b"]


def test_iterators_pickle_and_copy_as_what_is_left(cls):
    s = cls([1, 2, 3])
    it = iter(s)
    first = next(it)
    rest = sorted({1, 2, 3} - {first})
    for clone in (pickle.loads(pickle.dumps(it)), pickle.loads(pickle.dumps(it, 0)), copy.copy(it), copy.deepcopy(it)):
        assert sorted(clone) == rest
    [again_s, again_it] = pickle.loads(pickle.dumps([s, it]))
    assert again_s == s and sorted(again_it) == rest
    assert sorted(it) == rest  # unharmed


def test_panic_exception_pickles_like_any_exception():
    error = tavoric.PanicException("capacity overflow")
    again = pickle.loads(pickle.dumps(error))
    assert type(again) is tavoric.PanicException and again.args == ("capacity overflow",)
