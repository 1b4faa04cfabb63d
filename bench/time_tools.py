#!/usr/bin/env python3
"""Times the tool against the reference decoders, interleaved pair by pair.

Called by run-bench.sh once the album and the Release build exist. Every run
is a fresh process; each goes through the small launcher spawn_timed, which
gives its wall time (a monotonic clock around fork, exec and wait), its CPU
time and its peak resident memory (the kernel's accounting of that one child). Prints Markdown tables.
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import tempfile
import time

# The tool's report gives the sheet's length on the LeadOut line of its layout.
ALBUM_LEADOUT = "74:00:00"


def spawn_and_time(launcher, argv, env):
    """Runs argv through the launcher; wall s, cpu s, peak KiB."""
    result = subprocess.run([launcher] + argv, env=env, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"time_tools: {' '.join(argv)} exited with {result.returncode}")
    wall, cpu, peak = result.stdout.split()
    return float(wall), float(cpu), int(peak)


def tool_env(cache_root):
    env = dict(os.environ)
    env["TRAKMAP_CACHE_ROOT"] = cache_root
    return env


def check_report(tool, sheet, cache_root):
    """The tool must measure the album; returns its report."""
    result = subprocess.run([tool, sheet], env=tool_env(cache_root), capture_output=True, text=True, check=True)
    leadout = [line for line in result.stdout.splitlines() if line.startswith("LeadOut")]
    if result.stderr or not leadout or ALBUM_LEADOUT not in leadout[0]:
        raise SystemExit(f"time_tools: the tool did not measure {sheet}:\n{result.stdout}{result.stderr}")
    return result.stdout


def read_once(path):
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass


def first_line(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True).stdout or ""
    except OSError:
        return "?"
    return out.splitlines()[0].strip() if out.strip() else "?"


def cpu_model():
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def busy_processes():
    out = subprocess.run(["pgrep", "-fa", "fuzz"], capture_output=True, text=True).stdout
    return [line for line in out.splitlines() if "pgrep" not in line]


def ms(seconds):
    return f"{seconds * 1000:.1f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--launcher", required=True, help="spawn_timed")
    parser.add_argument("--data", required=True)
    parser.add_argument("--pairs", type=int, default=7)
    args = parser.parse_args()
    if args.pairs < 1:
        raise SystemExit("time_tools: at least one pair")

    flac_file = os.path.join(args.data, "album.flac")
    wv_file = os.path.join(args.data, "album.wv")
    flac_sheet = os.path.join(args.data, "album-flac.cue")
    wv_sheet = os.path.join(args.data, "album-wv.cue")
    flac_mb = os.path.getsize(flac_file) / 1e6

    scratch = tempfile.mkdtemp(prefix="trakmap-bench-")
    try:
        warm_root = os.path.join(scratch, "warm")
        os.mkdir(warm_root)
        # Fill the warm cache, and check that both files measure and that a
        # cached table gives the same report as a walk.
        for sheet in (flac_sheet, wv_sheet):
            walked = check_report(args.tool, sheet, warm_root)
            if check_report(args.tool, sheet, warm_root) != walked:
                raise SystemExit(f"time_tools: the cached report of {sheet} differs from the walked one")
        # Both sides read the same files from the page cache.
        read_once(flac_file)
        read_once(wv_file)

        runs = 0

        def cold(sheet):
            nonlocal runs
            runs += 1
            root = os.path.join(scratch, f"cold{runs}")
            os.mkdir(root)
            try:
                return spawn_and_time(args.launcher, [args.tool, sheet], tool_env(root))
            finally:
                shutil.rmtree(root)

        def warm(sheet):
            return spawn_and_time(args.launcher, [args.tool, sheet], tool_env(warm_root))

        def ref(argv):
            return spawn_and_time(args.launcher, argv, dict(os.environ))

        kinds = {
            "flac_cold": lambda: cold(flac_sheet),
            "flac_ref": lambda: ref(["flac", "-t", "--silent", flac_file]),
            "flac_warm": lambda: warm(flac_sheet),
            "wv_cold": lambda: cold(wv_sheet),
            "wv_ref": lambda: ref(["wvunpack", "-vq", wv_file]),
            "wv_warm": lambda: warm(wv_sheet),
            "startup": lambda: ref([args.tool, "-h"]),
        }
        # Each pair runs its two sides back to back, the side going first
        # alternating from pair to pair.
        groups = [("flac_cold", "flac_ref"), ("flac_warm", "flac_cold"), ("wv_cold", "wv_ref"),
                  ("wv_warm", "startup")]
        load_before = os.getloadavg()
        busy_before = busy_processes()
        results = {kind: [] for kind in kinds}
        paired = {group: [] for group in groups}
        for pair in range(args.pairs):
            for group in groups:
                order = group if pair % 2 == 0 else group[::-1]
                got = {kind: kinds[kind]() for kind in order}
                for kind, value in got.items():
                    results[kind].append(value)
                paired[group].append((got[group[0]], got[group[1]]))
        load_after = os.getloadavg()
        busy_after = busy_processes()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    def med(kind, index):
        return statistics.median(r[index] for r in results[kind])

    print("## Machine")
    print()
    print(f"- CPU: {cpu_model()}, {os.cpu_count()} logical CPUs")
    print(f"- compiler: {first_line(['c++', '--version'])}")
    print(f"- reference: {first_line(['flac', '--version'])}; {first_line(['wvunpack', '--version'])}")
    print(f"- album: {flac_mb:.1f} MB FLAC (flac -8), {os.path.getsize(wv_file) / 1e6:.1f} MB WavPack (-hh)")
    print(f"- load average (1, 5, 15 min) before: {', '.join(f'{x:.2f}' for x in load_before)}; "
          f"after: {', '.join(f'{x:.2f}' for x in load_after)}")
    busy = busy_before or busy_after
    print(f"- other fuzzing processes running: {'yes (' + str(len(busy)) + ')' if busy else 'none'}")
    print(f"- {args.pairs} interleaved pairs")
    print()

    names = {
        "flac_cold": "tool, FLAC, empty cache (walk)",
        "flac_warm": "tool, FLAC, warm cache",
        "flac_ref": "flac -t --silent",
        "wv_cold": "tool, WavPack, empty cache",
        "wv_warm": "tool, WavPack, warm cache",
        "wv_ref": "wvunpack -vq",
        "startup": "tool -h (process start-up)",
    }
    print("## Medians")
    print()
    print("| run | wall ms | CPU ms | peak RSS MiB (max) | FLAC MB/s (wall) |")
    print("|---|---:|---:|---:|---:|")
    for kind in ("flac_cold", "flac_warm", "flac_ref", "wv_cold", "wv_warm", "wv_ref", "startup"):
        wall = med(kind, 0)
        rate = f"{flac_mb / wall:.0f}" if kind in ("flac_cold", "flac_ref") else ""
        peak = max(r[2] for r in results[kind]) / 1024
        print(f"| {names[kind]} | {ms(wall)} | {ms(med(kind, 1))} | {peak:.1f} | {rate} |")
    print()

    def ratios(group, index=0):
        return [a[index] / b[index] for a, b in paired[group]]

    print("## Pairs (wall ms)")
    print()
    print("| pair | walk | flac -t | walk / flac -t | warm | walk | warm / walk | wv tool | wvunpack | wv tool / wvunpack |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for i in range(args.pairs):
        (walk, flac_t) = paired[groups[0]][i]
        (warm_run, walk2) = paired[groups[1]][i]
        (wv_tool, wv_ref) = paired[groups[2]][i]
        print(f"| {i + 1} | {ms(walk[0])} | {ms(flac_t[0])} | {walk[0] / flac_t[0]:.3f} | {ms(warm_run[0])} | "
              f"{ms(walk2[0])} | {warm_run[0] / walk2[0]:.4f} | {ms(wv_tool[0])} | {ms(wv_ref[0])} | "
              f"{wv_tool[0] / wv_ref[0]:.4f} |")
    print()

    peak_flac = max(r[2] for r in results["flac_cold"]) / 1024
    targets = [
        ("FLAC walk / flac -t", groups[0], 0.2, "at most 0.2"),
        ("FLAC warm / walk", groups[1], 0.01, "under 0.01"),
        ("WavPack empty cache / wvunpack -vq", groups[2], 0.05, "under 0.05"),
    ]
    print("## Targets (ratios of the pairs: median and worst pair, wall time; median of CPU time)")
    print()
    print("| target | wall median | wall worst | CPU median | limit | met (wall median) |")
    print("|---|---:|---:|---:|---|---|")
    for name, group, limit, text in targets:
        wall = ratios(group)
        cpu = ratios(group, 1)
        met = "yes" if statistics.median(wall) <= limit else "no"
        print(f"| {name} | {statistics.median(wall):.4f} | {max(wall):.4f} | {statistics.median(cpu):.4f} | {text} "
              f"| {met} |")
    print(f"| peak RSS of a FLAC walk (largest run) | {peak_flac:.1f} MiB | | | under 8 MiB "
          f"| {'yes' if peak_flac < 8 else 'no'} |")

if __name__ == "__main__":
    main()
