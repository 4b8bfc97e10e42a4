#!/bin/sh
# Runs case files against a fake /proc/sys built from a fixture, since the
# tree needs directories and file modes that a case file cannot make. For
# each case file: a fresh tree in a temporary directory, "@TREE@" in the
# file replaced by its path, then the ordinary end-to-end runner.
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
for cases in "$@"; do
    tree=$work/tree
    rm -rf "$tree"
    mkdir -p "$tree"
    while read -r mode path text; do
        case $mode in
        '#'* | '') continue ;;
        dir) mkdir -p "$tree/$path"; continue ;;
        esac
        mkdir -p "$tree/$(dirname "$path")"
        printf '%b' "$text" >"$tree/$path"
        chmod "$mode" "$tree/$path"
    done <"$fixture"
    name=$(basename "$cases")
    sed "s|@TREE@|$tree|g" "$cases" >"$work/$name"
    "$runner" --binary "$tunex" --fixtures "$(dirname "$fixture")" "$work/$name" || status=1
done
exit $status
