#!/usr/bin/env python3
"""Whole-process benchmarks of kestrove-cli against the system's own tools, side by side.

Usage: run-cli-bench.py DIR ROUNDS NAME=CLI [NAME=CLI...]
DIR holds the targets of make-prefixes.py; CASES (words, comma-separated) runs only the cases
whose names hold one of them. Every round runs every case's programs and its
reference one after the other, so that a busy machine weighs on all of them alike; each
figure is the median over the rounds (wall time, cpu time, and the peak resident memory)."""
import os, resource, statistics, subprocess, sys, tempfile, time

root, rounds = sys.argv[1], int(sys.argv[2])
clis = [a.split("=", 1) for a in sys.argv[3:]]
home = tempfile.mkdtemp(prefix="kestrove-bench-home-")
env = dict(os.environ, KESTROVE_HOME=home)
for v in ("KESTROVE_ROOT", "WINEPREFIX"):
    env.pop(v, None)


def run(argv, shell=False, ok=(0,)):
    """Wall seconds, peak resident MiB and cpu seconds (user and system) of one whole process. An argument "{n}" is a new
    number each time: a value set to what it holds already is not written, so a save would
    be measured only once."""
    if not shell:
        argv = [str(time.time_ns()) if a == "{n}" else a for a in argv]
    t0 = time.perf_counter()
    p = subprocess.Popen(argv, shell=shell, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(p.pid, 0)
    seconds = time.perf_counter() - t0
    p.returncode = os.waitstatus_to_exitcode(status)
    err = p.stderr.read().decode(errors="replace")
    p.stderr.close()
    if p.returncode not in ok:
        print("  warning: %s exited %d: %s" % (argv if shell else " ".join(argv), p.returncode, err.strip()[:200]))
    return seconds, usage.ru_maxrss / 1024.0, usage.ru_utime + usage.ru_stime


d = lambda *p: os.path.join(root, *p)
reg_file = d("reg", "system.reg")
scan_file = d("scan", "system.reg")
copy = d("reg-copy.reg")
q = lambda s: "'" + s + "'"

stat_each = lambda paths: "perl -ne 'chomp; stat $_' %s" % q(d(paths))

# Each case: name, the program's arguments (after the program), its reference commands (their
# times add up; a list is arguments of the last program given), and the file the memory is
# compared with.
cases = [
    ("reg add (load+change+save)", ["--root", d("reg"), "reg", "add", "HKLM\\Software\\Bench", "/v", "Counter", "/d", "{n}", "/f"],
     [("cp+sync", "cp %s %s && sync %s" % (q(reg_file), q(copy), q(copy)))], reg_file),
    ("reg query (load)", ["--root", d("reg"), "reg", "query", "HKLM\\Software\\Vendor00000\\Application 00\\Settings\\Group00"],
     [("wc -l", "wc -l %s" % q(reg_file))], reg_file),
    ("scan", ["--root", d("scan"), "scan", "1"],
     [("load", ["--root", d("scan"), "info"]), ("stat per path", stat_each("scan-paths.txt"))], scan_file),
    ("scan, 10 values a key", ["--root", d("scan10"), "scan", "1"],
     [("load", ["--root", d("scan10"), "info"]), ("stat per path", stat_each("scan10-paths.txt"))], d("scan10", "system.reg")),
    ("scan, wineboot prefix + COM classes and settings", ["--root", d("big"), "scan", "1"],
     [("load", ["--root", d("big"), "info"]), ("stat per path", stat_each("big-paths.txt"))], d("big", "system.reg")),
    ("Recycle Bin test", ["--root", d("bin"), "test", "Windows - Empty Recycle Bin"],
     [("find", "find %s -type f -printf '%%s\\n'" % q(d("bin", "drive_c", "Recycled")))], None),
]
# A scan's reference load is `info`, which opens the target and reads its whole registry, as the
# scan must (reg query reads only the key it is about).
cases = [c for c in cases if c[3] is None or os.path.exists(c[3])]  # the big prefix needs Wine
# CASES="scan,reg add" keeps the cases whose names hold one of the words.
if os.environ.get("CASES"):
    cases = [c for c in cases if any(w.strip() and w.strip() in c[0] for w in os.environ["CASES"].split(","))]

times = {}
def add(key, value):
    times.setdefault(key, []).append(value)

for r in range(rounds):
    for name, args, refs, _ in cases:
        for label, cli in clis:
            add((name, label), run([cli] + args, ok=(0, 1) if "scan" in args else (0,)))
        for label, cmd in refs:
            add((name, "ref:" + label), run([clis[-1][1]] + cmd) if isinstance(cmd, list) else run(cmd, shell=True))
    print("round %d of %d done" % (r + 1, rounds), flush=True)

med = lambda key, i: statistics.median(x[i] for x in times[key])
print("\nmedians of %d rounds (wall and cpu seconds, peak MiB); each ratio is the program's over the reference's" % rounds)
for name, args, refs, memfile in cases:
    ref_wall = sum(med((name, "ref:" + l), 0) for l, _ in refs)
    ref_cpu = sum(med((name, "ref:" + l), 2) for l, _ in refs)
    ref_mem = max(med((name, "ref:" + l), 1) for l, _ in refs)
    print("%s: reference %s = %.3f s wall, %.3f s cpu, %.0f MiB" % (
        name, " + ".join("%s %.3f s wall %.3f s cpu %.0f MiB" % (l, med((name, "ref:" + l), 0), med((name, "ref:" + l), 2),
                                                                med((name, "ref:" + l), 1)) for l, _ in refs),
        ref_wall, ref_cpu, ref_mem))
    for label, _ in clis:
        s, m, c = med((name, label), 0), med((name, label), 1), med((name, label), 2)
        mem = " memory %.2fx the file (%.0f MiB)" % (m * 1048576 / os.path.getsize(memfile), os.path.getsize(memfile) / 1048576) if memfile else ""
        print("  %-8s %.3f s wall %.2fx, %.3f s cpu %.2fx, %5.0f MiB %.2fx the reference's%s" % (
            label, s, s / ref_wall, c, c / ref_cpu, m, m / ref_mem, mem))
