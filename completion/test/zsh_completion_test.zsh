#!/usr/bin/env zsh
# Drives the zsh completion of tunex through a real completion: for each
# case an interactive zsh on a pseudo-terminal loads compinit and _tunex,
# gets a command line followed by a TAB, and reports every match that
# completion adds (with its suffix) before it exits. The MIB names come
# from a small fixture image through MIB_IMAGE.
#
# usage: zsh_completion_test.zsh TUNEX COMPLETION_DIR IMAGE
# Exits 77 (skipped) when TUNEX cannot list names yet.

emulate -L zsh
setopt err_return no_unset pipe_fail

tunex=${1:?usage: zsh_completion_test.zsh TUNEX COMPLETION_DIR IMAGE}
compdir=${2:a}
image=$3
tunex=${tunex:a}

work=$(mktemp -d)
trap 'rm -rf -- $work' EXIT
cp -- $image $work/mini.json
export MIB_IMAGE=$work/mini.json
names=$($tunex -NI -- kern 2>/dev/null) || true
if (( ! ${${(f)names}[(Ie)kern.ostype]} )); then
  print "skipped: '$tunex -NI kern' does not list kern.ostype yet"
  exit 77
fi
mkdir $work/files && touch $work/files/requests.conf $work/files/other.conf
# A second machine, for a MIB_IMAGE=... written before the command.
print -r -- '{"modules": ["oidlens"], "jails": [{"name": "db", "jid": 4, "vnet": false}],
 "objects": [{"oid": [9, 1], "name": "other.leaf", "type": "integer", "flags": ["RD"],
              "format": "I", "value": 1}]}' > $work/other.json
path=(${tunex:h} $path)
export PATH

zmodload zsh/zpty

# The start-up of the shell under test: completion on TAB, and a compadd
# that reports each match it adds as "@@ WORD SUFFIX" and a line "@@end"
# when the completion is over, after which the shell exits.
cat > $work/zshrc <<EOF
PROMPT='> '
fpath=(${(q)compdir} \$fpath)
autoload -U compinit && compinit -u -d ${(q)work}/zcompdump
bindkey '^I' complete-word
zstyle ':completion:*' insert-tab false
compadd() {
  local -a __hits __suffix
  if (( \$@[(I)-[OAD]] )); then
    builtin compadd "\$@"
    return
  fi
  builtin compadd -O __hits "\$@"
  zparseopts -E -a __suffix S:
  local __h
  for __h in \$__hits; do
    print -r -- "@@ \$__h \${__suffix[2]-}"
  done
  builtin compadd "\$@"
}
__report_end() { print -r -- "@@end"; exit }
comppostfuncs=(__report_end)
print -r -- "@@ready"
EOF

# Each case runs in a fresh shell, so no state carries over.
run_case() {
  local line=$1 out= chunk
  integer waited=0
  zpty tz "zsh -f -i"
  zpty -w tz "source ${(q)work}/zshrc; cd ${(q)work}/files"
  # Wait for the start-up to finish before typing the line.
  while [[ $out != *@@ready* ]]; do
    if zpty -rt tz chunk; then out+=$chunk; else sleep 0.05; (( ++waited < 400 )) || break; fi
  done
  out=
  zpty -w -n tz "$line"$'\t'
  waited=0
  while [[ $out != *@@end* ]]; do
    if zpty -rt tz chunk; then out+=$chunk; else sleep 0.05; (( ++waited < 400 )) || break; fi
  done
  zpty -d tz
  [[ $out == *@@end* ]] || { print -r -- "no completion for: $line"; return 1 }
  local -a got
  local l
  for l in ${(f)out//$'\r'/}; do
    [[ $l == *'@@ '* ]] && got+=(${l##*@@ })
  done
  print -rl -- ${(o)got}
}

integer failures=0

# expect LINE MATCH...: completing LINE offers exactly these matches, each
# written "WORD SUFFIX" (an inner node's suffix is ".").
expect() {
  local line=$1; shift
  local got want
  got=$(run_case $line) || true
  want=$(print -rl -- ${(o)@})
  if [[ $got != $want ]]; then
    print -r -- "FAIL: $line"
    print -r -- "  want: ${(f)want}"
    print -r -- "  got:  ${(f)got}"
    (( ++failures ))
  fi
}

# expect_contains LINE MATCH...: completing LINE offers at least these.
expect_contains() {
  local line=$1; shift
  local got m
  got=$(run_case $line) || true
  for m; do
    if ! print -r -- $got | grep -qxF -- $m; then
      print -r -- "FAIL: $line does not offer '$m'"
      (( ++failures ))
    fi
  done
}

expect 'tunex ' 'debug .' 'dev .' 'hw .' 'kern .' 'vm .'
expect 'tunex kern.' 'kern.ipc .' 'kern.maxfiles ' 'kern.osreldate ' 'kern.osrelease ' 'kern.ostype '
expect 'tunex kern.osrel' 'kern.osreldate ' 'kern.osrelease '
expect 'tunex vm.stats.sys.' 'vm.stats.sys.v_swtch '
expect 'tunex dev.cpu.0.' 'dev.cpu.0.%desc '
expect 'tunex -d -B 16 hw.n' 'hw.ncpu '
expect 'tunex kern.ostype hw.m' 'hw.machine '
expect 'tunex nosuch.'
expect 'tunex kern.maxfiles='
expect 'tunex -f req' 'requests.conf '
expect 'tunex -j ' 'web '
expect "MIB_IMAGE=$work/other.json tunex " 'other .'
expect "MIB_IMAGE=$work/other.json tunex other." 'other.leaf '
expect "MIB_IMAGE=$work/other.json tunex -j " 'db '
expect "MIB_IMAGE=$work/other.json true; tunex h" 'hw .'
expect_contains 'tunex -' '-a ' '-z ' '-f '

if (( failures )); then
  print "$failures failures"
  exit 1
fi
print "all cases pass"
