#!/usr/bin/env bash
# Images against limited memory and files that are not images: under
# `ulimit -v`, a load, a failed load and a write of a 30 MB image either
# work within three times the file's size in address space or stop with
# "FILE: Cannot allocate memory" and status 1, the image untouched; a FIFO
# or a pipe as the image is refused at once. Every run is bounded by
# `timeout`.
# Usage: memory-limits.sh TUNEX
set -u
tunex=$(realpath "$1")
work=$(mktemp -d /tmp/tunex-memory.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0

# An image of N integers under kern, about 160 bytes each.
python3 - "$work/img.json" 200000 <<'PY'
import sys
n = int(sys.argv[2])
with open(sys.argv[1], "w") as out:
    out.write('{"modules": ["oidlens"], "objects": [\n{"oid": [1], "name": "kern", "type": "node"}')
    for i in range(1, n + 1):
        out.write(',\n{"oid": [1, %d], "name": "kern.k%d", "type": "integer", "flags": ["RD", "WR"], '
                  '"description": "object number %d of a large image", "value": %d}' % (i, i, i, i))
    out.write('\n]}\n')
PY
img=$work/img.json
cp "$img" "$work/orig.json"
size_kib=$(( $(stat -c %s "$img") / 1024 ))
# The same image with a syntax error at its very end.
head -c -3 "$img" > "$work/broken.json"
echo ']]}' >> "$work/broken.json"

# check NAME STATUS STDERR LIMIT_KIB IMAGE ARGS...: runs tunex on IMAGE
# under the memory limit and checks its status and standard error.
check() {
    local name=$1 status=$2 err=$3 limit=$4 image=$5
    shift 5
    local got_err got_status
    got_err=$( (ulimit -v "$limit"; MIB_IMAGE=$image timeout 20 "$tunex" "$@" 2>&1 >/dev/null) )
    got_status=$?
    if [ "$got_status" != "$status" ] || [ "$got_err" != "$err" ]; then
        echo "FAIL: $name: status $got_status, stderr '$got_err' (expected $status, '$err')"
        failed=1
    fi
}

# The address space a load needs: the text, the arenas reserved from its
# size, and the program itself (resident: about 1.4 times the file, as the
# text read is given back while it is parsed).
room=$(( 3 * size_kib + 32768 ))
check "load within three times the file" 0 "" $room "$img" kern.k5
check "load in a third of the file" 1 "tunex: $img: Cannot allocate memory" \
    $(( size_kib / 3 + 32768 )) "$img" kern.k5
check "a broken image fails on its error" 1 \
    "tunex: $work/broken.json:200003:2: expected ',' or '}'" $room "$work/broken.json" kern.k5
cmp -s "$img" "$work/orig.json" || { echo "FAIL: a failed load changed the image"; failed=1; }
check "a write within the same room" 0 "" $room "$img" kern.k5=7
sed 's/"value": 5}/"value": 7}/' "$work/orig.json" | cmp -s - "$img" ||
    { echo "FAIL: the write changed more than the value"; failed=1; }

# Neither a FIFO nor a pipe is waited on.
mkfifo "$work/fifo"
check "a FIFO" 1 "tunex: $work/fifo: not a regular file" unlimited "$work/fifo" kern.ostype
check "a pipe" 1 "tunex: /dev/fd/63: not a regular file" unlimited /dev/fd/63 kern.ostype \
    63< <(cat "$work/orig.json")

[ "$failed" = 0 ] && echo "memory limits: all passed"
exit "$failed"
