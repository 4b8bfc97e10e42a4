#!/bin/sh
# A snapshot (the JSON of `tunex --libxo json -aDgIkRSu`) loads back as an
# image of the same machine: for the embedded default, a generated image,
# the fixtures of every formatter and shape, and a fake /proc/sys, taking
# the snapshot again from it gives the same bytes, every kind of walk shows
# the same as on the original, and after a write the file (now in the image
# form) is still that machine. Damaged snapshots are refused with the file
# and the place.
#
#   snapshot.sh TUNEX SOURCE_DIR
set -eu
tunex=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Writes of the default go to a state file there, never the user's.
export XDG_RUNTIME_DIR="$work"
fixture=$src/tests/fixtures/procfs-tree.txt
. "$src/tests/e2e/procfs-build.sh"
build "$work/procfs"
python3 "$src/bench/gen_image.py" -n 400 -s 7 -o "$work/generated.json"
status=0
fail() {
    echo "$*" >&2
    status=1
}
snap="--libxo json -aDgIkRSu"
# Each source, and a write of a value it already has: a write turns the
# snapshot into the image form, which must still be the same machine.
while IFS='|' read -r source write; do
    name=${source:-default}
    MIB_IMAGE=$source "$tunex" $snap >"$work/snap.json" || fail "$name: taking the snapshot failed"
    MIB_IMAGE=$work/snap.json "$tunex" $snap >"$work/again.json" || fail "$name: the snapshot does not load"
    cmp -s "$work/snap.json" "$work/again.json" || fail "$name: the snapshot of the snapshot differs"
    for walk in "-a" "-a -d -t -F -G -O" "-a -o" "-a -h" "-a -x" "-aDgIkSu" "--libxo xml -a -D"; do
        MIB_IMAGE=$source "$tunex" $walk >"$work/original" 2>&1 || true
        MIB_IMAGE=$work/snap.json "$tunex" $walk >"$work/loaded" 2>&1 || true
        diff "$work/original" "$work/loaded" >"$work/diff" || fail "$name: tunex $walk differs:
$(head -20 "$work/diff")"
    done
    [ -n "$write" ] || continue
    MIB_IMAGE=$work/snap.json "$tunex" "$write" >/dev/null || fail "$name: tunex $write failed"
    grep -q '"objects"' "$work/snap.json" || fail "$name: the write left a snapshot"
    MIB_IMAGE=$work/snap.json "$tunex" $snap >"$work/written.json"
    cmp -s "$work/again.json" "$work/written.json" || fail "$name: the written image differs:
$(diff "$work/again.json" "$work/written.json" | head -c 2000)"
done <<SOURCES
|kern.maxfiles=522207
$work/generated.json|
$src/tests/fixtures/formatted-values.json|
$src/tests/fixtures/shapes.json|
$work/procfs|zone=1
SOURCES

# Damaged or foreign snapshots: the message names the file and the place.
MIB_IMAGE='' "$tunex" $snap >"$work/good.json"
head -c 2000 "$work/good.json" >"$work/cut.json"
sed 's/"handler":"Defined"/"handler":"yes"/' "$work/good.json" >"$work/handler.json"
sed 's/"flags-raw":[0-9]*,//' "$work/good.json" >"$work/noflags.json"
sed '0,/"OID":"1.1"/s//"OID":"1.x"/' "$work/good.json" >"$work/oid.json"
MIB_IMAGE='' "$tunex" --libxo json -aDgIkSu >"$work/rendered.json"
printf '{"tree": [], "modules": []}' >"$work/mixed.json"
printf '{"tree": [], "objects": []}' >"$work/both.json"
node='"OID":"1","name":"kern","type":"node","format":"N","flags-raw":2147483648,"handler":"Undefined"'
printf '{"tree": [1]}' >"$work/scalar.json"
printf '{"tree": [{%s,"children":[]}]}' "$node" >"$work/children.json"
printf '{"tree": [{%s,"children":{"object":[]},"x":1}]}' "$node" >"$work/after.json"
while IFS='|' read -r file message; do
    if MIB_IMAGE=$work/$file "$tunex" -a >/dev/null 2>"$work/err"; then
        fail "$file: loaded"
    elif [ "$(cat "$work/err")" != "tunex: $work/$file$message" ]; then
        fail "$file: got '$(cat "$work/err")', not '$message'"
    fi
done <<'CASES'
cut.json|:1:2001: unterminated string
handler.json|: object 'sysctl.name': handler must be "Defined" or "Undefined"
noflags.json|: object 'sysctl': missing 'flags-raw' (a snapshot is taken with -g)
oid.json|: object 'kern.ostype': the OID must be decimal components joined by dots
rendered.json|: object 'sysctl.name': a value must be a dump (a snapshot is taken with -R)
mixed.json|: a snapshot has no key but 'tree'
both.json|: a snapshot has no key but 'tree'
scalar.json|: a snapshot's tree holds objects
children.json|: object 'kern': children must hold a list 'object'
after.json|: object 'kern': 'children' must be its last member
CASES
exit $status
