#!/usr/bin/python3
"""Checks levelling-cloud's E57 and PTX on the samples in ../shared/realdata/scans, with readers
that are not its own where they are installed.

E57 (each file):
- read: the points the program reads (passed through unmoved into text) are those web-e57 reads
  (bench/install-e57-reader.sh: an E57 reader compiled to WebAssembly), to 1e-9;
- levelled into E57 (all points fitted, any tilt): web-e57 reads the levelled file to the points
  the program levels into text; every logical byte between the file header and the XML (the
  points' sections) is the input's; every page's checksum holds (this script's own CRC-32C);
- undone: the levelled file levelled back with --inverse holds the input's points again.
PTX (each file):
- read: each scan's points, moved by its matrix as this script reads it, are the program's, and
  those CloudCompare reads where it is installed (QT_QPA_PLATFORM=offscreen);
- levelled into PTX: every point line as it was; read again, the points the program levels into
  text; undone with --inverse, the input's points.

Usage: scripts/check-scans.py path/to/levelling-cloud [scans folder]
(tests/data/e57 holds more E57 files other tools wrote: the folder may be that too.)
Skips (status 0, says so) when the folder is absent.
"""
import glob
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
READER = os.path.join(HERE, "..", "bench", "e57_read.mjs")
READER_PREFIX = os.environ.get("E57_READER_PREFIX", os.path.join(HERE, "..", "build", "e57reader"))
IDENTITY = "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n"
LEVEL = ["--fit", "all", "--max-tilt", "90"]


def run(program, *args):
    subprocess.run([program, *args], check=True, stdout=subprocess.DEVNULL, timeout=300)


def text_points(path):
    points = []
    for line in open(path):
        if line.startswith("#") or not line.strip():
            continue
        points.append([float(v) for v in line.split()[:3]])
    return points


def reader_points(path):
    if not os.path.isdir(os.path.join(READER_PREFIX, "node_modules", "web-e57")):
        return None
    run = subprocess.run(["node", READER, path, "XYZ"], capture_output=True, text=True,
                         timeout=300, env=dict(os.environ, E57_READER_PREFIX=READER_PREFIX))
    if run.returncode != 0:
        said = [line for line in run.stderr.splitlines() if "E57" in line]
        return said[0] if said else "it failed"
    return [[float(v) for v in line.split()[:3]] for line in run.stdout.splitlines()
            if line.strip()]


def crc32c(data):
    crc = 0xffffffff
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xffffffff


def e57_layout(path):
    """The logical bytes of an E57 file and its XML's logical offset; checks every page."""
    data = open(path, "rb").read()
    for page in range(0, len(data), 1024):
        stored = struct.unpack_from(">I", data, page + 1020)[0]
        assert crc32c(data[page:page + 1020]) == stored, f"{path}: page {page // 1024} checksum"
    logical = b"".join(data[p:p + 1020] for p in range(0, len(data), 1024))
    xml_offset = struct.unpack_from("<Q", data, 24)[0]
    return logical, xml_offset // 1024 * 1020 + xml_offset % 1024


def same(a, b, tolerance, what):
    assert len(a) == len(b), f"{what}: {len(a)} points against {len(b)}"
    worst = max((abs(p - q) for u, v in zip(a, b) for p, q in zip(u, v)), default=0.0)
    assert worst <= tolerance, f"{what}: points differ by {worst}"
    return worst


def valid(points):
    """The points that are not empty (NaN)."""
    return [p for p in points if p[0] == p[0]]


def read_unmoved(program, path, work):
    """The points the program reads from `path`: passed through unmoved into text."""
    identity, read = os.path.join(work, "identity.txt"), os.path.join(work, "read.xyz")
    open(identity, "w").write(IDENTITY)
    run(program, path, "--transform", identity, "-o", read)
    return text_points(read)


def level(program, path, work):
    """`path` levelled in its own format (all points fitted, any tilt): the levelled file, the
    matrix saved, and the points the same levelling writes as text."""
    extension = os.path.splitext(path)[1]
    levelled, text = os.path.join(work, "levelled" + extension), os.path.join(work, "levelled.xyz")
    matrix = os.path.join(work, "matrix.txt")
    run(program, path, *LEVEL, "--save-transform", matrix, "-o", levelled)
    run(program, path, "--transform", matrix, "-o", text)
    return levelled, matrix, text_points(text)


def undone(program, levelled, matrix, work):
    """The points of the levelled file levelled back with --inverse."""
    back = os.path.join(work, "back.xyz")
    run(program, levelled, "--transform", matrix, "--inverse", "-o", back)
    return text_points(back)


def check_e57(program, path, work):
    name = os.path.basename(path)
    ours = read_unmoved(program, path, work)
    theirs = reader_points(path)
    verdict = "web-e57 not installed"
    if isinstance(theirs, str):
        verdict, theirs = f"web-e57 cannot read it ({theirs})", None
    if theirs is not None:
        same(ours, theirs, 1e-9, f"{name} read")
        verdict = "web-e57 agrees"
    levelled, matrix, levelled_points = level(program, path, work)
    theirs = reader_points(levelled)
    if theirs is not None and not isinstance(theirs, str):
        worst = same(levelled_points, theirs, 1e-9, f"{name} levelled")
        verdict += f"; levelled: web-e57 agrees (worst {worst:.1e})"
    before, before_xml = e57_layout(path)
    after, after_xml = e57_layout(levelled)
    assert before[48:before_xml] == after[48:before_xml], f"{name}: binary sections changed"
    worst = same(ours, undone(program, levelled, matrix, work), 1e-9, f"{name} undone")
    print(f"check-scans: {name}: {len(ours)} points; {verdict}; binary sections kept "
          f"({before_xml - 48} bytes); undone within {worst:.1e}")


def ptx_scans(path):
    """Each scan's points moved by its matrix ([x y z 1] * M), zeros left out, and whether its
    matrix is a rigid motion."""
    lines = open(path).read().split("\n")
    scans, at = [], 0
    while at < len(lines) and lines[at].strip():
        columns, rows = int(lines[at]), int(lines[at + 1])
        m = [[float(v) for v in lines[at + 6 + r].split()] for r in range(4)]
        points = []
        for line in lines[at + 10:at + 10 + columns * rows]:
            x, y, z = (float(v) for v in line.split()[:3])
            if x == y == z == 0:
                continue
            points.append([x * m[0][j] + y * m[1][j] + z * m[2][j] + m[3][j] for j in range(3)])
        rigid = all(abs(sum(m[i][k] * m[j][k] for k in range(3)) - (i == j)) < 1e-9
                    for i in range(3) for j in range(3))
        scans.append((points, rigid))
        at += 10 + columns * rows
    return scans


def ptx_points(path):
    return [p for points, _ in ptx_scans(path) for p in points]


def cloudcompare_scans(path, work):
    """The points CloudCompare reads from a PTX file, scan by scan (None where it is not
    installed)."""
    program = shutil.which("CloudCompare") or shutil.which("cloudcompare")
    if program is None:
        return None
    folder = os.path.join(work, "cc")
    os.makedirs(folder, exist_ok=True)
    copy = os.path.join(folder, "in.ptx")
    shutil.copy(path, copy)
    subprocess.run([program, "-SILENT", "-AUTO_SAVE", "OFF", "-O", copy, "-C_EXPORT_FMT", "ASC",
                    "-SAVE_CLOUDS"], check=True, capture_output=True, timeout=300,
                   env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    scans = [text_points(written) for written in sorted(glob.glob(os.path.join(folder, "*.asc")))]
    shutil.rmtree(folder)
    return scans


def check_ptx(program, path, work):
    name = os.path.basename(path)
    ours = valid(read_unmoved(program, path, work))
    same(ours, ptx_points(path), 1e-9, f"{name} read")
    verdict = "CloudCompare not installed"
    theirs = cloudcompare_scans(path, work)
    if theirs is not None:
        # CloudCompare keeps coordinates as floats (2^-5 apart at 10^6), and a matrix's rotation
        # without its scale: scans whose matrices scale are not compared.
        compared, worst = 0, 0.0
        for (points, rigid), read in zip(ptx_scans(path), theirs):
            if rigid:
                worst = max(worst, same(points, read, 0.05, f"{name} read by CloudCompare"))
                compared += 1
        verdict = (f"CloudCompare agrees on {compared} of {len(theirs)} scans (within "
                   f"{worst:.2g}, its floats; it drops a matrix's scale)")
    levelled, matrix, levelled_points = level(program, path, work)
    before, after = open(path).read().split("\n"), open(levelled).read().split("\n")
    assert len(before) == len(after), f"{name}: lines added or lost"
    kept, at = [], 0
    while at < len(before) and before[at].strip():
        count = int(before[at]) * int(before[at + 1])
        kept += [b == a for b, a in zip(before[at + 10:at + 10 + count],
                                        after[at + 10:at + 10 + count])]
        at += 10 + count
    assert all(kept), f"{name}: point lines changed"
    same(ptx_points(levelled), valid(levelled_points), 1e-6, f"{name} levelled")
    worst = same(ours, valid(undone(program, levelled, matrix, work)), 1e-6, f"{name} undone")
    print(f"check-scans: {name}: {len(ours)} points; read as its matrices say; {verdict}; "
          f"all {len(kept)} point lines kept as they were; "
          f"undone within {worst:.1e}")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    program = os.path.abspath(sys.argv[1])
    folder = sys.argv[2] if len(sys.argv) > 2 else os.path.join(HERE, "..", "..", "shared",
                                                                "realdata", "scans")
    if not os.path.isdir(folder):
        print(f"check-scans: {folder} absent, skipped")
        return
    with tempfile.TemporaryDirectory() as work:
        for path in sorted(glob.glob(os.path.join(folder, "*.e57"))):
            check_e57(program, path, work)
        for path in sorted(glob.glob(os.path.join(folder, "*.ptx"))):
            check_ptx(program, path, work)


if __name__ == "__main__":
    main()
