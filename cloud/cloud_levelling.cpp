#include "cloud/cloud_levelling.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "cloud/levelling_report.h"
#include "formats/byte_io.h"
#include "formats/cloud_stream.h"
#include "formats/format_table.h"
#include "formats/input_file.h"
#include "formats/output_file.h"
#include "plane/cloud_fit.h"
#include "plane/orthogonal_fit.h"
#include "plane/plane_detection.h"
#include "projection/rigid_levelling.h"

#include <unistd.h>

namespace levelling {

namespace {

namespace fs = std::filesystem;

constexpr double kDegreesPerRadian = 57.295779513082320876798;
// The least share of the points the levelled plane must hold.
constexpr double kMaterialShare = 0.05;
// Streaming refits of the plane to every inlier: at most this many passes, and no more once
// the inliers change by less than kSettledChange (a share of them, measured on the sample).
constexpr int kMaxRefitPasses = 3;
constexpr double kSettledChange = 1e-3;

// A line on standard error saying how far the work has come, shown only on a terminal and only
// once the work has taken a second.
class Progress {
 public:
  Progress(bool enabled, int64_t total) : enabled_(enabled), total_(total) {}
  ~Progress() { clear(); }

  void report(const char *pass, int64_t done) {
    if (!enabled_ || total_ <= 0) {
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200)) {
      return;
    }
    last_ = now;
    const int shown = std::fprintf(stderr, "\rlevelling-cloud: %s %3d%%", pass,
                                   int(100.0 * double(done) / double(total_)));
    width_ = shown > width_ ? shown : width_;
    std::fflush(stderr);
  }

  void clear() {
    if (width_ > 0) {
      std::fprintf(stderr, "\r%*s\r", width_, "");
      width_ = 0;
    }
  }

 private:
  bool enabled_;
  int64_t total_;
  int width_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_ = start_;
};

int status_of(StreamFault fault) {
  switch (fault) {
    case StreamFault::kNone:
      return kLevelled;
    case StreamFault::kRead:
      return kUnreadableInput;
    case StreamFault::kMalformed:
      return kMalformedInput;
    case StreamFault::kUnsupported:
      return kUnsupportedInput;
    case StreamFault::kWrite:
      return kUnwritableOutput;
  }
  return kInternalFault;
}

// A comma-separated text file, by its name.
bool is_csv(const std::string &name) {
  std::string extension = fs::path(name).extension().string();
  for (char &c : extension) {
    c = char(std::tolower(static_cast<unsigned char>(c)));
  }
  return extension == ".csv";
}

// The output's format as far as it can be told before reading the input: from the request,
// else from the output's name by the format table; kAuto (the input's own) for a name without
// an extension. False, with the status and the message, for a name whose extension is of no
// format written here.
bool output_choice(OutputFormatChoice requested, const std::string &output,
                   OutputFormatChoice *choice, int *status, std::string *message) {
  *choice = requested;
  if (requested != OutputFormatChoice::kAuto || output.empty() || output == "-") {
    return true;
  }
  bool has_extension = false;
  const FormatRow *row = format_of_name(output, &has_extension);
  if (!has_extension) {
    return true;
  }
  if (row == nullptr) {
    *status = kUsage;
    *message = "an extension of no format this program writes (" + readable_extensions() +
               "); name the format with --format";
    return false;
  }
  if (row->stream == nullptr) {
    *status = kUnsupportedInput;
    *message = refusal_of(*row, false);
    return false;
  }
  *choice = row->stream == stream_ply_cloud   ? OutputFormatChoice::kPly
            : row->stream == stream_pcd_cloud ? OutputFormatChoice::kPcd
            : row->stream == stream_las_cloud ? OutputFormatChoice::kLas
                                              : OutputFormatChoice::kText;
  return true;
}

// The output's format once the input's is known.
CloudFormat output_format(OutputFormatChoice choice, CloudFormat input) {
  switch (choice) {
    case OutputFormatChoice::kText:
      return CloudFormat::kText;
    case OutputFormatChoice::kPly:
      return family_of(input) == CloudFamily::kPly ? input : CloudFormat::kPlyBinaryLittleEndian;
    case OutputFormatChoice::kPlyAscii:
      return CloudFormat::kPlyAscii;
    case OutputFormatChoice::kPlyBinary:
      return CloudFormat::kPlyBinaryLittleEndian;
    case OutputFormatChoice::kPlyBinaryBigEndian:
      return CloudFormat::kPlyBinaryBigEndian;
    case OutputFormatChoice::kPcd:
      return family_of(input) == CloudFamily::kPcd ? input : CloudFormat::kPcdBinary;
    case OutputFormatChoice::kPcdAscii:
      return CloudFormat::kPcdAscii;
    case OutputFormatChoice::kPcdBinary:
      return CloudFormat::kPcdBinary;
    case OutputFormatChoice::kPcdBinaryCompressed:
      return CloudFormat::kPcdBinaryCompressed;
    case OutputFormatChoice::kLas:
      return CloudFormat::kLas;
    case OutputFormatChoice::kAuto:
      break;
  }
  return input;
}

// `text` with every byte that is not printable (control bytes, DEL) written as \xNN, so that a
// message quoting a file cannot move the terminal's cursor or hide in a log.
std::string printable(const std::string &text) {
  std::string shown;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", unsigned(byte));
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

LevellingOutcome failure(const std::string &file, const std::string &message, int status) {
  LevellingOutcome outcome;
  outcome.status = status;
  outcome.message = printable(file.empty() ? message : file + ": " + message);
  return outcome;
}

// The --max-tilt to suggest for a plane tilted `tilt` radians: half a degree more, rounded up
// to whole degrees (the refit on every inlier may tilt it a hair further), at most 90.
int suggested_max_tilt(double tilt) {
  return std::min(90, int(std::ceil(tilt * kDegreesPerRadian + 0.5)));
}

std::string percent(double share) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f%%", 100.0 * share);
  return text;
}

std::string degrees_text(double radians, const char *format) {
  char text[32];
  std::snprintf(text, sizeof text, format, radians * kDegreesPerRadian);
  return text;
}

// Visits the valid points of each block: those of an empty point (all NaN) are left out,
// counted in *empty.
class ValidPoints {
 public:
  template <typename Use>
  void visit(const PointBlock &block, int64_t *empty, const Use &use) {
    const size_t n = block.count;
    size_t first_empty = 0;
    while (first_empty < n && block.x[first_empty] == block.x[first_empty]) {
      ++first_empty;
    }
    if (first_empty == n) {
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

// The plane found and what it rests on.
struct FoundPlane {
  OrthogonalPlane plane;  // normal oriented up
  int64_t inliers = 0;
  double threshold = 0.0;
  double tilt = 0.0;  // radians from up (from +z without one)
};

// Turns `plane`'s normal to the side of `toward` (no change when perpendicular).
void orient(OrthogonalPlane *plane, const double (&toward)[3]) {
  const double dot = plane->normal[0] * toward[0] + plane->normal[1] * toward[1] +
                     plane->normal[2] * toward[2];
  if (dot < 0.0) {
    for (double &each : plane->normal) {
      each = -each;
    }
    plane->offset = -plane->offset;
    plane->has_slopes = false;
    plane->a = plane->b = plane->c = 0.0;
  }
}

double angle_between(const double (&a)[3], const double (&b)[3]) {
  const double la = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  const double lb = std::sqrt(b[0] * b[0] + b[1] * b[1] + b[2] * b[2]);
  const double cosine = (a[0] * b[0] + a[1] * b[1] + a[2] * b[2]) / (la * lb);
  return std::acos(std::fmax(-1.0, std::fmin(1.0, cosine)));
}

// Whether the input is written as text (a text cloud, an ASCII PLY file), which is slow to
// parse: its points are then kept in binary for the refit passes. Leaves the stream at its start.
bool written_as_text(std::FILE *input) {
  char first[kSniffBytes];
  const size_t got = std::fread(first, 1, sizeof first, input);
  std::rewind(input);
  const FormatRow *row =
      recognise_format(reinterpret_cast<const unsigned char *>(first), got);
  if (row == nullptr) {
    return false;
  }
  const std::string_view start(first, got);
  return row->stream == stream_text_cloud ||
         (row->stream == stream_ply_cloud && start.find("\nformat ascii ") != start.npos);
}

// The valid points of a text input, kept as doubles in an anonymous file while the first pass
// reads them, so that the refit passes read them back without parsing the text again. Should a
// write fail (a full disk), the spool is dropped and the refit passes read the input itself.
class PointSpool {
 public:
  PointSpool() {
    std::string error;
    file_ = anonymous_temporary_file(&error);
    if (file_ != nullptr) {
      writer_.reset(new ByteWriter(file_));
    }
  }
  ~PointSpool() {
    writer_.reset();
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }
  PointSpool(const PointSpool &) = delete;
  PointSpool &operator=(const PointSpool &) = delete;

  void add(int64_t n, const double *x, const double *y, const double *z) {
    if (writer_ == nullptr) {
      return;
    }
    for (int64_t i = 0; i < n; ++i) {
      const double point[3] = {x[i], y[i], z[i]};
      writer_->write(reinterpret_cast<const char *>(point), sizeof point);
    }
  }

  // Ends the writing; false when the spool cannot be used.
  bool finish() {
    usable_ = writer_ != nullptr && writer_->flush();
    writer_.reset();
    return usable_;
  }
  bool usable() const { return usable_; }

  // Hands the points back, block by block, to use(n, x, y, z); false on a read error.
  template <typename Use>
  bool replay(const Use &use) {
    constexpr size_t kBlock = 65536;
    std::vector<double> interleaved(3 * kBlock), x(kBlock), y(kBlock), z(kBlock);
    std::rewind(file_);
    for (;;) {
      const size_t got = std::fread(interleaved.data(), 3 * sizeof(double), kBlock, file_);
      for (size_t i = 0; i < got; ++i) {
        x[i] = interleaved[3 * i];
        y[i] = interleaved[3 * i + 1];
        z[i] = interleaved[3 * i + 2];
      }
      use(int64_t(got), x.data(), y.data(), z.data());
      if (got < kBlock) {
        return !std::ferror(file_);
      }
    }
  }

 private:
  std::FILE *file_ = nullptr;
  std::unique_ptr<ByteWriter> writer_;
  bool usable_ = false;
};

}  // namespace

bool parse_up_direction(const std::string &text, UpDirection *up) {
  static const char *const kAxes[] = {"x", "y", "z"};
  if (text == "auto") {
    *up = UpDirection();
    up->automatic = true;
    up->name = "auto";
    return true;
  }
  for (int k = 0; k < 3; ++k) {
    for (const char *sign : {"", "+", "-"}) {
      if (text == std::string(sign) + kAxes[k]) {
        *up = UpDirection();
        for (double &each : up->axis) {
          each = 0.0;
        }
        up->axis[k] = sign[0] == '-' ? -1.0 : 1.0;
        up->name = std::string(sign[0] == '-' ? "-" : "+") + kAxes[k];
        return true;
      }
    }
  }
  double values[3];
  const char *at = text.c_str();
  for (int k = 0; k < 3; ++k) {
    char *end = nullptr;
    values[k] = std::strtod(at, &end);
    if (end == at || !std::isfinite(values[k]) || *end != (k < 2 ? ',' : '\0')) {
      return false;
    }
    at = end + 1;
  }
  if (values[0] == 0.0 && values[1] == 0.0 && values[2] == 0.0) {
    return false;
  }
  *up = UpDirection();
  for (int k = 0; k < 3; ++k) {
    up->axis[k] = values[k];
  }
  up->name = "(" + text + ")";
  return true;
}

namespace {

// What a levelling run carries from one phase to the next.
struct Run {
  Run(const LevellingRequest &request_in, const std::string &output_in, InputFile input_in,
      int64_t work)
      : request(request_in),
        output(output_in),
        input_name(request_in.input == "-" ? "standard input" : request_in.input),
        output_name(output_in == "-" ? "standard output" : output_in),
        input(std::move(input_in)),
        progress(request_in.progress && isatty(fileno(stderr)), work) {}

  const LevellingRequest &request;
  std::string output;       // the output's name ("" for none)
  std::string input_name;   // the files as messages name them
  std::string output_name;
  InputFile input;
  Progress progress;
  int64_t done_before = 0;  // bytes of the passes already made, for the progress line
  // The first pass.
  StreamResult read;
  PointSample sample;
  CloudFit all;  // the moments of every point, for the fit of all points
  int64_t empty = 0;
  // The valid points' box: min x, y, z, then max x, y, z.
  double box[6] = {HUGE_VAL, HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  std::unique_ptr<PointSpool> spool;
  double up[3] = {0.0, 0.0, 1.0};
  CloudFormat written = CloudFormat::kText;  // the output's format, once written
};

// The first pass: a uniform sample, the count of empty points, the moments of every point (to
// fit them all) and, for a text input, the points kept in binary. False with the fault.
bool read_first_pass(Run *run, LevellingOutcome *fault) {
  const bool fit_all = run->request.fit == FitMethod::kAll;
  point_sample_start(&run->sample, kDefaultSampleSize, run->request.seed);
  if (!fit_all && written_as_text(run->input.stream())) {
    run->spool.reset(new PointSpool());
  }
  ValidPoints valid;
  StreamOptions first;
  first.progress = [run](int64_t bytes) { run->progress.report("reading", bytes); };
  run->read = stream_cloud(
      run->input.stream(),
      [&](PointBlock *block) {
        valid.visit(*block, &run->empty, [&](int64_t n, const double *x, const double *y,
                                             const double *z) {
          point_sample_add(&run->sample, n, x, y, z);
          if (fit_all) {
            cloud_fit_add(&run->all, n, x, y, z);
          }
          if (run->spool != nullptr) {
            run->spool->add(n, x, y, z);
          }
          const double *columns[3] = {x, y, z};
          for (int k = 0; k < 3; ++k) {
            double low = run->box[k], high = run->box[3 + k];  // no NaN among valid points
            for (int64_t i = 0; i < n; ++i) {
              low = columns[k][i] < low ? columns[k][i] : low;
              high = columns[k][i] > high ? columns[k][i] : high;
            }
            run->box[k] = low;
            run->box[3 + k] = high;
          }
        });
      },
      first);
  if (run->read.fault != StreamFault::kNone) {
    *fault = failure(run->input_name, run->read.message, status_of(run->read.fault));
    return false;
  }
  run->done_before = run->input.size();
  if (run->spool != nullptr && !run->spool->finish()) {
    run->spool.reset();
  }
  return true;
}

// The orthogonal fit of every point, within the tilt limit.
bool fit_every_point(const Run &run, FoundPlane *found, LevellingOutcome *fault) {
  found->plane = orthogonal_fit(run.all);
  if (found->plane.status != OrthogonalFitStatus::kFitted) {
    const bool overflow = found->plane.status == OrthogonalFitStatus::kNonFinite;
    *fault = failure(run.input_name,
                     std::string(overflow ? "cannot fit: " : "no plane to level: ") +
                         orthogonal_fit_status_text(found->plane.status),
                     overflow ? kUnsupportedInput : kNoPlane);
    return false;
  }
  orient(&found->plane, run.up);
  found->inliers = found->plane.count;
  found->tilt = angle_between(found->plane.normal, run.up);
  const double max_tilt = run.request.max_tilt_degrees / kDegreesPerRadian;
  if (!run.request.up.automatic && found->tilt > max_tilt + 1e-12) {
    *fault = failure(run.input_name,
                     "no plane to level: the plane of all points is tilted " +
                         degrees_text(found->tilt, "%.1f") + " degrees from " +
                         run.request.up.name + "; --max-tilt " +
                         std::to_string(suggested_max_tilt(found->tilt)) + " would level it",
                     kNoPlane);
    return false;
  }
  return true;
}

// The plane the sample holds, found robustly within the tilt limit.
bool detect_in_sample(const Run &run, DetectedPlane *detected, LevellingOutcome *fault) {
  // A cloud that no plane can hold says so plainly, before any search: the sample's spread is
  // the cloud's.
  CloudFit sampled;
  cloud_fit_add(&sampled, int64_t(run.sample.x.size()), run.sample.x.data(),
                run.sample.y.data(), run.sample.z.data());
  const OrthogonalPlane whole = orthogonal_fit(sampled);
  if (whole.status == OrthogonalFitStatus::kTooFewPoints ||
      whole.status == OrthogonalFitStatus::kCollinear) {
    *fault = failure(run.input_name,
                     std::string("no plane to level: ") + orthogonal_fit_status_text(whole.status),
                     kNoPlane);
    return false;
  }
  const LevellingRequest &request = run.request;
  const double max_tilt = request.max_tilt_degrees / kDegreesPerRadian;
  DetectionOptions options;
  for (int k = 0; k < 3; ++k) {
    options.up[k] = run.up[k];
  }
  options.any_orientation = request.up.automatic;
  options.max_tilt = max_tilt;
  options.threshold = request.threshold;
  options.seed = request.seed;
  options.min_share = kMaterialShare;
  *detected = detect_plane(run.sample, options);
  switch (detected->status) {
    case DetectionStatus::kFound:
      return true;
    case DetectionStatus::kTooFewPoints:
      *fault = failure(run.input_name, "no plane to level: fewer than 3 points", kNoPlane);
      return false;
    case DetectionStatus::kNoPlane:
      *fault = failure(run.input_name,
                       "no plane to level: no plane holds " + percent(kMaterialShare) +
                           " of the points (noise, or points on a line)",
                       kNoPlane);
      return false;
    case DetectionStatus::kNoPlaneInLimit:
      *fault = failure(run.input_name,
                       "no plane to level within " + degrees_text(max_tilt, "%g") +
                           " degrees of " + request.up.name + ": the largest plane is tilted " +
                           degrees_text(detected->outside_tilt, "%.1f") + " degrees from " +
                           request.up.name + " and holds " + percent(detected->outside_share) +
                           " of the points; --max-tilt " +
                           std::to_string(suggested_max_tilt(detected->outside_tilt)) +
                           " would level it",
                       kNoPlane);
      return false;
  }
  return false;
}

// Passes 2...: the orthogonal fit of every inlier of the whole cloud (from the kept points of a
// text input, else from the input again), repeated while the inliers change materially.
bool refit_to_inliers(Run *run, const DetectedPlane &detected, FoundPlane *found,
                      LevellingOutcome *fault) {
  PlaneBand band;
  for (int k = 0; k < 3; ++k) {
    band.normal[k] = detected.normal[k];
  }
  band.offset = detected.offset;
  band.threshold = detected.threshold;
  found->threshold = detected.threshold;
  for (int pass = 0; pass < kMaxRefitPasses; ++pass) {
    CloudFit inliers;
    int64_t counted = 0;
    const auto refit = [&](int64_t n, const double *x, const double *y, const double *z) {
      counted += plane_band_fit_add(&inliers, band, n, x, y, z);
    };
    if (run->spool == nullptr || !run->spool->replay(refit)) {
      inliers = CloudFit();
      counted = 0;
      std::rewind(run->input.stream());
      const StreamResult again = stream_cloud(
          run->input.stream(),
          [&](PointBlock *block) {
            refit(int64_t(block->count), block->x.data(), block->y.data(), block->z.data());
          },
          StreamOptions());
      if (again.fault != StreamFault::kNone) {
        *fault = failure(run->input_name, again.message, status_of(again.fault));
        return false;
      }
    }
    OrthogonalPlane refitted = orthogonal_fit(inliers);
    if (refitted.status != OrthogonalFitStatus::kFitted) {
      *fault = failure(run->input_name,
                       std::string("no plane to level: its inliers hold none: ") +
                           orthogonal_fit_status_text(refitted.status),
                       kNoPlane);
      return false;
    }
    orient(&refitted, band.normal);
    found->plane = refitted;
    found->inliers = counted;
    PlaneBand next = band;
    for (int k = 0; k < 3; ++k) {
      next.normal[k] = refitted.normal[k];
    }
    next.offset = refitted.offset;
    const double change = plane_band_changes(run->sample, band, next);
    band = next;
    if (change < kSettledChange) {
      break;
    }
  }
  // Oriented as the detected normal was: up, or (with no up direction) toward most points.
  found->tilt = angle_between(found->plane.normal, run->up);
  run->done_before += run->input.size();
  return true;
}

// Levels a block in place: points and normals turned, empty points left as they were, bit for
// bit. `kept` is scratch.
void level_block(const RigidLevelling &levelling, PointBlock *block, std::vector<size_t> *empties,
                 std::vector<double> *kept) {
  const int64_t n = int64_t(block->count);
  empties->clear();
  kept->clear();
  for (size_t i = 0; i < block->count; ++i) {
    if (block->x[i] != block->x[i]) {
      empties->push_back(i);
      kept->insert(kept->end(), {block->x[i], block->y[i], block->z[i]});
      if (block->has_normals) {
        kept->insert(kept->end(), {block->nx[i], block->ny[i], block->nz[i]});
      }
    }
  }
  level_points(levelling, n, block->x.data(), block->y.data(), block->z.data(), block->x.data(),
               block->y.data(), block->z.data());
  if (block->has_normals) {
    turn_directions(levelling, n, block->nx.data(), block->ny.data(), block->nz.data(),
                    block->nx.data(), block->ny.data(), block->nz.data());
  }
  const double *from = kept->data();
  for (size_t i : *empties) {
    block->x[i] = *from++;
    block->y[i] = *from++;
    block->z[i] = *from++;
    if (block->has_normals) {
      block->nx[i] = *from++;
      block->ny[i] = *from++;
      block->nz[i] = *from++;
    }
  }
}

// The last pass: level and write, in a format that holds everything (decided before a byte is
// written), then put the output in place.
bool write_levelled(Run *run, const RigidLevelling &levelling, OutputFormatChoice choice,
                    OutputFile *out, LevellingOutcome *fault) {
  const LevellingRequest &request = run->request;
  const StreamResult &read = run->read;
  const CloudFormat out_format = output_format(choice, read.format);
  run->written = out_format;
  std::string refusal = conversion_refusal(read, out_format);
  if (refusal.empty() && out_format == CloudFormat::kLas && run->empty > 0) {
    refusal = "has " + std::to_string(run->empty) +
              " empty points (no return), which LAS cannot hold; write " +
              cloud_family_name(family_of(read.format)) + " instead";
  }
  if (!refusal.empty()) {
    *fault = failure(run->input_name, refusal, kUnsupportedInput);
    return false;
  }
  std::rewind(run->input.stream());
  StreamResult written;
  bool flushed = false;
  int write_error = 0;
  {
    ByteWriter writer(out->stream());
    StreamOptions writing;
    writing.out = &writer;
    writing.out_format = out_format;
    writing.text_separator = is_csv(run->output) ? ',' : ' ';
    writing.points = read.points;
    const bool decimals_known =
        (read.format == CloudFormat::kText || read.format == CloudFormat::kLas) &&
        !read.text_exponents;
    writing.decimals = request.precision >= 0 ? request.precision
                       : decimals_known       ? read.text_decimals
                                              : -1;
    double motion[4][4];
    levelling_matrix(levelling, motion);
    writing.motion = motion;
    writing.box = run->box[0] <= run->box[3] ? run->box : nullptr;
    writing.las_scale = request.las_scale;
    writing.progress = [run](int64_t bytes) {
      run->progress.report("levelling", run->done_before + bytes);
    };
    std::vector<size_t> empties;
    std::vector<double> kept;
    written = stream_cloud(
        run->input.stream(),
        [&](PointBlock *block) { level_block(levelling, block, &empties, &kept); }, writing);
    if (written.fault == StreamFault::kNone) {
      flushed = writer.flush();
      write_error = writer.error();
    } else {
      writer.discard();  // the stream is abandoned below: nothing more goes into it
    }
  }
  if (written.fault != StreamFault::kNone) {
    out->abandon();
    *fault = failure(written.fault == StreamFault::kWrite ? run->output_name : run->input_name,
                     written.message, status_of(written.fault));
    return false;
  }
  std::string error;
  if (!flushed || !out->commit(&error, request.sync)) {
    out->abandon();
    *fault = failure(run->output_name, write_error != 0 ? std::strerror(write_error) : error,
                     kUnwritableOutput);
    return false;
  }
  return true;
}

LevellingReport report_of(const Run &run, const FoundPlane &found,
                          const RigidLevelling &levelling) {
  const LevellingRequest &request = run.request;
  const OrthogonalPlane &plane = found.plane;
  LevellingReport report;
  report.input = request.input;
  report.format = cloud_format_name(run.read.format);
  report.points = run.read.points;
  report.empty_points = run.empty;
  report.normals = run.read.has_normals;
  report.fit = request.fit == FitMethod::kRobust ? "robust" : "all";
  report.up = request.up.name;
  for (int k = 0; k < 3; ++k) {
    report.normal[k] = plane.normal[k];
    report.pivot[k] = levelling.pivot[k];
  }
  report.offset = plane.offset;
  // The slope form of the oriented normal, when it points up in z.
  report.has_slopes = plane.normal[2] > kVerticalNormalZ;
  if (report.has_slopes) {
    report.a = -plane.normal[0] / plane.normal[2];
    report.b = -plane.normal[1] / plane.normal[2];
    report.c = plane.offset / plane.normal[2];
  }
  report.tilt_degrees = found.tilt * kDegreesPerRadian;
  report.inliers = found.inliers;
  report.threshold = found.threshold;
  report.rms = plane.rms;
  report.angle_x_degrees = levelling.angle_x * kDegreesPerRadian;
  report.angle_y_degrees = levelling.angle_y * kDegreesPerRadian;
  report.pivot_name = request.pivot == PivotChoice::kOrigin ? "origin" : "centroid of the inliers";
  levelling_matrix(levelling, report.matrix);
  report.output = run.output;
  // LAS places its points in a coordinate system its VLRs describe: no longer theirs once turned.
  if (!run.output.empty() && run.read.format == CloudFormat::kLas) {
    report.note = run.written == CloudFormat::kLas
                      ? "the output is in a levelled local frame: its coordinate system's "
                        "description (the VLRs) is kept as it was and no longer describes it"
                      : "the output is in a levelled local frame; the input's VLRs and EVLRs "
                        "(its coordinate system) have no place in " +
                            std::string(cloud_family_name(family_of(run.written)));
  } else if (!run.output.empty() && run.written == CloudFormat::kLas) {
    report.note = "the LAS output has no coordinate system description";
  }
  return report;
}

}  // namespace

LevellingOutcome level_cloud(const LevellingRequest &request) {
  const std::string output = request.in_place ? request.input : request.output;
  const std::string input_name = request.input == "-" ? "standard input" : request.input;
  const std::string output_name = output == "-" ? "standard output" : output;
  std::error_code code;
  if (!output.empty() && output != "-" && request.input != "-" && !request.in_place &&
      fs::exists(output, code) && fs::equivalent(request.input, output, code)) {
    return failure(output_name, "is the input; use --in-place to level the input itself",
                   kWouldOverwriteInput);
  }
  // A .laz file is compressed LAS whatever its first bytes say.
  bool has_extension = false;
  const FormatRow *named = format_of_name(request.input, &has_extension);
  if (named != nullptr && named->stream == nullptr && std::string(named->name) == "LAZ") {
    return failure(input_name, refusal_of(*named, true), kUnsupportedInput);
  }
  OutputFormatChoice choice = request.format;
  int refused_status = kLevelled;
  std::string refusal;
  if (!output.empty() &&
      !output_choice(request.format, output, &choice, &refused_status, &refusal)) {
    return failure(output_name, refusal, refused_status);
  }
  // The output first: one that cannot be written is said before a long input is read.
  OutputFile out;
  std::string error;
  if (!output.empty() && !out.open(output, &error)) {
    return failure(output_name, error, kUnwritableOutput);
  }
  InputFile input;
  if (!input.open(request.input, &error)) {
    return failure(input_name, error, kUnreadableInput);
  }
  const int passes = (request.fit == FitMethod::kRobust ? 2 : 1) + (output.empty() ? 0 : 1);
  const int64_t work = input.size() * passes;  // bytes the passes read, for the progress line
  Run run(request, output, std::move(input), work);
  for (int k = 0; k < 3; ++k) {
    run.up[k] = request.up.automatic ? (k == 2 ? 1.0 : 0.0) : request.up.axis[k];
  }

  LevellingOutcome fault;
  FoundPlane found;
  if (!read_first_pass(&run, &fault)) {
    return fault;
  }
  if (request.fit == FitMethod::kAll) {
    if (!fit_every_point(run, &found, &fault)) {
      return fault;
    }
  } else {
    DetectedPlane detected;
    if (!detect_in_sample(run, &detected, &fault) ||
        !refit_to_inliers(&run, detected, &found, &fault)) {
      return fault;
    }
  }
  const double origin[3] = {0.0, 0.0, 0.0};
  const RigidLevelling levelling = rigid_levelling_from_normal(
      found.plane.normal, request.pivot == PivotChoice::kOrigin ? origin : found.plane.centroid);
  if (!output.empty() && !write_levelled(&run, levelling, choice, &out, &fault)) {
    return fault;
  }
  run.progress.clear();

  LevellingOutcome outcome;
  outcome.report_to_stderr = output == "-";
  if (!request.quiet) {
    const LevellingReport report = report_of(run, found, levelling);
    outcome.report =
        request.report == ReportForm::kJson ? report_json(report) : report_text(report);
  }
  return outcome;
}

}  // namespace levelling
