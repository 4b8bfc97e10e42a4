#!/usr/bin/env bash
# Installs what tunex needs on a Debian 12 machine. Runs as root (CI) or
# through sudo.
#
#   scripts/deps.sh          what building needs (compiler, CMake, Ninja,
#                            RapidJSON's headers)
#   scripts/deps.sh --test   that, and what scripts/test.sh needs: the test
#                            libraries, clang for the fuzzers, the shells
#                            of the completion tests, the package tools
#                            (dpkg-dev, lintian, hardening-check from
#                            devscripts) and the benchmark peers
set -euo pipefail

build_packages=(
    build-essential cmake ninja-build pkgconf rapidjson-dev
)
test_packages=(
    git ca-certificates
    clang clang-format libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev libffi-dev
    python3 python3-jsonschema mandoc valgrind hyperfine busybox procps iproute2 util-linux
    bash bash-completion zsh dpkg-dev file lintian devscripts
)

case "${1-}" in
"") packages=("${build_packages[@]}") ;;
--test) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
*)
    echo "usage: $0 [--test]" >&2
    exit 2
    ;;
esac

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${packages[@]}"
