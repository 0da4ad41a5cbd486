#!/usr/bin/python3
"""Benchmark of the setup program against a peer installer, under Wine.

Measures, side by side in one run (median of several rounds after a warm-up,
with min and max): extraction throughput of ExtractApplication (one pass
through the setup file that writes the application and the uninstaller)
against the program's own CRC-32 in memory (each variant the processor
offers), a durable copy that does the same work without the CRC (64 KiB
reads written to both temporary files, the flushes, the moves over the
targets; each phase timed), the sequential limit those two imply for one thread, CopyFileW and the
peer's silent install of the same payload; each as a fresh install and as a
reinstall over the file the fresh one left. Ours and the peer run back to
back in every round, in alternating order, and each ratio is taken round by
round. Also: the peak working set of the extracting process, the size of the
setup program without payload, and the time until the setup window is ready.

Prints a table, writes it to BENCH_DIR/results.csv and, as a page, to
BENCH_DIR/performance-results.md, and draws the throughput by payload size
to BENCH_DIR/throughput.png and the phases to BENCH_DIR/phases.png. With
--publish DIR (docs/) the page and the charts are copied there, so that the
published table is always the benchmark's own. Called by scripts/bench.sh,
which builds what it needs first.

Usage: bench.py BUILD_DIR [--rounds N] [--warmup N] [--sizes 1,64,512] [--publish DIR]
"""
import argparse
import contextlib
import csv
import glob
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
HARNESS = os.path.join(ROOT, "tests", "harness")
MIB = 1 << 20
VARIANTS = {"sse2": "SSE2", "avx2": "AVX2", "avx512": "AVX-512"}
with open(os.path.join(ROOT, "setup", "product.json"), encoding="utf-8") as facts:
    VERSION = json.load(facts)["version"]

# The peer does the work our install does: the payload, an uninstaller, a
# desktop link, a Start-menu folder and link, and the same uninstall entry
# values under HKEY_CURRENT_USER, with the same target and icon; its
# uninstaller removes them. It notes the tick count after each phase.
PEER_SCRIPT = """Unicode true
Target amd64-unicode
SetCompress off
CRCCheck on
SilentInstall silent
RequestExecutionLevel user
Name "Peer Bench"
OutFile "{output}"
InstallDir "$LOCALAPPDATA\\PeerBench"
!define KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PeerBench"
Var phases
!macro Phase NAME
  System::Call 'kernel32::GetTickCount64()l.r0'
  FileWrite $phases "${{NAME}} $0$\\r$\\n"
!macroend
Section
  FileOpen $phases "{phases}" w
  !insertmacro Phase start
  SetOutPath "$INSTDIR"
  !insertmacro Phase folder
  {file}
  !insertmacro Phase extraction
  WriteUninstaller "$INSTDIR\\uninstall.exe"
  !insertmacro Phase uninstaller
  CreateShortCut "$DESKTOP\\Peer Bench.lnk" "$INSTDIR\\payload.bin" "" "$INSTDIR\\payload.bin" 0
  CreateDirectory "$SMPROGRAMS\\PeerBench"
  CreateShortCut "$SMPROGRAMS\\PeerBench\\Peer Bench.lnk" "$INSTDIR\\payload.bin" "" "$INSTDIR\\payload.bin" 0
  !insertmacro Phase shortcuts
  WriteRegStr HKCU "${{KEY}}" "DisplayName" "Peer Bench"
  WriteRegStr HKCU "${{KEY}}" "DisplayVersion" "{version}"
  WriteRegStr HKCU "${{KEY}}" "Publisher" "Peer"
  WriteRegStr HKCU "${{KEY}}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${{KEY}}" "DisplayIcon" "$INSTDIR\\payload.bin"
  WriteRegStr HKCU "${{KEY}}" "UninstallString" '"$INSTDIR\\uninstall.exe"'
  WriteRegDWORD HKCU "${{KEY}}" "NoModify" 1
  WriteRegDWORD HKCU "${{KEY}}" "NoRepair" 1
  WriteRegStr HKCU "${{KEY}}" "QuietUninstallString" '"$INSTDIR\\uninstall.exe" /S'
  WriteRegDWORD HKCU "${{KEY}}" "EstimatedSize" 1
  !insertmacro Phase entry
  FileClose $phases
SectionEnd
Section "Uninstall"
  Delete "$DESKTOP\\Peer Bench.lnk"
  Delete "$SMPROGRAMS\\PeerBench\\Peer Bench.lnk"
  RMDir "$SMPROGRAMS\\PeerBench"
  DeleteRegKey HKCU "${{KEY}}"
  Delete "$INSTDIR\\payload.bin"
  Delete "$INSTDIR\\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
"""

# The phases of one silent install: ours from the log's step times, the
# peer's from its tick notes; what lies outside them is the process's start
# and exit.
PHASE_ORDER = ("start and exit", "lock", "agent", "folder", "one pass: application and uninstaller", "extraction",
               "uninstaller", "flush", "moves", "entry", "shortcuts")
# Our log's step, by its occurrence, and the phase it ends. The one pass
# reads the setup file once and writes both files; the old agent, retired
# after the entry, logs only a failure, so its time falls to the links.
LOG_PHASES = {("setup lock", 1): "lock", ("free space", 1): "folder", ("install folder", 1): "folder",
              ("read package", 1): "one pass: application and uninstaller", ("write application", 1): "flush",
              ("place uninstaller", 1): "flush", ("place uninstaller", 2): "moves", ("replace application", 1): "moves",
              ("uninstall entry", 1): "entry", ("shortcuts", 1): "shortcuts", ("shortcuts", 2): "shortcuts",
              ("shortcuts", 3): "shortcuts"}


def log_phases(path, wall):
    """Seconds per phase from the log's lines: each line ends its phase."""
    import datetime
    times, phases, seen = [], {}, {}
    with open(path, encoding="utf-8") as log:
        for line in log:
            fields = line.rstrip("\r\n").split("\t")
            moment = datetime.datetime.strptime(fields[0], "%Y-%m-%d %H:%M:%S.%f").timestamp()
            seen[fields[1]] = seen.get(fields[1], 0) + 1
            phase = LOG_PHASES.get((fields[1], seen[fields[1]]))
            if phase and times:
                phases[phase] = phases.get(phase, 0) + moment - times[-1]
            times.append(moment)
    phases["start and exit"] = wall - (times[-1] - times[0])
    return phases


def peer_phases(path, wall):
    with open(path) as notes:
        ticks = [(name, int(value) / 1000) for name, value in (line.split() for line in notes if line.strip())]
    phases = {name: moment - ticks[number][1] for number, (name, moment) in enumerate(ticks[1:])}
    phases["start and exit"] = wall - (ticks[-1][1] - ticks[0][1])
    return phases


def windows_path(path):
    path = os.path.abspath(path)
    drive_c = os.sep + os.path.join("wine", "prefix", "drive_c") + os.sep
    if drive_c in path:
        return "C:\\" + path.split(drive_c, 1)[1].replace("/", "\\")
    return "Z:" + path.replace("/", "\\")


class Wine:
    def __init__(self, root):
        self.environment = dict(os.environ, TARVO_WINE_ROOT=root)
        self.run_script = os.path.join(HARNESS, "wine-run.sh")

    def session(self, action):
        subprocess.run([os.path.join(HARNESS, "wine-session.sh"), action], env=self.environment, check=True,
                       stdout=subprocess.DEVNULL)

    def run(self, *arguments):
        """Runs a Windows program; returns its "key value" lines and its wall time.

        Output goes to a file, not a pipe: under Wine a GUI program whose
        output is a pipe takes about a second longer to end. Every run starts
        with nothing left to write back to disk, so that no measurement pays
        for the writes of the one before (CopyFileW and the peer do not
        flush)."""
        os.sync()
        with tempfile.TemporaryFile(mode="w+") as output:
            start = time.perf_counter()
            done = subprocess.run([self.run_script, *arguments], env=self.environment, stdout=output,
                                  stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            wall = time.perf_counter() - start
            output.seek(0)
            text = output.read()
        values = {}
        for line in text.splitlines():
            key, _, value = line.strip().partition(" ")
            values[key] = value
        if done.returncode != 0:
            raise RuntimeError(f"{arguments} failed ({done.returncode}): {text}")
        return values, wall


def write_random(path, size):
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    with open(path, "wb") as out:
        left = size
        while left:
            block = os.urandom(min(left, 16 * MIB))
            out.write(block)
            left -= len(block)


def build_peer(folder, name, payload, phases):
    script = os.path.join(folder, name + ".nsi")
    output = os.path.join(folder, name + ".exe")
    line = f'File "/oname=payload.bin" "{payload}"' if payload else ""
    with open(script, "w") as out:
        out.write(PEER_SCRIPT.format(output=output, file=line, phases=windows_path(phases), version=VERSION))
    subprocess.run(["makensis", "-V1", script], check=True)
    return output


def icon_bytes(image):
    total = 0
    for entry in image.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id in (pefile.RESOURCE_TYPE["RT_ICON"], pefile.RESOURCE_TYPE["RT_GROUP_ICON"]):
            for name in entry.directory.entries:
                for language in name.directory.entries:
                    total += language.data.struct.Size
    return total


def size_rows(stub, peer_stub):
    image = pefile.PE(stub)
    code = sum(s.SizeOfRawData for s in image.sections if s.Characteristics & 0x20)
    resources = sum(s.SizeOfRawData for s in image.sections if s.Name.rstrip(b"\0") == b".rsrc")
    total = os.path.getsize(stub)
    icon = icon_bytes(image)
    return [
        ("size", "setup program, whole", total, "bytes"),
        ("size", "  code (.text)", code, "bytes"),
        ("size", "  data, headers, imports, relocations", total - code - resources, "bytes"),
        ("size", "  resources without the icon", resources - icon, "bytes"),
        ("size", "  icon", icon, "bytes"),
        ("size", "setup program without the icon", total - icon, "bytes"),
        ("size", "peer stub with uninstaller", os.path.getsize(peer_stub), "bytes"),
    ]


# On a virtual machine whose balloon device reports free memory to the host,
# memory the guest freed a few seconds earlier is given back, and the first
# write into it faults on the host: a 64 MiB file then takes 100 ms longer to
# write, depending on what ran before. Reporting covers free blocks of this
# order and above; one above the largest order (10) turns it off. Memory
# reported before that stays with the host until it is written once, so as
# much as the measurements will fill is written once first.
PAGE_REPORTING = "/sys/module/page_reporting/parameters/page_reporting_order"
NO_REPORTING = "11"


def write_once(size):
    block = bytearray(size)
    block[::4096] = b"\1" * len(range(0, size, 4096))
    del block


@contextlib.contextmanager
def memory_kept_by_the_guest(size):
    """Turns free page reporting off for the measurements, and back on after."""
    try:
        with open(PAGE_REPORTING) as setting:
            before = setting.read().strip()
        with open(PAGE_REPORTING, "w") as setting:
            setting.write(NO_REPORTING)
    except OSError:
        print("note: free page reporting is left as it is; on a virtual machine that reports free memory to its host, "
              "writes vary from run to run", file=sys.stderr)
        yield
        return
    print(f"free page reporting off for the measurements (was order {before})", file=sys.stderr)
    write_once(size)
    try:
        yield
    finally:
        with open(PAGE_REPORTING, "w") as setting:
            setting.write(before)


def spread(values):
    return statistics.median(values), min(values), max(values)


KINDS = ("fresh", "reinstall")
MEASURES = ("extract", "extract_process", "durable", "durable_copy", "durable_flush", "durable_move", "peer", "peer_net",
            "of_limit", "of_peer", "of_peer_process")
PHASES = {"copy": "64 KiB reads and writes", "flush": "FlushFileBuffers", "move": "move over the target"}


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def measure_install(wine, bench_exe, kind, out, setup, payload, peer, ours_first):
    """One install of each: ours (ExtractApplication), the durable copy that does
    the same work without the CRC, and the peer. A fresh install starts with no
    earlier file; a reinstall replaces the one the fresh install left."""
    app, durable_target, peer_folder = (os.path.join(out, name) for name in ("app.exe", "durable.bin", "peer"))
    if kind == "fresh":
        for path in (app, durable_target, peer_folder):
            remove(path)
    found = {}
    found["durable"], _ = wine.run(bench_exe, "durable", windows_path(setup), windows_path(durable_target))

    def ours():
        found["extract"], found["extract_wall"] = wine.run(bench_exe, "extract", windows_path(setup), windows_path(app))

    def theirs():
        _, found["peer_wall"] = wine.run(windows_path(peer), "/S", "/D=" + windows_path(peer_folder))

    for step in ((ours, theirs) if ours_first else (theirs, ours)):
        step()
    if found["extract"].get("result") != "1" or found["durable"].get("result") != "1":
        raise RuntimeError(f"{kind}: extraction or durable copy failed")
    return found


def measure_silent_installs(wine, out, setup, peer, ours_first):
    """Our setup file's silent install and the peer's, each a whole process
    from start to exit and each into an empty folder, with their phases."""
    ours_folders = glob.glob(os.path.join(out, "..", "users", "*", "AppData", "Local", "Programs", "Tarvo Markwise"))
    peer_folder = os.path.join(out, "peer-silent")
    log = os.path.join(out, "silent.log")
    for path in ours_folders + [peer_folder, log]:
        remove(path)
    walls = {}

    def ours():
        _, walls["ours"] = wine.run(windows_path(setup), "--silent", "--log", windows_path(log))

    def theirs():
        _, walls["peer"] = wine.run(windows_path(peer), "/S", "/D=" + windows_path(peer_folder))

    for step in ((ours, theirs) if ours_first else (theirs, ours)):
        step()
    return walls["ours"], walls["peer"], log_phases(log, walls["ours"]), peer_phases(peer_notes(out), walls["peer"])


def peer_notes(out):
    return os.path.join(out, "peer-phases.txt")


def draw_phases(phases, floors, sizes, path):
    """Where a whole silent install spends its time: ours beside the peer's,
    phase by phase, with the platform's floors of the fixed steps."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plot

    figure, axes = plot.subplots(figsize=(8, 4.8), dpi=100)
    bars = [(size, who) for size in sizes for who in ("ours", "peer")]
    bottoms = [0.0] * len(bars)
    for number, phase in enumerate(PHASE_ORDER):
        heights = [phases.get((size, who, phase), 0) for size, who in bars]
        axes.bar(range(len(bars)), heights, bottom=bottoms, color=f"C{number}", label=phase)
        bottoms = [b + h for b, h in zip(bottoms, heights)]
    axes.set_xticks(range(len(bars)), [f"{who}\n{size} MiB" for size, who in bars])
    axes.set_ylabel("ms (median of the rounds)")
    axes.set_title("floors: start and exit %.0f ms (%.0f ms with the setup's libraries), two shortcut saves %.0f ms, "
                   "the entry %.1f ms" % floors, fontsize=8)
    axes.legend(fontsize=7, ncol=2)
    figure.tight_layout()
    figure.savefig(path, metadata={"Software": None})


def draw_chart(chart, sizes, path):
    """Throughput by payload size, each median with its spread as an error bar."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plot

    figure, axes = plot.subplots(figsize=(8, 4.8), dpi=100)
    series = ("ExtractApplication", "durable copy", "sequential limit", "peer less a process start")
    for number, name in enumerate(series):
        for kind, style in zip(KINDS, ("-", "--")):
            points = [chart[(kind, name, size)] for size in sizes]
            medians = [p[0] for p in points]
            errors = [[p[0] - p[1] for p in points], [p[2] - p[0] for p in points]]
            axes.errorbar(sizes, medians, yerr=errors, linestyle=style, marker="o", capsize=4, color=f"C{number}",
                          label=f"{name}, {kind}")
    axes.set_xscale("log", base=2)
    axes.set_xticks(sizes, [f"{size} MiB" for size in sizes])
    axes.set_xlabel("payload")
    axes.set_ylabel("MB/s (median; bars: min to max over the rounds)")
    axes.set_ylim(bottom=0)
    axes.grid(True, alpha=0.3)
    axes.legend(fontsize=7, ncol=2)
    figure.tight_layout()
    figure.savefig(path, metadata={"Software": None})


def machine():
    """The processor, its cores and memory, and the system, as the page names them."""
    model = "an unknown processor"
    with contextlib.suppress(OSError), open("/proc/cpuinfo") as info:
        model = next((line.split(":", 1)[1].strip() for line in info if line.startswith("model name")), model)
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30)
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip() or "wine"
    return f"{os.cpu_count()} cores of {model}, {memory:.0f} GiB, {wine}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--warmup", type=int, default=1)
    parser.add_argument("--sizes", default="1,64,512")
    parser.add_argument("--publish", help="folder to copy the results page and the charts to")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    folder = os.path.join(build, "bench")
    sizes = [int(s) for s in options.sizes.split(",")]
    bench_exe = windows_path(os.path.join(build, "setup_bench.exe"))
    stub = os.path.join(build, "setup.exe")

    os.makedirs(folder, exist_ok=True)
    setups, peers, payloads = {}, {}, {}
    for size in sizes:
        payloads[size] = os.path.join(folder, f"payload-{size}M.bin")
        write_random(payloads[size], size * MIB)
        setups[size] = os.path.join(folder, f"setup-{size}M.exe")
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "pack_setup.py"), stub, payloads[size],
                        setups[size]], check=True, stdout=subprocess.DEVNULL)
    # Every output goes to the prefix's own drive C:, the same for all.
    out = os.path.join(folder, "wine", "prefix", "drive_c", "TarvoBench")
    for size in sizes:
        peers[size] = build_peer(folder, f"peer-{size}M", payloads[size], peer_notes(out))
    peer_stub = build_peer(folder, "peer-stub", None, peer_notes(out))
    empty_exe = windows_path(os.path.join(build, "setup_bench_empty.exe"))
    empty_imports_exe = windows_path(os.path.join(build, "setup_bench_empty_imports.exe"))

    wine = Wine(os.path.join(folder, "wine"))
    wine.session("start")
    rows, chart = [], {}
    measuring = contextlib.ExitStack()
    # About what one round leaves in the page cache: payloads, setup files,
    # the installed copies and the peer's.
    measuring.enter_context(memory_kept_by_the_guest(12 * max(sizes) * MIB))
    try:
        os.makedirs(out, exist_ok=True)
        starts, empty_starts, empty_import_starts, shortcut_saves, entry_writes, phase_chart = [], [], [], [], [], {}
        for size in sizes:
            crc_rounds, copies, memory = [], [], []
            silent = {"ours": [], "peer": [], "ratio": []}
            silent_phases = {"ours": {}, "peer": {}}
            measured = {kind: {key: [] for key in MEASURES} for kind in KINDS}
            for round_number in range(options.warmup + options.rounds):
                crc, _ = wine.run(bench_exe, "crc", windows_path(payloads[size]))
                _, start_wall = wine.run(bench_exe, "noop")
                copy, _ = wine.run(bench_exe, "copy", windows_path(payloads[size]), windows_path(os.path.join(out, "copy.bin")))
                for kind in KINDS:
                    found = measure_install(wine, bench_exe, kind, out, setups[size], payloads[size], peers[size],
                                            ours_first=round_number % 2 == 0)
                    if round_number < options.warmup:
                        continue
                    extract, durable = found["extract"], found["durable"]
                    seconds = {
                        "extract": float(extract["seconds"]),
                        # The process's wall time without its wait for a quiet machine.
                        "extract_process": found["extract_wall"] - float(extract["seconds_quiet"]),
                        "durable": float(durable["seconds"]), "durable_copy": float(durable["seconds_copy"]),
                        "durable_flush": float(durable["seconds_flush"]), "durable_move": float(durable["seconds_move"]),
                        "peer": found["peer_wall"], "peer_net": max(found["peer_wall"] - start_wall, 1e-6),
                    }
                    # This round's ratios: each against the others of the same round.
                    seconds["of_limit"] = (seconds["durable"] + float(crc["seconds_in_use"])) / seconds["extract"]
                    seconds["of_peer"] = seconds["peer_net"] / seconds["extract"]
                    seconds["of_peer_process"] = seconds["peer"] / seconds["extract_process"]
                    for key, value in seconds.items():
                        measured[kind][key].append(value)
                    if kind == "fresh":
                        memory.append(int(extract["peak_working_set"]))
                if round_number < options.warmup:
                    continue
                ours, theirs, our_phases, their_phases = measure_silent_installs(wine, out, setups[size], peers[size],
                                                                                 round_number % 2 == 1)
                for who, found in (("ours", our_phases), ("peer", their_phases)):
                    for phase, seconds in found.items():
                        silent_phases[who].setdefault(phase, []).append(seconds)
                _, empty_wall = wine.run(empty_exe)
                empty_starts.append(empty_wall)
                _, empty_wall = wine.run(empty_imports_exe)
                empty_import_starts.append(empty_wall)
                shell_folder = os.path.join(out, "shell")
                os.makedirs(shell_folder, exist_ok=True)
                shell, _ = wine.run(bench_exe, "shell", windows_path(shell_folder))
                shortcut_saves.append(float(shell["seconds_shortcuts"]))
                entry_writes.append(float(shell["seconds_entry"]))
                silent["ours"].append(ours)
                silent["peer"].append(theirs)
                silent["ratio"].append(theirs / ours)
                crc_rounds.append({key[len("seconds_"):]: float(value) for key, value in crc.items()
                                   if key.startswith("seconds_")})
                copies.append(float(copy["seconds"]))
                starts.append(start_wall)
            mb = size * MIB / 1e6

            def rate(seconds):
                return mb / seconds

            def rate_row(label, seconds):
                median, low, high = spread(seconds)
                rows.append(("throughput", label, rate(median), "MB/s", rate(high), rate(low)))
                return rate(median), rate(high), rate(low)

            def ratio_row(label, values):
                median, low, high = spread(values)
                rows.append(("ratio", label, median, "", low, high))

            in_use = next(VARIANTS[v] for v in ("avx512", "avx2", "sse2") if v in crc_rounds[0])
            rate_row(f"CRC-32 in memory ({in_use}, in use), {size} MiB", [r["in_use"] for r in crc_rounds])
            for variant, name in VARIANTS.items():
                if variant in crc_rounds[0]:
                    rate_row(f"  CRC-32 {name}, {size} MiB", [r[variant] for r in crc_rounds])
            rate_row(f"CopyFileW, {size} MiB", copies)
            for kind in KINDS:
                found = measured[kind]
                limits = [d + r["in_use"] for d, r in zip(found["durable"], crc_rounds)]
                chart[(kind, "durable copy", size)] = rate_row(f"durable copy, {kind}, {size} MiB", found["durable"])
                for phase in ("copy", "flush", "move"):
                    median, low, high = spread(found["durable_" + phase])
                    rows.append(("phase", f"  durable copy, {kind}: {PHASES[phase]}, {size} MiB", median * 1000, "ms",
                                 low * 1000, high * 1000))
                chart[(kind, "sequential limit", size)] = rate_row(
                    f"sequential limit, 1 / (1/durable + 1/CRC), {kind}, {size} MiB", limits)
                chart[(kind, "ExtractApplication", size)] = rate_row(f"ExtractApplication, {kind}, {size} MiB",
                                                                     found["extract"])
                rate_row(f"setup_bench extract process, {kind}, {size} MiB, start included", found["extract_process"])
                rate_row(f"peer silent install process, {kind}, {size} MiB, start included", found["peer"])
                chart[(kind, "peer less a process start", size)] = rate_row(
                    f"peer silent install, {kind}, {size} MiB, less a process start", found["peer_net"])
                ratio_row(f"ExtractApplication / sequential limit, {kind}, {size} MiB", found["of_limit"])
                ratio_row(f"ExtractApplication / peer less a process start, {kind}, {size} MiB", found["of_peer"])
                ratio_row(f"extract process / peer process, both with start, {kind}, {size} MiB",
                          found["of_peer_process"])
            rate_row(f"silent install, setup file --silent, process start to exit, {size} MiB", silent["ours"])
            rate_row(f"peer silent install /S, process start to exit, {size} MiB", silent["peer"])
            ratio_row(f"silent install, peer time / our time, {size} MiB", silent["ratio"])
            for phase in PHASE_ORDER:
                for who, name in (("ours", "ours"), ("peer", "peer")):
                    if phase not in silent_phases[who]:
                        continue
                    median, low, high = spread(silent_phases[who][phase])
                    phase_chart[(size, who, phase)] = median * 1000
                    rows.append(("install phase", f"  silent install, {phase}, {name}, {size} MiB", median * 1000, "ms",
                                 low * 1000, high * 1000))
            median, low, high = spread(memory)
            rows.append(("memory", f"peak working set while extracting {size} MiB", median / MIB, "MiB",
                         low / MIB, high / MIB))
        floors = []
        for label, values in (("process start and exit of an empty GUI program", empty_starts),
                              ("the same, importing the setup program's system libraries", empty_import_starts),
                              ("two shortcut saves (CreateShortcut twice)", shortcut_saves),
                              ("the uninstall entry's writes and flush (WriteUninstallEntry)", entry_writes)):
            median, low, high = spread(values)
            floors.append(median * 1000)
            rows.append(("floor", f"platform floor: {label}", median * 1000, "ms", low * 1000, high * 1000))
        rows.append(("startup", "process start of a console program (noop)", statistics.median(starts) * 1000, "ms",
                     min(starts) * 1000, max(starts) * 1000))
        startup = [float(wine.run(bench_exe, "startup", windows_path(setups[sizes[0]]))[0]["seconds"])
                   for _ in range(10)]
        median, low, high = spread(startup)
        rows.append(("startup", "start until the window is ready, 10 starts", median * 1000, "ms", low * 1000,
                     high * 1000))
    finally:
        measuring.close()
        wine.session("stop")

    memory = {r[1]: r[2] for r in rows if r[0] == "memory"}
    if len(memory) >= 2:
        values = list(memory.values())
        rows.append(("memory", "peak working set, largest less smallest payload", (values[-1] - values[0]) * 1024,
                     "KiB", None, None))
    rows.extend((kind, label, value, unit, None, None) for kind, label, value, unit in size_rows(stub, peer_stub))

    results = os.path.join(folder, "results.csv")
    with open(results, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["kind", "measure", "median", "unit", "min", "max"])
        for row in rows:
            writer.writerow([row[0], row[1]] + [f"{v:.3f}" if isinstance(v, float) else v for v in row[2:]])
    number = lambda v: "" if v is None else (f"{v:,.0f}" if abs(v) >= 100 else f"{v:.2f}")
    table = ["| measure | median | unit | min | max |", "| --- | ---: | --- | ---: | ---: |"]
    table += [f"| {label} | {number(value)} | {unit} | {number(low)} | {number(high)} |"
              for kind, label, value, unit, low, high in rows]
    print("\n".join(table))
    picture = os.path.join(folder, "throughput.png")
    draw_chart(chart, sizes, picture)
    phases_picture = os.path.join(folder, "phases.png")
    draw_phases(phase_chart, tuple(floors), sizes, phases_picture)
    page = os.path.join(folder, "performance-results.md")
    with open(page, "w", encoding="utf-8") as out:
        out.write("# Benchmark results\n\nWritten by `bench/bench.py` (`scripts/bench.sh "
                  + " ".join(sys.argv[2:]) + "`), on " + machine() + "; the charts beside it are "
                  "[throughput.png](throughput.png) and [phases.png](phases.png).\n\n" + "\n".join(table) + "\n")
    if options.publish:
        for name in (page, picture, phases_picture):
            shutil.copy(name, options.publish)
    print(f"\nwritten to {results}, {page}, {picture} and {phases_picture}")


if __name__ == "__main__":
    main()
