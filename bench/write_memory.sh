#!/bin/sh
# Measures the peak memory (max RSS, /usr/bin/time) of one write, plain and
# under the largest -B, for a string and for a list of numbers, on a copy of
# the small writes fixture. A write is sized by the text given, so the
# figures should not move with -B; the read of the old value takes -B bytes
# of address space, which the kernel only backs where it is written.
#
#   bench/write_memory.sh [TUNEX]   TUNEX defaults to build/dev/tunex
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
tunex=${1:-$root/build/dev/tunex}
[ -x "$tunex" ] || { echo "write_memory: no $tunex; build it first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "write_memory: /usr/bin/time is missing" >&2; exit 1; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cp "$root/tests/fixtures/writes.json" "$out/writes.json"
export MIB_IMAGE="$out/writes.json"

printf '%-40s %10s\n' "write" "max RSS"
for args in "w.str=ab" "-B 4294967295 w.str=ab" "w.ints=1,2,3" "-B 4294967295 w.ints=1,2,3"; do
    # shellcheck disable=SC2086 # the options are meant to split
    /usr/bin/time -f '%M' -o "$out/rss" "$tunex" $args >/dev/null
    printf '%-40s %7s KiB\n' "tunex $args" "$(cat "$out/rss")"
done
