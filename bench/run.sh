#!/bin/sh
# Builds the bench preset and takes every whole-process figure in one run:
# images of 1,000, 10,000 and 100,000 objects are generated into a temporary
# directory, then hyperfine (wall time), /usr/bin/time (max RSS) and callgrind
# (instructions) measure tunex against them and against the minimal program.
# Prints a markdown table with each bar and whether it holds.
#
#   bench/run.sh                 build, then measure everything
#   bench/run.sh --no-build      measure the binaries already built
#   bench/run.sh --quick         fewer runs, callgrind only where a bar needs it
#   bench/run.sh --profile       also print callgrind_annotate of the walks
#   bench/run.sh --micro         also run the Google Benchmark programs
#   bench/run.sh --no-build --build-dir DIR   measure the binaries of DIR
#   bench/run.sh --keep DIR      keep the images and callgrind files in DIR
#
# Other engineers build at the same time on two cores: the wall times are
# only as quiet as the machine; the instruction counts are not affected.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

build=1
for arg in "$@"; do
    [ "$arg" = "--no-build" ] && build=0
done
if [ "$build" = 1 ]; then
    if ! (cd "$root" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2) >&2; then
        echo "run.sh: the bench preset does not build; measure another build with --no-build --build-dir DIR" >&2
        exit 1
    fi
fi
exec python3 "$here/harness.py" --build-dir "$root/build/bench" "$@"
