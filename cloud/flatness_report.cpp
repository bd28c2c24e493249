#include "cloud/flatness_report.h"

#include <cmath>

#include "cloud/levelling_report.h"

namespace levelling {

namespace {

// An F-number as the text says it: "unbounded" for a floor without curvature.
std::string f_number_text(double value) {
  return std::isinf(value) ? std::string("unbounded") : formatted("%.1f", value);
}

// The rows met, "1, 2, 3", or "none".
std::string rows_text(const std::vector<int> &rows) {
  std::string text;
  for (const int row : rows) {
    text += (text.empty() ? "" : ", ") + std::to_string(row);
  }
  return text.empty() ? std::string("none") : text;
}

// A JSON number; an F-number of a floor without curvature is unbounded: a string, "inf".
std::string json_f_number(double value) {
  return std::isinf(value) ? std::string("\"inf\"") : json_number(value);
}

}  // namespace

std::string flatness_text(const FloorFlatness &floor) {
  const FNumbers &f = floor.f_numbers;
  std::string text = "flatness (ASTM E1155): ";
  if (!f.none.empty()) {
    text += "no F-numbers: " + f.none + "\n";
  } else {
    text += "FF " + f_number_text(f.ff) + ", FL " +
            (std::isnan(f.fl) ? std::string("none (no line spans 10 ft)") : f_number_text(f.fl)) +
            " (composite of " + std::to_string(f.lines.size()) + " sample lines, " +
            std::to_string(f.readings) + " readings 12 in apart: " +
            std::to_string(f.curvatures) + " curvatures, " + std::to_string(f.differences) +
            " 10-ft differences; units " + floor.units + ")\n";
  }
  text += "flatness (DIN 18202 table 3, rows of floors met):";
  for (size_t d = 0; d < floor.din_gaps.size(); ++d) {
    const DinGap &gap = floor.din_gaps[d];
    text += (d > 0 ? ";" : "") + std::string(" ") + formatted("%g", gap.distance) + " m: ";
    text += gap.measured == 0 ? std::string("none measured")
                              : formatted("%.1f", gap.largest) + " mm, rows " +
                                    rows_text(gap.rows_met);
  }
  return text + "\n";
}

std::string flatness_json(const FloorFlatness &floor) {
  const FNumbers &f = floor.f_numbers;
  std::string json = "{\"units\": " + json_string(floor.units) +
                     ", \"metres_per_unit\": {\"across\": " + json_number(floor.horizontal) +
                     ", \"up\": " + json_number(floor.vertical) + "}, \"astm_e1155\": {\"ff\": " +
                     json_f_number(f.ff) + ", \"fl\": " + json_f_number(f.fl) +
                     ", \"sample_lines\": " + std::to_string(f.lines.size()) +
                     ", \"readings\": " + std::to_string(f.readings) +
                     ", \"curvatures\": " + std::to_string(f.curvatures) +
                     ", \"differences\": " + std::to_string(f.differences) + ", \"none\": " +
                     (f.none.empty() ? std::string("null") : json_string(f.none)) +
                     ", \"lines\": [";
  for (size_t i = 0; i < f.lines.size(); ++i) {
    const FNumberLine &line = f.lines[i];
    json += std::string(i > 0 ? ", " : "") + "{\"along\": \"" + line.axis + "\", \"at\": " +
            json_number(line.at) + ", \"from\": " + json_number(line.from) +
            ", \"readings\": " + std::to_string(line.readings) +
            ", \"ff\": " + json_f_number(line.ff) + ", \"fl\": " + json_f_number(line.fl) + "}";
  }
  json += "]}, \"din_18202\": [";
  for (size_t d = 0; d < floor.din_gaps.size(); ++d) {
    const DinGap &gap = floor.din_gaps[d];
    json += std::string(d > 0 ? ", " : "") + "{\"distance_m\": " + json_number(gap.distance) +
            ", \"measured\": " + std::to_string(gap.measured) +
            ", \"largest_gap_mm\": " + json_number(gap.largest) + ", \"at\": " +
            (gap.measured > 0 ? "[" + json_number(gap.x) + ", " + json_number(gap.y) + "]"
                              : std::string("null")) +
            ", \"rows_met\": [";
    for (size_t r = 0; r < gap.rows_met.size(); ++r) {
      json += (r > 0 ? ", " : "") + std::to_string(gap.rows_met[r]);
    }
    json += "]}";
  }
  return json + "]}";
}

}  // namespace levelling
