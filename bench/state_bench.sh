#!/bin/sh
# Measures the memory that the default image's state file costs: the max
# RSS (largest of three runs, /usr/bin/time) of a read and a write with no
# state, with the largest state a write can make (four strings of the 1 MiB
# that a value without a bound may take: 8 MiB), and with a 256 MiB file
# that is refused by its size.
#
#   bench/state_bench.sh [TUNEX]   TUNEX defaults to build/release/tunex,
#                                  built with the release preset if missing
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
tunex=${1:-$root/build/release/tunex}
if [ ! -x "$tunex" ]; then
    (cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release -j2 --target tunex) >&2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/tunex"
export XDG_RUNTIME_DIR="$work"

# rss ARG...: the largest max RSS of three runs of tunex, in KiB.
rss() {
    for run in 1 2 3; do
        /usr/bin/time -f %M "$tunex" "$@" 2>&1 >/dev/null | tail -n 1
    done | sort -n | tail -n 1
}

# row STATE: a table row of reads and writes with that state in place.
row() {
    printf '| %s | %s | %s KiB | %s KiB |\n' "$1" "$(stat -c %s "$state" 2>/dev/null || echo 0)" \
        "$(rss -n kern.maxfiles)" "$(rss -N kern.maxfiles=1000)"
}

echo "| state file | bytes | read: max RSS | write: max RSS |"
echo "|---|---|---|---|"
state=$work/none
row "none"
rm -f "$work"/tunex/*
for name in name host.hostname host.domainname host.hostuuid; do
    "$tunex" -N "security.jail.param.$name=a" >/dev/null
done
state=$(echo "$work"/tunex/default-*.state)
while read -r oid hex; do
    printf '%s ' "$oid"
    head -c $(((1 << 20) - 1)) /dev/zero | tr '\0' a | od -An -v -tx1 | tr -d ' \n'
    printf '00\n'
done <"$state" >"$work/large"
mv "$work/large" "$state"
row "largest a write makes"
rm "$state"
truncate -s 256M "$state"
row "256 MiB, refused unread"
