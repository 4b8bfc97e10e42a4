#!/usr/bin/env python3
"""Writes a MIB image (mib/FORMAT.md) of any size for the benchmarks.

The image looks like a large FreeBSD machine: the usual top-level nodes,
subtrees 2 to 6 levels deep with dynamic OIDs, and leaves in roughly the mix
of a real MIB (mostly int and string, then the unsigned and 64-bit widths,
arrays, IK temperatures, the opaque structures the program formats, packed
name/value lists, opaque values it does not format), plus a few objects
flagged SKIP and a few whose reads fail. The output is the same for the same
seed and size, so figures taken on different days compare.

    gen_image.py --objects 100000 --seed 1 -o big.json

The count is exact: the image lists that many objects, nodes included.
"""

import argparse
import json
import random
import sys

TOP = [  # name, OID, weight of the remaining objects it receives
    ("sysctl", 0, 0), ("kern", 1, 18), ("vm", 2, 8), ("vfs", 3, 6), ("net", 4, 20),
    ("debug", 5, 6), ("hw", 6, 8), ("machdep", 7, 3), ("user", 8, 1),
    ("dev", 0x100, 24), ("security", 0x101, 3), ("compat", 0x102, 1),
    ("kstat", 0x103, 2),
]

WORDS = (
    "acpi cpu cx freq temperature coretemp tjmax ifnet inet inet6 tcp udp ip "
    "icmp stats pcb hash cc rack bbr sack ecn mss rexmt keepidle drop route "
    "zfs arc l2arc prefetch txg vdev pool dbuf dmu zio vnode buf cache dirty "
    "nfs client server sched topology smp threads cores steal preempt ipi "
    "uma zone malloc kmem pages wired inactive laundry free active swap "
    "pager domain phys order pool usb uhub ehci xhci ahci ada cam scsi nvme "
    "ns queue intr msix irq em igb ix re vtnet bge iflib tx rx ring desc "
    "packets bytes errors drops mcast bcast crc align geom label part disk "
    "md mirror eli raid jail allow param mount devfs ufs softdep dirhash "
    "timecounter hardware choice tick hz stathz profhz kstack shm sem msg "
    "pf pfsync carp bpf if_bridge lagg vlan tun tap epair netisr dispatch "
    "random harvest fortuna entropy crypto aesni ipsec tls ktls ocf ".split()
)
DEV_DRIVERS = "cpu pci pcib em igb ix re ahci ada nvme uhub xhci usbus hdac acpi_tz atkbd psm uart vtnet".split()
DESC_WORDS = (
    "number of maximum minimum current total enable disable packets bytes "
    "allocated free pages size limit threshold timeout interval count the "
    "for in on per of queue buffer cache table entries retransmit received "
    "sent dropped errors statistics default tunable kernel memory interface "
    "device driver firmware temperature frequency level state mode".split()
)
LABELS = ["cpu", "domain", "queue", "irq", "device", "port", "ring"]
READ_ERRORS = ["EPERM", "EIO", "ENXIO", "EOPNOTSUPP"]

# Leaf kinds with weights; about the proportions of a FreeBSD 14 MIB.
KINDS = [
    ("int", 46), ("string", 18), ("uint", 7), ("uint64", 7), ("ulong", 5),
    ("long", 1), ("bool", 3), ("int_array", 2), ("long_array", 1),
    ("ik", 3), ("ik_array", 0.5), ("small_ints", 1.5), ("big_string", 0.4),
    ("opaque_struct", 1.2), ("opaque_map", 0.15), ("nvlist", 0.5),
    ("opaque_other", 1.5), ("hex_int", 0.3),
]


class Gen:
    def __init__(self, seed):
        self.r = random.Random(seed)
        self.objects = []
        kinds, weights = zip(*KINDS)
        self.kinds, self.weights = kinds, weights

    # --- names and metadata -------------------------------------------------

    def word(self):
        return self.r.choice(WORDS)

    def description(self):
        if self.r.random() < 0.15:
            return None
        n = self.r.randint(2, 9)
        text = " ".join(self.r.choice(DESC_WORDS) for _ in range(n))
        return text[0].upper() + text[1:]

    def flags(self, parent_name, writable_share=0.4):
        f = ["RD"]
        r = self.r.random
        if r() < writable_share:
            f.append("WR")
        if r() < 0.97:
            f.append("MPSAFE")
        if r() < 0.10:
            f.append("CAPRD")
        if "WR" in f and r() < 0.18:
            f.append("TUN")
        if parent_name.startswith("net.") and r() < 0.25:
            f.append("VNET")
        if r() < 0.01:
            f.append("STATS")
        if r() < 0.01:
            f.append("PRISON")
        if r() < 0.003:
            f.append("SKIP")
        return f

    def add(self, obj):
        self.objects.append(obj)

    # --- values --------------------------------------------------------------

    def leaf(self, oid, name, parent_name, dyn):
        r = self.r
        kind = r.choices(self.kinds, self.weights)[0]
        o = {"oid": oid, "name": name}
        flags = self.flags(parent_name)
        if dyn:
            flags.append("DYN")
        if kind == "int":
            o.update(type="integer", format="I", value=self.num(-2**31, 2**31 - 1, small=True))
        elif kind == "hex_int":
            o.update(type="integer", format="IX", value=r.randint(0, 2**31 - 1))
        elif kind == "bool":
            o.update(type="integer", format="B", value=r.randint(0, 1))
        elif kind == "uint":
            t = r.choice(["unsigned integer", "uint32_t"])
            o.update(type=t, format="IU", value=self.num(0, 2**32 - 1, small=True))
        elif kind == "uint64":
            o.update(type="uint64_t", format="QU", value=self.num(0, 2**64 - 1))
        elif kind == "ulong":
            o.update(type="unsigned long", format="LU", value=self.num(0, 2**64 - 1))
        elif kind == "long":
            o.update(type="long integer", format="L", value=self.num(-2**63, 2**63 - 1))
        elif kind == "small_ints":
            t, fmt, lo, hi = r.choice([
                ("uint8_t", "CU", 0, 255), ("int8_t", "C", -128, 127),
                ("uint16_t", "SU", 0, 65535), ("int16_t", "S16", -32768, 32767),
                ("int32_t", "I32", -2**31, 2**31 - 1), ("int64_t", "Q", -2**63, 2**63 - 1),
            ])
            n = 1 if r.random() < 0.7 else r.randint(2, 16)
            vals = [r.randint(lo, hi) for _ in range(n)]
            o.update(type=t, format=fmt, value=vals[0] if n == 1 else vals)
        elif kind == "int_array":
            n = r.choice([2, 3, 4, 8, 16, 32, 64])
            o.update(type="integer", format="I", value=[self.num(-2**31, 2**31 - 1, small=True) for _ in range(n)])
        elif kind == "long_array":
            n = 5 * r.choice([1, 2, 4, 8, 16, 32])  # like kern.cp_times
            o.update(type="long integer", format="L", value=[r.randint(0, 2**40) for _ in range(n)])
        elif kind == "ik":
            fmt = r.choices(["IK", "IK0", "IK3"], [8, 1, 1])[0]
            scale = {"IK": 10, "IK0": 1, "IK3": 1000}[fmt]
            kelvin = 273.15 + r.uniform(20, 95)
            o.update(type="integer", format=fmt, value=int(round(kelvin * scale)))
        elif kind == "ik_array":
            vals = [r.choice([-1, int((273.15 + r.uniform(60, 110)) * 10)]) for _ in range(10)]
            o.update(type="integer", format="IK", value=vals)
        elif kind == "string":
            o.update(type="string", format="A", value=self.text(r.choice([0, 4, 8, 16, 24, 40, 64, 120])))
            if "WR" in flags and r.random() < 0.3:
                o["maxlen"] = 256
        elif kind == "big_string":
            o.update(type="string", format="A", value=self.text(r.choice([512, 1024, 4096])))
        elif kind == "opaque_struct":
            fmt, value = self.structure()
            o.update(type="opaque", format=fmt, value=value)
        elif kind == "opaque_map":
            fmt, value = r.choice([self.efi_map, self.smap])()
            o.update(type="opaque", format=fmt, value=value)
        elif kind == "nvlist":
            o.update(type="opaque", format="NV", value={"nvlist": self.nvpairs(2)})
        elif kind == "opaque_other":
            # Structures the program does not format: -a leaves them out.
            fmt = r.choice(["S,xinpcb", "S,xtcpcb", "S,tcpstat", "S,xfile", "S", ""])
            o.update(type="opaque", format=fmt, value={"hex": self.hexbytes(r.choice([16, 64, 256, 1024]))})
        o["flags"] = flags
        d = self.description()
        if d:
            o["description"] = d
        if r.random() < 0.004:
            o["read_error"] = r.choice(READ_ERRORS)
        return o

    def num(self, lo, hi, small=False):
        r = self.r
        if small or r.random() < 0.6:
            # Most kernel counters and settings are small numbers.
            v = r.choice([0, 1, r.randint(0, 100), r.randint(0, 100000), r.randint(lo, hi)])
        else:
            v = r.randint(lo, hi)
        return max(lo, min(hi, v))

    def text(self, n):
        if n == 0:
            return ""
        out = []
        while sum(len(w) + 1 for w in out) < n:
            out.append(self.r.choice(WORDS))
        return " ".join(out)[:n]

    def hexbytes(self, n):
        return self.r.randbytes(n).hex()

    def structure(self):
        r = self.r
        kind = r.choice(["clockinfo", "timeval", "loadavg", "vmtotal", "pagesizes", "input_id"])
        if kind == "clockinfo":
            v = {"hz": 1000, "tick": 1000, "spare": 0, "profhz": 8128, "stathz": 127}
        elif kind == "timeval":
            v = {"sec": r.randint(1_600_000_000, 1_800_000_000), "usec": r.randint(0, 999_999)}
        elif kind == "loadavg":
            v = {"ldavg": [r.randint(0, 8192) for _ in range(3)], "fscale": 2048}
        elif kind == "vmtotal":
            keys = ["t_vm", "t_avm", "t_rm", "t_arm", "t_vmshr", "t_avmshr", "t_rmshr",
                    "t_armshr", "t_free", "t_rq", "t_dw", "t_pw", "t_sl", "t_sw"]
            v = {k: r.randint(0, 2**31 - 1) if i < 9 else r.randint(0, 300) for i, k in enumerate(keys)}
        elif kind == "pagesizes":
            v = [4096, 2097152, 1073741824]
        else:
            v = {"bustype": r.choice([3, 0x11, 0x19]), "vendor": r.randint(0, 65535),
                 "product": r.randint(0, 65535), "version": r.randint(0, 65535)}
        return "S," + kind, {kind: v}

    def efi_map(self):
        r = self.r
        descs, phys = [], 0
        for _ in range(r.randint(8, 40)):
            pages = r.randint(1, 0x10000)
            descs.append({"type": r.randint(0, 14), "phys": phys,
                          "virt": 0, "pages": pages,
                          "attr": r.choice(["0xf", "0x800000000000000f", "0x8000000000000001"])})
            phys += pages * 4096
        return "S,efi_map_header", {"efi_map": {"descriptor_size": 48, "descriptor_version": 1,
                                                "descriptors": descs}}

    def smap(self):
        r = self.r
        entries, base = [], 0
        for _ in range(r.randint(6, 30)):
            length = r.randint(1, 0x100000) * 4096
            entries.append({"base": base, "length": length, "type": r.randint(1, 5), "xattr": 1})
            base += length
        return "S,bios_smap_xattr", {"smap": entries}

    def nvpairs(self, depth):
        r = self.r
        pairs = []
        for i in range(r.randint(2, 8)):
            name = "%s%d" % (r.choice(WORDS), i)
            t = r.choice(["null", "bool", "number", "string", "binary", "bool_array",
                          "number_array", "string_array"] + (["nvlist"] if depth > 0 else []))
            if t == "null":
                v = None
            elif t == "bool":
                v = r.random() < 0.5
            elif t == "number":
                v = r.randint(0, 2**53)
            elif t == "string":
                v = self.text(r.randint(1, 40))
            elif t == "binary":
                v = self.hexbytes(r.randint(1, 32))
            elif t == "bool_array":
                v = [r.random() < 0.5 for _ in range(r.randint(1, 6))]
            elif t == "number_array":
                v = [r.randint(0, 2**32) for _ in range(r.randint(1, 6))]
            elif t == "string_array":
                v = [self.text(r.randint(1, 16)) for _ in range(r.randint(1, 4))]
            else:
                v = self.nvpairs(depth - 1)
            pair = {"name": name, "type": t}
            if v is not None:
                pair["value"] = v
            pairs.append(pair)
        return pairs

    # --- the tree ------------------------------------------------------------

    def node(self, oid, name, parent_name, dyn, handler=False):
        o = {"oid": oid, "name": name, "type": "node", "format": "N",
             "flags": ["RD", "MPSAFE"] + (["WR"] if self.r.random() < 0.3 else []) + (["DYN"] if dyn else [])}
        d = self.description()
        if d:
            o["description"] = d
        if self.r.random() < 0.03:
            o["label"] = self.r.choice(LABELS)
        if handler:
            o["handler"] = True
        return o

    def fill(self, oid, name, depth, budget, dyn, used=None, next_static=1):
        """Adds exactly BUDGET objects below the node OID/NAME at DEPTH.
        USED holds child names already taken; static OIDs start at
        NEXT_STATIC."""
        r = self.r
        used = set(used or ())
        next_dyn = 0x100
        while budget > 0:
            # Children of dynamic nodes are dynamic; elsewhere a mix.
            # Static OIDs stay below 0x100, where dynamic ones begin.
            child_dyn = dyn or next_static >= 0x100 or r.random() < 0.15
            if child_dyn:
                num, next_dyn = next_dyn, next_dyn + 1
            else:
                num, next_static = next_static, next_static + 1
            child_name = self.child_name(name, depth, used)
            cname = name + "." + child_name
            coid = oid + [num]
            # A node needs room for at least one child and must leave its
            # children at depth 6 or less.
            make_node = depth + 1 < 6 and budget >= 3 and (
                (depth == 1 and r.random() < 0.5) or r.random() < 0.12)
            if make_node:
                sub = min(budget - 1, max(2, int(r.paretovariate(1.2) * 6)))
                if depth == 1:
                    sub = min(budget - 1, max(sub, budget // r.randint(3, 12)))
                self.add(self.node(coid, cname, name, child_dyn))
                self.fill(coid, cname, depth + 1, sub, child_dyn)
                budget -= sub + 1
            else:
                self.add(self.leaf(coid, cname, name, child_dyn))
                budget -= 1

    def child_name(self, parent, depth, used):
        r = self.r
        if parent.startswith("dev") and depth <= 2 and r.random() < 0.6:
            base = r.choice(DEV_DRIVERS) if depth == 1 else str(r.randint(0, 63))
        elif r.random() < 0.1:
            base = r.choice(["%desc", "%driver", "%location", "%pnpinfo", "%parent"])
        else:
            base = r.choice(WORDS) if r.random() < 0.7 else "%s_%s" % (r.choice(WORDS), r.choice(WORDS))
        name, i = base, 0
        while name in used:
            i += 1
            name = "%s%d" % (base, i)
        used.add(name)
        return name


def fixed_objects():
    """The objects every image has: the meta-OIDs under sysctl, which the -a
    walk leaves out like the first top-level object of a real MIB, and a few
    well-known objects, so that requests by name always work."""
    meta = [{"oid": [0, i + 1], "name": "sysctl." + n, "type": "node", "format": "N",
             "flags": ["RD", "MPSAFE", "CAPRD"], "handler": True}
            for i, n in enumerate(["name", "next", "name2oid", "oidfmt", "oiddescr", "oidlabel",
                                   "nextnoskip"])]
    meta[2].update(type="integer", format="I",
                   flags=["RD", "WR", "ANYBODY", "MPSAFE", "CAPRD", "CAPWR"])
    return meta + [
        {"oid": [1, 1], "name": "kern.ostype", "type": "string", "format": "A",
         "flags": ["RD", "MPSAFE", "CAPRD"], "description": "Operating system type", "value": "FreeBSD"},
        {"oid": [1, 2], "name": "kern.osrelease", "type": "string", "format": "A",
         "flags": ["RD", "MPSAFE", "CAPRD"], "description": "Operating system release", "value": "14.2-RELEASE"},
        {"oid": [1, 12], "name": "kern.clockrate", "type": "opaque", "format": "S,clockinfo",
         "flags": ["RD", "MPSAFE"], "description": "Rate and period of various kernel clocks",
         "value": {"clockinfo": {"hz": 1000, "tick": 1000, "spare": 0, "profhz": 8128, "stathz": 127}}},
        {"oid": [1, 21], "name": "kern.boottime", "type": "opaque", "format": "S,timeval",
         "flags": ["RD", "MPSAFE"], "description": "System boottime",
         "value": {"timeval": {"sec": 1733912345, "usec": 412345}}},
        {"oid": [2, 2], "name": "vm.loadavg", "type": "opaque", "format": "S,loadavg",
         "flags": ["RD", "MPSAFE"], "description": "Machine loadaverage history",
         "value": {"loadavg": {"ldavg": [246, 369, 307], "fscale": 2048}}},
        {"oid": [6, 5], "name": "hw.physmem", "type": "unsigned long", "format": "LU",
         "flags": ["RD", "MPSAFE", "CAPRD"], "description": "Amount of physical memory (in bytes)",
         "value": 17111699456},
    ]


def generate(count, seed):
    g = Gen(seed)
    fixed = fixed_objects()
    if count < len(TOP) + len(fixed) + 1:
        raise SystemExit("gen_image: at least %d objects" % (len(TOP) + len(fixed) + 1))
    rest = count - len(TOP) - len(fixed)
    total_w = sum(w for _, _, w in TOP)
    shares = [rest * w // total_w for _, _, w in TOP]
    shares[-1] += rest - sum(shares)
    fixed_parents = {}
    for o in fixed:
        fixed_parents.setdefault(o["oid"][0], []).append(o)
    for (name, num, _), share in zip(TOP, shares):
        top = g.node([num], name, "", num >= 0x100)
        if num == 0:
            top.update(flags=["RD", "WR", "MPSAFE"], description="Sysctl internal magic")
        g.add(top)
        mine = fixed_parents.get(num, [])
        for o in mine:
            g.add(o)
        # Keep generated children clear of the fixed ones' OIDs and names.
        g.fill([num], name, 1, share, num >= 0x100,
               used={o["name"].split(".")[1] for o in mine}, next_static=100 if mine else 1)
    assert len(g.objects) == count, (len(g.objects), count)
    return {"modules": ["oidlens"], "securelevel": -1,
            "jails": [{"name": "web", "jid": 1, "vnet": False}],
            "objects": g.objects}


def write(image, out):
    # One object per line: an error message's line number names the object.
    out.write('{"modules": %s, "securelevel": %d, "jails": %s,\n"objects": [\n' % (
        json.dumps(image["modules"]), image["securelevel"], json.dumps(image["jails"])))
    objs = image["objects"]
    for i, o in enumerate(objs):
        out.write(json.dumps(o, separators=(",", ":")))
        out.write(",\n" if i + 1 < len(objs) else "\n")
    out.write("]}\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--objects", "-n", type=int, default=1000, help="number of objects (default 1000)")
    ap.add_argument("--seed", "-s", type=int, default=1, help="random seed (default 1)")
    ap.add_argument("--output", "-o", help="output file (default standard output)")
    args = ap.parse_args()
    image = generate(args.objects, args.seed)
    if args.output:
        with open(args.output, "w") as f:
            write(image, f)
    else:
        write(image, sys.stdout)


if __name__ == "__main__":
    main()
