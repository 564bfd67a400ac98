"""Bytes per entry of tavoric's containers against dict and set.

Each container grows from empty to --max entries, one insertion at a time,
and sys.getsizeof is read after every insertion (dict and set count their
tables in it; tavoric's classes count the object, the table block, the level
array and the probe schedule). Every growth step is recorded twice: at the
table's fullest point (the last size before it grows) and right after the
growth. Keys and values are shared between the containers and not counted,
as sys.getsizeof never counts them.

    PYTHONPATH=build/main .python/usr/bin/python3.14 bench/memory.py --csv docs/memory.csv

The summary gives bytes per entry at powers of ten, and for every size from
--from up the largest ratio of each class to its built-in (the check that a
class never needs more than the built-in at the same size).
"""

from __future__ import annotations

import argparse
import csv
import random
import sys

import tavoric

FAMILIES = {
    "map": [("dict", dict), ("Funnel", tavoric.FunnelHashMap), ("Elastic", tavoric.ElasticHashMap)],
    "set": [("set", set), ("Funnel", tavoric.FunnelHashSet), ("Elastic", tavoric.ElasticHashSet)],
}


def size_curve(cls, keys, is_map: bool) -> list[tuple[int, int]]:
    """[(n, bytes)] for n = 0..len(keys): sys.getsizeof after each insertion."""
    container = cls()
    sizeof = sys.getsizeof
    curve = [(0, sizeof(container))]
    if is_map:
        for n, key in enumerate(keys, 1):
            container[key] = None
            curve.append((n, sizeof(container)))
    else:
        add = container.add
        for n, key in enumerate(keys, 1):
            add(key)
            curve.append((n, sizeof(container)))
    return curve


def steps(curve):
    """Growth steps: (fullest n, bytes then, first n after, bytes after)."""
    out = []
    for (n0, b0), (n1, b1) in zip(curve, curve[1:]):
        if b1 != b0:
            out.append((n0, b0, n1, b1))
    return out


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--max", type=float, default=1e6, help="largest size (default 10^6)")
    parser.add_argument("--from", dest="low", type=float, default=1e3, help="smallest size of the ratio check")
    parser.add_argument("--family", choices=["map", "set", "both"], default="both")
    parser.add_argument("--csv", default=None)
    args = parser.parse_args(argv)
    top = int(args.max)
    low = int(args.low)
    keys = random.Random(7).sample(range(1 << 40), top)
    families = ["map", "set"] if args.family == "both" else [args.family]
    rows = []
    print(f"python {sys.version.split()[0]}; int keys; sizes 1 to {top}")
    for family in families:
        curves = {}
        for name, cls in FAMILIES[family]:
            sys.stderr.write(f"\r{family} {name} ...".ljust(40))
            sys.stderr.flush()
            curves[name] = size_curve(cls, keys, family == "map")
        sys.stderr.write("\r" + " " * 40 + "\r")
        for name, curve in curves.items():
            for n_full, b_full, n_next, b_next in steps(curve):
                if n_full >= 1:
                    rows.append((family, name, "fullest", n_full, b_full))
                rows.append((family, name, "after_growth", n_next, b_next))
            n = 10
            while n <= top:
                rows.append((family, name, "power_of_ten", n, curve[n][1]))
                n *= 10
        builtin = FAMILIES[family][0][0]
        print(f"\n{family}: bytes per entry (sys.getsizeof / n)")
        print(f"{'n':>9} " + " ".join(f"{name:>9}" for name in curves))
        n = 10
        while n <= top:
            print(f"{n:9d} " + " ".join(f"{curves[name][n][1] / n:9.1f}" for name in curves))
            n *= 10
        # The largest ratio to the built-in over every n in [low, top]: the
        # curves are step functions, so every n where any of them changes
        # (and the ends) is enough.
        points = {low, top}
        for curve in curves.values():
            points.update(n for n, _, _, _ in steps(curve) if low <= n <= top)
            points.update(n for _, _, n, _ in steps(curve) if low <= n <= top)
        for name in curves:
            if name == builtin:
                continue
            worst = max(points, key=lambda n: curves[name][n][1] / curves[builtin][n][1])
            best = min(points, key=lambda n: curves[name][n][1] / curves[builtin][n][1])
            ratio = curves[name][worst][1] / curves[builtin][worst][1]
            print(f"{name:>8} / {builtin}: largest ratio {ratio:.2f} at n={worst} "
                  f"({curves[name][worst][1] / worst:.1f} vs {curves[builtin][worst][1] / worst:.1f} bytes/entry); "
                  f"smallest {curves[name][best][1] / curves[builtin][best][1]:.2f} at n={best}")
        print(f"fullest points before growth (n: bytes per entry), from n={low}:")
        for name, curve in curves.items():
            cells = [f"{n}: {b / n:.1f}" for n, b, _, _ in steps(curve) if n >= low]
            print(f"  {name:8} " + ", ".join(cells))
    if args.csv:
        with open(args.csv, "w", newline="") as handle:
            writer = csv.writer(handle)
            writer.writerow(["family", "impl", "point", "n", "bytes", "bytes_per_entry"])
            for family, name, point, n, b in rows:
                writer.writerow([family, name, point, n, b, f"{b / n:.3f}"])
        print(f"wrote {args.csv}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
