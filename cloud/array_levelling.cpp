#include "cloud/array_levelling.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "cloud/camera_levelling.h"
#include "cloud/plane_search.h"
#include "cloud/run_fault.h"
#include "cloud/run_plan.h"
#include "cloud/run_report.h"
#include "plane/cloud_fit.h"
#include "plane/plane_detection.h"
#include "plane/point_sample.h"

namespace levelling {

namespace {

// Rows taken out of the array at a time, as doubles in three columns.
constexpr int64_t kBlockRows = 65536;
// Each thread's share of a pass is at least this many rows: fewer are not worth a thread.
constexpr int64_t kRowsPerThread = int64_t(1) << 19;

// Scratch for a block of rows as three columns.
struct Columns {
  std::vector<double> x = std::vector<double>(size_t(kBlockRows));
  std::vector<double> y = std::vector<double>(size_t(kBlockRows));
  std::vector<double> z = std::vector<double>(size_t(kBlockRows));
};

// The three columns of rows [at, at + n) of the array, as doubles.
void columns_of(const PointArray &points, int64_t at, int64_t n, double *x, double *y, double *z) {
  if (points.single) {
    const float *row = static_cast<const float *>(points.data) + 3 * at;
    for (int64_t i = 0; i < n; ++i, row += 3) {
      x[i] = double(row[0]);
      y[i] = double(row[1]);
      z[i] = double(row[2]);
    }
    return;
  }
  const double *row = static_cast<const double *>(points.data) + 3 * at;
  for (int64_t i = 0; i < n; ++i, row += 3) {
    x[i] = row[0];
    y[i] = row[1];
    z[i] = row[2];
  }
}

// Calls use(first_row, n, x, y, z) for each block of the rows [begin, end), as columns.
template <typename Use>
void for_each_block(const PointArray &points, int64_t begin, int64_t end, const Use &use) {
  Columns block;
  for (int64_t at = begin; at < end; at += kBlockRows) {
    const int64_t n = std::min(kBlockRows, end - at);
    columns_of(points, at, n, block.x.data(), block.y.data(), block.z.data());
    use(at, n, block.x.data(), block.y.data(), block.z.data());
  }
}

// How many parts a pass over the array splits into, one a thread.
size_t parts_of(const PointArray &points) {
  return size_t(std::clamp<int64_t>(points.rows / kRowsPerThread, 1, core_count()));
}

// Runs part(p, begin, end) for each of `parts` consecutive ranges of rows, side by side.
template <typename Part>
void in_parts(const PointArray &points, size_t parts, const Part &part) {
  on_each(parts, int(parts), [&](size_t p) {
    part(p, points.rows * int64_t(p) / int64_t(parts),
         points.rows * int64_t(p + 1) / int64_t(parts));
  });
}

// Moves the block's valid points to its front (rows already checked: an empty point's x is
// NaN); returns how many there are.
int64_t compact_valid(int64_t n, double *x, double *y, double *z) {
  int64_t kept = 0;
  for (int64_t i = 0; i < n; ++i) {
    if (x[i] == x[i]) {
      x[kept] = x[i];
      y[kept] = y[i];
      z[kept] = z[i];
      ++kept;
    }
  }
  return kept;
}

// What one part of the array's first pass learns.
struct FirstPart {
  PointSample sample;
  CloudFit all;
  int64_t empty = 0;
};

}  // namespace

int64_t first_unusable_row(const PointArray &points, const char **why) {
  int64_t found = -1;
  for_each_block(points, 0, points.rows,
                 [&](int64_t at, int64_t n, const double *x, const double *y, const double *z) {
    for (int64_t i = 0; i < n && found < 0; ++i) {
      const int nans = (x[i] != x[i]) + (y[i] != y[i]) + (z[i] != z[i]);
      if (nans == 3) {
        continue;
      }
      if (nans > 0) {
        *why = "a NaN beside numbers";
        found = at + i;
      } else if (std::isinf(x[i]) || std::isinf(y[i]) || std::isinf(z[i])) {
        *why = "an infinite coordinate";
        found = at + i;
      }
    }
  });
  return found;
}

bool fit_point_array(const LevellingRequest &request, const PointArray &points,
                     LevellingReport *report, double (&motion)[4][4], LevellingOutcome *fault) {
  const bool fit_all = request.fit == FitMethod::kAll;
  const size_t parts = parts_of(points);

  // The first pass: the sample by index, the empty points, the moments of every point.
  std::vector<FirstPart> firsts(parts);
  in_parts(points, parts, [&](size_t p, int64_t begin, int64_t end) {
    FirstPart &part = firsts[p];
    point_sample_start(&part.sample, kDefaultSampleSize, request.seed);
    for_each_block(points, begin, end, [&](int64_t at, int64_t n, double *x, double *y, double *z) {
      point_sample_add(&part.sample, at, n, x, y, z);
      const int64_t valid = compact_valid(n, x, y, z);
      part.empty += n - valid;
      if (fit_all) {
        cloud_fit_add(&part.all, valid, x, y, z);
      }
    });
  });
  PointSample sample;
  point_sample_start(&sample, kDefaultSampleSize, request.seed);
  CloudFit all;
  int64_t empty = 0;
  for (const FirstPart &part : firsts) {
    point_sample_merge(&sample, part.sample);
    cloud_fit_merge(&all, part.all);
    empty += part.empty;
  }
  point_sample_finish(&sample);
  firsts.clear();

  // The refit's passes: the inliers' moments of each part, merged in their order.
  const int64_t valid = points.rows - empty;
  const InlierPass inlier_pass = [&](const PlaneBand &band, CloudFit *inliers, int64_t *counted,
                                     int64_t *valid_points, LevellingOutcome *) {
    std::vector<CloudFit> fits(parts);
    std::vector<int64_t> counts(parts, 0);
    in_parts(points, parts, [&](size_t p, int64_t begin, int64_t end) {
      for_each_block(points, begin, end,
                     [&](int64_t, int64_t n, const double *x, const double *y, const double *z) {
                       counts[p] += plane_band_fit_add(&fits[p], band, n, x, y, z);
                     });
    });
    *inliers = CloudFit();
    *counted = 0;
    for (size_t p = 0; p < parts; ++p) {
      cloud_fit_merge(inliers, fits[p]);
      *counted += counts[p];
    }
    *valid_points = valid;
    return true;
  };

  // The cameras, when given: their up unless the request's, and the plane above them.
  CameraFile cameras;
  CamerasUp told;
  double up[3];
  search_up_of(request, up);
  if (!request.cameras.empty()) {
    if (!read_camera_file(request.cameras, &cameras, fault)) {
      return false;
    }
    if (!request.up.given) {
      if (!cameras_up(cameras.cameras, &told)) {
        *fault = failure(request.cameras,
                         "its cameras' image-up directions cancel out: say which way is up",
                         kNoPlane);
        return false;
      }
      std::copy(told.up, told.up + 3, up);
    }
  }
  PlaneSearch search = plane_search_of(request, up, points.shown);
  search.cameras = request.cameras.empty() ? nullptr : &cameras.cameras;
  FoundPlane found;
  RigidLevelling levelling;
  if (!find_levelling(request, search, sample, all, inlier_pass, &found, &levelling, motion,
                      fault)) {
    return false;
  }
  *report = LevellingReport();
  report->input = "array";
  report->format = "array";
  report->points = points.rows;
  report->empty_points = empty;
  report_plane(request, found, levelling, motion, report);
  if (!request.cameras.empty()) {
    report->cameras = int64_t(cameras.cameras.size());
    report->cameras_agreeing = cameras_agreeing(cameras.cameras, found.plane);
    if (!request.up.given) {
      report_cameras_up(told, report);
    }
  }
  return true;
}

void move_point_array(const double (&motion)[4][4], const PointArray &points, void *moved) {
  const size_t parts = parts_of(points);
  in_parts(points, parts, [&](size_t, int64_t begin, int64_t end) {
    for_each_block(points, begin, end, [&](int64_t at, int64_t n, double *x, double *y, double *z) {
      move_points(motion, n, x, y, z, x, y, z);
      if (points.single) {
        float *row = static_cast<float *>(moved) + 3 * at;
        for (int64_t i = 0; i < n; ++i, row += 3) {
          row[0] = float(x[i]);
          row[1] = float(y[i]);
          row[2] = float(z[i]);
        }
      } else {
        double *row = static_cast<double *>(moved) + 3 * at;
        for (int64_t i = 0; i < n; ++i, row += 3) {
          row[0] = x[i];
          row[1] = y[i];
          row[2] = z[i];
        }
      }
    });
  });
}

bool read_point_array(const LevellingRequest &request, double *rows, int64_t capacity,
                      int64_t *read, LevellingOutcome *fault) {
  LevellingRequest reading = request;
  reading.fit_only = true;
  reading.progress = false;
  Run run(reading);
  if (reading.inputs.size() != 1 || !plan_run(&run, fault)) {
    return false;
  }
  Source *source = run.sources.front().get();
  *read = 0;
  const StreamResult result = stream_source(
      &run, source, "reading",
      [&](PointBlock *block) {
        for (size_t i = 0; i < block->count && *read < capacity; ++i, ++*read) {
          double *row = rows + 3 * *read;
          row[0] = block->x[i];
          row[1] = block->y[i];
          row[2] = block->z[i];
        }
      },
      StreamOptions());
  if (result.fault != StreamFault::kNone) {
    *fault = failure(source->shown, result.message, status_of(result.fault));
    return false;
  }
  if (result.points > capacity) {
    *fault = failure(source->shown, "holds more points than were counted", kMalformedInput);
    return false;
  }
  return true;
}

}  // namespace levelling
