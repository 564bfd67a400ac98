"""Map constructors and the fill procedure, compared with dict."""

import pytest

import tavoric
from tavoric import ElasticHashMap, FunnelHashMap

MAPS = [FunnelHashMap, ElasticHashMap]



@pytest.fixture(params=MAPS)
def cls(request):
    return request.param


def same_as_dict(m, expected):
    assert len(m) == len(expected)
    for key in expected:
        assert key in m
    return True


class Mapping:
    def __init__(self, data):
        self.data = dict(data)
        self.keys_calls = 0

    def keys(self):
        self.keys_calls += 1
        return list(self.data)

    def __getitem__(self, key):
        return self.data[key]


class NoLen:
    def __iter__(self):
        return iter([(1, 2), (3, 4)])

    def __len__(self):
        raise RuntimeError("no length")


def test_sources_of_pairs(cls):
    assert same_as_dict(cls([(1, 2)], capacity=10), {1: 2})
    assert same_as_dict(cls(a=1), {"a": 1})
    assert same_as_dict(cls({"a": 1}, a=2), {"a": 2})
    assert same_as_dict(cls(["ab"]), {"a": "b"})
    assert same_as_dict(cls([[1, 2], iter((3, 4)), {5: 0, 6: 0}]), {1: 2, 3: 4, 5: 6})
    assert same_as_dict(cls(Mapping({1: 2, 3: 4})), {1: 2, 3: 4})
    assert same_as_dict(cls(NoLen()), {1: 2, 3: 4})
    assert same_as_dict(cls(other={5: 6}), {5: 6})
    assert same_as_dict(cls(capacity=3, x=1, y=2), {"x": 1, "y": 2})
    source = cls({i: i * i for i in range(50)})
    assert same_as_dict(cls(source), {i: i * i for i in range(50)})


def test_pair_whose_key_empties_it_while_hashed(cls):
    class Emptier:
        def __hash__(self):
            pair[:] = []
            return 13

    pair = [Emptier(), 123]
    m = cls([pair])
    assert list(m.values()) == [123]


def test_bad_pairs(cls):
    # As dict: an element of the wrong length is a ValueError, one that is
    # not iterable keeps its own TypeError with a note giving its position.
    for bad in ([(1, 2, 3)], ["ab", "c"]):
        with pytest.raises(ValueError, match="^update sequence elements must be 2-tuples$"):
            cls(bad)

    def failing():
        yield "key"
        raise TypeError("oops")

    for bad, position, message in ((lambda: [(1, 2), 1], 1, "object is not iterable"), (lambda: [failing()], 0, "oops")):
        for make in (cls, lambda pairs: cls().update(pairs)):
            with pytest.raises(TypeError, match=message) as caught:
                make(bad())
            assert caught.value.__notes__ == [f"Cannot convert dictionary update sequence element #{position} to a sequence"]
    for call in (lambda: cls(**{1: 2}), lambda: cls().update(**{1: 2})):
        with pytest.raises(TypeError, match="keywords must be strings"):
            call()
    with pytest.raises(TypeError):
        cls([([], 1)])  # unhashable key
    with pytest.raises(TypeError):
        cls(1, 2)
    with pytest.raises(TypeError):
        cls({}, other={})
    with pytest.raises(TypeError):
        cls(42)  # not iterable


def test_dict_changing_while_walked_is_a_runtime_error(cls):
    target = {}

    class Grower:
        def __hash__(self):
            target[len(target) + 100] = 0
            return 1

    target[Grower()] = 1
    target[2] = 2
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        cls(target)


def test_failed_fill_releases_every_reference(cls):
    import sys

    key, value = object(), object()
    before = sys.getrefcount(key), sys.getrefcount(value)
    for _ in range(100):
        with pytest.raises(ValueError):
            cls([(key, value), (1, 2, 3)])
    assert (sys.getrefcount(key), sys.getrefcount(value)) == before
    m = cls([(key, value)])
    assert sys.getrefcount(key) == before[0] + 1
    del m
    assert (sys.getrefcount(key), sys.getrefcount(value)) == before


def test_same_class_fill_does_not_rehash(cls):
    calls = 0

    class Counted:
        def __hash__(self):
            nonlocal calls
            calls += 1
            return 7

    source = cls([(Counted(), i) for i in range(10)])
    assert calls == 10
    copy = cls(source, extra=1)
    assert calls == 10 and len(copy) == 11
