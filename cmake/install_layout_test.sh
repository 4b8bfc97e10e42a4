#!/bin/sh
# Installs a build with `cmake --install` under /usr and under /usr/local
# (into a scratch DESTDIR) and checks that each file lands where Debian's
# tools, man(1), bash-completion and zsh's default fpath look for it under
# that prefix.
#
# usage: install_layout_test.sh CMAKE BUILD_DIR SCRATCH_DIR
set -eu
cmake=$1 build=$2 scratch=$3

common="sbin/tunex
share/man/man8/tunex.8.gz
share/bash-completion/completions/tunex
share/tunex/tunex.schema.json
share/doc/tunex/README.md
share/doc/tunex/FORMAT.md
share/doc/tunex/copyright
share/doc/tunex/changelog.gz"

# check PREFIX ZSH_DIR: zsh looks in ZSH_DIR for the completions of PREFIX.
check() {
	prefix=$1 zsh_dir=$2
	rm -rf "$scratch"
	DESTDIR=$scratch "$cmake" --install "$build" --prefix "$prefix" >/dev/null
	for f in $common "$zsh_dir/_tunex"; do
		[ -f "$scratch$prefix/$f" ] || {
			echo "cmake --install --prefix $prefix put no $prefix/$f"
			exit 1
		}
	done
	echo "--prefix $prefix: $(echo $common | tr '\n' ' ') $zsh_dir/_tunex"
}

check /usr share/zsh/vendor-completions
check /usr/local share/zsh/site-functions
rm -rf "$scratch"
