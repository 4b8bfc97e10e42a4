#!/bin/bash
# Drives the bash completion of tunex the way readline does: sets COMP_LINE,
# COMP_POINT, COMP_WORDS and COMP_CWORD for a command line, calls the
# completion function and compares COMPREPLY with what is expected. The MIB
# names come from a small fixture image through MIB_IMAGE.
#
# Every case runs twice: with the bash-completion package loaded (when it is
# installed) and without it, since the script must work either way.
#
# usage: bash_completion_test.sh TUNEX COMPLETION_SCRIPT IMAGE
# Exits 77 (skipped) when TUNEX cannot list names yet.

if [[ $1 == --run ]]; then
	mode=$2
	shift 2
else
	mode=
fi
tunex=${1:?usage: bash_completion_test.sh TUNEX COMPLETION_SCRIPT IMAGE}
script=${2:?missing completion script}
image=${3:?missing image}

if [[ -z $mode ]]; then
	work=$(mktemp -d) || exit 1
	trap 'rm -rf "$work"' EXIT
	cp "$image" "$work/mini.json" || exit 1
	export MIB_IMAGE=$work/mini.json
	if ! "$tunex" -NI -- kern 2>/dev/null | grep -qx kern.ostype; then
		echo "skipped: '$tunex -NI kern' does not list kern.ostype yet"
		exit 77
	fi
	status=0
	for mode in plain bash-completion; do
		bash "$0" --run "$mode" "$tunex" "$script" "$image" || status=1
	done
	exit $status
fi

if [[ $mode == bash-completion ]]; then
	bc=
	for f in /usr/share/bash-completion/bash_completion /etc/bash_completion; do
		[[ -r $f ]] && bc=$f && break
	done
	if [[ -z $bc ]]; then
		echo "bash-completion not installed: cases run without it only"
		exit 0
	fi
	# shellcheck disable=SC1090
	source "$bc"
fi
# shellcheck disable=SC1090
source "$script" || exit 1

PATH=$(cd "$(dirname "$tunex")" && pwd):$PATH
failures=0
COMPOPT=()

# Records what the completion function asks of compopt, which only works
# inside a real completion.
compopt()
{
	COMPOPT+=("$@")
}

# Splits LINE into COMP_WORDS as readline does: blanks separate words and
# the word-break characters "=" and ":" form words of their own.
split_line()
{
	local line=$1 i c word=
	COMP_WORDS=()
	for ((i = 0; i < ${#line}; i++)); do
		c=${line:i:1}
		case $c in
		' ')
			[[ -n $word ]] && COMP_WORDS+=("$word")
			word=
			;;
		'=' | ':')
			[[ -n $word && $word != [=:]* ]] && COMP_WORDS+=("$word") && word=
			word+=$c
			;;
		*)
			[[ $word == [=:]* ]] && COMP_WORDS+=("$word") && word=
			word+=$c
			;;
		esac
	done
	COMP_WORDS+=("$word")
	COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
}

# complete LINE: runs the completion for the end of LINE and leaves the
# sorted candidates in REPLY_TEXT, one per line.
complete_line()
{
	COMP_LINE=$1
	COMP_POINT=${#COMP_LINE}
	COMP_TYPE=9
	COMP_KEY=9
	split_line "$COMP_LINE"
	COMPREPLY=()
	COMPOPT=()
	local cur=${COMP_WORDS[COMP_CWORD]} prev=
	((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
	_tunex "${COMP_WORDS[0]}" "$cur" "$prev"
	REPLY_TEXT=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort)
}

# expect LINE CANDIDATE...: the completion of LINE offers exactly these.
expect()
{
	local line=$1 want
	shift
	complete_line "$line"
	want=$( (($#)) && printf '%s\n' "$@" | LC_ALL=C sort)
	if [[ $REPLY_TEXT != "$want" ]]; then
		printf '[%s] FAIL: %q\n  want: %s\n  got:  %s\n' "$mode" "$line" \
			"${want//$'\n'/ }" "${REPLY_TEXT//$'\n'/ }"
		((failures++))
	fi
}

# expect_nospace LINE YES|NO: whether the completion keeps the word open.
expect_nospace()
{
	local line=$1 want=$2 got=no
	complete_line "$line"
	[[ " ${COMPOPT[*]} " == *" nospace "* ]] && got=yes
	if [[ $got != "$want" ]]; then
		printf '[%s] FAIL: %q: nospace %s, want %s\n' "$mode" "$line" "$got" "$want"
		((failures++))
	fi
}

# expect_contains LINE CANDIDATE...: the completion offers at least these.
expect_contains()
{
	local line=$1 c
	shift
	complete_line "$line"
	for c; do
		if ! grep -qxF -- "$c" <<<"$REPLY_TEXT"; then
			printf '[%s] FAIL: %q does not offer %s\n' "$mode" "$line" "$c"
			((failures++))
		fi
	done
}

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cp "$image" "$work/mini.json" || exit 1
export MIB_IMAGE=$work/mini.json
mkdir "$work/files" && touch "$work/files/requests.conf" "$work/files/other.conf"

# Top level: every first component, the first top-level object included,
# and a subtree whose only object is flagged SKIP.
expect 'tunex ' debug. dev. hw. kern. vm.
expect 'tunex k' kern.
expect_nospace 'tunex k' yes
expect 'tunex x' 

# Level by level below a node.
expect 'tunex kern.' kern.ipc. kern.maxfiles kern.osreldate kern.osrelease kern.ostype
expect 'tunex kern.os' kern.osreldate kern.osrelease kern.ostype
expect 'tunex kern.osrel' kern.osreldate kern.osrelease
expect 'tunex kern.ostype' kern.ostype
expect_nospace 'tunex kern.ostype' no
expect 'tunex kern.ipc.' kern.ipc.maxsockbuf kern.ipc.somaxconn
expect 'tunex vm.s' vm.stats.
expect_nospace 'tunex vm.s' yes
expect 'tunex vm.stats.sys.' vm.stats.sys.v_swtch
expect 'tunex dev.cpu.0.' 'dev.cpu.0.%desc'
expect 'tunex debug.' debug.hidden
expect 'tunex nosuch.' 
expect 'tunex kern.ostype.' 

# Names after options and their arguments, and several names in a row.
expect 'tunex -d kern.os' kern.osreldate kern.osrelease kern.ostype
expect 'tunex -B 64 kern.os' kern.osreldate kern.osrelease kern.ostype
expect 'tunex -s : hw.' hw.machine hw.ncpu
expect 'tunex --libxo json -d hw.n' hw.ncpu
expect 'tunex --libxo=json hw.n' hw.ncpu
expect 'tunex kern.maxfiles=5 hw.m' hw.machine
expect "$tunex hw.m" hw.machine

# The names are read as text whatever libxo's settings in the environment.
export LIBXO_OPTIONS=json
expect 'tunex kern.ipc.' kern.ipc.maxsockbuf kern.ipc.somaxconn
expect 'tunex h' hw.
unset LIBXO_OPTIONS

# Values are not completed.
expect 'tunex kern.maxfiles=' 
expect 'tunex kern.maxfiles=6' 

# Options, only before the first name.
expect_contains 'tunex -' -A -a -B -b -D -d -e -F -f -G -g -H -h -i -I -J -j -k \
	-L -l -m -N -n -O -o -P -p -q -r -S -s -T -t -u -V -v -W -w -X -x -y -z --libxo
complete_line 'tunex -'
if [[ $(wc -l <<<"$REPLY_TEXT") -ne 43 ]]; then
	printf '[%s] FAIL: tunex - offers %s\n' "$mode" "${REPLY_TEXT//$'\n'/ }"
	((failures++))
fi
expect_contains 'tunex -d -' -a -z --libxo
expect 'tunex --l' --libxo
expect 'tunex kern.ostype -' 
expect 'tunex -d -- -' 

# Option arguments: files after -f, nothing after the others.
cd "$work/files" || exit 1
expect 'tunex -f ' other.conf requests.conf
expect 'tunex -f req' requests.conf
expect 'tunex -af req' requests.conf
expect 'tunex -f requests.conf -d kern.os' kern.osreldate kern.osrelease kern.ostype
expect 'tunex -fx kern.i' kern.ipc.
cd - >/dev/null || exit 1
expect 'tunex -B ' 
# Jails: those of the kernel in use.
expect 'tunex -j ' web
expect 'tunex -d -j w' web
expect 'tunex -j x' 
expect 'tunex -r ' 
expect 'tunex --libxo ' html json json,pretty text xml xml,pretty
expect 'tunex --libxo j' json json,pretty
expect 'tunex --libxo=x' xml xml,pretty

if ((failures)); then
	echo "[$mode] $failures failures"
	exit 1
fi
echo "[$mode] all cases pass"
