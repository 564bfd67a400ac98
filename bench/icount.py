"""Instructions per operation of tavoric's containers against dict and set, counted by callgrind.

Wall-clock ratios on a shared machine move by tens of per cent between runs;
instruction counts under callgrind with fixed seeds repeat to well under one
per cent, so they are what optimisations are judged by (timings confirm).

Method. Every count is the difference of two runs of the same Python loop
that differ only in its length, started from one shared state:

- one callgrind process per (family, class, key kind) loads the keys and
  builds every row's containers and key lists, and then, for each row, forks
  two children that run the row's statement loop over L1 and L2 keys and
  leave with os._exit (no teardown is counted). Callgrind follows forks and
  writes one file per process (`--callgrind-out-file=...%p`); a child's total
  includes everything its parent ran before the fork, so
  (total(L2) - total(L1)) / (L2 - L1) is the cost of one more statement, with
  setup, interpreter start and loop warm-up cancelled out. That is why all
  state, down to the key slices, is made before the first fork: a slice made
  just before one child's fork would add its copying to that child alone.
  Only the parent's bookkeeping between the two forks (a pipe, a wait:
  about 10^4 instructions) stays in; it is the same in every row, so the
  loop subtraction below removes it, and the whole-container rows spread it
  over n entries;
- the same difference for the empty loop `for k in keys: pass` is the loop's
  own cost per key, subtracted from the rows that run a Python loop;
- whole-container rows (constructors, iteration, copy, filling from empty)
  compare the operation on n entries with the same operation on none and
  divide by n.

The containers hold n = 10^5 entries (built as `cls(pairs)` / `cls(keys)`,
so tavoric's tables are sized for exactly n and at full load). The per-op rows
run statements L1+1 to L2 (10^4 to 5 * 10^4 by default) on a fresh copy of
that state in each child: lookups and replacements of present keys in a
shuffled order, misses with keys never inserted, deletions of present keys
(the map shrinks from 9 * 10^4 to 5 * 10^4 entries over the counted statements),
new keys into a container with room for them: tavoric's built with
`capacity=n + L2`, the built-ins' own free room after their last growth (each
child checks `sys.getsizeof` to prove that nothing grew). Keys are the timing
benchmark's (bench.py): `int` (distinct random ints below 2^30) and `str`
(random 12-character strings), hashed once before the fork so that str keys
have cached hashes everywhere. The cyclic garbage collector is off in the
measuring processes.

Runs are repeatable (to 0.01 instructions per operation) because
TAVORIC_HASH_SEED and PYTHONHASHSEED are fixed (--seed): the same keys and
tables get the same hashes, seeds, slots and probe counts. Another --seed
moves Elastic's counts by several per cent, so where its probe paths matter,
compare a few seeds.

    PYTHONPATH=build/main .python/usr/bin/python3.14 bench/icount.py --markdown out.md
    tools/icount --rows in_hit,in_miss --keys int        # builds the module first (`make icount`)
"""

from __future__ import annotations

import argparse
import concurrent.futures
import csv
import json
import os
import pathlib
import pickle
import shutil
import subprocess
import sys
import tempfile
import time

TOP = pathlib.Path(__file__).resolve().parents[1]

# name -> (operation label, body run with container `c`, argument `a` and
# value `v`, what the two children work on, span). Span "op": statements
# L1+1..L2 over a key list; "entries": the whole operation on n entries
# against the same on none, per entry. A body that loops over `a` has the
# empty loop's cost per key subtracted.
MAP_ROWS = {
    "in_hit": ("`k in m`, hit", "for k in a:\n    k in c", "lookup", "op"),
    "in_miss": ("`k in m`, miss", "for k in a:\n    k in c", "absent", "op"),
    "getitem_hit": ("`m[k]`, hit", "for k in a:\n    c[k]", "lookup", "op"),
    "get_hit": ("`m.get(k)`, hit", "for k in a:\n    c.get(k)", "lookup", "op"),
    "get_miss": ("`m.get(k)`, miss", "for k in a:\n    c.get(k)", "absent", "op"),
    "setitem_new": ("`m[k] = v`, new key, no growth", "for k in a:\n    c[k] = v", "new", "op"),
    "setitem_existing": ("`m[k] = v`, existing key", "for k in a:\n    c[k] = v", "lookup", "op"),
    "delitem": ("`del m[k]`", "for k in a:\n    del c[k]", "lookup", "op"),
    "fill": ("`m[k] = v` from empty, growth included", "for k in a:\n    c[k] = v", "fill", "entries"),
    "build": ("`cls(pairs)`", "return c(a)", "build_pairs", "entries"),
    "fromkeys": ("`cls.fromkeys(keys)`", "return c.fromkeys(a)", "build_keys", "entries"),
    "iterate": ("`for k in m: pass`", "for k in c:\n    pass", "whole", "entries"),
    "copy": ("`m.copy()`", "return c.copy()", "whole", "entries"),
}
SET_ROWS = {
    "add_new": ("`s.add(k)`, new key, no growth", "for k in a:\n    c.add(k)", "new", "op"),
    "add_existing": ("`s.add(k)`, existing key", "for k in a:\n    c.add(k)", "lookup", "op"),
    "in_hit": ("`k in s`, hit", "for k in a:\n    k in c", "lookup", "op"),
    "in_miss": ("`k in s`, miss", "for k in a:\n    k in c", "absent", "op"),
    "discard": ("`s.discard(k)`", "for k in a:\n    c.discard(k)", "lookup", "op"),
    "fill": ("`s.add(k)` from empty, growth included", "for k in a:\n    c.add(k)", "fill", "entries"),
    "build": ("`cls(keys)`", "return c(a)", "build_keys", "entries"),
    "iterate": ("`for k in s: pass`", "for k in c:\n    pass", "whole", "entries"),
    "copy": ("`s.copy()`", "return c.copy()", "whole", "entries"),
}
ROWS = {"map": MAP_ROWS, "set": SET_ROWS}

# The ratio to the built-in each row is held to, (Funnel, Elastic), by kind.
TARGETS = {"hit": (1.8, 2.5), "miss": (1.2, 2.5), "new": (2.5, 3.5), "update": (2.0, 2.8),
           "build": (3.0, 3.5), "iterate": (1.3, 1.3), "copy": (8.0, 14.0)}
TARGET_KIND = {"in_hit": "hit", "getitem_hit": "hit", "get_hit": "hit", "in_miss": "miss", "get_miss": "miss",
               "setitem_new": "new", "add_new": "new", "setitem_existing": "update", "add_existing": "update",
               "delitem": "update", "discard": "update", "fill": "build", "build": "build", "fromkeys": "build",
               "iterate": "iterate", "copy": "copy"}
# The walk floor (bench/cpp/walk_floor.sh) that bounds each row from below:
# the same probe positions as the row's operation, walked by minimal code.
# Lookups of present keys find them (a replacement or removal then writes a
# slot it found); misses; placements of new keys at the row's load; placing
# every key into a fresh table sized for all of them, which is a lower bound
# for the constructors and fills (their duplicate checks and growth are not
# in it) and exactly what a copy does. Elastic's operations carry the
# prefix "elastic_".
WALK_FLOOR = {"in_hit": "floor_hit", "getitem_hit": "floor_hit", "get_hit": "floor_hit",
              "setitem_existing": "floor_hit", "add_existing": "floor_hit", "delitem": "floor_hit",
              "discard": "floor_hit", "in_miss": "floor_miss", "get_miss": "floor_miss",
              "setitem_new": "floor_insert", "add_new": "floor_insert", "fill": "floor_fill",
              "build": "floor_fill", "fromkeys": "floor_fill", "copy": "floor_fill"}
LOOP = "for k in a:\n    pass"
CLASSES = {"map": ("dict", "Funnel", "Elastic"), "set": ("set", "Funnel", "Elastic")}
KEY_KINDS = ("int", "str")


# ---- the measuring process (runs under callgrind) ------------------------------


def worker(task_path: str) -> None:
    import gc

    task = json.loads(pathlib.Path(task_path).read_text())
    gc.disable()
    family, impl, n, (l1, l2) = task["family"], task["impl"], task["n"], task["lengths"]
    if impl in ("dict", "set"):
        cls = {"dict": dict, "set": set}[impl]
    else:
        import tavoric

        cls = getattr(tavoric, f"{impl}Hash{'Map' if family == 'map' else 'Set'}")
    with open(task["keys"], "rb") as handle:
        present, absent, lookup = pickle.load(handle)
    for k in present + absent:  # str keys cache their hash from here on
        hash(k)
    pairs = [(k, i) for i, k in enumerate(present)]
    source = pairs if family == "map" else present
    full = cls(source)
    # New keys need room that no counted insertion uses up.
    roomy = cls(source) if cls in (dict, set) else cls(source, capacity=n + l2)
    v = object()

    def arguments(kind: str, length: int):
        """(container, argument) a child of the given length works on."""
        if kind == "lookup":
            return full, lookup[:length]
        if kind == "absent":
            return full, absent[:length]
        if kind == "new":
            return roomy, absent[:length]
        if kind == "fill":
            return cls(), present[:length]
        if kind == "build_pairs":
            return cls, pairs[:length]
        if kind == "build_keys":
            return cls, present[:length]
        if kind == "whole":
            return (full if length else cls()), None
        raise ValueError(kind)

    # Every row's state is made before the first fork, for all rows in one
    # order whatever is selected: the tables a child makes then draw the same
    # seeds in every run, so a row counts the same alone or among others.
    every = {"loop": (LOOP, "lookup", "op")} | {name: row[1:] for name, row in ROWS[family].items()}
    prepared = {}
    for name, (_, kind, span) in every.items():
        lengths = (l1, l2) if span == "op" else (0, n)
        prepared[name] = [(length, *arguments(kind, length)) for length in lengths]

    results = []
    for name in ["loop", *task["rows"]]:
        body_source, kind, _ = every[name]
        namespace = {}
        exec(compile(f"def body(c, a, v):\n{_indent(body_source)}\n", f"<icount {name}>", "exec"), namespace)
        body = namespace["body"]
        children = []
        for length, target, argument in prepared[name]:
            size_before = sys.getsizeof(target)
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read_end)
                status = 0
                try:
                    keep = body(target, argument, v)  # noqa: F841  (kept until _exit: no teardown counted)
                    report = str(sys.getsizeof(target)).encode()
                except BaseException as error:  # report anything, never run the parent's code
                    report, status = repr(error).encode(), 1
                os.write(write_end, report)
                os._exit(status)
            os.close(write_end)
            chunks = []
            while chunk := os.read(read_end, 4096):
                chunks.append(chunk)
            os.close(read_end)
            _, status = os.waitpid(pid, 0)
            report = b"".join(chunks).decode()
            if status != 0:
                raise SystemExit(f"icount worker: row {name} ({impl}, length {length}) failed: {report}")
            grew = kind == "new" and int(report) != size_before
            children.append({"length": length, "pid": pid, "grew": grew})
        results.append({"row": name, "looped": body_source.startswith("for k in a:"), "children": children})
    pathlib.Path(task["out"]).write_text(json.dumps(results))


def _indent(text: str) -> str:
    return "\n".join("    " + line for line in text.splitlines())


# ---- the driver ------------------------------------------------------------------


def callgrind_total(path: pathlib.Path) -> int:
    with open(path) as handle:
        for line in handle:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise SystemExit(f"icount: no total in {path}")


def module_self_cost(path: pathlib.Path) -> int:
    """Instructions executed inside tavoric's own shared object (self cost, no callees).

    Callgrind's file gives each function's self cost as cost lines under
    `ob=` (the object) and `fn=`; the line after a `calls=` line is the
    inclusive cost of that call, charged to the caller's line, and is skipped.
    Names are compressed as `(id) name` on first use and `(id)` after, and
    the first use of an object may be a callee's `cob=`.
    """
    names, current, inside, skip_next = {}, None, False, False
    total = 0
    with open(path) as handle:
        for line in handle:
            if skip_next:
                skip_next = False
                continue
            if line.startswith(("ob=", "cob=")):
                # Both define object names (one table); only ob= moves on.
                field = line.partition("=")[2].strip()
                ident, _, name = field.partition(")") if field.startswith("(") else ("", "", field)
                if ident and name.strip():
                    names[ident] = name.strip()
                if line.startswith("ob="):
                    current = names.get(ident, "") if ident else field
                    inside = "tavoric" in pathlib.Path(current).name
            elif line.startswith("calls="):
                skip_next = True
            elif inside and line[:1] in "0123456789+-*" and line[:1]:
                total += int(line.split()[-1])
    return total


def make_keys(kind: str, n: int, folder: pathlib.Path) -> pathlib.Path:
    """The timing benchmark's keys (present, absent, shuffled lookups) for one kind, pickled."""
    sys.path.insert(0, str(TOP / "bench"))
    import bench  # the same keys as the timing runs

    data = bench.Data(kind, n)
    path = folder / f"keys-{kind}.pickle"
    with open(path, "wb") as handle:
        pickle.dump((data.present, data.absent, data.lookup), handle)
    return path


def measure(job, args, folder: pathlib.Path, env: dict) -> list:
    """Runs one (family, class, key kind) under callgrind; returns its rows' counts."""
    family, impl, kind, rows, keys_path = job
    stem = folder / f"{family}-{impl}-{kind}"
    out_dir = pathlib.Path(f"{stem}.callgrind")
    out_dir.mkdir()
    task = {"family": family, "impl": impl, "n": args.size, "lengths": args.lengths, "rows": rows,
            "keys": str(keys_path), "out": f"{stem}.json"}
    pathlib.Path(f"{stem}.task").write_text(json.dumps(task))
    command = [args.valgrind, "--tool=callgrind", f"--callgrind-out-file={out_dir}/cg.%p", "--dump-line=no",
               "--log-file=" + f"{stem}.log", sys.executable, str(pathlib.Path(__file__).resolve()),
               "--worker", f"{stem}.task"]
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        log = pathlib.Path(f"{stem}.log")
        raise SystemExit(f"icount: {family} {impl} {kind} failed:\n{done.stdout}{done.stderr}"
                         f"{log.read_text()[-3000:] if log.exists() else ''}")
    measured = []
    for entry in json.loads(pathlib.Path(task["out"]).read_text()):
        lo, hi = entry["children"]
        files = [out_dir / f"cg.{c['pid']}" for c in (lo, hi)]
        totals = [callgrind_total(f) for f in files]
        module = [module_self_cost(f) for f in files] if impl not in ("dict", "set") else [0, 0]
        measured.append({"family": family, "row": entry["row"], "key": kind, "impl": impl, "looped": entry["looped"],
                         "l1": lo["length"], "l2": hi["length"], "ir_l1": totals[0], "ir_l2": totals[1],
                         "module_l1": module[0], "module_l2": module[1], "grew": lo["grew"] or hi["grew"]})
    if not args.keep:
        shutil.rmtree(out_dir)
    return measured


def per_operation(results: list) -> tuple[dict, dict]:
    """(family, row, key, impl) -> instructions per operation, the empty loop subtracted where it runs."""
    loop = {}
    for r in results:
        if r["row"] == "loop":
            loop[(r["family"], r["key"], r["impl"])] = (r["ir_l2"] - r["ir_l1"]) / (r["l2"] - r["l1"])
    table = {}
    for r in results:
        if r["row"] == "loop":
            continue
        cost = (r["ir_l2"] - r["ir_l1"]) / (r["l2"] - r["l1"])
        r["loop_per_key"] = loop[(r["family"], r["key"], r["impl"])] if r["looped"] else 0.0
        r["per_op"] = cost - r["loop_per_key"]
        r["module_per_op"] = (r["module_l2"] - r["module_l1"]) / (r["l2"] - r["l1"])
        table[(r["family"], r["row"], r["key"], r["impl"])] = r["per_op"]
    return table, loop


def markdown(results: list, args) -> str:
    table, loop = per_operation(results)
    lines = ["| operation | key | built-in | Funnel (ratio) | Elastic (ratio) |", "|---|---|---:|---:|---:|"]
    for family in args.families:
        builtin = CLASSES[family][0]
        for row in args.rows[family]:
            for kind in args.keys:
                cells = []
                base = table.get((family, row, kind, builtin))
                for impl in CLASSES[family]:
                    value = table.get((family, row, kind, impl))
                    if value is None:
                        cells.append("")
                    elif impl == builtin or not base:
                        cells.append(f"{value:.0f}")
                    else:
                        cells.append(f"{value:.0f} ({value / base:.2f})")
                if any(cells):
                    label = ROWS[family][row][0] + (" per entry" if ROWS[family][row][3] == "entries" else "")
                    lines.append(f"| {label} | {kind} | " + " | ".join(cells) + " |")
    module = {(r["family"], r["row"], r["key"], r["impl"]): r["module_per_op"] for r in results if r["row"] != "loop"}
    split = ["", "Of these, instructions inside tavoric's module (its own code, not what it calls in the "
             "interpreter); the rest is the interpreter's part of the statement:", "",
             "| operation | key | Funnel: module / rest | Elastic: module / rest |", "|---|---|---:|---:|"]
    for family in args.families:
        for row in args.rows[family]:
            for kind in args.keys:
                cells = [f"{module[(family, row, kind, impl)]:.0f} / "
                         f"{table[(family, row, kind, impl)] - module[(family, row, kind, impl)]:.0f}"
                         if (family, row, kind, impl) in module else "" for impl in CLASSES[family][1:]]
                if any(cells):
                    label = ROWS[family][row][0] + (" per entry" if ROWS[family][row][3] == "entries" else "")
                    split.append(f"| {label} | {kind} | " + " | ".join(cells) + " |")
    if len(split) > 5:
        lines.extend(split)
    loops = ", ".join(f"{f} {k} {i}: {v:.1f}" for (f, k, i), v in sorted(loop.items()))
    lines.append("")
    lines.append(f"Subtracted empty loop `for k in keys: pass`, instructions per key: {loops}.")
    grown = sorted({f"{r['family']} {r['row']} {r['key']} {r['impl']}" for r in results if r["grew"]})
    if grown:
        lines.append(f"WARNING: the container grew during a no-growth row: {', '.join(grown)}.")
    return "\n".join(lines) + "\n"


def read_walk_floors(path: str) -> dict:
    """operation -> instructions per operation, from the output of bench/cpp/walk_floor.sh."""
    floors = {}
    for line in pathlib.Path(path).read_text().splitlines():
        words = line.split()
        if len(words) == 6 and words[0].replace("elastic_", "").startswith(("floor_", "find_", "insert_", "fill_")):
            floors[words[0]] = float(words[5])
    return floors


def floors_markdown(results: list, args, walk: dict) -> str:
    """Each tavoric row against its target and its floor: the interpreter's part of the
    statement (what the row runs outside the module) plus the design's walk floor."""
    table, _ = per_operation(results)
    module = {(r["family"], r["row"], r["key"], r["impl"]): r["module_per_op"] for r in results if r["row"] != "loop"}
    lines = ["| operation | key | design | measured | target | floor: outside + walk | measured / floor | met |",
             "|---|---|---|---:|---:|---:|---:|---|"]
    for family in args.families:
        builtin = CLASSES[family][0]
        for row in args.rows[family]:
            for kind in args.keys:
                base = table.get((family, row, kind, builtin))
                for index, impl in enumerate(CLASSES[family][1:]):
                    cell = (family, row, kind, impl)
                    if cell not in table or base is None:
                        continue
                    target = TARGETS[TARGET_KIND[row]][index] * base
                    walk_op = WALK_FLOOR.get(row)
                    walk_op = walk_op and ("elastic_" + walk_op if impl == "Elastic" else walk_op)
                    if walk_op in walk:
                        outside = table[cell] - module[cell]
                        floor = outside + walk[walk_op]
                        floor_cells = f"{outside:.0f} + {walk[walk_op]:.0f} = {floor:.0f} | {table[cell] / floor:.2f}"
                    else:
                        floor_cells = " | "
                    label = ROWS[family][row][0] + (" per entry" if ROWS[family][row][3] == "entries" else "")
                    met = "yes" if table[cell] <= target else "no"
                    lines.append(f"| {label} | {kind} | {impl} | {table[cell]:.0f} | {target:.0f} | {floor_cells} | {met} |")
    return "\n".join(lines) + "\n"


CSV_FIELDS = ["family", "row", "key", "impl", "l1", "l2", "ir_l1", "ir_l2", "loop_per_key", "per_op",
              "module_l1", "module_l2", "module_per_op", "grew"]


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--family", default="map,set", help="comma-separated: map, set")
    parser.add_argument("--rows", default=None, help="comma-separated row names (default: all); "
                        f"map: {', '.join(MAP_ROWS)}; set: {', '.join(SET_ROWS)}")
    parser.add_argument("--classes", default="builtin,Funnel,Elastic", help="comma-separated: builtin, Funnel, Elastic")
    parser.add_argument("--keys", default=",".join(KEY_KINDS), help="comma-separated: int, str")
    parser.add_argument("--size", type=float, default=1e5, help="entries in the measured containers")
    parser.add_argument("--lengths", default="10000,50000", help="the two loop lengths L1,L2 of the per-op rows")
    parser.add_argument("--seed", default="1", help="TAVORIC_HASH_SEED for the measured processes")
    parser.add_argument("--module-dir", default=None, help="folder holding the built module (else PYTHONPATH)")
    parser.add_argument("--jobs", type=int, default=2, help="callgrind processes at a time")
    parser.add_argument("--valgrind", default="valgrind")
    parser.add_argument("--markdown", default=None, help="also write the table to this file")
    parser.add_argument("--csv", default=None, help="write every count to this CSV file")
    parser.add_argument("--keep", default=None, help="keep the callgrind files and logs in this folder")
    parser.add_argument("--floors", default=None, help="output of bench/cpp/walk_floor.sh: adds each row's target "
                        "and floor (its part outside the module plus the design's walk floor)")
    parser.add_argument("--worker", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        return args
    args.families = [f for f in args.family.split(",") if f]
    args.keys = [k for k in args.keys.split(",") if k]
    args.size = int(args.size)
    args.lengths = [int(float(x)) for x in args.lengths.split(",")]
    wanted = set(args.rows.split(",")) if args.rows else None
    args.rows = {f: [r for r in ROWS[f] if wanted is None or r in wanted] for f in args.families}
    chosen = set(args.classes.split(","))
    args.impls = {f: [c for i, c in enumerate(CLASSES[f]) if c in chosen or (i == 0 and "builtin" in chosen)]
                  for f in args.families}
    unknown = (wanted or set()) - set(MAP_ROWS) - set(SET_ROWS)
    if unknown or not set(args.families) <= set(ROWS) or not set(args.keys) <= set(KEY_KINDS):
        parser.error(f"unknown row, family or key kind: {sorted(unknown) or args.families + args.keys}")
    l1, l2 = args.lengths
    if not 0 <= l1 < l2 <= args.size:
        parser.error("--lengths needs 0 <= L1 < L2 <= size")
    return args


def main(argv=None) -> int:
    args = parse_arguments(argv)
    if args.worker:
        worker(args.worker)
        return 0
    if shutil.which(args.valgrind) is None:
        raise SystemExit("icount: valgrind not found")
    env = dict(os.environ, PYTHONHASHSEED="0", TAVORIC_HASH_SEED=args.seed)
    if args.module_dir:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (str(pathlib.Path(args.module_dir).resolve()),
                                                         os.environ.get("PYTHONPATH")) if p)
        sys.path.insert(0, env["PYTHONPATH"].split(os.pathsep)[0])
    start = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="icount-") as scratch:
        folder = pathlib.Path(args.keep or scratch)
        folder.mkdir(parents=True, exist_ok=True)
        keys = {kind: make_keys(kind, args.size, folder) for kind in args.keys}
        jobs = [(f, impl, kind, args.rows[f], keys[kind]) for f in args.families if args.rows[f]
                for kind in args.keys for impl in args.impls[f]]
        results = []
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            futures = {pool.submit(measure, job, args, folder, env): job for job in jobs}
            for future in concurrent.futures.as_completed(futures):
                results.extend(future.result())
                family, impl, kind = futures[future][:3]
                print(f"[{time.monotonic() - start:5.0f}s] {family} {impl} {kind} done", file=sys.stderr)
    table = markdown(results, args)
    print(f"python {sys.version.split()[0]}; n = {args.size}; per-op loop lengths {args.lengths[0]} and "
          f"{args.lengths[1]}; TAVORIC_HASH_SEED={args.seed}, PYTHONHASHSEED=0; instructions per operation "
          f"(ratio to the built-in); {time.monotonic() - start:.0f}s\n")
    if args.floors:
        table += "\nAgainst the targets and the floors:\n\n" + floors_markdown(results, args, read_walk_floors(args.floors))
    print(table, end="")
    if args.markdown:
        pathlib.Path(args.markdown).write_text(table)
    if args.csv:
        order = {(f, r): i for f in ROWS for i, r in enumerate(["loop", *ROWS[f]])}
        with open(args.csv, "w", newline="") as handle:
            writer = csv.DictWriter(handle, fieldnames=CSV_FIELDS, extrasaction="ignore")
            writer.writeheader()
            for r in sorted(results, key=lambda r: (r["family"], order[(r["family"], r["row"])], r["key"], r["impl"])):
                writer.writerow({k: (f"{v:.2f}" if isinstance(v, float) else v) for k, v in r.items()})
    return 0 if not any(r["grew"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
