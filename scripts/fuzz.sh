#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan and UBSan) and runs every
# fuzzer for a bounded time: the first argument in seconds each (default
# 60), one job each, one after another. New inputs go to a scratch corpus,
# never into the checked-in seeds. Fails when a fuzzer finds a crash, a
# leak or a timeout, and keeps what it found in build/fuzz/findings; the
# last lines give the executions of every target.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${TUNEX_FUZZ_BUILD_JOBS:-$(nproc)}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

build=build/fuzz
# target  binary  seed corpus
targets="
image        fuzz/image_fuzz                         fuzz/corpus/image
nv_unpack    platform/nv/nv_unpack_fuzz              fuzz/corpus/nv_unpack
nv_display   fuzz/nv_display_fuzz                    fuzz/corpus/nv_display
special      fuzz/special_fuzz                       fuzz/corpus/special
formatters   fuzz/formatters_fuzz                    fuzz/corpus/formatters
numbers      fuzz/numbers_fuzz                       fuzz/corpus/numbers
request      fuzz/request_fuzz                       fuzz/corpus/request
xo_format    platform/xo/fuzz/xo_format_fuzz         platform/xo/fuzz/corpus
"

work=$(mktemp -d "${TMPDIR:-/tmp}/tunex-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
findings=$build/findings
rm -rf "$findings"
summary=""
failed=0
while read -r name binary seeds; do
    [ -n "$name" ] || continue
    mkdir -p "$work/$name" "$findings/$name"
    echo "== fuzzing $name for ${seconds}s"
    # -jobs=1 runs the fuzzer in one child that logs to fuzz-0.log in the
    # current directory; the artifacts say what it found.
    status=0
    (cd "$work" && ASAN_OPTIONS=detect_leaks=1 \
        "$OLDPWD/$build/$binary" -jobs=1 -workers=1 -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$OLDPWD/$findings/$name/" \
        "$work/$name" "$OLDPWD/$seeds" >"$work/$name.out" 2>&1) || status=$?
    log="$work/fuzz-0.log"
    [ -f "$log" ] || log="$work/$name.out"
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    [ -n "$execs" ] || execs=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#' || true)
    mv "$log" "$findings/$name/fuzz.log"
    found=$(find "$findings/$name" -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' | wc -l)
    if [ "$found" -gt 0 ] || [ "$status" -ne 0 ]; then
        echo "FAIL $name: status $status, $found finding(s) in $findings/$name"
        grep -m 20 -E 'ERROR|SUMMARY|runtime error|#0 |#1 |#2 ' "$findings/$name/fuzz.log" || true
        failed=1
    fi
    summary+=$(printf '%-12s %12s executions  %s' "$name" "${execs:-?}" "$([ "$found" -gt 0 ] && echo "$found finding(s)" || echo clean)")$'\n'
done <<<"$targets"

echo "== fuzzers: ${seconds}s each"
printf '%s' "$summary"
exit $failed
