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
  offline/  an offline Windows installation whose SOFTWARE hive is about OFFLINE_MB (150) MiB,
         imported with kestrove-regedit (KESTROVE_REGEDIT, beside KESTROVE_CLI by default)
  imp/   a prefix to import into (its hives as made kept in imp/made/), and the files to import:
         import.reg (IMPORT_MB (100) MiB of "REGEDIT4" keys), deep.reg (one key DEEP_LEVELS
         (100,000) levels deep) and sparse.reg (a 1 GiB file of zeros, no registry file)
  opts/  a program folder whose options.ini holds OPTIONS_SECTIONS (100,000) sections besides
         the program's own
Each starts as `kestrove-cli sample` (`sample --offline`) writes it (KESTROVE_CLI names the
program). TARGETS (e.g. "offline,reg") makes only those."""
import os, random, subprocess, sys

out = sys.argv[1]
cli = os.environ.get("KESTROVE_CLI", "build/kestrove-cli")
reg_mb = int(os.environ.get("REG_MB", "100"))
scan_values = int(os.environ.get("SCAN_VALUES", "500000"))
scan_paths = int(os.environ.get("SCAN_PATHS", "100000"))
bin_files = int(os.environ.get("BIN_FILES", "200000"))
offline_mb = int(os.environ.get("OFFLINE_MB", "150"))
regedit = os.environ.get("KESTROVE_REGEDIT", os.path.join(os.path.dirname(cli), "kestrove-regedit"))
import_mb = int(os.environ.get("IMPORT_MB", "100"))
deep_levels = int(os.environ.get("DEEP_LEVELS", "100000"))
options_sections = int(os.environ.get("OPTIONS_SECTIONS", "100000"))
big_mb = int(os.environ.get("BIG_MB", "100"))


def sample(name, tag, *how):
    d = os.path.join(out, name)
    if os.path.exists(os.path.join(d, ".complete-" + tag)):
        return None
    subprocess.run(["rm", "-rf", d], check=True)
    subprocess.run([cli, "sample", *how, d], check=True, stdout=subprocess.DEVNULL)
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


def make_offline():
    """SOFTWARE grows by vendors of applications of settings keys, as a real one's does; one
    key in 256 has a value over 16,344 bytes, which the hive keeps in segments. The .reg file is
    written in pieces and each imported on its own, so that neither the file nor the import
    needs the whole at once."""
    tag = "%d-2" % offline_mb
    d = sample("offline", tag, "--offline")
    if not d:
        return
    rng = random.Random(11)
    config = os.path.join(d, "Windows", "System32", "config", "SOFTWARE")
    piece = os.path.join(out, "offline-piece.reg")
    # Every InstallPath names a file that is not there: what the scan stats, once each.
    paths = open(os.path.join(out, "offline-scan-paths.txt"), "w")
    vendor = 0
    while os.path.getsize(config) < offline_mb * 1024 * 1024:
        with open(piece, "w", newline="\r\n") as f:
            f.write("Windows Registry Editor Version 5.00\n")
            for _ in range(100):
                for app in range(25):
                    for k in range(20):
                        f.write("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor%05u\\Application %02u\\Settings\\Group%02u]\n"
                                "@=\"Default value %u\"\n\"InstallPath\"=\"C:\\\\Program Files\\\\Vendor%05u\\\\App%02u\\\\app%u.exe\"\n"
                                "\"Flags\"=dword:%08x\n\"Blob\"=hex:%s\n"
                                % (vendor, app, k, k, vendor, app, k, rng.getrandbits(32),
                                   ",".join("%02x" % rng.getrandbits(8) for _ in range(24))))
                        paths.write(os.path.join(d, "Program Files", "Vendor%05u" % vendor, "App%02u" % app, "app%u.exe" % k) + "\n")
                        if (app * 20 + k) % 256 == 0:
                            f.write("\"Big\"=hex:%s\n" % ",".join(["%02x" % (vendor & 0xFF)] * 20000))
                vendor += 1
        subprocess.run([regedit, "--root", d, "/s", piece], check=True, stdout=subprocess.DEVNULL)
    os.remove(piece)
    paths.close()
    done(d, tag)


def make_import():
    tag = "%d-%d" % (import_mb, deep_levels)
    d = sample("imp", tag)
    if not d:
        return
    os.makedirs(os.path.join(d, "made"))
    for hive in ("system.reg", "user.reg", "userdef.reg"):
        subprocess.run(["cp", os.path.join(d, hive), os.path.join(d, "made", hive)], check=True)
    rng = random.Random(11)
    limit = import_mb * 1024 * 1024
    with open(os.path.join(d, "import.reg"), "w", newline="") as f:
        f.write("REGEDIT4\r\n")
        written, key = 0, 0
        while written < limit:
            parts = ["\r\n[HKEY_LOCAL_MACHINE\\Software\\Imported\\Vendor%04u\\Product %03u]\r\n" % (key // 100, key % 100),
                     "@=\"Product %u\"\r\n\"Flags\"=dword:%08x\r\n" % (key, rng.getrandbits(32))]
            for v in range(8):
                parts.append("\"Setting%u\"=\"C:\\\\Program Files\\\\Vendor%04u\\\\data\\\\file%u-%u.dat\"\r\n"
                             % (v, key // 100, key, v))
            data = ",".join("%02x" % rng.getrandbits(8) for _ in range(96))
            parts.append("\"Blob\"=hex:" + data[:75] + "\\\r\n  " + data[75:] + "\r\n")
            chunk = "".join(parts)
            f.write(chunk)
            written += len(chunk)
            key += 1
    with open(os.path.join(d, "deep.reg"), "w", newline="") as f:
        f.write("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Deep" + "\\d" * deep_levels + "]\r\n\"Depth\"=dword:%08x\r\n" % deep_levels)
    with open(os.path.join(d, "sparse.reg"), "w") as f:
        f.truncate(1 << 30)
    done(d, tag)


def make_options():
    d = os.path.join(out, "opts")
    tag = os.path.join(d, ".complete-%d" % options_sections)
    if os.path.exists(tag):
        return
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "options.ini"), "w") as f:
        f.write("[Options]\nIsAskBeforeClear=1\nWipeNumber=3\n\n[Hotkey]\nEnableHotkey=0\nCharString=F5\n\n")
        for i in range(options_sections):
            f.write("[Section %d]\nKey=%d\nText=value of section %d\n\n" % (i, i, i))
        f.write("[Window]\nState=1\nLeft=10\nTop=20\n")
    open(tag, "w").close()


os.makedirs(out, exist_ok=True)
# TARGETS (e.g. "offline,reg") makes only those.
only = os.environ.get("TARGETS", "opts,imp,reg,scan,scan10,big,bin,offline").split(",")
for name, make in (("opts", make_options), ("imp", make_import), ("reg", make_reg), ("scan", make_scan),
                   ("scan10", lambda: make_scan("scan10", 10)), ("big", make_big), ("bin", make_bin),
                   ("offline", make_offline)):
    if name in only:
        make()
