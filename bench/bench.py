#!/usr/bin/python3
"""Benchmark of the setup program against a peer installer, under Wine.

Measures, side by side in one run (median of several rounds, with min and
max): extraction throughput of ExtractApplication against the program's own
CRC-32 in memory (each variant the processor offers), a durable copy of the
same bytes (64 KiB reads and writes, then a flush: the extraction without its
CRC), the sequential limit those two imply for one thread, CopyFileW and the
peer's silent install of the same payload; the peak working set of the
extracting process; the size of the setup program without payload; and the
time until the setup window is ready.

Prints a table and writes it to BENCH_DIR/results.csv. Called by
scripts/bench.sh, which builds what it needs first.

Usage: bench.py BUILD_DIR [--rounds N] [--sizes 1,64,512]
"""
import argparse
import csv
import os
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

PEER_SCRIPT = """Unicode true
Target amd64-unicode
SetCompress off
CRCCheck on
SilentInstall silent
RequestExecutionLevel user
Name "Peer Bench"
OutFile "{output}"
InstallDir "$LOCALAPPDATA\\PeerBench"
Section
  SetOutPath "$INSTDIR"
  {file}
  WriteUninstaller "$INSTDIR\\uninstall.exe"
SectionEnd
Section "Uninstall"
  Delete "$INSTDIR\\payload.bin"
  Delete "$INSTDIR\\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
"""


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


def build_peer(folder, name, payload):
    script = os.path.join(folder, name + ".nsi")
    output = os.path.join(folder, name + ".exe")
    line = f'File "/oname=payload.bin" "{payload}"' if payload else ""
    with open(script, "w") as out:
        out.write(PEER_SCRIPT.format(output=output, file=line))
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


def spread(values):
    return statistics.median(values), min(values), max(values)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sizes", default="1,64,512")
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
        peers[size] = build_peer(folder, f"peer-{size}M", payloads[size])
    peer_stub = build_peer(folder, "peer-stub", None)

    wine = Wine(os.path.join(folder, "wine"))
    wine.session("start")
    rows = []
    try:
        # Every output goes to the prefix's own drive C:, the same for all.
        out = os.path.join(folder, "wine", "prefix", "drive_c", "TarvoBench")
        os.makedirs(out, exist_ok=True)
        starts = []
        for size in sizes:
            measured = {key: [] for key in ("extract", "extract_process", "copy", "durable", "peer", "memory")}
            crc_rounds = []
            for round_number in range(options.rounds + 1):  # round 0 warms the page cache
                crc, _ = wine.run(bench_exe, "crc", windows_path(payloads[size]))
                extract, extract_wall = wine.run(bench_exe, "extract", windows_path(setups[size]),
                                                 windows_path(os.path.join(out, "app.exe")))
                copy, _ = wine.run(bench_exe, "copy", windows_path(payloads[size]), windows_path(os.path.join(out, "copy.bin")))
                durable, _ = wine.run(bench_exe, "durable", windows_path(payloads[size]),
                                      windows_path(os.path.join(out, "durable.bin")))
                _, peer_wall = wine.run(windows_path(peers[size]), "/S", "/D=" + windows_path(os.path.join(out, "peer")))
                _, start_wall = wine.run(bench_exe, "noop")
                if extract.get("result") != "1" or durable.get("result") != "1":
                    raise RuntimeError(f"extraction or durable copy of {size} MiB failed")
                if round_number == 0:
                    continue
                crc_rounds.append({key[len("seconds_"):]: float(value) for key, value in crc.items()
                                   if key.startswith("seconds_")})
                measured["extract"].append(float(extract["seconds"]))
                measured["extract_process"].append(extract_wall)
                measured["copy"].append(float(copy["seconds"]))
                measured["durable"].append(float(durable["seconds"]))
                measured["peer"].append(peer_wall)
                measured["memory"].append(int(extract["peak_working_set"]))
                starts.append(start_wall)
            start_cost = statistics.median(starts)
            mb = size * MIB / 1e6

            def rate(seconds):
                return mb / seconds

            def rate_row(label, seconds):
                median, low, high = spread(seconds)
                rows.append(("throughput", label, rate(median), "MB/s", rate(high), rate(low)))

            in_use = next(VARIANTS[v] for v in ("avx512", "avx2", "sse2") if v in crc_rounds[0])
            rate_row(f"CRC-32 in memory ({in_use}, in use), {size} MiB", [r["in_use"] for r in crc_rounds])
            for variant, name in VARIANTS.items():
                if variant in crc_rounds[0]:
                    rate_row(f"  CRC-32 {name}, {size} MiB", [r[variant] for r in crc_rounds])
            rate_row(f"durable copy, 64 KiB chunks and a flush, {size} MiB", measured["durable"])
            crc_median = statistics.median(r["in_use"] for r in crc_rounds)
            limit = rate(statistics.median(measured["durable"]) + crc_median)
            rows.append(("throughput", f"sequential limit, 1 / (1/durable + 1/CRC), {size} MiB", limit, "MB/s",
                         None, None))
            rate_row(f"ExtractApplication, {size} MiB", measured["extract"])
            rate_row(f"CopyFileW, {size} MiB", measured["copy"])
            rate_row(f"setup_bench extract process, {size} MiB, start included", measured["extract_process"])
            rate_row(f"peer silent install process, {size} MiB, start included", measured["peer"])
            net = [max(t - start_cost, 1e-6) for t in measured["peer"]]
            rate_row(f"peer silent install, {size} MiB, less a process start", net)
            extract_rate = rate(statistics.median(measured["extract"]))
            # Each round's extraction against the limit of the same round.
            fractions = [(durable + crc["in_use"]) / extract for durable, crc, extract in
                         zip(measured["durable"], crc_rounds, measured["extract"])]
            median, low, high = spread(fractions)
            rows.append(("ratio", f"ExtractApplication / sequential limit, {size} MiB", median, "", low, high))
            rows.append(("ratio", f"ExtractApplication / peer less a process start, {size} MiB",
                         extract_rate / rate(statistics.median(net)), "", None, None))
            rows.append(("ratio", f"extract process / peer process, both with start, {size} MiB",
                         statistics.median(measured["peer"]) / statistics.median(measured["extract_process"]), "",
                         None, None))
            median, low, high = spread(measured["memory"])
            rows.append(("memory", f"peak working set while extracting {size} MiB", median / MIB, "MiB",
                         low / MIB, high / MIB))
        rows.append(("startup", "process start of a console program (noop)", statistics.median(starts) * 1000, "ms",
                     min(starts) * 1000, max(starts) * 1000))
        startup = [float(wine.run(bench_exe, "startup", windows_path(setups[sizes[0]]))[0]["seconds"])
                   for _ in range(10)]
        median, low, high = spread(startup)
        rows.append(("startup", "start until the window is ready, 10 starts", median * 1000, "ms", low * 1000,
                     high * 1000))
    finally:
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
    print(f"| measure | median | unit | min | max |\n| --- | ---: | --- | ---: | ---: |")
    for kind, label, value, unit, low, high in rows:
        number = lambda v: "" if v is None else (f"{v:,.0f}" if abs(v) >= 100 else f"{v:.2f}")
        print(f"| {label} | {number(value)} | {unit} | {number(low)} | {number(high)} |")
    print(f"\nwritten to {results}")


if __name__ == "__main__":
    main()
