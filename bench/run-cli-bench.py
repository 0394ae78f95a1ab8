#!/usr/bin/env python3
"""Whole-process benchmarks of kestrove-cli against the system's own tools, side by side.

Usage: run-cli-bench.py DIR ROUNDS NAME=CLI [NAME=CLI...]
DIR holds the targets of make-prefixes.py. Every round runs every case's programs and its
reference one after the other, so that a busy machine weighs on all of them alike; each
figure is the median over the rounds (wall time, CPU time, and the peak resident memory).
A case whose target was not made (TARGETS of make-prefixes.py) is left out."""
import os, resource, statistics, subprocess, sys, tempfile, time

root, rounds = sys.argv[1], int(sys.argv[2])
clis = [a.split("=", 1) for a in sys.argv[3:]]
home = tempfile.mkdtemp(prefix="kestrove-bench-home-")
env = dict(os.environ, KESTROVE_HOME=home)
for v in ("KESTROVE_ROOT", "WINEPREFIX"):
    env.pop(v, None)


def run(argv, shell=False, ok=(0,)):
    """Wall seconds, peak resident MiB and CPU seconds (user and system) of one whole process. An argument "{n}" is a new
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
software = d("offline", "Windows", "System32", "config", "SOFTWARE")
software_copy = d("SOFTWARE-copy")
q = lambda s: "'" + s + "'"

# Each case: name, the program's arguments (after the program), its reference commands (their
# times add up), and the file the memory is compared with.
cases = [
    ("reg add (load+change+save)", ["--root", d("reg"), "reg", "add", "HKLM\\Software\\Bench", "/v", "Counter", "/d", "{n}", "/f"],
     [("cp+sync", "cp %s %s && sync %s" % (q(reg_file), q(copy), q(copy)))], reg_file),
    # A binary hive is written whole: every key of SOFTWARE, not only the one changed.
    ("offline reg add (load+change+save)", ["--root", d("offline"), "reg", "add", "HKLM\\Software\\Bench", "/v", "Counter", "/d", "{n}", "/f"],
     [("cp+sync", "cp %s %s && sync %s" % (q(software), q(software_copy), q(software_copy)))], software),
    ("reg query (load)", ["--root", d("reg"), "reg", "query", "HKLM\\Software\\Vendor00000\\Application 00\\Settings\\Group00"],
     [("wc -l", "wc -l %s" % q(reg_file))], reg_file),
    ("scan", ["--root", d("scan"), "scan", "1"],
     [("load", ["--root", d("scan"), "info"]), ("stat per path", "perl -ne 'chomp; stat $_' %s" % q(d("scan-paths.txt")))], scan_file),
    ("offline scan", ["--root", d("offline"), "scan", "1"],
     [("load", ["--root", d("offline"), "info"]), ("stat per path", "perl -ne 'chomp; stat $_' %s" % q(d("offline-scan-paths.txt")))], software),
    ("Recycle Bin test", ["--root", d("bin"), "test", "Windows - Empty Recycle Bin"],
     [("find", "find %s -type f -printf '%%s\\n'" % q(d("bin", "drive_c", "Recycled")))], None),
]
cases = [c for c in cases if os.path.exists(c[3] or c[1][1])]
# A scan's reference load (a list of arguments of the program): `info` opens the target and
# reads its whole registry, as the scan must (reg query reads only the key it is about).

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
print("\nmedians of %d rounds (wall seconds, CPU seconds, peak MiB); each ratio is time over the reference's" % rounds)
for name, args, refs, memfile in cases:
    ref = sum(med((name, "ref:" + l), 0) for l, _ in refs)
    ref_cpu = sum(med((name, "ref:" + l), 2) for l, _ in refs)
    print("%s: reference %s = %.3f s (cpu %.3f s)" % (name, " + ".join(("%s %.3f s" % (l, med((name, "ref:" + l), 0))) for l, _ in refs), ref, ref_cpu))
    for label, _ in clis:
        s, m, c = med((name, label), 0), med((name, label), 1), med((name, label), 2)
        mem = " memory %.2fx the file (%.0f MiB)" % (m * 1048576 / os.path.getsize(memfile), os.path.getsize(memfile) / 1048576) if memfile else ""
        print("  %-8s %.3f s  cpu %.3f s  %5.0f MiB  %.2fx the reference%s" % (label, s, c, m, s / ref, mem))
