"""Interleaved CPU times for the shell benchmarks: each command runs once
per round, in an order that turns with the round, and its user + system
time comes from wait4. A change of the shared machine's load then weighs
on every command alike, so the medians compare where means of runs taken
one command after another would not."""
import os
import statistics
import subprocess


def cpu_medians(commands, rounds):
    """Runs COMMANDS (a dict of name: argv) ROUNDS times each, output to
    /dev/null; returns each name's median CPU time in milliseconds."""
    names = list(commands)
    cpu = {k: [] for k in names}
    with open(os.devnull, "wb") as null:
        for r in range(rounds):
            for k in names[r % len(names):] + names[:r % len(names)]:
                p = subprocess.Popen(commands[k], stdout=null, stderr=null)
                _, _, usage = os.wait4(p.pid, 0)
                cpu[k].append((usage.ru_utime + usage.ru_stime) * 1000)
    return {k: statistics.median(v) for k, v in cpu.items()}
