#!/usr/bin/python3
"""Times levelling-cloud on E57 and PTX: an E57 levelled by its pose against reading it.

Generates a tilted, noisy cloud of N points as LAS (bench/cloud_benchmark.py's generator),
converts it with levelling-cloud itself (the identity transform) to one E57 scan and to one PTX
scan, then times, best of three wall-clock runs in the same session, each with its peak memory:
  cat                 the E57 file copied
  read                levelling-cloud in.e57 --fit-only (every point decoded and fitted)
  pose, one pass      levelling-cloud in.e57 --transform t -o out.e57 (the XML rewritten)
  pose, fitted        levelling-cloud in.e57 -o out.e57 (the fit's pass, then the write's)
  to LAS              levelling-cloud in.e57 --transform t -o out.las (every point written)
and the same read and levellings of the PTX, printed as a Markdown table.

Usage: bench/scan_benchmark.py path/to/levelling-cloud [points] (default 10000000)
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
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as scratch:
        las = os.path.join(scratch, "in.las")
        cloud_benchmark.generate(las, points, "las")
        identity = os.path.join(scratch, "identity.txt")
        open(identity, "w").write(IDENTITY)
        rows = []
        for kind in ("e57", "ptx"):
            scan = os.path.join(scratch, "in." + kind)
            subprocess.run([program, las, "--transform", identity, "-o", scan, "-q"], check=True)
            out = os.path.join(scratch, "out." + kind)
            runs = [("cat", ["sh", "-c", f"cat '{scan}' > '{out}'"]),
                    ("read", [program, scan, "--fit-only", "-q"]),
                    ("pose, one pass", [program, scan, "--transform", identity, "-o", out]),
                    ("pose, fitted", [program, scan, "-o", out]),
                    ("to LAS", [program, scan, "--transform", identity, "-o",
                                os.path.join(scratch, "out.las")])]
            size = os.path.getsize(scan) / 1e6
            for name, command in runs:
                if command[0] == program:
                    command += ["--no-sync", "-q"]
                memory = None if command[0] == "sh" else cloud_benchmark.peak_memory_mb(command)
                rows.append((f"{kind.upper()} ({size:.0f} MB): {name}",
                             cloud_benchmark.best_time(command), memory))
        print(f"{points} points, {os.cpu_count()} cores\n")
        print("| run | seconds | peak memory |")
        print("|---|---|---|")
        for name, seconds, memory in rows:
            shown = "" if memory is None else f"{memory:.0f} MB"
            print(f"| {name} | {seconds:.2f} | {shown} |")


if __name__ == "__main__":
    main()
