#!/bin/sh
# Measures the walk of the live kernel's parameters side by side in one
# run: tunex over /proc/sys in text and in JSON against the floor (a minimal
# C program that opens, reads and prints every file once, procfs_floor.c,
# built here), procps `sysctl -a` and busybox `sysctl -a`, which read the
# same tree, with hyperfine; then prints the ratios that the bars are about
# (tunex within 1.2x of the floor's CPU, JSON within 1.1x of text, tunex
# faster than both sysctls). Then one request, `kernel.hostname`, which a
# script asks for alone: tunex against both sysctls, with /bin/true for
# the cost of starting a process at all.
#
#   bench/procfs_bench.sh [TUNEX]   TUNEX defaults to build/release/tunex,
#                                   built with the release preset if missing
#   RUNS=50 bench/procfs_bench.sh   more runs per command (default 30)
#   ONE_RUNS=600 bench/procfs_bench.sh
#                                   more interleaved rounds of the one
#                                   request (default 300: each is short)
#
# The machine is shared: the figures are only as quiet as the other jobs.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
tunex=${1:-$root/build/release/tunex}
runs=${RUNS:-30}
one_runs=${ONE_RUNS:-300}

if [ ! -x "$tunex" ]; then
    (cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release -j2 --target tunex) >&2
fi
for tool in hyperfine busybox sysctl python3 cc; do
    command -v "$tool" >/dev/null || { echo "procfs_bench: $tool is missing" >&2; exit 1; }
done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cc -O2 -o "$out/floor" "$here/procfs_floor.c"
# All four read every parameter; output goes to /dev/null (hyperfine's
# default), so the terminal costs nothing. MIB_IMAGE is set for all of them
# (the sysctls ignore it) rather than through env(1), whose own exec would
# be counted against tunex.
export MIB_IMAGE=/proc/sys
hyperfine -N --warmup 3 --runs "$runs" --ignore-failure --export-json "$out/times.json" \
    -n floor "$out/floor" \
    -n procps "sysctl -a" \
    -n busybox "busybox sysctl -a" \
    -n tunex-text "$tunex -a" \
    -n tunex-json "$tunex -a --libxo json" >&2

# CPU time, interleaved (bench/interleave.py): the medians are steadier
# than hyperfine's means on a shared machine, where the load changes
# between one command's runs and the next.
python3 - "$here" "$out/times.json" "$runs" "$out/floor" "$tunex" "$one_runs" <<'EOF'
import json, sys
sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[1])
from interleave import cpu_medians
times, runs, floor, tunex = sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
commands = {
    "floor": [floor],
    "procps": ["sysctl", "-a"],
    "busybox": ["busybox", "sysctl", "-a"],
    "tunex-text": [tunex, "-a"],
    "tunex-json": [tunex, "-a", "--libxo", "json"],
}
names = list(commands)
med = cpu_medians(commands, runs)
r = {x["command"]: x for x in json.load(open(times))["results"]}
wall = {k: v["mean"] * 1000 for k, v in r.items()}
print("| command | wall mean (ms) | wall stddev (ms) | cpu, interleaved median (ms) |")
print("|---|---|---|---|")
for k in names:
    print("| %s | %.2f | %.2f | %.2f |" % (k, wall[k], r[k]["stddev"] * 1000, med[k]))
print()
# The bars are on CPU time, the steadier of the two.
checks = [
    ("tunex-text / floor", "tunex-text", "floor", 1.2),
    ("tunex-json / tunex-text", "tunex-json", "tunex-text", 1.1),
    ("tunex-text / procps", "tunex-text", "procps", 1.0),
    ("tunex-text / busybox", "tunex-text", "busybox", 1.0),
]
for name, a, b, bar in checks:
    w, c = wall[a] / wall[b], med[a] / med[b]
    print("%-24s wall %.2fx  cpu %.2fx  (bar: cpu within %.1fx) %s"
          % (name, w, c, bar, "ok" if c <= bar else "MISSED"))

# One request: the listing of the tree matters less than starting the
# process, so the CPU time above /bin/true's is quoted as well.
one = {
    "true": ["/bin/true"],
    "procps": ["sysctl", "kernel.hostname"],
    "busybox": ["busybox", "sysctl", "kernel.hostname"],
    "tunex": [tunex, "kernel.hostname"],
}
med = cpu_medians(one, int(sys.argv[6]))
print()
print("| one request (kernel.hostname) | cpu, interleaved median (ms) | above /bin/true (ms) |")
print("|---|---|---|")
for k in one:
    print("| %s | %.2f | %.2f |" % (k, med[k], med[k] - med["true"]))
print()
# No bar here: the figures say how tunex compares with the peers.
for peer in ("procps", "busybox"):
    print("%-24s cpu %.2fx" % ("one: tunex / " + peer, med["tunex"] / med[peer]))
EOF
