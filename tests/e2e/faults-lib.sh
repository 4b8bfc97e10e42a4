# Helpers of the fault scripts, sourced after $tunex is set.
failed=0

fail() {
    echo "FAIL: $*"
    failed=1
}

# The user that expect runs tunex as: empty for the caller, or a user name
# (with the group nogroup and no other groups).
as=

# expect NAME STATUS STDERR -- ENV... -- ARG...: runs tunex with ENV and
# the arguments, and checks its status and standard error (each line of
# STDERR is one line of tunex's). Leaves the standard output in $out. A run
# that hangs is stopped after 20 seconds (status 124).
expect() {
    local name=$1 status=$2 err=$3
    shift 3
    local envs=()
    while [ "$1" != "--" ]; do envs+=("$1"); shift; done
    shift
    local user=()
    [ -z "$as" ] || user=(setpriv --reuid="$as" --regid=nogroup --clear-groups)
    local errfile got_err got_status
    errfile=$(mktemp)
    out=$(env -i LC_ALL=C.UTF-8 PATH=/usr/bin:/bin "${envs[@]}" \
        timeout 20 "${user[@]}" "$tunex" "$@" 2>"$errfile")
    got_status=$?
    got_err=$(cat "$errfile")
    rm -f "$errfile"
    [ "$got_status" = "$status" ] || fail "$name: status $got_status, expected $status"
    [ "$got_err" = "$err" ] || fail "$name: stderr '$got_err', expected '$err'"
}

# same NAME FILE COPY: FILE still holds, byte for byte, what COPY holds.
same() {
    cmp -s "$2" "$3" || fail "$1: $2 changed"
}

# only FILE...: the directory of the first file holds exactly these files.
only() {
    local dir want got
    dir=$(dirname "$1")
    want=$(for f in "$@"; do basename "$f"; done | sort | tr '\n' ' ')
    got=$(ls -A "$dir" | sort | tr '\n' ' ')
    [ "$got" = "$want" ] || fail "files left in $dir: '$got', expected '$want'"
}
