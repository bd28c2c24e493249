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

The second table checks the captures in their own formats, PCD and LAS, read and written
directly. PCD output is read back with Open3D; LAS with the small reader below, written from the
format's public description (ASPRS LAS 1.4 R15), not from levelling-cloud's code. Each levelled
file must hold the input's points moved by the matrix the program reports (PCD: within float
rounding, every point and colour, empty points where they were; LAS: within half the scale, the
re-quantisation), every other byte of every point record, the VLRs and what follows the points
unchanged, and header bounds that hold every point, and the matrix must level the reference
plane as above (the original is levelled on its own sample: its empty points count in the
points' indices, which the PLY conversion dropped). The same levelling written as PLY must hold
the same points as the PLY conversion made by another reader.

The third table checks the deviation maps of the LAS captures, measured in the picture (read
with Open3D): the unit they name must be the one the file's GeoTIFF keys give (read here); the
pixels per unit come from the levelled points' x extent against the columns the map colours; the
scale bar's black run, so measured, must be the length the report gives, and the ticks under the
map must fall at the multiples of one round step.

Usage: scripts/check-realdata.py path/to/levelling-cloud [realdata folder]
Skips (status 0, says so) when the folder or Open3D is absent. Needs Debian's python3-open3d.
"""
import json
import math
import os
import struct
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


def read_las(np, path):
    """The header's fields, the VLR bytes, the point records and what follows them."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"LASF", path
    minor = data[25]
    header_size, first_point, vlrs, point_format, record = struct.unpack_from("<HIIBH", data, 94)
    legacy = struct.unpack_from("<I", data, 107)[0]
    count = struct.unpack_from("<Q", data, 247)[0] if minor >= 4 else legacy
    scale = np.array(struct.unpack_from("<3d", data, 131))
    offset = np.array(struct.unpack_from("<3d", data, 155))
    bounds = struct.unpack_from("<6d", data, 179)  # max x, min x, max y, min y, max z, min z
    end = first_point + count * record
    records = np.frombuffer(data, dtype=np.uint8, count=count * record,
                            offset=first_point).reshape(count, record)
    integers = records[:, :12].copy().view("<i4").reshape(count, 3)
    return {
        "format": point_format & 0x3F, "count": count, "legacy": legacy, "scale": scale,
        "offset": offset, "maxima": np.array(bounds[0::2]), "minima": np.array(bounds[1::2]),
        "xyz": integers * scale + offset, "integers": integers, "records": records,
        "vlrs": data[header_size:first_point], "after": data[end:],
        "header_rest": data[:131] + data[227:header_size],
    }


def level(np, matrix, points):
    return points @ matrix[:3, :3].T + matrix[:3, 3]


def matrix_of(program, source, target, options):
    run = subprocess.run([program, source, "-o", target, "--report", "json", "--no-sync"]
                         + options, capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        raise RuntimeError("status %d: %s" % (run.returncode, run.stderr.strip()))
    import numpy as np
    return np.array(json.loads(run.stdout)["matrix"])


def as_level(np, matrix, reference):
    """Problems when the matrix does not level the capture's reference plane as the first table
    requires (its inliers among the PLY conversion's points, the ambiguity allowed): the original
    format is levelled on its own sample (empty points count in the points' indices, which the
    PLY conversion dropped), so the check is of its own result."""
    points, indices, ambiguity = reference
    tilt = angle_degrees(np, orthogonal_normal(np, level(np, matrix, points[indices])),
                         np.array([0.0, 0.0, 1.0]))
    return [] if tilt <= TOLERANCE_DEGREES + ambiguity else ["tilted %.3f degrees" % tilt], tilt


def viewpoint(np, path):
    """The sensor's position and rotation matrix from a PCD header's VIEWPOINT line."""
    with open(path, "rb") as f:
        for line in f:
            if line.startswith(b"VIEWPOINT"):
                tx, ty, tz, w, x, y, z = map(float, line.split()[1:])
                rotation = np.array([
                    [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                    [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                    [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])
                return np.array([tx, ty, tz]), rotation
            if line.startswith(b"DATA"):
                break
    return np.zeros(3), np.eye(3)


def check_pcd(np, o3d, program, folder, scratch, name, options, reference):
    """Problems found with the capture levelled as PCD and as PLY ([] when none)."""
    source = os.path.join(folder, name + ".pcd")
    target = os.path.join(scratch, name + ".pcd")
    matrix = matrix_of(program, source, target, options)
    problems, tilt = as_level(np, matrix, reference)
    before = o3d.io.read_point_cloud(source, remove_nan_points=False)
    after = o3d.io.read_point_cloud(target, remove_nan_points=False)
    p0, p1 = np.asarray(before.points), np.asarray(after.points)
    empty = np.isnan(p0).all(axis=1)
    if len(p0) != len(p1) or not np.array_equal(empty, np.isnan(p1).all(axis=1)):
        return ["the points or the empty points moved"], tilt
    size = np.abs(p0[~empty]).max()
    error = np.abs(level(np, matrix, p0[~empty]) - p1[~empty]).max()
    if error > 1e-6 * size:
        problems.append("points off by %.3g" % error)
    if not np.array_equal(np.asarray(before.colors), np.asarray(after.colors)):
        problems.append("colours changed")
    (p0, r0), (p1, r1) = viewpoint(np, source), viewpoint(np, target)
    if np.abs(level(np, matrix, p0[None, :])[0] - p1).max() > 1e-9 or \
            np.abs(matrix[:3, :3] @ r0 - r1).max() > 1e-9:
        problems.append("the sensor did not move with the points")
    # The same levelling written as PLY holds the other reader's points, levelled.
    ply = os.path.join(scratch, name + ".from-pcd.ply")
    matrix_of(program, source, ply, options)
    other = np.asarray(o3d.io.read_point_cloud(os.path.join(folder, name + ".ply")).points)
    ours = np.asarray(o3d.io.read_point_cloud(ply, remove_nan_points=True).points)
    if len(other) != len(ours) or np.abs(level(np, matrix, other) - ours).max() > 1e-6 * size:
        problems.append("the points differ from the PLY conversion's")
    return problems, tilt


def check_las(np, o3d, program, folder, scratch, name, options, reference):
    """Problems found with the capture levelled as LAS and as PLY ([] when none)."""
    source = os.path.join(folder, name + ".las")
    target = os.path.join(scratch, name + ".las")
    matrix = matrix_of(program, source, target, options)
    problems, tilt = as_level(np, matrix, reference)
    before, after = read_las(np, source), read_las(np, target)
    other = np.asarray(o3d.io.read_point_cloud(os.path.join(folder, name + ".ply")).points)
    if np.abs(before["xyz"] - other).max() > 1e-9 * np.abs(other).max():
        problems.append("the input's coordinates differ from the PLY conversion's")
    expected = level(np, matrix, before["xyz"])
    error = np.abs(after["xyz"] - expected) / after["scale"]
    if error.max() > 0.5 + 1e-6:
        problems.append("re-quantised by %.3f of the scale" % error.max())
    if not np.array_equal(before["records"][:, 12:], after["records"][:, 12:]):
        problems.append("point attributes changed")
    for field in ("count", "legacy", "format", "vlrs", "after", "header_rest"):
        if before[field] != after[field]:
            problems.append(field + " changed")
    xyz = after["xyz"]
    if (xyz.min(axis=0) < after["minima"] - 1e-9).any() or \
            (xyz.max(axis=0) > after["maxima"] + 1e-9).any():
        problems.append("the bounds do not hold every point")
    ply = os.path.join(scratch, name + ".from-las.ply")
    matrix_of(program, source, ply, options)
    ours = np.asarray(o3d.io.read_point_cloud(ply).points)
    if np.abs(level(np, matrix, other) - ours).max() > 1e-6:
        problems.append("the points differ from the PLY conversion's")
    return problems, error.max(), tilt


def check_formats(np, o3d, program, folder, scratch, references):
    """The second table: the captures read and written in their own formats (references: each
    capture's PLY points, reference plane inliers and ambiguity, from the first table)."""
    failures = 0
    print()
    print("| capture | read and written as | tilt after | re-quantisation (of the scale) | status |")
    print("| --- | --- | ---: | ---: | --- |")
    for name, options, _, _, _ in CAPTURES:
        for extension in (".pcd", ".las"):
            if not os.path.exists(os.path.join(folder, name + extension)) or \
                    name not in references:
                continue
            try:
                if extension == ".pcd":
                    (problems, tilt), quantised = check_pcd(np, o3d, program, folder, scratch,
                                                            name, options, references[name]), "-"
                else:
                    problems, error, tilt = check_las(np, o3d, program, folder, scratch, name,
                                                      options, references[name])
                    quantised = "%.3f" % error
            except RuntimeError as error:
                problems, quantised, tilt = [str(error)], "-", float("nan")
            failures += 1 if problems else 0
            print("| %s | %s | %.3f | %s | %s |" % (name, extension[1:].upper(), tilt, quantised,
                                                    "; ".join(problems) or "ok"))
    return failures


# EPSG's length units, as ProjLinearUnitsGeoKey (3076) names them.
EPSG_UNITS = {9001: "metres", 9002: "feet", 9003: "US survey feet"}
FRAME = (120, 120, 120)  # the grey of the map's frame
INK = (0, 0, 0)


def geokey_unit(vlrs):
    """The unit of ProjLinearUnitsGeoKey in the GeoTIFF key directory among these VLR bytes."""
    at = 0
    while at + 54 <= len(vlrs):
        record, length = struct.unpack_from("<HH", vlrs, at + 18)
        payload = vlrs[at + 54:at + 54 + length]
        if vlrs[at + 2:at + 17].rstrip(b"\0") == b"LASF_Projection" and record == 34735:
            keys = struct.unpack_from("<%dH" % (len(payload) // 2), payload)
            for k in range(1, keys[3] + 1):
                if keys[4 * k] == 3076 and keys[4 * k + 1] == 0:
                    return EPSG_UNITS.get(keys[4 * k + 3], "cloud units")
        at += 54 + length
    return "cloud units"


def is_round(value):
    mantissa = value / 10 ** math.floor(math.log10(value))
    return any(abs(mantissa - m) < 1e-6 for m in (1, 2, 5, 10))


def check_map(np, o3d, program, folder, scratch, name):
    """Problems of the LAS capture's map, and the unit, scale bar and tick step measured."""
    source = os.path.join(folder, name + ".las")
    target, picture = os.path.join(scratch, name + "-map.las"), os.path.join(scratch, name + ".png")
    run = subprocess.run([program, source, "-o", target, "--map", picture, "--report", "json",
                          "--no-sync"], capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        return ["status %d: %s" % (run.returncode, run.stderr.strip())], "-", 0, 0
    report = json.loads(run.stdout)
    problems = []
    expected = geokey_unit(read_las(np, source)["vlrs"])
    if report["map_unit"] != expected:
        problems.append("unit %s, not %s" % (report["map_unit"], expected))
    image = np.asarray(o3d.io.read_image(picture))[:, :, :3]
    frame = np.all(image == FRAME, axis=2)
    rows, columns = np.nonzero(frame)
    top, bottom, left, right = rows.min(), rows.max(), columns.min(), columns.max()
    inside = image[top + 1:bottom, left + 1:right]
    coloured = np.nonzero(np.any(inside != 255, axis=(0, 2)))[0]
    xs = read_las(np, target)["xyz"][:, 0]
    units_per_pixel = (xs.max() - xs.min()) / (coloured.max() - coloured.min() + 1)
    # The scale bar: the longest black run of a row below the map.
    longest = 0
    for row in image[bottom + 1:]:
        ink = np.concatenate(([0], np.all(row == INK, axis=1).astype(int), [0]))
        edges = np.flatnonzero(np.diff(ink))
        longest = max([longest] + list(edges[1::2] - edges[0::2]))
    bar = longest * units_per_pixel
    if abs(bar - report["map_scale_bar"]) > 2 * units_per_pixel or \
            not is_round(report["map_scale_bar"]):
        problems.append("scale bar %.4g measured, %.4g reported" % (bar, report["map_scale_bar"]))
    # The ticks: black pixels just under the frame, at x = min x + their place.
    ticks = np.flatnonzero(np.all(image[bottom + 3] == INK, axis=1))
    values = xs.min() + (ticks - (left + 1 + coloured.min()) + 0.5) * units_per_pixel
    step = float(np.median(np.diff(values))) if len(values) > 1 else float("nan")
    rounded = step
    for candidate in (1, 2, 5):
        power = 10 ** math.floor(math.log10(step / candidate) + 0.5)
        if abs(candidate * power - step) <= 2 * units_per_pixel:
            rounded = candidate * power
    off = np.abs(values / rounded - np.round(values / rounded)) * rounded
    if len(values) < 2 or off.max() > 2 * units_per_pixel or not is_round(rounded):
        problems.append("ticks at %s, not multiples of a round step" % values.round(2))
    return problems, report["map_unit"], bar, rounded


def check_maps(np, o3d, program, folder, scratch):
    failures = 0
    print()
    print("| capture | map unit | scale bar (measured) | tick step (measured) | status |")
    print("| --- | --- | ---: | ---: | --- |")
    for name, _, _, _, _ in CAPTURES:
        if os.path.exists(os.path.join(folder, name + ".las")):
            problems, unit, bar, step = check_map(np, o3d, program, folder, scratch, name)
            failures += 1 if problems else 0
            print("| %s | %s | %.4g | %.4g | %s |" % (name, unit, bar, step,
                                                    "; ".join(problems) or "ok"))
    return failures


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
    references = {}
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
            references[name] = (before, indices, ambiguity)
            passed = tilt_after <= TOLERANCE_DEGREES + ambiguity
            failures += 0 if passed else 1
            print("| %s | %s | %.3f | %.3f | %.3f | %s |" % (
                name, " ".join(options) or "(defaults)", tilt_before, tilt_after, ambiguity,
                "ok" if passed else "FAILED"))
        failures += check_formats(np, o3d, program, folder, scratch, references)
        failures += check_maps(np, o3d, program, folder, scratch)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
