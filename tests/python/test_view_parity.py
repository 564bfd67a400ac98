"""Views and iterators against dict's: same answer or same exception type."""

import operator
import pickle
import types

import pytest

from helpers import CHANGED, MAPS, NoLen, SetLike, iterators
from tavoric import ElasticHashMap, FunnelHashMap

CONTENT = {1: "a", 2: "b", 3: "c", "k": (4,)}
pytestmark = pytest.mark.parametrize("cls", MAPS)


def outcome(compute):
    """The result, with its elements' types so that 1 and 1.0 differ, or the exception's type."""
    try:
        result = compute()
    except Exception as error:
        return type(error)
    if isinstance(result, (set, frozenset)):
        return type(result), {(type(x), repr(x)) for x in result}
    return result


# Operands as factories: one-shot iterators must be fresh for each use.
OPERANDS = {
    "keys": [
        lambda: iter([3, 4]), lambda: (x for x in [1.0, 5, 5]), lambda: [2, 9], lambda: (3, 1),
        lambda: {1.0, 7, 8, 9, 10, 11}, lambda: {2, 9}, lambda: frozenset({2}), lambda: {3: 0, 7: 0}.keys(),
        lambda: dict.fromkeys([1.0, 2.0, 3, 5, 6, 7]).keys(), lambda: FunnelHashMap({3: 0, 8: 0}).keys(),
        lambda: ElasticHashMap.fromkeys([1.0, 2, 3, 4, 5, 6]).keys(), lambda: SetLike([2, "k"]), lambda: [[1]], lambda: 5,
    ],
    "items": [
        lambda: iter([(3, "c"), (4, "d")]), lambda: ((x, "a") for x in [1.0, 2]), lambda: [(1, "a"), (1, "z"), 7],
        lambda: {(2, "b"), (2.0, "b"), (9, 9), (8, 8), (7, 7), (6, 6)}, lambda: {3: "c"}.items(),
        lambda: ElasticHashMap({1: "a", 9: "q"}).items(),
        lambda: FunnelHashMap({1.0: "a", 2: "b", 3: "c", 4: 4, 5: 5, 6: 6}).items(),
        lambda: SetLike([("k", (4,))]), lambda: [(1, [])],
    ],
}
BINARY = [operator.sub, operator.and_, operator.or_, operator.xor]


@pytest.mark.parametrize("which, operand", [(w, i) for w in OPERANDS for i in range(len(OPERANDS[w]))])
def test_set_operators_on_either_side_and_isdisjoint_match_dict(cls, which, operand):
    m, d = cls(CONTENT), dict(CONTENT)
    make = OPERANDS[which][operand]
    ours, theirs = getattr(m, which)(), getattr(d, which)()
    for op in BINARY:
        assert outcome(lambda: op(ours, make())) == outcome(lambda: op(theirs, make())), op
        assert outcome(lambda: op(make(), ours)) == outcome(lambda: op(make(), theirs)), op
    assert outcome(lambda: ours.isdisjoint(make())) == outcome(lambda: theirs.isdisjoint(make()))
    assert dict(m) == d  # operands never change the map


ORDER_OPERANDS = [
    lambda: {1, 2}, lambda: frozenset(CONTENT), lambda: set(CONTENT) | {9}, lambda: set(CONTENT.items()) | {(9, 9)},
    lambda: dict.fromkeys(CONTENT).keys(), lambda: dict(CONTENT).items(), lambda: FunnelHashMap({1: "a", 2: "x"}).items(),
    lambda: ElasticHashMap.fromkeys([1, 2, 3, "k", 9]).keys(), lambda: SetLike(list(CONTENT) + [9]),
    lambda: SetLike([(1, "a")]), lambda: {1: "a"}.values(), lambda: [1, 2], lambda: [2, 1], lambda: NoLen(),
]
ORDERS = [operator.lt, operator.le, operator.gt, operator.ge, operator.eq, operator.ne]
PROBES = {"keys": [1, 1.0, 3, "k", [], ()], "values": ["a", (4,), [4], "z", []],
          "items": [(1, "a"), (1.0, "a"), (1, "b"), ("k", (4,)), [1, "a"], (1, "a", 3), 1, ([], 1), (1, [])]}


@pytest.mark.parametrize("which", list(PROBES))
def test_ordering_and_membership_match_dict(cls, which):
    m, d = cls(CONTENT), dict(CONTENT)
    ours, theirs = getattr(m, which)(), getattr(d, which)()
    for make in ORDER_OPERANDS if which != "values" else ():
        for op in ORDERS:
            assert outcome(lambda: op(ours, make())) == outcome(lambda: op(theirs, make())), (op, make())
            assert outcome(lambda: op(make(), ours)) == outcome(lambda: op(make(), theirs)), (op, make())
            assert outcome(lambda: op(ours, ours)) == outcome(lambda: op(theirs, theirs))
    for probe in PROBES[which]:
        assert outcome(lambda: probe in getattr(m, which)()) == outcome(lambda: probe in getattr(d, which)()), probe


def test_operand_changing_the_map_midway_matches_dict(cls):
    # No borrow is held while the operand runs, so it may write to the map;
    # the left set is taken before the right operand is walked, as dict does.
    for op in BINARY:
        results = []
        for target in (cls(CONTENT), dict(CONTENT)):  # the walk writes key 10 before handing out each item
            writer = map(lambda item: target.__setitem__(10, 0) or item, [10, 1])
            results.append((outcome(lambda: op(target.keys(), writer)), sorted(map(repr, target))))
        assert results[0] == results[1], op


def test_mapping_is_a_live_read_only_proxy(cls):
    m = cls(CONTENT)
    for view in (m.keys(), m.values(), m.items()):
        proxy = view.mapping
        m["new"] = view
        assert type(proxy) is types.MappingProxyType and proxy["new"] is view and len(proxy) == len(m)
        del m["new"]
        assert "new" not in proxy
        pytest.raises(TypeError, operator.setitem, proxy, 1, 0)
        pytest.raises(AttributeError, setattr, view, "mapping", {})


@pytest.mark.parametrize("kind", list(iterators({})))
def test_reversed_length_hint_and_change_detection(cls, kind):
    m = cls({i: str(i) for i in range(20)})
    d = {k: m[k] for k in m}  # a dict with the map's iteration order
    ours, theirs = iterators(m)[kind], iterators(d)[kind]
    assert list(ours()) == list(theirs())
    it = ours()
    assert operator.length_hint(it) == len(m)
    assert [operator.length_hint(it) for _ in it] == list(range(len(m) - 1, -1, -1))
    pytest.raises(StopIteration, next, it)
    assert operator.length_hint(it) == 0
    next(it := ours())
    m[99] = 0
    assert operator.length_hint(it) == 0
    pytest.raises(RuntimeError, next, it).match(CHANGED)
    pytest.raises(RuntimeError, pickle.dumps, it)
