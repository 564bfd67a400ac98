"""Side-by-side timings of tavoric's containers against dict and set.

Every workload runs on the built-in and on the Funnel and Elastic class of the
same family in one process. The implementations are interleaved: each
repetition times all three once, in a rotating order, so drift of a shared
machine (other jobs, frequency changes) hits them alike. A sample repeats the
operation over all n keys, as many times as it takes to last at least
--min-time seconds; the report gives the median time per key over the
repetitions, the spread (min and max) and the ratio of the medians to the
built-in's.

The loops are plain Python loops (`for k in keys: m[k]`), the way programs use
the containers: the interpreter specialises them for dict and set, and that
advantage is part of what a user sees. `--loop-baseline` adds the time of the
same loop around a no-op, to tell the container's share from the loop's.

    PYTHONPATH=build/main .python/usr/bin/python3.14 bench/bench.py --csv out.csv

Keys: `int` (distinct random ints below 2^30), `bigint` (random 100-bit ints),
`str` (random 12-character strings), `tuple` (pairs of small ints). For each
size n the harness draws n present keys and n absent ones; misses look up the
absent ones, insertions insert them. Hits look the present keys up in an order
shuffled independently of the insertion order, as most programs do: looked up
in insertion order, dict and set would walk their entry arrays front to back,
a best case for their insertion-ordered layout that the `*_hit_ordered`
workloads show separately.
"""

from __future__ import annotations

import argparse
import csv
import gc
import random
import statistics
import sys
import time

import tavoric

SIZES = (1_000, 100_000, 1_000_000)
KEY_KINDS = ("int", "bigint", "str", "tuple")


# ---- keys -------------------------------------------------------------------


def make_keys(kind: str, count: int, rng: random.Random) -> list:
    """`count` distinct keys of one kind, in random order."""
    if kind == "int":
        return rng.sample(range(1 << 30), count)
    if kind == "bigint":
        keys = set()
        while len(keys) < count:
            keys.add(rng.getrandbits(100) | (1 << 99))
        keys = sorted(keys)  # a set's order follows the hashes; sorted, the seed alone decides
    elif kind == "str":
        alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
        keys = set()
        while len(keys) < count:
            keys.add("".join(rng.choices(alphabet, k=12)))
        keys = sorted(keys)  # str hashes change per process: without sorting, so would the keys
    elif kind == "tuple":
        keys = [(v >> 15, v & 0x7FFF) for v in rng.sample(range(1 << 30), count)]
    else:
        raise ValueError(f"unknown key kind {kind!r}")
    rng.shuffle(keys)
    return keys


class Data:
    """The keys of one (kind, size): present, absent, and map pairs."""

    def __init__(self, kind: str, size: int, seed: int = 12345):
        rng = random.Random(f"{seed}/{kind}/{size}")
        both = make_keys(kind, 2 * size, rng)
        self.kind = kind
        self.size = size
        self.present = both[:size]
        self.absent = both[size:]
        self.pairs = [(k, i) for i, k in enumerate(self.present)]
        self.lookup = list(self.present)
        rng.shuffle(self.lookup)
        # Half of `present`, half new: the other operand of update, union and
        # intersection.
        half = size // 2
        self.other = self.present[:half] + self.absent[: size - half]
        self.other_pairs = [(k, i) for i, k in enumerate(self.other)]


# ---- workloads ----------------------------------------------------------------
#
# A workload is (setup, run): setup(cls, data) builds the untimed state,
# run(state) is timed once per loop. run returns nothing; each processes n keys.


def _map(cls, data):
    return cls(data.pairs)


def _run_build_map(state):
    cls, pairs = state
    cls(pairs)


def _run_setitem(state):
    m, keys = state
    for k in keys:
        m[k] = 1


def _run_getitem(state):
    m, keys = state
    for k in keys:
        m[k]


def _run_contains(state):
    m, keys = state
    for k in keys:
        k in m  # noqa: B015


def _run_get(state):
    m, keys = state
    for k in keys:
        m.get(k)


def _run_delitem(state):
    m, keys = state
    for k in keys:
        del m[k]


def _run_iterate(state):
    for _ in state:
        pass


def _run_copy(state):
    state.copy()


def _run_update(state):
    target, other = state
    target.update(other)


def _run_build_set(state):
    cls, keys = state
    cls(keys)


def _run_add(state):
    s, keys = state
    add = s.add
    for k in keys:
        add(k)


def _run_remove(state):
    s, keys = state
    remove = s.remove
    for k in keys:
        remove(k)


def _run_union(state):
    a, b = state
    a | b


def _run_intersection(state):
    a, b = state
    a & b


def _run_noop_loop(state):
    _, keys = state
    for k in keys:
        k  # noqa: B018


MAP_WORKLOADS = {
    "build": (lambda cls, d: (cls, d.pairs), _run_build_map),
    "setitem_new": (lambda cls, d: (cls(), d.present), _run_setitem),
    "getitem_hit": (lambda cls, d: (_map(cls, d), d.lookup), _run_getitem),
    "in_hit": (lambda cls, d: (_map(cls, d), d.lookup), _run_contains),
    "in_hit_ordered": (lambda cls, d: (_map(cls, d), d.present), _run_contains),
    "in_miss": (lambda cls, d: (_map(cls, d), d.absent), _run_contains),
    "get_hit": (lambda cls, d: (_map(cls, d), d.lookup), _run_get),
    "get_miss": (lambda cls, d: (_map(cls, d), d.absent), _run_get),
    "delete": (lambda cls, d: (_map(cls, d), d.present), _run_delitem),
    "iterate": (lambda cls, d: _map(cls, d), _run_iterate),
    "copy": (lambda cls, d: _map(cls, d), _run_copy),
    "update": (lambda cls, d: (_map(cls, d), cls(d.other_pairs)), _run_update),
}

SET_WORKLOADS = {
    "build": (lambda cls, d: (cls, d.present), _run_build_set),
    "add_new": (lambda cls, d: (cls(), d.present), _run_add),
    "in_hit": (lambda cls, d: (cls(d.present), d.lookup), _run_contains),
    "in_hit_ordered": (lambda cls, d: (cls(d.present), d.present), _run_contains),
    "in_miss": (lambda cls, d: (cls(d.present), d.absent), _run_contains),
    "delete": (lambda cls, d: (cls(d.present), d.present), _run_remove),
    "iterate": (lambda cls, d: cls(d.present), _run_iterate),
    "copy": (lambda cls, d: cls(d.present), _run_copy),
    "update": (lambda cls, d: (cls(d.present), cls(d.other)), _run_update),
    "union": (lambda cls, d: (cls(d.present), cls(d.other)), _run_union),
    "intersection": (lambda cls, d: (cls(d.present), cls(d.other)), _run_intersection),
}

# Workloads that change their state: a fresh state for every loop.
MUTATING = {"build", "setitem_new", "add_new", "delete", "update"}

FAMILIES = {
    "map": (MAP_WORKLOADS, [("dict", dict), ("Funnel", tavoric.FunnelHashMap), ("Elastic", tavoric.ElasticHashMap)]),
    "set": (SET_WORKLOADS, [("set", set), ("Funnel", tavoric.FunnelHashSet), ("Elastic", tavoric.ElasticHashSet)]),
}


# ---- timing -------------------------------------------------------------------


def sample(setup, run, cls, data, loops: int, fresh: bool) -> float:
    """Seconds per key of one sample: `loops` timed runs over data.size keys."""
    total = 0.0
    state = None if fresh else setup(cls, data)
    for _ in range(loops):
        if fresh:
            state = setup(cls, data)
        gc.disable()
        t0 = time.perf_counter()
        run(state)
        t1 = time.perf_counter()
        gc.enable()
        total += t1 - t0
        if fresh:
            state = None
    return total / (loops * data.size)


def calibrate(setup, run, cls, data, min_time: float, fresh: bool) -> int:
    """Loops a sample needs to last min_time, measured on the built-in."""
    per_key = sample(setup, run, cls, data, 1, fresh)
    per_run = per_key * data.size
    if per_run <= 0:
        return 1000
    return max(1, min(100_000, int(min_time / per_run) + 1))


class Progress:
    """One self-overwriting line on stderr: done/total, elapsed, current item."""

    def __init__(self, total: int, enabled: bool):
        self.total = total
        self.done = 0
        self.enabled = enabled
        self.start = time.monotonic()
        # On a terminal the line rewrites itself; into a file, one line every
        # ten seconds at most.
        self.tty = sys.stderr.isatty()
        self.last = 0.0

    def show(self, label: str) -> None:
        if not self.enabled:
            return
        elapsed = time.monotonic() - self.start
        eta = elapsed / self.done * (self.total - self.done) if self.done else 0.0
        line = f"[{self.done}/{self.total}] {elapsed:5.0f}s elapsed, ~{eta:4.0f}s left  {label}"
        if self.tty:
            sys.stderr.write("\r" + line[:110].ljust(110))
        elif elapsed - self.last >= 10:
            self.last = elapsed
            sys.stderr.write(line + "\n")
        sys.stderr.flush()

    def finish(self) -> None:
        if self.enabled and self.tty:
            sys.stderr.write("\r" + " " * 110 + "\r")
            sys.stderr.flush()


def run_benchmarks(families, key_kinds, sizes, workloads, repetitions, min_time, progress_enabled=True,
                   loop_baseline=False):
    """Yields one result dict per (family, workload, key kind, size, implementation)."""
    plan = []
    for size in sizes:
        for kind in key_kinds:
            for family in families:
                table, impls = FAMILIES[family]
                names = [w for w in table if workloads is None or w in workloads]
                if loop_baseline and family == families[0]:
                    names = ["loop"] + names
                plan.extend((size, kind, family, w) for w in names)
    progress = Progress(len(plan), progress_enabled)
    data = None
    for size, kind, family, workload in plan:
        if data is None or data.kind != kind or data.size != size:
            data = None
            gc.collect()
            data = Data(kind, size)
        table, impls = FAMILIES[family]
        progress.show(f"{family} {workload} {kind} n={size}")
        if workload == "loop":
            setup, run = (lambda cls, d: (None, d.present)), _run_noop_loop
            impls = impls[:1]
        else:
            setup, run = table[workload]
        fresh = workload in MUTATING
        loops = calibrate(setup, run, impls[0][1], data, min_time, fresh)
        times = {name: [] for name, _ in impls}
        for rep in range(repetitions):
            shift = rep % len(impls)
            for name, cls in impls[shift:] + impls[:shift]:
                times[name].append(sample(setup, run, cls, data, loops, fresh))
        base = statistics.median(times[impls[0][0]])
        for name, _ in impls:
            median = statistics.median(times[name])
            yield {
                "family": family,
                "workload": workload,
                "key": kind,
                "size": size,
                "impl": name,
                "median_ns": median * 1e9,
                "min_ns": min(times[name]) * 1e9,
                "max_ns": max(times[name]) * 1e9,
                "repetitions": repetitions,
                "loops": loops,
                "ratio": median / base if base > 0 else float("nan"),
            }
        progress.done += 1
        gc.collect()
    progress.finish()


CSV_FIELDS = ["family", "workload", "key", "size", "impl", "median_ns", "min_ns", "max_ns", "repetitions", "loops",
              "ratio"]


def print_table(results, out=sys.stdout) -> None:
    """The ratio table: built-in ns per key, then each class's ratio and spread."""
    rows = {}
    for r in results:
        rows.setdefault((r["family"], r["workload"], r["key"], r["size"]), {})[r["impl"]] = r
    header = (f"{'family':6} {'workload':13} {'key':6} {'n':>8} | {'built-in ns':>11} | {'Funnel':>7} {'spread':>7}"
              f" | {'Elastic':>7} {'spread':>7}")
    print(header, file=out)
    print("-" * len(header), file=out)
    for (family, workload, kind, size), impls in rows.items():
        builtin = impls.get("dict") or impls.get("set")
        cells = []
        for name in ("Funnel", "Elastic"):
            r = impls.get(name)
            if r is None:
                cells.append(f"{'':>7} {'':>7}")
                continue
            spread = (r["max_ns"] - r["min_ns"]) / r["median_ns"] * 100 if r["median_ns"] else 0.0
            cells.append(f"{r['ratio']:7.2f} {spread:6.0f}%")
        print(f"{family:6} {workload:13} {kind:6} {size:8d} | {builtin['median_ns']:11.1f} | {cells[0]} | {cells[1]}",
              file=out)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--family", choices=["map", "set", "both"], default="both")
    parser.add_argument("--keys", default=",".join(KEY_KINDS), help="comma-separated key kinds")
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)), help="comma-separated sizes")
    parser.add_argument("--workloads", default=None, help="comma-separated workload names (default: all)")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--min-time", type=float, default=0.02, help="seconds per sample at least")
    parser.add_argument("--csv", default=None, help="write the results to this CSV file")
    parser.add_argument("--loop-baseline", action="store_true", help="also time the bare loop")
    parser.add_argument("--no-progress", action="store_true")
    return parser.parse_args(argv)


def main(argv=None) -> int:
    args = parse_arguments(argv)
    families = ["map", "set"] if args.family == "both" else [args.family]
    key_kinds = [k for k in args.keys.split(",") if k]
    sizes = [int(float(s)) for s in args.sizes.split(",") if s]
    workloads = set(args.workloads.split(",")) if args.workloads else None
    print(f"python {sys.version.split()[0]}; tavoric {tavoric.__file__}")
    print(f"repetitions {args.repetitions}, at least {args.min_time}s per sample; "
          "ratio = class median / built-in median (below 1 is faster); spread = (max - min) / median")
    results = list(run_benchmarks(families, key_kinds, sizes, workloads, args.repetitions, args.min_time,
                                  progress_enabled=not args.no_progress,
                                  loop_baseline=args.loop_baseline))
    print_table(results)
    if args.csv:
        with open(args.csv, "w", newline="") as handle:
            writer = csv.DictWriter(handle, fieldnames=CSV_FIELDS)
            writer.writeheader()
            for r in results:
                writer.writerow({k: (f"{v:.3f}" if isinstance(v, float) else v) for k, v in r.items()})
        print(f"wrote {args.csv}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
