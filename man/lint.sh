#!/bin/sh
# Lints a manual page with mandoc and fails on any message of level warning
# or above (style hints are left out). Exits 77, the test's skip code, when
# mandoc is not installed.
page=${1:?usage: lint.sh PAGE}
if ! command -v mandoc >/dev/null 2>&1; then
	echo "mandoc not found: install it (Debian package mandoc) to lint $page"
	exit 77
fi
out=$(mandoc -Tlint -W warning "$page" 2>&1)
status=$?
if [ -n "$out" ] || [ "$status" -ne 0 ]; then
	printf '%s\n' "$out"
	echo "mandoc -Tlint reported problems in $page (status $status)"
	exit 1
fi
echo "$page: clean"
