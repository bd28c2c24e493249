// The passes that read the inputs without writing: the first (a sample, the boxes, the counts),
// the box pass of a saved transform, and the refit's pass over every inlier.
#ifndef LEVELLING_CLOUD_READING_PASSES_H
#define LEVELLING_CLOUD_READING_PASSES_H

#include <cstdint>
#include <vector>

#include "cloud/run_plan.h"
#include "formats/core/cloud_stream.h"
#include "plane/cloud_fit.h"
#include "plane/plane_detection.h"

namespace levelling {

// Visits the valid points of each block: those of an empty point (all NaN) are left out,
// counted in *empty.
class ValidPoints {
 public:
  template <typename Use>
  void visit(const PointBlock &block, int64_t *empty, const Use &use) {
    const size_t n = block.count;
    size_t empties = 0;  // (counted without stopping, which compilers vectorise)
    for (size_t i = 0; i < n; ++i) {
      empties += block.x[i] != block.x[i] ? 1 : 0;
    }
    if (empties == 0) {
      use(int64_t(n), block.x.data(), block.y.data(), block.z.data());
      return;
    }
    x_.clear();
    y_.clear();
    z_.clear();
    for (size_t i = 0; i < n; ++i) {
      if (is_empty_point(block.x[i], block.y[i], block.z[i])) {
        ++*empty;
        continue;
      }
      x_.push_back(block.x[i]);
      y_.push_back(block.y[i]);
      z_.push_back(block.z[i]);
    }
    use(int64_t(x_.size()), x_.data(), y_.data(), z_.data());
  }

 private:
  std::vector<double> x_, y_, z_;
};

// Widens the box (min x, y, z, then max) to hold the n points (none NaN).
void add_to_box(int64_t n, const double *x, const double *y, const double *z, double (&box)[6]);

// What the first pass learns of the whole cloud (each source keeps its own box and counts).
struct FirstPass {
  PointSample sample;  // a uniform sample of the valid points, across the inputs in order
  CloudFit all;        // the moments of every valid point (only to fit them all)
};

// The first pass: a uniform sample across all inputs in order (as of one cloud: by the index of
// each point in the whole, plane/point_sample.h), the count of empty points and the box of each,
// the moments of every point (to fit them all) and, for a text input, its points kept in binary.
// Where records have a fixed size and the fit is of the sample, only the records the sample can
// take are read (the refit's pass then counts the empty points and the box). A file that fails is
// set aside and the pass starts again without it (so the sample holds no point of it); false with
// the fault when none is left.
bool read_first_pass(Run *run, FirstPass *pass, LevellingOutcome *fault);

// Under a saved transform: the box, counts and format of each input that needs them (a
// conversion, or a text cloud); the others are written in one pass. An input that fails is set
// aside with its fault.
void read_boxes(Run *run);

// The moments of the inliers of `band` among every point of the run (the files side by side,
// their moments merged in their order), their count and that of every valid point: one pass, or
// a text input's kept points. False with the fault; with several inputs, one that fails is set
// aside with its fault (for the caller to start again without it).
bool fit_inliers(Run *run, const PlaneBand &band, CloudFit *inliers, int64_t *counted,
                 int64_t *valid, LevellingOutcome *fault);

}  // namespace levelling

#endif
