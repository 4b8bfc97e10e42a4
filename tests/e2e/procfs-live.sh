#!/bin/sh
# The walk of the live kernel's parameters (/proc/sys, or the tree given):
# every parameter listed, nothing crashes, and the JSON and XML documents
# are valid for real parsers. Values change under us, so this checks the
# structure, not the text.
#
#   procfs-live.sh TUNEX [ROOT]
set -eu
tunex=$1 root=${2:-/proc/sys}
if [ ! -d "$root/kernel" ]; then
    echo "SKIP: no /proc/sys-style tree at $root"
    exit 77
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export MIB_IMAGE="$root"

# Reads may fail (write-only files, values the kernel refuses to show);
# a crash or a message on stderr may not.
for run in "text:-a" "names:-aN" "json:-a --libxo json" \
    "props:-a -u -d -t -F -G -l --libxo json" "xml:-a --libxo xml"; do
    name=${run%%:*} args=${run#*:}
    set +e
    # shellcheck disable=SC2086
    "$tunex" $args >"$out/$name" 2>"$out/$name.err"
    status=$?
    set -e
    if [ "$status" -ge 128 ] || [ -s "$out/$name.err" ]; then
        echo "FAIL: tunex $args: status $status"
        cat "$out/$name.err"
        exit 1
    fi
done

python3 - "$root" "$out" <<'PY'
import json, os, sys, xml.dom.minidom
root, out = sys.argv[1], sys.argv[2]
def read(name):
    return open(os.path.join(out, name), encoding="utf-8").read()

# The names Linux's sysctl would show: components joined by ".", a "."
# inside a component shown as "/".
# Leaves, and empty directories: nodes without children show like leaves.
def shown(path):
    rel = os.path.relpath(path, root)
    return ".".join(c.replace(".", "/") for c in rel.split(os.sep))
files = set()
for d, dirs, names in os.walk(root):
    files.update(shown(os.path.join(d, n)) for n in names)
    if not dirs and not names:
        files.add(shown(d))
listed = set(read("names").splitlines())
assert listed == files, "-aN differs: missing %s, unknown %s" % (
    sorted(files - listed)[:5], sorted(listed - files)[:5])

doc = json.loads(read("json"))
objects = doc["tree"]
assert objects and all("name" in o and "value" in o for o in objects), "objects without name or value"
props = json.loads(read("props"))["tree"]
assert {o["name"] for o in props} == files, "-a -u does not list every parameter"
for o in props:
    assert (o["type"], o["format"]) in (("long integer", "L"), ("unsigned long", "LU"),
                                        ("string", "A"), ("node", "N")), o

xml.dom.minidom.parseString("<root>" + read("xml") + "</root>")
text = read("text")
assert text.count("\n") >= len(objects), "text walk shorter than the JSON one"
print("ok: %d parameters, %d readable, text, JSON and XML walks" % (len(files), len(objects)))
PY
