#include "cloud/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <climits>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cloud/run_fault.h"
#include "formats/core/number_text.h"
#include "formats/format_table.h"

namespace levelling {

namespace {

// The keys of a choice, for CLI11's check of an option's value.
template <typename Value>
std::vector<std::string> keys_of(const std::map<std::string, Value> &choices) {
  std::vector<std::string> keys;
  for (const auto &each : choices) {
    keys.push_back(each.first);
  }
  return keys;
}

// Option values checked as a user reads them: one line saying what was wanted, never NaN, never
// a range up to the largest double spelt out.
CLI::Validator positive_number() {
  return CLI::Validator(
      [](std::string &text) {
        double value = 0.0;
        return parse_number(text, &value) && std::isfinite(value) && value > 0.0
                   ? std::string()
                   : "'" + text + "' is not a positive number";
      },
      "POSITIVE");
}

CLI::Validator number_from(double low, double high) {
  return CLI::Validator(
      [low, high](std::string &text) {
        double value = 0.0;
        return parse_number(text, &value) && value >= low && value <= high
                   ? std::string()
                   : "'" + text + "' is not a number from " + short_number(low) + " to " +
                         short_number(high);
      },
      "FLOAT in [" + short_number(low) + " - " + short_number(high) + "]");
}

CLI::Validator whole_number_from(long long low) {
  return CLI::Validator(
      [low](std::string &text) {
        int64_t value = 0;
        return parse_integer(text, &value) && value >= low && value <= INT32_MAX
                   ? std::string()
                   : "'" + text + "' is not a whole number of " + std::to_string(low) +
                         " or more";
      },
      "INT >= " + std::to_string(low));
}

// Ends the parse with `status`, `out` for standard output.
CommandLine &finished(CommandLine *line, int status, const std::string &out) {
  line->finished = true;
  line->status = status;
  line->out = out;
  return *line;
}

// Ends the parse with a usage fault.
CommandLine &usage_fault(CommandLine *line, const std::string &message) {
  line->error = message;
  return finished(line, kUsage, "");
}

// usage_fault, for a check that answers whether the command line stands.
bool refused(CommandLine *line, const std::string &message) {
  usage_fault(line, message);
  return false;
}

// The options' values as CLI11 fills them in, before they become the request's, and the options
// the checks after parsing ask about.
struct ParsedOptions {
  std::string fit = "robust", pivot = "centroid", format = "auto", report = "text", up = "z";
  std::string plane_points;
  bool no_progress = false, no_sync = false;
  CLI::Option *output = nullptr, *output_dir = nullptr, *in_place = nullptr;
  CLI::Option *save_transform = nullptr, *transform = nullptr, *cameras = nullptr;
  CLI::Option *cameras_output = nullptr, *map = nullptr, *fit_option = nullptr;
  CLI::Option *up_option = nullptr, *plane_points_option = nullptr;
};

const std::map<std::string, FitMethod> kFits{{"robust", FitMethod::kRobust},
                                             {"all", FitMethod::kAll}};
const std::map<std::string, PivotChoice> kPivots{{"centroid", PivotChoice::kCentroid},
                                                 {"origin", PivotChoice::kOrigin}};
const std::map<std::string, ReportForm> kReports{{"text", ReportForm::kText},
                                                 {"json", ReportForm::kJson}};

// --format's values, from the format table.
const std::map<std::string, OutputChoice> &format_choices() {
  static const std::map<std::string, OutputChoice> choices = [] {
    const std::vector<std::pair<std::string, OutputChoice>> options = output_format_options();
    return std::map<std::string, OutputChoice>(options.begin(), options.end());
  }();
  return choices;
}

// The inputs, the outputs and what goes with them: saved transforms, cameras.
void add_file_options(CLI::App &app, LevellingRequest &request, ParsedOptions *o) {
  app.add_option("inputs", request.inputs,
                 "The cloud: " + read_format_names() +
                     " (text: x y z a line; PLY: Gaussian splats too), or a COLMAP model "
                     "folder; - reads standard input. Several files are levelled as one cloud, "
                     "each by the same transform, into --output-dir (or --in-place)")
      ->required();
  o->output = app.add_option(
      "-o,--output", request.output,
      "Where the levelled cloud goes (- for standard output); without it only the report");
  o->output_dir = app.add_option(
      "--output-dir", request.output_dir,
      "Where each input's levelled cloud goes, under its own name (several inputs)");
  o->output_dir->excludes(o->output);
  o->in_place =
      app.add_flag("--in-place", request.in_place, "Level the input files themselves");
  o->in_place->excludes(o->output)->excludes(o->output_dir);
  app.add_option("-j,--jobs", request.jobs,
                 "Files read and written at once (several inputs; default: one for each core)")
      ->check(whole_number_from(1));
  o->save_transform = app.add_option("--save-transform", request.save_transform,
                 "Write the levelling's 4 x 4 matrix (input to output, row-major, four lines) "
                 "to this file");
  o->transform = app.add_option(
      "--transform", request.transform,
      "Level with a saved 4 x 4 matrix instead of fitting (one pass over each file)");
  app.add_flag("--inverse", request.inverse, "Apply the saved matrix's inverse (undo a levelling)")
      ->needs(o->transform);
  o->cameras = app.add_option(
      "--cameras", request.cameras,
      "The reconstruction's cameras (COLMAP images.bin or images.txt, cameras.json, "
      "transforms.json): up is the direction their right axes are perpendicular to (else "
      "their mean image-up) unless --up says otherwise, and the plane "
      "is oriented so that they are above it");
  o->cameras_output =
      app.add_option("--cameras-output", request.cameras_output,
                     "Write the cameras moved with the cloud, in their own format, to this file");
  o->cameras_output->needs(o->cameras);
}

// The map and the floor survey.
void add_survey_options(CLI::App &app, LevellingRequest &request, ParsedOptions *o) {
  o->map = app.add_option(
      "--map", request.map,
      "Draw the levelled cloud from above, coloured by the height above the plane, with a "
      "colour bar and a histogram, as this PNG file");
  app.add_option("--map-cell", request.map_cell,
                 "The map's cell side in the cloud's units (default: 400 cells across the "
                 "cloud, drawn about 1200 pixels wide)")
      ->check(positive_number())
      ->needs(o->map);
  const std::map<std::string, YawChoice> yaws{{"keep", YawChoice::kKeep},
                                              {"walls", YawChoice::kWalls}};
  app.add_option("--yaw", request.yaw,
                 "After levelling, keep the heading (keep) or turn about up so that the walls "
                 "run along x and y (walls)")
      ->transform(CLI::CheckedTransformer(yaws, CLI::ignore_case))
      ->excludes(o->transform);
  app.add_option("--tolerance", request.map_tolerance,
                 "Colour the map's cells within +-VALUE of the plane (the cloud's units) as "
                 "passing and those beyond as above or below, counted in its legend")
      ->check(positive_number())
      ->needs(o->map);
  app.add_flag(
      "--flatness", request.flatness,
      "Measure the levelled floor's flatness (the points within 5 cm of its plane): ASTM "
      "E1155's FF and FL numbers and DIN 18202's largest gaps, in the report");
  app.add_option("--units", request.units,
                 "The cloud's units, for --flatness and the map's labels: m, cm, mm, ft or "
                 "us-ft (default: those its files say; LAS coordinate systems say them)")
      ->check(CLI::IsMember({"m", "cm", "mm", "ft", "us-ft"}));
}

// How the plane is found and turned.
void add_fit_options(CLI::App &app, LevellingRequest &request, ParsedOptions *o) {
  app.add_flag("--fit-only", request.fit_only,
               "Fit and report (and --save-transform) without writing any cloud")
      ->excludes(o->output)
      ->excludes(o->output_dir)
      ->excludes(o->in_place)
      ->excludes(o->transform);
  o->fit_option = app.add_option("--fit", o->fit,
                 "robust: the largest plane near the up direction, refitted to its inliers; "
                 "all: the orthogonal fit of every point")
      ->check(CLI::IsMember(keys_of(kFits)))
      ->capture_default_str();
  o->up_option = app.add_option("--up", o->up,
                 "The up direction: x, y, z, -x, -y, -z (write --up=-y), X,Y,Z, or auto (the "
                 "largest plane in any orientation, turned so most other points end above it)")
      ->default_str("z");
  app.add_option("--max-tilt", request.max_tilt_degrees,
                 "Only planes within this many degrees of the up direction count")
      ->check(number_from(0.0, 90.0))
      ->capture_default_str();
  o->plane_points_option = app.add_option(
      "--plane-points", o->plane_points,
      "Level the plane through three points picked on it, \"x,y,z x,y,z x,y,z\" in the "
      "cloud's units, instead of finding one: they end at one height");
  o->plane_points_option->excludes(o->transform);
  app.add_option("--threshold", request.threshold,
                 "The inlier distance in the cloud's units (default: from the data)")
      ->check(positive_number());
  app.add_option("--seed", request.seed, "The seed of the random sample and hypotheses")
      ->capture_default_str();
  app.add_option("--pivot", o->pivot,
                 "Turn about the centroid of the plane's inliers, or the origin")
      ->check(CLI::IsMember(keys_of(kPivots)))
      ->capture_default_str();
}

// How the cloud and the report are written.
void add_writing_options(CLI::App &app, LevellingRequest &request, ParsedOptions *o) {
  app.add_option("--format", o->format,
                 "The output's format; auto: from the output's name (" + readable_extensions() +
                     "), else the input's")
      ->check(CLI::IsMember(keys_of(format_choices())))
      ->capture_default_str();
  app.add_option("--precision", request.precision,
                 "Digits after the decimal point of coordinates written as text (default: as "
                 "many as the input's or its LAS scale has; else the shortest that read back "
                 "the same)")
      ->check(CLI::Range(0, kMaxFixedDecimals));
  app.add_option("--las-scale", request.las_scale,
                 "The resolution of LAS coordinates written from another format (LAS input "
                 "keeps its own)")
      ->check(positive_number())
      ->capture_default_str();
  app.add_flag("-q,--quiet", request.quiet, "Print no report");
  app.add_option("--report", o->report, "The report's form")
      ->check(CLI::IsMember(keys_of(kReports)))
      ->capture_default_str();
  app.add_flag("--no-progress", o->no_progress, "No progress line, even on a terminal");
  app.add_flag("--no-sync", o->no_sync,
               "Rename the output into place without waiting for it to reach the disk");
}

// The parsed options turned into the request, with the checks CLI11 cannot make: false with
// *line finished as a usage fault.
bool finish_request(const ParsedOptions &o, CommandLine *line) {
  LevellingRequest &request = line->request;
  request.fit = kFits.at(o.fit);
  request.pivot = kPivots.at(o.pivot);
  request.format = format_choices().at(o.format);
  request.report = kReports.at(o.report);
  request.progress = !o.no_progress;
  request.sync = !o.no_sync;
  const bool several = request.inputs.size() > 1;
  for (const std::string &input : request.inputs) {
    if (request.in_place && input == "-") {
      return refused(line, "--in-place needs an input file, not standard input");
    }
    if (input.empty()) {
      return refused(line, "an empty input name; use - for standard input");
    }
    if (several && input == "-") {
      return refused(line, "several inputs are files: standard input is not one of them");
    }
  }
  if (o.output->count() > 0 && request.output.empty()) {
    return refused(line, "-o: an empty name; use - for standard output");
  }
  for (const auto &[named, value] : {std::pair<CLI::Option *, const std::string *>{
                                         o.map, &request.map},
                                     {o.output_dir, &request.output_dir},
                                     {o.transform, &request.transform},
                                     {o.cameras, &request.cameras},
                                     {o.cameras_output, &request.cameras_output},
                                     {o.save_transform, &request.save_transform}}) {
    if (named->count() > 0 && value->empty()) {
      return refused(line, named->get_name() + ": an empty name");
    }
  }
  if (several && o.output->count() > 0) {
    return refused(line, "several inputs go to --output-dir (or --in-place), not -o");
  }
  if (o.output_dir->count() > 0 && request.output_dir.empty()) {
    return refused(line, "--output-dir: an empty name");
  }
  if (!parse_up_direction(o.up, &request.up)) {
    return refused(line, "--up: '" + o.up + "' is not x, y, z, -x, -y, -z, X,Y,Z or auto");
  }
  request.up.given = o.up_option->count() > 0;
  if (o.plane_points_option->count() > 0) {
    std::string why;
    if (o.fit_option->count() > 0) {
      return refused(line, "--plane-points names the plane: --fit finds one");
    }
    if (!plane_points_of(o.plane_points, &request.plane_points, &why)) {
      return refused(line, "--plane-points: " + why);
    }
  }
  return true;
}

}  // namespace

const char *const kCommandLineProgram = "levelling-cloud";
const char *const kCommandLineVersion = "levelling-cloud 1.1.0";

CommandLine parse_command_line(const std::vector<std::string> &arguments) {
  CommandLine line;
  CLI::App app{
      "Levels a point cloud: finds its plane (by default the largest plane within --max-tilt "
      "of the up direction, robustly, refitted to all its inliers), prints it and the turn "
      "that brings it level, and writes the cloud turned so that the plane is level, every "
      "point keeping its height above it. It classifies no ground and does not follow the "
      "Earth's curvature: it levels one plane.",
      kCommandLineProgram};
  ParsedOptions options;
  add_file_options(app, line.request, &options);
  add_survey_options(app, line.request, &options);
  add_fit_options(app, line.request, &options);
  add_writing_options(app, line.request, &options);
  app.set_version_flag("--version", kCommandLineVersion);
  app.footer(
      "Examples:\n"
      "  levelling-cloud frame.pcd --up=-y --max-tilt 60 -o frame-level.pcd\n"
      "      A depth camera's frame (y down, looking at the floor): the floor levelled.\n"
      "  levelling-cloud tile.las -o tile-level.las --map tile.png\n"
      "      An aerial tile levelled, with a map of its heights above the ground's plane.\n"
      "  levelling-cloud tiles/*.laz --output-dir levelled --save-transform site.txt\n"
      "      A site's LAZ tiles levelled as one cloud, each by the same transform, into LAZ.");
  // (CLI11 takes the arguments last first.)
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp &e) {
    std::ostringstream out, err;
    line.status = app.exit(e, out, err);
    return finished(&line, line.status, out.str());
  } catch (const CLI::CallForVersion &e) {
    std::ostringstream out, err;
    line.status = app.exit(e, out, err);
    return finished(&line, line.status, out.str());
  } catch (const CLI::ParseError &e) {
    return usage_fault(&line, std::string(e.what()) + " (see --help)");
  }
  finish_request(options, &line);
  return line;
}

bool plane_points_of(const std::string &text, std::vector<double> *points, std::string *why) {
  points->clear();
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    std::replace(word.begin(), word.end(), ',', ' ');
    std::istringstream numbers(word);
    std::string number;
    int in_point = 0;
    for (; numbers >> number; ++in_point) {
      double value = 0.0;
      if (!parse_number(number, &value) || !std::isfinite(value)) {
        *why = "'" + number + "' is not a finite number";
        return false;
      }
      points->push_back(value);
    }
    if (in_point != 3) {
      *why = "'" + word + "' is not x,y,z";
      return false;
    }
  }
  if (points->size() != 9) {
    *why = "three points are needed, \"x,y,z x,y,z x,y,z\", not " +
           std::to_string(points->size() / 3);
    return false;
  }
  const double *p = points->data();
  const double ab[3] = {p[3] - p[0], p[4] - p[1], p[5] - p[2]};
  const double ac[3] = {p[6] - p[0], p[7] - p[1], p[8] - p[2]};
  const double bc[3] = {p[6] - p[3], p[7] - p[4], p[8] - p[5]};
  const double normal[3] = {ab[1] * ac[2] - ab[2] * ac[1], ab[2] * ac[0] - ab[0] * ac[2],
                            ab[0] * ac[1] - ab[1] * ac[0]};
  // The sine of the triangle's largest angle: its area over its two shorter sides.
  double sides[3] = {std::hypot(ab[0], ab[1], ab[2]), std::hypot(ac[0], ac[1], ac[2]),
                     std::hypot(bc[0], bc[1], bc[2])};
  std::sort(sides, sides + 3);
  const double area = std::hypot(normal[0], normal[1], normal[2]);
  if (!(area > std::sin(kLeastPickedAngle) * sides[0] * sides[1])) {
    *why = "the three points lie (nearly) on one line: pick them apart on the plane";
    return false;
  }
  return true;
}

}  // namespace levelling
