#!/usr/bin/python3
"""Writes LAS 1.4 files of point formats 6, 7 and 8 whose points change scanner channel as
multi-channel airborne scanners' do (runs of one channel interleaved with others, all four
channels met), with random colours and near infrared in runs, repeated scan angles and two
extra bytes described by an Extra Bytes VLR.

Usage: make_twins.py folder"""
import os
import random
import struct
import sys

POINTS = 2500
SIZES = {6: 30, 7: 36, 8: 38}
EXTRA = 2


def header(fmt, count, vlr_bytes, mins, maxs):
    h = bytearray(375)
    h[0:4] = b"LASF"
    struct.pack_into("<H", h, 4, 0)            # file source id
    struct.pack_into("<H", h, 6, 0x10)         # global encoding: WKT
    h[24], h[25] = 1, 4
    h[26:26 + 32] = b"levelling".ljust(32, b"\0")
    h[58:58 + 32] = b"golden twin".ljust(32, b"\0")
    struct.pack_into("<HH", h, 90, 340, 2026)
    struct.pack_into("<H", h, 94, 375)
    struct.pack_into("<I", h, 96, 375 + vlr_bytes)
    struct.pack_into("<I", h, 100, 1)
    h[104] = fmt
    struct.pack_into("<H", h, 105, SIZES[fmt] + EXTRA)
    struct.pack_into("<I", h, 107, 0)          # legacy count: 0 for format 6 and above
    struct.pack_into("<3d", h, 131, 0.01, 0.01, 0.01)
    struct.pack_into("<3d", h, 155, 500000.0, 4000000.0, 0.0)
    struct.pack_into("<6d", h, 179, maxs[0], mins[0], maxs[1], mins[1], maxs[2], mins[2])
    struct.pack_into("<Q", h, 247, count)
    assert len(h) == 375
    return h


def extra_bytes_vlr():
    body = bytearray(192)
    body[2] = 3                                # unsigned short
    body[4:36] = b"reflectance".ljust(32, b"\0")
    body[160:192] = b"reflectance in 1/100 dB".ljust(32, b"\0")
    vlr = bytearray(54)
    vlr[2:18] = b"LASF_Spec".ljust(16, b"\0")
    struct.pack_into("<H", vlr, 18, 4)
    struct.pack_into("<H", vlr, 20, len(body))
    vlr[22:54] = b"Extra Bytes".ljust(32, b"\0")
    assert len(vlr) == 54 and len(body) == 192
    return bytes(vlr + body)


def points(fmt, rng):
    out = []
    channel, run = 0, 0
    time = 320000.0
    x, y, z = 10000, 20000, 3000
    colour = [rng.randrange(65536) for _ in range(4)]
    angle = 0
    returns, number = 1, 1
    reflect = rng.randrange(65536)
    for i in range(POINTS):
        if run == 0:
            channel = rng.choice([0, 1, 0, 1, 2, 3]) if rng.random() < 0.9 else rng.randrange(4)
            run = rng.choice([1, 1, 2, 3, 5, 8, 20])
        run -= 1
        if number >= returns:
            returns, number = rng.choice([1, 1, 1, 2, 3, 4]), 1
            time += rng.choice([1e-5, 1e-5, 2e-5, 0.5])
        else:
            number += 1
        x += rng.randrange(-40, 41)
        y += rng.randrange(-40, 41)
        z += rng.randrange(-20, 21)
        if rng.random() < 0.1:
            angle = rng.randrange(-3000, 3001)
        if rng.random() < 0.6:
            colour = [rng.randrange(65536) for _ in range(4)]
        if rng.random() < 0.3:
            reflect = rng.randrange(65536)
        rec = bytearray(SIZES[fmt] + EXTRA)
        struct.pack_into("<iiiH", rec, 0, x, y, z, rng.randrange(65536))
        rec[14] = number | (returns << 4)
        rec[15] = rng.choice([0, 0, 1, 8]) | (channel << 4) | (rng.randrange(2) << 6)
        rec[16] = rng.choice([1, 2, 2, 2, 5, 6])
        rec[17] = rng.choice([0, 0, 7])
        struct.pack_into("<hHd", rec, 18, angle, rng.choice([11, 11, 12]), time + channel * 0.25)
        if fmt >= 7:
            struct.pack_into("<3H", rec, 30, *colour[:3])
        if fmt == 8:
            struct.pack_into("<H", rec, 36, colour[3])
        struct.pack_into("<H", rec, SIZES[fmt], reflect)
        out.append((bytes(rec), (x, y, z)))
    return out


def main():
    folder = sys.argv[1]
    for fmt in SIZES:
        rng = random.Random(fmt)
        pts = points(fmt, rng)
        xyz = [p[1] for p in pts]
        mins = [min(c[k] for c in xyz) * 0.01 + (500000.0, 4000000.0, 0.0)[k] for k in range(3)]
        maxs = [max(c[k] for c in xyz) * 0.01 + (500000.0, 4000000.0, 0.0)[k] for k in range(3)]
        vlr = extra_bytes_vlr()
        with open(os.path.join(folder, f"channels-{fmt}.las"), "wb") as f:
            f.write(header(fmt, len(pts), len(vlr), mins, maxs))
            f.write(vlr)
            for rec, _ in pts:
                f.write(rec)


main()
