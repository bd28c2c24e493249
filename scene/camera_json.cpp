#include "scene/camera_json.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/core/number_text.h"
#include "projection/rigid_levelling.h"

namespace levelling {

namespace {

// How far a JSON rotation may be from orthonormal: far above a file's rounding.
constexpr double kRotationTolerance = 1e-4;
constexpr char kByteOrderMark[] = "\xef\xbb\xbf";
// A camera's numbers: cameras.json's position (3) then rotation (3 x 3, row-major);
// transforms.json's transform_matrix (4 x 4, row-major).
constexpr size_t kSplatNumbers = 3 + 9, kFrameNumbers = 16;

// A value's bytes [begin, end) in the text.
struct Span {
  size_t begin = 0, end = 0;
};

// Walks a text that nlohmann's parser accepted as JSON, value by value, in place.
class JsonWalk {
 public:
  explicit JsonWalk(const std::string &text) : text_(text) {}

  // The document's value (after a byte-order mark and blanks).
  Span document() const {
    size_t at = text_.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
    at = blank_end(at);
    return {at, value_end(at)};
  }
  char first(Span value) const { return byte(value.begin); }

  // visit(element) for each element of an array, in order, until one returns false: whether
  // every one returned true.
  bool elements(Span array, const std::function<bool(Span)> &visit) const {
    size_t at = blank_end(array.begin + 1);
    while (byte(at) != ']') {
      const Span value{at, value_end(at)};
      if (!visit(value)) {
        return false;
      }
      at = blank_end(value.end);
      at = byte(at) == ',' ? blank_end(at + 1) : at;
    }
    return true;
  }

  // visit(key, value) for each member of an object, as elements does.
  bool members(Span object, const std::function<bool(const std::string &, Span)> &visit) const {
    size_t at = blank_end(object.begin + 1);
    while (byte(at) == '"') {
      const Span key{at, string_end(at)};
      at = blank_end(blank_end(key.end) + 1);  // past the colon
      const Span value{at, value_end(at)};
      if (!visit(key_text(key), value)) {
        return false;
      }
      at = blank_end(value.end);
      at = byte(at) == ',' ? blank_end(at + 1) : at;
    }
    return true;
  }

  // The numbers of an array of `rows` numbers (columns 0) or of `rows` arrays of `columns`
  // numbers, row-major, with their spans: false when it is not one, or a number not finite.
  bool numbers(Span value, size_t rows, size_t columns, double *out, Span *spans) const {
    size_t n = 0;
    const auto number = [&](Span each) {
      if (n == rows * std::max<size_t>(columns, 1) || !is_number(each)) {
        return false;
      }
      spans[n] = each;
      return parse_number(std::string_view(text_).substr(each.begin, each.end - each.begin),
                          &out[n++]) &&
             std::isfinite(out[n - 1]);
    };
    size_t row_count = 0;
    const bool read = first(value) == '[' && elements(value, [&](Span row) {
                        ++row_count;
                        if (columns == 0) {
                          return number(row);
                        }
                        const size_t before = n;
                        return first(row) == '[' && elements(row, number) &&
                               n - before == columns;
                      });
    return read && row_count == rows && n == rows * std::max<size_t>(columns, 1);
  }

 private:
  char byte(size_t at) const { return at < text_.size() ? text_[at] : '\0'; }
  bool is_number(Span value) const {
    const char c = first(value);
    return c == '-' || (c >= '0' && c <= '9');
  }
  size_t blank_end(size_t at) const {
    while (at < text_.size() && std::strchr(" \t\r\n", text_[at]) != nullptr && text_[at] != 0) {
      ++at;
    }
    return at;
  }
  size_t string_end(size_t at) const {
    for (++at; at < text_.size(); ++at) {
      if (text_[at] == '\\') {
        ++at;
      } else if (text_[at] == '"') {
        return at + 1;
      }
    }
    return text_.size();
  }
  size_t value_end(size_t at) const {
    const char c = byte(at);
    if (c == '"') {
      return string_end(at);
    }
    if (c == '[' || c == '{') {
      size_t depth = 0;
      for (; at < text_.size(); ++at) {
        const char d = text_[at];
        if (d == '"') {
          at = string_end(at) - 1;
        } else if (d == '[' || d == '{') {
          ++depth;
        } else if ((d == ']' || d == '}') && --depth == 0) {
          return at + 1;
        }
      }
      return text_.size();
    }
    while (at < text_.size() && std::strchr(",]} \t\r\n", text_[at]) == nullptr) {
      ++at;
    }
    return at;
  }
  // A key as text: its escapes decoded (by nlohmann) where it has any.
  std::string key_text(Span key) const {
    const std::string quoted = text_.substr(key.begin, key.end - key.begin);
    if (quoted.find('\\') == std::string::npos) {
      return quoted.substr(1, quoted.size() - 2);
    }
    return nlohmann::json::parse(quoted).get<std::string>();
  }

  const std::string &text_;
};

// One camera's numbers as they stand in the text.
struct CameraNumbers {
  double values[kFrameNumbers] = {};
  Span spans[kFrameNumbers];
  size_t count = 0;
};

// The value of the member `name` of an object: false with *why when it is missing or repeated.
bool only_member(const JsonWalk &walk, Span object, const char *name, Span *value,
                 std::string *why) {
  int found = 0;
  walk.members(object, [&](const std::string &key, Span each) {
    if (key == name) {
      *value = each;
      ++found;
    }
    return true;
  });
  if (found != 1) {
    *why = std::string("\"") + name + (found == 0 ? "\" is missing" : "\" is repeated");
    return false;
  }
  return true;
}

// camera(i, numbers) for each camera of the file, in order: false with *error (one line) when
// the text is not JSON, not of the format's shape, or a camera's pose members are not its
// numbers, or when camera returns false (having set *error).
bool each_camera(CameraFormat format, const std::string &bytes,
                 const std::function<bool(size_t, const CameraNumbers &)> &camera,
                 std::string *error) {
  if (!nlohmann::json::accept(bytes)) {
    *error = "is not JSON";
    return false;
  }
  const JsonWalk walk(bytes);
  const bool splat = format == CameraFormat::kSplatJson;
  Span cameras = walk.document();
  std::string why;
  if (splat ? walk.first(cameras) != '['
            : walk.first(cameras) != '{' || !only_member(walk, cameras, "frames", &cameras, &why) ||
                  walk.first(cameras) != '[') {
    *error = splat ? "is not a list of cameras" : "has no list of \"frames\"";
    if (!why.empty()) {
      *error += " (" + why + ")";
    }
    return false;
  }
  size_t i = 0;
  return walk.elements(cameras, [&](Span each) {
    const std::string which = (splat ? "camera " : "frame ") + std::to_string(++i);
    CameraNumbers numbers;
    Span position, rotation, transform;
    bool read = false;
    if (walk.first(each) != '{') {
      why = "not an object";
    } else if (splat) {
      read = only_member(walk, each, "position", &position, &why) &&
             only_member(walk, each, "rotation", &rotation, &why);
      if (read && !(walk.numbers(position, 3, 0, numbers.values, numbers.spans) &&
                    walk.numbers(rotation, 3, 3, numbers.values + 3, numbers.spans + 3))) {
        read = false;
        why = "no finite \"position\" of 3 numbers and \"rotation\" of 3 x 3";
      }
      numbers.count = kSplatNumbers;
    } else {
      read = only_member(walk, each, "transform_matrix", &transform, &why);
      if (read && !walk.numbers(transform, 4, 4, numbers.values, numbers.spans)) {
        read = false;
        why = "no finite \"transform_matrix\" of 4 x 4";
      }
      numbers.count = kFrameNumbers;
    }
    if (!read) {
      *error = which + ": " + why;
      return false;
    }
    if (!camera(i - 1, numbers)) {
      *error = which + ": " + *error;
      return false;
    }
    return true;
  });
}

// The 3 x 3 rotation (row-major) of a camera's numbers.
void camera_rotation(CameraFormat format, const CameraNumbers &numbers, double (&r)[9]) {
  for (int k = 0; k < 3; ++k) {
    for (int c = 0; c < 3; ++c) {
      r[3 * k + c] = format == CameraFormat::kSplatJson ? numbers.values[3 + 3 * k + c]
                                                        : numbers.values[4 * k + c];
    }
  }
}

bool is_rotation(const double (&r)[9]) {
  double matrix[4][4] = {{r[0], r[1], r[2], 0}, {r[3], r[4], r[5], 0}, {r[6], r[7], r[8], 0},
                         {0, 0, 0, 1}};
  const char *why = "";
  return is_rigid_motion(matrix, kRotationTolerance, &why);
}

}  // namespace

bool parse_camera_json(CameraFormat format, const std::string &bytes, CameraFile *file,
                       std::string *error) {
  const bool splat = format == CameraFormat::kSplatJson;
  return each_camera(
      format, bytes,
      [&](size_t, const CameraNumbers &numbers) {
        double r[9];
        camera_rotation(format, numbers, r);
        if (!is_rotation(r)) {
          *error = "its rotation is no rotation";
          return false;
        }
        CameraPose pose;
        for (int k = 0; k < 3; ++k) {
          // cameras.json: its centre, and minus the camera's y axis (a column of the rotation);
          // transforms.json: its translation, and the camera's y axis (OpenGL's up). Right: the
          // x axis.
          pose.centre[k] = splat ? numbers.values[k] : numbers.values[4 * k + 3];
          pose.up[k] = splat ? -r[3 * k + 1] : r[3 * k + 1];
          pose.right[k] = r[3 * k];  // the camera's x axis, in both
        }
        file->cameras.push_back(pose);
        return true;
      },
      error);
}

bool moved_camera_json(const CameraFile &file, const double (&motion)[4][4], std::string *out,
                       std::string *error) {
  const bool splat = file.format == CameraFormat::kSplatJson;
  std::vector<std::pair<Span, double>> moved;
  const bool read = each_camera(
      file.format, file.bytes,
      [&](size_t, const CameraNumbers &numbers) {
        const size_t first = moved.size();
        const double *v = numbers.values;
        if (splat) {  // the centre, moved
          for (size_t row = 0; row < 3; ++row) {
            moved.push_back({numbers.spans[row], motion[row][0] * v[0] + motion[row][1] * v[1] +
                                                     motion[row][2] * v[2] + motion[row][3]});
          }
        }
        // The rotation (or the transform's top rows) turned: R times it, the transform's last
        // column moved by the translation too.
        const size_t at = splat ? 3 : 0, stride = splat ? 3 : 4;
        for (size_t row = 0; row < 3; ++row) {
          for (size_t column = 0; column < stride; ++column) {
            double sum = 0.0;
            for (size_t k = 0; k < 3; ++k) {
              sum += motion[row][k] * v[at + stride * k + column];
            }
            moved.push_back({numbers.spans[at + stride * row + column],
                             sum + (splat || column < 3 ? 0.0 : motion[row][3])});
          }
        }
        for (size_t m = first; m < moved.size(); ++m) {
          if (!std::isfinite(moved[m].second)) {
            *error = "moved, its pose is beyond a double";
            return false;
          }
        }
        return true;
      },
      error);
  if (!read) {
    return false;
  }
  // The moved numbers in the places of the ones they replace, in the text's order.
  std::sort(moved.begin(), moved.end(), [](const std::pair<Span, double> &a,
                                           const std::pair<Span, double> &b) {
    return a.first.begin < b.first.begin;
  });
  out->clear();
  out->reserve(file.bytes.size() + moved.size() * 8);
  size_t copied = 0;
  char number[kNumberTextSize];
  for (const auto &[span, value] : moved) {
    out->append(file.bytes, copied, span.begin - copied);
    out->append(number, format_number(value, number));
    copied = span.end;
  }
  out->append(file.bytes, copied, std::string::npos);
  return true;
}

}  // namespace levelling
