"""The map classes against built-in dict: item access, the dict methods,
the stated differences, operators, equality, re-entrancy and reference
counts."""

import copy
import pickle
import sys

import pytest

import tavoric
from tavoric import ElasticHashMap, FunnelHashMap

MAPS = [FunnelHashMap, ElasticHashMap]
CHANGED = "dictionary changed size during iteration"


@pytest.fixture(params=MAPS)
def cls(request):
    return request.param


def as_dict(m):
    return {k: m[k] for k in m}


def test_item_access_matches_dict(cls):
    m, d = cls(), {}
    for i in range(200):
        m[i] = d[i] = str(i)
    for i in range(0, 200, 3):
        del m[i]
        del d[i]
    assert as_dict(m) == d and len(m) == len(d)
    with pytest.raises(KeyError) as caught:
        m[(1, 2)]
    assert caught.value.args == ((1, 2),)
    with pytest.raises(KeyError) as caught:
        del m[0]
    assert caught.value.args == (0,)
    with pytest.raises(TypeError):
        m[[]] = 1
    with pytest.raises(TypeError):
        m.get([])
    assert m.get(0) is None and m.get(0, "d") == "d" and m.get(key=1) == "1"


def test_replacing_keeps_the_first_key_and_invalidates_iterators(cls):
    m = cls()
    m[1] = "a"
    it = iter(m)
    m[1.0] = "b"
    assert [type(k) for k in m] == [int] and m[1] == "b"
    with pytest.raises(RuntimeError, match=f"^{CHANGED}$"):
        next(it)


def test_pop_popitem_setdefault(cls):
    m = cls({i: i * 10 for i in range(10)})
    it = iter(m)
    assert m.pop(99, 0) == 0
    with pytest.raises(KeyError):
        m.pop(99)
    with pytest.raises(KeyError):
        m.pop(99, None)  # None means "no default"
    assert m.setdefault(3) == 30
    next(it)  # none of the above changed the map
    first = next(iter(m))
    assert m.popitem() == (first, first * 10)
    assert m.pop(key=5 if first != 5 else 6) in (50, 60)
    with pytest.raises(RuntimeError):
        next(it)
    assert m.setdefault("new") is None and m["new"] is None
    assert m.setdefault("other", 7) == 7
    empty = cls()
    with pytest.raises(KeyError) as caught:
        empty.popitem()
    assert caught.value.args == ("popitem(): map is empty",)


def test_setdefault_hashes_twice_only_when_inserting(cls):
    calls = 0

    class Counted:
        def __hash__(self):
            nonlocal calls
            calls += 1
            return 1

    key = Counted()
    m = cls()
    m.setdefault(key)
    assert calls == 2
    m.setdefault(key)
    assert calls == 3


def test_update_and_inplace_or(cls):
    m = cls()
    it = iter(m)
    m.update()
    m |= {}
    with pytest.raises(StopIteration):
        next(it)  # nothing changed yet
    m.update([(1, 1)])
    with pytest.raises(RuntimeError):
        next(it)
    it = iter(m)
    m.update([(1, 1)])  # same pair again still counts as an insertion
    with pytest.raises(RuntimeError):
        next(it)
    m.update(other={2: 2}, x=3)
    assert as_dict(m) == {1: 1, 2: 2, "x": 3}
    with pytest.raises(TypeError):
        m |= None
    m2 = m
    m2 |= [(9, 9)]
    assert m2 is m and m[9] == 9
    with pytest.raises(TypeError):
        m.update({}, other={})


def test_self_update_is_a_no_op(cls):
    m = cls({1: 2})
    it = iter(m)
    m.update(m)
    m |= m
    m.update(m.items())
    m.__init__(m.items())
    assert next(it) == 1
    m.update(m, z=1)
    assert as_dict(m) == {1: 2, "z": 1}


def test_or_operator(cls):
    other_cls = ElasticHashMap if cls is FunnelHashMap else FunnelHashMap
    left = {1: "a"} | cls({1: "b"})
    assert type(left) is cls and left[1] == "b"
    right = cls({1: "b"}) | {1: "a"}
    assert type(right) is cls and right[1] == "a"
    assert type(cls() | other_cls()) is cls
    assert type(other_cls() | cls()) is other_cls
    assert as_dict(cls({1: 1}) | [(2, 2)]) == {1: 1, 2: 2}
    with pytest.raises(TypeError, match="unsupported operand"):
        cls() | 5
    with pytest.raises(TypeError):
        5 | cls()
    m = cls({1: 1})
    assert as_dict(m | m) == {1: 1}

    class Reflected:
        def __ror__(self, other):
            return "reflected"

    assert cls().__or__(Reflected()) is NotImplemented and cls() | Reflected() == "reflected"


def test_init_updates_like_dicts(cls):
    m = cls({1: 1})
    it = iter(m)
    m.__init__({3: 4}, capacity=100, five=5)
    assert as_dict(m) == {1: 1, 3: 4, "five": 5} and m.capacity >= 100
    with pytest.raises(RuntimeError):
        next(it)
    m.__init__()
    assert len(m) == 3
    with pytest.raises(ValueError):
        m.__init__([(1, 2, 3)])


def test_equality(cls):
    assert cls({1: 2}) == {1: 2} and {1: 2} == cls({1: 2})
    assert cls({1: 2}) != {1: 3} and cls({1: 2}) != {2: 2} and cls({1: 2}) != {}
    assert not (cls() == 0) and cls() != 0
    assert cls({1: 2}) == cls({1: 2}) and cls({1: 2}) != cls({1: 3})
    with pytest.raises(TypeError):
        cls() < cls()

    class Angry:
        def __eq__(self, other):
            raise ValueError("no")

    assert not (cls({1: Angry()}) == {1: 0})

    class Mapping:
        def keys(self):
            return [1]

        def __len__(self):
            return 1

        def __getitem__(self, key):
            return 2

    assert cls({1: 2}) == Mapping()


def test_fromkeys_copy_and_reserve(cls):
    assert as_dict(cls.fromkeys("aba", 0)) == {"a": 0, "b": 0}
    assert as_dict(cls.fromkeys(range(3))) == dict.fromkeys(range(3))
    with pytest.raises(TypeError):
        cls.fromkeys(5)
    m = cls.with_options(10, 5)
    m.update({i: i for i in range(10)})
    c = m.copy()
    assert type(c) is cls and as_dict(c) == as_dict(m)
    assert c.capacity == cls(capacity=10).capacity


def test_clear_and_views_see_it(cls):
    m = cls({1: 2})
    keys = m.keys()
    it = iter(m)
    m.clear()
    assert len(keys) == 0 and list(keys) == []
    with pytest.raises(RuntimeError):
        next(it)
    empty = cls()
    it = iter(empty)
    empty.clear()
    with pytest.raises(RuntimeError):
        next(it)


def test_pickle_and_copies_keep_contents_and_reserve(cls):
    m = cls.with_options(0, 5)
    m.update({i: [i] for i in range(50)})
    for clone in (pickle.loads(pickle.dumps(m)), copy.copy(m), copy.deepcopy(m)):
        assert type(clone) is cls and as_dict(clone) == as_dict(m)
        assert clone.capacity == cls.with_options(50, 5).capacity
    deep = copy.deepcopy(m)
    assert deep[1] is not m[1]
    for view in (m.keys(), m.values(), m.items()):
        with pytest.raises(TypeError, match="cannot pickle"):
            pickle.dumps(view)


def test_reentrant_values_and_keys(cls):
    m = cls()
    seen = []

    class Meddler:
        def __hash__(self):
            return 5

        def __eq__(self, other):
            for attempt in (lambda: m.__setitem__(1, 1), lambda: m[1], lambda: list(m.keys())):
                try:
                    attempt()
                except BaseException as error:
                    seen.append(type(error).__name__)
            return False

    m[Meddler()] = 1
    m[Meddler()] = 2
    assert seen == ["RuntimeError"] * 3 and len(m) == 2

    class Finaliser:
        def __del__(self):
            try:
                m["from-del"] = 1
            except RuntimeError as error:
                seen.append(str(error))

    seen.clear()
    m["v"] = Finaliser()
    m.clear()  # the finaliser runs while clear holds the map
    assert seen == ["Already borrowed"] and len(m) == 0


def test_reference_counts_return_to_baseline(cls):
    key, value, other = object(), object(), object()
    base = [sys.getrefcount(x) for x in (key, value, other)]

    def counts():
        return [sys.getrefcount(x) for x in (key, value, other)]

    m = cls()
    for step in (
        lambda: m.__setitem__(key, value),
        lambda: m.__setitem__(key, other),  # replace
        lambda: m.__delitem__(key),
        lambda: m.update({key: value}),
        lambda: m.pop(key),
        lambda: m.setdefault(key, value),
        lambda: m.popitem(),
        lambda: m.update([(key, other)]),
        lambda: m.clear(),
    ):
        step()
    assert counts() == base
    m[key] = value
    snapshot = [iter(m), iter(m.values()), iter(m.items()), m.copy(), m | {}, cls.fromkeys([key], value)]
    del snapshot
    del m
    assert counts() == base
