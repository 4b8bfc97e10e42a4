#!/usr/bin/env bash
# Builds the Debian package from a release tree and checks that it installs
# and runs on this machine: the package's metadata and file list, lintian
# (no error or warning), the hardening of the binary (hardening-check, from
# devscripts), tunex -v and one request from the installed binary, the
# manual page, the documentation and the completions in place; then removes
# the package again.
#
# Needs root for dpkg -i (CI runs as root). With --build-only it stops after
# building and inspecting the .deb, which needs no root.
#
# Environment: TUNEX_PKG_BUILD_DIR (default build/pkg), TUNEX_PKG_BUILD_TYPE
# (default Release), TUNEX_JOBS (default the number of processors),
# TUNEX_WERROR (ON makes compiler warnings errors; default OFF).
set -euo pipefail
cd "$(dirname "$0")/.."

build_only=0
case "${1-}" in
--build-only) build_only=1 ;;
"") ;;
*)
	echo "usage: $0 [--build-only]" >&2
	exit 2
	;;
esac

build=${TUNEX_PKG_BUILD_DIR:-build/pkg}
build_type=${TUNEX_PKG_BUILD_TYPE:-Release}
jobs=${TUNEX_JOBS:-$(nproc)}
version=$(sed -n 's/^project(tunex VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
prefix=/usr
files=(
	"$prefix/sbin/tunex"
	"$prefix/share/man/man8/tunex.8.gz"
	"$prefix/share/bash-completion/completions/tunex"
	"$prefix/share/zsh/vendor-completions/_tunex"
	"$prefix/share/tunex/tunex.schema.json"
	"$prefix/share/doc/tunex/README.md"
	"$prefix/share/doc/tunex/FORMAT.md"
	"$prefix/share/doc/tunex/copyright"
	"$prefix/share/doc/tunex/changelog.gz"
)

fail() {
	echo "check-package: $*" >&2
	exit 1
}

if [ "$build_only" -eq 0 ] && [ "$(id -u)" -ne 0 ]; then
	fail "dpkg -i needs root; run as root, or with --build-only"
fi

echo "-- $build_type build in $build"
changelog_version=$(sed -n '1s/^tunex (\([^)]*\)).*/\1/p' cmake/debian/changelog)
[ "$changelog_version" = "$version" ] ||
	fail "cmake/debian/changelog starts with version '$changelog_version', the project is $version"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" -DTUNEX_TESTS=OFF \
	-DTUNEX_WERROR="${TUNEX_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j "$jobs"
rm -f "$build"/tunex_*.deb
(cd "$build" && cpack -G DEB)

debs=("$build"/tunex_"$version"*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no tunex_$version*.deb in $build"
deb=${debs[0]}
echo "-- $deb"

# Metadata: name, version, section, and what it depends on.
dpkg-deb --info "$deb"
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = tunex ] || fail "package name is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "version is '$(field Version)', want $version"
[ "$(field Section)" = admin ] || fail "section is '$(field Section)'"
[ -n "$(field Maintainer)" ] || fail "no maintainer"
[ -n "$(field Description)" ] || fail "no description"

# Contents: each file at its usual place.
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
for f in "${files[@]}"; do
	grep -q " \.$f\$" <<<"$contents" || fail "the package lacks $f"
done

# lintian: nothing at error or warning level (informational tags and
# pedantic ones are left out, as Debian's own checks leave them).
if command -v lintian >/dev/null; then
	echo "-- lintian"
	lintian --fail-on error,warning --display-level '>=warning' "$deb" ||
		fail "lintian reports errors or warnings on $deb"
elif [ -n "${CI-}" ]; then
	fail "lintian is not installed (scripts/deps.sh --test installs it)"
fi

# The hardening Debian 12's build flags give: stack protector, fortified
# libc calls, PIE (ASLR), read-only relocations and immediate binding (its
# dpkg-buildflags adds neither stack clash protection nor control flow
# integrity: control flow integrity is not asked for, and stack clash
# protection counts as unknown, which passes).
if command -v hardening-check >/dev/null; then
	echo "-- hardening-check"
	unpacked=$(mktemp -d)
	dpkg-deb -x "$deb" "$unpacked"
	hardening-check --nocfprotection "$unpacked$prefix/sbin/tunex" || {
		rm -rf "$unpacked"
		fail "hardening-check finds protections missing from tunex"
	}
	rm -rf "$unpacked"
elif [ -n "${CI-}" ]; then
	fail "hardening-check is not installed (scripts/deps.sh --test installs devscripts)"
fi

if [ "$build_only" -eq 1 ]; then
	echo "-- built and inspected; not installed (--build-only)"
	exit 0
fi

installed() {
	[[ $(dpkg-query -W -f='${Status}' tunex 2>/dev/null) == *" installed" ]]
}
if installed; then
	fail "a tunex package is installed already; remove it first (dpkg -r tunex)"
fi

cleanup() {
	if installed; then
		dpkg -r tunex >/dev/null || true
	fi
}
trap cleanup EXIT

echo "-- dpkg -i"
dpkg -i "$deb"

for f in "${files[@]}"; do
	[ -f "$f" ] || fail "$f is not installed"
done
dpkg -L tunex

# The installed binary runs, also with its embedded default image. The
# environment is cleared of the image setting and writes would go to a
# private runtime directory, although nothing here writes.
runtime=$(mktemp -d)
run() { env -u MIB_IMAGE XDG_RUNTIME_DIR="$runtime" "$prefix/sbin/tunex" "$@"; }
out=$(run -v) || fail "tunex -v failed"
[ "$out" = "tunex $version" ] || fail "tunex -v printed '$out'"
echo "$out"
out=$(run kern.ostype) || fail "tunex kern.ostype failed"
[ "$out" = "kern.ostype: FreeBSD" ] || fail "tunex kern.ostype printed '$out'"
echo "$out"
rm -rf "$runtime"

# The manual page renders, and the completions load.
if command -v mandoc >/dev/null; then
	# Read it all before looking: grep -q would stop the pipe early, which
	# pipefail takes for a failure of mandoc.
	rendered=$(mandoc -Tascii "$prefix/share/man/man8/tunex.8.gz") ||
		fail "mandoc cannot read the installed manual page"
	# apropos finds tunex by the words of this NAME line.
	grep -qF 'get or set kernel state (sysctl MIB)' <<<"$rendered" ||
		fail "the installed manual page does not render its NAME line"
fi
bash -c "source '$prefix/share/bash-completion/completions/tunex' && complete -p tunex" ||
	fail "the bash completion does not load"
if command -v zsh >/dev/null; then
	zsh -n "$prefix/share/zsh/vendor-completions/_tunex" || fail "the zsh completion does not parse"
fi

echo "-- dpkg -r"
dpkg -r tunex
trap - EXIT
for f in "${files[@]}"; do
	[ ! -e "$f" ] || fail "$f is still there after dpkg -r"
done
echo "check-package: tunex $version builds, installs, runs and uninstalls"
