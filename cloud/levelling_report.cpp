#include "cloud/levelling_report.h"

#include <cmath>
#include <cstdio>

#include "cloud/flatness_report.h"
#include "formats/core/number_text.h"

namespace levelling {

std::string json_number(double value) {
  if (!std::isfinite(value)) {
    return "null";
  }
  char text[kNumberTextSize];
  return std::string(text, format_number(value, text));
}

std::string formatted(const char *format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

namespace {

std::string json_triple(const double (&values)[3]) {
  return "[" + json_number(values[0]) + ", " + json_number(values[1]) + ", " +
         json_number(values[2]) + "]";
}

// The length of the well-formed UTF-8 character at text[i], or 0.
size_t utf8_length(const std::string &text, size_t i) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  const size_t length = lead >= 0xf0 && lead <= 0xf4 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
  if (length == 0 || i + length > text.size()) {
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) {
      return 0;
    }
  }
  return length;
}

}  // namespace

std::string json_string(const std::string &text) {
  std::string quoted = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += char(c);
      ++i;
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
      quoted += escaped;
      ++i;
    } else if (c < 0x80) {
      quoted += char(c);
      ++i;
    } else if (const size_t length = utf8_length(text, i)) {
      quoted.append(text, i, length);
      i += length;
    } else {
      quoted += "\\ufffd";
      ++i;
    }
  }
  return quoted + "\"";
}

std::string report_json(const LevellingReport &r) {
  std::string json = "{\"input\": " + json_string(r.input) + ", \"inputs\": " +
                     std::to_string(r.inputs) + ", \"format\": " + json_string(r.format) +
                     ", \"points\": " + std::to_string(r.points) +
                     ", \"empty_points\": " + std::to_string(r.empty_points) +
                     ", \"normals\": " + (r.normals ? "true" : "false");
  if (r.fitted) {
    json += ", \"fit\": " + json_string(r.fit) + ", \"up\": " + json_string(r.up) +
            ", \"plane\": {\"normal\": " + json_triple(r.normal) +
            ", \"offset\": " + json_number(r.offset);
    if (r.has_slopes) {
      json += ", \"a\": " + json_number(r.a) + ", \"b\": " + json_number(r.b) +
              ", \"c\": " + json_number(r.c);
    }
    const int64_t valid = r.points - r.empty_points;
    json += "}, \"tilt_degrees\": " + json_number(r.tilt_degrees) +
            ", \"inliers\": " + std::to_string(r.inliers) + ", \"inlier_share\": " +
            json_number(valid > 0 ? double(r.inliers) / double(valid) : 0.0) +
            ", \"threshold\": " + json_number(r.threshold) + ", \"rms\": " + json_number(r.rms) +
            ", \"angles_degrees\": {\"about_x\": " + json_number(r.angle_x_degrees) +
            ", \"about_y\": " + json_number(r.angle_y_degrees) + "}, \"pivot\": " +
            json_triple(r.pivot) + ", \"pivot_kind\": " + json_string(r.pivot_name);
  } else {
    json += ", \"transform\": " + json_string(r.transform) +
            ", \"inverse\": " + (r.inverse ? "true" : "false");
  }
  json += ", \"matrix\": [";
  for (int row = 0; row < 4; ++row) {
    json += row > 0 ? ", [" : "[";
    for (int col = 0; col < 4; ++col) {
      json += (col > 0 ? ", " : "") + json_number(r.matrix[row][col]);
    }
    json += "]";
  }
  json += "], \"saved_transform\": " +
          (r.saved_transform.empty() ? std::string("null") : json_string(r.saved_transform)) +
          ", \"map\": " + (r.map.empty() ? std::string("null") : json_string(r.map)) +
          ", \"map_range\": " + json_number(r.map_range) +
          ", \"map_unit\": " + (r.map.empty() ? std::string("null") : json_string(r.map_unit)) +
          ", \"map_scale_bar\": " + json_number(r.map_scale_bar) +
          ", \"map_tolerance\": " +
          (r.map_tolerance > 0.0
               ? "{\"tolerance\": " + json_number(r.map_tolerance) + ", \"cells_within\": " +
                     std::to_string(r.map_cells_within) + ", \"cells_above\": " +
                     std::to_string(r.map_cells_above) + ", \"cells_below\": " +
                     std::to_string(r.map_cells_below) + "}"
               : std::string("null")) +
          ", \"flatness\": " + (r.flatness ? flatness_json(r.floor) : std::string("null")) +
          ", \"cameras\": " + std::to_string(r.cameras) +
          ", \"cameras_agreeing\": " + std::to_string(r.cameras_agreeing) +
          ", \"cameras_up_from\": " +
          (r.cameras_up_from.empty() ? std::string("null") : json_string(r.cameras_up_from)) +
          ", \"cameras_up_spread_degrees\": " +
          (r.cameras_up_from.empty() ? std::string("null")
                                     : json_number(r.cameras_up_spread_degrees)) +
          ", \"yaw_degrees\": " + (r.yawed ? json_number(r.yaw_degrees) : std::string("null")) +
          ", \"walls_share\": " +
          (r.yawed && r.vertical_points > 0
               ? json_number(double(r.wall_points) / double(r.vertical_points))
               : std::string("null")) +
          ", \"cameras_output\": " +
          (r.cameras_output.empty() ? std::string("null") : json_string(r.cameras_output)) +
          ", \"output\": " +
          (r.outputs.size() == 1 ? json_string(r.outputs[0]) : std::string("null")) +
          ", \"outputs\": [";
  for (size_t i = 0; i < r.outputs.size(); ++i) {
    json += (i > 0 ? ", " : "") + json_string(r.outputs[i]);
  }
  json += "], \"note\": " + (r.note.empty() ? std::string("null") : json_string(r.note)) + "}\n";
  return json;
}

std::string report_text(const LevellingReport &r) {
  const int64_t valid = r.points - r.empty_points;
  std::string text = r.input + ": " + std::to_string(r.points) + " points (" + r.format +
                     (r.normals ? ", with normals" : "") + ")";
  if (r.inputs > 1) {
    text = std::to_string(r.inputs) + " clouds levelled as one (" + r.input + "): " +
           std::to_string(r.points) + " points";
  }
  if (r.empty_points > 0) {
    text += ", " + std::to_string(r.empty_points) + " of them empty (NaN), carried through";
  }
  text += "\n";
  if (r.fitted) {
    text += "plane: normal (" + formatted("%.9g", r.normal[0]) + ", " +
            formatted("%.9g", r.normal[1]) + ", " + formatted("%.9g", r.normal[2]) +
            "), offset " + formatted("%.9g", r.offset) + " (" +
            (r.fit == "points" ? std::string("through the three points picked")
                               : r.fit + " fit") +
            ", up " + r.up + ")\n";
    if (r.has_slopes) {
      text += "slopes: z = a*x + b*y + c with a = " + formatted("%.9g", r.a) + ", b = " +
              formatted("%.9g", r.b) + ", c = " + formatted("%.9g", r.c) + "\n";
    }
    text += "tilt before levelling: " + formatted("%.4f", r.tilt_degrees) + " degrees from " +
            (r.up == "auto" ? std::string("+z") : r.up) + "\n";
    if (r.fit != "points") {  // (a plane picked by three points has no inliers of its own)
      text += "inliers: " + std::to_string(r.inliers) + " of " + std::to_string(valid) + " (" +
              formatted("%.1f", valid > 0 ? 100.0 * double(r.inliers) / double(valid) : 0.0) +
              "%)";
      text += r.threshold > 0.0 ? " within " + formatted("%.6g", r.threshold) + "\n" : "\n";
      text += "rms distance of the inliers: " + formatted("%.6g", r.rms) + "\n";
    }
    text += "levelling angles: about x " + formatted("%.6f", r.angle_x_degrees) +
            " degrees, about y " + formatted("%.6f", r.angle_y_degrees) + " degrees\n";
    text += "pivot: " + r.pivot_name + " (" + formatted("%.6f", r.pivot[0]) + ", " +
            formatted("%.6f", r.pivot[1]) + ", " + formatted("%.6f", r.pivot[2]) + ")\n";
  } else {
    text += "transform: " + r.transform + (r.inverse ? " (its inverse)" : "") + "\n";
  }
  text += "matrix (input to output):\n";
  for (const auto &row : r.matrix) {
    text += " ";
    for (double value : row) {
      text += " " + formatted("%.12g", value);
    }
    text += "\n";
  }
  if (!r.saved_transform.empty()) {
    text += "transform saved: " + r.saved_transform + "\n";
  }
  if (!r.map.empty()) {
    text += "map: " + r.map + " (heights in " + r.map_unit + " above the plane, colours from -" +
            formatted("%.6g", r.map_range) + " to +" + formatted("%.6g", r.map_range) +
            "; scale bar " + formatted("%.6g", r.map_scale_bar) + " " + r.map_length_unit +
            ")\n";
    if (r.map_tolerance > 0.0) {
      const int64_t cells = r.map_cells_within + r.map_cells_above + r.map_cells_below;
      text += "map tolerance +-" + formatted("%.6g", r.map_tolerance) + " " + r.map_unit + ": " +
              std::to_string(r.map_cells_within) + " of " + std::to_string(cells) +
              " cells within (" +
              formatted("%.1f", cells > 0 ? 100.0 * double(r.map_cells_within) / double(cells)
                                          : 0.0) +
              "%), " + std::to_string(r.map_cells_above) + " above, " +
              std::to_string(r.map_cells_below) + " below\n";
    }
  }
  if (r.yawed) {
    text += "yaw: turned " + formatted("%.4f", r.yaw_degrees) +
            " degrees about +z so that the walls run along x and y (" +
            std::to_string(r.wall_points) + " of the " + std::to_string(r.vertical_points) +
            " sample points on vertical surfaces face them)\n";
  }
  if (r.flatness) {
    text += flatness_text(r.floor);
  }
  if (r.cameras > 0 && r.fitted) {
    text += "cameras: " + std::to_string(r.cameras_agreeing) + " of " +
            std::to_string(r.cameras) +
            " above the plane, their image up toward it\n";
    if (r.cameras_up_from == "right axes") {
      text += "cameras' up: the direction their right axes are perpendicular to (within " +
              formatted("%.2f", r.cameras_up_spread_degrees) + " degrees)\n";
    } else if (!r.cameras_up_from.empty()) {
      text += "cameras' up: their mean image-up (their right axes tell none; the image-ups " +
              formatted("%.2f", r.cameras_up_spread_degrees) + " degrees apart)\n";
    }
    if (2 * r.cameras_agreeing <= r.cameras) {
      text += "warning: most cameras do not agree with the plane: the cloud may come out upside "
              "down or levelled on another plane (--up, --max-tilt)\n";
    }
  }
  if (!r.cameras_output.empty()) {
    text += "cameras levelled: " + r.cameras_output + "\n";
  }
  for (const std::string &output : r.outputs) {
    text += "levelled: " + output + "\n";
  }
  if (!r.note.empty()) {
    text += "note: " + r.note + "\n";
  }
  return text;
}

}  // namespace levelling
