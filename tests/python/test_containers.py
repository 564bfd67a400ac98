"""Construction, the table of errors and texts, differences from dict and set, views, growth, memory."""

import re
import sys
import tracemalloc
import weakref

import pytest

import tavoric
from helpers import ALL, CHANGED, MAPS, OTHER, SETS, Key, NoLen, bumped, filled

FUNNEL, ELASTIC = [MAPS[0], SETS[0]], [MAPS[1], SETS[1]]
CAPACITY, EXPONENT = ["while processing 'capacity'"], ["while processing 'reserve_exponent'"]
ELEMENT = "Cannot convert dictionary update sequence element #{} to a sequence"
PAIRS = "^update sequence elements must be 2-tuples$"
Panic = tavoric.PanicException
failing = lambda: (x for x in ("key", None) if x or len(x))  # noqa: E731 - yields "key", then raises TypeError


# (classes, exception, pattern of str(error) or None, notes or None, calls)
ERRORS = [
    (ALL, OverflowError, None, CAPACITY, [lambda c: c(capacity=-1), lambda c: c(capacity=2**32)]),
    (ALL, TypeError, None, CAPACITY, [lambda c: c(capacity=1.5), lambda c: c(capacity="3"), lambda c: c(capacity=None)]),
    (ALL, OverflowError, None, EXPONENT, [lambda c: c.with_options(0, -1), lambda c: c.with_options(0, 2**32)]),
    (ALL, TypeError, None, EXPONENT, [lambda c: c.with_options(0, "3")]),
    (ALL, ValueError, "^reserve exponent must be positive$", None, [lambda c: c.with_options(reserve_exponent=0)]),
    (ALL, TypeError, "unhashable", None, [lambda c: [] in c()]),
    (FUNNEL, ValueError, r"^Funnel reserve must be at most 1/8 \(reserve_exponent >= 3\)$", None,
     [lambda c: c.with_options(reserve_exponent=1), lambda c: c.with_options(reserve_exponent=2)]),
    (FUNNEL, Panic, "^invalid map construction: capacity overflow$", None,
     [lambda c: c.with_options(1, 28), lambda c: c.with_options(1, 2**31)]),
    (FUNNEL, Panic, "^invalid Funnel construction: capacity overflow$", None, [lambda c: c(capacity=2**32 - 1)]),
    (ELASTIC, Panic, "^capacity overflow$", None, [lambda c: c(capacity=2**32 - 1)]),
    (MAPS, KeyError, r"^\(1, 2\)$", None, [lambda c: c()[(1, 2)]]),
    (MAPS, KeyError, "^0$", None, [lambda c: c().__delitem__(0)]),
    (MAPS, KeyError, "^99$", None, [lambda c: c({1: 2}).pop(99, None)]),  # None means "no default"
    (MAPS, KeyError, "^'popitem\\(\\): map is empty'$", None, [lambda c: c().popitem()]),
    (MAPS, ValueError, PAIRS, None, [lambda c: c([(1, 2, 3)]), lambda c: c(["ab", "c"]), lambda c: c().__init__([(1, 2, 3)])]),
    (MAPS, TypeError, "object is not iterable", [ELEMENT.format(1)], [lambda c: c([(1, 2), 1]), lambda c: c().update([(1, 2), 1])]),
    (MAPS, TypeError, "has no len", [ELEMENT.format(0)], [lambda c: c([failing()]), lambda c: c().update([failing()])]),
    (MAPS, TypeError, "keywords must be strings", None, [lambda c: c(**{1: 2}), lambda c: c().update(**{1: 2})]),
    (MAPS, TypeError, "unhashable", None, [lambda c: c([([], 1)]), lambda c: c().__setitem__([], 1), lambda c: c().get([]),
                                           lambda c: c({1: [1]}).items() | []]),
    (MAPS, TypeError, "unsupported operand", None, [lambda c: c() | 5, lambda c: 5 | c()]),
    (MAPS, TypeError, None, None, [lambda c: c(1, 2), lambda c: c({}, other={}), lambda c: c().update({}, other={}),
                                   lambda c: c(42), lambda c: c.fromkeys(5), lambda c: c().__ior__(None),
                                   lambda c: c().values() - [1], lambda c: hash(c().keys()), lambda c: hash(c().items())]),
    (SETS, KeyError, r"^\(1, 2\)$", None, [lambda c: c().remove((1, 2))]),
    (SETS, KeyError, "^'pop from an empty set'$", None, [lambda c: c().pop()]),
    (SETS, TypeError, "not iterable", None, [lambda c: c().update(5)]),
    (SETS, TypeError, None, None, [lambda c: c().add(), lambda c: c().add(1, 2), lambda c: c().add(item=1)]),
]


@pytest.mark.parametrize("cls, error, pattern, notes, call",
                         [(cls, *row[1:4], call) for row in ERRORS for cls in row[0] for call in row[4]])
def test_errors_and_their_texts(cls, error, pattern, notes, call):
    with pytest.raises(error) as caught:
        call(cls)
    assert type(caught.value) is error
    assert pattern is None or re.search(pattern, str(caught.value)), str(caught.value)
    assert getattr(caught.value, "__notes__", None) == notes


@pytest.mark.parametrize("cls", ALL)
def test_type_properties_repr_and_capacity(cls):
    obj = cls()
    for refused in (lambda: hash(obj), lambda: weakref.ref(obj)):
        pytest.raises(TypeError, refused)
    assert not hasattr(obj, "__dict__") and len(cls(None)) == 0 and type(cls.with_options()) is cls
    assert all(cls(capacity=requested).capacity >= requested for requested in (1, 7, 100, 1000))
    full = filled(cls, range(5))
    assert repr(obj) == f"{cls.__name__}(len=0, capacity=0)"
    assert repr(full) == f"{cls.__name__}(len=5, capacity={full.capacity})"
    # Iterators and views are only made by their containers.
    made = [iter(obj)] + ([obj.keys(), obj.values(), obj.items(), iter(obj.items())] if cls in MAPS else [])
    for thing in made:
        pytest.raises(TypeError, lambda: type(thing)())
    # Reserve exponents: Funnel needs 3 or more (None means 3), Elastic takes any.
    for exponent in (3, 4, 10) if cls in FUNNEL else (1, 2, 3, 10, 31, 32, 40):
        assert cls.with_options(50, exponent).capacity >= 50
    if cls in FUNNEL:
        assert cls.with_options(100, None).capacity == cls.with_options(100, 3).capacity


@pytest.mark.parametrize("cls", ALL)
def test_key_equality(cls):
    holding = lambda *keys: filled(cls, keys)  # noqa: E731
    # Rich comparison decides across types; natively compared ints and strs agree with Python equality.
    assert 1 in holding(1.0) and 1 in holding(True) and 1 in holding(type("IntSub", (int,), {})(1))
    big = 2**70
    assert int(str(big)) in holding(big) and -big not in holding(big) and big not in holding(-big)
    assert 2**63 - 1 in holding(2**63 - 1) and -(2**63) in holding(-(2**63))
    # Ints of one digit are hashed without Python's hash: the edges of that path, hash(-1) == hash(-2),
    # and floats, whose hash is Python's, to show that the two agree.
    edges = [0, 1, -1, -2, 2**30 - 1, 2**30, 1 - 2**30, -(2**30)]
    c = holding(*edges)
    assert len(c) == len(edges) and all(int(str(k)) in c and float(k) in c for k in edges)
    assert 2 not in c and -3 not in c and 2**30 + 1 not in c
    assert "abc" in holding("".join(["ab", "c"])) and "".join(["\ud800", "x"]) in holding("\ud800x")
    assert len(holding("é", "e\u0301")) == 2
    # The very object stored is equal without __eq__, as in dict: the same NaN, a key whose __eq__ raises.
    nan, angry = float("nan"), type("Angry", (), {"__eq__": lambda s, o: 1 / 0, "__hash__": lambda s: 5})()
    assert nan in holding(nan) and float("nan") not in holding(nan) and angry in holding(angry)


@pytest.mark.parametrize("cls", ALL)
def test_copies_and_same_class_operations_reuse_stored_hashes_and_growth_keeps_keys(cls):
    source = filled(cls, [Key(i, spread=5) for i in range(40)])  # collisions make equality run too
    other = filled(cls, [Key(i, spread=5) for i in range(20, 60)])
    Key.hashes = Key.compares = 0
    made = [cls(source), source.copy()] + ([cls.fromkeys(source)] if cls in MAPS else [])
    assert Key.compares == 0  # copies place their distinct keys without searching
    made[0].update(source)
    if cls in MAPS:
        made += [cls(source, extra=1), source | other]
    else:  # (test_set_algebra checks the results)
        source.update(made[1])
        a, b = source, other
        [a | b, a & b, a - b, a ^ b, a.union(b, a), a.intersection(b), a.difference(b, b), a.symmetric_difference(b),
         b & a, b - a, a.issubset(b), a.issuperset(b), a.isdisjoint(b), a == b, a != b, a == a.copy()]
        [action(a.copy()) for action in (
            lambda t: t.__ior__(b), lambda t: t.__iand__(b), lambda t: t.__isub__(b), lambda t: t.__ixor__(b),
            lambda t: t.intersection_update(b, a), lambda t: t.difference_update(b),
            lambda t: t.symmetric_difference_update(b), lambda t: t.__ixor__(t), lambda t: t.__isub__(t))]
    assert Key.hashes == 0
    # A copy uses the default reserve; growth keeps every key.
    s = cls.with_options(10, 5)
    s.update(filled(cls, range(10)))
    c = s.copy()
    assert type(c) is cls and c is not s and c == s and c.capacity == cls(capacity=10).capacity
    s = cls()
    capacities = {s.update(filled(cls, [i * 7919])) or s.capacity for i in range(5000)}
    assert len(capacities) > 3 and len(s) == 5000 and sorted(s) == [i * 7919 for i in range(5000)]
    assert not any(i * 7919 + 1 in s for i in range(5000))


class Pairs:  # a mapping by keys() and __getitem__ only
    def __init__(self, data):
        self.data = dict(data)
    keys = lambda self: list(self.data)  # noqa: E731
    __getitem__ = lambda self, key: self.data[key]  # noqa: E731


@pytest.mark.parametrize("cls", MAPS)
def test_construction_sources_match_dict(cls):
    for make, kwargs in (
        (lambda: [(1, 2)], {}), (lambda: {"a": 1}, {"a": 2}), (lambda: ["ab"], {}), (lambda: NoLen(), {}),
        (lambda: [[1, 2], iter((3, 4)), {5: 0, 6: 0}], {}), (lambda: Pairs({1: 2, 3: 4}), {}),
        (lambda: {i: i * i for i in range(50)}, {"x": 1}), (lambda: cls({i: i for i in range(50)}), {}),
    ):
        assert cls(make(), **kwargs) == dict(make(), **kwargs)
        assert cls(make(), capacity=3, **kwargs) == dict(make(), **kwargs)
    assert cls(a=1) == {"a": 1}
    assert cls(other={5: 6}) == {5: 6}  # the positional parameter's name
    assert cls.fromkeys("aba", 0) == dict.fromkeys("aba", 0) and cls.fromkeys(range(3)) == dict.fromkeys(range(3))
    Emptier = type("Emptier", (), {"__hash__": lambda self: pair.clear() or 13})
    pair = [Emptier(), 123]
    assert list(cls([pair]).values()) == [123]
    target = {}
    Grower = type("Grower", (), {"__hash__": lambda self: target.__setitem__(len(target) + 100, 0) or 1})
    target[Grower()] = 1
    target[2] = 2
    pytest.raises(RuntimeError, cls, target).match(CHANGED)


@pytest.mark.parametrize("cls", MAPS)
def test_map_methods_beyond_the_model(cls):
    m = cls({1: "a"})
    m[1.0] = "b"  # replacing keeps the first key
    assert [type(k) for k in m] == [int] and m[1] == "b"
    assert m.get(key=1) == "b" and m.pop(key=9, default=0) == 0 and m.setdefault("new") is None
    # No change, no bump: empty updates and updates from the map itself.
    for same in (m.update, lambda: m.__ior__({}), lambda: m.update(m), lambda: m.__ior__(m),
                 lambda: m.update(m.items()), lambda: m.__init__(m.items()), m.__init__):
        assert not bumped(m, same)
    m.update(m, z=1)
    assert m == {1: "b", "new": None, "z": 1}
    assert bumped(m, lambda: m.update([(1, "b")]))  # the same pair again is still a write
    assert bumped(m, lambda: m.__init__({3: 4}, capacity=100, five=5))
    assert m == {1: "b", "new": None, "z": 1, 3: 4, "five": 5} and m.capacity >= 100
    assert m.__ior__([(9, 9)]) is m and m[9] == 9
    # | builds the left operand's class, or the map's when the left is a dict.
    assert type({1: "a"} | cls({1: "b"})) is cls and ({1: "a"} | cls({1: "b"}))[1] == "b"
    assert (cls({1: "b"}) | {1: "a"})[1] == "a" and cls({1: 1}) | [(2, 2)] == {1: 1, 2: 2}
    assert type(cls() | OTHER[cls]()) is cls and type(OTHER[cls]() | cls()) is OTHER[cls]
    Reflected = type("Reflected", (), {"__ror__": lambda self, other: "reflected"})
    assert cls().__or__(Reflected()) is NotImplemented and cls() | Reflected() == "reflected"
    Mapping = type("Mapping", (Pairs,), {"__len__": lambda self: len(self.data)})
    assert cls({1: 2}) == Mapping({1: 2}) and cls() != 0 and not (cls() == 0)
    assert all(cls({1: 2}) != d for d in ({}, {1: 3}, {2: 2}, {1: 2, 3: 4}))
    assert cls({1: 2}).get(7) is None
    # Views are live, keep their map alive and render like dict's.
    m, p = cls(), "funnel" if cls is MAPS[0] else "elastic"
    keys, values, items = m.keys(), m.values(), m.items()
    assert [type(v).__name__ for v in (keys, values, items)] == [f"{p}_keys", f"{p}_values", f"{p}_items"]
    assert repr(keys) == f"{p}_keys([])"
    m[1] = "a"
    assert (repr(keys), repr(values), repr(items)) == (f"{p}_keys([1])", f"{p}_values(['a'])", f"{p}_items([(1, 'a')])")
    assert hash(values) == hash(values) and values != m.values()
    m.update({i: i for i in range(2, 50)})
    del m
    assert len(keys) == len(values) == len(items) == 49


@pytest.mark.parametrize("cls", SETS)
def test_set_methods_beyond_the_model(cls):
    s = cls([1, 2, 3])
    for unchanged in (lambda: s.add(1.0), lambda: s.discard(99), s.update, lambda: s.update([2, 3]),
                      lambda: s.update(s, s)):
        assert not bumped(s, unchanged)
    assert type([k for k in s if k == 1][0]) is int
    for change in (lambda: s.add(4), lambda: s.discard(4), lambda: s.remove(3), s.pop, s.clear, s.clear):
        it = iter(s)
        change()
        for _ in range(2):  # and stays broken
            pytest.raises(RuntimeError, next, it).match(CHANGED)
    s.add(value=100), s.discard(value=100)
    assert len(s) == 0
    it = iter(s := cls([1]))
    assert list(it) == [1] and list(it) == [] and iter(it) is it and not s.add(2)
    pytest.raises(RuntimeError, next, it)  # an exhausted iterator still sees the change
    s = cls(range(300))
    assert sorted(s.pop() for _ in range(300)) == list(range(300)) and len(s) == 0  # (test_models checks the order)
    s.update(NoLen(), {9: "x"}, {8}, (7,), cls([6]), OTHER[cls]([5]))
    assert s == {(1, 2), (3, 4), 9, 8, 7, 6, 5}
    s = cls([1, 2])
    assert bumped(s, lambda: s.__init__([2, 3], capacity=100))
    assert s == {2, 3} and s.capacity >= 100
    s.__init__(s)  # emptied first, so nothing is left to add
    assert len(s) == 0
    # Sets are looked up as frozensets.
    s = cls([frozenset("ab"), 1])
    for probe in ({"a", "b"}, cls("ab")):
        assert probe in s
        s.remove(probe)
        assert probe not in s
        s.discard(probe)
        assert pytest.raises(KeyError, s.remove, probe).value.args == (probe,)
        s.add(frozenset("ab"))


@pytest.mark.parametrize("cls", ALL)
def test_reported_memory_is_the_table(cls):
    entry = 24 if cls in MAPS else 16  # key wrapper (two words), plus the value for maps
    sizes = [sys.getsizeof(filled(cls, range(n))) - cls.__basicsize__ for n in (0, 10, 1000, 20000)]
    assert all(size >= n * entry for size, n in zip(sizes, (0, 10, 1000, 20000)))
    assert sizes == sorted(sizes) and sizes[0] < sizes[-1]
    c = filled(cls, range(1000))
    before, _ = sys.getsizeof(c), c.clear()  # clear keeps the table
    assert sys.getsizeof(c) == before
    keys = list(range(20000))  # made before tracing: only the table is new
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        c = filled(cls, keys)
        grown = tracemalloc.get_traced_memory()[0] - base
        storage = sys.getsizeof(c) - cls.__basicsize__
        assert grown >= 0.8 * storage  # the block dominates; small arrays are not traced
        del c
        assert tracemalloc.get_traced_memory()[0] - base < 0.05 * storage
    finally:
        tracemalloc.stop()
