#!/bin/sh
# Runs case files against a fake /proc/sys built from a fixture, since the
# tree needs directories, file modes and links that a case file cannot
# make. For each case file: two fresh trees in a temporary directory, one
# marked as a kernel's tree ("@TREE@" in the file, written by the cases)
# and one plain ("@PLAIN@", which tunex must never write), then the
# ordinary end-to-end runner. Afterwards the plain tree and the file that
# the fixture's links point out to must hold what they began with, byte
# for byte.
#
#   procfs-run.sh RUNNER TUNEX FIXTURE CASEFILE...
set -eu
runner=$1 tunex=$2 fixture=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Runs as nobody must reach the tree.
chmod 755 "$work"
status=0
. "$(dirname "$0")/procfs-build.sh"
for cases in "$@"; do
    printf 'outside the tree\n' >"$work/outside"
    mkdir -p "$work/outdir"
    printf '1\n' >"$work/outdir/leaf"
    build "$work/tree"
    touch "$work/tree/.tunex-kernel"
    build "$work/plain"
    build "$work/plain.orig"
    name=$(basename "$cases")
    sed -e "s|@TREE@|$work/tree|g" -e "s|@PLAIN@|$work/plain|g" "$cases" >"$work/$name"
    "$runner" --binary "$tunex" --fixtures "$(dirname "$fixture")" "$work/$name" || status=1
    if ! diff -r --no-dereference "$work/plain.orig" "$work/plain"; then
        echo "$name: the plain tree changed" >&2
        status=1
    fi
    if [ "$(cat "$work/outside" "$work/outdir/leaf")" != "$(printf 'outside the tree\n1')" ]; then
        echo "$name: a file outside the tree changed" >&2
        status=1
    fi
done
exit $status
