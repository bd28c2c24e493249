#!/usr/bin/python3
"""Checks the Python module levelling against levelling-cloud on the real captures in
../shared/realdata.

For each capture, in its original format (PCD, LAS) and as its PLY conversion:
- levelling.fit on its points gives the matrix levelling-cloud reports for the file, to 1e-9 in
  every entry: the original's points as levelling.read_points reads them (its empty points
  included, which count in the sample's indices), the PLY conversion's as Open3D reads them
  (np.asarray(pcd.points), as a user of Open3D has them; skipped without Open3D);
- levelling.level_file writes the bytes levelling-cloud writes, and returns its report;
- a truncated copy and a missing file fail with levelling-cloud's status and message.

Usage: scripts/check-python.py path/to/build [realdata folder]
(the build folder holds bin/levelling-cloud and python/levelling). Skips, status 0, when the
folder is absent.
"""
import json
import os
import subprocess
import sys
import tempfile

MATRIX_TOLERANCE = 1e-9

# name, original's extension, options as fit() takes them, as the command line takes them
CAPTURES = [
    ("milk_cartoon_all_small_clorox", ".pcd", {"up": "-y", "max_tilt": 60},
     ["--up=-y", "--max-tilt=60"]),
    ("frame_20121214T142255.814212", ".pcd", {"up": "-y", "max_tilt": 60},
     ["--up=-y", "--max-tilt=60"]),
    ("autzen_trim", ".las", {}, []),
    ("file_with_both_wkt_and_geotiff_vlrs", ".las", {}, []),
]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    here = os.path.dirname(os.path.abspath(__file__))
    realdata = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "..", "shared",
                                                                    "realdata")
    if not os.path.isdir(realdata):
        print(f"check-python: skipped: no real captures in {realdata}")
        return 0
    sys.path.insert(0, os.path.join(build, "python"))
    import numpy as np
    import levelling
    cloud = os.path.join(build, "bin", "levelling-cloud")
    try:
        import open3d
    except ImportError:
        open3d = None
        print("check-python: Open3D absent: the PLY conversions read by Open3D are skipped "
              "(scripts/install-bench-deps.sh installs it)")

    def cloud_run(*arguments):
        ended = subprocess.run([cloud, *arguments], capture_output=True, text=True, timeout=300)
        return ended.returncode, ended.stdout, ended.stderr

    failed = 0
    print(f"{'capture':<42} {'points from':<22} {'matrix difference':>17} {'bytes':>6} "
          f"{'faults':>7}")
    with tempfile.TemporaryDirectory() as scratch:
        for name, extension, options, arguments in CAPTURES:
            for suffix in (extension, ".ply"):
                path = os.path.join(realdata, name + suffix)
                if suffix == ".ply":
                    if open3d is None:
                        continue
                    points = np.asarray(open3d.io.read_point_cloud(path).points)
                    source = "Open3D"
                else:
                    points = levelling.read_points(path)
                    source = "levelling.read_points"
                status, out, err = cloud_run(path, *arguments, "--report=json")
                expected = json.loads(out)
                found = levelling.fit(points, **options)
                difference = float(np.max(np.abs(found.matrix - np.array(expected["matrix"]))))
                # The same levelling written by the program and by level_file.
                written = [os.path.join(scratch, f"{who}{suffix}") for who in ("cli", "py")]
                status, _, err = cloud_run(path, *arguments, "-o", written[0])
                levelling.level_file(path, written[1], **options)
                same_bytes = open(written[0], "rb").read() == open(written[1], "rb").read()
                # A truncated copy and a missing file: the program's status and message.
                truncated = os.path.join(scratch, "truncated" + suffix)
                with open(path, "rb") as whole, open(truncated, "wb") as part:
                    part.write(whole.read()[: os.path.getsize(path) * 2 // 3])
                faults_agree = True
                for bad in (truncated, os.path.join(scratch, "missing" + suffix)):
                    status, _, err = cloud_run(bad, *arguments, "-o",
                                               os.path.join(scratch, "bad" + suffix))
                    try:
                        levelling.level_file(bad, os.path.join(scratch, "bad" + suffix),
                                             **options)
                        faults_agree = False
                    except levelling.LevellingError as error:
                        faults_agree = (faults_agree and error.status == status and
                                        "levelling-cloud: " + error.message == err.strip())
                ok = difference <= MATRIX_TOLERANCE and same_bytes and faults_agree
                failed += not ok
                print(f"{name + suffix:<42} {source:<22} {difference:>17.3g} "
                      f"{'same' if same_bytes else 'DIFFER':>6} "
                      f"{'same' if faults_agree else 'DIFFER':>7}  {'ok' if ok else 'FAILED'}")
    print("check-python: " + ("all ok" if failed == 0 else f"{failed} failed"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
