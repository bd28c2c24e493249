"""Levelling point clouds from Python: the plane levelling-cloud finds, and the turn that levels it.

    import numpy as np, levelling
    found = levelling.fit(points, up="z", max_tilt=45.0)     # points: (N, 3) float32 or float64
    level = levelling.apply(points, found.matrix)             # the points turned level
    report = levelling.level_file("scan.ply", "scan-level.ply", up="-y", max_tilt=60)

fit() finds the same plane, to rounding, as levelling-cloud finds in a file of the same points
with the same options; level_file() runs levelling-cloud's levelling in-process and writes the
same bytes. levelling.dask levels a site of tiles on a Dask cluster. The library works with the
GIL released and reads arrays where they lie.
"""

import json
import os

import numpy as np

from . import _levelling

__all__ = ["Levelling", "LevellingError", "OptionError", "fit", "apply", "level_file",
           "read_points"]

__version__ = _levelling.version.split()[-1]


class LevellingError(Exception):
    """A levelling that failed: `status` is levelling-cloud's exit status for the same fault
    (2 usage, 3 unreadable, 4 malformed, 5 no plane, 6 unwritable, 7 would overwrite the input,
    8 unsupported), `message` its one line."""

    def __init__(self, status, message, more_messages=()):
        super().__init__(message)
        self.status = status
        self.message = message
        self.more_messages = list(more_messages)


class OptionError(LevellingError, ValueError):
    """An option's value the command line would refuse (status 2)."""

    def __init__(self, message):
        super().__init__(2, message.replace(" (see --help)", ""))


class Levelling:
    """A fitted plane and the rigid motion that levels it.

    matrix: (4, 4) float64, input points to output points (column vectors, last row 0 0 0 1).
    normal, offset: the plane n . p = offset, n the unit normal pointing up.
    tilt_degrees: the plane's angle from the up direction; inliers: the points within
    threshold (cloud units) of it; rms: their RMS distance to it.
    """

    def __init__(self, report):
        self._report = report
        self.matrix = np.array(report["matrix"], dtype=np.float64)
        self.normal = np.array(report["plane"]["normal"], dtype=np.float64)
        self.offset = float(report["plane"]["offset"])
        self.tilt_degrees = float(report["tilt_degrees"])
        self.inliers = int(report["inliers"])
        self.threshold = float(report["threshold"])
        self.rms = float(report["rms"])

    def to_dict(self):
        """The fields of levelling-cloud's JSON report, as a new dict."""
        return json.loads(json.dumps(self._report))

    def apply(self, points):
        """The points moved by this levelling: apply(points, self.matrix)."""
        return apply(points, self.matrix)

    def __repr__(self):
        n = self.normal
        return (f"Levelling(normal=({n[0]:.6f}, {n[1]:.6f}, {n[2]:.6f}), "
                f"offset={self.offset:.6g}, tilt_degrees={self.tilt_degrees:.4f}, "
                f"inliers={self.inliers})")


def _checked(status, message, result, more=()):
    if status != 0:
        raise LevellingError(status, message, more)
    return result


def _option_value(value):
    """An option's value as the command line writes it; floats with every digit."""
    if isinstance(value, bool):
        raise OptionError(f"{value!r} is not a value of this option")
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    if isinstance(value, (str, int, np.integer)):
        return str(value)
    if isinstance(value, np.floating):
        return repr(float(value))
    raise OptionError(f"{value!r} is not a value of this option")


def _up_value(up):
    """--up's value from a name ("z", "-y", "auto") or three numbers."""
    if isinstance(up, str):
        return up
    try:
        values = [float(v) for v in up]
    except (TypeError, ValueError):
        raise OptionError(f"up: {up!r} is not x, y, z, -x, -y, -z, three numbers or auto") \
            from None
    if len(values) != 3:
        raise OptionError(f"up: {up!r} is not three numbers")
    return ",".join(repr(v) for v in values)


# The options of level_file() (and levelling.dask's level_tiles), by their Python names: the
# command line's long option, and whether it is a flag. `method` is --fit, named as fit()
# names it; `sync=False` is --no-sync.
_OPTIONS = {
    "up": ("--up", False), "max_tilt": ("--max-tilt", False), "method": ("--fit", False),
    "threshold": ("--threshold", False), "seed": ("--seed", False),
    "pivot": ("--pivot", False), "format": ("--format", False),
    "precision": ("--precision", False), "las_scale": ("--las-scale", False),
    "save_transform": ("--save-transform", False), "transform": ("--transform", False),
    "inverse": ("--inverse", True), "map": ("--map", False), "map_cell": ("--map-cell", False),
    "fit_only": ("--fit-only", True), "output_dir": ("--output-dir", False),
    "cameras": ("--cameras", False), "cameras_output": ("--cameras-output", False),
    "in_place": ("--in-place", True), "jobs": ("--jobs", False), "sync": ("--no-sync", True),
    "plane_points": ("--plane-points", False), "tolerance": ("--tolerance", False),
    "flatness": ("--flatness", True), "units": ("--units", False), "yaw": ("--yaw", False),
}


def _points_value(points):
    """Three points (a 3 x 3 array of numbers) as --plane-points writes them."""
    try:
        values = np.asarray(points, dtype=np.float64)
    except (TypeError, ValueError):
        raise OptionError(f"plane_points: {points!r} is not three points of x, y, z") from None
    if values.shape != (3, 3):
        raise OptionError(f"plane_points: three points of x, y, z are needed, not shape "
                          f"{values.shape}")
    return " ".join(",".join(repr(float(v)) for v in point) for point in values)


def _arguments(caller, options):
    """The command line's options for `options` (Python names); TypeError for a name that is
    none of them."""
    arguments = []
    for name, value in options.items():
        if name not in _OPTIONS:
            raise TypeError(f"{caller}() got an unexpected keyword argument '{name}' "
                            f"(its options: {', '.join(sorted(_OPTIONS))})")
        option, flag = _OPTIONS[name]
        if value is None:
            continue
        if flag:
            if not isinstance(value, (bool, np.bool_)):
                raise OptionError(f"{name}: {value!r} is not True or False")
            # sync is on unless turned off; the other flags are off unless turned on.
            if bool(value) != (name == "sync"):
                arguments.append(option)
            continue
        text = (_up_value(value) if name == "up" else
                _points_value(value) if name == "plane_points" else _option_value(value))
        arguments.append(f"{option}={text}")
    return arguments


def _point_array(points, name="points"):
    """The array itself, checked: (N, 3), float32 or float64, C-contiguous, every row three
    numbers or three NaN (an empty point)."""
    if not isinstance(points, np.ndarray):
        raise TypeError(f"{name}: a numpy array of shape (N, 3) is needed, not "
                        f"{type(points).__name__} (np.asarray(...) makes one)")
    if points.dtype.kind != "f" or points.dtype.itemsize not in (4, 8):
        raise TypeError(f"{name}: float32 or float64 values are needed, not {points.dtype} "
                        f"(points.astype(np.float64) converts them)")
    if not points.dtype.isnative:
        raise TypeError(f"{name}: the array's bytes are not in this machine's order "
                        f"(points.astype(points.dtype.newbyteorder('=')) converts them)")
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError(f"{name}: shape (N, 3) is needed, not {points.shape}")
    if not points.flags.c_contiguous:
        raise ValueError(f"{name}: the array is not contiguous (rows of x y z one after "
                         f"another); np.ascontiguousarray(points) makes it so")
    row, why = _levelling.unusable_row(points)
    if row >= 0:
        raise ValueError(f"{name}: row {row} ({points[row].tolist()}) has {why}: each row is "
                         f"three numbers, or three NaN for an empty point")
    return points


def fit(points, *, up=None, max_tilt=45.0, method="robust", threshold=None, seed=1,
        pivot="centroid", cameras=None, plane_points=None):
    """The plane of `points` and the rigid motion that levels it, as levelling-cloud finds them
    for a file of the same points with the same options.

    points: (N, 3) float32 or float64, C-contiguous; rows of three NaN are empty points.
    up: "x", "y", "z", "-x", "-y", "-z", three numbers, or "auto" (the largest plane in any
    orientation); None: "z", or the cameras' up. cameras: a camera file (COLMAP images.bin or
    images.txt, cameras.json, transforms.json) whose up (the direction their right axes are
    perpendicular to, else their mean image-up) is the up direction unless up= says otherwise,
    and above which the plane is oriented. max_tilt: degrees from up (0 to 90). method:
    "robust" (the largest plane near up, refitted to its inliers) or "all" (the orthogonal fit
    of every point). threshold: the inlier distance in the points' units (None: from the data).
    seed: the sample's.
    pivot: "centroid" (of the inliers) or "origin". plane_points: three points (3 x 3) picked on
    the plane to level, levelled exactly instead of a plane found (method is then not given).
    Raises LevellingError (status 5 when no plane is found), TypeError or ValueError.
    """
    if cameras is not None and not isinstance(cameras, (str, os.PathLike)):
        raise TypeError(f"cameras: a camera file's name is needed, not {type(cameras).__name__}")
    points = _point_array(points)
    if plane_points is not None and method == "robust":
        method = None  # (the default: the plane is the points')
    arguments = _arguments("fit", {"up": up, "max_tilt": max_tilt, "method": method,
                                   "threshold": threshold, "seed": seed, "pivot": pivot,
                                   "cameras": cameras, "plane_points": plane_points})
    status, message, report = _levelling.fit_array(points, arguments + ["array"])
    if status == 2:
        raise OptionError(message)
    report = json.loads(_checked(status, message, report))
    return Levelling(report)


def _matrix_entries(matrix):
    try:
        values = np.asarray(matrix, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"matrix: {matrix!r} is not a 4 x 4 array of numbers") from None
    if values.shape != (4, 4):
        raise ValueError(f"matrix: shape (4, 4) is needed, not {values.shape}")
    return [float(v) for v in values.ravel()]


def apply(points, matrix):
    """The points moved by a rigid motion: R p + t for each row p, computed in double and
    rounded once to the array's type. Returns a new array of the same shape and type; empty
    points (rows of NaN) stay empty. matrix: 4 x 4, a rotation R (no mirror) and a translation
    t, last row 0 0 0 1, as Levelling.matrix; ValueError for any other. A point moved beyond
    the array type's range raises LevellingError (status 8, as the command line refuses it)."""
    points = _point_array(points)
    status, message, moved = _levelling.apply_array(points, _matrix_entries(matrix))
    if status == 8:
        raise LevellingError(status, message)
    if status != 0:
        raise ValueError(message)
    return moved


def _inputs(input):
    if isinstance(input, (str, os.PathLike)):
        return [os.fspath(input)]
    try:
        names = [os.fspath(each) for each in input]
    except TypeError:
        raise TypeError(f"input: a file name or a list of them is needed, not "
                        f"{type(input).__name__}") from None
    if not names:
        raise ValueError("input: no file named")
    return names


def level_file(input, output=None, **options):
    """Runs levelling-cloud's levelling in-process, writing the same bytes it writes, and
    returns its report as a dict (the fields of --report json).

    input: a file (PLY, PTX, text, PCD, LAS, LAZ or E57; a COLMAP model folder) or a list of files
    (levelled as one cloud, each into output_dir= or in_place=True). output: where the
    levelled cloud goes (None: only the report). Options, as the command line's long options
    with '_' for '-': up, max_tilt, method (--fit), threshold, seed, pivot, format, precision,
    las_scale, save_transform, transform, inverse, map, map_cell, fit_only, output_dir,
    in_place, jobs, sync, cameras, cameras_output, plane_points (three points, 3 x 3),
    tolerance (the map's), flatness (the report's "flatness": F-numbers and DIN 18202 gaps),
    units, yaw ("keep" or "walls").
    Raises LevellingError with the command line's status and message; with several inputs of
    which some failed, the others are written and the error names every failure
    (more_messages).
    """
    arguments = _arguments("level_file", options)
    if output is not None:
        arguments.append("--output=" + os.fspath(output))
    arguments += ["--report=json", "--"] + _inputs(input)
    status, message, result = _levelling.level(arguments)
    if status == 2:
        raise OptionError(message)
    more, report = result if result is not None else ([], "")
    _checked(status, message, None, more)
    return json.loads(report)


def read_points(input):
    """The points of a cloud file (PLY, PTX, text, PCD, LAS, LAZ or E57) as levelling-cloud reads them: an
    (N, 3) float64 array, empty points as rows of NaN. Raises LevellingError."""
    status, message, points = _levelling.read_points(["--", os.fspath(input)])
    return _checked(status, message, points)

