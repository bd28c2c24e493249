// levelling-cloud's command line: its arguments turned into a LevellingRequest with every check
// the program makes of them. The program and the Python module's level_file both parse with it,
// so an option means the same to either.
#ifndef LEVELLING_CLOUD_COMMAND_LINE_H
#define LEVELLING_CLOUD_COMMAND_LINE_H

#include <string>
#include <vector>

#include "cloud/cloud_levelling.h"

namespace levelling {

// The program's name, as its messages begin, and its version line.
extern const char *const kCommandLineProgram;
extern const char *const kCommandLineVersion;

// A parsed command line: a request to run, or a run already finished (help, version, a usage
// fault) with its status and what it prints.
struct CommandLine {
  LevellingRequest request;
  bool finished = false;
  int status = kLevelled;  // when finished: 0 for help and version, kUsage for a fault
  std::string out;         // when finished: what goes to standard output (help, version)
  std::string error;       // a usage fault's one line, without the program's name
};

// Parses the arguments that follow the program's name ("--up=-y", "scan.ply", ...). Never
// throws for what a user can type; the arguments are not changed.
CommandLine parse_command_line(const std::vector<std::string> &arguments);

// The three points of --plane-points' "x,y,z x,y,z x,y,z" (blanks between points, commas
// within), into *points (9 numbers). False with *why (one line) for another shape, a word that
// is no finite number, or points (nearly) on one line: the largest angle of their triangle
// within kLeastPickedAngle of a straight one.
bool plane_points_of(const std::string &text, std::vector<double> *points, std::string *why);
constexpr double kLeastPickedAngle = 0.5 / 57.295779513082320876798;  // half a degree

}  // namespace levelling

#endif
