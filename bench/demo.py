"""What the freshly built module offers: run by the README's demo command.

Shows the module, then a quick side-by-side run of bench/bench.py (about a
minute: every map and set workload on int and str keys at 10^5 entries,
five interleaved repetitions) ending in the ratio table, and the bytes per
entry at 10^5 entries. The full run and its plots: docs/results.md.
"""

import os
import sys

import tavoric

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

print(f"module:  {tavoric.__file__}")
print(f"classes: {', '.join(getattr(tavoric, '__all__', [])) or '(none registered yet)'}")
gil = getattr(sys, "_is_gil_enabled", lambda: True)()
print(f"interpreter GIL enabled: {gil}")

n = 100_000
keys = list(range(n))
print(f"\nsys.getsizeof / n at n = {n} (int keys):")
for builtin, classes in ((dict, (tavoric.FunnelHashMap, tavoric.ElasticHashMap)),
                         (set, (tavoric.FunnelHashSet, tavoric.ElasticHashSet))):
    made = [builtin.fromkeys(keys) if builtin is dict else set(keys)]
    made += [cls.fromkeys(keys) if builtin is dict else cls(keys) for cls in classes]
    print("  " + ", ".join(f"{type(c).__name__} {sys.getsizeof(c) / n:.1f}" for c in made))
    del made

print("\nquick timing run (bench/bench.py --sizes 1e5 --keys int,str --repetitions 5):\n")
sys.stdout.flush()
bench.main(["--sizes", "1e5", "--keys", "int,str", "--repetitions", "5", "--min-time", "0.01"])
