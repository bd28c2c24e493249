#!/usr/bin/env python3
"""Runs two builds of levelling-cloud over one corpus and says where they differ.

    scripts/compare-outputs.py OLD NEW [realdata folder]

For a change that must not change any output (a refactoring): every run of the corpus (each
cloud written in its own format and in every --format, with a map, with a saved transform and
its inverse, a batch of several files, a reconstruction's cameras moved, a COLMAP model) by OLD
and by NEW in a folder of its own, and their exit statuses, standard output, standard error and
every file left behind compared byte for byte. The corpus is the cloud fuzzer's seeds, the LAZ
golden files and, where present, the shared real files (../shared/realdata). Prints each run
that differs and exits 1 if any does.
"""
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SEEDS = os.path.join(ROOT, "fuzz", "cloud_corpus")
GOLDEN = os.path.join(ROOT, "tests", "data", "laz")
FORMATS = ["las", "laz", "pcd-ascii", "pcd-binary", "pcd-binary-compressed", "ply-ascii",
           "ply-binary", "ply-binary-be", "text"]
CLOUD_ENDINGS = (".ply", ".pcd", ".las", ".laz", ".xyz", ".txt", ".ptx", ".e57")
TIME_LIMIT = 600


def clouds(realdata):
    """The corpus's clouds: (name, path)."""
    found = [os.path.join(SEEDS, name) for name in sorted(os.listdir(SEEDS))
             if name.endswith(CLOUD_ENDINGS) or name == "text"]
    found += [os.path.join(GOLDEN, name) for name in sorted(os.listdir(GOLDEN))
              if name.endswith((".las", ".laz"))]
    for folder in ("", "laz", "scenes", "scans"):
        where = os.path.join(realdata, folder)
        if os.path.isdir(where):
            found += [os.path.join(where, name) for name in sorted(os.listdir(where))
                      if name.endswith(CLOUD_ENDINGS)]
    return found


def runs(realdata):
    """Every run of the corpus: (label, arguments, files to copy into its folder). Paths in the
    arguments are relative to the run's folder."""
    every = []
    for path in clouds(realdata):
        name = os.path.basename(path)
        stem, ending = os.path.splitext(name)
        same = "out" + (ending if ending else ".xyz")
        every.append((name + " as itself", [name, "-o", same, "--report", "json"], [path]))
        for fmt in FORMATS:
            every.append((name + " --format " + fmt, [name, "-o", "out", "--format", fmt, "-q"],
                          [path]))
        every.append((name + " with a map and flatness",
                      [name, "--fit-only", "--map", "map.png", "--tolerance", "0.01",
                       "--flatness", "--units", "m", "--report", "json"], [path]))
        every.append((name + " saved and undone",
                      [name, "-o", same, "--save-transform", "t.txt", "-q", "&&",
                       same, "--transform", "t.txt", "--inverse", "-o", "back" + (ending or ".xyz"),
                       "--report", "text"], [path]))
        every.append((name + " --up auto --fit all",
                      [name, "--up", "auto", "--fit", "all", "--report", "text"], [path]))
    seeds = lambda *names: [os.path.join(SEEDS, n) for n in names]
    every.append(("a batch of LAS and LAZ",
                  ["format3-1.2.las", "format3.laz", "format6-1.4.laz", "--output-dir", "d",
                   "--report", "json"], seeds("format3-1.2.las", "format3.laz", "format6-1.4.laz")))
    every.append(("a batch of PLY and PCD",
                  ["binary_le.ply", "binary.pcd", "ascii.ply", "--output-dir", "d", "-j", "1",
                   "--report", "text"], seeds("binary_le.ply", "binary.pcd", "ascii.ply")))
    for cameras in ("cameras.json", "transforms.json", "images.txt", "images.bin"):
        every.append(("splats with " + cameras,
                      ["splat.ply", "--cameras", cameras, "--cameras-output", "moved-" + cameras,
                       "-o", "out.ply", "--report", "json"], seeds("splat.ply", cameras)))
    scene = os.path.join(realdata, "scenes")
    if os.path.isdir(scene):
        every.append(("the plush bed with its cameras",
                      ["plush_bed_input.ply", "--cameras", "plush_bed_cameras.json",
                       "--cameras-output", "moved.json", "-o", "out.ply", "--map", "m.png",
                       "--report", "json"],
                      [os.path.join(scene, n) for n in ("plush_bed_input.ply",
                                                        "plush_bed_cameras.json")]))
    return every


def run_in(program, folder, arguments, files):
    os.makedirs(folder)
    for each in files:
        shutil.copy(each, folder)
    # "&&" chains a second run of the same program in the same folder.
    outcome = []
    command = []
    for word in arguments + ["&&"]:
        if word != "&&":
            command.append(word)
            continue
        done = subprocess.run([program, *command, "--no-progress", "--no-sync"], cwd=folder,
                              capture_output=True, timeout=TIME_LIMIT)
        outcome.append((done.returncode, done.stdout, done.stderr))
        command = []
        if done.returncode != 0:
            break
    return outcome


def differences(old, new):
    """The files of the two folders that differ, by name."""
    compared = filecmp.dircmp(old, new)
    found = compared.left_only + compared.right_only
    found += [n for n in compared.common_files
              if not filecmp.cmp(os.path.join(old, n), os.path.join(new, n), shallow=False)]
    for sub in compared.common_dirs:
        found += [sub + "/" + n for n in differences(os.path.join(old, sub),
                                                     os.path.join(new, sub))]
    return found


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    old, new = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    realdata = sys.argv[3] if len(sys.argv) > 3 else os.path.join(ROOT, "..", "shared",
                                                                  "realdata")
    scratch = tempfile.mkdtemp(prefix="compare-outputs-")
    differing = 0
    every = runs(realdata)
    try:
        for i, (label, arguments, files) in enumerate(every):
            here = os.path.join(scratch, str(i))
            said_old = run_in(old, here + "-old", arguments, files)
            said_new = run_in(new, here + "-new", arguments, files)
            # The program's own path appears in no output; the folders' names do not either,
            # since every path given is relative.
            files_differ = differences(here + "-old", here + "-new")
            if said_old != said_new or files_differ:
                differing += 1
                print("differs:", label, files_differ or "(status or output)")
                for (a, b) in zip(said_old, said_new):
                    if a != b:
                        print("  old:", a[0], a[1][:300], a[2][:300])
                        print("  new:", b[0], b[1][:300], b[2][:300])
            shutil.rmtree(here + "-old")
            shutil.rmtree(here + "-new")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"compare-outputs: {len(every)} runs, {differing} differing")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
