#!/usr/bin/python3
"""Plants faults in the cloud code, one at a time, and says which the test suite catches.

Each fault is a small plausible change (a dropped check, a wrong sign, a missed write) in a copy
of the tree; the copy is built and the suite run; a fault is caught when any test fails. The
tree itself is never touched. Slow (a build and a suite run a fault): by hand, not in CI.

Usage: scripts/plant-faults.py [--batch formats|readers] [--matching REGEX] [scratch folder]
(default: every batch, in /tmp/plant-faults)
"""
import os
import re
import shutil
import subprocess
import sys

# (file, text, its replacement, what the fault breaks)
MUTANTS = [
 ('formats/las/las_header.cpp', '  header->crs.horizontal = first_known(wkt.horizontal, keys.horizontal);', '  header->crs.horizontal = first_known(keys.horizontal, wkt.horizontal);', 'LAS: GeoTIFF units over WKT'),
 ('map/deviation_map.cpp', '  at.scale_bar_pixels = int(std::lround(at.scale_bar_length / units_per_pixel));', '  at.scale_bar_pixels = int(std::lround(1.05 * at.scale_bar_length / units_per_pixel));', 'map: scale bar 5% long'),
 ('formats/las/las_coordinates.cpp', 'integers[i] = int32_t(whole + int64_t(part >= 0.5) - int64_t(part <= -0.5));', 'integers[i] = int32_t(whole);', 'LAS: truncation, not rounding'),
 ('formats/las/las_coordinates.cpp', '        fits_in_integers(box[k], box[kAxes + k], scale[k], offset[k])) {', '        false) {', 'LAS: offsets always moved'),
 ('formats/las/las_cloud.cpp', '    patch_bounds(options_.write.out, header_at_, bounds_, header_.scale, offset_);', '', 'LAS: bounds never written'),
 ('formats/las/las_cloud.cpp', '          store_ply_column(PlyType::kFloat32, false, directions[k]->data(), n,\n                           copy + header_.fields[size_t(wave_[k])].offset, size);', '', 'LAS: waveform directions not turned'),
 ('formats/las/las_header.cpp', 'header->minor >= 4 ? int64_t(get<uint64_t>(bytes, kCount))', 'header->minor >= 5 ? int64_t(get<uint64_t>(bytes, kCount))', 'LAS: 1.4 count from the legacy field'),
 ('formats/las/las_header.h', 'constexpr double kColourScale = 257.0;', 'constexpr double kColourScale = 256.0;', 'LAS: 8-bit colour scaled by 256'),
 ('formats/las/las_writer.cpp', 'record[14] = format_ < kFirstWideFormat ? 0x09 : 0x11;  // return 1 of 1', 'record[14] = 0x00;  // return 1 of 1', 'LAS: no return number by default'),
 ('formats/las/las_header.cpp', '  add_extra_fields(header);', '', 'LAS: extra bytes not described'),
 ('projection/rigid_levelling.cpp', '  turned[1] = r[0] * q[1] + r[1] * q[0] + r[2] * q[3] - r[3] * q[2];', '  turned[1] = r[0] * q[1] + r[1] * q[0] - r[2] * q[3] - r[3] * q[2];', 'PCD: viewpoint quaternion product'),
 ('formats/pcd/pcd_cloud.cpp', "  while (!text.empty() && text.back() == '\\n') {\n    text.remove_suffix(1);\n  }\n  split_tokens(text, &tokens_);", '  split_tokens(text, &tokens_);', 'PCD: ascii line end lost'),
 ('formats/pcd/pcd_header.h', 'constexpr int kRedShift = 16, kGreenShift = 8', 'constexpr int kRedShift = 8, kGreenShift = 16', 'PCD: red and green swapped'),
 ('formats/pcd/pcd_writer.cpp', '        name = name == ply_normal_names()[k] ? pcd_normal_names()[k] : name;', '', 'PCD: normals written as nx'),
 ('formats/pcd/pcd_cloud.cpp', '      copy_strided(column + size_t(done) * width, width, records.data() + field.offset, size,\n                   width, n);', '      copy_strided(column + size_t(done) * width, width, records.data() + field.offset, size,\n                   field.size, n);', 'PCD: compressed fields of COUNT > 1 cut'),
 ('formats/pcd/pcd_header.cpp', '    if (keywords.kept[k].empty() && k == 2) {', '    if (keywords.kept[k].empty()) {', 'PCD: missing SIZE accepted'),
 ('formats/core/byte_io.cpp', '    std::memcpy(buffer_.data() + (at - drained_), bytes, n);', '    std::memcpy(buffer_.data() + at, bytes, n);', 'ByteWriter: patch at the wrong place'),
 ('formats/core/byte_io.cpp', '      buffer_.resize(std::min(want, std::max(buffer_.size() * 2, kPiece)));', '      buffer_.resize(want);', 'ByteReader: a buffer of the size asked for'),
 ('formats/format_table.cpp', '{CloudFormat::kPcdAscii, "pcd ascii", "pcd-ascii", "ascii"}', '{CloudFormat::kPcdAscii, "pcd ascii", "pcd-ascii", "binary"}', 'sniff: PCD kind'),
 ('projection/rigid_levelling.cpp', '    inverse[r][3] = -moved;', '    inverse[r][3] = moved;', 'inverse: translation sign'),
 ('projection/rigid_levelling.cpp', '  if (det <= 0.0) {', '  if (det <= -2.0) {', 'rigid check: mirrors accepted'),
 ('projection/rigid_levelling.cpp', '      if (std::fabs(dot - (a == b ? 1.0 : 0.0)) > tolerance) {', '      if (std::fabs(dot - (a == b ? 1.0 : 0.0)) > 1.5) {', 'rigid check: scale accepted'),
 ('plane/cloud_fit.cpp', '    block.mean[k] = (other.reference[k] - fit->reference[k]) + other.mean[k];', '    block.mean[k] = other.mean[k];', 'merge: reference ignored'),
 ('cloud/run_plan.cpp', '      if (!names.insert(fs::path(input).filename().string()).second) {', '      if (false) {', 'batch: same names accepted'),
 ('cloud/reading_passes.cpp', '        restart = true;\n        break;', '        continue;', "batch: failed file's points kept in the sample"),
 ('cloud/run_plan.cpp', '  if (named != nullptr && refused_by_name(*named)) {', '  if (false) {', '.splat by name not refused'),
 ('cloud/write_pass.cpp', '  if (refusal.empty() && family_of(out_format) == CloudFamily::kLas && source->empty > 0) {', '  if (false) {', 'empty points to LAS not refused'),
 ('map/deviation_map.cpp', '  const double clipped = std::min(1.0, std::max(-1.0, value == value ? value : 0.0));', '  const double clipped = -std::min(1.0, std::max(-1.0, value == value ? value : 0.0));', 'map: colours reversed'),
 ('map/deviation_map.cpp', '  return steps / kSteps * grid.range;', '  return double(values[0]) / kSteps * grid.range;', 'map: least height, not the median'),
 ('map/deviation_map.cpp', '  const double limit = histogram->limit > 0.0 ? histogram->limit : HUGE_VAL;', '  const double limit = HUGE_VAL;', 'map: outliers in the histogram'),
 ('map/deviation_map.cpp', '  const double range = std::max(std::fabs(at(0.02)), std::fabs(at(0.98)));', '  const double range = std::max(std::fabs(at(0.0)), std::fabs(at(1.0)));', 'map: range from the extremes'),
 ('cloud/run_plan.cpp', '  if (!request.map.empty() && !run->map_out.open(request.map, &error)) {\n    *fault = failure(request.map, error, kUnwritableOutput);\n    return false;\n  }', '', 'map: unwritable map found late'),
 ('formats/text/text_cloud.cpp', '  } else if (converting) {\n    finish_writer(writer_.get(), &result_);\n  }', '  }', 'text: converting writer not finished'),
 ('formats/ply/ply_cloud.cpp', '  same_ = family_of(options_.write.format) == CloudFamily::kPly &&', '  same_ = ', 'PLY: writes itself when asked for PCD'),
 ('cloud/run_plan.cpp', '      !fs::is_directory(request.output_dir)) {', '      true) {', 'output folder made meanwhile by another run: a failure'),
 ('cloud/reading_passes.cpp', '  cloud_fit_merge(&pass->all, own);', '', 'fit of every point: the moments lost'),
 ('cloud/array_levelling.cpp', '      part.empty += n - valid;', '', 'array: empty points not counted'),
 ('cloud/site_levelling.cpp', '  *valid = read.points - empty;', '  *valid = read.points;', 'site: empty points counted as valid'),
 ('python/levelling/dask.py', '        offsets = np.cumsum([0] + [counts[p] for p in live[:-1]]).tolist()', '        offsets = [0] * len(live)', 'site: every tile sampled from index 0'),
]

# Faults in what part 14 mended and in the places its probe named: the LAZ items and chunks, the
# camera files and models, the run's outputs, splats, the Python module, the map, coordinate
# systems. A fifth field True plants the change at every place the text stands (a coder's
# change made alike on both sides, which no round trip of ours can see).
MUTANTS_READERS = [
 ('laz/laz_layered.cpp', '  return (changed & (1u << 6)) ? current_ : 0u;', '  return current_;', 'LAZ: items coded in the channel, not the context POINT14 hands them'),
 ('laz/laz_layered.cpp', '      init_context(channel, last);\n      last = contexts_[channel].last;\n    }', '      init_context(channel, last);\n    }\n    last = contexts_[channel].last;', 'LAZ: colour of a channel met again predicted from its own last'),
 ('laz/laz_chunks.cpp', '  return !decoder_.overran() && read_whole(decoder_, bytes + size);', '  return !decoder_.overran();', 'LAZ: bytes left over in a chunk accepted'),
 ('laz/laz_chunks.cpp', '  if (at != size) {\n    return false;  // layers that leave bytes of the chunk over\n  }', '', 'LAZ: layers short of their chunk accepted'),
 ('laz/laz_chunks.cpp', '    records->resize(std::min(points, p + kDecodeStep) * record_);', '    records->resize(points * record_);', "LAZ: a chunk's claimed records allocated at once"),
 ('formats/las/laz_file.cpp', '(*chunks)[c].points > kLargestChunk / layout.record', '(*chunks)[c].points > kLargestChunk', 'LAZ: a chunk bound in points, not bytes'),
 ('laz/laz_coder.cpp', '  update_cycle = (5 * update_cycle) >> 2;', '  update_cycle = (3 * update_cycle) >> 1;', "LAZ: symbol models' pace (both sides)", True),
 ('laz/laz_items.cpp', 'constexpr int kMulti = 500, kMultiMinus = -10;', 'constexpr int kMulti = 499, kMultiMinus = -10;', 'LAZ: GPS time multipliers (both sides)'),
 ('laz/laz_items.cpp', '  x_median_[m].add(dx);', '  x_median_[m].add(dx / 2);', 'LAZ: POINT10 X predictor (both sides)', True),
 ('laz/laz_layered.cpp', '  c->x_median[median].add(dx);', '  c->x_median[median].add(-dx);', 'LAZ: POINT14 X predictor (both sides)', True),
 ('laz/laz_layered.cpp', '  c.used = true;\n}\n\nvoid Rgb14Coder::start', '  c.used = false;\n}\n\nvoid Rgb14Coder::start', 'LAZ: colour contexts created again on every switch (both sides)'),
 ('scene/camera_files.cpp', '  const double w = s[0] / n, x = s[1] / n, y = s[2] / n, z = s[3] / n;', '  const double w = s[0] / (n * n), x = s[1] / (n * n), y = s[2] / (n * n), z = s[3] / (n * n);', 'COLMAP: a quaternion divided by its squared length'),
 ('scene/camera_files.cpp', '  const double s[4] = {q[0] / largest, q[1] / largest, q[2] / largest, q[3] / largest};', '  const double s[4] = {q[0], q[1], q[2], q[3]};', 'COLMAP: a long quaternion overflows'),
 ('scene/camera_json.cpp', 'constexpr double kRotationTolerance = 1e-4;', 'constexpr double kRotationTolerance = 0.1;', 'JSON cameras: rotations accepted to 0.1'),
 ('scene/camera_json.cpp', '    size_t at = text_.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;', '    size_t at = 0;', 'JSON cameras: a byte-order mark read as the text'),
 ('scene/camera_json.cpp', '  if (found != 1) {', '  if (found == 0) {', 'JSON cameras: repeated pose members accepted'),
 ('scene/camera_json.cpp', 'motion[row][2] * v[2] + motion[row][3]});', 'motion[row][2] * v[2]});', 'JSON cameras: centres not translated'),
 ('scene/colmap_model.cpp', '    if (!ids.insert(id).second) {', '    if (false) {', 'COLMAP: repeated point ids accepted'),
 ('cloud/camera_levelling.cpp', '    agreeing += signed_height(camera, plane) > 0.0 && facing > 0.0 ? 1 : 0;', '    agreeing += facing > 0.0 ? 1 : 0;', 'cameras below the plane counted as agreeing'),
 ('cloud/model_levelling.cpp', '    fitting.cameras = request.cameras.empty() ? files.images : request.cameras;', '    fitting.cameras = files.images;', 'model: --cameras ignored'),
 ('cloud/transform_file.cpp', '  if (!not_a_folder(name, fault)) {\n    return false;\n  }\n  std::ifstream in(name, std::ios::binary);', '  std::ifstream in(name, std::ios::binary);', 'a folder named as the cameras read'),
 ('cloud/run_outputs.cpp', '  if (::stat(path.c_str(), &status) == 0) {', '  if (::lstat(path.c_str(), &status) == 0) {', 'outputs: an input named through a link not seen'),
 ('cloud/run_plan.cpp', '  if (!plan_outputs(request, run, fault) || !outputs_distinct(*run, fault)) {', '  if (!plan_outputs(request, run, fault)) {', 'outputs: naming an input or each other accepted'),
 ('cloud/transform_file.cpp', '    *fault = failure(name, std::strerror(error), kUnwritableOutput);\n    return false;\n  }\n  return true;', '    *fault = failure(name, std::strerror(error), kUnwritableOutput);\n    return false;\n  }\n  std::string placed;\n  return out->commit(&placed, false) || true;', 'outputs: side outputs put in place before the cloud'),
 ('formats/ply/splat_fields.cpp', '    if (property.type != PlyType::kFloat32 && property.type != PlyType::kFloat64) {', '    if (false) {', 'splats: quantised colours turned and clamped'),
 ('python/levelling_module.cpp', '  if (row >= 0) {  // (the points', '  if (false) {  // (the points', 'Python: apply returns infinities'),
 ('python/levelling/__init__.py', '"jobs": ("--jobs", False)', '"jobs": ("-j", False)', 'Python: jobs= passed as -j=N'),
 ('python/levelling_module.cpp', '  if (points.ndim() != 2 || points.shape(1) != 3 ||', '  if (points.ndim() != 2 ||', "Python: the private functions trust an array's columns"),
 ('map/deviation_map.cpp', '                           : (double(values[kept / 2 - 1]) + double(values[kept / 2])) / 2.0;', '                           : double(values[kept / 2]);', 'map: the median of an even count'),
 ('map/deviation_map.cpp', '  std::snprintf(text, sizeof text, "%+.3g", value);', '  std::snprintf(text, sizeof text, "%+.2g", value);', "map: the colour bar's labels"),
 ('formats/las/las_crs.cpp', '                    top.rfind("GEOGCRS", 0) == 0;', '                    false;', "LAS: WKT 2's GEOGCRS not geographic"),
 ('formats/las/las_crs.cpp', '"LOCAL_CS", "ENGCRS"', '"ENGCRS"', "LAS: LOCAL_CS's units not read"),
 ('formats/las/las_crs.cpp', 'constexpr double kFactorTolerance = 1e-7;', 'constexpr double kFactorTolerance = 1e-10;', 'LAS: a US survey foot of 8 digits'),
]
BATCHES = {"formats": MUTANTS, "readers": MUTANTS_READERS}


def main():
    tree = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    arguments = sys.argv[1:]
    batch = MUTANTS + MUTANTS_READERS
    if arguments[:1] == ["--batch"]:
        batch, arguments = BATCHES[arguments[1]], arguments[2:]
    if arguments[:1] == ["--matching"]:  # only the faults whose description matches
        batch = [m for m in batch if re.search(arguments[1], m[3])]
        arguments = arguments[2:]
    scratch = arguments[0] if arguments else "/tmp/plant-faults"
    source, build = os.path.join(scratch, "src"), os.path.join(scratch, "build")
    shutil.rmtree(scratch, ignore_errors=True)
    shutil.copytree(tree, source, ignore=shutil.ignore_patterns("build*", ".git"))
    subprocess.run(["cmake", "-S", source, "-B", build, "-DLEVELLING_BUILD_BENCHMARKS=OFF"],
                   check=True, capture_output=True)
    subprocess.run(["cmake", "--build", build, "-j2"], check=True, capture_output=True)
    # laz-perf beside the build, for the LAZ tests that run the reference decoder.
    if os.path.isdir(os.path.join(tree, "build", "lazperf")):
        shutil.copytree(os.path.join(tree, "build", "lazperf"), os.path.join(build, "lazperf"))
    caught = 0
    for path, old, new, what, *everywhere in batch:
        full = os.path.join(source, path)
        with open(full) as f:
            text = f.read()
        if old not in text:
            print("not found (the code moved):", what)
            continue
        with open(full, "w") as f:
            f.write(text.replace(old, new, -1 if everywhere else 1))
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
    print("caught %d of %d" % (caught, len(batch)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
