#!/usr/bin/env bash
# Writes that meet files an ordinary or hostile user set up: a symbolic or
# hard link at the image, an image of another owner, group or mode, a read
# -only image, a reader that holds the image's lock, a damaged state file
# or a link or FIFO in its place, a state directory that is not the user's
# own. Each case checks the exact messages, the exit status and every file
# involved, byte for byte.
# Usage: faults-files.sh TUNEX FIXTURES (exit 77: skipped, not root).
set -u
tunex=$(realpath "$1")
fixtures=$(realpath "$2")
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: the cases change owners and run as nobody: needs root"
    exit 77
fi
. "$(dirname "$0")/faults-lib.sh"
work=$(mktemp -d /tmp/tunex-files.XXXXXX)
chmod 755 "$work"
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
cp "$fixtures/writes.json" "$work/before.json"

# fresh DIR: a new directory with a copy of the fixture as DIR/img.json.
fresh() {
    mkdir -p "$1"
    cp "$work/before.json" "$1/img.json"
}

# owner FILE: "user:group mode" of FILE.
owner() {
    stat -c '%U:%G %a' "$1"
}

echo "== a symbolic link at the image: the write goes to its target"
fresh "$work/real"
mkdir "$work/links"
ln -s ../real/img.json "$work/links/img.json"
expect "symbolic link" 0 "" MIB_IMAGE="$work/links/img.json" -- w.int=6
[ "$out" = "w.int: 5 -> 6" ] || fail "symbolic link: stdout '$out'"
[ "$(readlink "$work/links/img.json")" = ../real/img.json ] || fail "symbolic link: the link changed"
[ "$(MIB_IMAGE="$work/real/img.json" "$tunex" -n w.int)" = 6 ] || fail "symbolic link: target not written"
only "$work/links/img.json"
only "$work/real/img.json"

echo "== a hard link at the image: refused, both names kept"
fresh "$work/hard"
ln "$work/hard/img.json" "$work/hard/other.json"
expect "hard link" 1 "tunex: $work/hard/img.json: 2 hard links, which a write would split
tunex:  cannot set new value '6': Too many links" MIB_IMAGE="$work/hard/img.json" -- -N w.int=6
same "hard link" "$work/hard/img.json" "$work/before.json"
[ "$(stat -c %h "$work/hard/other.json")" = 2 ] || fail "hard link: the link was split"
only "$work/hard/img.json" "$work/hard/other.json"

echo "== root keeps an image's owner, group and mode"
for mode in 600 640 604; do
    fresh "$work/kept$mode"
    chown nobody:nogroup "$work/kept$mode/img.json"
    chmod "$mode" "$work/kept$mode/img.json"
    expect "owner kept, mode $mode" 0 "" MIB_IMAGE="$work/kept$mode/img.json" -- -N w.int=6
    [ "$(owner "$work/kept$mode/img.json")" = "nobody:nogroup $mode" ] ||
        fail "owner kept: $(owner "$work/kept$mode/img.json"), expected nobody:nogroup $mode"
    only "$work/kept$mode/img.json"
done

echo "== an image's own write permission holds"
# An image of root's in a directory of nobody's: the directory would let
# nobody replace it, the file's mode does not.
fresh "$work/rootfile"
chown nobody "$work/rootfile"
as=nobody expect "root's image, nobody's directory" 1 \
    "tunex:  cannot set new value '6': Permission denied" \
    MIB_IMAGE="$work/rootfile/img.json" -- -N w.int=6
same "root's image, nobody's directory" "$work/rootfile/img.json" "$work/before.json"
[ "$(owner "$work/rootfile/img.json")" = "root:root 644" ] || fail "root's image: owner changed"
only "$work/rootfile/img.json"
# A read-only image refuses every writer, root included.
for user in "" nobody; do
    fresh "$work/ro$user"
    chown -R "${user:-root}" "$work/ro$user"
    chmod 444 "$work/ro$user/img.json"
    as=$user expect "read-only image, ${user:-root}" 1 \
        "tunex:  cannot set new value '6': Permission denied" \
        MIB_IMAGE="$work/ro$user/img.json" -- -N w.int=6
    same "read-only image, ${user:-root}" "$work/ro$user/img.json" "$work/before.json"
    only "$work/ro$user/img.json"
done
# An ordinary user that the mode lets write another user's image may not
# give a file away: the new image is theirs, in their group, mode kept.
fresh "$work/others"
chown nobody "$work/others"
chmod 666 "$work/others/img.json"
as=nobody expect "another user's image" 0 "" MIB_IMAGE="$work/others/img.json" -- -N w.int=6
[ "$(owner "$work/others/img.json")" = "nobody:nogroup 666" ] ||
    fail "another user's image: $(owner "$work/others/img.json")"
[ "$(MIB_IMAGE="$work/others/img.json" "$tunex" -n w.int)" = 6 ] || fail "another user's image: not written"
only "$work/others/img.json"

echo "== a reader that holds the lock delays a write, for a bounded time"
fresh "$work/locked"
mkdir -p -m 700 "$work/lockrun/tunex"
env -i XDG_RUNTIME_DIR="$work/lockrun" "$tunex" -N kern.maxfiles=1234 >/dev/null
state=$(echo "$work"/lockrun/tunex/default-*.state)
cp "$state" "$work/state.before"
# hold USER FILE: USER holds a shared lock on FILE until killed ($!).
hold() {
    setpriv --reuid="$1" --regid=nogroup --clear-groups \
        bash -c 'exec 9<"$1" && flock -s 9 && exec sleep 60' hold "$2" &
}
# nobody may only read the image; root holds its own state file.
hold nobody "$work/locked/img.json"
holders=($!)
hold root "$state"
holders+=($!)
sleep 0.5
expect "image locked by a reader" 1 \
    "tunex: $work/locked/img.json: another process holds its lock (waited 5 seconds)
tunex:  cannot set new value '6': Resource temporarily unavailable" \
    MIB_IMAGE="$work/locked/img.json" -- -N w.int=6 &
image_check=$!
expect "state file locked" 1 \
    "tunex: $state: another process holds its lock (waited 5 seconds)
tunex:  cannot set new value '5': Resource temporarily unavailable" \
    XDG_RUNTIME_DIR="$work/lockrun" -- -N kern.maxfiles=5
wait "$image_check" || failed=1
same "image locked by a reader" "$work/locked/img.json" "$work/before.json"
same "state file locked" "$state" "$work/state.before"
kill "${holders[@]}"
wait "${holders[@]}" 2>/dev/null
expect "a write once the lock is free" 0 "" MIB_IMAGE="$work/locked/img.json" -- -N w.int=6
only "$work/locked/img.json"

echo "== the state file: links, FIFOs and damage are reported and left alone"
run=$work/staterun
mkdir -p -m 700 "$run/tunex"
env -i XDG_RUNTIME_DIR="$run" "$tunex" -N kern.maxfiles=1234 >/dev/null
state=$(echo "$run"/tunex/default-*.state)
good=$(cat "$state")
oid=${good%% *}
rm "$state"
default=$(env -i XDG_RUNTIME_DIR="$run" "$tunex" -n kern.maxfiles)
# setup KIND: puts KIND at the state file.
setup() {
    rm -f "$state" "$work/target"
    case $1 in
    dangling) ln -s "$work/target" "$state" ;;
    link) printf '%s 0d000000\n' "$oid" >"$work/target"; ln -s "$work/target" "$state" ;;
    fifo) mkfifo "$state" ;;
    *) printf "$1" >"$state" ;;
    esac
}
# Each kind, then what a read warns and what a write adds.
while IFS='|' read -r kind why; do
    setup "$kind"
    rm -f "$work/state.before"
    [ -p "$state" ] || cp -P "$state" "$work/state.before"
    expect "state '$kind', read" 0 "tunex: $state: $why; using the image's values" \
        XDG_RUNTIME_DIR="$run" -- -n kern.maxfiles
    [ "$out" = "$default" ] || fail "state '$kind': kern.maxfiles is '$out', expected $default"
    case $kind in
    dangling|link) end="$why
tunex:  cannot set new value '5': Too many levels of symbolic links" ;;
    fifo) end="$why
tunex:  cannot set new value '5': Input/output error" ;;
    *) end="$why; not overwritten
tunex:  cannot set new value '5': Input/output error" ;;
    esac
    expect "state '$kind', write" 1 "tunex: $state: $why; using the image's values
tunex: $state: $end" XDG_RUNTIME_DIR="$run" -- -N kern.maxfiles=5
    if [ -p "$state" ]; then :
    elif [ -L "$state" ]; then
        [ "$(readlink "$state")" = "$work/target" ] || fail "state '$kind': the link changed"
    else
        same "state '$kind'" "$state" "$work/state.before"
    fi
    [ "$kind" != dangling ] || [ ! -e "$work/target" ] || fail "state '$kind': the link's target was made"
    [ "$kind" != link ] || [ "$(cat "$work/target")" = "$oid 0d000000" ] ||
        fail "state '$kind': the link's target changed"
    only "$state"
done <<CASES
dangling|a symbolic link, not followed
link|a symbolic link, not followed
fifo|not a regular file
1.7 +1000000\n|line 1: not 'OID HEX-BYTES'
1.\\033[2J.7 00\n|line 1: not 'OID HEX-BYTES'
$oid d204\n|line 1: 2 bytes cannot be a value of kern.maxfiles
$oid d2040000\n$oid d2040000\n|line 2: kern.maxfiles a second time
$oid d2040000|line 1: not 'OID HEX-BYTES'
1.999999 00000000\n|line 1: no writable object 1.999999
CASES

echo "== a state directory that is not the user's own"
# setup_dir KIND DIR: makes DIR that KIND of squatted directory.
while IFS='|' read -r kind why; do
    dir=$work/squat-$kind/tunex
    mkdir -p "$work/squat-$kind"
    case $kind in
    link) mkdir -m 700 "$work/elsewhere-$kind"; ln -s "$work/elsewhere-$kind" "$dir" ;;
    file) touch "$dir" ;;
    owner) mkdir -m 700 "$dir"; chown nobody "$dir" ;;
    mode) mkdir -m 755 "$dir" ;;
    esac
    expect "state directory: $kind" 1 "tunex: $dir: $why, refused as the state directory; using the image's values
tunex: $dir: $why, refused as the state directory
tunex:  cannot set new value '5': Permission denied" XDG_RUNTIME_DIR="$work/squat-$kind" -- -N kern.maxfiles=5
    if [ "$kind" = link ]; then
        [ -z "$(ls -A "$work/elsewhere-$kind")" ] ||
            fail "state directory: $kind: something was written through the link"
    elif [ -d "$dir" ]; then
        [ -z "$(ls -A "$dir")" ] || fail "state directory: $kind: something was written into it"
    fi
done <<CASES
link|a symbolic link
file|not a directory
owner|owned by user $(id -u nobody), not by user 0
mode|mode 0755, open to other users
CASES

# The private directory in /tmp, squatted by root to feed nobody values
# (left alone when it is in use already). nobody may write nothing in the
# default image, so a read shows it.
squat=/tmp/tunex-$(id -u nobody)
if mkdir -m 700 "$squat" 2>/dev/null; then
    printf '1.7 01000000\n' >"$squat/$(basename "$state")"
    as=nobody expect "squatted $squat" 0 "tunex: $squat: owned by user 0, not by user \
$(id -u nobody), refused as the state directory; using the image's values" -- -n kern.maxfiles
    [ "$out" = "$default" ] || fail "squatted $squat: kern.maxfiles is '$out', expected $default"
    rm -r "$squat"
fi

[ "$failed" = 0 ] && echo "all cases held"
exit "$failed"
