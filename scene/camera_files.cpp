#include "scene/camera_files.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>
#include <sstream>

#include "formats/core/byte_io.h"
#include "formats/core/number_text.h"
#include "projection/rigid_levelling.h"
#include "scene/camera_json.h"

namespace levelling {

namespace {

// COLMAP's images.bin: the image count, then each image's id, quaternion, translation, camera
// id, NUL-terminated name, and its 2-D points (x, y doubles and a 3-D point id each).
constexpr size_t kCountBytes = 8;
constexpr size_t kPoseBytes = 4 + 7 * 8 + 4;  // image id, qvec, tvec, camera id
constexpr size_t kQuaternionAt = 4, kTranslationAt = 4 + 4 * 8;
constexpr size_t kPoint2dBytes = 8 + 8 + 8;

bool finite(const double *values, int n) {
  for (int i = 0; i < n; ++i) {
    if (!std::isfinite(values[i])) {
      return false;
    }
  }
  return true;
}

// A COLMAP image's pose (world-to-camera q and t) as a camera: its centre -R^T t, its image-up
// minus its y axis, R's second row. False when q or t is not finite or q has no length.
bool colmap_camera(const double (&q)[4], const double (&t)[3], CameraPose *pose,
                   std::string *error) {
  if (!finite(q, 4) || !finite(t, 3)) {
    *error = "a rotation or translation that is not a finite number";
    return false;
  }
  if (q[0] == 0.0 && q[1] == 0.0 && q[2] == 0.0 && q[3] == 0.0) {
    *error = "a quaternion of length zero";
    return false;
  }
  double r[3][3];
  quaternion_rotation(q, r);
  for (int k = 0; k < 3; ++k) {
    pose->centre[k] = -(r[0][k] * t[0] + r[1][k] * t[1] + r[2][k] * t[2]);
    pose->up[k] = -r[1][k];
    pose->right[k] = r[0][k];
  }
  if (!finite(pose->centre, 3)) {
    *error = "its centre is beyond a double";
    return false;
  }
  return true;
}

// A COLMAP pose moved: R_wc' = R_wc R^T (q' = q conj(q_R), q's length kept) and
// t' = t - R_wc' T. False when the moved pose is beyond a double.
bool move_colmap_pose(const double (&motion)[4][4], double (&q)[4], double (&t)[3]) {
  double r[4];
  rotation_quaternion(motion, r);
  const double c[4] = {r[0], -r[1], -r[2], -r[3]};
  const double moved[4] = {q[0] * c[0] - q[1] * c[1] - q[2] * c[2] - q[3] * c[3],
                           q[0] * c[1] + q[1] * c[0] + q[2] * c[3] - q[3] * c[2],
                           q[0] * c[2] - q[1] * c[3] + q[2] * c[0] + q[3] * c[1],
                           q[0] * c[3] + q[1] * c[2] - q[2] * c[1] + q[3] * c[0]};
  std::memcpy(q, moved, sizeof moved);
  double rotation[3][3];
  quaternion_rotation(q, rotation);
  double shifted[3];
  for (int k = 0; k < 3; ++k) {
    shifted[k] = t[k] - (rotation[k][0] * motion[0][3] + rotation[k][1] * motion[1][3] +
                         rotation[k][2] * motion[2][3]);
  }
  std::memcpy(t, shifted, sizeof shifted);
  return finite(q, 4) && finite(t, 3);
}

bool parse_colmap_binary(const std::string &bytes, CameraFile *file, std::string *error) {
  if (bytes.size() < kCountBytes) {
    *error = "truncated: no image count";
    return false;
  }
  const uint64_t count = get<uint64_t>(bytes.data(), 0);
  std::set<uint32_t> ids;
  size_t at = kCountBytes;
  for (uint64_t i = 0; i < count; ++i) {
    const std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
    if (bytes.size() - at < kPoseBytes) {
      *error = "truncated: the file ends inside " + which;
      return false;
    }
    const uint32_t id = get<uint32_t>(bytes.data(), at);
    if (!ids.insert(id).second) {
      *error = which + ": its id " + std::to_string(id) + " is repeated";
      return false;
    }
    double q[4], t[3];
    for (int k = 0; k < 4; ++k) {
      q[k] = get<double>(bytes.data(), at + kQuaternionAt + 8 * size_t(k));
    }
    for (int k = 0; k < 3; ++k) {
      t[k] = get<double>(bytes.data(), at + kTranslationAt + 8 * size_t(k));
    }
    CameraPose pose;
    if (!colmap_camera(q, t, &pose, error)) {
      *error = which + ": " + *error;
      return false;
    }
    at += kPoseBytes;
    const size_t end = bytes.find('\0', at);
    if (end == std::string::npos) {
      *error = which + ": its name has no terminating byte";
      return false;
    }
    at = end + 1;
    if (bytes.size() - at < 8) {
      *error = "truncated: the file ends inside " + which;
      return false;
    }
    const uint64_t points = get<uint64_t>(bytes.data(), at);
    at += 8;
    if (points > (bytes.size() - at) / kPoint2dBytes) {
      *error = which + ": " + std::to_string(points) + " 2-D points, more than the file holds";
      return false;
    }
    at += size_t(points) * kPoint2dBytes;
    file->cameras.push_back(pose);
  }
  if (at != bytes.size()) {
    *error = std::to_string(bytes.size() - at) + " bytes after the " + std::to_string(count) +
             " images the count names";
    return false;
  }
  return true;
}

// The lines of COLMAP's images.txt that hold data (comments left out), with their offsets.
struct TextLine {
  size_t begin, end;
};

std::vector<TextLine> data_lines(const std::string &bytes) {
  std::vector<TextLine> lines;
  for (size_t at = 0; at < bytes.size();) {
    size_t end = bytes.find('\n', at);
    end = end == std::string::npos ? bytes.size() : end;
    if (bytes[at] != '#') {
      lines.push_back({at, end});
    }
    at = end + 1;
  }
  // Blank lines at the end are no image.
  while (!lines.empty() && lines.size() % 2 == 1 &&
         bytes.find_first_not_of(" \t\r", lines.back().begin) >= lines.back().end) {
    lines.pop_back();
  }
  return lines;
}

// The first `n` tokens of a line: their offsets in the file.
bool line_tokens(const std::string &bytes, const TextLine &line, size_t n,
                 std::vector<std::pair<size_t, size_t>> *tokens) {
  tokens->clear();
  size_t at = line.begin;
  while (tokens->size() < n) {
    at = bytes.find_first_not_of(" \t\r", at);
    if (at >= line.end) {
      return false;
    }
    const size_t end = std::min(line.end, bytes.find_first_of(" \t\r", at));
    tokens->emplace_back(at, end);
    at = end;
  }
  return true;
}

// Image lines of images.txt: IMAGE_ID QW QX QY QZ TX TY TZ CAMERA_ID NAME.
constexpr size_t kImageTokens = 10;

bool parse_colmap_text(const std::string &bytes, CameraFile *file, std::string *error) {
  const std::vector<TextLine> lines = data_lines(bytes);
  std::set<int64_t> ids;
  std::vector<std::pair<size_t, size_t>> tokens;
  for (size_t i = 0; i < lines.size(); i += 2) {
    const std::string which = "image " + std::to_string(i / 2 + 1);
    if (!line_tokens(bytes, lines[i], kImageTokens, &tokens)) {
      *error = which + ": not IMAGE_ID QW QX QY QZ TX TY TZ CAMERA_ID NAME";
      return false;
    }
    double values[8];
    for (size_t k = 0; k < 8; ++k) {
      if (!parse_number(std::string_view(bytes).substr(tokens[k].first,
                                                      tokens[k].second - tokens[k].first),
                        &values[k])) {
        *error = which + ": '" +
                 bytes.substr(tokens[k].first, std::min<size_t>(40, tokens[k].second -
                                                                        tokens[k].first)) +
                 "' is not a number";
        return false;
      }
    }
    if (!(values[0] >= 0.0 && values[0] <= double(UINT32_MAX)) ||
        values[0] != std::floor(values[0]) || !ids.insert(int64_t(values[0])).second) {
      *error = which + ": its id is repeated, or no whole number from 0 to 2^32 - 1";
      return false;
    }
    const double q[4] = {values[1], values[2], values[3], values[4]};
    const double t[3] = {values[5], values[6], values[7]};
    CameraPose pose;
    if (!colmap_camera(q, t, &pose, error)) {
      *error = which + ": " + *error;
      return false;
    }
    if (i + 1 >= lines.size()) {
      *error = which + ": no line of 2-D points after it";
      return false;
    }
    file->cameras.push_back(pose);
  }
  return true;
}

}  // namespace

bool camera_format_of(const std::string &name, const std::string &bytes, CameraFormat *format,
                      std::string *error) {
  const size_t dot = name.rfind('.');
  const std::string extension = dot == std::string::npos ? "" : name.substr(dot);
  if (extension == ".bin") {
    *format = CameraFormat::kColmapBinary;
    return true;
  }
  if (extension == ".txt") {
    *format = CameraFormat::kColmapText;
    return true;
  }
  const size_t first = bytes.find_first_not_of(" \t\r\n\xef\xbb\xbf");
  if (extension == ".json" && first != std::string::npos) {
    *format = bytes[first] == '[' ? CameraFormat::kSplatJson : CameraFormat::kNerfstudioJson;
    return true;
  }
  *error = "is no camera file read here: COLMAP's images.bin or images.txt, a splatting "
           "trainer's cameras.json or nerfstudio's transforms.json";
  return false;
}

bool parse_cameras(CameraFormat format, const std::string &bytes, CameraFile *file,
                   std::string *error) {
  *file = CameraFile();
  file->format = format;
  file->bytes = bytes;
  bool parsed = false;
  if (format == CameraFormat::kColmapBinary) {
    parsed = parse_colmap_binary(bytes, file, error);
  } else if (format == CameraFormat::kColmapText) {
    parsed = parse_colmap_text(bytes, file, error);
  } else {
    parsed = parse_camera_json(format, bytes, file, error);
  }
  if (parsed && file->cameras.empty()) {
    *error = "holds no camera";
    return false;
  }
  return parsed;
}

bool moved_camera_bytes(const CameraFile &file, const double (&motion)[4][4], std::string *out,
                        std::string *error) {
  if (file.format == CameraFormat::kSplatJson || file.format == CameraFormat::kNerfstudioJson) {
    return moved_camera_json(file, motion, out, error);
  }
  const auto beyond = [error](size_t i) {
    *error = "image " + std::to_string(i + 1) + ": moved, its pose is beyond a double";
    return false;
  };
  std::string bytes = file.bytes;
  if (file.format == CameraFormat::kColmapBinary) {
    size_t at = kCountBytes;
    for (size_t i = 0; i < file.cameras.size(); ++i) {
      double q[4], t[3];
      for (int k = 0; k < 4; ++k) {
        q[k] = get<double>(bytes.data(), at + kQuaternionAt + 8 * size_t(k));
      }
      for (int k = 0; k < 3; ++k) {
        t[k] = get<double>(bytes.data(), at + kTranslationAt + 8 * size_t(k));
      }
      if (!move_colmap_pose(motion, q, t)) {
        return beyond(i);
      }
      for (int k = 0; k < 4; ++k) {
        put(&bytes[0], at + kQuaternionAt + 8 * size_t(k), q[k]);
      }
      for (int k = 0; k < 3; ++k) {
        put(&bytes[0], at + kTranslationAt + 8 * size_t(k), t[k]);
      }
      at = bytes.find('\0', at + kPoseBytes) + 1;
      at += 8 + size_t(get<uint64_t>(bytes.data(), at)) * kPoint2dBytes;
    }
    *out = std::move(bytes);
    return true;
  }
  // COLMAP text: the image lines' QW..TZ tokens replaced, everything else as it was.
  const std::vector<TextLine> lines = data_lines(file.bytes);
  std::string text;
  size_t copied = 0;
  std::vector<std::pair<size_t, size_t>> tokens;
  char number[kNumberTextSize];
  for (size_t i = 0; i < lines.size(); i += 2) {
    line_tokens(file.bytes, lines[i], kImageTokens, &tokens);
    double values[7];
    for (size_t k = 0; k < 7; ++k) {
      parse_number(std::string_view(file.bytes).substr(tokens[k + 1].first,
                                                      tokens[k + 1].second - tokens[k + 1].first),
                   &values[k]);
    }
    double q[4] = {values[0], values[1], values[2], values[3]};
    double t[3] = {values[4], values[5], values[6]};
    if (!move_colmap_pose(motion, q, t)) {
      return beyond(i / 2);
    }
    const double moved[7] = {q[0], q[1], q[2], q[3], t[0], t[1], t[2]};
    for (size_t k = 0; k < 7; ++k) {
      text.append(file.bytes, copied, tokens[k + 1].first - copied);
      text.append(number, format_number(moved[k], number));
      copied = tokens[k + 1].second;
    }
  }
  text.append(file.bytes, copied, std::string::npos);
  *out = std::move(text);
  return true;
}

}  // namespace levelling
