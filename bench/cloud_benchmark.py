#!/usr/bin/python3
"""Times levelling-cloud on generated clouds against a floor and against Open3D.

For each size and format it generates a tilted, noisy cloud, then runs, in the same session:
  cat     cat in > out (copies inside the kernel, copy_file_range: faster than any program that
          changes the bytes can be)
  floor   bench/userland_copy in out (maps the input, touches every byte, writes it through a
          1 MiB buffer: the least such a program must do; compiled here with c++ -O2)
  ours    levelling-cloud in -o out
  open3d  read_point_cloud, segment_plane (RANSAC, 1000 iterations), rotate the plane's normal
          onto +z about the inliers' centroid, write_point_cloud
and prints a Markdown table of the best of three wall-clock times, their ratios and the peak
memory of levelling-cloud. Needs Debian's python3-open3d (scripts/install-bench-deps.sh).

Formats: binary PLY (x y z float, red green blue), text (x y z, 6 decimals), binary and
binary_compressed PCD (x y z float, rgb packed), LAS 1.2 point format 3 (scale 0.001). Open3D
reads no LAS: its column is empty there.

With --batch FILES SIZE it times instead FILES binary PLY tiles of SIZE points levelled one run
after another, against one run levelling them together (--output-dir, -j 2). With --map SIZE it
times a binary PLY of SIZE points levelled with and without --map (medians of five alternating
runs). With --versus OTHER SIZE it times a binary PLY of SIZE points levelled by this program
and by OTHER, another build of it (medians of five alternating runs). --no-open3d leaves Open3D
out.

Usage: bench/cloud_benchmark.py path/to/levelling-cloud [--no-open3d]
                                [--formats ply,text,pcd,pcdz,las] [sizes...]
                                (default: every format, 1000000 10000000)
       bench/cloud_benchmark.py path/to/levelling-cloud --batch 16 1000000
       bench/cloud_benchmark.py path/to/levelling-cloud --map 10000000
       bench/cloud_benchmark.py path/to/levelling-cloud --versus path/to/other 10000000
"""
import statistics
import struct
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


def generate(path, n, kind, seed=7):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-500.0, 500.0, n)
    y = rng.uniform(-500.0, 500.0, n)
    z = SLOPE_X * x + SLOPE_Y * y + HEIGHT + rng.uniform(-0.01, 0.01, n)
    if kind == "text":
        np.savetxt(path, np.column_stack([x, y, z]), fmt="%.6f")
        return
    if kind in ("las", "las7"):
        write_las(path, x, y, z, 7 if kind == "las7" else 3)
        return
    if kind in ("pcd", "pcdz"):
        write_pcd(path, x, y, z, kind == "pcdz")
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


def write_las(path, x, y, z, point_format=3):
    """LAS 1.2 point format 3 (34 bytes: X Y Z, intensity, flags, class, GPS time, colour), or
    LAS 1.4 point format 7 (36 bytes: the same fields in 1.4's layout)."""
    n = len(x)
    scale = 0.001
    wide = point_format == 7
    flags = [("returns", "u1"), ("flags", "u1"), ("classification", "u1"), ("user", "u1"),
             ("angle", "<i2")] if wide else [("flags", "u1"), ("classification", "u1"),
                                               ("angle", "i1"), ("user", "u1")]
    records = np.zeros(n, dtype=[("X", "<i4"), ("Y", "<i4"), ("Z", "<i4"), ("intensity", "<u2")]
                       + flags + [("source", "<u2"), ("time", "<f8"), ("red", "<u2"),
                                  ("green", "<u2"), ("blue", "<u2")])
    for name, values in (("X", x), ("Y", y), ("Z", z)):
        records[name] = np.round(values / scale).astype(np.int32)
    records["intensity"] = 1000
    records["returns" if wide else "flags"] = 0x11 if wide else 0x09  # return 1 of 1
    records["classification"] = 2
    records["time"] = np.arange(n, dtype=np.float64)
    size = 375 if wide else 227
    header = bytearray(size)
    header[0:4] = b"LASF"
    header[24:26] = bytes([1, 4 if wide else 2])
    struct.pack_into("<HIIBHI", header, 94, size, size, 0, point_format, 36 if wide else 34,
                     0 if wide else n)
    struct.pack_into("<3d3d", header, 131, scale, scale, scale, 0.0, 0.0, 0.0)
    struct.pack_into("<6d", header, 179, x.max(), x.min(), y.max(), y.min(), z.max(), z.min())
    if wide:
        header[6] = 0x10  # the coordinate system, were there one, in WKT (formats 6 to 10)
        struct.pack_into("<QQ", header, 247, n, n)  # the count, all of them first returns
    with open(path, "wb") as f:
        f.write(bytes(header))
        records.tofile(f)


def write_pcd(path, x, y, z, compressed):
    """PCD 0.7, x y z float and rgb packed, binary or binary_compressed (through Open3D)."""
    n = len(x)
    if compressed:
        import open3d as o3d
        cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(np.column_stack([x, y, z])))
        cloud.colors = o3d.utility.Vector3dVector(np.full((n, 3), 0.5))
        o3d.io.write_point_cloud(path, cloud, compressed=True)
        return
    records = np.empty(n, dtype=[("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("rgb", "<u4")])
    records["x"], records["y"], records["z"] = x, y, z
    records["rgb"] = 0x808080
    header = ("# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z rgb\n"
              "SIZE 4 4 4 4\nTYPE F F F U\nCOUNT 1 1 1 1\nWIDTH %d\nHEIGHT 1\n"
              "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS %d\nDATA binary\n" % (n, n))
    with open(path, "wb") as f:
        f.write(header.encode())
        records.tofile(f)


FORMATS = {  # name: (what the table calls it, extension, generator kind, Open3D reads it)
    "ply": ("binary PLY", ".ply", "ply", True),
    "text": ("text", ".xyz", "text", True),
    "pcd": ("binary PCD", ".pcd", "pcd", True),
    "pcdz": ("binary_compressed PCD", ".pcd", "pcdz", True),
    "las": ("LAS (format 3)", ".las", "las", False),
}


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


def userland_copy(scratch):
    """bench/userland_copy.cpp compiled into scratch: the path of the program."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "userland_copy.cpp")
    program = os.path.join(scratch, "userland_copy")
    subprocess.run(["c++", "-O2", "-o", program, source], check=True)
    return program


def alternating_medians(commands, runs=5):
    """The median wall-clock time of each command (a dict of lists), run alternately."""
    times = {kind: [] for kind in commands}
    for _ in range(runs):
        for kind, command in commands.items():
            start = time.perf_counter()
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            times[kind].append(time.perf_counter() - start)
    return {kind: statistics.median(values) for kind, values in times.items()}


def mapped(program, size):
    """A binary PLY levelled with and without the deviation map: medians of five runs each."""
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as scratch:
        source = os.path.join(scratch, "in.ply")
        target = os.path.join(scratch, "out.ply")
        picture = os.path.join(scratch, "map.png")
        generate(source, size, "ply")
        plain = [program, source, "-o", target, "-q", "--no-sync"]
        medians = alternating_medians({"without": plain, "with": plain + ["--map", picture]})
        without, with_map = medians["without"], medians["with"]
        print("| points | without --map | with --map | more |")
        print("| ---: | ---: | ---: | ---: |")
        print("| %d | %.2f s | %.2f s | %+.0f%% |" % (size, without, with_map,
                                                     100.0 * (with_map / without - 1.0)))


def versus(program, other, size):
    """A binary PLY levelled by this program and by another build of it (an earlier commit's):
    medians of five alternating runs each."""
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as scratch:
        source = os.path.join(scratch, "in.ply")
        target = os.path.join(scratch, "out.ply")
        generate(source, size, "ply")
        medians = alternating_medians({
            "this": [program, source, "-o", target, "-q", "--no-sync"],
            "other": [other, source, "-o", target, "-q", "--no-sync"]})
        print("| points | the other build | this build | more |")
        print("| ---: | ---: | ---: | ---: |")
        print("| %d | %.2f s | %.2f s | %+.1f%% |" % (
            size, medians["other"], medians["this"],
            100.0 * (medians["this"] / medians["other"] - 1.0)))


def batch(program, files, size):
    """Tiles levelled one run after another, against one run levelling them together."""
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as scratch:
        tiles = []
        for k in range(files):
            tile = os.path.join(scratch, "tile%02d.ply" % k)
            generate(tile, size, "ply")
            tiles.append(tile)
        out = os.path.join(scratch, "out")
        os.mkdir(out)
        one_by_one = "; ".join("'%s' '%s' -o '%s' -q --no-sync" % (
            program, tile, os.path.join(out, os.path.basename(tile))) for tile in tiles)
        separate = best_time(one_by_one, shell=True)
        together = best_time([program] + tiles + ["--output-dir", out, "-j", "2", "-q",
                                                  "--no-sync"])
        print("| tiles | points each | one run each | one run, -j 2 | ratio |")
        print("| ---: | ---: | ---: | ---: | ---: |")
        print("| %d | %d | %.2f s | %.2f s | %.2f |" % (files, size, separate, together,
                                                         together / separate))


def main():
    program = os.path.abspath(sys.argv[1])
    arguments = sys.argv[2:]
    if arguments[:1] == ["--batch"]:
        batch(program, int(arguments[1]), int(arguments[2]))
        return
    if arguments[:1] == ["--map"]:
        mapped(program, int(arguments[1]))
        return
    if arguments[:1] == ["--versus"]:
        versus(program, os.path.abspath(arguments[1]), int(arguments[2]))
        return
    with_open3d = arguments[:1] != ["--no-open3d"]
    if not with_open3d:
        arguments = arguments[1:]
    formats = list(FORMATS)
    if arguments[:1] == ["--formats"]:
        formats = arguments[1].split(",")
        arguments = arguments[2:]
    sizes = [int(s) for s in arguments] or [1000000, 10000000]
    print("| points | format | file | cat | floor | levelling-cloud | Open3D | ours / floor "
          "| ours / cat | Open3D / ours | peak memory |")
    print("| ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as scratch:
        copy = userland_copy(scratch)
        script = os.path.join(scratch, "open3d_levelling.py")
        with open(script, "w") as f:
            f.write(OPEN3D_LEVELLING)
        for n in sizes:
            for name in formats:
                kind, extension, generator, open3d_reads = FORMATS[name]
                source = os.path.join(scratch, "in" + extension)
                target = os.path.join(scratch, "out" + extension)
                generate(source, n, generator)
                size_mb = os.path.getsize(source) / 1e6
                kernel = best_time("cat '%s' > '%s'" % (source, target), shell=True)
                floor = best_time([copy, source, target])
                ours = best_time([program, source, "-o", target, "-q", "--no-sync"])
                memory = peak_memory_mb([program, source, "-o", target, "-q", "--no-sync"])
                theirs = best_time(["/usr/bin/python3", script, source, target]) \
                    if open3d_reads and with_open3d else None
                print("| %d | %s | %.0f MB | %.2f s | %.2f s | %.2f s | %s | %.1f | %.1f | %s "
                      "| %.0f MB |" % (
                          n, kind, size_mb, kernel, floor, ours,
                          "%.2f s" % theirs if theirs else "", ours / floor, ours / kernel,
                          "%.1f" % (theirs / ours) if theirs else "", memory))
                sys.stdout.flush()
                os.remove(source)
                os.remove(target)


if __name__ == "__main__":
    main()
