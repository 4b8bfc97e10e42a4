#!/usr/bin/env python3
"""Takes the whole-process figures of tunex and checks them against the bars.

Run through bench/run.sh, which builds first. Every measurement of one run
is taken side by side on the same machine state:

  - one request on the embedded default (`tunex kern.ostype`) against
    tunex_minimal, a C++ program built with the same flags that prints the
    same line: instructions (callgrind) and wall time (hyperfine);
  - `tunex -a --libxo json` over generated images of 1,000, 10,000 and
    100,000 objects: wall time, max RSS, instructions, and how the cost per
    object grows;
  - the walk of the 100,000-object image in each style (text, xml, json,
    html) against text;
  - loading that image (a single request against it) against walking it.

The images are written to a temporary directory and removed afterwards;
the binary only ever sees those copies, since the kernel stand-in writes
changed values back into its image file.
"""

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import statistics
import tempfile
import time

SIZES = [1000, 10000, 100000]
STYLES = ["text", "xml", "json", "html"]
MIB = 1024 * 1024


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True, **kw).stdout


class Bench:
    def __init__(self, args, tmp):
        self.args = args
        self.tmp = tmp
        self.tunex = os.path.join(args.build_dir, "tunex")
        self.minimal = os.path.join(args.build_dir, "tunex_minimal")
        self.n = 0
        self.notes = []
        # Writes to the embedded default go to a state file in the runtime
        # directory: give the runs an empty one of their own.
        self.env = dict(os.environ)
        self.env["XDG_RUNTIME_DIR"] = os.path.join(tmp, "run")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        self.env.pop("MIB_IMAGE", None)

    def envfor(self, image):
        env = dict(self.env)
        if image:
            env["MIB_IMAGE"] = image
        return env

    def wall(self, cmd, image=None, runs=None):
        """Mean and standard deviation of the wall time in seconds."""
        self.n += 1
        out = os.path.join(self.tmp, "hf%d.json" % self.n)
        opts = ["--warmup", "3", "--min-runs", str(runs or (5 if self.args.quick else 20))]
        subprocess.run(["hyperfine", "-N", "-i", "--style", "none", *opts, "--export-json", out,
                        " ".join(cmd)], check=True, env=self.envfor(image),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            r = json.load(f)["results"][0]
        return r["mean"], r["stddev"], r["min"]

    def interleaved(self, cmds, rounds):
        """Runs each (cmd, image) pair in turn, round after round, so that a
        change of the machine's load (two cores shared with builds) weighs
        on all of them alike. Returns for each its median and minimum wall
        time and its median CPU time (user + system), in seconds: on a busy
        machine the CPU time is the better estimate of the wall time that a
        quiet one would show."""
        devnull = os.open(os.devnull, os.O_WRONLY)
        walls = [[] for _ in cmds]
        cpus = [[] for _ in cmds]
        try:
            for r in range(rounds + 2):
                for i, (cmd, image) in enumerate(cmds):
                    env = self.envfor(image)
                    t0 = time.perf_counter()
                    pid = os.posix_spawn(cmd[0], cmd, env, file_actions=[
                        (os.POSIX_SPAWN_DUP2, devnull, 1), (os.POSIX_SPAWN_DUP2, devnull, 2)])
                    _, _, ru = os.wait4(pid, 0)
                    t = time.perf_counter() - t0
                    if r >= 2:  # the first two rounds warm the caches
                        walls[i].append(t)
                        cpus[i].append(ru.ru_utime + ru.ru_stime)
        finally:
            os.close(devnull)
        return [{"wall": statistics.median(w), "min": min(w), "cpu": statistics.median(c)}
                for w, c in zip(walls, cpus)]

    def rss(self, cmd, image=None):
        """Largest max RSS of three runs, in bytes."""
        best = 0
        for _ in range(3):
            r = subprocess.run(["/usr/bin/time", "-f", "%M", *cmd], env=self.envfor(image),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            best = max(best, int(r.stderr.strip().splitlines()[-1]) * 1024)
        return best

    def instructions(self, cmd, image=None, keep=None):
        """Instructions executed by the whole process, loader included."""
        self.n += 1
        out = keep or os.path.join(self.tmp, "cg%d.out" % self.n)
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, *cmd],
                       env=self.envfor(image), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
        raise RuntimeError("no totals in " + out)

    def output(self, cmd, image=None):
        r = subprocess.run(cmd, env=self.envfor(image), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if r.returncode != 0:
            self.notes.append("`%s`%s exited with status %d: %s" % (
                " ".join(os.path.basename(c) if c == cmd[0] else c for c in cmd),
                " on " + os.path.basename(image) if image else "", r.returncode,
                r.stderr.decode(errors="replace").strip().splitlines()[:1]))
        return r.stdout


def fmt_s(t):
    return "%.1f ms" % (t * 1000) if t < 1 else "%.3f s" % t


def fmt_i(n):
    return "{:,}".format(n)


def verdict(ok):
    return "holds" if ok else "**fails**"


def machine(build_dir):
    lines = ["- date: " + sh(["date", "-u", "+%Y-%m-%d %H:%M UTC"]).strip(),
             "- nproc: " + sh(["nproc"]).strip()]
    for line in sh(["lscpu"]).splitlines():
        key = line.split(":")[0]
        if key in ("Architecture", "Model name", "CPU(s)", "Thread(s) per core", "CPU max MHz",
                   "Hypervisor vendor", "L2 cache", "L3 cache"):
            lines.append("- " + " ".join(line.split()))
    lines.append("- kernel: " + platform.release())
    cc = subprocess.run(["c++", "--version"], stdout=subprocess.PIPE, text=True).stdout.splitlines()
    if cc:
        lines.append("- compiler: " + cc[0])
    src = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    rev = subprocess.run(["git", "-C", src, "log", "-1", "--format=%h %s"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True).stdout.strip()
    lines.append("- measured: %s (source %s%s)" % (build_dir, src, ", commit " + rev if rev else ""))
    try:
        load = open("/proc/loadavg").read().split()[:3]
        lines.append("- load average at start: " + " ".join(load))
    except OSError:
        pass
    return "\n".join(lines)


def top_functions(path, count):
    """The total and the COUNT most expensive functions of a callgrind file."""
    lines = sh(["callgrind_annotate", "--inclusive=no", path]).splitlines()
    total = next((l for l in lines if "PROGRAM TOTALS" in l), "")
    start = next((i for i, l in enumerate(lines) if "file:function" in l), len(lines))
    # C++ template arguments make lines of a thousand characters: cut them.
    top = [l if len(l) <= 160 else l[:157] + "..." for l in lines[start + 2:start + 2 + count]]
    return "\n".join([total, ""] + top)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--profile", action="store_true")
    ap.add_argument("--micro", action="store_true")
    ap.add_argument("--keep", help="keep the images and profiles in this directory")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()

    for tool in ("hyperfine", "valgrind", "/usr/bin/time"):
        if not shutil.which(tool):
            sys.exit("run.sh: '%s' is needed" % tool)
    tmp = args.keep or tempfile.mkdtemp(prefix="tunex-bench.")
    os.makedirs(tmp, exist_ok=True)
    try:
        run(args, tmp)
    finally:
        if not args.keep:
            shutil.rmtree(tmp, ignore_errors=True)


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def run(args, tmp):
    b = Bench(args, tmp)
    here = os.path.dirname(os.path.abspath(__file__))
    for exe in (b.tunex, b.minimal):
        if not os.access(exe, os.X_OK):
            sys.exit("run.sh: '%s' is not built" % exe)

    images = {}
    for n in SIZES:
        path = os.path.join(tmp, "mib-%d.json" % n)
        log("generating %s" % path)
        subprocess.run([sys.executable, os.path.join(here, "gen_image.py"), "--objects", str(n),
                        "--seed", str(args.seed), "--output", path], check=True)
        images[n] = path

    rows = []      # (measure, value, bar, verdict)
    notes = b.notes
    print("## Machine\n\n" + machine(args.build_dir) + "\n")

    # 1. One request on the embedded default against the minimal program.
    log("single request")
    one = [b.tunex, "kern.ostype"]
    mini = [b.minimal]
    got, want = b.output(one), b.output(mini)
    if got != want:
        notes.append("`tunex kern.ostype` printed %r, the minimal program %r" % (got, want))
    ir_one, ir_min = b.instructions(one), b.instructions(mini)
    w_one, w_min = b.wall(one, runs=50), b.wall(mini, runs=50)
    i_one, i_min = b.interleaved([(one, None), (mini, None)], 50 if args.quick else 300)
    r_ir = ir_one / ir_min
    r_w = i_one["wall"] / i_min["wall"]
    r_c = i_one["cpu"] / i_min["cpu"]
    print("## One request on the embedded default\n")
    print("| program | instructions | hyperfine mean ± sd | interleaved median | interleaved min | CPU median |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, ir, w, i in (("tunex_minimal", ir_min, w_min, i_min), ("tunex kern.ostype", ir_one, w_one, i_one)):
        print("| %s | %s | %s ± %s | %s | %s | %s |" % (
            name, fmt_i(ir), fmt_s(w[0]), fmt_s(w[1]), fmt_s(i["wall"]), fmt_s(i["min"]), fmt_s(i["cpu"])))
    print("| ratio | %.2fx | %.2fx | %.2fx | %.2fx | %.2fx |\n" % (
        r_ir, w_one[0] / w_min[0], r_w, i_one["min"] / i_min["min"], r_c))
    rows.append(("one request: instructions vs minimal", "%.2fx" % r_ir, "≤ 2x", verdict(r_ir <= 2)))
    rows.append(("one request: wall time vs minimal (interleaved medians)", "%.2fx" % r_w, "≤ 1.3x",
                 verdict(r_w <= 1.3)))
    rows.append(("one request: CPU time vs minimal (interleaved medians)", "%.2fx" % r_c, "≤ 1.3x",
                 verdict(r_c <= 1.3)))

    # 2. The walk in JSON at three sizes.
    log("walks")
    walk = {}
    print("## `tunex -a --libxo json` by image size\n")
    print("| objects | wall (mean ± sd) | max RSS | instructions | instructions/object | output |")
    print("|---:|---:|---:|---:|---:|---:|")
    for n in SIZES:
        cmd = [b.tunex, "-a", "--libxo", "json"]
        out = b.output(cmd, images[n])
        w = b.wall(cmd, images[n], runs=5 if n == 100000 else None)
        m = b.rss(cmd, images[n])
        keep = os.path.join(tmp, "callgrind.walk-json-%d.out" % n)
        ir = b.instructions(cmd, images[n], keep=keep)
        walk[n] = (w, m, ir, len(out))
        print("| %s | %s ± %s | %.1f MiB | %s | %s | %.1f MiB |" % (
            fmt_i(n), fmt_s(w[0]), fmt_s(w[1]), m / MIB, fmt_i(ir), fmt_i(ir // n), len(out) / MIB))
    try:
        json.loads(b.output([b.tunex, "-a", "--libxo", "json"], images[1000]))
    except ValueError as e:
        notes.append("the JSON walk of the 1,000-object image is not valid JSON: %s" % e)
    # Linear growth: the cost of one more object is the same from 1k to 10k
    # as from 10k to 100k (marginal cost, so the fixed start-up cost of the
    # process does not count).
    def marginal(i):
        return (walk[100000][i] - walk[10000][i]) / 90000, (walk[10000][i] - walk[1000][i]) / 9000
    ir_hi, ir_lo = marginal(2)
    t_hi = (walk[100000][0][0] - walk[10000][0][0]) / 90000
    t_lo = (walk[10000][0][0] - walk[1000][0][0]) / 9000
    print("\nMarginal cost of one object: %.0f instructions and %.2f µs from 10k to 100k, "
          "%.0f instructions and %.2f µs from 1k to 10k.\n" % (ir_hi, t_hi * 1e6, ir_lo, t_lo * 1e6))
    lin_ir = ir_hi / ir_lo
    lin_t = t_hi / t_lo if t_lo > 0 else float("inf")
    rows.append(("walk grows linearly: instructions per object, 10k→100k vs 1k→10k", "%.2fx" % lin_ir,
                 "≤ 1.25x", verdict(lin_ir <= 1.25)))
    rows.append(("walk grows linearly: wall per object, 10k→100k vs 1k→10k", "%.2fx" % lin_t,
                 "≤ 1.5x", verdict(lin_t <= 1.5)))
    m100 = walk[100000][1]
    rows.append(("walk of 100,000 objects (json): max RSS", "%.1f MiB" % (m100 / MIB), "< 200 MiB",
                 verdict(m100 < 200 * MIB)))

    # 3. Each style against text at 100k.
    log("styles")
    print("## The walk of 100,000 objects in each style\n")
    print("| style | wall (mean ± sd) | vs text | max RSS | instructions | vs text | output |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    style = {}
    for s in STYLES:
        cmd = [b.tunex, "-a", "--libxo", s]
        if s == "json":
            w, m, ir, size = walk[100000]
        else:
            size = len(b.output(cmd, images[100000]))
            w = b.wall(cmd, images[100000], runs=5)
            m = b.rss(cmd, images[100000])
            ir = b.instructions(cmd, images[100000],
                                keep=os.path.join(tmp, "callgrind.walk-%s-100000.out" % s))
        style[s] = (w, m, ir, size)
    for s in STYLES:
        w, m, ir, size = style[s]
        print("| %s | %s ± %s | %.2fx | %.1f MiB | %s | %.2fx | %.1f MiB |" % (
            s, fmt_s(w[0]), fmt_s(w[1]), w[0] / style["text"][0][0], m / MIB, fmt_i(ir),
            ir / style["text"][2], size / MIB))
    print()
    iv = dict(zip(STYLES, b.interleaved([([b.tunex, "-a", "--libxo", st], images[100000]) for st in STYLES],
                                        3 if args.quick else 10)))
    print("| style | interleaved wall median | vs text | CPU median | vs text |")
    print("|---|---:|---:|---:|---:|")
    for st in STYLES:
        print("| %s | %s | %.2fx | %s | %.2fx |" % (
            st, fmt_s(iv[st]["wall"]), iv[st]["wall"] / iv["text"]["wall"],
            fmt_s(iv[st]["cpu"]), iv[st]["cpu"] / iv["text"]["cpu"]))
    print()
    w100, c100 = iv["json"]["wall"], iv["json"]["cpu"]
    rows.insert(len(rows) - 1, ("walk of 100,000 objects (json): wall (interleaved median)", fmt_s(w100),
                                "< 0.3 s", verdict(w100 < 0.3)))
    rows.insert(len(rows) - 1, ("walk of 100,000 objects (json): CPU time (interleaved median)", fmt_s(c100),
                                "< 0.3 s", verdict(c100 < 0.3)))
    for key, what in (("wall", "wall"), ("cpu", "CPU time")):
        worst = max(STYLES[1:], key=lambda st: iv[st][key])
        r = iv[worst][key] / iv["text"][key]
        rows.append(("each style within 1.5x of text (%s, interleaved medians; worst: %s)" % (what, worst),
                     "%.2fx" % r, "≤ 1.5x", verdict(r <= 1.5)))
    worst_i = max(STYLES[1:], key=lambda s: style[s][2])
    r = style[worst_i][2] / style["text"][2]
    rows.append(("each style within 1.5x of text (instructions; worst: %s)" % worst_i, "%.2fx" % r,
                 "≤ 1.5x", verdict(r <= 1.5)))

    # 4. Loading the 100k image against walking it.
    log("load vs walk")
    load_cmd = [b.tunex, "kern.ostype"]
    lw = b.wall(load_cmd, images[100000], runs=10)
    lm = b.rss(load_cmd, images[100000])
    li = b.instructions(load_cmd, images[100000],
                        keep=os.path.join(tmp, "callgrind.load-100000.out"))
    wj = walk[100000]
    il, iw = b.interleaved([(load_cmd, images[100000]), ([b.tunex, "-a", "--libxo", "json"], images[100000])],
                           3 if args.quick else 10)
    walk_only_t = iw["wall"] - il["wall"]
    walk_only_c = iw["cpu"] - il["cpu"]
    walk_only_i = wj[2] - li
    print("## Loading the 100,000-object image against walking it\n")
    print("| run | hyperfine mean ± sd | interleaved wall median | CPU median | max RSS | instructions |")
    print("|---|---:|---:|---:|---:|---:|")
    print("| `tunex kern.ostype` (load + one request) | %s ± %s | %s | %s | %.1f MiB | %s |" % (
        fmt_s(lw[0]), fmt_s(lw[1]), fmt_s(il["wall"]), fmt_s(il["cpu"]), lm / MIB, fmt_i(li)))
    print("| `tunex -a --libxo json` (load + walk) | %s ± %s | %s | %s | %.1f MiB | %s |" % (
        fmt_s(wj[0][0]), fmt_s(wj[0][1]), fmt_s(iw["wall"]), fmt_s(iw["cpu"]), wj[1] / MIB, fmt_i(wj[2])))
    print("| the walk alone (difference) | | %s | %s | | %s |\n" % (
        fmt_s(walk_only_t), fmt_s(walk_only_c), fmt_i(walk_only_i)))
    def ratio(a, b):
        return "%.2f" % (a / b) if b > 0 else "inf"
    rows.append(("loading 100k costs less than walking it (instructions: load / walk alone)",
                 ratio(li, walk_only_i), "< 1", verdict(li < walk_only_i)))
    rows.append(("loading 100k costs less than walking it (wall: load / walk alone)",
                 ratio(il["wall"], walk_only_t), "< 1", verdict(il["wall"] < walk_only_t)))
    rows.append(("loading 100k costs less than walking it (CPU time: load / walk alone)",
                 ratio(il["cpu"], walk_only_c), "< 1", verdict(il["cpu"] < walk_only_c)))

    # Baselines for context only: Linux's own sysctl front-ends, run as
    # black boxes over the live /proc/sys.
    ctx = []
    for name, cmd in (("procps sysctl -a", ["sysctl", "-a"]), ("busybox sysctl -a", ["busybox", "sysctl", "-a"])):
        exe = shutil.which(cmd[0])
        if exe:
            try:
                w = b.wall([exe] + cmd[1:], runs=10)
                keep = len(b.notes)  # their exit status is not ours to report
                lines = b.output([exe] + cmd[1:]).count(b"\n")
                del b.notes[keep:]
                ctx.append("| %s (%d objects of this Linux host) | %s ± %s |" % (name, lines, fmt_s(w[0]), fmt_s(w[1])))
            except subprocess.CalledProcessError:
                pass
    if ctx:
        print("## Context: Linux's sysctl front-ends over /proc/sys\n")
        print("| run | wall (mean ± sd) |\n|---|---:|")
        print("\n".join(ctx) + "\n")

    print("## Bars\n")
    print("| bar | measured | limit | verdict |")
    print("|---|---:|---:|---|")
    for row in rows:
        print("| %s | %s | %s | %s |" % row)
    print()
    for note in notes:
        print("- note: " + note)

    if args.profile:
        for title, path in (
                ("walk of 100,000 objects, json", "callgrind.walk-json-100000.out"),
                ("walk of 100,000 objects, text", "callgrind.walk-text-100000.out"),
                ("walk of 100,000 objects, html", "callgrind.walk-html-100000.out"),
                ("loading 100,000 objects (one request)", "callgrind.load-100000.out")):
            print("\n## Profile: %s (callgrind_annotate, self cost, top 30)\n" % title)
            print("```")
            print(top_functions(os.path.join(tmp, path), 30))
            print("```")

    if args.micro:
        micro = os.path.join(args.build_dir, "tunex_micro")
        if os.access(micro, os.X_OK):
            print("\n## Google Benchmark: hot routines\n")
            print("```")
            sys.stdout.flush()
            subprocess.run([micro, "--benchmark_min_time=0.2"], env=b.envfor(images[100000]), check=False)
            print("```")


if __name__ == "__main__":
    main()
