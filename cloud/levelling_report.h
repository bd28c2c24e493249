// What levelling-cloud reports of a levelling, as text for a person or as one line of JSON.
#ifndef LEVELLING_CLOUD_LEVELLING_REPORT_H
#define LEVELLING_CLOUD_LEVELLING_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "flatness/floor_flatness.h"

namespace levelling {

struct LevellingReport {
  std::string input;   // as the user named it (several: their names, comma-separated)
  int inputs = 1;      // how many clouds were levelled together
  bool fitted = true;  // false when a saved transform was applied (no plane then)
  std::string transform;  // the saved transform applied ("" when fitted)
  bool inverse = false;   // its inverse applied
  std::string saved_transform;  // where the matrix was saved ("" for nowhere)
  std::string map;              // where the deviation map was written ("" for nowhere)
  double map_range = 0.0;       // the heights its colour scale spans, +-
  std::string map_unit;         // the unit of its heights ("feet"; "cloud units" when unknown)
  std::string map_length_unit;  // the unit of its x and y
  double map_scale_bar = 0.0;   // the length of its scale bar, in that unit
  double map_tolerance = 0.0;   // its cells within +- this pass (0: coloured by height)
  int64_t map_cells_within = 0, map_cells_above = 0, map_cells_below = 0;
  bool flatness = false;        // the floor's flatness was measured (--flatness)
  FloorFlatness floor;
  std::string format;  // the input's format, as cloud_format_name says it
  int64_t points = 0;        // every point of the file
  int64_t empty_points = 0;  // points without coordinates (all NaN), carried through
  bool normals = false;
  std::string fit;  // "robust", "all" or "points" (--plane-points)
  std::string up;   // the up direction as named ("+z", "auto"...)
  double normal[3] = {};  // the plane n . p = offset, n the unit upward normal
  double offset = 0.0;
  bool has_slopes = false;  // z = a*x + b*y + c, when the plane is not vertical
  double a = 0.0, b = 0.0, c = 0.0;
  double tilt_degrees = 0.0;  // the plane's tilt from the up direction (from +z for auto)
  int64_t inliers = 0;
  double threshold = 0.0;  // the inlier distance (0 for the fit of all points)
  double rms = 0.0;        // RMS orthogonal distance of the inliers to the plane
  double angle_x_degrees = 0.0, angle_y_degrees = 0.0;
  std::string pivot_name;  // "centroid" (of the inliers) or "origin"
  double pivot[3] = {};
  double matrix[4][4] = {};  // maps input points to output points
  int64_t cameras = 0;           // the cameras read (--cameras; 0 for none)
  int64_t cameras_agreeing = 0;  // of them, above the plane with their image-up toward it
  // How the cameras told up ("right axes" or "image-up"; "" when up was not theirs) and the
  // spread of what told it, degrees (CamerasUp).
  std::string cameras_up_from;
  double cameras_up_spread_degrees = 0.0;
  std::string cameras_output;    // where they were written moved ("" for nowhere)
  // --yaw walls: the turn about +z after levelling (degrees, counter-clockwise) and the sample
  // points on the walls found, of those on vertical surfaces.
  bool yawed = false;
  double yaw_degrees = 0.0;
  int64_t wall_points = 0, vertical_points = 0;
  std::vector<std::string> outputs;  // the clouds written (none: only the report)
  std::string note;          // what the user should know of the output's frame ("" for none)
};

// The report for a person, several lines each ending with '\n'.
std::string report_text(const LevellingReport &report);

// The report as one line of JSON ending with '\n'; numbers with the digits that read back the
// same doubles, strings escaped, always valid JSON (a number that is not finite is null).
std::string report_json(const LevellingReport &report);

// A number with the shortest digits that read back the same double; null when not finite.
std::string json_number(double value);

// `value` as printf's `format` (one double) writes it.
std::string formatted(const char *format, double value);

// `text` as a JSON string, quotes included: '"', '\' and control bytes escaped, bytes that are
// not UTF-8 written as U+FFFD.
std::string json_string(const std::string &text);

}  // namespace levelling

#endif
