// What the report says of a floor's flatness (--flatness), as text lines and as a JSON object.
#ifndef LEVELLING_CLOUD_FLATNESS_REPORT_H
#define LEVELLING_CLOUD_FLATNESS_REPORT_H

#include <string>

#include "flatness/floor_flatness.h"

namespace levelling {

// The lines of the text report, each ending with '\n': the composite F-numbers with their
// counts (or why there are none), then DIN 18202's largest gap at each distance and the rows
// of its table 3 it meets.
std::string flatness_text(const FloorFlatness &floor);

// The JSON object: units, the F-numbers (composite, counts, each sample line) and the gaps.
std::string flatness_json(const FloorFlatness &floor);

}  // namespace levelling

#endif
