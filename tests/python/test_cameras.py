"""levelling-cloud with a reconstruction's cameras: scenes whose largest plane is not the floor,
or most of whose points lie below it, levelled right side up with the cameras and not without;
the cameras written moved in each of their formats, everything else kept; camera files that lie
refused with one line and status 4, nothing written."""

import json
import os
import struct
import subprocess

import numpy as np
import pytest

from conftest import CLOUD, TIME_LIMIT, cloud_report, read_bytes, run_cloud, write_las, write_ply

# A turn taking the scene's true frame (z up) to the reconstruction's arbitrary one.
TRUE_TO_SCENE = np.array([[0.36, 0.48, -0.8], [-0.8, 0.6, 0.0], [0.48, 0.64, 0.6]])
LEVEL_TOLERANCE_DEGREES = 0.5


def scene_points(kind, rng):
    """A scene in its true frame (z up). cup: a sparse table and a cup whose dense lid is the
    largest plane, most points below it. atrium: a floor between two tall facades larger than
    it."""
    if kind == "cup":
        table = np.column_stack([rng.uniform(-3, 3, (3000, 2)), rng.normal(0, 0.002, 3000)])
        angle = rng.uniform(0, 2 * np.pi, 3000)
        wall = np.column_stack([0.5 * np.cos(angle), 0.5 * np.sin(angle),
                                rng.uniform(0, 1, 3000)])
        radius, turn = 0.5 * np.sqrt(rng.uniform(0, 1, 5000)), rng.uniform(0, 2 * np.pi, 5000)
        lid = np.column_stack([radius * np.cos(turn), radius * np.sin(turn),
                               1 + rng.normal(0, 0.002, 5000)])
        under = np.column_stack([rng.uniform(-3, 3, (2000, 2)), rng.uniform(-2, -0.05, 2000)])
        return np.vstack([table, wall, lid, under])
    floor = np.column_stack([rng.uniform(-2, 2, (4000, 2)), rng.normal(0, 0.002, 4000)])
    facades = [np.column_stack([np.full(6000, side) + rng.normal(0, 0.002, 6000),
                                rng.uniform(-2, 2, 6000), rng.uniform(0, 12, 6000)])
               for side in (-2, 2)]
    return np.vstack([floor] + facades)


def camera_rig(rng, n=24):
    """Cameras above the scene looking down at it, pitched, in the true frame: centres and
    camera-to-world rotations (COLMAP's axes: x right, y down, z forward)."""
    centres, rotations = [], []
    for i in range(n):
        azimuth = 2 * np.pi * i / n
        centre = np.array([4 * np.cos(azimuth), 4 * np.sin(azimuth), 2.5 + rng.uniform(0, 1)])
        forward = -centre / np.linalg.norm(centre)
        right = np.cross(forward, [0, 0, 1])
        right /= np.linalg.norm(right)
        down = np.cross(forward, right)
        centres.append(centre)
        rotations.append(np.column_stack([right, down, forward]))
    return np.array(centres), np.array(rotations)


def write_cameras(path, kind, centres, rotations):
    """The cameras (in the scene's frame) as one of the four formats."""
    records = []
    for i, (c, r) in enumerate(zip(centres, rotations)):
        world_to_camera = r.T
        q = rotation_quaternion(world_to_camera)
        t = -world_to_camera @ c
        records.append((i + 1, q, t))
    if kind == "cameras.json":
        json.dump([{"id": i, "img_name": f"im{i}", "width": 640, "position": c.tolist(),
                    "rotation": r.tolist(), "fx": 500.0} for i, (c, r) in
                   enumerate(zip(centres, rotations))], open(path, "w"))
    elif kind == "transforms.json":
        frames = []
        for i, (c, r) in enumerate(zip(centres, rotations)):
            m = np.eye(4)
            m[:3, :3] = r @ np.diag([1, -1, -1])  # OpenGL's axes: y up, z back
            m[:3, 3] = c
            frames.append({"file_path": f"images/im{i}.png", "transform_matrix": m.tolist()})
        json.dump({"camera_model": "OPENCV", "fl_x": 500.0, "frames": frames}, open(path, "w"),
                  indent=4)
    elif kind == "images.txt":
        with open(path, "w") as out:
            out.write("# Image list with two lines of data per image:\n")
            for image, q, t in records:
                out.write(f"{image} {' '.join(repr(v) for v in q)} {' '.join(repr(v) for v in t)}"
                          f" 1 im{image}.jpg\n")
                out.write("10.5 20.25 -1 30.0 40.0 7\n" if image % 2 else "\n")
    else:
        out = bytearray(struct.pack("<Q", len(records)))
        for image, q, t in records:
            out += struct.pack("<I4d3dI", image, *q, *t, 1) + f"im{image}.jpg".encode() + b"\0"
            out += struct.pack("<Q", 2) + struct.pack("<ddqddq", 1.5, 2.5, -1, 3.5, 4.5, 9)
        open(path, "wb").write(bytes(out))
    return str(path)


def rotation_quaternion(r):
    """The unit quaternion w x y z of a rotation matrix, from its largest diagonal term."""
    k = int(np.argmax([np.trace(r), r[0, 0], r[1, 1], r[2, 2]]))
    if k == 0:
        w = np.sqrt(1 + np.trace(r)) / 2
        return np.array([w, (r[2, 1] - r[1, 2]) / (4 * w), (r[0, 2] - r[2, 0]) / (4 * w),
                         (r[1, 0] - r[0, 1]) / (4 * w)])
    i, j, m = [(0, 1, 2), (1, 2, 0), (2, 0, 1)][k - 1]
    v = np.sqrt(1 + r[i, i] - r[j, j] - r[m, m]) / 2
    q = np.zeros(4)
    q[0] = (r[m, j] - r[j, m]) / (4 * v)
    q[1 + i], q[1 + j], q[1 + m] = v, (r[i, j] + r[j, i]) / (4 * v), (r[i, m] + r[m, i]) / (4 * v)
    return q


def true_up_after(folder, arguments):
    """Where the true up ends after levelling the scene (+z when level and right side up)."""
    status, out, err = run_cloud(*arguments, "--report=json")
    assert status == 0, err
    matrix = np.array(json.loads(out)["matrix"])
    return matrix[:3, :3] @ TRUE_TO_SCENE @ [0, 0, 1]


def degrees_from_up(v):
    return float(np.degrees(np.arccos(np.clip(v[2] / np.linalg.norm(v), -1, 1))))


@pytest.mark.parametrize("kind", ["cup", "atrium"])
def test_scenes_level_right_side_up_with_their_cameras_only(folder, kind):
    rng = np.random.default_rng(3)
    ply = write_ply(folder / "scene.ply", scene_points(kind, rng) @ TRUE_TO_SCENE.T)
    centres, rotations = camera_rig(rng)
    cameras = write_cameras(folder / "cameras.json", "cameras.json", centres @ TRUE_TO_SCENE.T,
                            TRUE_TO_SCENE @ rotations)
    with_cameras = true_up_after(folder, [ply, "--cameras", cameras])
    assert degrees_from_up(with_cameras) < LEVEL_TOLERANCE_DEGREES
    without = true_up_after(folder, [ply, "--up", "auto"])
    assert degrees_from_up(without) > 30  # upside down, or levelled on a facade


def test_fit_with_cameras_is_the_programs(folder):
    import levelling
    rng = np.random.default_rng(6)
    points = scene_points("cup", rng) @ TRUE_TO_SCENE.T
    centres, rotations = camera_rig(rng)
    cameras = write_cameras(folder / "images.bin", "images.bin", centres @ TRUE_TO_SCENE.T,
                            TRUE_TO_SCENE @ rotations)
    status, out, err = run_cloud(write_ply(folder / "scene.ply", points), "--cameras", cameras,
                                 "--report=json")
    assert status == 0, err
    found = levelling.fit(points, cameras=cameras)
    np.testing.assert_allclose(found.matrix, json.loads(out)["matrix"], atol=1e-9)
    assert found.to_dict()["cameras_agreeing"] == len(centres)
    with pytest.raises(levelling.LevellingError) as raised:
        levelling.fit(points, cameras=folder / "missing.bin")
    assert raised.value.status == 3


@pytest.mark.parametrize("kind", ["cameras.json", "transforms.json", "images.txt", "images.bin"])
def test_cameras_are_written_moved_in_their_own_format(folder, kind):
    rng = np.random.default_rng(4)
    ply = write_ply(folder / "scene.ply", scene_points("cup", rng) @ TRUE_TO_SCENE.T)
    centres, rotations = camera_rig(rng)
    centres, rotations = centres @ TRUE_TO_SCENE.T, TRUE_TO_SCENE @ rotations
    source = write_cameras(folder / kind, kind, centres, rotations)
    moved = folder / ("moved-" + kind)
    status, out, err = run_cloud(ply, "--cameras", source, "--cameras-output", moved,
                                 "--report=json", "-o", folder / "level.ply")
    assert status == 0, err
    report = json.loads(out)
    assert report["cameras"] == len(centres) == report["cameras_agreeing"]
    matrix = np.array(report["matrix"])
    r, t = matrix[:3, :3], matrix[:3, 3]
    new_centres, new_rotations = read_cameras(moved, kind)
    np.testing.assert_allclose(new_centres, centres @ r.T + t, atol=1e-9)
    np.testing.assert_allclose(new_rotations, r @ rotations, atol=1e-9)
    before, after = read_bytes(source), read_bytes(moved)
    if kind == "images.bin":  # every byte but the poses'
        assert len(before) == len(after)
        assert before[:12] == after[:12] and before[-40:] == after[-40:]
    elif kind == "images.txt":  # every line but the image lines, each keeping its ids and name
        lines_before, lines_after = before.split(b"\n"), after.split(b"\n")
        assert lines_after[0] == lines_before[0]
        assert [l.split()[8:] for l in lines_after[1::2]] == \
            [l.split()[8:] for l in lines_before[1::2]]
        assert lines_after[2::2] == lines_before[2::2]
    else:
        a, b = json.loads(before), json.loads(after)
        if kind == "transforms.json":
            assert {k: v for k, v in a.items() if k != "frames"} == \
                {k: v for k, v in b.items() if k != "frames"}
            a, b = a["frames"], b["frames"]
        for x, y in zip(a, b):
            assert {k: v for k, v in x.items() if k not in ("position", "rotation",
                                                             "transform_matrix")} == \
                {k: v for k, v in y.items() if k not in ("position", "rotation",
                                                         "transform_matrix")}


def read_cameras(path, kind):
    """Centres and camera-to-world rotations (COLMAP's axes) of a camera file."""
    if kind == "cameras.json":
        cameras = json.load(open(path))
        return (np.array([c["position"] for c in cameras]),
                np.array([c["rotation"] for c in cameras]))
    if kind == "transforms.json":
        frames = [np.array(f["transform_matrix"]) for f in json.load(open(path))["frames"]]
        return (np.array([m[:3, 3] for m in frames]),
                np.array([m[:3, :3] @ np.diag([1, -1, -1]) for m in frames]))
    poses = []
    if kind == "images.txt":
        lines = [l for l in open(path).read().split("\n") if not l.startswith("#")]
        poses = [[float(v) for v in line.split()[1:8]] for line in lines[0::2] if line]
    else:
        data = read_bytes(path)
        at = 8
        for _ in range(struct.unpack_from("<Q", data)[0]):
            poses.append(struct.unpack_from("<4d3d", data, at + 4))
            at = data.index(b"\0", at + 64) + 1
            at += 8 + 24 * struct.unpack_from("<Q", data, at)[0]
    centres, rotations = [], []
    for pose in poses:
        q = np.array(pose[:4]) / np.abs(pose[:4]).max()  # (no length overflows)
        w, x, y, z = q / np.linalg.norm(q)
        world_to_camera = np.array([
            [1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
            [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
            [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]])
        centres.append(-world_to_camera.T @ pose[4:])
        rotations.append(world_to_camera.T)
    return np.array(centres), np.array(rotations)


def binary_images(count=1, name=b"a.jpg\0", q=(1.0, 0, 0, 0), points=0, image=1, tail=b"",
                  t=(0, 0, 5)):
    return (struct.pack("<Q", count) + struct.pack("<I4d3dI", image, *q, *t, 1) + name +
            struct.pack("<Q", points) + tail)


# Each row: the file's name, its bytes, the status, a part of the message.
HOSTILE = {
    "count_lies": ("images.bin", binary_images(count=3), 4, "truncated"),
    "huge_count": ("images.bin", binary_images(count=2 ** 62), 4, "truncated"),
    "count_short": ("images.bin", binary_images(tail=b"junk"), 4, "after the 1 images"),
    "no_terminator": ("images.bin", binary_images(name=b"a.jpg")[:-8], 4, "terminating"),
    "points_lie": ("images.bin", binary_images(points=2 ** 40), 4, "more than the file"),
    "repeated_id": ("images.bin", binary_images(count=2) +
                    struct.pack("<I4d3dI", 1, 1, 0, 0, 0, 0, 0, 5, 1) + b"b\0" +
                    struct.pack("<Q", 0), 4, "repeated"),
    "zero_quaternion": ("images.bin", binary_images(q=(0.0, 0, 0, 0)), 4, "length zero"),
    "nan_rotation": ("images.bin", binary_images(q=(float("nan"), 0, 0, 0)), 4, "finite"),
    "text_word": ("images.txt", b"1 1 0 0 0 0 0 x 1 a.jpg\n\n", 4, "'x' is not a number"),
    "text_no_points_line": ("images.txt", b"1 1 0 0 0 0 0 5 1 a.jpg", 4, "no line"),
    "text_repeated": ("images.txt", b"1 1 0 0 0 0 0 5 1 a\n\n1 1 0 0 0 0 0 5 1 b\n\n", 4,
                      "repeated"),
    "not_json": ("cameras.json", b"[{\"position\": [1, 2", 4, "is not JSON"),
    "json_shape": ("cameras.json", b"[{\"position\": [1, 2, 3]}]", 4, "rotation"),
    "json_not_rotation": ("cameras.json",
                          b"[{\"position\": [1, 2, 3], \"rotation\": [[2,0,0],[0,1,0],[0,0,1]]}]",
                          4, "no rotation"),
    "json_empty": ("cameras.json", b"[]", 4, "no camera"),
    "json_nearly_rotation": ("cameras.json", b'[{"position": [1, 2, 3], "rotation": '
                             b'[[1.01, 0, 0], [0, 1, 0], [0, 0, 1]]}]', 4, "no rotation"),
    "frames_missing": ("transforms.json", b"{\"camera_model\": \"OPENCV\"}", 4, "frames"),
    "unknown_kind": ("cameras.yaml", b"- 1\n", 8, "no camera file"),
    "nested_deep": ("cameras.json", b"[" * 100000 + b"]" * 100000, 4, "camera 1: not an object"),
    "pose_repeated": ("cameras.json", b'[{"position": [1, 2, 3], "position": [1, 2, 3], '
                      b'"rotation": [[1, 0, 0], [0, 1, 0], [0, 0, 1]]}]', 4,
                      '"position" is repeated'),
    "frames_repeated": ("transforms.json", b'{"frames": [], "frames": []}', 4, "repeated"),
    "centre_overflows": ("images.bin", binary_images(q=(0.9238795325112867, 0.3826834323650898,
                                                         0, 0), t=(0, 1.7e308, 1.7e308)), 4,
                         "its centre is beyond a double"),
}


@pytest.mark.parametrize("case", list(HOSTILE))
def test_camera_files_that_lie_are_refused(folder, case):
    name, data, status, part = HOSTILE[case]
    (folder / name).write_bytes(data)
    ply = write_ply(folder / "scene.ply", scene_points("cup", np.random.default_rng(5)))
    before = sorted(os.listdir(folder))
    ended, out, err = run_cloud(ply, "--cameras", folder / name, "-o", folder / "level.ply",
                                "--cameras-output", folder / ("moved-" + name))
    assert ended == status and part in err and err.count("\n") == 1 and out == "", err
    assert sorted(os.listdir(folder)) == before


def write_model(folder, binary, points, centres, rotations):
    """A COLMAP model of the points (each tracked by two images) and the cameras."""
    os.makedirs(folder, exist_ok=True)
    extension = ".bin" if binary else ".txt"
    (folder / ("cameras" + extension)).write_bytes(b"1 PINHOLE 640 480 500 500 320 240\n")
    write_cameras(folder / ("images" + extension), "images" + extension, centres, rotations)
    if binary:
        out = bytearray(struct.pack("<Q", len(points)))
        for i, p in enumerate(points):
            out += struct.pack("<Q3d3Bd", i + 1, *p, 10, 20, 30, 0.5)
            out += struct.pack("<Q", 2) + struct.pack("<4I", 1, i, 2, i)
        (folder / "points3D.bin").write_bytes(bytes(out))
    else:
        lines = ["# 3D point list"] + [f"{i + 1} {p[0]!r} {p[1]!r} {p[2]!r} 10 20 30 0.5 1 {i} 2 {i}"
                                       for i, p in enumerate(points)]
        (folder / "points3D.txt").write_text("\n".join(lines) + "\n")


def model_positions(folder, binary):
    if binary:
        data = read_bytes(folder / "points3D.bin")
        count, at, positions = struct.unpack_from("<Q", data)[0], 8, []
        for _ in range(count):
            positions.append(struct.unpack_from("<3d", data, at + 8))
            at += 51 + 8 * struct.unpack_from("<Q", data, at + 43)[0]
        return np.array(positions)
    lines = [l for l in open(folder / "points3D.txt").read().split("\n") if l and l[0] != "#"]
    return np.array([[float(v) for v in line.split()[1:4]] for line in lines])


@pytest.mark.parametrize("binary", [True, False])
def test_a_colmap_model_is_levelled_as_a_model(folder, binary):
    rng = np.random.default_rng(7)
    points = scene_points("cup", rng) @ TRUE_TO_SCENE.T
    centres, rotations = camera_rig(rng)
    centres, rotations = centres @ TRUE_TO_SCENE.T, TRUE_TO_SCENE @ rotations
    model, out = folder / "sparse", folder / "level"
    write_model(model, binary, points, centres, rotations)
    extension = ".bin" if binary else ".txt"
    status, report, err = run_cloud(model, "-o", out, "--report=json")
    assert status == 0, err
    report = json.loads(report)
    matrix = np.array(report["matrix"])
    r, t = matrix[:3, :3], matrix[:3, 3]
    assert degrees_from_up(r @ TRUE_TO_SCENE @ [0, 0, 1]) < LEVEL_TOLERANCE_DEGREES
    assert report["points"] == len(points) and report["cameras_agreeing"] == len(centres)
    np.testing.assert_allclose(model_positions(out, binary), points @ r.T + t, atol=1e-9)
    new_centres, new_rotations = read_cameras(out / ("images" + extension), "images" + extension)
    np.testing.assert_allclose(new_centres, centres @ r.T + t, atol=1e-9)
    np.testing.assert_allclose(new_rotations, r @ rotations, atol=1e-9)
    assert read_bytes(out / ("cameras" + extension)) == read_bytes(model / ("cameras" +
                                                                            extension))
    before, after = read_bytes(model / ("points3D" + extension)), \
        read_bytes(out / ("points3D" + extension))
    if binary:  # every byte but the positions' (each point 67 bytes, its x at 8)
        assert len(before) == len(after)
        kept = np.ones(len(before), bool)
        for i in range(len(points)):
            kept[8 + 67 * i + 8:8 + 67 * i + 32] = False
        assert np.array_equal(np.frombuffer(before, np.uint8)[kept],
                              np.frombuffer(after, np.uint8)[kept])
    else:  # every token but X Y Z
        assert [l.split()[4:] for l in before.split(b"\n")] == \
            [l.split()[4:] for l in after.split(b"\n")]


def test_models_that_lie_are_refused(folder):
    rng = np.random.default_rng(8)
    centres, rotations = camera_rig(rng)
    model = folder / "sparse"
    write_model(model, True, scene_points("cup", rng)[:100], centres, rotations)
    whole = read_bytes(model / "points3D.bin")
    for data, part in ((whole[:-5], "longer than the file"),
                       (struct.pack("<Q", 2 ** 61) + whole[8:],
                                                    "truncated"),
                       (whole + b"x", "after the 100 points")):
        (model / "points3D.bin").write_bytes(data)
        status, out, err = run_cloud(model, "-o", folder / "level")
        assert status == 4 and part in err and out == "", err
        assert not os.path.exists(folder / "level")
    repeated = bytearray(whole)
    repeated[8 + 67:8 + 67 + 8] = struct.pack("<Q", 1)  # the second point's id: the first's
    (model / "points3D.bin").write_bytes(bytes(repeated))
    status, _, err = run_cloud(model, "-o", folder / "level")
    assert status == 4 and "point 2" in err and "repeated" in err, err
    (model / "points3D.bin").write_bytes(whole)
    status, _, err = run_cloud(model, "-o", model)
    assert status == 7, err


def test_cameras_below_the_plane_do_not_agree(folder):
    rng = np.random.default_rng(9)
    ply = write_ply(folder / "scene.ply", scene_points("cup", rng))
    centres, rotations = camera_rig(rng)
    centres[::2, 2] = -3.0  # half of them under the table, still looking as before
    cameras = write_cameras(folder / "cams.json", "cameras.json", centres, rotations)
    report = cloud_report(ply, "--cameras", cameras)
    assert report["cameras"] == len(centres) and report["cameras_agreeing"] == len(centres) // 2


def test_a_models_own_cameras_give_way_to_those_named(folder):
    """--cameras with a model folder: the cameras named are those counted and levelled by."""
    rng = np.random.default_rng(10)
    points = scene_points("cup", rng) @ TRUE_TO_SCENE.T
    centres, rotations = camera_rig(rng)
    centres, rotations = centres @ TRUE_TO_SCENE.T, TRUE_TO_SCENE @ rotations
    write_model(folder / "sparse", True, points, centres, rotations)
    named = write_cameras(folder / "six.json", "cameras.json", centres[:6], rotations[:6])
    own = cloud_report(folder / "sparse")
    given = cloud_report(folder / "sparse", "--cameras", named)
    assert (own["cameras"], given["cameras"]) == (len(centres), 6)
    matrix = np.array(given["matrix"])
    assert degrees_from_up(matrix[:3, :3] @ TRUE_TO_SCENE @ [0, 0, 1]) < LEVEL_TOLERANCE_DEGREES



# Each row: the arguments after the scene (files of the test's folder by name: scene.ply, the
# cameras cams.json, a transform far.txt, a link alias.ply to the scene), a part of the message.
# An output that names an input, or two outputs that name one file, are refused (7) before
# anything is read.
SHARED_PATHS = {
    "cameras_output_is_the_cloud": (["--cameras-output", "scene.ply", "-o", "level.ply"],
                                    "--cameras-output names an input"),
    "cameras_output_is_the_cameras": (["--cameras-output", "cams.json"],
                                      "--cameras-output names an input (--cameras)"),
    "save_transform_is_the_cloud": (["--save-transform", "scene.ply"],
                                    "--save-transform names an input"),
    "map_through_a_link": (["--map", "alias.ply"], "--map names an input"),
    "cameras_output_is_the_output": (["--cameras-output", "level.ply", "-o", "level.ply"],
                                     "named by both -o and --cameras-output"),
    "transform_and_map_one_file": (["--save-transform", "x.png", "--map", "./x.png"],
                                   "named by both --save-transform and --map"),
}


@pytest.mark.parametrize("case", list(SHARED_PATHS))
def test_outputs_naming_an_input_or_each_other_are_refused(folder, case):
    arguments, part = SHARED_PATHS[case]
    rng = np.random.default_rng(5)
    ply = write_ply(folder / "scene.ply", scene_points("cup", rng))
    write_cameras(folder / "cams.json", "cameras.json", *camera_rig(rng))
    os.symlink("scene.ply", folder / "alias.ply")
    before = {name: read_bytes(folder / name) for name in os.listdir(folder)}
    ended = subprocess.run([os.path.abspath(CLOUD), ply, "--cameras", "cams.json", *arguments], cwd=folder,
                           capture_output=True, text=True, timeout=TIME_LIMIT, check=False)
    assert ended.returncode == 7 and part in ended.stderr, ended.stderr
    assert ended.stderr.count("\n") == 1 and ended.stdout == ""
    assert {name: read_bytes(folder / name) for name in os.listdir(folder)} == before


def test_devices_may_take_several_outputs(folder):
    ply = write_ply(folder / "scene.ply", scene_points("cup", np.random.default_rng(5)))
    status, _, err = run_cloud(ply, "-o", "/dev/null", "--save-transform", "/dev/null")
    assert status == 0, err


def test_a_run_that_fails_puts_none_of_its_outputs_in_place(folder):
    """The side outputs wait for the cloud: a levelling beyond a float, a LAS of a point format
    LAZ is not written in, a model folder whose points file is a folder leave nothing."""
    rng = np.random.default_rng(5)
    points = scene_points("cup", rng).astype(np.float32)
    ply = write_ply(folder / "scene.ply", points)
    cameras = write_cameras(folder / "cams.json", "cameras.json", *camera_rig(rng))
    (folder / "far.txt").write_text("1 0 0 1e39\n0 1 0 0\n0 0 1 0\n0 0 0 1\n")
    side = ["--save-transform", folder / "t.txt", "--cameras", cameras,
            "--cameras-output", folder / "moved.json"]
    status, _, err = run_cloud(ply, "--transform", folder / "far.txt", "-o", folder / "o.ply",
                               *side)
    assert status == 8 and "beyond the range of its float" in err, err
    with_waveforms = folder / "waves.las"
    write_las(folder, "plain.las", points.astype(np.float64))
    data = bytearray(read_bytes(folder / "plain.las"))
    # Its point format (1 or 6) made the one with waveforms (4 or 9): 29 bytes more a record.
    first, length = struct.unpack_from("<I", data, 96)[0], struct.unpack_from("<H", data, 105)[0]
    count = (len(data) - first) // length
    data[104], data[105:107] = {1: 4, 6: 9}[data[104]], struct.pack("<H", length + 29)
    records = [data[first + length * i:first + length * (i + 1)] + bytes(29)
               for i in range(count)]
    with_waveforms.write_bytes(bytes(data[:first]) + b"".join(records))
    status, _, err = run_cloud(with_waveforms, "-o", folder / "o.laz", *side, "--map",
                               folder / "m.png")
    assert status == 8, err
    model, out = folder / "sparse", folder / "level"
    write_model(model, True, scene_points("cup", rng), *camera_rig(rng))
    os.makedirs(out / "points3D.bin")
    status, _, err = run_cloud(model, "-o", out, "--save-transform", folder / "t.txt")
    assert status == 6, err
    assert sorted(os.listdir(out)) == ["points3D.bin"]
    assert not {"t.txt", "moved.json", "o.ply", "o.laz", "m.png"} & set(os.listdir(folder))


def test_camera_files_are_read_whatever_they_hold_around_the_poses(folder):
    """A folder named as the cameras is refused (3); a byte-order mark is read past; a file of two
    million empty objects is refused at its first, in the memory of the file, not of a tree."""
    ply = write_ply(folder / "scene.ply", scene_points("cup", np.random.default_rng(5)))
    status, _, err = run_cloud(ply, "--cameras", folder)
    assert status == 3 and "is a folder" in err and err.count("\n") == 1, err
    (folder / "empty.json").write_bytes(b"[" + b"{}," * 2000000 + b"{}]")
    (folder / "one.json").write_bytes(b'[{"position": [0, -5, 0.5], "rotation": '
                                      b'[[1, 0, 0], [0, 0, 1], [0, -1, 0]]}]')  # facing +y

    def peak_kib(cameras):
        child = subprocess.Popen([CLOUD, ply, "--cameras", cameras, "-q"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        err = child.stderr.read().decode()
        _, raw, usage = os.wait4(child.pid, 0)
        return os.waitstatus_to_exitcode(raw), err, usage.ru_maxrss

    (folder / "bom.json").write_bytes(b"\xef\xbb\xbf" + read_bytes(folder / "one.json"))
    status, _, err = run_cloud(ply, "--cameras", folder / "bom.json")
    assert status == 0, err  # a byte-order mark before the text is none of the JSON
    status, err, peak = peak_kib(folder / "empty.json")
    assert status == 4 and '"position" is missing' in err, err
    # (The child's peak counts this process's pages at the fork: compared with a one-camera run's.)
    assert peak < peak_kib(folder / "one.json")[2] + 8 * 6 * 1024  # KiB: 8 times the file at most


@pytest.mark.parametrize("length", [1e160, 3.0, 1e-170])
def test_quaternions_of_any_length_are_their_rotations(folder, length):
    rng = np.random.default_rng(4)
    ply = write_ply(folder / "scene.ply", scene_points("cup", rng) @ TRUE_TO_SCENE.T)
    centres, rotations = camera_rig(rng)
    unit = write_cameras(folder / "unit.bin", "images.bin", centres @ TRUE_TO_SCENE.T,
                         TRUE_TO_SCENE @ rotations)
    data = bytearray(read_bytes(unit))
    at = 8
    for _ in range(len(centres)):
        q = np.array(struct.unpack_from("<4d", data, at + 4))
        struct.pack_into("<4d", data, at + 4, *(q * length))
        at = data.index(b"\0", at + 64) + 1
        at += 8 + 24 * struct.unpack_from("<Q", data, at)[0]
    scaled = folder / "scaled.bin"
    scaled.write_bytes(bytes(data))
    expected = cloud_report(ply, "--cameras", unit)
    found = cloud_report(ply, "--cameras", scaled, "--cameras-output", folder / "moved.bin")
    assert found["cameras_agreeing"] == len(centres)
    np.testing.assert_allclose(found["matrix"], expected["matrix"], atol=1e-12)
    matrix = np.array(found["matrix"])
    new_centres, new_rotations = read_cameras(folder / "moved.bin", "images.bin")
    np.testing.assert_allclose(new_centres, (centres @ TRUE_TO_SCENE.T) @ matrix[:3, :3].T +
                               matrix[:3, 3], atol=1e-9)


def test_written_json_keeps_every_byte_but_the_poses(folder):
    """Integers beyond 64 bits, repeated keys, the layout: as they came; a pose moved beyond a
    double refused (8), nothing written."""
    rng = np.random.default_rng(4)
    ply = write_ply(folder / "scene.ply", scene_points("cup", rng) @ TRUE_TO_SCENE.T)
    centres, rotations = camera_rig(rng)
    source = write_cameras(folder / "cams.json", "cameras.json", centres @ TRUE_TO_SCENE.T,
                           TRUE_TO_SCENE @ rotations)
    text = read_bytes(source).decode().replace(
        '"img_name"', '"big": 123456789012345678901234567890, "note": 1, "note": 2,\n  "img_name"')
    (folder / "cams.json").write_text(text)
    moved = folder / "moved.json"
    report = cloud_report(ply, "--cameras", source, "--cameras-output", moved)
    after = read_bytes(moved).decode()
    assert after.count('"big": 123456789012345678901234567890, "note": 1, "note": 2,\n  '
                       '"img_name"') == len(centres)
    new_centres, _ = read_cameras(moved, "cameras.json")
    matrix = np.array(report["matrix"])
    np.testing.assert_allclose(new_centres, (centres @ TRUE_TO_SCENE.T) @ matrix[:3, :3].T +
                               matrix[:3, 3], atol=1e-9)
    # Every byte outside the poses' numbers is the input's.
    import re
    pose = re.compile(r'"(position|rotation)": \[[^"]*\]')
    assert pose.sub("", after) == pose.sub("", text)
    far = folder / "far.txt"
    far.write_text("1 0 0 1.7e308\n0 1 0 0\n0 0 1 0\n0 0 0 1\n")
    data = json.loads(text)
    data[0]["position"] = [1.5e308, 0.0, 0.0]
    json.dump(data, open(folder / "cams.json", "w"))
    status, _, err = run_cloud(write_ply(folder / "double.ply", scene_points("cup", rng)),
                               "--transform", far, "--cameras", folder / "cams.json",
                               "--cameras-output", folder / "far.json", "-o", folder / "o.ply")
    assert status == 8 and "camera 1: moved, its pose is beyond a double" in err, err
    assert not os.path.exists(folder / "far.json") and not os.path.exists(folder / "o.ply")


def pitched_rig(rng, pitch_degrees, roll_degrees, n=16, arc_degrees=100):
    """Cameras on an arc around a table, each pitched down by the angle (looking at what lies
    on the table from above) and rolled by up to the roll: centres and camera-to-world rotations
    in the true frame (z up), COLMAP's axes."""
    centres, rotations = [], []
    pitch = np.radians(pitch_degrees)
    for i in range(n):
        azimuth = np.radians(arc_degrees) * (i / (n - 1) - 0.5)
        heading = np.array([np.cos(azimuth), np.sin(azimuth), 0.0])
        forward = np.cos(pitch) * heading + np.array([0, 0, -np.sin(pitch)])
        centres.append(-3.0 * forward + [0, 0, 0.05])
        right = np.cross(forward, [0, 0, 1])
        right /= np.linalg.norm(right)
        down = np.cross(forward, right)
        roll = np.radians(rng.uniform(-roll_degrees, roll_degrees))
        right, down = (np.cos(roll) * right + np.sin(roll) * down,
                       -np.sin(roll) * right + np.cos(roll) * down)
        rotations.append(np.column_stack([right, down, forward]))
    return np.array(centres), np.array(rotations)


def table_scene(rng):
    """A table top (z = 0) and the object on it: a box whose sides and top are no floor."""
    table = np.column_stack([rng.uniform(-2, 2, (8000, 2)), rng.normal(0, 0.002, 8000)])
    box = np.column_stack([rng.uniform(-0.3, 0.3, (3000, 2)), rng.uniform(0, 0.6, 3000)])
    return np.vstack([table, box])


@pytest.mark.parametrize("pitch", [20, 50, 70])
def test_cameras_that_look_down_level_by_their_right_axes(folder, pitch):
    rng = np.random.default_rng(pitch)
    ply = write_ply(folder / "scene.ply", table_scene(rng) @ TRUE_TO_SCENE.T)
    centres, rotations = pitched_rig(rng, pitch, 2.0)
    cameras = write_cameras(folder / "cams.json", "cameras.json", centres @ TRUE_TO_SCENE.T,
                            TRUE_TO_SCENE @ rotations)
    report = cloud_report(ply, "--cameras", cameras)
    assert report["cameras_up_from"] == "right axes" and report["cameras_up_spread_degrees"] < 2
    matrix = np.array(report["matrix"])
    assert degrees_from_up(matrix[:3, :3] @ TRUE_TO_SCENE @ [0, 0, 1]) < 0.2
    status, out, _ = run_cloud(ply, "--cameras", cameras)
    assert status == 0 and "cameras' up: the direction their right axes are perpendicular" in out


def test_cameras_rolled_on_purpose_keep_their_mean_image_up(folder):
    """Right axes far from one plane (cameras turned freely): the mean image-up, and said."""
    rng = np.random.default_rng(11)
    ply = write_ply(folder / "scene.ply", table_scene(rng))
    centres, rotations = pitched_rig(rng, 20, 40)
    report = cloud_report(ply, "--cameras",
                          write_cameras(folder / "cams.json", "cameras.json", centres, rotations))
    assert report["cameras_up_from"] == "image-up"
    assert report["cameras_up_spread_degrees"] > 10
