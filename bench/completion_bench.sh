#!/usr/bin/env bash
# Measures one TAB of the shell completions of tunex on a large MIB image:
# for each command line, the wall time and the CPU time (user and system,
# the shell's and its children's: tunex, awk) from the TAB to the end of the
# completion, the median of several TABs, in bash (the completion function
# called as readline calls it) and in zsh (a real interactive zsh on a
# pseudo-terminal, with compinit, from the TAB to the end of the completion
# widget). On a loaded machine the CPU time is the figure that compares.
#
#   bench/completion_bench.sh [--tunex PATH] [--completion DIR] [--objects N]
#                             [--runs N]
#
# Defaults: build/release/tunex, completion/ of this tree, 100,000 objects
# (bench/gen_image.py, seed 1), 5 runs. Prints a markdown table.
#
# Other engineers build at the same time on two cores: the wall times are
# only as quiet as the machine.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

tunex=$root/build/release/tunex
compdir=$root/completion
objects=100000
runs=5
while [ $# -gt 0 ]; do
	case $1 in
	--tunex) tunex=$2; shift ;;
	--completion) compdir=$2; shift ;;
	--objects) objects=$2; shift ;;
	--runs) runs=$2; shift ;;
	*)
		echo "usage: $0 [--tunex PATH] [--completion DIR] [--objects N] [--runs N]" >&2
		exit 2
		;;
	esac
	shift
done
tunex=$(cd "$(dirname "$tunex")" && pwd)/$(basename "$tunex")
compdir=$(cd "$compdir" && pwd)
[ -x "$tunex" ] || {
	echo "$0: no tunex at $tunex (cmake --preset release && cmake --build --preset release)" >&2
	exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$here/gen_image.py" --objects "$objects" --seed 1 -o "$work/image.json"
export MIB_IMAGE=$work/image.json
export PATH=$(dirname "$tunex"):$PATH

lines=('tunex ' 'tunex k' 'tunex dev.' 'tunex kern.' 'tunex dev.pcib.' 'tunex -j ')

# bash: one call of the completion function per run, timed in the shell.
bash_ms() {
	bash -c '
		source "$1"
		line=$2 runs=$3
		read -ra COMP_WORDS <<<"$line"
		[[ $line == *" " ]] && COMP_WORDS+=("")
		COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
		COMP_LINE=$line COMP_POINT=${#line}
		compopt() { :; }
		# cpu: the CPU milliseconds of this shell and its children so far.
		cpu() {
			times >"$4/times"
			cpu_ms=$(tr -s "ms \n" "   " <"$4/times" |
				awk "{ for (i = 1; i < NF; i += 2) t += \$i * 60000 + \$(i + 1) * 1000; print int(t) }")
		}
		for ((i = 0; i < runs; i++)); do
			cpu; c0=$cpu_ms
			start=$EPOCHREALTIME
			_tunex tunex "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
			end=$EPOCHREALTIME
			cpu
			echo "$(((${end/./} - ${start/./}) / 1000)) $((cpu_ms - c0)) ${#COMPREPLY[@]}"
		done' bash "$compdir/tunex.bash" "$1" "$runs" "$work"
}

# zsh: a fresh interactive zsh per run; the time runs from the TAB to the
# end of the completion widget.
zsh_ms() {
	zsh -f -c '
		zmodload zsh/zpty zsh/datetime
		compdir=$1 line=$2 runs=$3 work=$4
		cat > $work/zshrc <<EOF
PROMPT="> "
fpath=($compdir \$fpath)
autoload -U compinit && compinit -u -d $work/zcompdump
bindkey "^I" complete-word
zstyle ":completion:*" insert-tab false
__count=0
compadd() { local -a __h; builtin compadd -O __h "\$@"; (( __count += \$#__h )); builtin compadd "\$@" }
__cpu() { times >| $work/ztimes; local t=\$(<$work/ztimes); t=(\${=\${t//[ms\$'\\n']/ }}); integer -g __c=\$(( (t[1]+t[3]+t[5]+t[7])*60000 + (t[2]+t[4]+t[6]+t[8])*1000 )) }
__report_end() { __cpu; print -r -- "@@end \$__count \$(( __c - __cpu0 ))"; exit }
zle-line-init() { __cpu; __cpu0=\$__c }
zle -N zle-line-init
comppostfuncs=(__report_end)
print -r -- "@@ready"
EOF
		for ((i = 0; i < runs; i++)); do
			zpty tz "zsh -f -i"
			zpty -w tz "source $work/zshrc"
			out=
			while [[ $out != *@@ready* ]]; do zpty -rt tz chunk && out+=$chunk || sleep 0.01; done
			out=
			start=$EPOCHREALTIME
			zpty -w -n tz "$line"$'"'"'\t'"'"'
			while [[ $out != *"@@end "*$'"'"'\n'"'"'* ]]; do zpty -rt tz chunk && out+=$chunk || sleep 0.001; done
			end=$EPOCHREALTIME
			zpty -d tz
			fields=(${=${${out##*@@end }%%$'"'"'\r'"'"'*}})
			integer ms=$(( (end - start) * 1000 )) cpu=${fields[2]}
			print -r -- "$ms $cpu ${fields[1]}"
		done' zsh "$compdir" "$1" "$runs" "$work"
}

# median FILE: the medians of the wall and CPU columns, and the matches.
median() {
	local mid
	mid=$((($(wc -l <"$1") + 1) / 2))
	echo "$(cut -d' ' -f1 "$1" | sort -n | sed -n "${mid}p")" \
		"$(cut -d' ' -f2 "$1" | sort -n | sed -n "${mid}p")" \
		"$(cut -d' ' -f3 "$1" | tail -1)"
}

echo "tunex $("$tunex" -v | cut -d' ' -f2), $objects objects, median of $runs TABs"
echo
echo "| command line | matches | bash wall | bash CPU | zsh wall | zsh CPU |"
echo "|---|---:|---:|---:|---:|---:|"
for line in "${lines[@]}"; do
	bash_ms "$line" >"$work/bash"
	zsh_ms "$line" >"$work/zsh"
	read -r bw bc n <<<"$(median "$work/bash")"
	read -r zw zc _ <<<"$(median "$work/zsh")"
	echo "| \`${line}<TAB>\` | $n | $bw ms | $bc ms | $zw ms | $zc ms |"
done
