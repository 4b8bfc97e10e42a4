#!/usr/bin/env bash
# The default image's state file under a limit on memory (ulimit -v): a
# file far larger than any state is refused unread, and a state that does
# not fit in memory ends the run with "tunex: FILE: Cannot allocate memory"
# and status 1, the file untouched. Not for sanitizer builds, which cannot
# run under a limit on address space.
# Usage: faults-memory.sh TUNEX
set -u
tunex=$(realpath "$1")
. "$(dirname "$0")/faults-lib.sh"
work=$(mktemp -d /tmp/tunex-memory.XXXXXX)
trap 'rm -rf "$work"' EXIT
run=$work/run
mkdir -p -m 700 "$run/tunex"

# limited MIB NAME STATUS STDERR STDOUT -- ARG...: expect, in a subshell
# under ulimit -v MIB, and the standard output.
limited() {
    local mib=$1 name=$2 status=$3 err=$4 want=$5
    shift 6
    (
        ulimit -v $((mib * 1024))
        expect "$name" "$status" "$err" XDG_RUNTIME_DIR="$run" -- "$@"
        [ "$out" = "$want" ] || fail "$name: stdout '$out', expected '$want'"
        exit "$failed"
    ) || failed=1
}

# The least address space, in MiB, that a read of the default needs.
base=2
while [ "$base" -lt 64 ] &&
    ! (ulimit -v $((base * 1024)) && XDG_RUNTIME_DIR=$work/none "$tunex" kern.ostype) >/dev/null 2>&1; do
    base=$((base + 1))
done
default=$(XDG_RUNTIME_DIR=$work/none "$tunex" -n kern.maxfiles)

echo "== a 256 MiB state file under ulimit -v 300M: refused unread"
env -i XDG_RUNTIME_DIR="$run" "$tunex" -N kern.maxfiles=1234 >/dev/null
state=$(echo "$run"/tunex/default-*.state)
rm "$state"
truncate -s 256M "$state"
limit=$(XDG_RUNTIME_DIR=$run "$tunex" -n kern.maxfiles 2>&1 >/dev/null |
    sed -n 's/.*: larger than the \([0-9]*\) bytes that the saved values can take.*/\1/p')
[ -n "$limit" ] && [ "$limit" -lt $((64 << 20)) ] || fail "256 MiB state: limit '$limit'"
why="tunex: $state: larger than the $limit bytes that the saved values can take"
limited 300 "256 MiB state, read" 0 "$why; using the image's values" "$default" -- -n kern.maxfiles
limited 300 "256 MiB state, write" 1 "$why; using the image's values
$why; not overwritten
tunex:  cannot set new value '5': File too large" "kern.maxfiles" -- -N kern.maxfiles=5
[ "$(stat -c %s "$state")" = $((256 << 20)) ] && cmp -s -n $((256 << 20)) "$state" /dev/zero ||
    fail "256 MiB state: the file changed"
only "$state"

echo "== the largest state, with $base MiB and a little more: out of memory"
# Four strings of the largest length a saved value may have: an 8 MiB state.
rm "$state"
for name in name host.hostname host.domainname host.hostuuid; do
    env -i XDG_RUNTIME_DIR="$run" "$tunex" -N "security.jail.param.$name=a" >/dev/null
done
while read -r oid hex; do
    printf '%s ' "$oid"
    head -c $(((1 << 20) - 1)) /dev/zero | tr '\0' a | od -An -v -tx1 | tr -d ' \n'
    printf '00\n'
done <"$state" >"$work/large.state"
mv "$work/large.state" "$state"
cp "$state" "$work/state.before"
[ "$(XDG_RUNTIME_DIR=$run "$tunex" -n security.jail.param.name | wc -c)" = $(((1 << 20) + 0)) ] ||
    fail "largest state: not a legitimate state"
nomem="tunex: $state: Cannot allocate memory"
limited $((base + 6)) "largest state, read" 1 "$nomem" "" -- -n kern.maxfiles
limited $((base + 6)) "largest state, write at boot" 1 "$nomem" "" -- -N kern.maxfiles=5
limited $((base + 16)) "largest state, write" 1 "$nomem
tunex:  cannot set new value '5': Cannot allocate memory" "kern.maxfiles" -- -N kern.maxfiles=5
same "largest state" "$state" "$work/state.before"
only "$state"

[ "$failed" = 0 ] && echo "all cases held"
exit "$failed"
