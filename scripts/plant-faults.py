#!/usr/bin/python3
"""Plants faults in the cloud code, one at a time, and says which the test suite catches.

Each fault is a small plausible change (a dropped check, a wrong sign, a missed write) in a copy
of the tree; the copy is built and the suite run; a fault is caught when any test fails. The
tree itself is never touched. Slow (a build and a suite run a fault): by hand, not in CI.

Usage: scripts/plant-faults.py [scratch folder]   (default /tmp/plant-faults)
"""
import os
import shutil
import subprocess
import sys

# (file, text, its replacement, what the fault breaks)
MUTANTS = [
 ('formats/las_header.cpp', '  header->crs.horizontal = first_known(wkt.horizontal, keys.horizontal);', '  header->crs.horizontal = first_known(keys.horizontal, wkt.horizontal);', 'LAS: GeoTIFF units over WKT'),
 ('map/deviation_map.cpp', '  at.scale_bar_pixels = int(std::lround(at.scale_bar_length / units_per_pixel));', '  at.scale_bar_pixels = int(std::lround(1.05 * at.scale_bar_length / units_per_pixel));', 'map: scale bar 5% long'),
 ('formats/las_coordinates.cpp', 'integers[i] = int32_t(whole + int64_t(part >= 0.5) - int64_t(part <= -0.5));', 'integers[i] = int32_t(whole);', 'LAS: truncation, not rounding'),
 ('formats/las_coordinates.cpp', '        fits_in_integers(box[k], box[kAxes + k], scale[k], offset[k])) {', '        false) {', 'LAS: offsets always moved'),
 ('formats/las_cloud.cpp', '    patch_bounds(options_.out, header_at_, bounds_, header_.scale, offset_);', '', 'LAS: bounds never written'),
 ('formats/las_cloud.cpp', '          store_ply_column(PlyType::kFloat32, false, directions[k]->data(), n,\n                           copy + header_.fields[size_t(wave_[k])].offset, size);', '', 'LAS: waveform directions not turned'),
 ('formats/las_header.cpp', 'header->minor >= 4 ? int64_t(get<uint64_t>(bytes, kCount))', 'header->minor >= 5 ? int64_t(get<uint64_t>(bytes, kCount))', 'LAS: 1.4 count from the legacy field'),
 ('formats/las_header.h', 'constexpr double kColourScale = 257.0;', 'constexpr double kColourScale = 256.0;', 'LAS: 8-bit colour scaled by 256'),
 ('formats/las_writer.cpp', 'record[14] = 0x11;  // return 1 of 1', 'record[14] = 0x00;  // return 1 of 1', 'LAS: no return number by default'),
 ('formats/las_header.cpp', '  add_extra_fields(header);', '', 'LAS: extra bytes not described'),
 ('projection/rigid_levelling.cpp', '  turned[1] = r[0] * q[1] + r[1] * q[0] + r[2] * q[3] - r[3] * q[2];', '  turned[1] = r[0] * q[1] + r[1] * q[0] - r[2] * q[3] - r[3] * q[2];', 'PCD: viewpoint quaternion product'),
 ('formats/pcd_cloud.cpp', "  while (!text.empty() && text.back() == '\\n') {\n    text.remove_suffix(1);\n  }\n  split_tokens(text, &tokens_);", '  split_tokens(text, &tokens_);', 'PCD: ascii line end lost'),
 ('formats/pcd_header.h', 'constexpr int kRedShift = 16, kGreenShift = 8', 'constexpr int kRedShift = 8, kGreenShift = 16', 'PCD: red and green swapped'),
 ('formats/pcd_writer.cpp', '        name = name == ply_normal_names()[k] ? pcd_normal_names()[k] : name;', '', 'PCD: normals written as nx'),
 ('formats/pcd_cloud.cpp', '      copy_strided(column + size_t(done) * width, width, records.data() + field.offset, size,\n                   width, n);', '      copy_strided(column + size_t(done) * width, width, records.data() + field.offset, size,\n                   field.size, n);', 'PCD: compressed fields of COUNT > 1 cut'),
 ('formats/pcd_header.cpp', '    if (kept[k].empty() && k == 2) {', '    if (kept[k].empty()) {', 'PCD: missing SIZE accepted'),
 ('formats/byte_io.cpp', '    std::memcpy(buffer_.data() + (at - drained_), bytes, n);', '    std::memcpy(buffer_.data() + at, bytes, n);', 'ByteWriter: patch at the wrong place'),
 ('formats/byte_io.cpp', '      buffer_.resize(std::min(want, std::max(buffer_.size() * 2, kPiece)));', '      buffer_.resize(want);', 'ByteReader: a buffer of the size asked for'),
 ('formats/format_table.cpp', '    *format = data == "ascii"               ? CloudFormat::kPcdAscii', '    *format = data == "binary"              ? CloudFormat::kPcdAscii', 'sniff: PCD kind'),
 ('projection/rigid_levelling.cpp', '    inverse[r][3] = -moved;', '    inverse[r][3] = moved;', 'inverse: translation sign'),
 ('projection/rigid_levelling.cpp', '  if (det <= 0.0) {', '  if (det <= -2.0) {', 'rigid check: mirrors accepted'),
 ('projection/rigid_levelling.cpp', '      if (std::fabs(dot - (a == b ? 1.0 : 0.0)) > tolerance) {', '      if (std::fabs(dot - (a == b ? 1.0 : 0.0)) > 1.5) {', 'rigid check: scale accepted'),
 ('plane/cloud_fit.cpp', '    block.mean[k] = (other.reference[k] - fit->reference[k]) + other.mean[k];', '    block.mean[k] = other.mean[k];', 'merge: reference ignored'),
 ('cloud/run_plan.cpp', '      if (!names.insert(fs::path(input).filename().string()).second) {', '      if (false) {', 'batch: same names accepted'),
 ('cloud/reading_passes.cpp', '        restart = true;\n        break;', '        continue;', "batch: failed file's points kept in the sample"),
 ('cloud/run_plan.cpp', '  if (named != nullptr && refused_by_name(*named)) {', '  if (false) {', '.splat by name not refused'),
 ('cloud/write_pass.cpp', '  if (refusal.empty() && out_format == CloudFormat::kLas && source->empty > 0) {', '  if (false) {', 'empty points to LAS not refused'),
 ('map/deviation_map.cpp', '  const double clipped = std::min(1.0, std::max(-1.0, value == value ? value : 0.0));', '  const double clipped = -std::min(1.0, std::max(-1.0, value == value ? value : 0.0));', 'map: colours reversed'),
 ('map/deviation_map.cpp', '  return steps / kSteps * grid.range;', '  return double(values[0]) / kSteps * grid.range;', 'map: least height, not the median'),
 ('map/deviation_map.cpp', '  const double limit = histogram->limit > 0.0 ? histogram->limit : HUGE_VAL;', '  const double limit = HUGE_VAL;', 'map: outliers in the histogram'),
 ('map/deviation_map.cpp', '  const double range = std::max(std::fabs(at(0.02)), std::fabs(at(0.98)));', '  const double range = std::max(std::fabs(at(0.0)), std::fabs(at(1.0)));', 'map: range from the extremes'),
 ('cloud/run_plan.cpp', '  if (!request.map.empty() && !run->map_out.open(request.map, &error)) {\n    *fault = failure(request.map, error, kUnwritableOutput);\n    return false;\n  }', '', 'map: unwritable map found late'),
 ('formats/text_cloud.cpp', '  } else if (converting) {\n    finish_writer(writer_.get(), &result_);\n  }', '  }', 'text: converting writer not finished'),
 ('formats/ply_cloud.cpp', '  same_ = family_of(options_.out_format) == CloudFamily::kPly &&', '  same_ = ', 'PLY: writes itself when asked for PCD'),
 ('cloud/run_plan.cpp', '      !fs::is_directory(request.output_dir)) {', '      true) {', 'output folder made meanwhile by another run: a failure'),
 ('cloud/reading_passes.cpp', '  cloud_fit_merge(&pass->all, own);', '', 'fit of every point: the moments lost'),
 ('cloud/array_levelling.cpp', '      part.empty += n - valid;', '', 'array: empty points not counted'),
 ('cloud/site_levelling.cpp', '  *valid = read.points - empty;', '  *valid = read.points;', 'site: empty points counted as valid'),
 ('python/levelling/dask.py', '        offsets = np.cumsum([0] + [counts[p] for p in live[:-1]]).tolist()', '        offsets = [0] * len(live)', 'site: every tile sampled from index 0'),
]


def main():
    tree = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    scratch = sys.argv[1] if len(sys.argv) > 1 else "/tmp/plant-faults"
    source, build = os.path.join(scratch, "src"), os.path.join(scratch, "build")
    shutil.rmtree(scratch, ignore_errors=True)
    shutil.copytree(tree, source, ignore=shutil.ignore_patterns("build*", ".git"))
    subprocess.run(["cmake", "-S", source, "-B", build, "-DLEVELLING_BUILD_BENCHMARKS=OFF"],
                   check=True, capture_output=True)
    subprocess.run(["cmake", "--build", build, "-j2"], check=True, capture_output=True)
    caught = 0
    for path, old, new, what in MUTANTS:
        full = os.path.join(source, path)
        with open(full) as f:
            text = f.read()
        if old not in text:
            print("not found (the code moved):", what)
            continue
        with open(full, "w") as f:
            f.write(text.replace(old, new, 1))
        built = subprocess.run(["cmake", "--build", build, "-j2"], capture_output=True)
        if built.returncode != 0:
            print("does not build:", what)
        else:
            # The memory and signal tests time processes: they say nothing of these faults.
            run = subprocess.run(["ctest", "--test-dir", build, "-j2", "-E", "Memory|Signals"],
                                 capture_output=True, text=True, timeout=1800)
            failed = [line.split(" - ")[1].split(" (")[0] for line in run.stdout.splitlines()
                      if " - " in line and "(Failed)" in line]
            caught += 1 if run.returncode != 0 else 0
            print("caught" if run.returncode != 0 else "SURVIVED", what, failed[:3])
            sys.stdout.flush()
        with open(full, "w") as f:
            f.write(text)
    print("caught %d of %d" % (caught, len(MUTANTS)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
