#!/usr/bin/python3
"""Times levelling-cloud on LAZ against LAS and against laz-perf's decoding alone.

Generates a tilted, noisy cloud of N points as LAS 1.2 point format 3 (bench/cloud_benchmark.py's
generator), compresses it to LAZ with levelling-cloud itself (the identity transform), then
times, best of three wall-clock runs in the same session:
  las -> las    levelling-cloud in.las -o out.las --no-sync
  laz -> laz    levelling-cloud in.laz -o out.laz --no-sync
  laz-perf      node bench/lazperf_decode.js in.laz (decoding every point, writing nothing)
and the peak memory of both levellings, printed as a Markdown table. laz-perf is LAZ compiled to
WebAssembly (bench/install-lazperf.sh installs it into build/lazperf); without it its row is
left out.

Usage: bench/laz_benchmark.py path/to/levelling-cloud [points] (default 10000000)
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cloud_benchmark  # noqa: E402  (the generator and the timers)

IDENTITY = "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    program = os.path.abspath(sys.argv[1])
    points = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000_000
    here = os.path.dirname(os.path.abspath(__file__))
    modules = os.path.join(here, "..", "build", "lazperf", "node_modules")
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as scratch:
        las, laz = os.path.join(scratch, "in.las"), os.path.join(scratch, "in.laz")
        cloud_benchmark.generate(las, points, "las")
        identity = os.path.join(scratch, "identity.txt")
        open(identity, "w").write(IDENTITY)
        subprocess.run([program, las, "--transform", identity, "-o", laz, "-q"], check=True)
        rows = []
        for name, source, target in (("las -> las", las, "out.las"),
                                     ("laz -> laz", laz, "out.laz")):
            command = [program, source, "-o", os.path.join(scratch, target), "--no-sync", "-q"]
            rows.append((name, cloud_benchmark.best_time(command),
                         cloud_benchmark.peak_memory_mb(command)))
        if os.path.isdir(os.path.join(modules, "laz-perf")):
            command = ["node", os.path.join(here, "lazperf_decode.js"), laz]
            os.environ["LAZPERF_MODULES"] = modules
            rows.append(("laz-perf (decoding only)", cloud_benchmark.best_time(command), None))
        sizes = f"LAS {os.path.getsize(las) / 1e6:.0f} MB, LAZ {os.path.getsize(laz) / 1e6:.0f} MB"
        print(f"{points} points of format 3 ({sizes}), {os.cpu_count()} cores\n")
        print("| run | seconds | against laz -> laz | peak memory |")
        print("|---|---|---|---|")
        ours = rows[1][1]
        for name, seconds, memory in rows:
            shown = "" if memory is None else f"{memory:.0f} MB"
            print(f"| {name} | {seconds:.2f} | {seconds / ours:.2f} | {shown} |")


if __name__ == "__main__":
    main()
