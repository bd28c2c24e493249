#include "cloud/sample_surfaces.h"

#include <nanoflann.hpp>

#include <cmath>
#include <cstdint>
#include <vector>

#include "plane/cloud_fit.h"
#include "plane/orthogonal_fit.h"

namespace levelling {

namespace {

// The sample's points about its first one (so that georeferenced coordinates keep their
// digits in the squared distances), as nanoflann reads a dataset.
struct CentredPoints {
  std::vector<double> x, y, z;
  size_t kdtree_get_point_count() const { return x.size(); }
  double kdtree_get_pt(size_t i, size_t dimension) const {
    return dimension == 0 ? x[i] : dimension == 1 ? y[i] : z[i];
  }
  template <class Box>
  bool kdtree_get_bbox(Box &) const {
    return false;
  }
};

using PointTree = nanoflann::KDTreeSingleIndexAdaptor<
    nanoflann::L2_Simple_Adaptor<double, CentredPoints>, CentredPoints, 3, uint32_t>;

// Points a leaf of the tree holds.
constexpr size_t kLeafPoints = 16;

}  // namespace

bool sample_surfaces(const PointSample &sample, SampleSurfaces *surfaces) {
  *surfaces = SampleSurfaces();
  const size_t n = sample.x.size();
  if (n < kLeastSurfaceSample) {
    return false;
  }
  CentredPoints points;
  points.x.resize(n);
  points.y.resize(n);
  points.z.resize(n);
  bool finite = true;
  for (size_t i = 0; i < n; ++i) {
    points.x[i] = sample.x[i] - sample.x[0];
    points.y[i] = sample.y[i] - sample.y[0];
    points.z[i] = sample.z[i] - sample.z[0];
    finite = finite && std::isfinite(points.x[i]) && std::isfinite(points.y[i]) &&
             std::isfinite(points.z[i]);
  }
  if (!finite) {
    return false;  // (a tree of them would be no tree)
  }
  surfaces->nx.assign(n, 0.0);
  surfaces->ny.assign(n, 0.0);
  surfaces->nz.assign(n, 0.0);
  surfaces->uncertainty.assign(n, 0.0);
  const PointTree tree(3, points, nanoflann::KDTreeSingleIndexAdaptorParams(kLeafPoints));
  uint32_t neighbours[kSurfaceNeighbours];
  double squares[kSurfaceNeighbours];
  double xs[kSurfaceNeighbours], ys[kSurfaceNeighbours], zs[kSurfaceNeighbours];
  for (size_t i = 0; i < n; ++i) {
    const double query[3] = {points.x[i], points.y[i], points.z[i]};
    const size_t found = tree.knnSearch(query, kSurfaceNeighbours, neighbours, squares);
    for (size_t k = 0; k < found; ++k) {
      xs[k] = points.x[neighbours[k]];
      ys[k] = points.y[neighbours[k]];
      zs[k] = points.z[neighbours[k]];
    }
    CloudFit fit;
    cloud_fit_add(&fit, int64_t(found), xs, ys, zs);
    const OrthogonalPlane local = orthogonal_fit(fit);
    if (local.status == OrthogonalFitStatus::kFitted) {
      surfaces->nx[i] = local.normal[0];
      surfaces->ny[i] = local.normal[1];
      surfaces->nz[i] = local.normal[2];
      surfaces->uncertainty[i] = std::atan2(local.spreads[2], local.spreads[1]);
    }
  }
  return true;
}

}  // namespace levelling
