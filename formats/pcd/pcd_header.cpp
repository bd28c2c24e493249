#include "formats/pcd/pcd_header.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstring>

#include "formats/core/number_text.h"
#include "formats/core/ply_values.h"
#include "formats/core/stream_support.h"

namespace levelling {

PcdData pcd_data_of(CloudFormat format) {
  return format == CloudFormat::kPcdAscii    ? PcdData::kAscii
         : format == CloudFormat::kPcdBinary ? PcdData::kBinary
                                             : PcdData::kBinaryCompressed;
}

CloudFormat pcd_format_of(PcdData data) {
  return data == PcdData::kAscii    ? CloudFormat::kPcdAscii
         : data == PcdData::kBinary ? CloudFormat::kPcdBinary
                                    : CloudFormat::kPcdBinaryCompressed;
}

const char *pcd_data_name(PcdData data) {
  return data == PcdData::kAscii    ? "ascii"
         : data == PcdData::kBinary ? "binary"
                                    : "binary_compressed";
}

bool ply_type_of(const PcdField &field, PlyType *type) {
  switch (field.size) {
    case 1:
      *type = field.type == 'I' ? PlyType::kInt8 : PlyType::kUint8;
      return field.type != 'F';
    case 2:
      *type = field.type == 'I' ? PlyType::kInt16 : PlyType::kUint16;
      return field.type != 'F';
    case 4:
      *type = field.type == 'F' ? PlyType::kFloat32
              : field.type == 'I' ? PlyType::kInt32 : PlyType::kUint32;
      return true;
    case 8:
      *type = PlyType::kFloat64;
      return field.type == 'F';
    default:
      return false;
  }
}

namespace {

std::vector<std::string_view> words_of(std::string_view line) {
  std::vector<std::pair<size_t, size_t>> tokens;
  split_tokens(line, &tokens);
  std::vector<std::string_view> words;
  for (const auto &token : tokens) {
    words.push_back(line.substr(token.first, token.second - token.first));
  }
  return words;
}

bool parse_count(std::string_view word, int64_t *value) {
  return parse_integer(word, value) && *value >= 0;
}

// What the header's keyword lines say beyond the fields' names.
struct PcdKeywords {
  std::vector<std::string> kept[3];  // the words of SIZE, TYPE and COUNT, owned
  int64_t width = -1, height = -1, points = -1;
  bool has_fields = false;
};

// Reads the header's lines up to and with DATA's, consuming them: the lines kept in *header,
// its fields' names, encoding and viewpoint, the rest in *keywords. False with *error.
bool read_keyword_lines(ByteReader *in, PcdHeader *header, PcdKeywords *keywords,
                        std::string *error) {
  size_t at = 0;
  for (int line_number = 1;; ++line_number) {
    const size_t available = in->fill(std::min(kLongestHeader, at + kPiece));
    const char *data = in->data();
    const void *end = std::memchr(data + at, '\n', available - at);
    if (end == nullptr) {
      *error = available >= kLongestHeader ? "a header longer than 1 MiB"
                                           : "the file ends inside the header (no DATA line)";
      return false;
    }
    const size_t next = size_t(static_cast<const char *>(end) - data) + 1;
    const std::string line(data + at, next - at);
    at = next;
    const std::string where = "line " + std::to_string(line_number) + ": ";
    std::string_view text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
      text.remove_suffix(1);
    }
    const std::vector<std::string_view> words = words_of(text);
    if (words.empty() || words[0][0] == '#') {
      header->lines.push_back(line);
      continue;
    }
    const std::string_view key = words[0];
    const std::vector<std::string_view> values(words.begin() + 1, words.end());
    if (key == "DATA") {
      if (values.size() != 1 ||
          (values[0] != "ascii" && values[0] != "binary" && values[0] != "binary_compressed")) {
        *error = where + "DATA is ascii, binary or binary_compressed";
        return false;
      }
      header->data = values[0] == "ascii"    ? PcdData::kAscii
                     : values[0] == "binary" ? PcdData::kBinary
                                             : PcdData::kBinaryCompressed;
      in->consume(at);
      return true;
    }
    header->lines.push_back(line);
    if (key == "VERSION") {
      continue;
    }
    if (key == "FIELDS" || key == "COLUMNS") {
      keywords->has_fields = true;
      for (std::string_view name : values) {
        header->fields.push_back({std::string(name), 'F', 4, 1, 0});
      }
      continue;
    }
    if (key == "SIZE" || key == "TYPE" || key == "COUNT") {
      const int k = key == "SIZE" ? 0 : key == "TYPE" ? 1 : 2;
      keywords->kept[k].assign(values.begin(), values.end());
      continue;
    }
    if (key == "VIEWPOINT") {
      if (values.size() != kViewpointValues) {
        *error = where + "VIEWPOINT has 7 numbers (position, then orientation as a quaternion)";
        return false;
      }
      for (int v = 0; v < kViewpointValues; ++v) {
        if (!parse_number(values[size_t(v)], &header->viewpoint[v]) ||
            !std::isfinite(header->viewpoint[v])) {
          *error = where + "VIEWPOINT's '" + std::string(values[size_t(v)].substr(0, 40)) +
                   "' is not a finite number";
          return false;
        }
      }
      header->viewpoint_line = header->lines.size() - 1;
      continue;
    }
    int64_t *target = key == "WIDTH"    ? &keywords->width
                      : key == "HEIGHT" ? &keywords->height
                      : key == "POINTS" ? &keywords->points
                                        : nullptr;
    if (target == nullptr) {
      *error = where + "unknown keyword '" + std::string(key.substr(0, 40)) + "'";
      return false;
    }
    if (values.size() != 1 || !parse_count(values[0], target)) {
      *error = where + std::string(key) + " is not a count";
      return false;
    }
  }
}

// Lays the fields out by SIZE, TYPE and COUNT into *header (their offsets, the record's size).
// False with *error for a type PCD has not, a count beyond the limit or too long a record.
bool lay_out_fields(const PcdKeywords &keywords, PcdHeader *header, std::string *error) {
  if (!keywords.has_fields || header->fields.empty()) {
    *error = "the header has no FIELDS";
    return false;
  }
  const size_t n = header->fields.size();
  const char *names[3] = {"SIZE", "TYPE", "COUNT"};
  for (int k = 0; k < 3; ++k) {
    if (keywords.kept[k].empty() && k == 2) {
      continue;  // no COUNT: one value a field
    }
    if (keywords.kept[k].size() != n) {
      *error = std::string(names[k]) + " has " + std::to_string(keywords.kept[k].size()) +
               " values for " + std::to_string(n) + " fields";
      return false;
    }
  }
  size_t offset = 0;
  for (size_t f = 0; f < n; ++f) {
    PcdField &field = header->fields[f];
    int64_t size = 0, count = 1;
    const std::string &type = keywords.kept[1][f];
    if (!parse_count(keywords.kept[0][f], &size) || type.size() != 1 ||
        (type[0] != 'F' && type[0] != 'I' && type[0] != 'U') ||
        (type[0] == 'F' ? size != 4 && size != 8
                        : size != 1 && size != 2 && size != 4 && size != 8)) {
      *error = "field " + field.name + ": TYPE " + type.substr(0, 8) + " with SIZE " +
               keywords.kept[0][f].substr(0, 8) + " is no PCD type";
      return false;
    }
    if (!keywords.kept[2].empty() && (!parse_count(keywords.kept[2][f], &count) || count < 1 ||
                             count > int64_t(kMaxCount))) {
      *error = "field " + field.name + ": COUNT " + keywords.kept[2][f].substr(0, 20) +
               " is not a count from 1 to " + std::to_string(kMaxCount);
      return false;
    }
    field.type = type[0];
    field.size = size_t(size);
    field.count = size_t(count);
    field.offset = offset;
    offset += field.size * field.count;
  }
  header->record = offset;
  if (offset > kLongestRecord) {
    *error = "points of " + std::to_string(offset) + " bytes (at most " +
             std::to_string(kLongestRecord) + " are taken)";
    return false;
  }
  return true;
}

// The point count from WIDTH, HEIGHT and POINTS (each defaulting from the others) into
// *header, checked to agree and to size a file. False with *error.
bool count_points(PcdKeywords keywords, PcdHeader *header, std::string *error) {
  int64_t &width = keywords.width, &height = keywords.height, &points = keywords.points;
  if (width < 0) {
    width = points >= 0 ? points : 0;
  }
  if (height < 0) {
    height = 1;
  }
  if (points < 0) {
    if (height != 0 && width > INT64_MAX / height) {
      *error = "WIDTH " + std::to_string(width) + " times HEIGHT " + std::to_string(height) +
               " is beyond any count of points";
      return false;
    }
    points = width * height;
  }
  if (height != 0 && width > points / std::max<int64_t>(height, 1)) {
    *error = "WIDTH " + std::to_string(width) + " times HEIGHT " + std::to_string(height) +
             " is not POINTS " + std::to_string(points);
    return false;
  }
  if (width * height != points) {
    *error = "WIDTH " + std::to_string(width) + " times HEIGHT " + std::to_string(height) +
             " is not POINTS " + std::to_string(points);
    return false;
  }
  // Every size computed from the counts must hold in a 64-bit offset.
  if (header->record > 0 && uint64_t(points) > uint64_t(INT64_MAX) / header->record) {
    *error = "POINTS " + std::to_string(points) + " of " + std::to_string(header->record) +
             "-byte points is beyond any file";
    return false;
  }
  header->points = points;
  return true;
}

// Whether x, y and z are fields of one F 4 or F 8 value each; false with *error.
bool has_coordinates(const PcdHeader &header, std::string *error) {
  for (int k = 0; k < kAxes; ++k) {
    const int f = header.find(kCoordinateNames[k]);
    if (f < 0) {
      *error = std::string("no field ") + kCoordinateNames[k];
      return false;
    }
    const PcdField &field = header.fields[size_t(f)];
    if (field.type != 'F' || field.count != 1) {
      *error = std::string("field ") + kCoordinateNames[k] + " is not one F 4 or F 8 value";
      return false;
    }
  }
  return true;
}

}  // namespace

bool read_pcd_header(ByteReader *in, PcdHeader *header, std::string *error) {
  PcdKeywords keywords;
  return read_keyword_lines(in, header, &keywords, error) &&
         lay_out_fields(keywords, header, error) && count_points(keywords, header, error) &&
         has_coordinates(*header, error);
}

std::string viewpoint_line(const double viewpoint[kViewpointValues]) {
  std::string line = "VIEWPOINT";
  char number[kNumberTextSize];
  for (int v = 0; v < kViewpointValues; ++v) {
    line += ' ';
    line.append(number, format_number(viewpoint[v], number));
  }
  return line + "\n";
}

void write_pcd_token(const PcdField &field, const char *bytes, ByteWriter *out) {
  PlyType type;
  if (is_packed_colour(field)) {
    // Packed bytes (a NaN pattern when alpha is 255 and red 128 or more), written as PCL
    // writes them: their integer value.
    uint32_t packed;
    std::memcpy(&packed, bytes, sizeof packed);
    char text[kNumberTextSize];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, packed);
    out->write(text, size_t(written.ptr - text));
    return;
  }
  if (ply_type_of(field, &type)) {
    write_ply_token(type, load_ply_value(type, false, bytes), out);
    return;
  }
  char text[kNumberTextSize];
  std::to_chars_result written;
  if (field.type == 'I') {
    int64_t value;
    std::memcpy(&value, bytes, sizeof value);
    written = std::to_chars(text, text + sizeof text, value);
  } else {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    written = std::to_chars(text, text + sizeof text, value);
  }
  out->write(text, size_t(written.ptr - text));
}

bool parse_pcd_token(const PcdField &field, std::string_view token, char *bytes) {
  PlyType type;
  if (is_packed_colour(field) && field.type == 'F' && !token.empty() &&
      token.find_first_not_of("0123456789") == std::string_view::npos) {
    // A packed colour written as its integer value (a float's digits have a point or an
    // exponent, but for a whole number, which no packed colour of a real cloud is).
    uint32_t packed = 0;
    const std::from_chars_result parsed =
        std::from_chars(token.data(), token.data() + token.size(), packed);
    std::memcpy(bytes, &packed, sizeof packed);
    return parsed.ec == std::errc() && parsed.ptr == token.data() + token.size();
  }
  if (ply_type_of(field, &type)) {
    double value = 0.0;
    if (!parse_ply_token(type, token, &value)) {
      return false;
    }
    store_ply_value(type, false, value, bytes);
    return true;
  }
  const char *end = token.data() + token.size();
  std::from_chars_result parsed;
  if (field.type == 'I') {
    int64_t value = 0;
    parsed = std::from_chars(token.data(), end, value);
    std::memcpy(bytes, &value, sizeof value);
  } else {
    uint64_t value = 0;
    parsed = std::from_chars(token.data(), end, value);
    std::memcpy(bytes, &value, sizeof value);
  }
  return parsed.ec == std::errc() && parsed.ptr == end;
}

bool is_packed_colour(const PcdField &field) {
  return (field.name == "rgb" || field.name == "rgba") && field.size == 4 && field.count == 1;
}

}  // namespace levelling
