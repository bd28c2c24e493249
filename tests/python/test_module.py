"""The Python module against levelling-cloud: the same plane from an array as from a file of
the same points, the same bytes from level_file, the same statuses, and bad input refused with
a Python exception."""

import os
import struct
import threading
import time

import numpy as np
import pytest

import levelling
from conftest import cloud_report, read_bytes, run_cloud, tilted_ground, write_las, write_ply

# The matrix from an array against the program's from a file, entry by entry.
MATRIX_TOLERANCE = 1e-9


def turned_to_minus_y(points):
    """The points turned so that their up (+z) is -y, as a depth camera sees a floor."""
    return np.column_stack([points[:, 0], -points[:, 2], points[:, 1]])


def with_empty_rows(points):
    points = points.copy()
    points[::97] = np.nan
    return points


# Each row: points, fit()'s options, the command line's.
CASES = {
    "defaults": (lambda: tilted_ground(20000), {}, []),
    "float32": (lambda: tilted_ground(20000, seed=2).astype(np.float32), {}, []),
    "minus_y": (lambda: turned_to_minus_y(tilted_ground(20000, seed=3)),
                {"up": "-y", "max_tilt": 60}, ["--up=-y", "--max-tilt=60"]),
    "auto": (lambda: tilted_ground(20000, seed=4), {"up": "auto"}, ["--up=auto"]),
    "up_vector": (lambda: tilted_ground(20000, seed=5), {"up": (0.1, 0, 1)},
                  ["--up=0.1,0.0,1.0"]),
    "all": (lambda: tilted_ground(5000, seed=6, outliers=0), {"method": "all"}, ["--fit=all"]),
    "options": (lambda: tilted_ground(20000, seed=7),
                {"pivot": "origin", "threshold": 0.05, "seed": 9},
                ["--pivot=origin", "--threshold=0.05", "--seed=9"]),
    "empty_rows": (lambda: with_empty_rows(tilted_ground(20000, seed=8)), {}, []),
    "far_from_origin": (lambda: tilted_ground(20000, seed=10, origin=(512000, 4100000, 120)),
                        {}, []),
    # More rows than one thread's share: the passes split across the cores.
    "every_core": (lambda: tilted_ground(1_200_000, seed=11), {}, []),
}


@pytest.mark.parametrize("case", list(CASES))
def test_fit_finds_the_command_lines_plane(folder, case):
    make, options, arguments = CASES[case]
    points = make()
    ply = write_ply(folder / "cloud.ply", points)
    expected = cloud_report(ply, *arguments)
    found = levelling.fit(points, **options)
    np.testing.assert_allclose(found.matrix, expected["matrix"], rtol=0, atol=MATRIX_TOLERANCE)
    assert found.inliers == expected["inliers"]
    report = found.to_dict()
    assert report["empty_points"] == expected["empty_points"]
    for key in ("fit", "up", "pivot_kind", "inlier_share"):
        assert report[key] == pytest.approx(expected[key], rel=1e-12), key
    np.testing.assert_allclose(found.normal, expected["plane"]["normal"], atol=1e-12)
    assert found.threshold == pytest.approx(expected["threshold"], rel=1e-9)
    assert found.tilt_degrees == pytest.approx(expected["tilt_degrees"], rel=1e-9)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_applied_points_are_level_and_rigidly_moved(dtype):
    points = with_empty_rows(tilted_ground(30000, seed=12, outliers=0)).astype(dtype)
    before = points.copy()
    found = levelling.fit(points)
    moved = levelling.apply(points, found.matrix)
    assert moved.dtype == points.dtype and moved.shape == points.shape
    np.testing.assert_array_equal(points, before)  # the input untouched
    empty = np.isnan(points[:, 0])
    assert np.isnan(moved[empty]).all() and not np.isnan(moved[~empty]).any()
    # Level: the plane's points fitted again have no tilt, and keep their spread in height.
    again = levelling.fit(moved)
    assert again.tilt_degrees < 1e-3
    assert np.std(moved[~empty, 2]) == pytest.approx(0.01, rel=0.1)
    # Rigid: distances between points kept (to the array's precision).
    a, b = moved[~empty][:1000].astype(np.float64), moved[~empty][1000:2000].astype(np.float64)
    p, q = points[~empty][:1000].astype(np.float64), points[~empty][1000:2000].astype(np.float64)
    distances = np.linalg.norm(p - q, axis=1)
    tolerance = 1e-4 if dtype == np.float32 else 1e-9
    np.testing.assert_allclose(np.linalg.norm(a - b, axis=1), distances, atol=tolerance)
    # The matrix undone by its inverse brings the points back.
    back = levelling.apply(moved, np.linalg.inv(found.matrix))
    np.testing.assert_allclose(back[~empty], points[~empty], atol=tolerance * 100)


# Each row: the input's name, how it is made, level_file's options, the command line's.
OUTPUTS = {
    "ply": ("in.ply", {}, []),
    "las": ("in.las", {"max_tilt": 30.0}, ["--max-tilt=30.0"]),
    "laz": ("in.laz", {"max_tilt": 30.0}, ["--max-tilt=30.0"]),
    "text": ("in.ply", {"format": "text", "precision": 4}, ["--format=text", "--precision=4"]),
    "pcd": ("in.ply", {"format": "pcd-binary-compressed", "pivot": "origin"},
            ["--format=pcd-binary-compressed", "--pivot=origin"]),
    "jobs": ("in.ply", {"jobs": 2}, ["--jobs=2"]),
    "flatness": ("in.ply", {"flatness": True, "units": "ft"}, ["--flatness", "--units=ft"]),
}


def raw_points(path):
    """x, y, z of a binary little-endian PLY of float or double properties, or of a LAS file
    (its integers by its scales and offsets), read with numpy from the bytes as the formats'
    documents lay them out: no reader of the project's."""
    data = read_bytes(path)
    if data[:4] == b"LASF":
        first, length = struct.unpack_from("<IxxxxxH", data, 96)
        count = struct.unpack_from("<I", data, 107)[0] or struct.unpack_from("<Q", data, 247)[0]
        scale, offset = np.array(struct.unpack_from("<3d", data, 131)), \
            np.array(struct.unpack_from("<3d", data, 155))
        records = np.frombuffer(data, np.uint8, count * length, first).reshape(count, length)
        xyz = records[:, :12].copy().view("<i4").astype(np.float64)
        return xyz * scale + offset
    end = data.index(b"end_header\n") + len(b"end_header\n")
    names = [line.split() for line in data[:end].decode().split("\n")
             if line.startswith("property")]
    dtype = np.dtype([(n[2], {"float": "<f4", "double": "<f8"}[n[1]]) for n in names])
    vertices = np.frombuffer(data, dtype, offset=end)
    return np.column_stack([vertices["x"], vertices["y"], vertices["z"]]).astype(np.float64)


@pytest.mark.parametrize("case", list(OUTPUTS))
def test_level_file_writes_the_command_lines_bytes(folder, case):
    name, options, arguments = OUTPUTS[case]
    points = tilted_ground(20000, seed=13, origin=(1000, 2000, 30))
    source = (write_las(folder, name, points) if name.endswith((".las", ".laz"))
              else write_ply(folder / name, points))
    extension = os.path.splitext(name)[1]
    expected = cloud_report(source, *arguments, "-o", folder / ("cli" + extension),
                            "--save-transform", folder / "cli.txt")
    report = levelling.level_file(source, folder / ("py" + extension),
                                  save_transform=folder / "py.txt", **options)
    assert read_bytes(folder / ("py" + extension)) == read_bytes(folder / ("cli" + extension))
    assert read_bytes(folder / "py.txt") == read_bytes(folder / "cli.txt")
    differing = {k for k in expected if report[k] != expected[k]}
    assert differing == {"output", "outputs", "saved_transform"}
    if extension in (".ply", ".las") and "format" not in options:  # as numpy reads the bytes
        matrix = np.array(report["matrix"])
        moved = raw_points(source) @ matrix[:3, :3].T + matrix[:3, 3]
        np.testing.assert_allclose(raw_points(folder / ("py" + extension)), moved,
                                   atol=0.0011 if extension == ".las" else 1e-9)


def vertical_wall(n):
    rng = np.random.default_rng(14)
    return np.column_stack([rng.uniform(0, 5, n), np.zeros(n), rng.uniform(0, 5, n)])


# Each row: how the input is made (in the test's folder), the options, the status.
FAILURES = {
    "missing": (lambda f: str(f / "missing.ply"), {}, 3),
    "malformed": (lambda f: write_bytes(f / "bad.ply", b"ply\nformat nonsense\n"), {}, 4),
    "no_plane": (lambda f: write_ply(f / "wall.ply", vertical_wall(3000)), {"max_tilt": 10}, 5),
    "output_is_input": (lambda f: write_ply(f / "same.ply", tilted_ground(3000)),
                        {"output": "same.ply"}, 7),
}


def write_bytes(path, data):
    with open(path, "wb") as out:
        out.write(data)
    return str(path)


@pytest.mark.parametrize("case", list(FAILURES))
def test_level_file_failures_carry_the_command_lines_status(folder, case):
    make, options, status = FAILURES[case]
    source = make(folder)
    options = dict(options)
    output = options.pop("output", "out.ply")
    before = sorted(os.listdir(folder))
    arguments = [f"--{k.replace('_', '-')}={v}" for k, v in options.items()]
    cli_status, _, err = run_cloud(source, *arguments, "-o", folder / output)
    with pytest.raises(levelling.LevellingError) as raised:
        levelling.level_file(source, folder / output, **options)
    assert (raised.value.status, cli_status) == (status, status)
    assert "levelling-cloud: " + raised.value.message == err.strip()
    assert sorted(os.listdir(folder)) == before  # nothing left behind


POINTS = tilted_ground(100)


def partly(value):
    points = POINTS.copy()
    points[5, 1] = value
    return points


FAR = np.array([[1, 0, 0, 1e39], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]], dtype=np.float64)

# Each row: the call, the exception, a part of its message.
BAD_INPUT = {
    "list": (lambda: levelling.fit(POINTS.tolist()), TypeError, "numpy array"),
    "integers": (lambda: levelling.fit(POINTS.astype(np.int32)), TypeError, "float32 or"),
    "two_columns": (lambda: levelling.fit(POINTS[:, :2].copy()), ValueError, "(N, 3)"),
    "flat": (lambda: levelling.fit(POINTS.ravel()), ValueError, "(N, 3)"),
    "not_contiguous": (lambda: levelling.fit(np.asfortranarray(POINTS)), ValueError,
                       "not contiguous"),
    "strided": (lambda: levelling.fit(POINTS[::2]), ValueError, "not contiguous"),
    "big_endian": (lambda: levelling.fit(POINTS.astype(">f8")), TypeError, "order"),
    "partly_nan": (lambda: levelling.fit(partly(np.nan)), ValueError, "row 5"),
    "infinity": (lambda: levelling.apply(partly(np.inf), np.eye(4)), ValueError, "infinite"),
    "max_tilt": (lambda: levelling.fit(POINTS, max_tilt=100), ValueError, "0 to 90"),
    "nan_tilt": (lambda: levelling.fit(POINTS, max_tilt=float("nan")), ValueError, "max-tilt"),
    "method": (lambda: levelling.fit(POINTS, method="best"), ValueError, "best"),
    "up": (lambda: levelling.fit(POINTS, up="w"), ValueError, "'w'"),
    "up_zero": (lambda: levelling.fit(POINTS, up=(0, 0, 0)), ValueError, "up"),
    "threshold": (lambda: levelling.fit(POINTS, threshold=-1.0), ValueError, "positive"),
    "cameras": (lambda: levelling.fit(POINTS, cameras=3), TypeError, "camera file"),
    "mirror": (lambda: levelling.apply(POINTS, np.diag([1.0, 1.0, -1.0, 1.0])), ValueError,
               "rigid"),
    "scaled": (lambda: levelling.apply(POINTS, np.eye(4) * 2), ValueError, "rigid"),
    "matrix_shape": (lambda: levelling.apply(POINTS, np.eye(3)), ValueError, "(4, 4)"),
    "matrix_words": (lambda: levelling.apply(POINTS, "eye"), ValueError, "matrix"),
    "unknown_option": (lambda: levelling.level_file("x.ply", bogus=1), TypeError, "bogus"),
    "option_value": (lambda: levelling.level_file("x.ply", format="xyz"), ValueError, "xyz"),
    "flag_value": (lambda: levelling.level_file("x.ply", fit_only="yes"), ValueError,
                   "True or False"),
    "no_input": (lambda: levelling.level_file([]), ValueError, "no file"),
    "beyond_float": (lambda: levelling.apply(POINTS.astype(np.float32), FAR),
                     levelling.LevellingError, "beyond the range of float32"),
    "private_shape": (lambda: levelling._levelling.apply_array(np.zeros((5, 1)),
                                                               list(np.eye(4).ravel())),
                      ValueError, "(N, 3)"),
    "private_order": (lambda: levelling._levelling.unusable_row(np.asfortranarray(POINTS)),
                      ValueError, "C-contiguous"),
}


@pytest.mark.parametrize("case", list(BAD_INPUT))
def test_bad_input_is_a_python_exception(case):
    call, error, part = BAD_INPUT[case]
    with pytest.raises(error) as raised:
        call()
    assert part in str(raised.value)


def test_too_few_points_is_no_plane():
    with pytest.raises(levelling.LevellingError) as raised:
        levelling.fit(POINTS[:2])
    assert raised.value.status == 5


def test_read_points_reads_what_the_program_reads(folder):
    points = with_empty_rows(tilted_ground(5000, seed=15))
    np.testing.assert_array_equal(levelling.read_points(write_ply(folder / "a.ply", points)),
                                  points)
    las = levelling.read_points(write_las(folder, "a.las", points[~np.isnan(points[:, 0])]))
    np.testing.assert_allclose(las, points[~np.isnan(points[:, 0])], atol=0.0005 + 1e-9)
    with pytest.raises(levelling.LevellingError) as raised:
        levelling.read_points(folder / "missing.las")
    assert raised.value.status == 3


@pytest.mark.parametrize("call", ["fit", "apply", "level_file"])
def test_the_library_lets_other_threads_run_while_it_works(folder, call):
    """Every stage releases the GIL: a thread of Python ticks all through the call (were the GIL
    held, it would not tick at all while the library works)."""
    points = tilted_ground(2_000_000, seed=3)
    source = write_ply(folder / "big.ply", points) if call == "level_file" else None
    work = {"fit": lambda: levelling.fit(points),
            "apply": lambda: levelling.apply(points, np.eye(4)),
            "level_file": lambda: levelling.level_file(source, folder / "level.ply")}[call]
    done = threading.Event()
    worker = threading.Thread(target=lambda: (work(), done.set()))
    started, ticks = time.perf_counter(), 0
    worker.start()
    while not done.is_set():
        ticks += 1
        time.sleep(0.0005)
    worker.join()
    assert ticks >= (time.perf_counter() - started) / 0.002, ticks  # (a tick: 0.5 to 0.7 ms)


def floor_under_a_wall(rng):
    """A floor tilted 8 degrees about y, and a wall larger than it: the largest plane is the
    wall; three points picked on the floor."""
    tilt = np.radians(8.0)
    xy = rng.uniform(0, 4, (3000, 2))
    floor = np.column_stack([xy, np.tan(tilt) * xy[:, 0] + rng.normal(0, 0.001, 3000)])
    wall = np.column_stack([np.full(20000, 4.0) + rng.normal(0, 0.001, 20000),
                            rng.uniform(0, 4, (20000, 2))])
    picked = np.array([[0.5, 0.5, 0.0], [3.5, 0.8, 0.0], [1.0, 3.6, 0.0]])
    picked[:, 2] = np.tan(tilt) * picked[:, 0]
    return np.vstack([floor, wall]), picked


def test_three_picked_points_level_their_plane_exactly(folder):
    points, picked = floor_under_a_wall(np.random.default_rng(15))
    source = write_ply(folder / "room.ply", points)
    text = " ".join(",".join(repr(v) for v in p) for p in picked)
    wall = np.array(cloud_report(source, "--up", "auto")["matrix"])
    assert abs(degrees_from_z(wall[:3, :3] @ [0, 0, 1]) - 90) < 1  # found alone: the wall
    report = cloud_report(source, "--plane-points", text, "--up", "auto")
    assert report["fit"] == "points"
    matrix = np.array(report["matrix"])
    ends = picked @ matrix[:3, :3].T + matrix[:3, 3]
    assert np.ptp(ends[:, 2]) < 1e-12  # at one height, exactly but for rounding
    np.testing.assert_allclose(ends.mean(axis=0), picked.mean(axis=0), atol=1e-12)  # pivot
    assert degrees_from_z(matrix[:3, :3] @ [-np.sin(np.radians(8)), 0, np.cos(np.radians(8))]) \
        < 1e-9
    found = levelling.fit(points, plane_points=picked, up="auto")
    np.testing.assert_allclose(found.matrix, matrix, atol=1e-12)
    for bad in ("0,0,0 1,0,0 2,0,0.00001", "0,0,0 1,1,1", "0,0,0 1,0,0 0,1,nan"):
        status, _, err = run_cloud(source, "--plane-points", bad)
        assert status == 2 and "--plane-points" in err, err


def degrees_from_z(v):
    return float(np.degrees(np.arccos(np.clip(v[2] / np.linalg.norm(v), -1, 1))))
