// A site of tiles levelled as one cloud by stages that can run apart (a process or a machine a
// stage, as a Dask cluster runs them): each tile counted, read for its share of the sample, and
// passed over for its inliers' moments alone; only those travel, merged in the tiles' order into
// the plane that level_cloud finds for the same tiles in one run. Each tile is then written by
// level_cloud with that plane's motion (LevellingRequest::motion).
//
// Each stage takes a request of one input, the tile, with the run's options (its output
// ignored); a tile's index in the site is that of its first point, the points of the tiles
// before it counted.
#ifndef LEVELLING_CLOUD_SITE_LEVELLING_H
#define LEVELLING_CLOUD_SITE_LEVELLING_H

#include <cstdint>
#include <string>
#include <vector>

#include "cloud/cloud_levelling.h"
#include "cloud/levelling_report.h"
#include "cloud/plane_search.h"
#include "plane/cloud_fit.h"
#include "plane/point_sample.h"

namespace levelling {

// What a tile's first pass learns, for the site's plane.
struct TileFirstPass {
  int64_t points = 0;      // every record of the tile
  int64_t empty = 0;       // its empty points, when `counted`
  bool counted = true;     // false when only the sampled records were read
  PointSample sample;      // its share of the site's sample (keys of its points' site indices)
  CloudFit all;            // the moments of its valid points (to fit them all)
  std::string format;      // as cloud_format_name says it
  bool normals = false;    // it has normals
};

// The records of the tile: from its header where it has one, else by reading it. False with the
// fault (as the program says it).
bool count_tile(const LevellingRequest &request, int64_t *records, LevellingOutcome *fault);

// The tile's first pass, its first point of index `first_point` in the site: as level_cloud's
// first pass reads it among the site's tiles. False with the fault (unreadable, malformed, in
// longitude and latitude).
bool read_tile_first(const LevellingRequest &request, int64_t first_point, TileFirstPass *tile,
                     LevellingOutcome *fault);

// The moments and count of the tile's points within `band`, and the count of its valid points.
// False with the fault.
bool fit_tile_inliers(const LevellingRequest &request, const PlaneBand &band, CloudFit *inliers,
                      int64_t *counted, int64_t *valid, LevellingOutcome *fault);

// The site's plane and the motion that levels it, from its tiles' first passes (in the site's
// order, of `tiles_named` tiles named in all, failed ones included) and `inlier_pass`, a pass
// over every tile's inliers merged in their order (by fit_tile_inliers). *report holds the
// plane's fields and the matrix. False with the fault.
bool fit_site(const LevellingRequest &request, const std::vector<TileFirstPass> &tiles,
              size_t tiles_named, const InlierPass &inlier_pass, LevellingReport *report,
              double (&motion)[4][4], LevellingOutcome *fault);

}  // namespace levelling

#endif
