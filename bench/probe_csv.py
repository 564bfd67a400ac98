"""Turns the probe statistics printed by bench/cpp/run.sh into CSV.

    python3 bench/probe_csv.py docs/cpp-bench.txt docs/probes.csv

Reads every "probe statistics at fill 1 - delta" section (the Funnel and the
Elastic table of each) and writes one row per (section, table, k) with the
columns of the printed tables: average and maximum probes per insertion,
successful and unsuccessful lookup, and uniform probing's expected costs at
the same load. Runs on any Python 3.
"""

import csv
import re
import sys

COLUMNS = {
    "Funnel": ["k", "slots", "filled", "load", "ins", "ins_max", "hit", "hit_max", "hit_buckets", "miss",
               "miss_max", "miss_pass_pct", "mpath", "mpath_max", "mpath_buckets", "uni_hit", "uni_miss"],
    "Elastic": ["k", "slots", "filled", "load", "ins", "ins_max", "hit", "hit_max", "miss", "miss_max",
                "miss_pass_pct", "routes", "uni_hit", "uni_miss"],
}


def parse(text):
    section = None
    table = None
    for line in text.splitlines():
        if line.startswith("== probe statistics"):
            section = line[3:].strip()
            table = None
            continue
        if line.startswith("== "):
            section = None
            continue
        if section is None:
            continue
        match = re.match(r"(Funnel|Elastic) table", line)
        if match:
            table = match.group(1)
            continue
        if table and re.match(r"\s*\d+\s+\d+\s+\d+", line):
            cells = line.replace("|", " ").replace("%", " ").split()
            names = COLUMNS[table]
            values = cells[: len(names)]
            notes = " ".join(cells[len(names):])
            row = {"section": section, "table": table}
            row.update(zip(names, values))
            row["notes"] = notes
            yield row


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    with open(argv[1]) as handle:
        rows = list(parse(handle.read()))
    fields = ["section", "table"] + sorted({c for cols in COLUMNS.values() for c in cols},
                                           key=lambda c: (COLUMNS["Funnel"] + COLUMNS["Elastic"]).index(c)) + ["notes"]
    with open(argv[2], "w", newline="") as handle:
        writer = csv.DictWriter(handle, fieldnames=fields)
        writer.writeheader()
        writer.writerows(rows)
    print(f"wrote {len(rows)} rows to {argv[2]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
