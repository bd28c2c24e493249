#include "scene/colmap_model.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string_view>

#include "formats/core/byte_io.h"
#include "formats/core/number_text.h"
#include "projection/rigid_levelling.h"

namespace levelling {

namespace {

namespace fs = std::filesystem;

// points3D.bin's fixed part of a point: id, x y z, r g b, error, track length.
constexpr size_t kIdBytes = 8, kPositionBytes = 24, kColourBytes = 3, kErrorBytes = 8,
                 kTrackLengthBytes = 8, kTrackElementBytes = 8;
constexpr size_t kPointBytes =
    kIdBytes + kPositionBytes + kColourBytes + kErrorBytes + kTrackLengthBytes;
// points3D.txt's numbers before the track.
constexpr size_t kTextFields = 8;

bool parse_binary(const std::string &bytes, ColmapPoints *points, std::string *error) {
  if (bytes.size() < 8) {
    *error = "truncated: no point count";
    return false;
  }
  const uint64_t count = get<uint64_t>(bytes.data(), 0);
  std::set<uint64_t> ids;
  size_t at = 8;
  for (uint64_t i = 0; i < count; ++i) {
    const std::string which = "point " + std::to_string(i + 1) + " of " + std::to_string(count);
    if (bytes.size() - at < kPointBytes) {
      *error = "truncated: the file ends inside " + which;
      return false;
    }
    const uint64_t id = get<uint64_t>(bytes.data(), at);
    if (!ids.insert(id).second) {
      *error = which + ": its id " + std::to_string(id) + " is repeated";
      return false;
    }
    const size_t position = at + kIdBytes;
    for (size_t k = 0; k < 3; ++k) {
      const double value = get<double>(bytes.data(), position + 8 * k);
      if (!std::isfinite(value)) {
        *error = which + ": a position that is not a finite number";
        return false;
      }
      points->xyz.push_back(value);
    }
    points->at.emplace_back(position, position + kPositionBytes);
    const uint64_t track = get<uint64_t>(bytes.data(), at + kPointBytes - kTrackLengthBytes);
    at += kPointBytes;
    if (track > (bytes.size() - at) / kTrackElementBytes) {
      *error = which + ": a track of " + std::to_string(track) + ", longer than the file holds";
      return false;
    }
    at += size_t(track) * kTrackElementBytes;
  }
  if (at != bytes.size()) {
    *error = std::to_string(bytes.size() - at) + " bytes after the " + std::to_string(count) +
             " points the count names";
    return false;
  }
  return true;
}

bool parse_text(const std::string &bytes, ColmapPoints *points, std::string *error) {
  std::set<double> ids;
  int64_t number = 0;
  for (size_t at = 0; at < bytes.size();) {
    size_t end = bytes.find('\n', at);
    end = end == std::string::npos ? bytes.size() : end;
    const std::string_view line(bytes.data() + at, end - at);
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || line[first] == '#') {
      at = end + 1;
      continue;
    }
    const std::string which = "point " + std::to_string(++number);
    std::vector<std::pair<size_t, size_t>> tokens;
    for (size_t t = first; t < line.size();) {
      const size_t stop = std::min(line.size(), line.find_first_of(" \t\r", t));
      tokens.emplace_back(at + t, at + stop);
      t = line.find_first_not_of(" \t\r", stop);
    }
    if (tokens.size() < kTextFields || (tokens.size() - kTextFields) % 2 != 0) {
      *error = which + ": not POINT3D_ID X Y Z R G B ERROR and pairs of track numbers";
      return false;
    }
    for (size_t k = 0; k < tokens.size(); ++k) {
      double value = 0.0;
      const std::string_view token(bytes.data() + tokens[k].first,
                                   tokens[k].second - tokens[k].first);
      if (!parse_number(token, &value) || !std::isfinite(value)) {
        *error = which + ": '" + std::string(token.substr(0, 40)) + "' is not a finite number";
        return false;
      }
      if (k == 0 && !ids.insert(value).second) {
        *error = which + ": its id is repeated";
        return false;
      }
      if (k >= 1 && k <= 3) {
        points->xyz.push_back(value);
      }
    }
    points->at.emplace_back(tokens[1].first, tokens[3].second);
    at = end + 1;
  }
  return true;
}

}  // namespace

bool find_colmap_model(const std::string &folder, ColmapModelFiles *files) {
  std::error_code code;
  if (!fs::is_directory(folder, code)) {
    return false;
  }
  for (const char *extension : {".bin", ".txt"}) {
    const fs::path base(folder);
    files->cameras = (base / (std::string("cameras") + extension)).string();
    files->images = (base / (std::string("images") + extension)).string();
    files->points = (base / (std::string("points3D") + extension)).string();
    files->binary = std::string(extension) == ".bin";
    if (fs::is_regular_file(files->images, code) && fs::is_regular_file(files->points, code)) {
      return true;
    }
  }
  return false;
}

bool parse_colmap_points(bool binary, const std::string &bytes, ColmapPoints *points,
                         std::string *error) {
  *points = ColmapPoints();
  points->binary = binary;
  points->bytes = bytes;
  return binary ? parse_binary(bytes, points, error) : parse_text(bytes, points, error);
}

std::string moved_colmap_points(const ColmapPoints &points, const double (&motion)[4][4]) {
  std::string out;
  size_t copied = 0;
  char number[kNumberTextSize];
  for (size_t i = 0; i < points.at.size(); ++i) {
    const double *p = &points.xyz[3 * i];
    double moved[3];
    move_points(motion, 1, p, p + 1, p + 2, moved, moved + 1, moved + 2);
    out.append(points.bytes, copied, points.at[i].first - copied);
    if (points.binary) {
      out.append(reinterpret_cast<const char *>(moved), sizeof moved);
    } else {
      for (int k = 0; k < 3; ++k) {
        out.append(number, format_number(moved[k], number));
        out += k < 2 ? " " : "";
      }
    }
    copied = points.at[i].second;
  }
  out.append(points.bytes, copied, std::string::npos);
  return out;
}

}  // namespace levelling
