#!/usr/bin/env bash
# Regenerates the measurements behind docs/results.md: the side-by-side
# timings (10^3 and 10^5 entries on four key kinds, 10^6 on int and str), the
# bytes per entry at every growth step, the probe statistics as CSV (from the
# saved C++ run in docs/cpp-bench.txt; bench/cpp/run.sh measures it afresh),
# the instruction counts per operation (callgrind) and the three plots. About
# 35 minutes on a shared 2-core machine.
#
# Usage: bench/results.sh     (after `make demo` or `make test` built build/main)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
py=${PY:-$top/.python/usr/bin/python3.14}
export PYTHONPATH=${PYTHONPATH:-$top/build/main}

"$py" bench/bench.py --sizes 1e3,1e5 --repetitions 5 --loop-baseline --csv docs/speed.csv | tee docs/speed.txt
"$py" bench/bench.py --sizes 1e6 --keys int,str --repetitions 3 --csv docs/speed-1e6.csv | tee docs/speed-1e6.txt
"$py" bench/bench.py --family map --keys int,str --sizes 1e5 --repetitions 11 --min-time 0.05 \
    --workloads setitem_new,getitem_hit,in_hit,in_miss,get_hit,get_miss --loop-baseline --csv docs/targets.csv | tee docs/targets.txt
"$py" bench/memory.py --csv docs/memory.csv | tee docs/memory.txt
"$py" bench/icount.py --csv docs/icount.csv
/usr/bin/python3 bench/probe_csv.py docs/cpp-bench.txt docs/probes.csv
/usr/bin/python3 bench/plot.py docs
