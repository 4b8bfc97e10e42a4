#!/bin/sh
# Measures loading a snapshot against loading the image it was taken from:
# a generated image of N objects (default 100,000), its snapshot
# (tunex --libxo json -aDgIkRSu), then for each file the wall time of one
# request (hyperfine) and the largest max RSS of three runs (/usr/bin/time).
# Prints a markdown table.
#
#   bench/snapshot_bench.sh [TUNEX [N]]   TUNEX defaults to build/release/tunex,
#                                         built with the release preset if missing
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
tunex=${1:-$root/build/release/tunex}
objects=${2:-100000}
if [ ! -x "$tunex" ]; then
    (cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release -j2 --target tunex) >&2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$here/gen_image.py" -n "$objects" -o "$work/image.json"
MIB_IMAGE=$work/image.json "$tunex" --libxo json -aDgIkRSu >"$work/snapshot.json"

# rss FILE: the largest max RSS of three loads of FILE, in KiB.
rss() {
    for run in 1 2 3; do
        MIB_IMAGE=$1 /usr/bin/time -f %M "$tunex" kern.ostype 2>&1 >/dev/null | tail -n 1
    done | sort -n | tail -n 1
}
# wall FILE: the mean wall time of one request on FILE, in ms.
wall() {
    MIB_IMAGE=$1 hyperfine -N -w 2 -r 10 --export-json "$work/h.json" \
        "$tunex kern.ostype" >/dev/null 2>&1
    python3 -c 'import json,sys; print("%.0f" % (json.load(open(sys.argv[1]))["results"][0]["mean"] * 1000))' "$work/h.json"
}

echo "| $objects objects | file size | one request (wall) | max RSS |"
echo "|---|---|---|---|"
for f in image snapshot; do
    size=$(($(wc -c <"$work/$f.json") / 1048576))
    echo "| $f | $size MiB | $(wall "$work/$f.json") ms | $(($(rss "$work/$f.json") / 1024)) MiB |"
done
