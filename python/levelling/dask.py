"""Levelling a site of tiles as one cloud on a Dask cluster.

    from distributed import Client
    from levelling.dask import level_tiles
    report = level_tiles(sorted(glob.glob("tiles/*.las")), "levelled", client=Client(address))

The plane is the one levelling-cloud finds for the same tiles in one run, and each tile is
written as `levelling-cloud TILE --transform` of that plane writes it. Each worker reads its own
tiles (the paths must name the same files on every worker: a shared file system); what travels
is small: each tile's count of points, its share of the sample (16 384 points at most, drawn by
the points' indices in the whole site, so the same however the tiles are split), and the
moments of its inliers at each refit (a few dozen numbers). The client only merges them.
"""

import json
import os

import numpy as np

from . import LevellingError, OptionError, _arguments, _levelling

__all__ = ["level_tiles"]

# Options of level_file() that have no meaning for a site on a cluster.
_NOT_ON_A_CLUSTER = {
    "in_place": "levelled tiles go to output_dir",
    "map": "the map is drawn from the whole cloud in one process; use levelling.level_file",
    "jobs": "the cluster's workers read the tiles side by side",
    "output_dir": "output_dir is level_tiles' second argument",
    "cameras": "a site of tiles has no cameras here; give up=",
    "cameras_output": "a site of tiles has no cameras here",
}
# Options that only the client uses: the transform read or saved on the client.
_CLIENT_OPTIONS = ("save_transform", "transform", "inverse", "fit_only")


class _TilesFailed(Exception):
    """Some tiles failed during a pass over their inliers."""


def _count(arguments):
    return _levelling.count_tile(arguments)


def _first_pass(arguments, first_point):
    return _levelling.read_tile_first(arguments, first_point)


def _inliers(arguments, band):
    return _levelling.fit_tile_inliers(arguments, band)


def _write(arguments, motion):
    return _levelling.level(arguments, motion)


def _gather(client, function, *iterables):
    return client.gather(client.map(function, *iterables, pure=False))


def _default_client():
    """The current Dask client, or a local one made for the call (closed after it)."""
    from distributed import Client, get_client
    try:
        return get_client(), False
    except ValueError:
        return Client(), True


def level_tiles(paths, output_dir, *, client=None, **options):
    """Levels the tiles as one cloud on a Dask cluster and writes each, under its own name, into
    output_dir (None with fit_only=True). Returns the report as level_file() does for the same
    tiles in one run (with `matrix`), and `failures`: the tiles left out, each with its input,
    status and message, as levelling-cloud leaves out a tile it cannot read.

    paths: the tiles, in the site's order (the order the sample's indices count in). client: a
    distributed.Client (None: the current one, else a local one for this call). options: as
    level_file()'s, less in_place, map and jobs; save_transform and transform are files on
    the client's machine. Raises LevellingError when no tile is levelled (the first failure's
    status and message) or the site has no plane.
    """
    for name, why in _NOT_ON_A_CLUSTER.items():
        if name in options:
            raise OptionError(f"{name}: not for level_tiles ({why})")
    paths = [os.fspath(path) for path in paths]
    if not paths:
        raise OptionError("no tile named")
    fit_only = bool(options.get("fit_only", False))
    if output_dir is None and not fit_only:
        raise OptionError("output_dir: where the levelled tiles go (or fit_only=True)")
    names = [os.path.basename(path) for path in paths]
    for i, name in enumerate(names):
        if name in names[:i]:
            raise LevellingError(2, f"{paths[i]}: another input has the same name, which "
                                    f"--output-dir would give both")
    reading = _arguments("level_tiles", {k: v for k, v in options.items()
                                         if k not in _CLIENT_OPTIONS})
    status, message, _ = _levelling.check_options(_arguments("level_tiles", options) +
                                                  ["--"] + paths)
    if status != 0:
        raise OptionError(message)

    made = False
    if client is None:
        client, made = _default_client()
    try:
        return _level_site(client, paths, output_dir, reading, options, fit_only)
    finally:
        if made:
            client.close()


def _level_site(client, paths, output_dir, reading, options, fit_only):
    failures = {}

    def tile_arguments(path):
        return reading + ["--", path]

    def set_aside(path, status, message):
        failures.setdefault(path, (status, message))

    # The plane: each tile counted, then its share of the sample read; the refit's passes over
    # the inliers, merged in the tiles' order. A tile that fails is set aside and the fit starts
    # again without it, as in one run.
    transform = options.get("transform")
    live = list(paths)
    counts = {}
    for path, (status, message, records) in zip(
            live, _gather(client, _count, [tile_arguments(p) for p in live])):
        if status != 0:
            set_aside(path, status, message)
        else:
            counts[path] = records
    live = [p for p in live if p not in failures]
    plane = None
    firsts = {}
    valid = {}
    while live and transform is None:
        offsets = np.cumsum([0] + [counts[p] for p in live[:-1]]).tolist()
        answers = _gather(client, _first_pass, [tile_arguments(p) for p in live], offsets)
        for path, (status, message, first) in zip(live, answers):
            if status != 0:
                set_aside(path, status, message)
            else:
                firsts[path] = first
        if any(p in failures for p in live):
            live = [p for p in live if p not in failures]
            continue

        def inlier_pass(band):
            results = _gather(client, _inliers, [tile_arguments(p) for p in live],
                              [band] * len(live))
            for path, (status, message, result) in zip(live, results):
                if status != 0:
                    set_aside(path, status, message)
                else:
                    valid[path] = result[2]
            if any(status != 0 for status, _, _ in results):
                raise _TilesFailed()
            counted = sum(result[1] for _, _, result in results)
            return (_levelling.merge_fits([result[0] for _, _, result in results]), counted,
                    sum(valid[p] for p in live))

        try:
            status, message, report = _levelling.fit_site(
                reading + ["--"] + paths, [firsts[p] for p in live], len(paths), inlier_pass)
        except _TilesFailed:
            live = [p for p in live if p not in failures]
            continue
        if status != 0:
            raise LevellingError(status, message)
        plane = report
        break
    if not live:
        _raise_failures(paths, failures)

    if plane is not None:
        report = json.loads(plane)
        matrix = report["matrix"]
    else:
        transform = os.fspath(transform)
        status, message, matrix = _levelling.read_transform(transform,
                                                            bool(options.get("inverse")))
        if status != 0:
            raise LevellingError(status, message)
        report = {"fitted": False, "transform": transform,
                  "inverse": bool(options.get("inverse")), "matrix": matrix}
    if options.get("save_transform"):
        status, message, _ = _levelling.save_transform(
            [float(v) for row in matrix for v in row], os.fspath(options["save_transform"]),
            options.get("sync", True))
        if status != 0:
            raise LevellingError(status, message)

    # Each tile written by a worker with the plane's motion.
    outputs, notes, written = [], [], {}
    if not fit_only:
        motion = [float(v) for row in matrix for v in row]
        answers = _gather(client, _write,
                          [reading + ["--report=json", "--output-dir=" + os.fspath(output_dir),
                                      "--", p] for p in live], [motion] * len(live))
        for path, (status, message, (_, tile_report)) in zip(live, answers):
            if status != 0:
                set_aside(path, status, message)
                continue
            written[path] = json.loads(tile_report)
            outputs += written[path]["outputs"]
            notes.append(written[path]["note"])
        if not written:
            _raise_failures(paths, failures)
    levelled = [p for p in live if p not in failures]
    _site_report(report, paths, levelled, firsts, counts, valid, written)
    saved = options.get("save_transform")
    report["saved_transform"] = os.fspath(saved) if saved is not None else None
    report["outputs"] = outputs
    report["note"] = next((note for note in notes if note), None)
    report["failures"] = [{"input": p, "status": failures[p][0], "message": failures[p][1]}
                          for p in paths if p in failures]
    return report


def _site_report(report, paths, levelled, firsts, counts, valid, written):
    """The report's fields of the site's tiles, as one run reports them."""
    formats = [firsts[p][6] if p in firsts else written[p]["format"] for p in levelled
               if p in firsts or p in written]
    report["input"] = ", ".join(paths)
    report["inputs"] = len(paths)
    report["format"] = formats[0] if len(set(formats)) == 1 else "several formats"
    report["points"] = sum(counts[p] for p in levelled)
    report["empty_points"] = sum(counts[p] - valid[p] if p in valid else
                                 firsts[p][1] if p in firsts else written[p]["empty_points"]
                                 for p in levelled)
    report["normals"] = any(firsts[p][7] if p in firsts else written[p]["normals"]
                            for p in levelled)
    if "inlier_share" in report:
        valid_points = report["points"] - report["empty_points"]
        report["inlier_share"] = report["inliers"] / valid_points if valid_points > 0 else 0


def _raise_failures(paths, failures):
    ordered = [failures[p] for p in paths if p in failures]
    raise LevellingError(ordered[0][0], ordered[0][1], [m for _, m in ordered[1:]])
