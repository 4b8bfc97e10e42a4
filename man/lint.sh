#!/bin/sh
# Lints a manual page with mandoc at its default level (style hints
# included) and fails on any message, except those that depend on which
# other manual pages this machine has installed: the cross-references to
# FreeBSD's libxo(3), sysctl(3) and xo_options(7) exist on FreeBSD only.
# Exits 77, the test's skip code, when mandoc is not installed.
page=${1:?usage: lint.sh PAGE}
if ! command -v mandoc >/dev/null 2>&1; then
	echo "mandoc not found: install it (Debian package mandoc) to lint $page"
	exit 77
fi
out=$(mandoc -Tlint "$page" 2>&1)
status=$?
out=$(printf '%s\n' "$out" | sed -e 's/mandoc: outdated mandoc\.db.*$//' |
	grep -v -e 'STYLE: referenced manual not found' -e '^$')
if [ -n "$out" ] || { [ "$status" -ne 0 ] && [ "$status" -ne 1 ]; }; then
	printf '%s\n' "$out"
	echo "mandoc -Tlint reported problems in $page (status $status)"
	exit 1
fi
echo "$page: clean"
