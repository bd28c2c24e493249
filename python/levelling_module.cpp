// levelling._levelling: the library's levelling for Python, below the package levelling (whose
// functions check their arguments and raise). Every function here takes the command line's
// options as its arguments (parsed as levelling-cloud parses them) and answers with a status
// (0, or the program's exit status), a message and its result; none raises for a fault of the
// input. The library works with the GIL released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "cloud/array_levelling.h"
#include "cloud/cloud_levelling.h"
#include "cloud/command_line.h"
#include "cloud/output_file.h"
#include "cloud/run_fault.h"
#include "cloud/site_levelling.h"
#include "cloud/transform_file.h"

namespace py = pybind11;

namespace levelling {
namespace {

using Matrix = std::vector<std::vector<double>>;

// A status, its message and a result.
template <typename Result>
py::tuple answer(int status, const std::string &message, Result result) {
  return py::make_tuple(status, message, std::move(result));
}

py::tuple fault_answer(const LevellingOutcome &fault) {
  return answer(fault.status, fault.message, py::none());
}

// The request of the arguments, or the usage fault's answer.
bool parsed(const std::vector<std::string> &arguments, LevellingRequest *request,
            py::object *fault) {
  CommandLine line = parse_command_line(arguments);
  if (line.finished) {
    *fault = answer(line.status == kLevelled ? kUsage : line.status,
                    line.error.empty() ? "not an option of a levelling" : line.error, py::none());
    return false;
  }
  *request = std::move(line.request);
  return true;
}

// Parses the arguments and runs stage(request, &outcome) on their request with the GIL
// released; false when the arguments or the stage failed, *fault then the answer saying so.
template <typename Stage>
bool staged(const std::vector<std::string> &arguments, const Stage &stage, py::object *fault) {
  LevellingRequest request;
  if (!parsed(arguments, &request, fault)) {
    return false;
  }
  LevellingOutcome outcome;
  bool done = false;
  {
    py::gil_scoped_release released;
    done = stage(request, &outcome);
  }
  if (!done) {
    *fault = fault_answer(outcome);
  }
  return done;
}

Matrix matrix_rows(const double (&matrix)[4][4]) {
  Matrix rows(4);
  for (int r = 0; r < 4; ++r) {
    rows[size_t(r)].assign(matrix[r], matrix[r] + 4);
  }
  return rows;
}

// The (N, 3) array's points. The package checks the array first and says how to mend it; a
// caller of the private functions that did not is refused here (ValueError), never trusted.
PointArray point_array(const py::array &points) {
  const py::dtype type = points.dtype();
  if (points.ndim() != 2 || points.shape(1) != 3 || type.kind() != 'f' ||
      (points.itemsize() != sizeof(float) && points.itemsize() != sizeof(double)) ||
      !points.dtype().attr("isnative").cast<bool>() || !(points.flags() & py::array::c_style)) {
    throw py::value_error("a C-contiguous (N, 3) array of native float32 or float64 is needed");
  }
  PointArray array;
  array.data = points.data();
  array.rows = int64_t(points.shape(0));
  array.single = points.itemsize() == sizeof(float);
  return array;
}

// (row, why) of the array's first unusable row, or (-1, "").
py::tuple unusable_row(const py::array &points) {
  const PointArray array = point_array(points);
  const char *why = "";
  int64_t row = -1;
  {
    py::gil_scoped_release released;
    row = first_unusable_row(array, &why);
  }
  return py::make_tuple(row, std::string(why));
}

py::object fit_array(const py::array &points, const std::vector<std::string> &arguments) {
  const PointArray array = point_array(points);
  LevellingReport report;
  double motion[4][4];
  py::object fault;
  if (!staged(arguments,
              [&](const LevellingRequest &request, LevellingOutcome *outcome) {
                return fit_point_array(request, array, &report, motion, outcome);
              },
              &fault)) {
    return fault;
  }
  return answer(kLevelled, "", report_json(report));
}

py::tuple apply_array(const py::array &points, const std::vector<double> &entries) {
  double motion[4][4];
  LevellingOutcome fault;
  if (!rigid_motion_of("matrix", entries, motion, &fault)) {
    return fault_answer(fault);
  }
  const PointArray array = point_array(points);
  py::array moved(points.dtype(), {points.shape(0), points.shape(1)});
  void *to = moved.mutable_data();
  PointArray moved_array = array;
  moved_array.data = to;
  const char *why = "";
  int64_t row = -1;
  {
    py::gil_scoped_release released;
    move_point_array(motion, array, to);
    row = first_unusable_row(moved_array, &why);
  }
  if (row >= 0) {  // (the points were checked: a finite row moved beyond the type's range)
    return answer(kUnsupportedInput,
                  "row " + std::to_string(row) + ": moved, a coordinate is beyond the range of " +
                      (array.single ? "float32" : "float64"),
                  py::none());
  }
  return answer(kLevelled, "", moved);
}

// The run of the arguments, in-process: (status, message, (more messages, report)). A motion of
// 16 numbers levels with it instead of fitting, as a saved transform would.
py::object level(const std::vector<std::string> &arguments, const std::vector<double> &motion) {
  LevellingRequest request;
  py::object fault;
  if (!parsed(arguments, &request, &fault)) {
    return fault;
  }
  request.progress = false;
  request.motion = motion;
  LevellingOutcome outcome;
  {
    py::gil_scoped_release released;
    outcome = level_cloud(request);
  }
  return answer(outcome.status, outcome.message,
                py::make_tuple(outcome.more_messages, outcome.report));
}

// The records of the arguments' one input (count_tile); false with *fault the answer.
bool counted(const std::vector<std::string> &arguments, int64_t *records, py::object *fault) {
  return staged(
      arguments,
      [&](const LevellingRequest &request, LevellingOutcome *outcome) {
        return count_tile(request, records, outcome);
      },
      fault);
}

py::object read_points(const std::vector<std::string> &arguments) {
  int64_t records = 0;
  py::object fault;
  if (!counted(arguments, &records, &fault)) {
    return fault;
  }
  py::array_t<double> points({py::ssize_t(records), py::ssize_t(3)});
  double *rows = points.mutable_data();
  int64_t read = 0;
  if (!staged(arguments,
              [&](const LevellingRequest &request, LevellingOutcome *outcome) {
                return read_point_array(request, rows, records, &read, outcome);
              },
              &fault)) {
    return fault;
  }
  if (read < records) {
    points.resize({py::ssize_t(read), py::ssize_t(3)});
  }
  return answer(kLevelled, "", points);
}

// CloudFit and PointSample as tuples of plain values, to travel between processes.
py::tuple fit_tuple(const CloudFit &fit) {
  return py::make_tuple(fit.count, fit.non_finite,
                        std::vector<double>(fit.reference, fit.reference + 3),
                        std::vector<double>(fit.mean, fit.mean + 3),
                        std::vector<double>(fit.moments, fit.moments + 6));
}

CloudFit fit_of(const py::tuple &values) {
  CloudFit fit;
  fit.count = values[0].cast<int64_t>();
  fit.non_finite = values[1].cast<bool>();
  const auto copy = [](const py::handle &from, double *to, size_t n) {
    const std::vector<double> numbers = from.cast<std::vector<double>>();
    if (numbers.size() != n) {
      throw py::value_error("a fit's moments of the wrong size");
    }
    std::copy(numbers.begin(), numbers.end(), to);
  };
  copy(values[2], fit.reference, 3);
  copy(values[3], fit.mean, 3);
  copy(values[4], fit.moments, 6);
  return fit;
}

template <typename Value>
py::array_t<Value> column(const std::vector<Value> &values) {
  return py::array_t<Value>(py::ssize_t(values.size()), values.data());
}

template <typename Value>
std::vector<Value> values_of(const py::handle &array) {
  const py::array_t<Value, py::array::c_style | py::array::forcecast> typed =
      py::array_t<Value, py::array::c_style | py::array::forcecast>::ensure(array);
  if (!typed || typed.ndim() != 1) {
    throw py::value_error("a sample's column is not a one-dimensional array");
  }
  return std::vector<Value>(typed.data(), typed.data() + typed.size());
}

py::tuple tile_tuple(const TileFirstPass &tile) {
  const PointSample &sample = tile.sample;
  return py::make_tuple(tile.points, tile.empty, tile.counted, sample.seen,
                        py::make_tuple(column(sample.x), column(sample.y), column(sample.z),
                                       column(sample.key), column(sample.index)),
                        fit_tuple(tile.all), tile.format, tile.normals);
}

TileFirstPass tile_of(const py::tuple &values) {
  TileFirstPass tile;
  tile.points = values[0].cast<int64_t>();
  tile.empty = values[1].cast<int64_t>();
  tile.counted = values[2].cast<bool>();
  PointSample &sample = tile.sample;
  sample.seen = values[3].cast<int64_t>();
  const py::tuple columns = values[4].cast<py::tuple>();
  sample.x = values_of<double>(columns[0]);
  sample.y = values_of<double>(columns[1]);
  sample.z = values_of<double>(columns[2]);
  sample.key = values_of<uint64_t>(columns[3]);
  sample.index = values_of<int64_t>(columns[4]);
  const size_t n = sample.x.size();
  if (sample.y.size() != n || sample.z.size() != n || sample.key.size() != n ||
      sample.index.size() != n || n > kDefaultSampleSize) {
    throw py::value_error("a tile's sample of columns of different lengths");
  }
  tile.all = fit_of(values[5].cast<py::tuple>());
  tile.format = values[6].cast<std::string>();
  tile.normals = values[7].cast<bool>();
  return tile;
}

py::object count(const std::vector<std::string> &arguments) {
  int64_t records = 0;
  py::object fault;
  if (!counted(arguments, &records, &fault)) {
    return fault;
  }
  return answer(kLevelled, "", records);
}

py::object first_pass(const std::vector<std::string> &arguments, int64_t first_point) {
  TileFirstPass tile;
  py::object fault;
  if (!staged(arguments,
              [&](const LevellingRequest &request, LevellingOutcome *outcome) {
                return read_tile_first(request, first_point, &tile, outcome);
              },
              &fault)) {
    return fault;
  }
  return answer(kLevelled, "", tile_tuple(tile));
}

PlaneBand band_of(const py::tuple &values) {
  PlaneBand band;
  const std::vector<double> normal = values[0].cast<std::vector<double>>();
  if (normal.size() != 3) {
    throw py::value_error("a band's normal of other than three numbers");
  }
  std::copy(normal.begin(), normal.end(), band.normal);
  band.offset = values[1].cast<double>();
  band.threshold = values[2].cast<double>();
  return band;
}

py::tuple band_tuple(const PlaneBand &band) {
  return py::make_tuple(std::vector<double>(band.normal, band.normal + 3), band.offset,
                        band.threshold);
}

py::object inliers(const std::vector<std::string> &arguments, const py::tuple &band_values) {
  const PlaneBand band = band_of(band_values);
  CloudFit fit;
  int64_t counted = 0, valid = 0;
  py::object fault;
  if (!staged(arguments,
              [&](const LevellingRequest &request, LevellingOutcome *outcome) {
                return fit_tile_inliers(request, band, &fit, &counted, &valid, outcome);
              },
              &fault)) {
    return fault;
  }
  return answer(kLevelled, "", py::make_tuple(fit_tuple(fit), counted, valid));
}

// The site's plane from its tiles' first passes; `inlier_pass(band)` answers a pass over every
// tile's inliers as (fit, counted, valid), merged in the tiles' order, or raises.
py::object site_plane(const std::vector<std::string> &arguments, const py::list &tile_values,
                      size_t tiles_named, const py::function &inlier_pass) {
  std::vector<TileFirstPass> tiles;
  for (const py::handle &values : tile_values) {
    tiles.push_back(tile_of(values.cast<py::tuple>()));
  }
  std::exception_ptr raised;
  const InlierPass pass = [&](const PlaneBand &band, CloudFit *fit, int64_t *counted,
                              int64_t *valid, LevellingOutcome *why) {
    py::gil_scoped_acquire held;
    try {
      const py::tuple result = inlier_pass(band_tuple(band)).cast<py::tuple>();
      *fit = fit_of(result[0].cast<py::tuple>());
      *counted = result[1].cast<int64_t>();
      *valid = result[2].cast<int64_t>();
      return true;
    } catch (...) {
      raised = std::current_exception();
      why->status = kInternalFault;
      why->message = "the inliers' pass was interrupted";
      return false;
    }
  };
  LevellingReport report;
  double motion[4][4];
  py::object fault;
  const bool fitted = staged(
      arguments,
      [&](const LevellingRequest &request, LevellingOutcome *outcome) {
        return fit_site(request, tiles, tiles_named, pass, &report, motion, outcome);
      },
      &fault);
  if (raised) {
    std::rethrow_exception(raised);
  }
  return fitted ? answer(kLevelled, "", report_json(report)) : fault;
}

// A saved transform, or its inverse, as the program applies it.
py::tuple saved_transform(const std::string &name, bool inverse) {
  double matrix[4][4];
  LevellingOutcome fault;
  if (!read_applied_transform(name, inverse, matrix, &fault)) {
    return fault_answer(fault);
  }
  return answer(kLevelled, "", matrix_rows(matrix));
}

// The fits merged in their order, as a run merges its files'.
py::tuple merged_fits(const py::list &fits) {
  CloudFit merged;
  for (const py::handle &fit : fits) {
    cloud_fit_merge(&merged, fit_of(fit.cast<py::tuple>()));
  }
  return fit_tuple(merged);
}

py::object checked_options(const std::vector<std::string> &arguments) {
  LevellingRequest request;
  py::object fault;
  return parsed(arguments, &request, &fault) ? answer(kLevelled, "", py::none()) : fault;
}

// Saves the matrix as the program saves a transform: put in place whole, flushed to the disk
// first when `sync`.
py::tuple saved_matrix(const std::vector<double> &entries, const std::string &name, bool sync) {
  double matrix[4][4];
  LevellingOutcome fault;
  OutputFile out;
  if (!rigid_motion_of("matrix", entries, matrix, &fault)) {
    return fault_answer(fault);
  }
  std::string error;
  if (!out.open(name, &error)) {
    return fault_answer(failure(name, error, kUnwritableOutput));
  }
  bool saved = false;
  {
    py::gil_scoped_release released;
    saved = save_transform(matrix, name, sync, &out, &fault);
  }
  return saved ? answer(kLevelled, "", py::none()) : fault_answer(fault);
}

}  // namespace
}  // namespace levelling

PYBIND11_MODULE(_levelling, module) {
  using namespace levelling;
  module.doc() = "The levelling library's functions below the package levelling.";
  module.attr("version") = kCommandLineVersion;
  module.attr("unusable_input_status") = int(kMalformedInput);
  module.def("unusable_row", &unusable_row, "(row, why) of the first unusable row, or (-1, '')");
  module.def("fit_array", &fit_array, "(status, message, report JSON) of the array's plane");
  module.def("apply_array", &apply_array, "(status, message, moved array)");
  module.def("level", &level, "(status, message, (more messages, report)) of a run",
             py::arg("arguments"), py::arg("motion") = std::vector<double>());
  module.def("read_points", &read_points, "(status, message, (N, 3) float64 array) of a file");
  module.def("count_tile", &count, "(status, message, records) of a tile");
  module.def("read_tile_first", &first_pass, "(status, message, first pass) of a tile");
  module.def("fit_tile_inliers", &inliers, "(status, message, (fit, counted, valid))");
  module.def("fit_site", &site_plane, "(status, message, report JSON) of a site's plane");
  module.def("read_transform", &saved_transform, "(status, message, 4 x 4 rows) of a file");
  module.def("merge_fits", &merged_fits, "the fits merged in their order");
  module.def("check_options", &checked_options, "(status, message, None) of the arguments");
  module.def("save_transform", &saved_matrix, "(status, message, None) of a matrix saved");
}
