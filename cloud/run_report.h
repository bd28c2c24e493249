// The report of a levelling run, from what its stages found.
#ifndef LEVELLING_CLOUD_RUN_REPORT_H
#define LEVELLING_CLOUD_RUN_REPORT_H

#include "cloud/levelling_report.h"
#include "cloud/plane_search.h"
#include "cloud/run_plan.h"
#include "projection/rigid_levelling.h"

namespace levelling {

// The report of the run: its inputs and outputs, the plane found (nullptr: levelled by a saved
// transform), the levelling and its motion.
LevellingReport report_of(const Run &run, const FoundPlane *found,
                          const RigidLevelling &levelling, const double (&motion)[4][4]);

// The report's account of an up the cameras told: its direction, whether from their right axes
// or their mean image-up, and their spread.
void report_cameras_up(const CamerasUp &up, LevellingReport *report);

// Sets the report's fields of the plane found, the levelling and its motion, as the request
// asked for them (the fields of the inputs and outputs untouched).
void report_plane(const LevellingRequest &request, const FoundPlane &found,
                  const RigidLevelling &levelling, const double (&motion)[4][4],
                  LevellingReport *report);

}  // namespace levelling

#endif
