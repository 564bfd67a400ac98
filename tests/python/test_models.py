"""State machines beside dict and set; TAVORIC_DEEP=1 (or an example count) runs far longer."""

import contextlib
import os

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from helpers import CHANGED, MAPS, OTHER, SETS, Key

_deep = os.environ.get("TAVORIC_DEEP", "")
EXAMPLES = (int(_deep) if _deep.isdigit() and int(_deep) > 1 else 1000) if _deep else 40
STEPS = 120 if _deep else 40


class Twin(Key):
    """Equal to an int but of another type: rich comparison mixes into the native fast paths."""
    __hash__ = lambda self: hash(self.n)  # noqa: E731
    __eq__ = lambda self, other: other.n == self.n if isinstance(other, Twin) else other == self.n  # noqa: E731


keys = st.one_of(st.integers(-40, 40), st.integers(2**64, 2**64 + 3), st.sampled_from(["a", "b", "é", "\ud800", ""]),
                 st.tuples(st.integers(0, 2)), st.builds(Twin, st.integers(-3, 3)))
values = st.integers(0, 4)


class MapMachine(RuleBasedStateMachine):
    @initialize(kind=st.sampled_from(MAPS), pairs=st.dictionaries(keys, values, max_size=12), k=st.integers(3, 7))
    def start(self, kind, pairs, k):
        self.ours, self.model = kind.with_options(0, k), dict(pairs)
        self.ours.update(pairs)
        self.iterators = []  # (iterator, expected items, or None when stale)

    def changed(self, really=True):
        if really:
            self.iterators = [(it, None) for it, _ in self.iterators]

    @rule(key=keys, value=values)
    def assign(self, key, value):
        self.ours[key] = self.model[key] = value
        self.changed()

    @rule(key=keys, default=values)
    def remove_paths(self, key, default):
        present = key in self.model
        assert (key in self.ours) == present
        assert self.ours.get(key, default) == self.model.get(key, default)
        assert self.ours.pop(key, default) == self.model.pop(key, default)
        self.changed(present)
        pytest.raises(KeyError, self.ours.__delitem__, key)

    @rule(key=keys, default=values)
    def setdefault(self, key, default):
        self.changed(key not in self.model)  # before: iterators made afterwards are fresh
        assert self.ours.setdefault(key, default) == self.model.setdefault(key, default)

    @rule()
    def popitem(self):  # the pair taken depends on the table's seed: no precondition on contents
        with pytest.raises(KeyError) if not self.model else contextlib.nullcontext():
            key, value = self.ours.popitem()
            assert self.model.pop(key) == value
            self.changed()

    @rule(pairs=st.lists(st.tuples(keys, values), max_size=8), how=st.integers(0, 5))
    def bulk(self, pairs, how):
        m = self.ours
        if how >= 4:  # new maps
            self.ours, self.iterators = (m | dict(pairs)) if how == 4 else (dict(pairs) | m), []
            self.model = {**self.model, **dict(pairs)} if how == 4 else {**dict(pairs), **self.model}
            return
        (m.update if how < 3 else m.__ior__)([pairs, dict(pairs), type(m)(pairs), OTHER[type(m)](pairs)][how])
        self.model.update(pairs)
        self.changed(bool(pairs))

    @rule(how=st.integers(0, 3))
    def rebuild(self, how):
        if how == 3:
            self.ours.clear(), self.model.clear(), self.changed()
            return
        self.iterators = []
        self.ours = [self.ours.copy, lambda: OTHER[type(self.ours)](self.ours.items()),
                     lambda: type(self.ours)(OTHER[type(self.ours)](self.model))][how]()

    @rule(which=st.integers(0, 2))
    def make_iterator(self, which):
        m = self.ours
        view = [m.keys, m.values, m.items][which]()
        expected = [list(m), [m[k] for k in m], [(k, m[k]) for k in m]][which]
        self.iterators.append((iter(view), expected))

    @rule()
    def advance_iterators(self):
        kept = []
        for it, expected in self.iterators:
            if expected is None:
                pytest.raises(RuntimeError, next, it).match(CHANGED)
            elif expected:
                assert next(it) == expected[0]
                kept.append((it, expected[1:]))
            else:
                pytest.raises(StopIteration, lambda: next(it))
        self.iterators = kept

    @invariant()
    def same_contents(self):
        m, d = self.ours, self.model
        assert len(m) == len(d) == len(m.keys()) == len(m.items()) <= m.capacity
        assert m == d and d == m and not (m != d) and m.keys() == d.keys() and m.items() == d.items()
        assert sorted(map(repr, m.values())) == sorted(map(repr, d.values()))
        assert all(k in m and m[k] == v for k, v in d.items())


class SetMachine(RuleBasedStateMachine):
    @initialize(kind=st.sampled_from(SETS), items=st.lists(keys, max_size=15), k=st.integers(1, 7))
    def start(self, kind, items, k):
        self.ours, self.model = kind.with_options(0, max(k, 3) if kind is SETS[0] else k), set(items)  # Funnel: 3+
        self.ours.update(items)

    @rule(key=keys, how=st.integers(0, 2))
    def element(self, key, how):
        if how < 2:
            for s in (self.ours, self.model):
                (s.add if how == 0 else s.discard)(key)
            return
        with pytest.raises(KeyError) if key not in self.model else contextlib.nullcontext():
            self.ours.remove(key)
        self.model.discard(key)

    @rule()
    def pop(self):
        with pytest.raises(KeyError) if not self.model else contextlib.nullcontext():
            first = next(iter(self.ours), None)
            assert self.ours.pop() == first
            self.model.remove(first)

    @rule(items=st.lists(keys, max_size=10), op=st.integers(0, 3), form=st.integers(0, 3))
    def algebra(self, items, op, form):
        operand = [set(items), type(self.ours)(items), OTHER[type(self.ours)](items), list(items)][form]
        name = ["union", "intersection", "difference", "symmetric_difference"][op]
        expected = getattr(self.model, name)(set(items))
        result = getattr(self.ours, name)(operand)
        assert type(result) is type(self.ours) and result == expected
        if form < 3:  # operators need set-like operands
            via_operator = getattr(self.ours, ["__or__", "__and__", "__sub__", "__xor__"][op])(operand)
            assert via_operator is NotImplemented or via_operator == expected
        getattr(self.ours, f"{name}_update" if op else "update")(operand)
        self.model = expected

    @rule(items=st.lists(keys, max_size=10))
    def predicates(self, items):
        other = set(items)
        for name in ("isdisjoint", "issubset", "issuperset"):
            assert getattr(self.ours, name)(items) == getattr(self.model, name)(other)
        assert (self.ours == other) == (self.model == other)

    @rule(how=st.integers(0, 2))
    def rebuild(self, how):
        if how == 2:
            self.ours.clear(), self.model.clear()
        else:
            self.ours = self.ours.copy() if how == 0 else OTHER[type(self.ours)](self.ours)

    @invariant()
    def same_contents(self):
        assert len(list(self.ours)) == len(self.ours) == len(self.model) <= self.ours.capacity
        assert self.ours == self.model and all(k in self.ours for k in self.model)


for machine in (MapMachine, SetMachine):
    machine.TestCase.settings = settings(max_examples=EXAMPLES, stateful_step_count=STEPS, deadline=None)
TestMapModel, TestSetModel = MapMachine.TestCase, SetMachine.TestCase
