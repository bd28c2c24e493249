// The last pass: each input levelled by the motion and written (feeding the map), or, with no
// cloud written, read once more for the map alone.
#ifndef LEVELLING_CLOUD_WRITE_PASS_H
#define LEVELLING_CLOUD_WRITE_PASS_H

#include <cstddef>
#include <vector>

#include "cloud/map_feeder.h"
#include "cloud/run_plan.h"
#include "formats/core/cloud_stream.h"

namespace levelling {

// The last pass: level and write, in a format that holds everything (decided before a byte is
// written), the output flushed but not yet in place (commit_outputs puts a run's outputs in place
// together). False with the source's fault set.
// `map`, when not nullptr, is fed the levelled points.
bool write_levelled(Run *run, Source *source, const double (&motion)[4][4], MapState *map);

// Feeds the map the levelled points of every input, files side by side: the pass for a map
// drawn without writing any cloud.
void map_levelled(Run *run, const double (&motion)[4][4], MapState *map);

}  // namespace levelling

#endif
