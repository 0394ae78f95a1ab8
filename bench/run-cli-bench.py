#!/usr/bin/env python3
"""Whole-process benchmarks of kestrove-cli against the system's own tools, side by side.

Usage: run-cli-bench.py DIR ROUNDS NAME=CLI [NAME=CLI...]
DIR holds the targets of make-prefixes.py. Every round runs every case's programs and its
reference one after the other, so that a busy machine weighs on all of them alike; each
figure is the median over the rounds (wall and cpu time, and the peak resident memory).
kestrove-regedit is taken from beside each CLI. A case whose target was not made (TARGETS of
make-prefixes.py) is left out; CASES (environment), when set, runs only the cases whose names
contain one of its comma-separated words."""
import os, resource, statistics, subprocess, sys, tempfile, time

root, rounds = sys.argv[1], int(sys.argv[2])
clis = [a.split("=", 1) for a in sys.argv[3:]]
home = tempfile.mkdtemp(prefix="kestrove-bench-home-")
env = dict(os.environ, KESTROVE_HOME=home)
for v in ("KESTROVE_ROOT", "WINEPREFIX"):
    env.pop(v, None)


def run(argv, shell=False, ok=(0,)):
    """Wall seconds, peak resident MiB and cpu seconds (user + system, its children's included)
    of one whole process. An argument "{n}" is a new
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

stat_each = lambda paths: "perl -ne 'chomp; stat $_' %s" % q(d(paths))

imp = d("imp")
imp_file, deep_file, sparse_file = d("imp", "import.reg"), d("imp", "deep.reg"), d("imp", "sparse.reg")
# Puts the import target's hives back as made, so that every round imports into the same registry.
reset_imp = "cp %s %s %s" % tuple(q(d("imp", "made", h)) for h in ("system.reg", "user.reg", "userdef.reg")) + " " + q(imp)
# The key `reg delete` takes away, put back before each round (not measured).
put_back_key = ["--root", d("reg"), "reg", "add", "HKLM\\Software\\Bench Delete\\Sub", "/v", "V", "/d", "1", "/f"]

# Each case: name, the program (cli or regedit) and its arguments, its reference commands
# (their times add up), the file the memory is compared with, and what runs unmeasured before
# the case in each round (a shell command, or the program's arguments).
cases = [
    ("reg add (load+change+save)", "cli", ["--root", d("reg"), "reg", "add", "HKLM\\Software\\Bench", "/v", "Counter", "/d", "{n}", "/f"],
     [("cp+sync", "cp %s %s && sync %s" % (q(reg_file), q(copy), q(copy)))], reg_file, None),
    ("reg query (load)", "cli", ["--root", d("reg"), "reg", "query", "HKLM\\Software\\Vendor00000\\Application 00\\Settings\\Group00"],
     [("wc -l", "wc -l %s" % q(reg_file))], reg_file, None),
    ("reg delete KEY", "cli", ["--root", d("reg"), "reg", "delete", "HKLM\\Software\\Bench Delete", "/f"],
     [("cp+sync", "cp %s %s && sync %s" % (q(reg_file), q(copy), q(copy)))], reg_file, put_back_key),
    ("regedit /e (whole registry)", "regedit", ["--root", d("reg"), "/e", d("export.reg")],
     [("cp+sync", "cp %s %s && sync %s" % (q(reg_file), q(copy), q(copy)))], reg_file, None),
    ("regedit /s (import file)", "regedit", ["--root", imp, "/s", imp_file],
     [("cp+sync", "cp %s %s && sync %s" % (q(imp_file), q(copy), q(copy)))], imp_file, reset_imp),
    ("regedit /s (a key 100,000 levels deep)", "regedit", ["--root", imp, "/s", deep_file], [], None, reset_imp),
    ("regedit /s (1 GiB sparse, no registry file)", "regedit", ["--root", imp, "/s", sparse_file], [], None, None),
    ("options.ini of 100,000 sections (backups)", "opts", ["--root", d("bin"), "backups"], [], None, None),
    # A binary hive is written whole: every key of SOFTWARE, not only the one changed.
    ("offline reg add (load+change+save)", "cli", ["--root", d("offline"), "reg", "add", "HKLM\\Software\\Bench", "/v", "Counter", "/d", "{n}", "/f"],
     [("cp+sync", "cp %s %s && sync %s" % (q(software), q(software_copy), q(software_copy)))], software, None),
    # Every hive written anew beside itself; SOFTWARE is nearly all of it.
    ("offline defrag analyze", "cli", ["--root", d("offline"), "defrag", "analyze"],
     [("cp+sync", "cp %s %s && sync %s" % (q(software), q(software_copy), q(software_copy)))], software, None),
    # A scan's reference load: `info` opens the target and reads its whole registry, as the scan
    # must (reg query reads only the key it is about).
    ("scan", "cli", ["--root", d("scan"), "scan", "1"],
     [("load", ["--root", d("scan"), "info"]), ("stat per path", "perl -ne 'chomp; stat $_' %s" % q(d("scan-paths.txt")))], scan_file, None),
    ("scan, 10 values a key", "cli", ["--root", d("scan10"), "scan", "1"],
     [("load", ["--root", d("scan10"), "info"]), ("stat per path", stat_each("scan10-paths.txt"))], d("scan10", "system.reg"), None),
    ("scan, wineboot prefix + COM classes and settings", "cli", ["--root", d("big"), "scan", "1"],
     [("load", ["--root", d("big"), "info"]), ("stat per path", stat_each("big-paths.txt"))], d("big", "system.reg"), None),
    ("offline scan", "cli", ["--root", d("offline"), "scan", "1"],
     [("load", ["--root", d("offline"), "info"]), ("stat per path", "perl -ne 'chomp; stat $_' %s" % q(d("offline-scan-paths.txt")))], software, None),
    ("Recycle Bin test", "cli", ["--root", d("bin"), "test", "Windows - Empty Recycle Bin"],
     [("find", "find %s -type f -printf '%%s\\n'" % q(d("bin", "drive_c", "Recycled")))], None, None),
]
cases = [c for c in cases if os.path.exists(c[4] or c[2][1])]
wanted = [w for w in os.environ.get("CASES", "").split(",") if w]
if wanted:
    cases = [c for c in cases if any(w in c[0] for w in wanted)]
# The program's argument vector: kestrove-cli, kestrove-regedit beside it, or kestrove-cli with
# the program folder whose options.ini is large.
program = lambda cli, kind: ([cli] if kind == "cli" else ["env", "KESTROVE_HOME=" + d("opts"), cli] if kind == "opts"
                             else [os.path.join(os.path.dirname(cli), "kestrove-regedit")])

times = {}
def add(key, value):
    times.setdefault(key, []).append(value)

for r in range(rounds):
    for name, kind, args, refs, _, prep in cases:
        for label, cli in clis:
            if isinstance(prep, str):
                subprocess.run(prep, shell=True, check=True)
            elif prep:
                subprocess.run([cli] + prep, check=True, env=env, stdout=subprocess.DEVNULL)
            # the scan finds rows, the sparse file is refused: both exit 1
            add((name, label), run(program(cli, kind) + args, ok=(0, 1) if "scan" in args or "sparse" in name else (0,)))
        for label, cmd in refs:
            add((name, "ref:" + label), run([clis[-1][1]] + cmd) if isinstance(cmd, list) else run(cmd, shell=True))
    print("round %d of %d done" % (r + 1, rounds), flush=True)

med = lambda key, i: statistics.median(x[i] for x in times[key])
print("\nmedians of %d rounds (wall seconds, cpu seconds, peak MiB); each ratio is time over the reference's" % rounds)
for name, kind, args, refs, memfile, _ in cases:
    ref = sum(med((name, "ref:" + l), 0) for l, _ in refs)
    ref_cpu = sum(med((name, "ref:" + l), 2) for l, _ in refs)
    if refs:
        print("%s: reference %s = %.3f s wall, %.3f s cpu" % (name, " + ".join(("%s %.3f s wall %.3f s cpu %.0f MiB" % (
            l, med((name, "ref:" + l), 0), med((name, "ref:" + l), 2), med((name, "ref:" + l), 1))) for l, _ in refs), ref, ref_cpu))
    else:
        print("%s: no reference" % name)
    ref_mem = max((med((name, "ref:" + l), 1) for l, _ in refs), default=0)
    for label, _ in clis:
        s, m, c = med((name, label), 0), med((name, label), 1), med((name, label), 2)
        mem = " memory %.2fx the file (%.0f MiB)" % (m * 1048576 / os.path.getsize(memfile), os.path.getsize(memfile) / 1048576) if memfile else ""
        ratio = "  %.2fx wall %.2fx cpu the reference, peak %.2fx the reference's" % (s / ref, c / ref_cpu, m / ref_mem) if refs else ""
        print("  %-8s %.3f s wall %.3f s cpu %5.0f MiB%s%s" % (label, s, c, m, ratio, mem))
