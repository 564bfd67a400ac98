"""What the four container classes share: construction, with_options,
capacity, len, `in`, repr, generic aliases, type properties, key equality."""

import types
import weakref

import pytest

import tavoric
from tavoric import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet

MAPS = [FunnelHashMap, ElasticHashMap]
SETS = [FunnelHashSet, ElasticHashSet]
ALL = MAPS + SETS
FUNNEL = [FunnelHashMap, FunnelHashSet]
ELASTIC = [ElasticHashMap, ElasticHashSet]


def test_registration_order_and_panic_exception():
    assert tavoric.__all__[:6] == [
        "ElasticHashMap",
        "FunnelHashMap",
        "ElasticHashSet",
        "FunnelHashSet",
        "_ElasticSetIter",
        "_FunnelSetIter",
    ]
    assert "PanicException" not in tavoric.__all__
    assert tavoric.PanicException.__bases__ == (BaseException,)
    for name in tavoric.__all__:
        assert getattr(tavoric, name).__module__ == "tavoric"


@pytest.mark.parametrize("cls", ALL)
def test_type_properties(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = cls()
    with pytest.raises(TypeError):
        hash(obj)
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not hasattr(obj, "__dict__")
    assert cls.__text_signature__ is not None
    first_line = cls.__doc__.splitlines()[0]
    assert "wrapper around the native" in first_line


@pytest.mark.parametrize("cls", SETS)
def test_iterator_classes_cannot_be_instantiated(cls):
    it_type = type(iter(cls()))
    assert it_type.__name__ in ("_FunnelSetIter", "_ElasticSetIter")
    assert it_type.__doc__ in ("", None)
    with pytest.raises(TypeError):
        it_type()


@pytest.mark.parametrize("cls", ALL)
def test_empty_construction_and_repr(cls):
    name = cls.__name__
    assert repr(cls()) == f"{name}(len=0, capacity=0)"
    assert len(cls(None)) == 0
    built = cls.with_options()
    assert type(built) is cls and len(built) == 0


@pytest.mark.parametrize("cls", ALL)
def test_capacity_covers_the_request_and_repr_shows_it(cls):
    for requested in (1, 7, 100, 1000):
        obj = cls(capacity=requested)
        assert obj.capacity >= requested
        assert repr(obj) == f"{cls.__name__}(len=0, capacity={obj.capacity})"


@pytest.mark.parametrize("cls", ALL)
def test_argument_conversion_errors_carry_a_note(cls):
    for bad, error in ((-1, OverflowError), (2**32, OverflowError), (1.5, TypeError), ("3", TypeError)):
        with pytest.raises(error) as caught:
            cls(capacity=bad)
        assert caught.value.__notes__ == ["while processing 'capacity'"]
        with pytest.raises(error) as caught:
            cls.with_options(0, bad)
        assert caught.value.__notes__ == ["while processing 'reserve_exponent'"]
    with pytest.raises(TypeError):
        cls(capacity=None)
    with pytest.raises(ValueError, match="^reserve exponent must be positive$"):
        cls.with_options(reserve_exponent=0)


@pytest.mark.parametrize("cls", FUNNEL)
def test_funnel_reserve_bound(cls):
    for exponent in (1, 2):
        with pytest.raises(ValueError) as caught:
            cls.with_options(reserve_exponent=exponent)
        assert str(caught.value) == "Funnel reserve must be at most 1/8 (reserve_exponent >= 3)"
    assert cls.with_options(100, None).capacity == cls.with_options(100, 3).capacity
    assert cls.with_options(capacity=100, reserve_exponent=4).capacity >= 100


@pytest.mark.parametrize("cls", ELASTIC)
def test_elastic_accepts_every_positive_exponent(cls):
    for exponent in (1, 2, 3, 10, 31, 32, 40):
        obj = cls.with_options(50, exponent)
        assert obj.capacity >= 50


@pytest.mark.parametrize("cls", ALL)
def test_impossible_sizes_panic_without_creating_anything(cls):
    if cls in FUNNEL:
        for exponent in (28, 31, 2**31):
            with pytest.raises(tavoric.PanicException, match="^invalid map construction: capacity overflow$"):
                cls.with_options(1, exponent)
        with pytest.raises(tavoric.PanicException, match="^invalid Funnel construction: capacity overflow$"):
            cls(capacity=2**32 - 1)
    else:
        with pytest.raises(tavoric.PanicException, match="^capacity overflow$"):
            cls(capacity=2**32 - 1)


@pytest.mark.parametrize("cls", ALL)
def test_generic_alias(cls):
    alias = cls[int, str] if cls in MAPS else cls[int]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is cls
    expected = "`Cls[K, V]`" if cls in MAPS else "`Cls[T]`"
    assert expected in cls.__class_getitem__.__doc__


class Raising:
    """Equal hashes; __eq__ raises the given exception."""

    def __init__(self, error):
        self.error = error

    def __hash__(self):
        return 42

    def __eq__(self, other):
        raise self.error


class IntSub(int):
    pass



@pytest.mark.parametrize("cls", ALL)
def test_key_equality(cls):
    def holding(*keys):
        return cls([(k, None) for k in keys]) if cls in MAPS else cls(keys)

    # Rich comparison decides across types; natively compared ints and strs
    # agree with Python equality.
    assert 1 in holding(1.0) and 1 in holding(True) and 1 in holding(IntSub(1))
    big = 2**70
    assert int(str(big)) in holding(big) and -big not in holding(big) and big not in holding(-big)
    assert 2**63 - 1 in holding(2**63 - 1) and -(2**63) in holding(-(2**63))
    text = "".join(["ab", "c"])
    assert "abc" in holding(text)
    lone = "\ud800x"
    assert "".join(["\ud800", "x"]) in holding(lone)
    assert len(holding("é", "e\u0301")) == 2


@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize("error", [ValueError("boom"), KeyboardInterrupt()])
def test_exceptions_from_key_equality_propagate_and_change_nothing(cls, error):
    stored = Raising(error)
    obj = cls({stored: 1}) if cls in MAPS else cls([stored])
    probe = Raising(error)
    operations = [lambda: probe in obj]
    if cls in MAPS:
        operations += [lambda: obj[probe], lambda: obj.get(probe), lambda: obj.__setitem__(probe, 2),
                       lambda: obj.__delitem__(probe), lambda: obj.pop(probe), lambda: obj.setdefault(probe)]
    else:
        operations += [lambda: obj.add(probe), lambda: obj.discard(probe), lambda: obj.remove(probe)]
    for operation in operations:
        with pytest.raises(type(error)):
            operation()
        assert list(obj) == [stored] and len(obj) == 1
        if cls in MAPS:
            assert obj.copy().popitem() == (stored, 1)


@pytest.mark.parametrize("cls", ALL)
def test_unhashable_keys_raise_the_interpreters_error(cls):
    obj = cls()
    with pytest.raises(TypeError, match="unhashable"):
        [] in obj
