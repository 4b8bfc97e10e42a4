#!/usr/bin/env bash
# The whole test suite: formatting, the developer build and the
# AddressSanitizer/UndefinedBehaviorSanitizer build with all their tests,
# the fuzzers for a bounded time, and the Debian package (lintian and
# hardening-check included). Compiler warnings are errors throughout (the
# dev, asan and fuzz presets set TUNEX_WERROR). The output ends
# with the test runner's summary of the sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "== clang-format"
files=$(git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | grep -v '/testdata/' || true)
if [ -n "$files" ]; then
    # shellcheck disable=SC2086
    clang-format --dry-run --Werror $files
fi

echo "== developer build"
cmake --preset dev
cmake --build --preset dev -j "$jobs"

echo "== sanitizer build"
cmake --preset asan
cmake --build --preset asan -j "$jobs"

if [ -x scripts/fuzz.sh ]; then
    echo "== fuzzers"
    scripts/fuzz.sh "${TUNEX_FUZZ_SECONDS:-60}"
fi

if [ -x scripts/check-package.sh ]; then
    echo "== package"
    TUNEX_WERROR=ON scripts/check-package.sh
fi

echo "== tests (developer build)"
ctest --preset dev -j "$jobs"

echo "== tests (sanitizer build)"
ctest --preset asan -j "$jobs"
