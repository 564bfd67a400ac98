"""Names the test files share."""

import collections.abc

from tavoric import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet

MAPS = [FunnelHashMap, ElasticHashMap]
SETS = [FunnelHashSet, ElasticHashSet]
ALL = MAPS + SETS
OTHER = dict(zip(ALL, [ElasticHashMap, FunnelHashMap, ElasticHashSet, FunnelHashSet]))
CHANGED = "^dictionary changed size during iteration$"


def filled(cls, keys):
    return cls.fromkeys(keys, 0) if cls in MAPS else cls(keys)


def store(container, key, value=None):
    container.__setitem__(key, value) if type(container) in MAPS else container.add(key)


def bumped(container, action):
    """Whether action() invalidated an iterator made before it."""
    it = iter(container)
    action()
    try:
        next(it, None)
    except RuntimeError:
        return True
    return False


def consistent(container):
    """The keys, after checking that iteration, length and lookup agree."""
    keys = list(container)
    assert len(keys) == len(container) and all(key in container for key in keys)
    return keys


def iterators(m):
    """Every kind of iterator of a map or dict, forward and reversed, by name."""
    views = {"map": lambda: m, "keys": m.keys, "values": m.values, "items": m.items}
    return {f"{f.__name__} {name}": lambda f=f, v=v: f(v()) for f in (iter, reversed) for name, v in views.items()}


class Key:
    """Equal by n, hashed to n % spread (collisions make equality run); Key.hashes and Key.compares count calls."""

    hashes = compares = 0

    def __init__(self, n, spread=7):
        self.n, self.spread = n, spread

    def __hash__(self):
        Key.hashes += 1
        return self.n % self.spread

    def __eq__(self, other):
        Key.compares += 1
        return isinstance(other, Key) and other.n == self.n


class NoLen:
    """Iterates two pairs and contains everything; its length raises."""
    __iter__ = lambda self: iter([(1, 2), (3, 4)])  # noqa: E731
    __len__ = lambda self: 1 / 0  # noqa: E731
    __contains__ = lambda self, item: True  # noqa: E731


class SetLike(collections.abc.Set):
    """Set-like by registration only; its length may lie or raise, its iteration fail."""

    def __init__(self, items, length=None, broken=False):
        self.items, self.length, self.broken = list(items), length, broken

    def __len__(self):
        return 1 // 0 if self.length == "raise" else len(self.items) if self.length is None else self.length

    def __iter__(self):
        if self.broken:
            raise ValueError("no iteration")
        return iter(self.items)

    __contains__ = lambda self, x: x in self.items  # noqa: E731
