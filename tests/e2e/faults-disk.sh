#!/usr/bin/env bash
# Faults around a write that persists: a full disk and a read-only file
# system (a 64 KiB tmpfs), a read-only directory for an ordinary user,
# concurrent writers, and writers killed with SIGKILL. Every failed write
# must say why, exit 1 and leave the image byte for byte as it was, with no
# temporary file behind; concurrent writers must lose no update; a killed
# writer must leave the old or the new image whole.
# Usage: faults-disk.sh TUNEX FIXTURES (exit 77: skipped, not root).
set -u
tunex=$(realpath "$1")
fixtures=$(realpath "$2")
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: mounting a small tmpfs needs root"
    exit 77
fi
work=$(mktemp -d /tmp/tunex-faults.XXXXXX)
chmod 755 "$work"
mnt=$work/mnt
mkdir "$mnt"
if ! mount -t tmpfs -o size=64k,mode=755 tmpfs "$mnt"; then
    rmdir "$mnt" "$work"
    echo "SKIP: cannot mount a tmpfs here"
    exit 77
fi
trap 'umount "$mnt" 2>/dev/null; rm -rf "$work"' EXIT
. "$(dirname "$0")/faults-lib.sh"

echo "== a full disk: the image file"
img=$mnt/img.json
cp "$fixtures/writes.json" "$img"
mkdir -m 700 "$mnt/run"
dd if=/dev/zero of="$mnt/filler" bs=1k 2>/dev/null
cp "$img" "$work/before.json"
expect "full disk, image" 1 "tunex:  cannot set new value '6': No space left on device" \
    MIB_IMAGE="$img" -- -N w.int=6
cmp -s "$img" "$work/before.json" || fail "full disk: the image changed"
only "$img" "$mnt/filler" "$mnt/run"

echo "== a full disk: the default image's state"
old=$(env -i XDG_RUNTIME_DIR="$mnt/run" "$tunex" -n kern.maxfiles)
expect "full disk, default" 1 "tunex:  cannot set new value '5': No space left on device" \
    XDG_RUNTIME_DIR="$mnt/run" -- -N kern.maxfiles=5
now=$(env -i XDG_RUNTIME_DIR="$mnt/run" "$tunex" -n kern.maxfiles)
[ "$now" = "$old" ] || fail "full disk, default: kern.maxfiles is $now, was $old"
rm -f "$mnt/filler"

echo "== a read-only file system"
mount -o remount,ro "$mnt"
expect "read-only file system" 1 "tunex:  cannot set new value '6': Read-only file system" \
    MIB_IMAGE="$img" -- -N w.int=6
cmp -s "$img" "$work/before.json" || fail "read-only file system: the image changed"
mount -o remount,rw "$mnt"

echo "== a read-only directory, for an ordinary user"
mkdir "$work/ro"
cp "$fixtures/writes.json" "$work/ro/img.json"
chmod 666 "$work/ro/img.json"
chmod 555 "$work/ro"
# w.int may be written by anybody: only the directory refuses.
err=$(env -i LC_ALL=C.UTF-8 MIB_IMAGE="$work/ro/img.json" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$tunex" -N w.int=6 2>&1 >/dev/null)
status=$?
[ "$status" = 1 ] || fail "read-only directory: status $status, expected 1"
[ "$err" = "tunex:  cannot set new value '6': Permission denied" ] ||
    fail "read-only directory: stderr '$err'"
cmp -s "$work/ro/img.json" "$work/before.json" || fail "read-only directory: the image changed"
only "$work/ro/img.json"

echo "== files beside the image and the state are the user's, not leftovers"
beside=$work/beside
mkdir -p "$beside/run"
img=$beside/d.json
cp "$fixtures/writes.json" "$img"
env -i XDG_RUNTIME_DIR="$beside/run" "$tunex" -N kern.maxfiles=1234 >/dev/null
state=$(ls "$beside/run/tunex")
for f in "$img" "$beside/run/tunex/$state"; do
    for suffix in .backup .orig12 .tmp123 .XXXXXX .tunex-abcdef .tunex-Ab12Cd.x; do
        echo mine >"$f$suffix"
    done
done
echo mine >"$beside/.d.json.tunex-Ab1"
cp -a "$beside" "$work/beside.before"
# What a writer killed before its rename left behind goes.
printf torn >"$beside/.d.json.tunex-Ab12Cd"
printf torn >"$beside/run/tunex/.$state.tunex-Ab12Cd"
expect "a write beside the user's files" 0 "" MIB_IMAGE="$img" -- -N w.int=6
expect "a write to the default beside the user's files" 0 "" \
    XDG_RUNTIME_DIR="$beside/run" -- -N kern.maxfiles=1235
diff -r --exclude=d.json --exclude="$state" "$work/beside.before" "$beside" ||
    fail "beside the image and the state: the files above changed"
[ "$(MIB_IMAGE="$img" "$tunex" -n w.int)" = 6 ] || fail "beside the user's files: w.int not written"
[ "$(env -i XDG_RUNTIME_DIR="$beside/run" "$tunex" -n kern.maxfiles)" = 1235 ] ||
    fail "beside the user's files: kern.maxfiles not written"

echo "== concurrent writers lose no update"
mkdir "$work/concurrent"
img=$work/concurrent/img.json
cp "$fixtures/writes.json" "$img"
names="w.int w.zero w.u8 w.s8 w.u16 w.s16 w.s32 w.u32"
pids=()
for name in $names; do
    (for k in $(seq 1 25); do
        MIB_IMAGE="$img" "$tunex" -N "$name=$k" >/dev/null || exit 1
    done) &
    pids+=($!)
done
for pid in "${pids[@]}"; do
    wait "$pid" || fail "a concurrent writer failed"
done
for name in $names; do
    v=$(MIB_IMAGE="$img" "$tunex" -n "$name")
    [ "$v" = 25 ] || fail "concurrent writers: $name is '$v', expected 25"
done
only "$img"

echo "== writers killed with SIGKILL leave a whole image"
mkdir "$work/killed"
img=$work/killed/img.json
cp "$fixtures/writes.json" "$img"
a=$(head -c 3000 /dev/zero | tr '\0' a)
b=$(head -c 3000 /dev/zero | tr '\0' b)
for round in $(seq 1 30); do
    value=$([ $((round % 2)) = 0 ] && echo "$a" || echo "$b")
    MIB_IMAGE="$img" "$tunex" -N "w.str=$value" >/dev/null 2>&1 &
    pid=$!
    sleep "0.00$((RANDOM % 10))"
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    v=$(MIB_IMAGE="$img" "$tunex" -n w.str 2>&1)
    status=$?
    [ "$status" = 0 ] || fail "round $round: the image does not load: $v"
    [ "$v" = old ] || [ "$v" = "$a" ] || [ "$v" = "$b" ] ||
        fail "round $round: w.str is torn: ${v:0:40}..."
done
# The next write clears what killed writers left behind.
MIB_IMAGE="$img" "$tunex" -N w.int=1 >/dev/null || fail "a write after the kills failed"
only "$img"

[ "$failed" = 0 ] && echo "all faults handled"
exit "$failed"
