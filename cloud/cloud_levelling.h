// levelling-cloud as a library: a typed request in, an outcome (exit status, message, report)
// out. The program's main only turns its command line into a LevellingRequest, installs its
// signal handlers and prints the outcome; everything else, every fault a user can meet
// included, runs here and can be tested in-process.
#ifndef LEVELLING_CLOUD_CLOUD_LEVELLING_H
#define LEVELLING_CLOUD_CLOUD_LEVELLING_H

#include <cstdint>
#include <string>
#include <vector>

#include "formats/format_table.h"

namespace levelling {

// The exit statuses, listed in docs/cloud.md and the manual page.
enum ExitStatus {
  kLevelled = 0,
  kInternalFault = 1,
  kUsage = 2,
  kUnreadableInput = 3,
  kMalformedInput = 4,
  kNoPlane = 5,
  kUnwritableOutput = 6,
  kWouldOverwriteInput = 7,
  kUnsupportedInput = 8,
};

enum class FitMethod {
  kRobust,  // the largest plane within the tilt limit, refitted to its inliers
  kAll,     // the orthogonal fit of every point
};
enum class PivotChoice { kCentroid, kOrigin };
enum class ReportForm { kText, kJson };
enum class YawChoice {
  kKeep,   // the heading as it was (the smallest turn that levels)
  kWalls,  // then turned about up so that the walls run along x and y
};

// Which way is up in the input.
struct UpDirection {
  bool given = false;      // said by the user (not the default +z)
  bool automatic = false;  // no prior: the largest plane in any orientation
  double axis[3] = {0.0, 0.0, 1.0};
  std::string name = "+z";  // as messages and reports say it: "+z", "-y", "(1,0,1)", "auto"
};

// Parses an up direction as the command line writes it: x, y, z, -x, -y, -z (+x... too),
// X,Y,Z (three numbers, not all zero) or auto. False when it is none of these.
bool parse_up_direction(const std::string &text, UpDirection *up);

struct LevellingRequest {
  // The clouds: one file, or "-" for standard input; several (files) are levelled as one cloud,
  // by one transform, each into output_dir (or in place).
  std::vector<std::string> inputs;
  std::string output;      // one input's output: a file, "-" for standard output, "" for none
  std::string output_dir;  // where each input's levelled cloud goes, under its own name
  bool in_place = false;
  int jobs = 0;            // files read and written at once; 0: one for each core
  std::string save_transform;  // where the levelling's 4 x 4 matrix goes ("" for nowhere)
  std::string transform;       // a saved matrix to level with instead of fitting ("" for none)
  bool inverse = false;        // apply the saved matrix's inverse
  // A rigid motion to level with instead of fitting, given in memory rather than saved: the 16
  // entries of its 4 x 4 matrix, row-major (empty for none). As `transform` of a file holding
  // it, bit for bit.
  std::vector<double> motion;
  // Three points picked on the plane to level (--plane-points): x, y, z of each, 9 numbers (empty
  // for none). Their plane is levelled exactly instead of one found; checked not to lie on one
  // line by the command line (plane_points_of).
  std::vector<double> plane_points;
  bool fit_only = false;       // fit (and save the transform) without writing any cloud
  // A camera file (COLMAP images.bin or .txt, cameras.json, transforms.json; "" for none):
  // their up (cameras_up) is the up direction unless `up` is given, and the plane is oriented
  // so that most of them are above it. Written moved into cameras_output ("" for nowhere).
  std::string cameras;
  std::string cameras_output;
  std::string map;             // where the deviation map (PNG) goes ("" for none)
  double map_cell = 0.0;       // the map's cell side in the cloud's units; 0: 400 across
  // The map's cells within +-map_tolerance of the plane (cloud units) pass, those beyond are
  // above or below, counted in its legend (0: coloured by height).
  double map_tolerance = 0.0;
  // Measure the levelled floor's flatness (of the points within 5 cm of the plane, or of its
  // inliers' band when wider): ASTM E1155's F-numbers and DIN 18202's gaps, in the report.
  bool flatness = false;
  // The cloud's units for the flatness ("m", "cm", "mm", "ft", "us-ft"; "": those its files
  // say, and without them --flatness is refused).
  std::string units;
  PivotChoice pivot = PivotChoice::kCentroid;
  YawChoice yaw = YawChoice::kKeep;
  OutputChoice format;  // --format: the input's own unless chosen
  bool quiet = false;
  ReportForm report = ReportForm::kText;
  bool progress = true;  // a progress line on standard error when it is a terminal
  bool sync = true;      // the output flushed to the disk before it is renamed into place
  FitMethod fit = FitMethod::kRobust;
  UpDirection up;
  double max_tilt_degrees = 45.0;
  double threshold = 0.0;  // the inlier distance in the cloud's units; 0: automatic
  uint64_t seed = 1;
  // Digits after the decimal point of coordinates written as text; -1: as many as the input's
  // coordinates had (a text input, a LAS input's scale), or the shortest that read back the same.
  int precision = -1;
  // The resolution of LAS coordinates written from another format, in the cloud's unit.
  double las_scale = 0.001;
};

struct LevellingOutcome {
  int status = kLevelled;
  std::string message;  // for a fault: one line, "FILE: what" (the program's name not included)
  // With several inputs, the faults of the files after the first that failed (whose fault is
  // `message` and whose status is `status`), each a line as `message`.
  std::vector<std::string> more_messages;
  std::string report;   // the report, text or JSON, ending with a line end ("" when quiet)
  bool report_to_stderr = false;  // the cloud went to standard output
};

// Levels the cloud of the request: reads it (a first pass for a sample and the moments), finds
// its plane, refits it to every inlier in one or more streaming passes, and, with an output,
// writes the levelled cloud in a last pass. Several inputs are one cloud: one sample drawn across
// them, their inliers' moments merged, each written with the same transform, side by side. With
// a saved transform there is no fit: one pass writes each cloud. Never throws for a fault of the
// input or output.
LevellingOutcome level_cloud(const LevellingRequest &request);

}  // namespace levelling

#endif
