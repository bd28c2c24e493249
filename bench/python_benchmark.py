#!/usr/bin/python3
"""Times levelling.fit on a numpy array against levelling-cloud's fit of the same points from a
binary file, and levelling.apply against numpy's own product.

For each size it generates a tilted, noisy cloud with clutter, writes it as binary PLY (float x y
z for float32, double for float64) on BENCH_DIR (default: a temporary folder) and times, best
of three:
  cli     levelling-cloud FILE --fit-only -q (the whole process: the first pass reads only the
          sampled records, the refit every point)
  fit     levelling.fit(points) in this process, the array already in memory
  apply   levelling.apply(points, matrix)
  numpy   points @ R.T + t, the product a user would write (in double, then cast back)
and prints a Markdown table. The module is imported from BUILD/python.

Usage: bench/python_benchmark.py path/to/build [sizes...]   (default: 1000000 10000000)
"""
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

RUNS = 3
SLOPE_X, SLOPE_Y = 0.3, -0.2


def best_of(function):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def cloud(n, dtype):
    rng = np.random.default_rng(1)
    points = np.empty((n, 3), dtype=np.float64)
    points[:, :2] = rng.uniform(0.0, 100.0, (n, 2))
    points[:, 2] = SLOPE_X * points[:, 0] + SLOPE_Y * points[:, 1] + rng.normal(0.0, 0.01, n)
    clutter = rng.random(n) < 0.1
    points[clutter, 2] += rng.uniform(0.5, 10.0, clutter.sum())
    return points.astype(dtype)


def write_ply(path, points):
    kind = "float" if points.dtype == np.float32 else "double"
    header = (f"ply\nformat binary_little_endian 1.0\nelement vertex {len(points)}\n"
              f"property {kind} x\nproperty {kind} y\nproperty {kind} z\nend_header\n")
    with open(path, "wb") as out:
        out.write(header.encode())
        out.write(points.tobytes())


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    sys.path.insert(0, os.path.join(build, "python"))
    import levelling
    program = os.path.join(build, "bin", "levelling-cloud")
    sizes = [int(s) for s in sys.argv[2:]] or [1_000_000, 10_000_000]
    print("| points | dtype | levelling-cloud --fit-only | levelling.fit | fit / cli | "
          "levelling.apply | numpy R p + t |")
    print("| ---: | --- | ---: | ---: | ---: | ---: | ---: |")
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as scratch:
        for n in sizes:
            for dtype in (np.float32, np.float64):
                points = cloud(n, dtype)
                path = os.path.join(scratch, "cloud.ply")
                write_ply(path, points)
                cli = best_of(lambda: subprocess.run([program, path, "--fit-only", "-q"],
                                                     check=True, timeout=600))
                found = levelling.fit(points)
                fit = best_of(lambda: levelling.fit(points))
                apply = best_of(lambda: levelling.apply(points, found.matrix))
                r, t = found.matrix[:3, :3], found.matrix[:3, 3]
                numpy = best_of(lambda: (points.astype(np.float64) @ r.T + t).astype(dtype))
                os.remove(path)
                print(f"| {n:.0e} | {np.dtype(dtype).name} | {cli:.3f} s | {fit:.3f} s | "
                      f"{fit / cli:.2f} | {apply:.3f} s | {numpy:.3f} s |")


if __name__ == "__main__":
    main()
