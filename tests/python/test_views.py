"""Live keys, values and items views and the map iterators."""

import pytest

import tavoric
from tavoric import ElasticHashMap, FunnelHashMap

MAPS = [FunnelHashMap, ElasticHashMap]


@pytest.fixture(params=MAPS)
def cls(request):
    return request.param


def prefix(cls):
    return "funnel" if cls is FunnelHashMap else "elastic"


def test_view_classes_and_docs(cls):
    m = cls()
    p = prefix(cls)
    assert [type(v).__name__ for v in (m.keys(), m.values(), m.items())] == [f"{p}_keys", f"{p}_values", f"{p}_items"]
    assert type(m.keys()).__doc__.startswith("Live view over keys (mirrors `dict.keys()`). Holds `Py<map>` so\n")
    assert type(m.values()).__doc__ == "Live view over values (mirrors `dict.values()`)."
    assert type(m.items()).__doc__.endswith("\nSet ops build fresh `(k, v)` `PyTuple`s.")
    for view in (m.keys(), m.values(), m.items(), iter(m), iter(m.values()), iter(m.items())):
        with pytest.raises(TypeError):
            type(view)()
    with pytest.raises(TypeError):
        hash(m.keys())
    with pytest.raises(TypeError):
        hash(m.items())
    hash(m.values())
    assert m.values() != m.values()


def test_views_are_live_and_render(cls):
    m = cls()
    keys, values, items = m.keys(), m.values(), m.items()
    p = prefix(cls)
    assert repr(keys) == f"{p}_keys([])"
    m[1] = "a"
    assert (repr(keys), repr(values), repr(items)) == (f"{p}_keys([1])", f"{p}_values(['a'])", f"{p}_items([(1, 'a')])")
    m.update({i: i for i in range(2, 50)})
    assert len(keys) == len(values) == len(items) == 49
    assert list(keys) == list(m) and list(items) == [(k, m[k]) for k in m]
    assert list(values) == [m[k] for k in m]
    del m
    assert len(keys) == 49  # the view keeps its map alive


def test_membership(cls):
    m = cls({1: "a", 2: [1]})
    assert 1 in m.keys() and 3 not in m.keys()
    with pytest.raises(TypeError):
        [] in m.keys()
    assert "a" in m.values() and [1] in m.values() and "z" not in m.values()
    assert (1, "a") in m.items() and (1, "b") not in m.items()
    assert [1, "a"] not in m.items() and (1, "a", 3) not in m.items() and 1 not in m.items()
    with pytest.raises(TypeError):
        ([], 1) in m.items()

    class Angry:
        def __eq__(self, other):
            raise ValueError

    angry = cls({1: Angry()})
    assert (1, 0) not in angry.items() and 0 not in angry.values()


def test_equality(cls):
    m = cls({1: "a", 2: "b"})
    assert m.keys() == {1, 2} and m.keys() == [2, 1] and m.keys() == {1: 0, 2: 0}.keys()
    assert m.keys() != {1} and m.keys() != {1, 3}
    assert m.items() == {(1, "a"), (2, "b")} and m.items() != {(1, "a"), (2, "c")}

    class NoLen:
        def __len__(self):
            raise RuntimeError

        def __contains__(self, item):
            return True

    assert not (m.keys() == NoLen())
    assert m.keys() > {1} and not m.keys() < {1}  # ordering is inclusion, as for dict's views


def test_set_operators_return_builtin_sets(cls):
    m = cls({1: "a", 2: "b", 3: "c"})
    k = m.keys()
    assert k - [1] == {2, 3} and type(k - [1]) is set
    assert k & {2, 5} == {2}
    assert k | (x for x in [9]) == {1, 2, 3, 9}
    assert k ^ [3, 4] == {1, 2, 4}
    assert [1] - k == set() and type([1] - k) is set
    items = m.items()
    assert items - {(1, "a")} == {(2, "b"), (3, "c")}
    assert items & [(1, "a"), (1, "b")] == {(1, "a")}
    assert items ^ items == set()
    with pytest.raises(TypeError):
        cls({1: [1]}).items() | []  # the tuple holding a list is unhashable
    with pytest.raises(TypeError):
        m.values() - [1]


def test_iterators_detect_every_change(cls):
    m = cls({1: 1})
    for make in (lambda: iter(m), lambda: iter(m.keys()), lambda: iter(m.values()), lambda: iter(m.items())):
        it = make()
        m[2] = 2
        with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
            next(it)
        del m[2]
    empty = cls()
    it = iter(empty.items())
    empty.clear()
    with pytest.raises(RuntimeError):
        next(it)


def test_value_iterator_keeps_replaced_values_alive(cls):
    import sys

    m = cls()
    value = object()
    base = sys.getrefcount(value)
    m[1] = value
    it = iter(m.values())
    m[1] = None  # replace: only the snapshot still holds the old value
    assert sys.getrefcount(value) == base + 1
    del it
    assert sys.getrefcount(value) == base


def test_view_operation_during_mutation_is_a_borrow_error(cls):
    m = cls()
    view = m.keys()
    seen = []

    class Peek:
        def __hash__(self):
            return 3

        def __eq__(self, other):
            try:
                len(view)
            except BaseException as error:
                seen.append(type(error))
            return False

    m[Peek()] = 1
    m[Peek()] = 2
    assert seen == [RuntimeError]
