#!/usr/bin/python3
"""Times levelling-cloud on LAZ against LAS and against laz-perf's decoding alone.

For LAS 1.2 point format 3 and LAS 1.4 point format 7 it generates a tilted, noisy cloud of N
points (bench/cloud_benchmark.py's generator), compresses it to LAZ with levelling-cloud itself
(the identity transform), then times, best of three wall-clock runs in the same session:
  las -> las    levelling-cloud in.las -o out.las --no-sync
  laz -> laz    levelling-cloud in.laz -o out.laz --no-sync
  16 tiles      levelling-cloud t00.laz ... t15.laz --output-dir out --no-sync (the same number
                of points in sixteen files, levelled as one site)
  laz-perf      node bench/lazperf_decode.js in.laz (decoding every point, writing nothing)
with the peak memory of each levelling, and whether it runs with $TMPDIR a folder that does not
exist (it then can keep nothing in a temporary file), printed as a Markdown table. laz-perf is
LAZ compiled to WebAssembly (bench/install-lazperf.sh installs it into build/lazperf); without
it its row is left out.

Usage: bench/laz_benchmark.py path/to/levelling-cloud [points] (default 10000000)
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cloud_benchmark  # noqa: E402  (the generator and the timers)

IDENTITY = "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n"
TILES = 16


def runs_without_tmpdir(command):
    """Whether `command` succeeds with $TMPDIR a folder that does not exist."""
    environment = dict(os.environ, TMPDIR="/nonexistent/levelling-benchmark")
    return subprocess.run(command, env=environment, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def compressed(program, las, laz, identity):
    subprocess.run([program, las, "--transform", identity, "-o", laz, "-q"], check=True)


def rows_of(program, scratch, points, kind, modules, here):
    las, laz = os.path.join(scratch, "in.las"), os.path.join(scratch, "in.laz")
    identity = os.path.join(scratch, "identity.txt")
    open(identity, "w").write(IDENTITY)
    cloud_benchmark.generate(las, points, kind)
    compressed(program, las, laz, identity)
    sizes = f"LAS {os.path.getsize(las) / 1e6:.0f} MB, LAZ {os.path.getsize(laz) / 1e6:.0f} MB"
    tiles = []
    for t in range(TILES):
        tile = os.path.join(scratch, f"t{t:02d}")
        cloud_benchmark.generate(tile + ".las", points // TILES, kind, seed=100 + t)
        compressed(program, tile + ".las", tile + ".laz", identity)
        os.remove(tile + ".las")
        tiles.append(tile + ".laz")
    out = os.path.join(scratch, "out")
    os.makedirs(out, exist_ok=True)
    rows = []
    for name, command in (
            ("las -> las", [program, las, "-o", os.path.join(scratch, "out.las")]),
            ("laz -> laz", [program, laz, "-o", os.path.join(scratch, "out.laz")]),
            (f"{TILES} tiles, laz -> laz", [program] + tiles + ["--output-dir", out])):
        command = command + ["--no-sync", "-q"]
        rows.append((name, cloud_benchmark.best_time(command),
                     cloud_benchmark.peak_memory_mb(command),
                     runs_without_tmpdir(command) if "laz" in name else None))
    if os.path.isdir(os.path.join(modules, "laz-perf")):
        command = ["node", os.path.join(here, "lazperf_decode.js"), laz]
        os.environ["LAZPERF_MODULES"] = modules
        rows.append(("laz-perf (decoding only)", cloud_benchmark.best_time(command), None, None))
    return sizes, rows


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    program = os.path.abspath(sys.argv[1])
    points = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000_000
    here = os.path.dirname(os.path.abspath(__file__))
    modules = os.path.join(here, "..", "build", "lazperf", "node_modules")
    print(f"{points} points, {os.cpu_count()} cores\n")
    print("| format | run | seconds | against las -> las | peak memory | without $TMPDIR |")
    print("|---|---|---|---|---|---|")
    for kind, label in (("las", "3 (LAS 1.2)"), ("las7", "7 (LAS 1.4)")):
        with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as scratch:
            sizes, rows = rows_of(program, scratch, points, kind, modules, here)
            las_seconds = rows[0][1]
            for name, seconds, memory, untemporary in rows:
                shown = "" if memory is None else f"{memory:.0f} MB"
                runs = "" if untemporary is None else ("runs" if untemporary else "fails")
                print(f"| {label}, {sizes} | {name} | {seconds:.2f} | "
                      f"{seconds / las_seconds:.1f} | {shown} | {runs} |", flush=True)


if __name__ == "__main__":
    main()
