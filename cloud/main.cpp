// levelling-cloud: fits the plane of a point cloud file, prints it with the two angles that
// bring it level, and writes the cloud turned level, every point keeping its height above the
// plane. Two passes over the file (fit, then level and write) keep memory bounded.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "formats/byte_io.h"
#include "formats/cloud_stream.h"
#include "formats/number_text.h"
#include "formats/output_file.h"
#include "plane/cloud_fit.h"
#include "projection/rigid_levelling.h"

#ifdef _WIN32
#include <io.h>
#define levelling_isatty(stream) _isatty(_fileno(stream))
#else
#include <unistd.h>
#define levelling_isatty(stream) isatty(fileno(stream))
#endif

namespace {

using namespace levelling;
namespace fs = std::filesystem;

constexpr const char *kProgram = "levelling-cloud";
constexpr const char *kVersion = "levelling-cloud 1.0.0";
constexpr double kDegreesPerRadian = 57.295779513082320876798;

// The exit statuses, listed in the README.
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

struct Settings {
  std::string input;
  std::string output;
  bool in_place = false;
  std::string pivot = "centroid";
  std::string format = "auto";
  bool quiet = false;
  std::string report = "text";
  bool progress = true;
  bool sync = true;
};

// Says on standard error what went wrong with `file` (none when empty) and returns `status`.
int fail(const std::string &file, const std::string &message, int status) {
  std::fprintf(stderr, "%s: %s%s%s\n", kProgram, file.c_str(), file.empty() ? "" : ": ",
               message.c_str());
  return status;
}

// Removes an unfinished output on a signal that ends the program, then ends it as the signal
// would have.
extern "C" void remove_unfinished_output(int signal_number) {
  const char *path = OutputFile::unfinished_path();
  if (path[0] != '\0') {
    std::remove(path);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// A line on standard error saying how far a pass has come, shown only on a terminal and only
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
    const int shown = std::fprintf(stderr, "\r%s: %s %3d%%", kProgram, pass,
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

// The input, seekable for its second pass: the file itself, or standard input (or any stream
// that is no regular file) spooled to an anonymous temporary file.
struct Input {
  std::FILE *stream = nullptr;
  bool owned = false;
  int64_t size = 0;
  ~Input() {
    if (owned && stream != nullptr) {
      std::fclose(stream);
    }
  }
};

bool open_input(const std::string &name, Input *input, std::string *error) {
  std::error_code code;
  const bool regular = name != "-" && fs::is_regular_file(name, code);
  std::FILE *source = stdin;
  if (name != "-") {
    errno = 0;
    source = std::fopen(name.c_str(), "rb");
    if (source == nullptr) {
      *error = std::strerror(errno != 0 ? errno : ENOENT);
      return false;
    }
  }
  if (regular) {
    input->stream = source;
    input->owned = true;
    input->size = int64_t(fs::file_size(name, code));
    return true;
  }
  errno = 0;
  std::FILE *spool = std::tmpfile();
  if (spool == nullptr) {
    *error = std::string("cannot spool the input: ") + std::strerror(errno);
    if (source != stdin) {
      std::fclose(source);
    }
    return false;
  }
  ByteReader reader(source);
  ByteWriter writer(spool);
  while (reader.fill(1) > 0) {
    writer.write(reader.data(), reader.available());
    input->size += int64_t(reader.available());
    reader.consume(reader.available());
  }
  const int read_error = reader.error();
  const bool written = writer.flush();
  if (source != stdin) {
    std::fclose(source);
  }
  if (read_error != 0 || !written) {
    *error = read_error != 0 ? std::strerror(read_error)
                             : std::string("cannot spool the input: ") +
                                   std::strerror(writer.error());
    std::fclose(spool);
    return false;
  }
  std::rewind(spool);
  input->stream = spool;
  input->owned = true;
  return true;
}

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

bool has_extension(const std::string &name, std::initializer_list<const char *> extensions) {
  std::string extension = fs::path(name).extension().string();
  for (char &c : extension) {
    c = char(std::tolower(static_cast<unsigned char>(c)));
  }
  for (const char *each : extensions) {
    if (extension == each) {
      return true;
    }
  }
  return false;
}

// The output's format: as --format says, else as the output's name says, else the input's.
CloudFormat output_format(const Settings &settings, const std::string &output, CloudFormat input) {
  const bool input_ply = input != CloudFormat::kText;
  std::string format = settings.format;
  if (format == "auto") {
    format = has_extension(output, {".ply"})                               ? "ply"
             : has_extension(output, {".xyz", ".txt", ".csv", ".pts", ".asc"}) ? "text"
                                                                             : "same";
  }
  if (format == "text") {
    return CloudFormat::kText;
  }
  if (format == "ply") {
    return input_ply ? input : CloudFormat::kPlyBinaryLittleEndian;
  }
  if (format == "ply-ascii") {
    return CloudFormat::kPlyAscii;
  }
  if (format == "ply-binary") {
    return CloudFormat::kPlyBinaryLittleEndian;
  }
  if (format == "ply-binary-be") {
    return CloudFormat::kPlyBinaryBigEndian;
  }
  return input;
}

// `text` as a JSON string, quotes included.
std::string json_string(const std::string &text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(static_cast<unsigned char>(c)));
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string number(double value) {
  char text[kNumberTextSize];
  return std::string(text, format_number(value, text));
}

void print_report(std::FILE *to, const Settings &settings, const std::string &output,
                  const StreamResult &read, const CloudPlane &plane,
                  const RigidLevelling &levelling) {
  const double about_x = levelling.angle_x * kDegreesPerRadian;
  const double about_y = levelling.angle_y * kDegreesPerRadian;
  if (settings.report == "json") {
    std::fprintf(to,
                 "{\"input\": %s, \"format\": \"%s\", \"points\": %lld, \"normals\": %s, "
                 "\"plane\": {\"a\": %s, \"b\": %s, \"c\": %s}, \"rms\": %s, "
                 "\"angles_degrees\": {\"about_x\": %s, \"about_y\": %s}, "
                 "\"pivot\": [%s, %s, %s], \"output\": %s}\n",
                 json_string(settings.input).c_str(), cloud_format_name(read.format),
                 static_cast<long long>(plane.count), read.has_normals ? "true" : "false",
                 number(plane.a).c_str(), number(plane.b).c_str(), number(plane.c).c_str(),
                 number(plane.rms).c_str(), number(about_x).c_str(), number(about_y).c_str(),
                 number(levelling.pivot[0]).c_str(), number(levelling.pivot[1]).c_str(),
                 number(levelling.pivot[2]).c_str(),
                 output.empty() ? "null" : json_string(output).c_str());
    return;
  }
  std::fprintf(to, "%s: %lld points (%s%s)\n", settings.input.c_str(),
               static_cast<long long>(plane.count), cloud_format_name(read.format),
               read.has_normals ? ", with normals" : "");
  std::fprintf(to, "plane: z = a*x + b*y + c with a = %.9g, b = %.9g, c = %.9g\n", plane.a,
               plane.b, plane.c);
  std::fprintf(to, "rms residual: %.6g\n", plane.rms);
  std::fprintf(to, "levelling angles: about x %.6f degrees, about y %.6f degrees\n", about_x,
               about_y);
  std::fprintf(to, "pivot: %s (%.6f, %.6f, %.6f)\n", settings.pivot.c_str(), levelling.pivot[0],
               levelling.pivot[1], levelling.pivot[2]);
  if (!output.empty()) {
    std::fprintf(to, "levelled: %s\n", output.c_str());
  }
}

int level_cloud(const Settings &settings) {
  const std::string output = settings.in_place ? settings.input : settings.output;
  // The files as messages name them.
  const std::string input_name = settings.input == "-" ? "standard input" : settings.input;
  const std::string output_name = output == "-" ? "standard output" : output;
  std::error_code code;
  if (!output.empty() && output != "-" && settings.input != "-" && !settings.in_place &&
      fs::exists(output, code) && fs::equivalent(settings.input, output, code)) {
    return fail(output_name, "is the input; use --in-place to level the input itself",
                kWouldOverwriteInput);
  }
  Input input;
  std::string error;
  if (!open_input(settings.input, &input, &error)) {
    return fail(input_name, error, kUnreadableInput);
  }
  OutputFile out;
  if (!output.empty() && !out.open(output, &error)) {
    return fail(output_name, error, kUnwritableOutput);
  }
  const bool show_progress = settings.progress && levelling_isatty(stderr);
  Progress progress(show_progress, input.size * (output.empty() ? 1 : 2));

  // Pass 1: the plane.
  CloudFit fit;
  StreamOptions fitting;
  fitting.progress = [&](int64_t bytes) { progress.report("fitting", bytes); };
  const StreamResult read = stream_cloud(
      input.stream,
      [&](PointBlock *block) {
        cloud_fit_add(&fit, int64_t(block->count), block->x.data(), block->y.data(),
                      block->z.data());
      },
      fitting);
  if (read.fault != StreamFault::kNone) {
    progress.clear();
    return fail(input_name, read.message, status_of(read.fault));
  }
  const CloudPlane plane = cloud_fit_solve(fit);
  if (plane.status != CloudFitStatus::kFitted) {
    progress.clear();
    return fail(input_name, std::string("no plane to level: ") +
                                    cloud_fit_status_text(plane.status),
                plane.status == CloudFitStatus::kNonFinite ? kMalformedInput : kNoPlane);
  }
  const double origin[3] = {0.0, 0.0, 0.0};
  const RigidLevelling levelling = settings.pivot == "origin"
                                       ? rigid_levelling(plane.a, plane.b, origin)
                                       : rigid_levelling(plane.a, plane.b, plane.centroid);

  // Pass 2: level and write.
  if (!output.empty()) {
    std::rewind(input.stream);
    ByteWriter writer(out.stream());
    StreamOptions writing;
    writing.out = &writer;
    writing.out_format = output_format(settings, output, read.format);
    writing.text_separator = has_extension(output, {".csv"}) ? ',' : ' ';
    writing.points = read.points;
    writing.progress = [&](int64_t bytes) { progress.report("levelling", input.size + bytes); };
    const StreamResult written = stream_cloud(
        input.stream,
        [&](PointBlock *block) {
          const int64_t n = int64_t(block->count);
          level_points(levelling, n, block->x.data(), block->y.data(), block->z.data(),
                       block->x.data(), block->y.data(), block->z.data());
          if (block->has_normals) {
            turn_directions(levelling, n, block->nx.data(), block->ny.data(), block->nz.data(),
                            block->nx.data(), block->ny.data(), block->nz.data());
          }
        },
        writing);
    progress.clear();
    if (written.fault != StreamFault::kNone) {
      out.abandon();
      return fail(written.fault == StreamFault::kWrite ? output_name : input_name,
                  written.message, status_of(written.fault));
    }
    if (!writer.flush() || !out.commit(&error, settings.sync)) {
      const int reason = writer.error();
      out.abandon();
      return fail(output_name, reason != 0 ? std::strerror(reason) : error, kUnwritableOutput);
    }
  }
  progress.clear();
  if (!settings.quiet) {
    // The report goes where the cloud does not.
    std::FILE *to = output == "-" ? stderr : stdout;
    print_report(to, settings, output, read, plane, levelling);
    if (std::fflush(to) != 0 || std::ferror(to)) {
      return fail("", std::string("cannot write the report: ") + std::strerror(errno),
                  kUnwritableOutput);
    }
  }
  return kLevelled;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{
      "Levels a point cloud: fits its plane z = a*x + b*y + c by least squares, prints the "
      "plane and the two angles (about x, then y) that bring it level, and writes the cloud "
      "turned so that the plane is level, every point keeping its height above it.",
      kProgram};
  Settings settings;
  app.add_option("input", settings.input,
                 "The cloud: PLY (ascii or binary) or text (x y z a line); - reads standard input")
      ->required();
  CLI::Option *output = app.add_option(
      "-o,--output", settings.output,
      "Where the levelled cloud goes (- for standard output); without it only the report");
  app.add_flag("--in-place", settings.in_place, "Level the input file itself")->excludes(output);
  app.add_option("--pivot", settings.pivot, "Turn about the points' centroid or the origin")
      ->check(CLI::IsMember({"centroid", "origin"}))
      ->capture_default_str();
  app.add_option("--format", settings.format,
                 "The output's format; auto: from the output's name (.ply, .xyz .txt .csv .pts "
                 ".asc), else the input's")
      ->check(CLI::IsMember({"auto", "text", "ply", "ply-ascii", "ply-binary", "ply-binary-be"}))
      ->capture_default_str();
  app.add_flag("-q,--quiet", settings.quiet, "Print no report");
  app.add_option("--report", settings.report, "The report's form")
      ->check(CLI::IsMember({"text", "json"}))
      ->capture_default_str();
  bool no_progress = false;
  app.add_flag("--no-progress", no_progress, "No progress line, even on a terminal");
  bool no_sync = false;
  app.add_flag("--no-sync", no_sync,
               "Rename the output into place without waiting for it to reach the disk");
  app.set_version_flag("--version", kVersion);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n", kProgram, e.what());
    return kUsage;
  }
  settings.progress = !no_progress;
  settings.sync = !no_sync;
  if (settings.in_place && settings.input == "-") {
    return fail("", "--in-place needs an input file, not standard input", kUsage);
  }
  for (int signal_number : {SIGINT, SIGTERM}) {
    std::signal(signal_number, remove_unfinished_output);
  }
#ifdef SIGHUP
  std::signal(SIGHUP, remove_unfinished_output);
#endif
  try {
    return level_cloud(settings);
  } catch (const std::exception &e) {
    return fail("", std::string("unexpected fault: ") + e.what(), kInternalFault);
  }
}
