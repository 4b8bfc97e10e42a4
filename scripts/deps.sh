#!/usr/bin/env bash
# Installs everything the build, the tests, the fuzzers and the benchmarks
# need on a Debian 12 machine. Runs as root (CI) or through sudo.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
    build-essential cmake ninja-build pkgconf git ca-certificates \
    clang clang-format libclang-rt-14-dev \
    libgtest-dev libgmock-dev libbenchmark-dev libffi-dev rapidjson-dev \
    python3 python3-jsonschema mandoc valgrind hyperfine busybox procps iproute2 util-linux \
    bash bash-completion zsh dpkg-dev file
