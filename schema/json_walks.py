#!/usr/bin/env python3
"""Checks every JSON walk of tunex against the published schema.

Runs tunex over the default image in each option combination that changes
the shape of its JSON, over a generated image of 10,000 objects with every
formatter, and over a /proc/sys-style tree; each document must be UTF-8,
hold no object with a key twice (parsers keep only the last one) and
validate against the schema. The XML of the same walks must be well formed.
Exits 77 (a skip) when python3-jsonschema is not installed.

    json_walks.py TUNEX SCHEMA GEN_IMAGE FIXTURES
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed")
    sys.exit(77)

TUNEX, SCHEMA, GEN_IMAGE, FIXTURES = sys.argv[1:5]

# Option sets over the default image: each property, each value option,
# -I's nesting, -r's root, named requests and their mix.
DEFAULT_RUNS = [
    ["-a"], ["-a", "-d"], ["-a", "-t"], ["-a", "-F"], ["-a", "-G"], ["-a", "-g"],
    ["-a", "-O"], ["-a", "-L"], ["-a", "-H"], ["-a", "-l"], ["-a", "-D"],
    ["-a", "-o"], ["-a", "-x"], ["-a", "-b"], ["-a", "-h"], ["-a", "-u"],
    ["-a", "-D", "-x"], ["-a", "-D", "-b"], ["-a", "-D", "-o"], ["-a", "-D", "-h"],
    ["-a", "-D", "-x", "-u"], ["-a", "-I", "-D"], ["-a", "-x", "-g"],
    ["-r", "machine", "-a", "-D"],
    ["kern", "hw.pagesizes", "machdep", "vm.phys_free", "debug.witness.fullgraph"],
    ["-D", "-x", "kern.cp_time", "hw.pagesizes", "machdep.efi_map"],
]
GENERATED_RUNS = [["-a"], ["-a", "-D"], ["-a", "-t", "-h"], ["-a", "-x"], ["-a", "-o"],
                  ["-a", "-b"], ["-a", "-D", "-x", "-u"]]
PROCFS_RUNS = [["-a"], ["-a", "-D"], ["-a", "-x"], ["-a", "-b"], ["-a", "-D", "-x", "-u"]]


def no_duplicates(pairs):
    seen = set()
    for key, _ in pairs:
        if key in seen:
            raise ValueError("key %r twice in one object" % key)
        seen.add(key)
    return dict(pairs)


def build_tree(fixture, root):
    """Builds the /proc/sys-style tree that FIXTURE describes (see
    tests/e2e/procfs-run.sh for its format) under ROOT."""
    with open(fixture) as lines:
        for line in lines:
            fields = line.rstrip("\n").split(" ", 2)
            if not fields[0] or fields[0].startswith("#"):
                continue
            path = os.path.join(root, fields[1])
            if fields[0] == "dir":
                os.makedirs(path, exist_ok=True)
                continue
            if fields[0] == "link":
                os.makedirs(os.path.dirname(path), exist_ok=True)
                os.symlink(fields[2], path)
                continue
            os.makedirs(os.path.dirname(path), exist_ok=True)
            text = fields[2] if len(fields) > 2 else ""
            data = text.encode("latin-1").decode("unicode_escape").encode("latin-1")
            with open(path, "wb") as out:
                out.write(data)
            os.chmod(path, int(fields[0], 8))


def main():
    with open(SCHEMA) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    failures = 0
    checked = 0

    def check(image, args):
        nonlocal failures, checked
        env = dict(os.environ, LC_ALL="C.UTF-8")
        env.pop("MIB_IMAGE", None)
        if image is not None:
            env["MIB_IMAGE"] = image
        what = "%s: tunex %s" % (image or "default", " ".join(args))
        for style in ("json", "xml"):
            run = subprocess.run([TUNEX, "--libxo", style] + args, env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            try:
                text = run.stdout.decode("utf-8")
                if style == "xml":
                    ET.fromstring("<root>" + text + "</root>")
                    continue
                document = json.loads(text, object_pairs_hook=no_duplicates)
                errors = sorted(validator.iter_errors(document), key=lambda e: list(e.path))
                if errors:
                    raise ValueError("%s at %s" % (errors[0].message[:300],
                                                   "/".join(map(str, errors[0].path))))
                checked += 1
            except (ValueError, ET.ParseError) as error:
                failures += 1
                print("FAIL %s (%s): %s" % (what, style, error))

    work = tempfile.mkdtemp()
    try:
        for args in DEFAULT_RUNS:
            check(None, args)
        # Writes on a copy, since they change the image.
        image = os.path.join(work, "writes.json")
        shutil.copy(os.path.join(FIXTURES, "writes.json"), image)
        check(image, ["w.ints=7,8,9"])
        check(image, ["-D", "w.ints=1,2"])

        image = os.path.join(work, "generated.json")
        subprocess.run([sys.executable, GEN_IMAGE, "--objects", "10000", "--seed", "1",
                        "-o", image], check=True)
        for args in GENERATED_RUNS:
            check(image, args)

        tree = os.path.join(work, "tree")
        build_tree(os.path.join(FIXTURES, "procfs-tree.txt"), tree)
        for args in PROCFS_RUNS:
            check(tree, args)
    finally:
        shutil.rmtree(work)
    print("%d JSON documents valid, %d failures" % (checked, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
