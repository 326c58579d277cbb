#!/usr/bin/env python3
"""Measures setup_orbel.exe against a peer installer and against the floor of
the work itself, on a 32-bit and a 64-bit Windows under Wine, and writes the
figures to docs/benchmarks.md with a chart.

    bench/run [--runs N]

Contenders, with the same production-sized payloads:
  setup_orbel          the release build
  setup_orbel-512      the same, linked with the usual 512-byte file alignment
  nsis-execwait        an NSIS installer doing the same job: silent, elevated,
                       payloads stored uncompressed, regsvr32 /s run and waited for
  nsis-regdll          the same NSIS installer registering in-process with RegDLL
The floor is the sum of a native copy of the eleven files onto the same
filesystem, flushed; the six bare regsvr32 /s runs under Wine; and the start of
an empty GUI program under Wine.

Each run gets a fresh copy of a prepared prefix whose wineserver is already up,
so that prefix start-up is not timed; contenders are alternated; the first
round is a warm-up and is dropped. Times are taken inside Windows, from the
child's start to its end; memory is read from /proc while the installer runs.
"""
import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "out", "bench")
sys.path.insert(0, os.path.join(ROOT, "tools"))
import component_table  # noqa: E402

TABLE = component_table.rows(ROOT)
FILES = [base + ext for base, ext, _ in TABLE]
SERVERS = [base + ext for base, ext, registered in TABLE if registered]
KINDS = ("win32", "win64")
GROWTH_MB = (1, 17, 100)
OVERRIDES = "msxml6=n;mscoree,mshtml="
# In the emulated guest, figures are written for the host to collect, not over the native ones in docs/.
EMULATED = bool(os.environ.get("ORBEL_IN_GUEST"))
REPORT_DIR = os.environ.get("ORBEL_GUEST_RESULTS", os.path.join(ROOT, "docs")) if EMULATED else os.path.join(ROOT, "docs")
EMULATION_NOTE = ("MEASURED UNDER EMULATION (qemu-system-x86_64, TCG): every time below is of an emulated machine, "
                  "4-5 times native; ratios within this run keep their meaning, absolute times do not compare "
                  "with native figures.")


def sh(*command, **options):
    return subprocess.run(command, check=True, **options)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---- Building what is measured ----

def build():
    toolchain = os.path.join(ROOT, "cmake", "toolchain-mingw-w64-i686.cmake")
    demo_build = os.path.join(OUT, "demo-build")
    print("Building the demo payloads ...", flush=True)
    sh("cmake", "-S", ROOT, "-B", demo_build, "-G", "Ninja", "-DCMAKE_TOOLCHAIN_FILE=" + toolchain,
       stdout=subprocess.DEVNULL)
    sh("cmake", "--build", demo_build, "--target", "orbel_demo_payloads", stdout=subprocess.DEVNULL)
    demo = os.path.join(demo_build, "demo-payloads")
    payloads = os.path.join(OUT, "payloads")
    maker = os.path.join(ROOT, "tools", "make_payloads.py")
    print("Making production-sized payloads ...", flush=True)
    sh(sys.executable, maker, demo, os.path.join(payloads, "production"), "--production-sizes")
    for megabytes in GROWTH_MB:
        sh(sys.executable, maker, demo, os.path.join(payloads, f"growth-{megabytes}"),
           "--size", f"CorvoGovX.ocx={megabytes * 1000 * 1000}")

    bench_build = os.path.join(OUT, "build")
    print("Building the installers ...", flush=True)
    sh("cmake", "-S", ROOT, "-B", bench_build, "-G", "Ninja", "-DCMAKE_TOOLCHAIN_FILE=" + toolchain,
       "-DORBEL_PAYLOAD_DIR=" + os.path.join(payloads, "production"), "-DORBEL_BENCH=ON",
       "-DORBEL_BENCH_GROWTH_DIR=" + payloads, stdout=subprocess.DEVNULL)
    sh("cmake", "--build", bench_build, stdout=subprocess.DEVNULL)

    production = os.path.join(payloads, "production")
    nsis = {}
    for mode in ("execwait", "regdll"):
        script = os.path.join(OUT, f"peer-{mode}.nsi")
        exe = os.path.join(OUT, f"peer-{mode}.exe")
        with open(script, "w", encoding="utf-8") as f:
            f.write(nsis_script(production, exe, mode))
        sh("makensis", "-V2", script, stdout=subprocess.DEVNULL)
        nsis[mode] = exe
    return {
        "build": bench_build,
        "payloads": production,
        "installers": {
            "setup_orbel": os.path.join(bench_build, "setup_orbel.exe"),
            "setup_orbel-512": os.path.join(bench_build, "bench", "setup_orbel_unaligned.exe"),
            "nsis-execwait": nsis["execwait"],
            "nsis-regdll": nsis["regdll"],
        },
        "growth_installers": {mb: os.path.join(bench_build, "bench", f"setup_orbel_growth_{mb}.exe")
                              for mb in GROWTH_MB},
        "stopwatch": os.path.join(bench_build, "tools", "orbel_stopwatch.exe"),
        "empty": os.path.join(bench_build, "bench", "bench_empty.exe"),
    }


def nsis_script(payloads, exe, mode):
    """The peer installer: the same eleven files into the same folder, the same six registrations."""
    lines = ["Unicode true", "SetCompress off", "RequestExecutionLevel admin", "SilentInstall silent",
             'Name "orbel peer"', f'OutFile "{exe}"', '!include "x64.nsh"', '!include "LogicLib.nsh"',
             "Section",
             # A 32-bit installer's $SYSDIR is redirected to SysWOW64 on 64-bit Windows.
             '  SetOutPath "$SYSDIR"', "  ${If} ${RunningX64}"]
    lines += [f'    File "/oname={name}" "{payloads}/64/{name}"' for name in FILES]
    lines += ["  ${Else}"]
    lines += [f'    File "/oname={name}" "{payloads}/32/{name}"' for name in FILES]
    lines += ["  ${EndIf}"]
    for name in SERVERS:
        if mode == "execwait":
            lines.append(f"  ExecWait '\"$SYSDIR\\regsvr32.exe\" /s \"$SYSDIR\\{name}\"'")
        else:
            lines.append(f'  RegDLL "$SYSDIR\\{name}"')
    lines += ["SectionEnd", ""]
    return "\n".join(lines)


# ---- Windows to measure in ----

def template(kind):
    path = os.path.join(OUT, "wine", f"{kind}-template")
    if not os.path.exists(os.path.join(path, ".ready")):
        print(f"Making a {kind} template prefix ...", flush=True)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        env = {**os.environ, "WINEARCH": kind, "WINEPREFIX": path, "WINEDEBUG": "-all"}
        sh("wineboot", "-i", env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sh("wineserver", "-w", env=env)
        open(os.path.join(path, ".ready"), "w").close()
    return path


class Prefix:
    """A fresh copy of the template, its wineserver up and its services started."""

    def __init__(self, kind, tools):
        self.kind = kind
        self.path = os.path.join(OUT, "wine", f"run-{kind}")
        shutil.rmtree(self.path, ignore_errors=True)
        sh("cp", "-a", template(kind), self.path)
        self.env = {**os.environ, "WINEPREFIX": self.path, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": OVERRIDES}
        self.folder = os.path.join(self.path, "drive_c", "windows", "syswow64" if kind == "win64" else "system32")
        self.windows_folder = "C:\\windows\\" + ("syswow64" if kind == "win64" else "system32")
        self.variant = "64" if kind == "win64" else "32"
        self.tools = tools
        sh("wineserver", "-p", env=self.env)
        self.time([f'"{windows_path(tools["empty"])}"'])
        # The copy's dirty pages would otherwise be written out during the next
        # run, and charged to whichever contender flushes its files.
        os.sync()

    def time(self, commands, watch=None):
        """Runs the command lines in turn from inside Windows: (seconds, exit codes, peak private, peak resident)."""
        with open(os.path.join(self.path, "drive_c", "commands.txt"), "w", encoding="utf-8") as f:
            f.write("\n".join(commands) + "\n")
        result = os.path.join(self.path, "drive_c", "result.txt")
        if os.path.exists(result):
            os.remove(result)
        memory = MemoryWatch(watch, self.path) if watch else None
        with open(os.devnull, "wb") as quiet:
            subprocess.run(["wine", self.tools["stopwatch"], "C:\\result.txt", "C:\\commands.txt"],
                           env=self.env, stdout=quiet, stderr=quiet, timeout=600)
        peaks = memory.stop() if memory else (0, 0)
        with open(result, encoding="ascii") as f:
            fields = f.read().split()
        return float(fields[0]), [int(code) for code in fields[1:]], peaks[0], peaks[1]

    def remove(self):
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=self.env, capture_output=True)
        shutil.rmtree(self.path, ignore_errors=True)


class MemoryWatch:
    """The peaks of private (anonymous) and resident memory of the processes running <name>."""

    def __init__(self, name, prefix):
        self.name = os.path.basename(name).encode()
        self.prefix = prefix.encode()
        self.peaks = [0, 0]
        self.running = True
        self.thread = threading.Thread(target=self.poll)
        self.thread.start()

    def poll(self):
        # A new process shows wine's own command line until it has started its
        # program, so a pid is given up on only once it is older than that.
        mine, passed, first_seen = set(), set(), {}
        while self.running:
            now = time.monotonic()
            for pid in os.listdir("/proc"):
                if not pid.isdigit() or pid in passed:
                    continue
                try:
                    if pid not in mine:
                        with open(f"/proc/{pid}/cmdline", "rb") as f:
                            named = self.name in f.read()
                        if named:
                            with open(f"/proc/{pid}/environ", "rb") as f:
                                named = b"WINEPREFIX=" + self.prefix + b"\0" in f.read()
                        if named:
                            mine.add(pid)
                        elif now - first_seen.setdefault(pid, now) > 0.5:
                            passed.add(pid)
                        continue
                    with open(f"/proc/{pid}/status", encoding="ascii") as f:
                        fields = dict(line.split(":", 1) for line in f if ":" in line)
                except OSError:
                    continue
                anon = int(fields.get("RssAnon", "0 kB").split()[0]) * 1024
                resident = int(fields.get("VmHWM", "0 kB").split()[0]) * 1024
                self.peaks = [max(self.peaks[0], anon), max(self.peaks[1], resident)]
            time.sleep(0.002)

    def stop(self):
        self.running = False
        self.thread.join()
        return tuple(self.peaks)


def native_copy(payloads, variant):
    """The eleven files copied natively onto the filesystem the prefixes live on, each flushed."""
    target = os.path.join(OUT, "native-copy")
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    started = time.perf_counter()
    for name in FILES:
        with open(os.path.join(payloads, variant, name), "rb") as source, \
                open(os.path.join(target, name), "wb") as copy:
            shutil.copyfileobj(source, copy, 1 << 20)
            copy.flush()
            os.fsync(copy.fileno())
    folder = os.open(target, os.O_RDONLY)
    os.fsync(folder)
    os.close(folder)
    return time.perf_counter() - started


# ---- Measuring ----

def measure_kind(kind, tools, runs):
    samples = {name: [] for name in ("setup_orbel", "setup_orbel-512", "nsis-execwait", "nsis-regdll",
                                     "floor-copy", "floor-regsvr32", "floor-start")}
    growth = {mb: [] for mb in GROWTH_MB}
    order = list(samples)
    for round_ in range(runs + 1):
        warmup = round_ == 0
        print(f"{kind}: {'warm-up' if warmup else f'round {round_} of {runs}'}", flush=True)
        rotated = order[round_ % len(order):] + order[:round_ % len(order)]
        for name in rotated:
            sample = measure_one(kind, tools, name)
            if not warmup:
                samples[name].append(sample)
        for mb in GROWTH_MB:
            prefix = Prefix(kind, tools)
            try:
                installer = tools["growth_installers"][mb]
                sample = prefix.time([f'"{windows_path(installer)}"'], watch=installer)
            finally:
                prefix.remove()
            if not warmup:
                growth[mb].append(sample)
    return samples, growth


def measure_paired(kind, tools, runs):
    """In one prefix, alternately: the installer, the six bare registrations, the empty start, the native copy.
    With the prefix's own noise shared, the difference says what the installer adds to the floor."""
    variant = "64" if kind == "win64" else "32"
    prefix = Prefix(kind, tools)
    samples = {"installer": [], "regsvr32": [], "start": [], "copy": []}
    try:
        installer = f'"{windows_path(tools["installers"]["setup_orbel"])}"'
        prefix.time([installer])  # the files are in place from here on, as for the bare registrations
        registrations = [f'"{prefix.windows_folder}\\regsvr32.exe" /s "{prefix.windows_folder}\\{file}"'
                         for file in SERVERS]
        for _ in range(runs + 2):
            os.sync()
            samples["installer"].append(prefix.time([installer])[0])
            samples["regsvr32"].append(prefix.time(registrations)[0])
            samples["start"].append(prefix.time([f'"{windows_path(tools["empty"])}"'])[0])
            os.sync()
            samples["copy"].append(native_copy(tools["payloads"], variant))
    finally:
        prefix.remove()
    return samples


def measure_one(kind, tools, name):
    variant = "64" if kind == "win64" else "32"
    if name == "floor-copy":
        os.sync()
        return native_copy(tools["payloads"], variant), [0], 0, 0
    prefix = Prefix(kind, tools)
    try:
        if name == "floor-regsvr32":
            for file in FILES:
                shutil.copy(os.path.join(tools["payloads"], variant, file), os.path.join(prefix.folder, file))
            os.sync()
            commands = [f'"{prefix.windows_folder}\\regsvr32.exe" /s "{prefix.windows_folder}\\{file}"'
                        for file in SERVERS]
            return prefix.time(commands)
        if name == "floor-start":
            return prefix.time([f'"{windows_path(tools["empty"])}"'], watch=tools["empty"])
        installer = tools["installers"][name]
        sample = prefix.time([f'"{windows_path(installer)}"'], watch=installer)
        installed = all(identical(os.path.join(prefix.folder, file),
                                  os.path.join(tools["payloads"], variant, file)) for file in FILES)
        if not installed:
            print(f"  warning: {name} on {kind} did not install every file", flush=True)
        return sample
    finally:
        prefix.remove()


def identical(a, b):
    try:
        with open(a, "rb") as f, open(b, "rb") as g:
            return f.read() == g.read()
    except OSError:
        return False


# ---- Reporting ----

def summary(values):
    return statistics.median(values), min(values), max(values)


def mib(value):
    return f"{value / (1 << 20):.1f}"


def distinct_payload_bytes(folder):
    images = {}
    for variant in ("32", "64"):
        for name in FILES:
            with open(os.path.join(folder, variant, name), "rb") as f:
                data = f.read()
            images[hashlib.sha256(data).digest()] = len(data)
    return sum(images.values())


def figures(values):
    """Median, minimum and maximum time, and the peaks of private and resident memory, of some samples."""
    median, low, high = summary([v[0] for v in values])
    return median, low, high, max(v[2] for v in values), max(v[3] for v in values)


def report(tools, results, runs, elapsed):
    floor = {}
    medians = {}
    table = ["| Windows | contender | median s | min–max s | peak private MiB | peak resident MiB | exit codes |",
             "|---|---|---|---|---|---|---|"]
    for kind in KINDS:
        samples = results[kind][0]
        for name, values in samples.items():
            median, low, high, private, resident = figures(values)
            medians[(kind, name)] = median
            codes = sorted({c for v in values for c in v[1]})
            memory = (mib(private), mib(resident)) if private else ("–", "–")
            table.append(f"| {kind} | {name} | {median:.3f} | {low:.3f}–{high:.3f} | {memory[0]} | {memory[1]} | "
                         f"{', '.join(map(str, codes))} |")
        floor[kind] = sum(medians[(kind, part)] for part in ("floor-copy", "floor-regsvr32", "floor-start"))
        table.append(f"| {kind} | **floor** (copy + regsvr32 + start) | {floor[kind]:.3f} | | | | |")

    ratios = ["| Windows | setup_orbel / nsis-execwait | setup_orbel / floor | target |", "|---|---|---|---|"]
    for kind in KINDS:
        ratios.append(f"| {kind} | {medians[(kind, 'setup_orbel')] / medians[(kind, 'nsis-execwait')]:.2f} | "
                      f"{medians[(kind, 'setup_orbel')] / floor[kind]:.2f} | ≤ 1.10 × floor |")

    distinct = distinct_payload_bytes(tools["payloads"])
    sizes = ["| executable | bytes | distinct payload bytes | overhead (size − distinct payloads) |", "|---|---|---|---|"]
    for name in ("setup_orbel", "setup_orbel-512", "nsis-execwait"):
        size = os.path.getsize(tools["installers"][name])
        sizes.append(f"| {name} | {size:,} | {distinct:,} | {size - distinct:,} |")

    growth = ["| Windows | CorvoGovX MB | median s | min–max s | peak private MiB | peak resident MiB |",
              "|---|---|---|---|---|---|"]
    for kind in KINDS:
        by_size = results[kind][1]
        for mb, values in by_size.items():
            median, low, high, private, resident = figures(values)
            growth.append(f"| {kind} | {mb} | {median:.3f} | {low:.3f}–{high:.3f} | {mib(private)} | {mib(resident)} |")

    paired = ["| Windows | installer s | six regsvr32 /s s | empty start s | native copy s | installer − floor s | installer / floor |",
              "|---|---|---|---|---|---|---|"]
    for kind in KINDS:
        parts = {name: statistics.median(values) for name, values in results[kind][2].items()}
        floor_sum = parts["regsvr32"] + parts["start"] + parts["copy"]
        paired.append(f"| {kind} | {parts['installer']:.3f} | {parts['regsvr32']:.3f} | {parts['start']:.3f} | "
                      f"{parts['copy']:.3f} | {parts['installer'] - floor_sum:+.3f} | {parts['installer'] / floor_sum:.2f} |")

    os.makedirs(REPORT_DIR, exist_ok=True)
    chart = os.path.join(REPORT_DIR, "benchmarks.png")
    draw_chart(results, medians, floor, chart)
    placeholders = {
        "RUNS": str(runs),
        "MACHINE": machine(),
        "ELAPSED": f"{elapsed / 60:.1f}",
        "TIMES": "\n".join(table),
        "RATIOS": "\n".join(ratios),
        "SIZES": "\n".join(sizes),
        "GROWTH": "\n".join(growth),
        "PAIRED": "\n".join(paired),
    }
    with open(os.path.join(ROOT, "bench", "benchmarks.md.in"), encoding="utf-8") as f:
        text = f.read()
    for key, value in placeholders.items():
        text = text.replace("@" + key + "@", value)
    note = [f"**{EMULATION_NOTE}**", ""] if EMULATED else []
    if EMULATED:
        text = text.replace("\n\n", f"\n\n{note[0]}\n\n", 1)
    with open(os.path.join(REPORT_DIR, "benchmarks.md"), "w", encoding="utf-8") as f:
        f.write(text)
    print("\n".join(["", *note, *table, "", *ratios, "", *paired, "", *sizes, "", *growth, "", *note]))
    print(f"Wrote {os.path.relpath(REPORT_DIR, ROOT)}/benchmarks.md and benchmarks.png")


def machine():
    cores = os.cpu_count()
    with open("/proc/meminfo", encoding="ascii") as f:
        memory = int(f.readline().split()[1]) // (1 << 20)
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    where = " in an emulated x86-64 guest (qemu TCG)" if EMULATED else ""
    return f"{cores} cores, {memory} GiB, {wine}{where}, {time.strftime('%Y-%m-%d')}"


def draw_chart(results, medians, floor, path):
    data = os.path.join(OUT, "chart.dat")
    names = ["setup_orbel", "setup_orbel-512", "nsis-execwait", "nsis-regdll"]
    with open(data, "w", encoding="ascii") as f:
        for index, name in enumerate(names + ["floor"]):
            row = [f'"{name}"']
            for kind in KINDS:
                if name == "floor":
                    row += [f"{floor[kind]:.4f}", f"{floor[kind]:.4f}", f"{floor[kind]:.4f}"]
                else:
                    values = [v[0] for v in results[kind][0][name]]
                    row += [f"{medians[(kind, name)]:.4f}", f"{min(values):.4f}", f"{max(values):.4f}"]
            f.write(" ".join(row) + "\n")
    growth = os.path.join(OUT, "growth.dat")
    with open(growth, "w", encoding="ascii") as f:
        for mb in GROWTH_MB:
            f.write(f"{mb} " + " ".join(f"{statistics.median(v[0] for v in results[kind][1][mb]):.4f}"
                                        for kind in KINDS) + "\n")
    script = f"""
set terminal pngcairo size 1100,460 font ",10" noenhanced
set output "{path}"
set multiplot layout 1,2
set title "Whole run, median with min–max (s)"
set style data histograms
set style histogram errorbars gap 2 lw 1
set style fill solid 0.7 border -1
set ylabel "seconds"
set yrange [0:*]
set xtics rotate by -20
set key top left
plot "{data}" using 2:3:4:xtic(1) title "32-bit Windows", "" using 5:6:7 title "64-bit Windows"
unset style
set style data linespoints
set title "setup_orbel: time by size of its largest payload"
set xlabel "CorvoGovX payload (MB)"
set ylabel "seconds"
set xtics norotate
set xrange [0:105]
plot "{growth}" using 1:2 title "32-bit Windows" lw 2, "" using 1:3 title "64-bit Windows" lw 2
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def compare(old, new, stopwatch, runs):
    """Two builds of the installer, alternated in one prefix of each kind: what a change costs the clean path.
    A warm-up round of each is dropped, so both are timed as re-runs over their own installation."""
    tools = {"stopwatch": stopwatch, "empty": stopwatch}
    for kind in KINDS:
        prefix = Prefix(kind, tools)
        samples = {"old": [], "new": []}
        try:
            for round_ in range(runs + 1):
                for name, exe in (("old", old), ("new", new)) if round_ % 2 else (("new", new), ("old", old)):
                    os.sync()
                    seconds, codes, _, _ = prefix.time([f'"{windows_path(exe)}"'])
                    if codes != [0]:
                        sys.exit(f"compare: {name} exited with {codes} on {kind}")
                    if round_:
                        samples[name].append(seconds)
        finally:
            prefix.remove()
        differences = [n - o for o, n in zip(samples["old"], samples["new"])]
        mean = statistics.mean(differences)
        half = 2 * statistics.stdev(differences) / len(differences) ** 0.5
        print(f"{kind}: {runs} pairs: old median {statistics.median(samples['old']):.3f} s, "
              f"new median {statistics.median(samples['new']):.3f} s; new - old: median "
              f"{statistics.median(differences) * 1000:+.0f} ms, mean {mean * 1000:+.0f} ms "
              f"(about 95 %: {(mean - half) * 1000:+.0f} to {(mean + half) * 1000:+.0f} ms)", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="measured rounds after the warm-up (at least 5)")
    parser.add_argument("--compare", nargs=3, metavar=("OLD", "NEW", "STOPWATCH"),
                        help="only time two builds of the installer against each other, alternated, in one prefix "
                             "of each kind (bench/compare)")
    parser.add_argument("--report-only", action="store_true",
                        help="write the report again from the last run's samples, measuring nothing")
    args = parser.parse_args()
    if args.compare:
        compare(*[os.path.abspath(path) for path in args.compare], max(args.runs, 2))
        return
    started = time.time()
    os.makedirs(OUT, exist_ok=True)
    saved = os.path.join(OUT, "samples.json")
    if args.report_only:
        with open(saved, encoding="utf-8") as f:
            state = json.load(f)
        tools, runs, elapsed = state["tools"], state["runs"], state["elapsed"]
        results = {kind: (samples, {int(mb): values for mb, values in growth.items()}, paired)
                   for kind, (samples, growth, paired) in state["results"].items()}
        tools["growth_installers"] = {int(mb): path for mb, path in tools["growth_installers"].items()}
    else:
        tools = build()
        results = {kind: measure_kind(kind, tools, args.runs) for kind in KINDS}
        for kind in KINDS:
            print(f"{kind}: paired rounds in one prefix", flush=True)
            results[kind] = (*results[kind], measure_paired(kind, tools, args.runs))
        runs, elapsed = args.runs, time.time() - started
        # Kept, so that the report can be written again without measuring again.
        with open(saved, "w", encoding="utf-8") as f:
            json.dump({"tools": tools, "runs": runs, "elapsed": elapsed, "results": results}, f)
    report(tools, results, runs, elapsed)


if __name__ == "__main__":
    main()
