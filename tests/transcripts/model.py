#!/usr/bin/env python3
"""An independent model of the demonstration's arithmetic, which writes expected transcripts.

It follows the system's description step by step, not the program: every stored value is
rounded to single precision (f32), every operation between two stores is a Python float
operation (IEEE double), in the described order. Python's math.sin, cos, acos and sqrt are the
C library's, and its "%f" formatting is correctly rounded as C's is, so on the machine that runs
the tests the digits must agree exactly.

Usage: tests/transcripts/model.py X Y Z > tests/transcripts/answers_X_Y_Z.txt
It refuses answers whose transcript would hold a NaN (the sign a NaN prints with is the
platform's, not the arithmetic's).
"""
import math
import struct
import sys

DEGREES_TO_RADIANS = 0.017453292520882225
STARTING_POINTS = [(100, 0, 10), (50, 0, 10), (75, 75, 10), (30, 0, 10), (90, 0, 10),
                   (15, 15, 10)]
SINGULAR_PIVOT = 0.00001


def f32(value):
    """The value stored as a single-precision float (round to nearest)."""
    try:
        return struct.unpack("f", struct.pack("f", value))[0]
    except OverflowError:
        return math.copysign(math.inf, value)


F32_RADIANS_TO_DEGREES = f32(57.29578)


def rotation(axis, angle):
    c, s = math.cos(angle), math.sin(angle)
    c, s, minus_s = f32(c), f32(s), f32(-s)
    if axis == "x":
        return [[1.0, 0.0, 0.0], [0.0, c, s], [0.0, minus_s, c]]
    if axis == "y":
        return [[c, 0.0, minus_s], [0.0, 1.0, 0.0], [s, 0.0, c]]
    return [[c, s, 0.0], [minus_s, c, 0.0], [0.0, 0.0, 1.0]]


def multiply(a, b):
    """C = A * B, each element summed s = b[k][j] * a[i][k] + s over ascending k, stored once."""
    rows, inner, cols = len(a), len(b), len(b[0])
    c = [[0.0] * cols for _ in range(rows)]
    for i in range(rows):
        for j in range(cols):
            s = 0.0
            for k in range(inner):
                s = b[k][j] * a[i][k] + s
            c[i][j] = f32(s)
    return c


def transform_point(p, r):
    x, y, z = p
    return tuple(f32((r[2][j] * z + r[1][j] * y) + r[0][j] * x) for j in range(3))


def solve(aug, n):
    """Gaussian elimination with partial pivoting on the column-stored augmented matrix."""
    x = [0.0] * n
    for k in range(n):
        p = k
        for j in range(k + 1, n):
            if abs(aug[k][j]) > abs(aug[k][p]):
                p = j
        for c in range(k, n + 1):
            aug[c][k], aug[c][p] = aug[c][p], aug[c][k]
        if abs(aug[k][k]) < SINGULAR_PIVOT:
            return None
        for j in range(k + 1, n):
            for c in range(n, k - 1, -1):
                aug[c][j] = f32(aug[c][j] - (aug[c][k] * aug[k][j]) / aug[k][k])
    for r in range(n - 1, -1, -1):
        s = 0.0
        for c in range(r + 1, n):
            s = s + aug[c][r] * x[c]
        x[r] = f32((aug[n][r] - s) / aug[r][r])
    return x


def least_squares(points):
    sx = sy = sz = sxx = sxy = sxz = 0.0
    syy = syz = 0.0  # single-precision sums, rounded at every point
    for x, y, z in points:
        sx, sy, sz = sx + x, sy + y, sz + z
        sxx, sxy = sxx + x * x, sxy + x * y
        syy = f32(syy + y * y)
        sxz = sxz + z * x
        syz = f32(syz + z * y)
    count = float(len(points))
    aug = [[f32(sxx), f32(sxy), f32(sx)], [f32(sxy), syy, f32(sy)], [f32(sx), f32(sy), count],
           [f32(sxz), syz, f32(sz)]]
    solution = solve(aug, 3)
    return tuple(solution) if solution is not None else (0.0, 0.0, 0.0)


def three_point_plane(points, previous):
    (x0, y0, z0), (x1, y1, z1), (x2, y2, z2) = points[0], points[1], points[2]
    dx1, dy1, dz1 = x1 - x0, y1 - y0, z1 - z0
    dx2, dy2, dz2 = x2 - x0, y2 - y0, z2 - z0
    a_ = f32(dy1 * dz2 - dy2 * dz1)
    b_ = f32(dx2 * dz1 - dx1 * dz2)
    c_ = f32(dx1 * dy2 - dx2 * dy1)
    d_ = f32(((((dz1 * x0 * dy2 - dz2 * x0 * dy1) + dx1 * y0 * dz2) - dx2 * y0 * dz1)
              + dx2 * z0 * dy1) - dx1 * z0 * dy2)
    if c_ == 0.0:  # -0.0 too: a vertical plane keeps the previous slopes
        return previous
    return f32(-(a_ / c_)), f32(-(b_ / c_)), f32(-(d_ / c_))


def norm(v):
    s = 0.0
    for value in v:
        s = s + value * value
    return math.sqrt(s)


def level(points, plane):
    a, b, c = plane
    lifted = [[p[0] for p in points], [p[1] for p in points],
              [f32((a * p[0] + b * p[1]) + c) for p in points], [1.0] * len(points)]
    unit = f32(norm([0.0, 0.0, 1.0]))
    t = f32(norm([-a, 0.0, 1.0]))
    theta_y = math.acos(1.0 / (unit * t))
    if a > 0:
        theta_y = -theta_y
    angle_y = f32(theta_y)
    cy, sy = f32(math.cos(angle_y)), f32(math.sin(angle_y))
    r1 = [[cy, 0.0, f32(-math.sin(angle_y)), 0.0], [0.0, 1.0, 0.0, 0.0], [sy, 0.0, cy, 0.0],
          [0.0, 0.0, 0.0, 1.0]]
    q = multiply(r1, lifted)
    ny = f32(((-a * r1[1][0] + -b * r1[1][1]) + r1[1][3]) + r1[1][2])
    nz = f32(((-a * r1[2][0] + -b * r1[2][1]) + r1[2][3]) + r1[2][2])
    t = f32(norm([0.0, ny, nz]))
    theta_x = math.acos(nz / (unit * t))
    if b < 0:
        theta_x = -theta_x
    angle_x = f32(theta_x)
    cx, sx = f32(math.cos(angle_x)), f32(math.sin(angle_x))
    r2 = [[1.0, 0.0, 0.0, 0.0], [0.0, cx, sx, 0.0], [0.0, f32(-math.sin(angle_x)), cx, 0.0],
          [0.0, 0.0, 0.0, 1.0]]
    s = multiply(r2, q)
    return [(s[0][i], s[1][i], s[2][i]) for i in range(len(points))], angle_y, angle_x


def number(value):
    if math.isnan(value):
        raise ValueError("a NaN in the transcript")
    return "%f" % value


def transcript(answers):
    out = []
    points = [tuple(float(v) for v in p) for p in STARTING_POINTS]
    out.append("Demo software - calculation of rotation angles about x and y axes for "
               "orthographic projection.\n")
    out.append("\nOriginal coordinates of 3D points:\n")
    out += ["%s  %s  %s\n" % tuple(number(v) for v in p) for p in points]
    out.append("\n")
    out.append("\nRotation angles for surface points in the range [-90 to 90] degrees!\n\n")
    angles = []
    for axis, answer in zip("xyz", answers):
        out.append("Insert the rotation angle (in degrees) abot %s axis:\n" % axis)
        angles.append(float(answer) * DEGREES_TO_RADIANS)
    out.append("\n")
    angle_x, angle_y, angle_z = angles
    m = multiply(rotation("z", angle_z), multiply(rotation("x", angle_x), rotation("y", angle_y)))
    out.append("XYZ transformation matrix: \n")
    out += ["%s  %s  %s\n" % tuple(number(v) for v in row) for row in m]
    out.append("\n")
    points = [transform_point(p, m) for p in points]
    out.append("Coordinates of 3D points after XYZ transformation:\n")
    out += ["%s  %s  %s\n" % tuple(number(v) for v in p) for p in points]

    out.append("\nLeast square planar fitting:\n")
    plane = least_squares(points)
    out.append("planar equation form: z=ax+by+c\n")
    out.append("normal vector (least square): a:%s   b:%s    c:%s\n" % tuple(map(number, plane)))
    plane = three_point_plane(points, plane)
    out.append("normal vector (3 non-colinear points): a:%s   b:%s    c:%s\n"
               % tuple(map(number, plane)))

    projected, estimated_y, estimated_x = level(points, plane)
    out.append("\nOrthographic projection completed!\n")
    estimated_y = f32(estimated_y * F32_RADIANS_TO_DEGREES)
    estimated_x = f32(estimated_x * F32_RADIANS_TO_DEGREES)
    out.append("Estimated rotation angles about x and y axes:\n")
    out.append("a_x:%s   a_y:%s\n" % (number(estimated_x), number(estimated_y)))
    undo_z = rotation("z", -angle_z)
    projected = [transform_point(p, undo_z) for p in projected]
    out.append("\nCoordinates of the 3D points (from XYZ transformation) obtained after "
               "orthographic projection:\n")
    out += ["%s  %s   %s\n" % tuple(number(v) for v in p) for p in projected]
    out.append("\n")
    return "".join(out)


if __name__ == "__main__":
    sys.stdout.write(transcript(sys.argv[1:4]))
