#!/usr/bin/python3
"""Checks levelling-cloud on the real captures in ../shared/realdata, independently of it.

For each capture (its PLY conversion, which another reader wrote) it runs levelling-cloud with
the options that suit it, then measures the result with Open3D and NumPy alone: the physical
plane is found in the input by Open3D's RANSAC (segment_plane in a loop, each plane's inliers
removed, the largest plane within the tilt limit of the up direction kept), refitted to its
inliers by orthogonal least squares; after levelling the same points (levelling-cloud keeps the
point order) are fitted again and their normal's angle from +z is the residual tilt. Real ground
is no mathematical plane: the reference is taken at half, once and twice the capture's
threshold, and how far its normal moves is the ambiguity allowed on top of the tolerance.

Usage: scripts/check-realdata.py path/to/levelling-cloud [realdata folder]
Skips (status 0, says so) when the folder or Open3D is absent. Needs Debian's python3-open3d.
"""
import os
import subprocess
import sys
import tempfile

TOLERANCE_DEGREES = 0.1

# name, options, up direction, tilt limit (degrees), reference threshold (cloud units)
CAPTURES = [
    ("milk_cartoon_all_small_clorox", ["--up=-y", "--max-tilt", "60"], (0, -1, 0), 60, 0.01),
    ("frame_20121214T142255.814212", ["--up=-y", "--max-tilt", "60"], (0, -1, 0), 60, 0.01),
    ("autzen_trim", [], (0, 0, 1), 45, 0.5),
    ("file_with_both_wkt_and_geotiff_vlrs", [], (0, 0, 1), 45, 0.1),
]


def orthogonal_normal(np, points):
    centred = points - points.mean(axis=0)
    _, vectors = np.linalg.eigh(centred.T @ centred)
    normal = vectors[:, 0]
    return normal / np.linalg.norm(normal)


def angle_degrees(np, a, b):
    cosine = abs(float(np.dot(a, b))) / (np.linalg.norm(a) * np.linalg.norm(b))
    return float(np.degrees(np.arccos(min(1.0, cosine))))


def reference_plane(np, o3d, points, up, max_tilt, threshold):
    """The indices of the largest RANSAC plane within max_tilt of up, refitted."""
    o3d.utility.random.seed(0)
    remaining = np.arange(len(points))
    best = None
    for _ in range(8):
        if len(remaining) < 100:
            break
        cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points[remaining]))
        model, inliers = cloud.segment_plane(threshold, 3, 2000)
        inliers = remaining[np.asarray(inliers)]
        if angle_degrees(np, np.asarray(model[:3]), np.asarray(up)) <= max_tilt:
            if best is None or len(inliers) > len(best):
                best = inliers
        remaining = np.setdiff1d(remaining, inliers)
    return best


def main():
    program = os.path.abspath(sys.argv[1])
    folder = sys.argv[2] if len(sys.argv) > 2 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "realdata")
    if not os.path.isdir(folder):
        print("check-realdata: no captures at %s: skipped" % folder)
        return 0
    try:
        import numpy as np
        import open3d as o3d
    except ImportError:
        print("check-realdata: Open3D is not installed (scripts/install-bench-deps.sh): skipped")
        return 0
    failures = 0
    print("| capture | options | tilt before | tilt after | ambiguity | status |")
    print("| --- | --- | ---: | ---: | ---: | --- |")
    with tempfile.TemporaryDirectory() as scratch:
        for name, options, up, max_tilt, threshold in CAPTURES:
            source = os.path.join(folder, name + ".ply")
            if not os.path.exists(source):
                print("| %s | missing: skipped |" % name)
                continue
            target = os.path.join(scratch, name + ".ply")
            run = subprocess.run([program, source, "-o", target, "-q"] + options,
                                 capture_output=True, text=True, timeout=300)
            if run.returncode != 0:
                print("| %s | %s | status %d: %s |" % (name, " ".join(options), run.returncode,
                                                      run.stderr.strip()))
                failures += 1
                continue
            before = np.asarray(o3d.io.read_point_cloud(source).points)
            after = np.asarray(o3d.io.read_point_cloud(target).points)
            normals = []
            for factor in (0.5, 1.0, 2.0):
                indices = reference_plane(np, o3d, before, up, max_tilt, threshold * factor)
                normals.append((orthogonal_normal(np, before[indices]), indices))
            reference, indices = normals[1]
            ambiguity = max(angle_degrees(np, reference, n) for n, _ in normals)
            tilt_before = angle_degrees(np, reference, np.asarray(up))
            tilt_after = angle_degrees(np, orthogonal_normal(np, after[indices]),
                                       np.array([0.0, 0.0, 1.0]))
            passed = tilt_after <= TOLERANCE_DEGREES + ambiguity
            failures += 0 if passed else 1
            print("| %s | %s | %.3f | %.3f | %.3f | %s |" % (
                name, " ".join(options) or "(defaults)", tilt_before, tilt_after, ambiguity,
                "ok" if passed else "FAILED"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
