"""Shared helpers of the Python module's tests: generated clouds written as files, and
levelling-cloud run as a user runs it (its path in $LEVELLING_CLOUD, set by ctest)."""

import json
import os
import subprocess

import numpy as np
import pytest

CLOUD = os.environ.get("LEVELLING_CLOUD", "levelling-cloud")
# Seconds a run of levelling-cloud may take before it counts as hung.
TIME_LIMIT = 120


def run_cloud(*arguments):
    """levelling-cloud's run: (status, standard output, standard error)."""
    ended = subprocess.run([CLOUD, *map(str, arguments)], capture_output=True, text=True,
                           timeout=TIME_LIMIT, check=False)
    return ended.returncode, ended.stdout, ended.stderr


def cloud_report(*arguments, status=0):
    """levelling-cloud's JSON report of a run that must end with `status`."""
    ended, out, err = run_cloud(*arguments, "--report=json")
    assert ended == status, err
    return json.loads(out)


def tilted_ground(n, seed=1, slope=(0.1, -0.05), noise=0.01, outliers=0.05, span=20.0,
                  origin=(0.0, 0.0, 0.0)):
    """n points of a tilted plane z = sx x + sy y with noise, and a share of clutter above it
    (trees, cars): (n, 3) float64."""
    rng = np.random.default_rng(seed)
    xy = rng.uniform(0.0, span, (n, 2))
    z = slope[0] * xy[:, 0] + slope[1] * xy[:, 1] + rng.normal(0.0, noise, n)
    clutter = rng.random(n) < outliers
    z[clutter] += rng.uniform(0.5, 5.0, clutter.sum())
    return np.column_stack([xy, z]) + np.asarray(origin)


def write_ply(path, points):
    """The points as binary little-endian PLY, in their own type (float or double)."""
    kind = "float" if points.dtype == np.float32 else "double"
    header = (f"ply\nformat binary_little_endian 1.0\nelement vertex {len(points)}\n"
              f"property {kind} x\nproperty {kind} y\nproperty {kind} z\nend_header\n")
    with open(path, "wb") as out:
        out.write(header.encode())
        out.write(np.ascontiguousarray(points, dtype=points.dtype.newbyteorder("<")).tobytes())
    return str(path)


def write_las(folder, name, points, scale="0.001"):
    """The points as LAS, or LAZ by its name (through a PLY converted by levelling-cloud by the
    identity)."""
    identity = os.path.join(folder, "identity.txt")
    with open(identity, "w") as out:
        out.write("1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n")
    ply = write_ply(os.path.join(folder, name + ".ply"), points)
    las = os.path.join(folder, name)
    status, _, err = run_cloud(ply, "--transform", identity, "-o", las, "--las-scale", scale)
    assert status == 0, err
    os.remove(ply)
    return las


def read_bytes(path):
    with open(path, "rb") as each:
        return each.read()


@pytest.fixture
def folder(tmp_path):
    return tmp_path
