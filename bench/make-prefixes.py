#!/usr/bin/env python3
"""Writes the generated targets of bench/run-cli-bench.sh into DIR (each made once):
  reg/   a prefix whose system.reg is about REG_MB (100) MiB of keys shaped like a real one's
  scan/  a prefix holding SCAN_VALUES (500,000) string values under HKLM\\Software naming
         SCAN_PATHS (100,000) distinct files, half of them present, 1,000 values a key
  scan10/  the same values, 10 a key
  big/   a prefix made by `wineboot --init` (when Wine is installed) with BIG_MB (100) MiB of
         COM classes and application settings added to its system.reg, naming files of which
         half are present; big-paths.txt lists every distinct file its values name
  bin/   a prefix whose old-style recycle bin C:\\Recycled holds BIN_FILES (200,000) files
Each starts as `kestrove-cli sample` writes it (KESTROVE_CLI names the program)."""
import os, random, subprocess, sys

out = sys.argv[1]
cli = os.environ.get("KESTROVE_CLI", "build/kestrove-cli")
reg_mb = int(os.environ.get("REG_MB", "100"))
scan_values = int(os.environ.get("SCAN_VALUES", "500000"))
scan_paths = int(os.environ.get("SCAN_PATHS", "100000"))
bin_files = int(os.environ.get("BIN_FILES", "200000"))
big_mb = int(os.environ.get("BIG_MB", "100"))


def sample(name, tag):
    d = os.path.join(out, name)
    if os.path.exists(os.path.join(d, ".complete-" + tag)):
        return None
    subprocess.run(["rm", "-rf", d], check=True)
    subprocess.run([cli, "sample", d], check=True, stdout=subprocess.DEVNULL)
    return d


def done(d, tag):
    open(os.path.join(d, ".complete-" + tag), "w").close()


def make_reg():
    tag = "%d-2" % reg_mb
    d = sample("reg", tag)
    if not d:
        return
    rng = random.Random(7)
    limit = reg_mb * 1024 * 1024
    with open(os.path.join(d, "system.reg"), "a", newline="\n") as f:
        written = f.tell()
        vendor = 0
        while written < limit:
            for app in range(50):
                parts = []
                for k in range(20):
                    parts.append("\n[Software\\\\Vendor%05u\\\\Application %02u\\\\Settings\\\\Group%02u] 1796628164\n"
                                 "#time=1dd861bc07068c2\n" % (vendor, app, k))
                    parts.append("@=\"Default value %u\"\n\"InstallPath\"=\"C:\\\\Program Files\\\\Vendor%05u\\\\App%02u\\\\bin\\\\app%u.exe\"\n"
                                 "\"Flags\"=dword:%08x\n\"Path\"=str(2):\"%%ProgramFiles%%\\\\Vendor%05u\\\\data\"\n"
                                 % (k, vendor, app, k, rng.getrandbits(32), vendor))
                    if k % 4 == 0:
                        data = ",".join("%02x" % rng.getrandbits(8) for _ in range(48))
                        parts.append("\"Blob\"=hex:" + data[:72] + "\\\n  " + data[72:] + "\n")
                chunk = "".join(parts)
                f.write(chunk)
                written += len(chunk)
            vendor += 1
    done(d, tag)


def make_scan(name="scan", per_key=1000):
    tag = "%d-%d-%d-2" % (scan_values, scan_paths, per_key)
    d = sample(name, tag)
    if not d:
        return
    with open(os.path.join(d, "system.reg"), "a", newline="\n") as f:
        for k in range((scan_values + per_key - 1) // per_key):
            lines = ["\n[Software\\\\Bench\\\\K%d] 1796628164\n#time=1dd861bc07068c2\n" % k]
            for v in range(min(per_key, scan_values - k * per_key)):
                j = (k * per_key + v) % scan_paths
                lines.append("\"Value%d\"=\"C:\\\\bench\\\\folder%03d\\\\file%06d.dll\"\n" % (v, j // 1000, j))
            f.write("".join(lines))
    with open(os.path.join(out, name + "-paths.txt"), "w") as paths:
        for j in range(scan_paths):
            folder = os.path.join(d, "drive_c", "bench", "folder%03d" % (j // 1000))
            if j % 1000 == 0:
                os.makedirs(folder, exist_ok=True)
            p = os.path.join(folder, "file%06d.dll" % j)
            if j % 2 == 0:
                with open(p, "w") as f:
                    f.write("M")
            paths.write(p + "\n")
    done(d, tag)


def make_big():
    """A prefix as Wine makes it, grown the way installed programs grow one: COM classes
    (HKLM\\Software\\Classes\\CLSID and their ProgIDs) and per-program settings with
    install folders and recent documents."""
    tag = "%d-1" % big_mb
    d = os.path.join(out, "big")
    if os.path.exists(os.path.join(d, ".complete-" + tag)):
        return
    if subprocess.run(["sh", "-c", "command -v wineboot"], stdout=subprocess.DEVNULL).returncode != 0:
        print("make-prefixes: no wineboot, the big prefix is not made")
        return
    subprocess.run(["rm", "-rf", d], check=True)
    wine_env = dict(os.environ, WINEPREFIX=d, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    subprocess.run(["wineboot", "--init"], env=wine_env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=wine_env, check=True)
    rng = random.Random(11)
    limit = big_mb * 1024 * 1024
    files = {}  # the host path of every distinct file named, in the order first named

    def name_file(folder, leaf):
        win = "C:\\Program Files\\" + folder + "\\" + leaf
        files.setdefault(os.path.join(d, "drive_c", "Program Files", *folder.split("\\"), leaf), None)
        return win.replace("\\", "\\\\")

    # Generated class ids sort after Wine's own (few of which start with F), as an installer's
    # keys would land in a file Wine writes in order.
    clsid = 0xF0000000
    classes, settings = [], []
    size = os.path.getsize(os.path.join(d, "system.reg"))

    def put(where, path, body):
        nonlocal size
        where.append((path, body))
        size += len(path) + len(body) + 38

    vendor = 0
    while size < limit:
        for app in range(10):
            folder = "Vendor%05u\\App%02u" % (vendor, app)
            for c in range(12):
                guid = "{%08X-%04X-%04X-%04X-%012X}" % (clsid, rng.getrandbits(16), rng.getrandbits(16),
                                                          rng.getrandbits(16), rng.getrandbits(48))
                clsid += 1
                progid = "Vendor%05u.App%02u.Component%02u" % (vendor, app, c)
                dll = name_file(folder, "comp%u.dll" % (c // 4))  # one library serves several classes
                k = "Software\\\\Classes\\\\CLSID\\\\" + guid
                put(classes, k, "@=\"%s Class\"\n" % progid)
                put(classes, k + "\\\\InprocServer32", "@=\"%s\"\n\"ThreadingModel\"=\"Apartment\"\n" % dll)
                put(classes, k + "\\\\ProgID", "@=\"%s.1\"\n" % progid)
                if c % 3 == 0:
                    put(classes, k + "\\\\LocalServer32", "@=\"%s /automation\"\n" % name_file(folder, "server.exe"))
                put(classes, "Software\\\\Classes\\\\" + progid, "@=\"%s Class\"\n" % progid)
                put(classes, "Software\\\\Classes\\\\" + progid + "\\\\CLSID", "@=\"%s\"\n" % guid)
            base = "Software\\\\Vendor%05u\\\\App%02u" % (vendor, app)
            install = name_file(folder, "app.exe")
            put(settings, base, "\"InstallPath\"=\"%s\"\n\"Version\"=\"%u.%u\"\n\"Flags\"=dword:%08x\n"
                % (install, app, vendor % 100, rng.getrandbits(32)))
            for g in range(6):
                lines = "".join("\"Item%u\"=\"%s\"\n" % (i, name_file(folder + "\\Data", "doc%u.dat" % ((g + i) % 10)))
                                for i in range(10))
                put(settings, base + "\\\\Settings\\\\Group%u" % g, lines + "\"Size\"=dword:%08x\n" % rng.getrandbits(32))
        vendor += 1
    with open(os.path.join(d, "system.reg"), "a", newline="\n") as f:
        for key, body in sorted(classes) + settings:
            f.write("\n[%s] 1796628164\n#time=1dd861bc07068c2\n%s" % (key, body))
    made = set()
    with open(os.path.join(out, "big-paths.txt"), "w") as paths:
        for j, p in enumerate(files):
            if j % 2 == 0:
                folder = os.path.dirname(p)
                if folder not in made:
                    os.makedirs(folder, exist_ok=True)
                    made.add(folder)
                with open(p, "w") as f:
                    f.write("M")
            paths.write(p + "\n")
    done(d, tag)


def make_bin():
    tag = str(bin_files)
    d = sample("bin", tag)
    if not d:
        return
    b = os.path.join(d, "drive_c", "Recycled")
    os.makedirs(b, exist_ok=True)
    for name in ("INFO2", "desktop.ini"):
        open(os.path.join(b, name), "w").close()
    for i in range(bin_files):
        with open(os.path.join(b, "Dc%d.tmp" % (i + 1)), "w") as f:
            f.write("x" * (i % 512))
    done(d, tag)


os.makedirs(out, exist_ok=True)
make_reg()
make_scan()
make_scan("scan10", 10)
make_big()
make_bin()
