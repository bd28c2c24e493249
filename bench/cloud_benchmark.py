#!/usr/bin/python3
"""Times levelling-cloud on generated clouds against a floor and against Open3D.

For each size and format it generates a tilted, noisy cloud, then runs, in the same session:
  floor   cat in > out (reads and writes the same bytes, nothing more)
  ours    levelling-cloud in -o out
  open3d  read_point_cloud, segment_plane (RANSAC, 1000 iterations), rotate the plane's normal
          onto +z about the inliers' centroid, write_point_cloud
and prints a Markdown table of the best of three wall-clock times, their ratios and the peak
memory of levelling-cloud. Needs Debian's python3-open3d (scripts/install-bench-deps.sh).

Usage: bench/cloud_benchmark.py path/to/levelling-cloud [sizes...]   (default 1000000 10000000)
"""
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

RUNS = 3
SLOPE_X, SLOPE_Y, HEIGHT = 0.3, -0.2, 5.0

OPEN3D_LEVELLING = r"""
import sys
import numpy as np
import open3d as o3d
cloud = o3d.io.read_point_cloud(sys.argv[1])
# The plane as Open3D's users find it: RANSAC, then the turn of its normal onto +z about the
# centroid of its inliers.
model, inliers = cloud.segment_plane(distance_threshold=0.02, ransac_n=3, num_iterations=1000)
normal = np.asarray(model[:3]) / np.linalg.norm(model[:3])
if normal[2] < 0:
    normal = -normal
centroid = np.asarray(cloud.points)[inliers].mean(axis=0)
axis = np.cross(normal, [0.0, 0.0, 1.0])
angle = np.arccos(normal[2])
if np.linalg.norm(axis) > 0:
    axis = axis / np.linalg.norm(axis) * angle
rotation = o3d.geometry.get_rotation_matrix_from_axis_angle(axis)
cloud.rotate(rotation, center=centroid)
o3d.io.write_point_cloud(sys.argv[2], cloud, write_ascii=sys.argv[2].endswith(".xyz"))
"""


def generate(path, n, kind):
    rng = np.random.default_rng(7)
    x = rng.uniform(-500.0, 500.0, n)
    y = rng.uniform(-500.0, 500.0, n)
    z = SLOPE_X * x + SLOPE_Y * y + HEIGHT + rng.uniform(-0.01, 0.01, n)
    if kind == "text":
        np.savetxt(path, np.column_stack([x, y, z]), fmt="%.6f")
        return
    records = np.empty(n, dtype=[("x", "<f4"), ("y", "<f4"), ("z", "<f4"),
                                 ("red", "u1"), ("green", "u1"), ("blue", "u1")])
    records["x"], records["y"], records["z"] = x, y, z
    records["red"] = records["green"] = records["blue"] = 128
    header = ("ply\nformat binary_little_endian 1.0\nelement vertex %d\n"
              "property float x\nproperty float y\nproperty float z\n"
              "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n" % n)
    with open(path, "wb") as f:
        f.write(header.encode())
        records.tofile(f)


def best_time(command, shell=False):
    best = None
    for _ in range(RUNS):
        start = time.perf_counter()
        subprocess.run(command, shell=shell, check=True, stdout=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best


def peak_memory_mb(command):
    # GNU time's %M: the largest resident set, in KiB.
    result = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, check=True,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(result.stderr.strip().splitlines()[-1]) / 1024.0


def main():
    program = os.path.abspath(sys.argv[1])
    sizes = [int(s) for s in sys.argv[2:]] or [1000000, 10000000]
    print("| points | format | file | cat | levelling-cloud | Open3D | ours / cat | Open3D / ours "
          "| peak memory |")
    print("| ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as scratch:
        script = os.path.join(scratch, "open3d_levelling.py")
        with open(script, "w") as f:
            f.write(OPEN3D_LEVELLING)
        for n in sizes:
            for kind, extension in (("binary PLY", ".ply"), ("text", ".xyz")):
                source = os.path.join(scratch, "in" + extension)
                target = os.path.join(scratch, "out" + extension)
                generate(source, n, "text" if extension == ".xyz" else "ply")
                size_mb = os.path.getsize(source) / 1e6
                floor = best_time("cat '%s' > '%s'" % (source, target), shell=True)
                ours = best_time([program, source, "-o", target, "-q", "--no-sync"])
                memory = peak_memory_mb([program, source, "-o", target, "-q", "--no-sync"])
                theirs = best_time(["/usr/bin/python3", script, source, target])
                print("| %d | %s | %.0f MB | %.2f s | %.2f s | %.2f s | %.1f | %.1f | %.0f MB |" % (
                    n, kind, size_mb, floor, ours, theirs, ours / floor, theirs / ours, memory))
                sys.stdout.flush()
                os.remove(source)
                os.remove(target)


if __name__ == "__main__":
    main()
