#!/usr/bin/python3
"""Checks levelling-cloud's LAZ on the files in ../shared/realdata/laz, independently of it where
it can.

For each LAZ file with its LAS twin (the same point records, checked by the folder's provider
with another decoder):
- read: the LAZ passed through unmoved (--transform with the identity) into LAS holds exactly the
  twin's point records (the records compared byte for byte, read by the small reader below);
- written: the LAZ levelled into LAZ, read back the same way, holds exactly the records of the
  twin levelled into LAS by the same fit; and where laz-perf is installed (bench/
  install-lazperf.sh: LAZ compiled to WebAssembly, the reference library's port), laz-perf
  decodes the levelled LAZ to those records too.
The COPC file (no twin): levelled into LAZ, its records are those of its levelling into LAS, the
output holds no COPC VLR, and laz-perf, where installed, decodes the COPC input and the output
to the records the program read and wrote.

Usage: scripts/check-laz.py path/to/levelling-cloud [laz folder]
Skips (status 0, says so) when the folder is absent.
"""
import os
import struct
import subprocess
import sys
import tempfile

TWINS = [("autzen_trim.laz", "../autzen_trim.las"), ("1_4_w_evlr.laz", "1_4_w_evlr.las"),
         ("extra.laz", "extrabytes.las")]
COPC = "1.2-with-color.copc.laz"
IDENTITY = "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n"


def records(path):
    """The point records of a LAS file (ASPRS LAS 1.4: the offset at byte 96, the record length
    at 105, the legacy count at 107 and, from 1.4, the 64-bit count at 247)."""
    data = open(path, "rb").read()
    offset = struct.unpack_from("<I", data, 96)[0]
    length = struct.unpack_from("<H", data, 105)[0]
    count = struct.unpack_from("<I", data, 107)[0]
    if data[25] >= 4:
        count = struct.unpack_from("<Q", data, 247)[0]
    return data[offset:offset + count * length]


def has_copc_vlr(path):
    data = open(path, "rb").read()
    at = struct.unpack_from("<H", data, 94)[0]  # the header's size: the first VLR
    vlrs = struct.unpack_from("<I", data, 100)[0]
    for _ in range(vlrs):
        user = data[at + 2:at + 18].split(b"\0")[0]
        if user == b"copc":
            return True
        at += 54 + struct.unpack_from("<H", data, at + 20)[0]
    return False


def run(program, *arguments):
    done = subprocess.run([program, *arguments, "-q"], capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"levelling-cloud {' '.join(arguments)}: {done.stderr.strip()}")


def lazperf(here, laz, out):
    """laz-perf's records of a LAZ file, or None when laz-perf is not installed."""
    modules = os.path.join(here, "..", "build", "lazperf", "node_modules")
    if not os.path.isdir(os.path.join(modules, "laz-perf")):
        return None
    done = subprocess.run(["node", os.path.join(here, "..", "bench", "lazperf_decode.js"), laz,
                           out], capture_output=True, text=True, timeout=600,
                          env={**os.environ, "LAZPERF_MODULES": modules})
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip())
    return open(out, "rb").read()


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    program = os.path.abspath(sys.argv[1])
    here = os.path.dirname(os.path.abspath(__file__))
    folder = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "..", "shared",
                                                                 "realdata", "laz")
    if not os.path.isdir(folder):
        print(f"check-laz: skipped: no folder {folder}")
        return 0
    failed = 0
    peer = "laz-perf" if lazperf(here, os.path.join(folder, COPC), os.devnull) is not None \
        else "laz-perf not installed"
    with tempfile.TemporaryDirectory() as scratch:
        identity = os.path.join(scratch, "identity.txt")
        open(identity, "w").write(IDENTITY)
        at = lambda name: os.path.join(scratch, name)
        for laz, twin in TWINS:
            laz, twin = os.path.join(folder, laz), os.path.join(folder, twin)
            run(program, laz, "--transform", identity, "-o", at("read.las"))
            read_ok = records(at("read.las")) == records(twin)
            run(program, laz, "-o", at("level.laz"))
            run(program, twin, "-o", at("level.las"))
            run(program, at("level.laz"), "--transform", identity, "-o", at("back.las"))
            expected = records(at("level.las"))
            write_ok = records(at("back.las")) == expected
            independent = lazperf(here, at("level.laz"), at("peer.bin"))
            peer_ok = independent is None or independent == expected
            sizes = f"{os.path.getsize(laz)} -> {os.path.getsize(at('level.laz'))} bytes"
            ok = read_ok and write_ok and peer_ok
            failed += not ok
            print(f"{os.path.basename(laz)}: read as its twin {read_ok}; levelled into LAZ "
                  f"({sizes}) as into LAS {write_ok}; {peer}: "
                  f"{'-' if independent is None else peer_ok}: {'ok' if ok else 'FAILED'}")
        copc = os.path.join(folder, COPC)
        run(program, copc, "-o", at("copc.laz"))
        run(program, copc, "-o", at("copc.las"))
        run(program, at("copc.laz"), "--transform", identity, "-o", at("copc-back.las"))
        run(program, copc, "--transform", identity, "-o", at("copc-read.las"))
        write_ok = records(at("copc-back.las")) == records(at("copc.las"))
        plain = not has_copc_vlr(at("copc.laz")) and has_copc_vlr(copc)
        read_peer = lazperf(here, copc, at("peer-in.bin"))
        write_peer = lazperf(here, at("copc.laz"), at("peer-out.bin"))
        peer_ok = read_peer is None or (read_peer == records(at("copc-read.las")) and
                                        write_peer == records(at("copc.las")))
        ok = write_ok and plain and peer_ok
        failed += not ok
        print(f"{COPC}: levelled into LAZ as into LAS {write_ok}; written without its COPC VLR "
              f"{plain}; {peer}: {'-' if read_peer is None else peer_ok}: "
              f"{'ok' if ok else 'FAILED'}")
    print("check-laz: " + ("all ok" if failed == 0 else f"{failed} failed"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
