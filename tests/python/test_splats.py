"""Gaussian splat PLY files levelled by levelling-cloud, checked by their effect: the colour each
splat shows from every direction is the same after levelling from the turned direction, its
orientation is the old one turned, and what no rotation changes keeps its bytes. The colours are
evaluated here with the reference renderer's basis, written apart from the program's."""

import os

import numpy as np
import pytest

from conftest import read_bytes, run_cloud, tilted_ground

C1 = 0.4886025119029199
C2 = [1.0925484305920792, -1.0925484305920792, 0.31539156525252005, -1.0925484305920792,
      0.5462742152960396]
C3 = [-0.5900435899266435, 2.890611442640554, -0.4570457994644658, 0.3731763325901154,
      -0.4570457994644658, 1.445305721320277, -0.5900435899266435]
DIRECTIONS = 500
# Colours and quaternions are stored as floats: what a turn in double then a rounding may move.
FLOAT_TOLERANCE = 2e-5


def view_dependent(sh, d):
    """The renderer's colour terms of degrees 1..3 for coefficients sh (..., K) and unit
    directions d (M, 3): (..., M)."""
    x, y, z = d[:, 0], d[:, 1], d[:, 2]
    xx, yy, zz = x * x, y * y, z * z
    basis = [-C1 * y, C1 * z, -C1 * x,
             C2[0] * x * y, C2[1] * y * z, C2[2] * (2 * zz - xx - yy), C2[3] * x * z,
             C2[4] * (xx - yy),
             C3[0] * y * (3 * xx - yy), C3[1] * x * y * z, C3[2] * y * (4 * zz - xx - yy),
             C3[3] * z * (2 * zz - 3 * xx - 3 * yy), C3[4] * x * (4 * zz - xx - yy),
             C3[5] * z * (xx - yy), C3[6] * x * (xx - 3 * yy)]
    k = sh.shape[-1]
    return np.einsum("...k,km->...m", sh, np.array(basis[:k]))


def quaternion_matrix(q):
    """Rotation matrices (N, 3, 3) of quaternions w x y z of any length."""
    q = q / np.linalg.norm(q, axis=1, keepdims=True)
    w, x, y, z = q.T
    return np.stack([
        np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)], -1),
        np.stack([2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)], -1),
        np.stack([2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)], -1)], 1)


def splat_dtype(degree, scales, shuffled):
    rest = {0: 0, 1: 9, 2: 24, 3: 45}[degree]
    names = (["x", "y", "z", "nx", "ny", "nz", "f_dc_0", "f_dc_1", "f_dc_2"] +
             [f"f_rest_{i}" for i in range(rest)] + ["opacity"] +
             [f"scale_{i}" for i in range(scales)] + [f"rot_{i}" for i in range(4)])
    if shuffled:
        names = names[::-1]
    return np.dtype([(name, "<f4") for name in names])


def write_splat(path, degree, scales=3, shuffled=False, n=2000, seed=1):
    dtype = splat_dtype(degree, scales, shuffled)
    rng = np.random.default_rng(seed)
    ground = tilted_ground(n, seed=seed, outliers=0.0)
    splats = np.zeros(n, dtype)
    for name in dtype.names:
        splats[name] = rng.normal(0.0, 1.0, n)
    splats["x"], splats["y"], splats["z"] = ground.T
    header = f"ply\nformat binary_little_endian 1.0\nelement vertex {n}\n" + "".join(
        f"property float {name}\n" for name in dtype.names) + "end_header\n"
    with open(path, "wb") as out:
        out.write(header.encode() + splats.tobytes())
    return splats, len(header)


def read_splat(path, dtype, header):
    return np.frombuffer(read_bytes(path)[header:], dtype)


def rest_of(splats, degree):
    """The f_rest coefficients as (N, 3 channels, K)."""
    k = {0: 0, 1: 3, 2: 8, 3: 15}[degree]
    flat = np.stack([splats[f"f_rest_{i}"] for i in range(3 * k)], -1).astype(np.float64)
    return flat.reshape(len(splats), 3, k)


def levelling_matrix(folder, source, arguments):
    status, _, err = run_cloud(source, *arguments, "-o", folder / "level.ply",
                               "--save-transform", folder / "m.txt")
    assert status == 0, err
    return np.loadtxt(folder / "m.txt")


# Each row: degree, scales (2 for 2D Gaussian splatting), properties in reverse order, how the
# turn is made (a fit, or a saved transform of a large turn).
CASES = {
    "degree3_fit": (3, 3, False, None),
    "degree3_saved": (3, 3, False, "0 -1 0 5\n0.6 0 0.8 -2\n-0.8 0 0.6 1\n0 0 0 1\n"),
    "degree2": (2, 3, False, "0.36 0.48 -0.8 0\n-0.8 0.6 0 0\n0.48 0.64 0.6 0\n0 0 0 1\n"),
    "degree1_shuffled": (1, 3, True, "0 -1 0 5\n0.6 0 0.8 -2\n-0.8 0 0.6 1\n0 0 0 1\n"),
    "degree0": (0, 3, False, "0 -1 0 5\n0.6 0 0.8 -2\n-0.8 0 0.6 1\n0 0 0 1\n"),
    "2dgs": (3, 2, False, "0.36 0.48 -0.8 0\n-0.8 0.6 0 0\n0.48 0.64 0.6 0\n0 0 0 1\n"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_splats_are_levelled_whole(folder, case):
    degree, scales, shuffled, saved = CASES[case]
    source = folder / "splat.ply"
    before, header = write_splat(source, degree, scales, shuffled)
    arguments = []
    if saved is not None:
        (folder / "t.txt").write_text(saved)
        arguments = ["--transform", folder / "t.txt"]
    matrix = levelling_matrix(folder, source, arguments)
    after = read_splat(folder / "level.ply", before.dtype, header)
    r, t = matrix[:3, :3], matrix[:3, 3]
    # Positions moved, normals turned.
    for names, shift in ((("x", "y", "z"), t), (("nx", "ny", "nz"), 0)):
        old = np.stack([before[n] for n in names], -1).astype(np.float64)
        new = np.stack([after[n] for n in names], -1).astype(np.float64)
        np.testing.assert_allclose(new, old @ r.T + shift, atol=1e-4)
    # Orientations: the new rotation is R times the old, and the length is kept.
    q0 = np.stack([before[f"rot_{i}"] for i in range(4)], -1).astype(np.float64)
    q1 = np.stack([after[f"rot_{i}"] for i in range(4)], -1).astype(np.float64)
    np.testing.assert_allclose(quaternion_matrix(q1), r @ quaternion_matrix(q0),
                               atol=FLOAT_TOLERANCE * 10)
    np.testing.assert_allclose(np.linalg.norm(q1, axis=1), np.linalg.norm(q0, axis=1),
                               rtol=FLOAT_TOLERANCE)
    # What no rotation changes: byte for byte.
    kept = ["opacity", "f_dc_0", "f_dc_1", "f_dc_2"] + [f"scale_{i}" for i in range(scales)]
    for name in kept:
        assert before[name].tobytes() == after[name].tobytes(), name
    # The colour seen along R d after is the colour seen along d before, for every d.
    if degree > 0:
        d = np.random.default_rng(7).normal(size=(DIRECTIONS, 3))
        d /= np.linalg.norm(d, axis=1, keepdims=True)
        seen_before = view_dependent(rest_of(before, degree), d)
        seen_after = view_dependent(rest_of(after, degree), d @ r.T)
        scale = np.abs(seen_before).max()
        np.testing.assert_allclose(seen_after, seen_before, atol=FLOAT_TOLERANCE * scale)
        assert not np.allclose(view_dependent(rest_of(before, degree), d @ r.T), seen_before,
                               atol=0.1), "the turn is too small to tell"


def test_ascii_and_converted_splats_turn_alike(folder):
    source = folder / "splat.ply"
    before, header = write_splat(source, 3)
    (folder / "t.txt").write_text("0 -1 0 5\n0.6 0 0.8 -2\n-0.8 0 0.6 1\n0 0 0 1\n")
    binary = folder / "binary.ply"
    status, _, err = run_cloud(source, "--transform", folder / "t.txt", "-o", binary)
    assert status == 0, err
    expected = read_splat(binary, before.dtype, header)
    ascii_in, ascii_out = folder / "ascii.ply", folder / "ascii-level.ply"
    for arguments in ([source, "--transform", folder / "t.txt", "--format", "ply-ascii", "-o",
                       ascii_in],
                      [ascii_in, "--transform", folder / "t.txt", "--inverse", "-o",
                       ascii_out]):
        status, _, err = run_cloud(*arguments)
        assert status == 0, err
    # Turned to ASCII, then back by the inverse: the splats as they were.
    lines = read_bytes(ascii_out).decode().split("end_header\n")[1].split("\n")[:-1]
    back = np.array([[float(v) for v in line.split()] for line in lines])
    original = np.stack([before[n] for n in before.dtype.names], -1).astype(np.float64)
    np.testing.assert_allclose(back, original, atol=1e-4)
    assert expected["x"].size == len(back)


def test_compressed_splats_are_refused_by_name(folder):
    chunk = folder / "compressed.ply"
    chunk.write_bytes(b"ply\nformat binary_little_endian 1.0\nelement chunk 1\n"
                      b"property float min_x\nelement vertex 1\nproperty uint packed_position\n"
                      b"property uint packed_rotation\nend_header\n" + bytes(12))
    for name in ("compressed.ply", "scene.splat", "scene.spz", "scene.ksplat"):
        if name != "compressed.ply":
            (folder / name).write_bytes(bytes(64))
        status, out, err = run_cloud(folder / name, "-o", folder / "out.ply")
        assert status == 8, err
        assert "Gaussian splat" in err and out == "", err
        assert not os.path.exists(folder / "out.ply")


@pytest.mark.parametrize("name, kind", [("f_rest_0", "uchar"), ("rot_2", "short")])
def test_quantised_colours_or_orientations_are_refused_turned(folder, name, kind):
    """Integer orientations or colours are quantised values of a scale the file does not say:
    turned, they would come out clamped (half of a uchar's would be 0). Refused when turned (8),
    nothing written; read and fitted as any cloud."""
    dtype = splat_dtype(1, 3, False)
    source = folder / "quantised.ply"
    _, header = write_splat(source, 1)
    data = read_bytes(source)
    splats = np.frombuffer(data[header:], dtype)
    types = [(n, ("u1" if kind == "uchar" else "<i2") if n == name else "<f4")
             for n in dtype.names]
    quantised = np.zeros(len(splats), types)
    for n in dtype.names:
        quantised[n] = np.clip(splats[n] * 40 + 100, 0, 255) if n == name else splats[n]
    text = data[:header].decode().replace(f"property float {name}\n", f"property {kind} {name}\n")
    source.write_bytes(text.encode() + quantised.tobytes())
    status, out, err = run_cloud(source, "-o", folder / "out.ply")
    assert status == 8 and f"whose {name} is {kind}" in err and out == "", err
    assert not os.path.exists(folder / "out.ply")
    status, _, err = run_cloud(source)  # read, fitted and reported: nothing is turned
    assert status == 0, err
