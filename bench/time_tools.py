#!/usr/bin/env python3
"""Times the tool against the reference decoders, interleaved pair by pair.

Called by run-bench.sh once the album and the Release build exist. Every run
is a fresh process; each goes through the small launcher spawn_timed, which
gives its wall time (a monotonic clock around fork, exec and wait), its CPU
time and its peak resident memory (the kernel's accounting of that one child). Prints Markdown tables.

It also times the walk on a second album of other music (album2.flac,
flac -8 -e) and on the first album cut into one file per track (tracks/*.flac,
one sheet), each against `flac -t` over the same files, and, given --baseline
(the tool as it was before its walk ran on several threads), the walk held to
one core (taskset -c 0) against that build held to the same core.

Given the two Windows executables (--windows-i686, --windows-x86_64), it also
times them against each other under Wine, which run-bench.sh has started in a
throwaway prefix: each walks the FLAC file with an empty cache, and each
starts up alone (trakmap.exe -h), so that the ratio of their walks can be
taken with Wine's start-up subtracted.
"""
import argparse
import glob
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


def check_report(tool, sheet, cache_root, extra_env=None):
    """The tool must measure the album; returns its report."""
    env = tool_env(cache_root)
    env.update(extra_env or {})
    result = subprocess.run([tool, sheet], env=env, capture_output=True, text=True, check=True)
    leadout = [line for line in result.stdout.splitlines() if line.startswith("LeadOut")]
    if result.stderr or not leadout or ALBUM_LEADOUT not in leadout[0]:
        raise SystemExit(f"time_tools: the tool did not measure {sheet}:\n{result.stdout}{result.stderr}")
    return result.stdout


def windows_path(path):
    """A path of this machine as a Windows program under Wine names it (drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def check_windows_report(wine, exe, sheet, cache_root, scratch):
    """A Windows executable must measure the album under Wine; returns its report.

    The output goes to files, not pipes: a Wine service started by the run
    could otherwise hold a pipe open after the run ends."""
    out_path = os.path.join(scratch, "windows.out")
    err_path = os.path.join(scratch, "windows.err")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        code = subprocess.run([wine, exe, windows_path(sheet)], env=tool_env(windows_path(cache_root)),
                              stdin=subprocess.DEVNULL, stdout=out, stderr=err).returncode
    with open(out_path, "rb") as f:
        report = f.read()
    with open(err_path, "rb") as f:
        errors = f.read()
    leadout = [line for line in report.splitlines() if line.startswith(b"LeadOut")]
    if code != 0 or errors or not leadout or ALBUM_LEADOUT.encode() not in leadout[0]:
        raise SystemExit(f"time_tools: {exe} did not measure {sheet} under Wine:\n"
                         f"{report.decode(errors='replace')}{errors.decode(errors='replace')}")
    return report


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


def process_state(pid):
    """The state letter of a process (R, S, T for stopped, ...), or "?"."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return "?"


def busy_processes():
    """Fuzzing processes that are not stopped (a paused campaign takes no CPU)."""
    out = subprocess.run(["pgrep", "-fa", "fuzz"], capture_output=True, text=True).stdout
    lines = [line for line in out.splitlines() if "pgrep" not in line]
    return [line for line in lines if process_state(line.split()[0]) != "T"]


def ms(seconds):
    return f"{seconds * 1000:.1f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--launcher", required=True, help="spawn_timed")
    parser.add_argument("--data", required=True)
    parser.add_argument("--pairs", type=int, default=7)
    parser.add_argument("--baseline", help="an earlier build of the tool, timed on one core against this one")
    parser.add_argument("--windows-i686", help="the 32-bit trakmap.exe, timed under Wine")
    parser.add_argument("--windows-x86_64", help="the 64-bit trakmap.exe, timed under Wine")
    parser.add_argument("--wine-i686", default="wine", help="the Wine loader that runs the 32-bit executable")
    parser.add_argument("--wine-x86_64", default="wine", help="the Wine loader that runs the 64-bit executable")
    args = parser.parse_args()
    windows = bool(args.windows_i686 and args.windows_x86_64)
    if args.pairs < 1:
        raise SystemExit("time_tools: at least one pair")

    flac_file = os.path.join(args.data, "album.flac")
    wv_file = os.path.join(args.data, "album.wv")
    flac_sheet = os.path.join(args.data, "album-flac.cue")
    wv_sheet = os.path.join(args.data, "album-wv.cue")
    flac_mb = os.path.getsize(flac_file) / 1e6
    album2_file = os.path.join(args.data, "album2.flac")
    album2_sheet = os.path.join(args.data, "album2-flac.cue")
    album2_mb = os.path.getsize(album2_file) / 1e6
    track_files = sorted(glob.glob(os.path.join(args.data, "tracks", "*.flac")))
    tracks_sheet = os.path.join(args.data, "tracks-flac.cue")
    tracks_mb = sum(os.path.getsize(f) for f in track_files) / 1e6
    one_core = ["taskset", "-c", "0"]

    scratch = tempfile.mkdtemp(prefix="trakmap-bench-")
    try:
        warm_root = os.path.join(scratch, "warm")
        os.mkdir(warm_root)
        # Fill the warm cache, and check that both files measure and that a
        # cached table gives the same report as a walk.
        for sheet in (flac_sheet, wv_sheet, album2_sheet, tracks_sheet):
            walked = check_report(args.tool, sheet, warm_root)
            if check_report(args.tool, sheet, warm_root) != walked:
                raise SystemExit(f"time_tools: the cached report of {sheet} differs from the walked one")
            # One thread or several: the same report, and the same as the earlier build's.
            for threads in ("1", "2"):
                root = os.path.join(scratch, f"threads{threads}")
                os.makedirs(root, exist_ok=True)
                if check_report(args.tool, sheet, root, {"TRAKMAP_THREADS": threads}) != walked:
                    raise SystemExit(f"time_tools: the report of {sheet} on {threads} thread(s) differs")
                shutil.rmtree(root)
            if args.baseline:
                root = os.path.join(scratch, "baseline")
                os.makedirs(root, exist_ok=True)
                if check_report(args.baseline, sheet, root) != walked:
                    raise SystemExit(f"time_tools: the earlier build's report of {sheet} differs")
                shutil.rmtree(root)
        if windows:
            # Both executables must give the same report, byte for byte, from
            # a walk and from the cache the other one stored.
            shared_root = os.path.join(scratch, "windows-shared")
            win32 = (args.wine_i686, args.windows_i686)
            win64 = (args.wine_x86_64, args.windows_x86_64)
            checks = [(win32, os.path.join(scratch, "windows-i686")),
                      (win64, os.path.join(scratch, "windows-x86_64")),
                      (win32, shared_root),
                      (win64, shared_root)]
            reports = []
            for (wine, exe), root in checks:
                os.makedirs(root, exist_ok=True)
                reports.append(check_windows_report(wine, exe, flac_sheet, root, scratch))
            if any(report != reports[0] for report in reports):
                raise SystemExit("time_tools: the two Windows executables give different reports")
        # Both sides read the same files from the page cache.
        for path in [flac_file, wv_file, album2_file] + track_files:
            read_once(path)

        runs = 0

        def cold(sheet, tool=args.tool, prefix=()):
            nonlocal runs
            runs += 1
            root = os.path.join(scratch, f"cold{runs}")
            os.mkdir(root)
            try:
                return spawn_and_time(args.launcher, [*prefix, tool, sheet], tool_env(root))
            finally:
                shutil.rmtree(root)

        def warm(sheet):
            return spawn_and_time(args.launcher, [args.tool, sheet], tool_env(warm_root))

        def ref(argv):
            return spawn_and_time(args.launcher, argv, dict(os.environ))

        def windows_cold(wine, exe):
            nonlocal runs
            runs += 1
            root = os.path.join(scratch, f"cold{runs}")
            os.mkdir(root)
            try:
                return spawn_and_time(args.launcher, [wine, exe, windows_path(flac_sheet)],
                                      tool_env(windows_path(root)))
            finally:
                shutil.rmtree(root)

        kinds = {
            "flac_cold": lambda: cold(flac_sheet),
            "flac_ref": lambda: ref(["flac", "-t", "--silent", flac_file]),
            "flac_warm": lambda: warm(flac_sheet),
            "wv_cold": lambda: cold(wv_sheet),
            "wv_ref": lambda: ref(["wvunpack", "-vq", wv_file]),
            "wv_warm": lambda: warm(wv_sheet),
            "startup": lambda: ref([args.tool, "-h"]),
            "album2_cold": lambda: cold(album2_sheet),
            "album2_ref": lambda: ref(["flac", "-t", "--silent", album2_file]),
            "tracks_cold": lambda: cold(tracks_sheet),
            "tracks_ref": lambda: ref(["flac", "-t", "--silent", *track_files]),
        }
        if args.baseline:
            kinds.update({
                "core_cold": lambda: cold(flac_sheet, prefix=one_core),
                "core_baseline": lambda: cold(flac_sheet, tool=args.baseline, prefix=one_core),
            })
        if windows:
            kinds.update({
                "win32_cold": lambda: windows_cold(*win32),
                "win64_cold": lambda: windows_cold(*win64),
                "win32_startup": lambda: ref([*win32, "-h"]),
                "win64_startup": lambda: ref([*win64, "-h"]),
            })
        # Each pair runs its two sides back to back, the side going first
        # alternating from pair to pair.
        groups = [("flac_cold", "flac_ref"), ("flac_warm", "flac_cold"), ("wv_cold", "wv_ref"),
                  ("wv_warm", "startup"), ("album2_cold", "album2_ref"), ("tracks_cold", "tracks_ref")]
        if args.baseline:
            groups.append(("core_cold", "core_baseline"))
        windows_groups = [("win32_cold", "win64_cold"), ("win32_startup", "win64_startup")] if windows else []
        groups += windows_groups
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
    print(f"- second album (other songs, denser and noisier): {album2_mb:.1f} MB FLAC (flac -8 -e)")
    print(f"- the album in {len(track_files)} files, one per track: {tracks_mb:.1f} MB FLAC (flac -8)")
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
        "album2_cold": "tool, second album, empty cache (walk)",
        "album2_ref": "flac -t --silent, second album",
        "tracks_cold": "tool, one file per track, empty cache (walks)",
        "tracks_ref": "flac -t --silent, one file per track",
        "core_cold": "tool on one core (taskset -c 0), empty cache",
        "core_baseline": "earlier build on one core, empty cache",
    }
    sizes = {"flac_cold": flac_mb, "flac_ref": flac_mb, "album2_cold": album2_mb, "album2_ref": album2_mb,
             "tracks_cold": tracks_mb, "tracks_ref": tracks_mb, "core_cold": flac_mb, "core_baseline": flac_mb}
    print("## Medians")
    print()
    print("| run | wall ms | CPU ms | peak RSS MiB (max) | FLAC MB/s (wall) |")
    print("|---|---:|---:|---:|---:|")
    shown = ["flac_cold", "flac_warm", "flac_ref", "album2_cold", "album2_ref", "tracks_cold", "tracks_ref",
             "wv_cold", "wv_warm", "wv_ref", "startup"]
    if args.baseline:
        shown[3:3] = ["core_cold", "core_baseline"]
    for kind in shown:
        wall = med(kind, 0)
        rate = f"{sizes[kind] / wall:.0f}" if kind in sizes else ""
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

    print("## More FLAC pairs (wall ms)")
    print()
    header = "| pair | 2nd album walk | flac -t | ratio | per-track walks | flac -t | ratio |"
    rule = "|---:|---:|---:|---:|---:|---:|---:|"
    if args.baseline:
        header += " one core | earlier, one core | ratio |"
        rule += "---:|---:|---:|"
    print(header)
    print(rule)
    for i in range(args.pairs):
        row = f"| {i + 1} |"
        for group in groups[4:7 if args.baseline else 6]:
            (a, b) = paired[group][i]
            row += f" {ms(a[0])} | {ms(b[0])} | {a[0] / b[0]:.3f} |"
        print(row)
    print()

    walk_kinds = ["flac_cold", "album2_cold", "tracks_cold"] + (["core_cold"] if args.baseline else [])
    peak_flac = max(r[2] for kind in walk_kinds for r in results[kind]) / 1024
    targets = [
        ("FLAC walk / flac -t", groups[0], 0.1, "at most 0.1"),
        ("FLAC warm / walk", groups[1], 0.01, "under 0.01"),
        ("WavPack empty cache / wvunpack -vq", groups[2], 0.05, "under 0.05"),
        ("second album: walk / flac -t", groups[4], 0.1, "at most 0.1"),
        ("one file per track: walks / flac -t", groups[5], 0.1, "at most 0.1"),
    ]
    if args.baseline:
        targets.append(("one core: walk / earlier build's walk", groups[6], 1.0, "at most 1"))
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
    print(f"| peak RSS of any FLAC walk (largest run) | {peak_flac:.1f} MiB | | | under 8 MiB "
          f"| {'yes' if peak_flac < 8 else 'no'} |")
    if windows:
        print()
        print_windows_pair(args, results, paired, windows_groups)


def print_windows_pair(args, results, paired, groups):
    """The two Windows executables under Wine: walks, start-ups and their ratio."""
    (walks, startups) = groups

    def med(kind, index=0):
        return statistics.median(r[index] for r in results[kind])

    print("## Windows executables under Wine (FLAC, empty cache)")
    print()
    print(f"- {first_line([args.wine_i686, '--version'])}; i686 and x86_64 built in Release with MinGW-w64, "
          f"run by `{args.wine_i686}` and `{args.wine_x86_64}`")
    print()
    print("| executable | walk wall ms | start-up (-h) wall ms | walk less start-up ms | walk CPU ms | "
          "start-up CPU ms |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, walk, startup in (("i686", walks[0], startups[0]), ("x86_64", walks[1], startups[1])):
        print(f"| {name} | {ms(med(walk))} | {ms(med(startup))} | {ms(med(walk) - med(startup))} | "
              f"{ms(med(walk, 1))} | {ms(med(startup, 1))} |")
    print()
    print("| pair | i686 walk | x86_64 walk | i686 -h | x86_64 -h | i686 / x86_64, start-up subtracted |")
    print("|---:|---:|---:|---:|---:|---:|")
    ratios = []
    for i, ((walk32, walk64), (start32, start64)) in enumerate(zip(paired[walks], paired[startups])):
        ratio = (walk32[0] - start32[0]) / (walk64[0] - start64[0])
        ratios.append(ratio)
        print(f"| {i + 1} | {ms(walk32[0])} | {ms(walk64[0])} | {ms(start32[0])} | {ms(start64[0])} | "
              f"{ratio:.3f} |")
    print()
    of_medians = (med(walks[0]) - med(startups[0])) / (med(walks[1]) - med(startups[1]))
    print("| target | pairs median | worst pair | of the medians | limit | met (pairs median) |")
    print("|---|---:|---:|---:|---|---|")
    print(f"| i686 walk / x86_64 walk, start-up subtracted | {statistics.median(ratios):.3f} | {max(ratios):.3f} "
          f"| {of_medians:.3f} | at most 1.3 | {'yes' if statistics.median(ratios) <= 1.3 else 'no'} |")

if __name__ == "__main__":
    main()
