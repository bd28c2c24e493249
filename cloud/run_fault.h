// How a levelling run says what went wrong: the exit status of a stream's fault, a fault's
// outcome as one printable line, and the numbers its messages show.
#ifndef LEVELLING_CLOUD_RUN_FAULT_H
#define LEVELLING_CLOUD_RUN_FAULT_H

#include <string>

#include "cloud/cloud_levelling.h"
#include "formats/core/cloud_stream.h"

namespace levelling {

constexpr double kDegreesPerRadian = 57.295779513082320876798;

// The exit status of a stream's fault (kLevelled for none).
int status_of(StreamFault fault);

// `text` with every byte that is not printable (control bytes, DEL) written as \xNN, so that a
// message quoting a file cannot move the terminal's cursor or hide in a log.
std::string printable(const std::string &text);

// The outcome of a fault: `status` and the line "FILE: message" ("message" without a file),
// made printable.
LevellingOutcome failure(const std::string &file, const std::string &message, int status);

// The --max-tilt to suggest for a plane tilted `tilt` radians: half a degree more, rounded up
// to whole degrees (the refit on every inlier may tilt it a hair further), at most 90.
int suggested_max_tilt(double tilt);

// A share (0 to 1) as a whole percentage, "79%".
std::string percent(double share);

// A number in its shortest printf %g form ("0.256499", "1e+300").
std::string short_number(double value);

// An angle in radians as degrees, in the printf `format` ("%.1f").
std::string degrees_text(double radians, const char *format);

}  // namespace levelling

#endif
