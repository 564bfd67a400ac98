"""Draws the three comparisons as PNG from their CSV files.

Runs on the system interpreter with Debian's matplotlib (python3-matplotlib),
not on the project's interpreter:

    /usr/bin/python3 bench/plot.py docs

reads docs/speed.csv (bench/bench.py), docs/memory.csv (bench/memory.py) and
docs/probes.csv (bench/probe_csv.py) and writes docs/speed.png,
docs/memory.png and docs/probes.png.
"""

import csv
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COLORS = {"Funnel": "tab:blue", "Elastic": "tab:orange", "dict": "black", "set": "black"}


def read(path):
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle))


def plot_speed(rows, out):
    """Ratio to the built-in per workload, one panel per (family, key kind), at the
    largest size of the run that has the most workloads (10^5 by default)."""
    sizes = sorted({int(r["size"]) for r in rows})
    size = 100_000 if 100_000 in sizes else sizes[-1]
    rows = [r for r in rows if int(r["size"]) == size and r["impl"] in ("Funnel", "Elastic")]
    panels = []
    for r in rows:
        if (r["family"], r["key"]) not in panels:
            panels.append((r["family"], r["key"]))
    fig, axes = plt.subplots(len(panels), 1, figsize=(10, 2.6 * len(panels)), squeeze=False)
    for ax, (family, key) in zip(axes[:, 0], panels):
        sub = [r for r in rows if r["family"] == family and r["key"] == key]
        workloads = []
        for r in sub:
            if r["workload"] not in workloads:
                workloads.append(r["workload"])
        for offset, impl in ((-0.2, "Funnel"), (0.2, "Elastic")):
            values = [next((float(r["ratio"]) for r in sub if r["workload"] == w and r["impl"] == impl), 0)
                      for w in workloads]
            ax.bar([i + offset for i in range(len(workloads))], values, width=0.4, label=impl, color=COLORS[impl])
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.axhline(1.5, color="red", linewidth=0.8, linestyle="--", label="target 1.5")
        ax.set_xticks(range(len(workloads)))
        ax.set_xticklabels(workloads, fontsize=8)
        builtin = "dict" if family == "map" else "set"
        ax.set_ylabel(f"time / {builtin}")
        ax.set_title(f"{family}, {key} keys, n = {size}", fontsize=9)
        ax.legend(fontsize=7, loc="upper left")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)


def plot_memory(rows, out):
    """Bytes per entry over n: the fullest points and the points right after
    each growth, joined in order of n, for maps and sets."""
    fig, axes = plt.subplots(1, 2, figsize=(11, 4), squeeze=False)
    for ax, family in zip(axes[0], ("map", "set")):
        sub = [r for r in rows if r["family"] == family and r["point"] != "power_of_ten"]
        for impl in sorted({r["impl"] for r in sub}, key=lambda i: (i not in ("dict", "set"), i)):
            points = sorted((int(r["n"]), float(r["bytes_per_entry"])) for r in sub if r["impl"] == impl)
            points = [p for p in points if p[0] >= 10]
            ax.plot([p[0] for p in points], [p[1] for p in points], label=impl, color=COLORS.get(impl),
                    linewidth=1)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("entries n")
        ax.set_ylabel("sys.getsizeof / n (bytes)")
        ax.set_title(f"{family}: bytes per entry, every growth step", fontsize=9)
        ax.axvline(1000, color="grey", linewidth=0.6, linestyle=":")
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)


def plot_probes(rows, out):
    """Average and maximum probes against log2(1/delta), with uniform probing's
    expected costs as the reference lines."""
    section = next((r["section"] for r in rows if "10^6" in r["section"]), rows[0]["section"])
    rows = [r for r in rows if r["section"] == section]
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2), squeeze=False)
    for ax, stat in zip(axes[0], ("average", "maximum")):
        for table, marker in (("Funnel", "o"), ("Elastic", "s")):
            sub = [r for r in rows if r["table"] == table]
            ks = [int(r["k"]) for r in sub]
            for column, style in (("ins", "-"), ("hit", "--"), ("miss", ":")):
                name = column if stat == "average" else column + "_max"
                ax.plot(ks, [float(r[name]) for r in sub], style, marker=marker, markersize=3,
                        color=COLORS[table], label=f"{table} {column}")
        if stat == "average":
            ref = [r for r in rows if r["table"] == "Elastic"]
            ks = [int(r["k"]) for r in ref]
            ax.plot(ks, [float(r["uni_hit"]) for r in ref], "-", color="grey", label="uniform hit/insert (expected)")
            ax.plot(ks, [float(r["uni_miss"]) for r in ref], "--", color="grey", label="uniform miss = 1/delta")
        ax.set_yscale("log")
        ax.set_xlabel("k (fill 1 - delta, delta = 2^-k)")
        ax.set_ylabel(f"{stat} slots probed")
        ax.set_title(f"{stat} probes, {section.split(', ')[-1]}", fontsize=9)
        ax.legend(fontsize=6, ncol=2)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)


def main(argv):
    folder = argv[1] if len(argv) > 1 else "docs"
    for name, draw in (("speed", plot_speed), ("memory", plot_memory), ("probes", plot_probes)):
        source = os.path.join(folder, name + ".csv")
        if not os.path.exists(source):
            print(f"skipped {name}: no {source}")
            continue
        target = os.path.join(folder, name + ".png")
        draw(read(source), target)
        print(f"wrote {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
