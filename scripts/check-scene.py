#!/usr/bin/python3
"""Checks levelling-cloud on the photogrammetry reconstruction in ../shared/realdata/scenes,
levelled with its cameras, independently of the program.

The scene's points (plush_bed_input.ply) are in the arbitrary frame of the reconstruction, with
the 97 cameras of plush_bed_cameras.json (each camera's centre and camera-to-world rotation, its
columns the camera's x right, y down, z forward). Measured here with Open3D and NumPy alone:
- the cameras' mean image-up (minus each rotation's y column);
- the reference planes, the bed top: Open3D's RANSAC (segment_plane in a loop, each plane's
  inliers removed) keeping the largest plane within 45 degrees of that up, refitted to its
  inliers by orthogonal least squares, at half, once and twice a threshold of 1% of the scene's
  extent, each with five seeds of RANSAC's draws. The duvet is no plane: the references differ
  by degrees, and the largest angle between two of them is the ambiguity allowed;
- the tight reference: RANSAC at half that threshold run to convergence (100000 iterations),
  with the five seeds, the plane of the most inliers kept; the levelled plane must be within 0.5
  degree of it;
- after `levelling-cloud --cameras ... -o ... --cameras-output ...`, each reference's inliers (the
  program keeps the point order) fitted again: their normal's angle from +z is the residual tilt
  against that reference, which must be within 0.1 degree plus the ambiguity for every one, so
  the levelled bed lies among the references, no farther from any than they lie apart;
- every camera written must be the input's moved by the reported matrix (centre R C + t,
  rotation R times the old), and above the levelled plane, its image-up pointing up.
Then the same scene with --up auto alone, for comparison (no check).

Usage: scripts/check-scene.py path/to/levelling-cloud [scenes folder]
Skips (status 0, says so) when the folder or Open3D is absent.
"""
import json
import os
import subprocess
import sys
import tempfile

TOLERANCE_DEGREES = 0.1
MAX_TILT_DEGREES = 45.0
THRESHOLD_SHARE = 0.01
SCALES = (0.5, 1.0, 2.0)
PLANES_TRIED = 6
RANSAC_SEEDS = (1, 2, 3, 4, 5)
TIGHT_ITERATIONS = 100000
TIGHT_TOLERANCE_DEGREES = 0.5


def angle(np, a, b):
    cosine = float(np.dot(a, b) / (np.linalg.norm(a) * np.linalg.norm(b)))
    return float(np.degrees(np.arccos(np.clip(cosine, -1.0, 1.0))))


def orthogonal_plane(np, points):
    centroid = points.mean(axis=0)
    _, vectors = np.linalg.eigh((points - centroid).T @ (points - centroid))
    return vectors[:, 0], centroid


def reference_plane(np, o3d, points, up, threshold):
    """The largest RANSAC plane within the tilt limit of up: its inliers' indices and normal
    (oriented toward up)."""
    left = np.arange(len(points))
    best = None
    for _ in range(PLANES_TRIED):
        if len(left) < 3:
            break
        cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points[left]))
        model, inliers = cloud.segment_plane(threshold, 3, 2000)
        normal = np.array(model[:3])
        if angle(np, normal, up) > 90:
            normal = -normal
        if angle(np, normal, up) <= MAX_TILT_DEGREES and (best is None or
                                                         len(inliers) > len(best)):
            best = left[inliers]
        left = np.delete(left, inliers)
    if best is None:
        return None, None
    normal, _ = orthogonal_plane(np, points[best])
    return best, (normal if np.dot(normal, up) > 0 else -normal)


def tight_plane(np, o3d, points, threshold, seed):
    """RANSAC run to convergence at a tight threshold: its plane's normal (refitted to its
    inliers by orthogonal least squares) and its inlier count."""
    o3d.utility.random.seed(seed)
    cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))
    _, inliers = cloud.segment_plane(threshold, 3, TIGHT_ITERATIONS)
    normal, _ = orthogonal_plane(np, points[inliers])
    return normal, len(inliers)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    program = sys.argv[1]
    here = os.path.dirname(os.path.abspath(__file__))
    folder = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "..", "shared",
                                                                 "realdata", "scenes")
    scene = os.path.join(folder, "plush_bed_input.ply")
    cameras_file = os.path.join(folder, "plush_bed_cameras.json")
    if not os.path.exists(scene):
        print(f"check-scene: skipped: no scene in {folder}")
        return 0
    try:
        import numpy as np
        import open3d as o3d
    except ImportError:
        print("check-scene: skipped: Open3D absent (scripts/install-bench-deps.sh installs it)")
        return 0
    points = np.asarray(o3d.io.read_point_cloud(scene).points)
    cameras = json.load(open(cameras_file))
    centres = np.array([c["position"] for c in cameras])
    rotations = np.array([c["rotation"] for c in cameras])
    ups = -rotations[:, :, 1]
    up = ups.mean(axis=0)
    up /= np.linalg.norm(up)
    # The scene's extent without its stray points: the diagonal of its 5th to 95th percentiles.
    extent = float(np.linalg.norm(np.percentile(points, 95, axis=0) -
                                  np.percentile(points, 5, axis=0)))
    references, scales = [], []
    for seed in RANSAC_SEEDS:
        o3d.utility.random.seed(seed)  # the same reference planes on every run
        for s in SCALES:
            inliers, n = reference_plane(np, o3d, points, up, extent * THRESHOLD_SHARE * s)
            if n is not None:
                references.append((inliers, n))
                scales.append(s)
    normals = [n for _, n in references]
    ambiguity = max(angle(np, a, b) for a in normals for b in normals)
    from_z = sorted(angle(np, n, [0, 0, 1]) for n in normals)
    print(f"cameras' mean image-up {np.round(up, 4)}; {len(normals)} reference planes, "
          f"{from_z[0]:.2f} to {from_z[-1]:.2f} degrees from +z; ambiguity {ambiguity:.3f} "
          f"degrees")
    failed = 0
    with tempfile.TemporaryDirectory() as scratch:
        levelled = os.path.join(scratch, "level.ply")
        moved = os.path.join(scratch, "cameras.json")
        run = subprocess.run([program, scene, "--cameras", cameras_file, "-o", levelled,
                              "--cameras-output", moved, "--report=json"],
                             capture_output=True, text=True, timeout=300)
        if run.returncode != 0:
            print("check-scene: levelling-cloud failed:", run.stderr.strip())
            return 1
        report = json.loads(run.stdout)
        matrix = np.array(report["matrix"])
        r, t = matrix[:3, :3], matrix[:3, 3]
        after = np.asarray(o3d.io.read_point_cloud(levelled).points)
        tilts = []
        for inliers, _ in references:
            normal_after, centroid_after = orthogonal_plane(np, after[inliers])
            tilts.append(min(angle(np, normal_after, [0, 0, 1]),
                             angle(np, -normal_after, [0, 0, 1])))
        tilt = max(tilts)
        # The tight reference: of five seeds' RANSAC at half the threshold, run to convergence,
        # the plane holding the most points (RANSAC's own objective at its best).
        tight = [tight_plane(np, o3d, points, extent * THRESHOLD_SHARE * min(SCALES), seed)
                 for seed in RANSAC_SEEDS]
        found = np.array(report["plane"]["normal"])
        tight_tilts = [min(angle(np, found, n), angle(np, -found, n)) for n, _ in tight]
        best = max(range(len(tight)), key=lambda k: tight[k][1])
        ok_tight = tight_tilts[best] <= TIGHT_TOLERANCE_DEGREES
        failed += not ok_tight
        # The cameras' heights are measured over the median reference.
        inliers = references[int(np.argsort(tilts)[len(tilts) // 2])][0]
        normal_after, centroid_after = orthogonal_plane(np, after[inliers])
        moved_cameras = json.load(open(moved))
        new_centres = np.array([c["position"] for c in moved_cameras])
        new_rotations = np.array([c["rotation"] for c in moved_cameras])
        centres_error = float(np.abs(new_centres - (centres @ r.T + t)).max())
        rotations_error = float(np.abs(new_rotations - r @ rotations).max())
        heights = new_centres[:, 2] - (centroid_after[2] + (
            (new_centres[:, :2] - centroid_after[:2]) @ (-normal_after[:2] / normal_after[2])))
        new_ups = -new_rotations[:, :, 1]
        above = int(np.sum((heights > 0) & (new_ups[:, 2] > 0)))
        kept = all(set(c) == set(m) and c["img_name"] == m["img_name"]
                   for c, m in zip(cameras, moved_cameras))
        ok_tilt = tilt <= TOLERANCE_DEGREES + ambiguity
        ok_cameras = (above == len(cameras) and centres_error < 1e-9 and rotations_error < 1e-9
                      and kept and report["cameras_agreeing"] == len(cameras))
        failed += not ok_tilt
        failed += not ok_cameras
        print(f"levelled with --cameras: tilt {report['tilt_degrees']:.3f} degrees from the "
              f"cameras' up; the bed top {min(tilts):.3f} to {tilt:.3f} degrees from level "
              f"after, by the references (allowed {TOLERANCE_DEGREES + ambiguity:.3f}): {'ok' if ok_tilt else 'FAILED'}")
        print(f"the tight reference ({min(SCALES) * THRESHOLD_SHARE:.1%} of the extent, "
              f"{TIGHT_ITERATIONS} iterations, the most inliers of {len(tight)} seeds: "
              f"{tight[best][1]}): {tight_tilts[best]:.3f} degrees from the levelled plane "
              f"(allowed {TIGHT_TOLERANCE_DEGREES}): {'ok' if ok_tight else 'FAILED'}; each "
              f"seed's plane " + ", ".join(f"{t:.2f}" for t in tight_tilts) + " from it")
        print(f"cameras: {above} of {len(cameras)} above the levelled bed with their image-up "
              f"up; written moved to {centres_error:.1e} (centres) and {rotations_error:.1e} "
              f"(rotations), other fields kept: {'ok' if ok_cameras else 'FAILED'}")
        auto = subprocess.run([program, scene, "--up", "auto", "--report=json"],
                              capture_output=True, text=True, timeout=300)
        if auto.returncode == 0:
            n_auto = np.array(json.loads(auto.stdout)["plane"]["normal"])
            print(f"for comparison, --up auto alone: a plane "
                  f"{min(angle(np, n_auto, n) for n in normals):.1f} to "
                  f"{max(angle(np, n_auto, n) for n in normals):.1f} degrees from the "
                  f"references' upward normals")
    print("check-scene: " + ("all ok" if failed == 0 else f"{failed} failed"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
