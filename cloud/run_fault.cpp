#include "cloud/run_fault.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace levelling {

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

std::string short_number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace levelling
