#include "formats/e57/e57_scans.h"

#include <algorithm>
#include <cmath>

#include "formats/core/number_text.h"
#include "projection/rigid_levelling.h"

namespace levelling {

namespace {

constexpr int kFloatBits = 64, kSingleBits = 32;
constexpr const char *kCartesian[3] = {"cartesianX", "cartesianY", "cartesianZ"};
constexpr const char *kSpherical[3] = {"sphericalRange", "sphericalAzimuth",
                                       "sphericalElevation"};

// An element's value as a number (an empty element is 0), or `otherwise` when it is missing.
double number_of(const E57Element *element, double otherwise) {
  if (element == nullptr) {
    return otherwise;
  }
  double value = 0.0;
  return parse_number(element->text, &value) ? value : 0.0;
}

bool integer_attribute(const E57Element &element, const char *key, int64_t otherwise,
                       int64_t *value) {
  const std::string *text = element.attribute(key);
  if (text == nullptr) {
    *value = otherwise;
    return true;
  }
  return parse_integer(*text, value);
}

double number_attribute(const E57Element &element, const char *key, double otherwise) {
  const std::string *text = element.attribute(key);
  double value = otherwise;
  return text != nullptr && parse_number(*text, &value) ? value : otherwise;
}

// The bits an integer of [minimum, maximum] takes: ceil(log2(maximum - minimum + 1)).
int bits_of(int64_t minimum, int64_t maximum) {
  const uint64_t range = uint64_t(maximum) - uint64_t(minimum);
  int bits = 0;
  while (bits < 64 && (range >> bits) != 0) {
    ++bits;
  }
  return bits;
}

bool read_field(const E57Element &element, E57Field *field, std::string *message,
                bool *unsupported) {
  field->name = element.name;
  const std::string *type = element.attribute("type");
  const std::string kind = type != nullptr ? *type : "";
  if (kind == "Float") {
    field->kind = E57FieldKind::kFloat;
    const std::string *precision = element.attribute("precision");
    field->single = precision != nullptr && *precision == "single";
    field->bits = field->single ? kSingleBits : kFloatBits;
    return true;
  }
  if (kind == "Integer" || kind == "ScaledInteger") {
    field->kind = kind == "Integer" ? E57FieldKind::kInteger : E57FieldKind::kScaledInteger;
    if (!integer_attribute(element, "minimum", INT64_MIN, &field->minimum) ||
        !integer_attribute(element, "maximum", INT64_MAX, &field->maximum) ||
        field->minimum > field->maximum) {
      *message = "the field " + field->name + "'s minimum and maximum are no integer range";
      return false;
    }
    field->scale = number_attribute(element, "scale", 1.0);
    field->offset = number_attribute(element, "offset", 0.0);
    field->bits = bits_of(field->minimum, field->maximum);
    return true;
  }
  *unsupported = true;
  *message = "the field " + field->name + " of type " + (kind.empty() ? "none" : kind) +
             " (Float, Integer and ScaledInteger are read)";
  return false;
}

// The pose of a scan or image element: the identity where it has none, a missing component
// as E57 defaults it.
void read_pose(const E57Element &child, double (&pose)[7]) {
  const E57Element *element = child.child("pose");
  if (element == nullptr) {
    return;
  }
  const E57Element *rotation = element->child("rotation");
  const E57Element *translation = element->child("translation");
  const char *axes[3] = {"x", "y", "z"};
  for (int k = 0; k < 3; ++k) {
    pose[k] = number_of(translation ? translation->child(axes[k]) : nullptr, 0.0);
    pose[4 + k] = number_of(rotation ? rotation->child(axes[k]) : nullptr, 0.0);
  }
  pose[3] = number_of(rotation ? rotation->child("w") : nullptr, 1.0);
}

bool read_scan(const E57Element &child, E57Scan *scan, std::string *message, bool *unsupported) {
  if (const E57Element *name = child.child("name")) {
    scan->name = name->text;
  }
  read_pose(child, scan->pose);
  const E57Element *points = child.child("points");
  const E57Element *prototype = points != nullptr ? points->child("prototype") : nullptr;
  int64_t offset = 0;
  if (prototype == nullptr || !integer_attribute(*points, "fileOffset", -1, &offset) ||
      offset < 0 || !integer_attribute(*points, "recordCount", -1, &scan->records) ||
      scan->records < 0) {
    *message = "a scan without its points' offset, count and prototype";
    return false;
  }
  scan->offset = uint64_t(offset);
  if (const E57Element *codecs = points->child("codecs")) {
    for (const auto &codec : codecs->children) {
      if (codec->child("bitPackCodec") != nullptr) {
        continue;
      }
      // The codec is named by its element beside the inputs it codes.
      std::string name = "an unnamed one";
      for (const auto &part : codec->children) {
        if (part->name != "inputs") {
          name = part->name;
        }
      }
      *unsupported = true;
      *message = "points compressed by the codec " + name + " (bit-packing is read)";
      return false;
    }
  }
  for (const auto &element : prototype->children) {
    E57Field field;
    if (!read_field(*element, &field, message, unsupported)) {
      return false;
    }
    const int index = int(scan->fields.size());
    for (int k = 0; k < 3; ++k) {
      if (field.name == kCartesian[k]) {
        scan->coordinate[k] = index;
      }
    }
    if (field.name == "cartesianInvalidState") {
      scan->invalid = index;
    }
    scan->fields.push_back(field);
  }
  if (scan->coordinate[0] < 0 || scan->coordinate[1] < 0 || scan->coordinate[2] < 0) {
    scan->spherical = true;
    for (int k = 0; k < 3; ++k) {
      scan->coordinate[k] = -1;
      for (size_t f = 0; f < scan->fields.size(); ++f) {
        if (scan->fields[f].name == kSpherical[k]) {
          scan->coordinate[k] = int(f);
        }
        if (scan->fields[f].name == "sphericalInvalidState") {
          scan->invalid = int(f);
        }
      }
    }
  }
  if (scan->coordinate[0] < 0 || scan->coordinate[1] < 0 || scan->coordinate[2] < 0) {
    *message = "a scan whose points have neither cartesian nor spherical coordinates";
    return false;
  }
  return true;
}

// The vectorChild elements of a Vector of the root (data3D, images2D).
std::vector<const E57Element *> children_of(const E57Element &root, const char *vector) {
  std::vector<const E57Element *> children;
  if (const E57Element *element = root.child(vector)) {
    for (const auto &child : element->children) {
      children.push_back(child.get());
    }
  }
  return children;
}

// A pose element's text.
std::string pose_xml(const double (&pose)[7]) {
  char number[kNumberTextSize];
  const auto value = [&](const char *name, double v) {
    return std::string("<") + name + " type=\"Float\">" +
           std::string(number, format_number(v, number)) + "</" + name + ">";
  };
  return "<pose type=\"Structure\"><rotation type=\"Structure\">" + value("w", pose[3]) +
         value("x", pose[4]) + value("y", pose[5]) + value("z", pose[6]) +
         "</rotation><translation type=\"Structure\">" + value("x", pose[0]) +
         value("y", pose[1]) + value("z", pose[2]) + "</translation></pose>";
}

}  // namespace

bool read_e57_scans(const E57Element &root, std::vector<E57Scan> *scans, std::string *message,
                    bool *unsupported) {
  *unsupported = false;
  for (const E57Element *child : children_of(root, "data3D")) {
    E57Scan scan;
    if (!read_scan(*child, &scan, message, unsupported)) {
      *message = "scan " + std::to_string(scans->size() + 1) + ": " + *message;
      return false;
    }
    scans->push_back(std::move(scan));
  }
  return true;
}

std::string moved_e57_xml(const std::string &xml, const E57Element &root,
                          const double (&motion)[4][4]) {
  // The edits, in the order of the text: where each replaces [from, to) with its text.
  struct Edit {
    size_t from, to;
    std::string text;
  };
  std::vector<Edit> edits;
  for (const char *vector : {"data3D", "images2D"}) {
    for (const E57Element *child : children_of(root, vector)) {
      double pose_now[7] = {0, 0, 0, 1, 0, 0, 0}, moved[7];
      read_pose(*child, pose_now);
      move_pose(motion, pose_now, moved);
      const E57Element *pose = child->child("pose");
      if (pose != nullptr) {
        edits.push_back({pose->begin, pose->end, pose_xml(moved)});
      } else if (child->end > child->content) {
        edits.push_back({child->content, child->content, pose_xml(moved)});
      } else {
        // An empty-element tag (<vectorChild type="Structure"/>) opened to hold the pose.
        std::string start = xml.substr(child->begin, child->content - child->begin);
        start.replace(start.rfind("/>"), 2, ">");
        edits.push_back({child->begin, child->end,
                         start + pose_xml(moved) + "</" + child->name + ">"});
      }
    }
  }
  std::sort(edits.begin(), edits.end(), [](const Edit &a, const Edit &b) { return a.from < b.from; });
  std::string out;
  size_t at = 0;
  for (const Edit &edit : edits) {
    out.append(xml, at, edit.from - at);
    out += edit.text;
    at = edit.to;
  }
  out.append(xml, at, std::string::npos);
  return out;
}

}  // namespace levelling
