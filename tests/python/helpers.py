"""Names the test files share."""

import collections.abc

from tavoric import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet

MAPS = [FunnelHashMap, ElasticHashMap]
SETS = [FunnelHashSet, ElasticHashSet]
ALL = MAPS + SETS
OTHER = {FunnelHashMap: ElasticHashMap, ElasticHashMap: FunnelHashMap,
         FunnelHashSet: ElasticHashSet, ElasticHashSet: FunnelHashSet}
CHANGED = "^dictionary changed size during iteration$"


def filled(cls, keys):
    return cls.fromkeys(keys, 0) if cls in MAPS else cls(keys)


def store(container, key, value=None):
    if type(container) in MAPS:
        container[key] = value
    else:
        container.add(key)


def bumped(container, action):
    """Whether action() invalidated an iterator made before it."""
    it = iter(container)
    action()
    try:
        next(it)
    except RuntimeError:
        return True
    except StopIteration:
        pass
    return False


def consistent(container):
    """The keys, after checking that iteration, length and lookup agree."""
    keys = list(container)
    assert len(keys) == len(container) and all(key in container for key in keys)
    return keys


class SetLike(collections.abc.Set):
    """Set-like by registration only; its length may lie or raise, its iteration fail."""

    def __init__(self, items, length=None, broken=False):
        self.items, self.length, self.broken = list(items), length, broken

    def __len__(self):
        if self.length == "raise":
            raise RuntimeError("no length")
        return len(self.items) if self.length is None else self.length

    def __iter__(self):
        if self.broken:
            raise ValueError("no iteration")
        return iter(self.items)

    def __contains__(self, x):
        return x in self.items
