"""Pickling and copying of containers, iterators and PanicException; views refuse, as dict's do."""

import copy
import pickle

import pytest

import tavoric
from helpers import ALL, MAPS, SETS, Key, iterators

KEYS = [0, -1, 2**70, "a", "\u00e9", b"b", (1, "x"), None, 1.5, frozenset([3]), Key(4)] + list(range(100, 400))
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_round_trips_keep_contents_class_and_reserve_exponent(cls, protocol):
    for exponent, keys in ((5, KEYS), (3, []), (4, [Key(1), "k"])):
        c = cls.with_options(0, exponent)
        c.update(dict.fromkeys(keys, [1]) if cls in MAPS else keys)
        for clone in (pickle.loads(pickle.dumps(c, protocol)), copy.copy(c), copy.deepcopy(c)):
            assert type(clone) is cls and clone is not c and clone == c and len(clone) == len(c)
            # Rebuilt by with_options, sized up front for the keys, with the same exponent.
            assert clone.__reduce__()[:2] == (cls.with_options, (len(c), exponent))
            assert clone.capacity == cls.with_options(len(c), exponent).capacity
        shallow, deep = copy.copy(c), copy.deepcopy(c)
        for p in (k for k in keys if isinstance(k, Key)):  # deep copies are equal but distinct
            assert any(k is p for k in shallow) and not any(k is p for k in deep) and p in deep
            if cls in MAPS:
                assert shallow[p] is c[p] and deep[p] is not c[p] and deep[p] == [1]
        shallow.update(dict.fromkeys(["new"]) if cls in MAPS else ["new"])  # independent copies
        assert "new" not in c
        twin = copy.deepcopy([c, c])  # rebuilt once, shared again
        assert twin[0] is twin[1] and twin[0] == c
    for view in (c.keys(), c.values(), c.items()) if cls in MAPS else ():
        pytest.raises(TypeError, pickle.dumps, view, protocol).match("cannot pickle")


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_iterators_pickle_and_copy_as_what_is_left(protocol):
    maps = [cls({i: [i] for i in range(10)}) for cls in MAPS]
    # One set per class: two sets of equal contents may iterate differently.
    for make in [*(make for m in maps for make in iterators(m).values()), *(cls(range(20)).__iter__ for cls in SETS)]:
        for taken in (0, 3, 100):
            it = make()
            expected = list(make())[taken:]
            for _ in zip(range(taken), it):
                pass
            for clone in (pickle.loads(pickle.dumps(it, protocol)), copy.copy(it), copy.deepcopy(it)):
                assert list(clone) == expected
            assert list(it) == expected  # the original is untouched
    s = SETS[0]([1, 2, 3])
    it = iter(s)
    next(it)
    again_s, again_it, panic = pickle.loads(pickle.dumps([s, it, tavoric.PanicException("overflow")], protocol))
    assert again_s == s and sorted(again_it) == sorted(it) and len(again_s) == 3
    assert type(panic) is tavoric.PanicException and panic.args == ("overflow",)


@pytest.mark.parametrize("cls", SETS)
def test_setstate_adds_any_iterable_and_bumps_once(cls):
    s = cls([1])
    it = iter(s)
    s.__setstate__([1])
    assert next(it) == 1  # nothing new: no bump
    s.__setstate__(iter([2, 3]))
    assert s == {1, 2, 3}
    pytest.raises(RuntimeError, lambda: next(it))
    for bad in (5, [[]]):
        pytest.raises(TypeError, lambda: s.__setstate__(bad))
    # A pickle carries keys, not hashes (str hashes differ between processes).
    assert sorted(s.__reduce__()[2]) == [1, 2, 3]
