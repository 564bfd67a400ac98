"""The set classes against built-in set: element methods, update, copy,
iteration with change detection, borrow conflicts and reference counts."""

import sys

import pytest

import tavoric
from tavoric import ElasticHashSet, FunnelHashSet

SETS = [FunnelHashSet, ElasticHashSet]
CHANGED = "dictionary changed size during iteration"


@pytest.fixture(params=SETS)
def cls(request):
    return request.param


def test_element_methods_and_which_ones_invalidate_iterators(cls):
    s = cls([1, 2, 3])
    it = iter(s)
    s.add(1.0)  # equal key: the stored 1 stays, nothing changes
    s.discard(99)
    s.update()
    s.update([2, 3])
    assert next(it) in (1, 2, 3)
    assert type([k for k in s if k == 1][0]) is int

    for change in (lambda: s.add(4), lambda: s.discard(4), lambda: s.remove(3), s.pop, s.clear, s.clear):
        it = iter(s)
        change()
        with pytest.raises(RuntimeError, match=f"^{CHANGED}$"):
            next(it)
        with pytest.raises(RuntimeError, match=f"^{CHANGED}$"):
            next(it)  # stays broken


def test_exhausted_iterator_over_unchanged_set_keeps_stopping(cls):
    s = cls([1])
    it = iter(s)
    assert list(it) == [1]
    assert list(it) == []
    with pytest.raises(StopIteration):
        next(it)
    s.add(2)
    with pytest.raises(RuntimeError):
        next(it)
    assert iter(it) is it


def test_remove_pop_errors(cls):
    s = cls()
    with pytest.raises(KeyError) as caught:
        s.remove((1, 2))
    assert caught.value.args == ((1, 2),)
    with pytest.raises(KeyError) as caught:
        s.pop()
    assert caught.value.args == ("pop from an empty set",)
    s.update(range(20))
    first = next(iter(s))
    assert s.pop() == first and first not in s and len(s) == 19
    s.add(value=100)
    s.discard(value=100)
    assert 100 not in s
    with pytest.raises(TypeError):
        s.add()
    with pytest.raises(TypeError):
        s.add(1, 2)
    with pytest.raises(TypeError):
        s.add(item=1)


def test_update_keeps_what_came_before_an_error(cls):
    s = cls([0])
    it = iter(s)

    def gen():
        yield 1
        yield 2
        yield []

    with pytest.raises(TypeError):
        s.update([10, 11], gen())
    assert all(k in s for k in (0, 1, 2, 10, 11)) and len(s) == 5
    assert next(it) == 0  # a failed update does not bump the counter


def test_update_sources(cls):
    class NoLen:
        def __iter__(self):
            return iter("abc")

        def __len__(self):
            raise RuntimeError("nope")

    s = cls()
    s.update(NoLen(), {1: "x"}, {2}, (3,), cls([4]), (FunnelHashSet if cls is ElasticHashSet else ElasticHashSet)([5]))
    assert sorted(map(str, s)) == ["1", "2", "3", "4", "5", "a", "b", "c"]
    with pytest.raises(TypeError):
        s.update(5)


def test_init_empties_then_fills_like_sets(cls):
    s = cls([1, 2])
    it = iter(s)
    s.__init__([2, 3], capacity=100)
    assert set(s) == {2, 3} and s.capacity >= 100
    with pytest.raises(RuntimeError):
        next(it)
    s.__init__(s)  # emptied first, so nothing is left to add
    assert len(s) == 0


def test_sets_are_looked_up_as_frozensets(cls):
    s = cls([frozenset("ab"), 1])
    for probe in ({"a", "b"}, cls("ab")):
        assert probe in s
        s.remove(probe)
        assert probe not in s
        s.discard(probe)
        with pytest.raises(KeyError) as caught:
            s.remove(probe)
        assert caught.value.args == (probe,)
        s.add(frozenset("ab"))
    with pytest.raises(TypeError):
        [] in s


def test_self_update_is_a_no_op(cls):
    s = cls(range(10))
    it = iter(s)
    s.update(s)
    s.update(s, s)
    assert len(s) == 10
    assert next(it) is not None  # counter not bumped


def test_copy_uses_default_reserve_and_fresh_object(cls):
    s = cls.with_options(10, 5)
    s.update(range(10))
    c = s.copy()
    assert type(c) is cls and c is not s
    assert sorted(c) == list(range(10))
    assert c.capacity == cls(capacity=10).capacity
    c.add(11)
    assert 11 not in s


def test_same_class_operations_reuse_cached_hashes(cls):
    calls = 0

    class Counted:
        def __init__(self, n):
            self.n = n

        def __hash__(self):
            nonlocal calls
            calls += 1
            return self.n

        def __eq__(self, other):
            return isinstance(other, Counted) and other.n == self.n

    s = cls(Counted(i) for i in range(50))
    assert calls == 50
    t = s.copy()
    u = cls(s)
    u.update(t)
    s.update(u)
    assert calls == 50 and len(u) == 50


def test_reentrant_calls_meet_borrow_errors(cls):
    s = cls()
    seen = []

    class Meddler:
        def __hash__(self):
            return 1

        def __eq__(self, other):
            for attempt in (lambda: s.add(5), lambda: len(s), lambda: 5 in s, s.copy, lambda: iter(s)):
                try:
                    attempt()
                except BaseException as error:  # PanicException is no Exception
                    seen.append((type(error).__name__, str(error).split(":")[0]))
            return False

    s.add(Meddler())
    s.add(Meddler())  # equal hash: the table compares, __eq__ re-enters
    assert ("RuntimeError", "Already borrowed") in seen
    assert ("RuntimeError", "Already mutably borrowed") in seen
    assert {name for name, _ in seen} == {"RuntimeError"}
    assert len(s) == 2


def test_iterator_advances_while_parent_is_exclusively_borrowed(cls):
    s = cls([1])
    it = iter(s)
    outcome = []

    class Peeker:
        def __hash__(self):
            return hash(1)

        def __eq__(self, other):
            outcome.append(next(it))
            return False

    s.add(Peeker())
    assert outcome == [1]
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        next(it)


def test_reference_counts_return_to_baseline(cls):
    key = object()
    base = sys.getrefcount(key)
    s = cls()
    s.add(key)
    s.add(key)
    assert sys.getrefcount(key) == base + 1
    it = iter(s)
    assert sys.getrefcount(key) == base + 2
    s.discard(key)
    assert sys.getrefcount(key) == base + 1  # only the iterator's snapshot holds it
    del it
    assert sys.getrefcount(key) == base
    for fill in (lambda: s.add(key), lambda: s.update([key]), lambda: s.update(cls([key]))):
        fill()
        c = s.copy()
        popped = s.pop()
        assert popped is key
        del popped
        c.clear()
        del c
        assert sys.getrefcount(key) == base
    s.add(key)
    del s
    assert sys.getrefcount(key) == base


def test_pop_drains_in_iteration_order(cls):
    s = cls(range(300))
    order = list(s)
    popped = [s.pop() for _ in range(300)]
    assert popped[0] == order[0]
    assert sorted(popped) == list(range(300)) and len(s) == 0


def test_growth_keeps_every_key(cls):
    s = cls()
    capacities = set()
    for i in range(5000):
        s.add(i * 7919)
        capacities.add(s.capacity)
    assert len(capacities) > 3
    assert len(s) == 5000 and all(i * 7919 in s for i in range(5000))
    assert sorted(s) == sorted(i * 7919 for i in range(5000))
