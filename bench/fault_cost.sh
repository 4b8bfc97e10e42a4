#!/bin/sh
# Measures what a page fault costs a process here, by the CPU time (user +
# system, from wait4) that a number of first touches adds to a small C
# program (bench/fault_cost.c): 4 KiB anonymous pages, one 2 MiB huge
# page, and pages of a file in the page cache. Rounds are interleaved, each
# form once per round; the medians are compared with a process that
# touches nothing. On a virtual machine the host's work on a fault counts
# as the process's time.
#
#   bench/fault_cost.sh            300 rounds
#   RUNS=100 bench/fault_cost.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
runs=${RUNS:-300}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cc -O2 -o "$out/fault_cost" "$here/fault_cost.c"
head -c 8000000 /dev/urandom >"$out/file"
cat "$out/file" >/dev/null
python3 - "$here" "$out/fault_cost" "$out/file" "$runs" <<'PY'
import sys
sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[1])
from interleave import cpu_medians
prog, path, runs = sys.argv[2], sys.argv[3], int(sys.argv[4])
forms = {
    "none": [prog, "none"],
    "30 anonymous pages": [prog, "anon", "30"],
    "60 anonymous pages": [prog, "anon", "60"],
    "one huge page": [prog, "huge"],
    "30 file pages": [prog, "file", "30", path],
}
med = cpu_medians(forms, runs)
base = med["none"]
print("| what the process touches | CPU time added (median) | per fault |")
print("|---|---:|---:|")
for k, per in (("30 anonymous pages", 30), ("60 anonymous pages", 60), ("one huge page", 1),
               ("30 file pages", 30)):
    added = med[k] - base
    print("| %s | %.2f ms | %.1f µs |" % (k, added, added * 1000 / per))
PY
