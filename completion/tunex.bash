# bash completion for tunex(8).
#
# Completes the option letters (and files after -f), and MIB names level by
# level, asking tunex itself for them: `tunex -NI NODE` lists the names of
# the subtree under NODE, and `tunex -aNIkS` every name of the MIB, so the
# names come from the kernel that tunex talks to (MIB_IMAGE passes through
# the environment). Inner nodes are offered with a trailing dot and no
# space, leaves with a space. After -j, `tunex -P` gives the jail names.
#
# bash hands a completion function the command line from the command word
# on (COMP_LINE, COMP_WORDS): a MIB_IMAGE=... written before tunex never
# reaches it. Only an exported MIB_IMAGE is followed in bash.
#
# Works with and without the bash-completion package.

# The option letters of tunex; a colon follows those that take an argument.
_tunex_optstring='AaB:bDdeFf:GgHhiIJj:kLlmNnOoPpqr:Ss:TtuVvWwXxyz'

# Prints the option letter whose argument is the next word when WORD is an
# option cluster such as "-f" or "-af"; prints nothing otherwise (also for
# "-fFILE", whose argument is attached).
_tunex_argument_letter()
{
	local word=$1 i c
	[[ $word == -?* && $word != --* ]] || return 0
	for ((i = 1; i < ${#word}; i++)); do
		c=${word:i:1}
		if [[ $_tunex_optstring == *"$c:"* ]]; then
			((i == ${#word} - 1)) && printf '%s\n' "$c"
			return 0
		fi
	done
}

# Prints the program to ask for names: the command word as typed (a path,
# with ~ expanded), or tunex when the word names no program.
_tunex_command()
{
	local tunex=$1
	if [[ $tunex == */* ]]; then
		tunex=${tunex/#\~/$HOME}
	elif ! type -P -- "$tunex" >/dev/null; then
		tunex=tunex
	fi
	printf '%s\n' "$tunex"
}

# Prints the MIB names that complete CUR: the children of the node before
# CUR's last dot, or the top-level names when CUR has no dot. Inner nodes
# end with a dot.
_tunex_mib_names()
{
	local tunex=$1 cur=$2 node='' prefix=''
	if [[ $cur == *.* ]]; then
		node=${cur%.*}
		prefix=$node.
	fi
	# Plain text whatever the user's libxo settings say.
	(
		unset LIBXO_OPTIONS
		if [[ -n $node ]]; then
			"$tunex" -NI -- "$node" 2>/dev/null
		else
			"$tunex" -aNIkS 2>/dev/null
		fi
	) | awk -v prefix="$prefix" -v cur="$cur" '
		substr($0, 1, length(prefix)) == prefix {
			rest = substr($0, length(prefix) + 1)
			if (rest == "")
				next
			dot = index(rest, ".")
			if (dot) {
				inner[substr(rest, 1, dot - 1)] = 1
			} else {
				leaf[rest] = 1
			}
		}
		END {
			for (c in inner)
				if (substr(prefix c ".", 1, length(cur)) == cur)
					print prefix c "."
			for (c in leaf)
				if (!(c in inner) && substr(prefix c, 1, length(cur)) == cur)
					print prefix c
		}' | LC_ALL=C sort
}

_tunex()
{
	local cur prev cword
	local -a words
	if declare -F _get_comp_words_by_ref >/dev/null 2>&1; then
		# Words break where readline breaks them, at "=" too, so that
		# what is offered is what readline replaces.
		_get_comp_words_by_ref cur prev words cword
	else
		words=("${COMP_WORDS[@]}")
		cword=$COMP_CWORD
		cur=${COMP_WORDS[COMP_CWORD]}
		prev=${COMP_WORDS[COMP_CWORD - 1]}
	fi
	COMPREPLY=()

	# The word being completed may be a value: name=value, or the argument
	# of --libxo=, split off at the "=" by COMP_WORDBREAKS. When "=" is no
	# word break, the whole word holds it.
	if [[ $cur == = || $prev == = ]]; then
		if [[ $cur == = ]]; then
			prev=${words[cword - 1]}
			cur=
		else
			prev=${words[cword - 2]}
		fi
		if [[ $prev == --libxo ]]; then
			mapfile -t COMPREPLY < <(compgen -W 'text xml json html xml,pretty json,pretty' -- "$cur")
		fi
		return 0
	fi
	if [[ $cur == --libxo=* ]]; then
		mapfile -t COMPREPLY < <(compgen -P --libxo= -W 'text xml json html xml,pretty json,pretty' -- "${cur#--libxo=}")
		return 0
	fi
	if [[ $cur == *=* ]]; then
		return 0
	fi

	# Options are parsed up to the first name (or "--"); after it every word
	# is a name. libxo's options may stand anywhere.
	local i w letter options=1
	for ((i = 1; i < cword; i++)); do
		w=${words[i]}
		if [[ $w == --libxo ]]; then
			[[ ${words[i + 1]-} == = ]] && ((i++))
			((i++))
		elif [[ $w == --libxo* ]]; then
			:
		elif ((options)) && [[ $w == -- ]]; then
			options=0
		elif ((options)) && [[ $w == -?* ]]; then
			letter=$(_tunex_argument_letter "$w")
			[[ -n $letter ]] && ((i++))
		else
			options=0
		fi
	done

	if [[ $prev == --libxo ]]; then
		mapfile -t COMPREPLY < <(compgen -W 'text xml json html xml,pretty json,pretty' -- "$cur")
		return 0
	fi
	if ((options)); then
		letter=$(_tunex_argument_letter "$prev")
		case $letter in
		f)
			compopt -o filenames 2>/dev/null
			mapfile -t COMPREPLY < <(compgen -f -- "$cur")
			return 0
			;;
		j)
			# The jails of the kernel in use (network namespaces
			# with the live Linux kernel), as tunex -P lists them.
			mapfile -t COMPREPLY < <(compgen -W "$("$(_tunex_command "${words[0]}")" -P 2>/dev/null)" -- "$cur")
			return 0
			;;
		?)
			return 0
			;;
		esac
		if [[ $cur == -* ]]; then
			local -a opts=(--libxo)
			for ((i = 0; i < ${#_tunex_optstring}; i++)); do
				letter=${_tunex_optstring:i:1}
				[[ $letter == : ]] || opts+=("-$letter")
			done
			mapfile -t COMPREPLY < <(compgen -W "${opts[*]}" -- "$cur")
			return 0
		fi
	fi

	mapfile -t COMPREPLY < <(_tunex_mib_names "$(_tunex_command "${words[0]}")" "$cur")
	# A single inner node stays open for its next level.
	if ((${#COMPREPLY[@]} == 1)) && [[ ${COMPREPLY[0]} == *. ]]; then
		compopt -o nospace 2>/dev/null
	fi
	return 0
}

complete -F _tunex tunex
