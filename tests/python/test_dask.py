"""levelling.dask on a LocalCluster of two worker processes (loopback only): a site's tiles
levelled as one cloud give the plane and the bytes of one run of levelling-cloud."""

import os

import numpy as np
import pytest
from distributed import Client, LocalCluster

import levelling
from conftest import cloud_report, read_bytes, tilted_ground, write_las, write_ply
from levelling.dask import level_tiles

# Seconds the cluster may take to start or stop.
CLUSTER_TIME_LIMIT = 60
TILES = 8


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, timeout=CLUSTER_TIME_LIMIT) as cluster:
        with Client(cluster, timeout=CLUSTER_TIME_LIMIT) as connected:
            yield connected


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """Eight tiles of one tilted ground, far from the origin, LAS and PLY (with empty points),
    and a truncated tile among them."""
    folder = tmp_path_factory.mktemp("site")
    paths = []
    for t in range(TILES):
        origin = (500000 + 100 * (t % 4), 4100000 + 100 * (t // 4), 50)
        points = tilted_ground(20000 + 1000 * t, seed=20 + t, span=100, origin=origin)
        name = f"tile{t}"
        if t % 2 == 0:
            paths.append(write_las(folder, name + ".las", points))
        else:
            points[t::50] = np.nan  # empty points, counted apart
            paths.append(write_ply(folder / (name + ".ply"), points))
    truncated = folder / "truncated.las"
    truncated.write_bytes(read_bytes(paths[0])[:-1000])
    paths.insert(3, str(truncated))
    return folder, paths


def test_tiles_give_the_one_runs_plane_and_bytes(client, site):
    folder, paths = site
    expected = cloud_report(*paths, "--output-dir", folder / "one", "--save-transform",
                            folder / "one.txt", status=4)
    report = level_tiles(paths, folder / "dask", client=client,
                         save_transform=folder / "dask.txt")
    assert report["matrix"] == expected["matrix"]
    differing = {k for k in expected if report[k] != expected[k]}
    assert differing == {"outputs", "saved_transform"}, [(k, expected[k], report[k]) for k in differing if k != "outputs"]
    for one, dask in zip(expected["outputs"], report["outputs"]):
        assert os.path.basename(one) == os.path.basename(dask)
        assert read_bytes(one) == read_bytes(dask), one
    assert read_bytes(folder / "dask.txt") == read_bytes(folder / "one.txt")
    # The truncated tile left out, as the program says.
    [failure] = report["failures"]
    assert failure["input"] == paths[3] and failure["status"] == 4
    assert "truncated" in failure["message"]
    assert not os.path.exists(folder / "dask" / "truncated.las")


def test_a_saved_transform_writes_what_the_program_writes(client, site):
    folder, paths = site
    good = paths[:3] + paths[4:]
    saved = folder / "saved.txt"
    saved.write_text("0 -1 0 10\n1 0 0 20\n0 0 1 30\n0 0 0 1\n")
    expected = cloud_report(*good, "--output-dir", folder / "one-t", "--transform", saved,
                            "--inverse")
    report = level_tiles(good, folder / "dask-t", client=client, transform=saved, inverse=True)
    assert report["matrix"] == expected["matrix"] and not report["failures"]
    for one, dask in zip(expected["outputs"], report["outputs"]):
        assert read_bytes(one) == read_bytes(dask), one


def test_fit_only_with_other_options_and_failures(client, site):
    folder, paths = site
    good = paths[:3] + paths[4:]
    expected = cloud_report(*good, "--fit-only", "--fit=all", "--pivot=origin")
    report = level_tiles(good, None, client=client, fit_only=True, method="all",
                         pivot="origin")
    assert report["matrix"] == expected["matrix"] and report["outputs"] == []
    with pytest.raises(levelling.LevellingError) as raised:
        level_tiles([paths[3], folder / "missing.las"], folder / "none", client=client)
    assert raised.value.status == 4 and raised.value.more_messages
    with pytest.raises(levelling.OptionError):
        level_tiles(good, folder / "x", client=client, map="site.png")
    with pytest.raises(levelling.LevellingError) as raised:
        level_tiles([paths[0], paths[0]], folder / "x", client=client)
    assert raised.value.status == 2
