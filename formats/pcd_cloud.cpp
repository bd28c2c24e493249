// PCD clouds (the Point Cloud Library's format, version 0.7 and the 0.5/0.6 headers that only
// lack some of its lines): ascii, binary and binary_compressed data.
//
// Inside the reader every point is a binary record, as PCD's binary data lays it out: the
// coordinates (and normals) are loaded from the records, visited and stored back, and the records
// are written in the kind of data asked for. Records keep every field's bytes, so nothing but the
// visited values changes, whatever the fields' types and counts. binary_compressed is one LZF
// block of the whole cloud, field after field: it is read, and written, whole.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lzf.h>
#include <sys/mman.h>

#include "formats/cloud_stream.h"
#include "formats/cloud_writer.h"
#include "formats/number_text.h"
#include "formats/ply_values.h"
#include "formats/stream_support.h"

namespace levelling {

namespace {

constexpr size_t kLongestHeader = size_t(1) << 20;
constexpr size_t kPiece = size_t(1) << 20;  // bytes of records looked at together
constexpr size_t kAsciiBlockPoints = 65536;
constexpr size_t kLongestLine = size_t(16) << 20;
constexpr size_t kMaxCount = size_t(1) << 16;  // values in one field
constexpr size_t kLongestRecord = size_t(1) << 20;  // bytes of one point
// LZF writes a run of up to 264 repeated bytes in 3: no block expands more than this.
constexpr size_t kMostExpansion = 96;
constexpr size_t kCompressedSizes = 8;         // two uint32: compressed, then raw bytes
const char *const kPcdNormalNames[kAxes] = {"normal_x", "normal_y", "normal_z"};
constexpr int kViewpointValues = 7;  // tx ty tz qw qx qy qz

enum class PcdData { kAscii, kBinary, kBinaryCompressed };

PcdData data_of(CloudFormat format) {
  return format == CloudFormat::kPcdAscii    ? PcdData::kAscii
         : format == CloudFormat::kPcdBinary ? PcdData::kBinary
                                             : PcdData::kBinaryCompressed;
}

CloudFormat format_of(PcdData data) {
  return data == PcdData::kAscii    ? CloudFormat::kPcdAscii
         : data == PcdData::kBinary ? CloudFormat::kPcdBinary
                                    : CloudFormat::kPcdBinaryCompressed;
}

const char *data_name(PcdData data) {
  return data == PcdData::kAscii    ? "ascii"
         : data == PcdData::kBinary ? "binary"
                                    : "binary_compressed";
}

struct PcdField {
  std::string name;
  char type = 'F';   // F (float), I (signed) or U (unsigned)
  size_t size = 4;   // bytes of one value: 1, 2, 4 or 8
  size_t count = 1;  // values of the field in a point
  size_t offset = 0; // in a binary record
};

// The PLY type that loads and stores a field's values, false for 64-bit integers (exact in no
// double), which only PCD itself carries.
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

struct PcdHeader {
  std::vector<std::string> lines;  // every line before DATA's, with its line end
  std::vector<PcdField> fields;
  size_t record = 0;  // bytes of a binary record
  int64_t points = 0;
  double viewpoint[kViewpointValues] = {0, 0, 0, 1, 0, 0, 0};
  size_t viewpoint_line = SIZE_MAX;  // its index in `lines`, SIZE_MAX when there is none
  PcdData data = PcdData::kAscii;

  int find(std::string_view name) const {
    for (size_t f = 0; f < fields.size(); ++f) {
      if (fields[f].name == name) {
        return int(f);
      }
    }
    return -1;
  }
};

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

// Reads the header from the start of `in` and consumes it, with the DATA line. On a fault says
// what is wrong in *error ("line 3: SIZE has 3 values for 4 fields").
bool read_pcd_header(ByteReader *in, PcdHeader *header, std::string *error) {
  std::vector<std::string_view> sizes, types, counts;
  std::vector<std::string> kept[3];  // the words of SIZE, TYPE and COUNT, owned
  int64_t width = -1, height = -1, points = -1;
  bool has_fields = false;
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
      break;
    }
    header->lines.push_back(line);
    if (key == "VERSION") {
      continue;
    }
    if (key == "FIELDS" || key == "COLUMNS") {
      has_fields = true;
      for (std::string_view name : values) {
        header->fields.push_back({std::string(name), 'F', 4, 1, 0});
      }
      continue;
    }
    if (key == "SIZE" || key == "TYPE" || key == "COUNT") {
      const int k = key == "SIZE" ? 0 : key == "TYPE" ? 1 : 2;
      kept[k].assign(values.begin(), values.end());
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
    int64_t *target = key == "WIDTH" ? &width : key == "HEIGHT" ? &height
                      : key == "POINTS"                         ? &points
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
  if (!has_fields || header->fields.empty()) {
    *error = "the header has no FIELDS";
    return false;
  }
  const size_t n = header->fields.size();
  const char *names[3] = {"SIZE", "TYPE", "COUNT"};
  for (int k = 0; k < 3; ++k) {
    if (kept[k].empty() && k == 2) {
      continue;  // no COUNT: one value a field
    }
    if (kept[k].size() != n) {
      *error = std::string(names[k]) + " has " + std::to_string(kept[k].size()) +
               " values for " + std::to_string(n) + " fields";
      return false;
    }
  }
  size_t offset = 0;
  for (size_t f = 0; f < n; ++f) {
    PcdField &field = header->fields[f];
    int64_t size = 0, count = 1;
    const std::string &type = kept[1][f];
    if (!parse_count(kept[0][f], &size) || type.size() != 1 ||
        (type[0] != 'F' && type[0] != 'I' && type[0] != 'U') ||
        (type[0] == 'F' ? size != 4 && size != 8
                        : size != 1 && size != 2 && size != 4 && size != 8)) {
      *error = "field " + field.name + ": TYPE " + type.substr(0, 8) + " with SIZE " +
               kept[0][f].substr(0, 8) + " is no PCD type";
      return false;
    }
    if (!kept[2].empty() && (!parse_count(kept[2][f], &count) || count < 1 ||
                             count > int64_t(kMaxCount))) {
      *error = "field " + field.name + ": COUNT " + kept[2][f].substr(0, 20) +
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
  if (width < 0) {
    width = points >= 0 ? points : 0;
  }
  if (height < 0) {
    height = 1;
  }
  if (points < 0) {
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
  header->points = points;
  for (int k = 0; k < kAxes; ++k) {
    const int f = header->find(kCoordinateNames[k]);
    if (f < 0) {
      *error = std::string("no field ") + kCoordinateNames[k];
      return false;
    }
    const PcdField &field = header->fields[size_t(f)];
    if (field.type != 'F' || field.count != 1) {
      *error = std::string("field ") + kCoordinateNames[k] + " is not one F 4 or F 8 value";
      return false;
    }
  }
  return true;
}

// A unit quaternion (w, x, y, z) of the rotation matrix r.
void quaternion_of(const double (*r)[4], double q[4]) {
  const double trace = r[0][0] + r[1][1] + r[2][2];
  if (trace > 0.0) {
    const double s = 2.0 * std::sqrt(1.0 + trace);
    q[0] = s / 4.0;
    q[1] = (r[2][1] - r[1][2]) / s;
    q[2] = (r[0][2] - r[2][0]) / s;
    q[3] = (r[1][0] - r[0][1]) / s;
  } else if (r[0][0] > r[1][1] && r[0][0] > r[2][2]) {
    const double s = 2.0 * std::sqrt(1.0 + r[0][0] - r[1][1] - r[2][2]);
    q[0] = (r[2][1] - r[1][2]) / s;
    q[1] = s / 4.0;
    q[2] = (r[0][1] + r[1][0]) / s;
    q[3] = (r[0][2] + r[2][0]) / s;
  } else if (r[1][1] > r[2][2]) {
    const double s = 2.0 * std::sqrt(1.0 + r[1][1] - r[0][0] - r[2][2]);
    q[0] = (r[0][2] - r[2][0]) / s;
    q[1] = (r[0][1] + r[1][0]) / s;
    q[2] = s / 4.0;
    q[3] = (r[1][2] + r[2][1]) / s;
  } else {
    const double s = 2.0 * std::sqrt(1.0 + r[2][2] - r[0][0] - r[1][1]);
    q[0] = (r[1][0] - r[0][1]) / s;
    q[1] = (r[0][2] + r[2][0]) / s;
    q[2] = (r[1][2] + r[2][1]) / s;
    q[3] = s / 4.0;
  }
}

// The sensor's pose moved with the cloud: its position by the motion, its orientation turned
// by the motion's rotation (which the quaternion product applies first).
void move_viewpoint(const double (*motion)[4], const double in[kViewpointValues],
                    double out[kViewpointValues]) {
  for (int k = 0; k < kAxes; ++k) {
    out[k] = motion[k][0] * in[0] + motion[k][1] * in[1] + motion[k][2] * in[2] + motion[k][3];
  }
  double r[4];
  quaternion_of(motion, r);
  const double *q = in + kAxes;
  out[3] = r[0] * q[0] - r[1] * q[1] - r[2] * q[2] - r[3] * q[3];
  out[4] = r[0] * q[1] + r[1] * q[0] + r[2] * q[3] - r[3] * q[2];
  out[5] = r[0] * q[2] - r[1] * q[3] + r[2] * q[0] + r[3] * q[1];
  out[6] = r[0] * q[3] + r[1] * q[2] - r[2] * q[1] + r[3] * q[0];
  if (out[3] < 0.0) {  // the same rotation, written with w >= 0 as PCL writes it
    for (int v = 3; v < kViewpointValues; ++v) {
      out[v] = -out[v];
    }
  }
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

// Writes one value of a field at `bytes` as an ASCII token.
void write_pcd_token(const PcdField &field, const char *bytes, ByteWriter *out) {
  PlyType type;
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

// Parses an ASCII token as one value of a field into `bytes`; false when it is no such value.
bool parse_pcd_token(const PcdField &field, std::string_view token, char *bytes) {
  PlyType type;
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

// Memory for a whole cloud (binary_compressed data is one block): mapped untouched, in huge
// pages where the system gives them, so that a cloud of hundreds of MB costs hundreds of page
// faults rather than hundreds of thousands, and a size no input backs is never touched.
class CloudBuffer {
 public:
  explicit CloudBuffer(size_t size) : size_(size) {
    if (size_ == 0) {
      return;
    }
    void *memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
      return;
    }
    data_ = static_cast<char *>(memory);
#ifdef MADV_HUGEPAGE
    madvise(data_, size_, MADV_HUGEPAGE);
#endif
  }
  ~CloudBuffer() {
    if (data_ != nullptr) {
      munmap(data_, size_);
    }
  }
  CloudBuffer(const CloudBuffer &) = delete;
  CloudBuffer &operator=(const CloudBuffer &) = delete;

  // The memory, or nullptr when a size was asked for that the system would not map.
  char *data() const { return size_ == 0 ? empty_ : data_; }
  size_t size() const { return size_; }

 private:
  size_t size_;
  char *data_ = nullptr;
  mutable char empty_[1] = {};
};

// Copies n items of `width` bytes from `from` (one every from_stride bytes) to `to` (one every
// to_stride): a field's values between records and a field's run. The common widths copy
// without a call an item.
template <size_t kWidth>
void copy_items(const char *from, size_t from_stride, char *to, size_t to_stride, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(to + i * to_stride, from + i * from_stride, kWidth);
  }
}

void copy_strided(const char *from, size_t from_stride, char *to, size_t to_stride, size_t width,
                  size_t n) {
  switch (width) {
    case 1:
      return copy_items<1>(from, from_stride, to, to_stride, n);
    case 2:
      return copy_items<2>(from, from_stride, to, to_stride, n);
    case 4:
      return copy_items<4>(from, from_stride, to, to_stride, n);
    case 8:
      return copy_items<8>(from, from_stride, to, to_stride, n);
    case 12:
      return copy_items<12>(from, from_stride, to, to_stride, n);
    default:
      for (size_t i = 0; i < n; ++i) {
        std::memcpy(to + i * to_stride, from + i * from_stride, width);
      }
  }
}

// Writes PCD data of one kind from binary records: straight for binary, as lines for ascii,
// gathered field by field and compressed at the end for binary_compressed.
class PcdDataWriter {
 public:
  PcdDataWriter(ByteWriter *out, const std::vector<PcdField> &fields, size_t record,
                int64_t points, PcdData data)
      : out_(out), fields_(fields), record_(record), points_(points), data_(data),
        gathered_(data == PcdData::kBinaryCompressed ? size_t(points) * record : 0) {}

  // False when binary_compressed data needs more memory than the system gives.
  bool ready() const { return data_ != PcdData::kBinaryCompressed || gathered_.data() != nullptr; }

  // The header's lines, then DATA's.
  void header(const std::vector<std::string> &lines) {
    for (const std::string &line : lines) {
      out_->write(line.data(), line.size());
    }
    const std::string data = std::string("DATA ") + data_name(data_) + "\n";
    out_->write(data.data(), data.size());
  }

  // n records, one after the other. False when they are more than the header's points.
  bool records(const char *bytes, size_t n) {
    if (written_ + int64_t(n) > points_) {
      return false;
    }
    if (data_ == PcdData::kBinary) {
      out_->write(bytes, n * record_);
    } else if (data_ == PcdData::kAscii) {
      for (size_t i = 0; i < n; ++i) {
        line(bytes + i * record_);
      }
    } else {
      // Gathered field by field, each field's values of every point together.
      for (const PcdField &field : fields_) {
        const size_t width = field.size * field.count;
        char *run = gathered_.data() + size_t(points_) * field.offset;
        copy_strided(bytes + field.offset, record_, run + size_t(written_) * width, width, width,
                     n);
      }
    }
    written_ += int64_t(n);
    return true;
  }

  // Ends the data: "" when it is whole, else why not.
  std::string finish() {
    if (written_ != points_) {
      return "fewer points than POINTS says";
    }
    if (data_ != PcdData::kBinaryCompressed) {
      return "";
    }
    const size_t raw = gathered_.size();
    if (raw > UINT32_MAX / 2) {
      return "binary_compressed data holds at most 2 GiB; write binary instead";
    }
    // Incompressible data grows a little: LZF adds a byte every 32 and a few at the end.
    CloudBuffer compressed(raw + raw / 16 + 64);
    const unsigned size =
        raw == 0 || compressed.data() == nullptr
            ? 0
            : lzf_compress(gathered_.data(), unsigned(raw), compressed.data(),
                           unsigned(compressed.size()));
    if (raw > 0 && size == 0) {
      return "the cloud could not be compressed (out of memory?)";
    }
    const uint32_t sizes[2] = {uint32_t(size), uint32_t(raw)};
    out_->write(reinterpret_cast<const char *>(sizes), sizeof sizes);
    out_->write(compressed.data(), size);
    return "";
  }

 private:
  void line(const char *record) {
    bool first = true;
    for (const PcdField &field : fields_) {
      for (size_t v = 0; v < field.count; ++v) {
        if (!first) {
          out_->write(' ');
        }
        first = false;
        write_pcd_token(field, record + field.offset + v * field.size, out_);
      }
    }
    out_->write('\n');
  }

  ByteWriter *out_;
  const std::vector<PcdField> fields_;
  size_t record_;
  int64_t points_;
  PcdData data_;
  int64_t written_ = 0;
  CloudBuffer gathered_;  // binary_compressed: each field's values of every point together
};

// Where a property of a PCD cloud written in another format comes from: one value of a field,
// or one colour channel of a packed rgb/rgba field.
struct PropertySource {
  size_t field;
  size_t value;      // among the field's count
  int channel = -1;  // bit shift of a colour channel, -1 for a plain value
};

constexpr int kRedShift = 16, kGreenShift = 8, kBlueShift = 0, kAlphaShift = 24;

bool is_packed_colour(const PcdField &field) {
  return (field.name == "rgb" || field.name == "rgba") && field.size == 4 && field.count == 1;
}

class PcdStreamer {
 public:
  PcdStreamer(ByteReader *in, const PointVisitor &visit, const StreamOptions &options)
      : in_(in), visit_(visit), options_(options) {}

  StreamResult run();

 private:
  bool prepare();
  bool binary_data();
  bool compressed_data();
  bool ascii_data();
  bool parse_line(std::string_view line, char *record);
  bool points(const char *records, size_t n, const std::string_view *lines);
  void patch_line(std::string_view line, const char *record);
  bool fail(StreamFault fault, const std::string &message) {
    result_.fault = fault;
    result_.message = message;
    return false;
  }

  ByteReader *in_;
  const PointVisitor &visit_;
  const StreamOptions &options_;
  StreamResult result_;
  PcdHeader header_;
  int coordinate_[kAxes] = {};
  int normal_[kAxes] = {-1, -1, -1};
  PlyType coordinate_type_[kAxes] = {};
  PlyType normal_type_[kAxes] = {};
  int coordinate_property_[kAxes] = {};  // among another format's properties
  int normal_property_[kAxes] = {-1, -1, -1};
  bool writing_ = false;
  bool same_ = false;  // written as the input's own kind of data (ascii lines patched)
  std::unique_ptr<PcdDataWriter> data_out_;     // PCD output
  std::unique_ptr<CloudWriter> writer_;         // another format's
  std::vector<PropertySource> sources_;         // of the other format's properties
  std::vector<PlyType> source_types_;
  PointBlock block_;
  std::vector<char> records_;  // a block's records, when the input has none in this layout
  std::vector<double> values_;
  std::vector<std::pair<size_t, size_t>> tokens_;
  int64_t line_number_ = 0;
};

bool PcdStreamer::prepare() {
  std::string error;
  if (!read_pcd_header(in_, &header_, &error)) {
    return fail(StreamFault::kMalformed, error);
  }
  line_number_ = int64_t(header_.lines.size()) + 1;
  result_.format = format_of(header_.data);
  bool normals = true;
  for (int k = 0; k < kAxes; ++k) {
    coordinate_[k] = header_.find(kCoordinateNames[k]);
    ply_type_of(header_.fields[size_t(coordinate_[k])], &coordinate_type_[k]);
    normal_[k] = header_.find(kPcdNormalNames[k]);
    normals = normals && normal_[k] >= 0 && header_.fields[size_t(normal_[k])].type == 'F' &&
              header_.fields[size_t(normal_[k])].count == 1;
    if (normals) {
      ply_type_of(header_.fields[size_t(normal_[k])], &normal_type_[k]);
    }
  }
  block_.has_normals = result_.has_normals = normals;
  for (const PcdField &field : header_.fields) {
    PlyType type;
    if (!ply_type_of(field, &type) && result_.unconvertible.empty()) {
      result_.unconvertible = "the field " + field.name + " holds 64-bit integers";
    }
  }
  writing_ = options_.out != nullptr;
  if (!writing_) {
    return true;
  }
  if (family_of(options_.out_format) == CloudFamily::kPcd) {
    const PcdData data = data_of(options_.out_format);
    same_ = data == header_.data;
    std::vector<std::string> lines = header_.lines;
    if (options_.motion != nullptr && header_.viewpoint_line != SIZE_MAX) {
      double moved[kViewpointValues];
      move_viewpoint(options_.motion, header_.viewpoint, moved);
      lines[header_.viewpoint_line] = viewpoint_line(moved);
    }
    data_out_ = std::make_unique<PcdDataWriter>(options_.out, header_.fields, header_.record,
                                                header_.points, data);
    if (!data_out_->ready()) {
      return fail(StreamFault::kUnsupported, "no memory for the whole cloud, which "
                                             "binary_compressed data needs; write binary");
    }
    data_out_->header(lines);
    return true;
  }
  const std::string refusal = conversion_refusal(result_, options_.out_format);
  if (!refusal.empty()) {
    return fail(StreamFault::kUnsupported, refusal);
  }
  // Another format: every value of every field but padding ("_") a property, normals named as
  // PLY names them, packed colours as red, green, blue (and alpha) bytes.
  CloudSchema schema;
  schema.vertex.name = "vertex";
  schema.vertex.count = header_.points;
  schema.source = result_.format;
  const auto add = [&](const std::string &name, PlyType type, PropertySource source) {
    PlyProperty property;
    property.name = name;
    property.type = type;
    schema.vertex.properties.push_back(property);
    sources_.push_back(source);
    source_types_.push_back(type);
  };
  for (size_t f = 0; f < header_.fields.size(); ++f) {
    const PcdField &field = header_.fields[f];
    if (field.name == "_") {
      continue;
    }
    if (is_packed_colour(field)) {
      add("red", PlyType::kUint8, {f, 0, kRedShift});
      add("green", PlyType::kUint8, {f, 0, kGreenShift});
      add("blue", PlyType::kUint8, {f, 0, kBlueShift});
      if (field.name == "rgba") {
        add("alpha", PlyType::kUint8, {f, 0, kAlphaShift});
      }
      continue;
    }
    PlyType type;
    ply_type_of(field, &type);
    std::string name = field.name;
    for (int k = 0; k < kAxes; ++k) {
      name = name == kPcdNormalNames[k] ? kNormalNames[k] : name;
    }
    for (size_t v = 0; v < field.count; ++v) {
      add(field.count == 1 ? name : name + "_" + std::to_string(v), type, {f, v});
    }
  }
  for (int k = 0; k < kAxes; ++k) {
    for (size_t p = 0; p < sources_.size(); ++p) {
      if (sources_[p].field == size_t(coordinate_[k])) {
        schema.coordinate[k] = coordinate_property_[k] = int(p);
      }
      if (block_.has_normals && sources_[p].field == size_t(normal_[k])) {
        normal_property_[k] = int(p);
      }
    }
  }
  writer_ = make_cloud_writer(options_.out_format, options_.out, options_);
  writer_->begin(schema);
  return true;
}

// Visits n points whose binary records are at `records`, stores the visited values back into
// them and writes them. `lines`, for an ascii input written as ascii, are the points' lines.
bool PcdStreamer::points(const char *records, size_t n, const std::string_view *lines) {
  const size_t size = header_.record;
  reset_block(&block_, n);
  std::vector<double> *columns[kAxes] = {&block_.x, &block_.y, &block_.z};
  std::vector<double> *normals[kAxes] = {&block_.nx, &block_.ny, &block_.nz};
  for (int k = 0; k < kAxes; ++k) {
    load_ply_column(coordinate_type_[k], false,
                    records + header_.fields[size_t(coordinate_[k])].offset, size, n,
                    columns[k]->data());
    if (block_.has_normals) {
      load_ply_column(normal_type_[k], false, records + header_.fields[size_t(normal_[k])].offset,
                      size, n, normals[k]->data());
    }
  }
  int axis = 0;
  const size_t bad = first_bad_point(block_.x.data(), block_.y.data(), block_.z.data(), n, &axis);
  if (bad < n) {
    return fail(StreamFault::kMalformed, "point " + std::to_string(result_.points + int64_t(bad) + 1) +
                                             ": " + kCoordinateNames[axis] +
                                             " is not a finite number");
  }
  visit_(&block_);
  result_.points += int64_t(n);
  if (!writing_) {
    return true;
  }
  for (int k = 0; k < kAxes && writer_ == nullptr; ++k) {
    const size_t i = coordinate_type_[k] == PlyType::kFloat32
                         ? first_beyond_float(columns[k]->data(), n)
                         : n;
    if (i < n) {
      return fail(StreamFault::kUnsupported,
                  "point " + std::to_string(result_.points - int64_t(n - i) + 1) +
                      ": the levelled " + kCoordinateNames[k] + " is beyond the range of its F 4 field");
    }
  }
  if (writer_ != nullptr) {
    for (size_t i = 0; i < n; ++i) {
      const char *record = records + i * size;
      values_.resize(sources_.size());
      for (size_t p = 0; p < sources_.size(); ++p) {
        const PropertySource &source = sources_[p];
        const PcdField &field = header_.fields[source.field];
        const char *bytes = record + field.offset + source.value * field.size;
        if (source.channel >= 0) {
          uint32_t packed;
          std::memcpy(&packed, bytes, sizeof packed);
          values_[p] = double((packed >> source.channel) & 0xffu);
        } else {
          values_[p] = load_ply_value(source_types_[p], false, bytes);
        }
      }
      for (int k = 0; k < kAxes; ++k) {
        values_[size_t(coordinate_property_[k])] = (*columns[k])[i];
        if (normal_property_[k] >= 0) {
          values_[size_t(normal_property_[k])] = (*normals[k])[i];
        }
      }
      writer_->vertex(values_.data());
    }
    return true;
  }
  // PCD: the records, with the visited values stored into a copy of them.
  records_.assign(records, records + n * size);
  char *copy = records_.data();
  for (int k = 0; k < kAxes; ++k) {
    store_ply_column(coordinate_type_[k], false, columns[k]->data(), n,
                     copy + header_.fields[size_t(coordinate_[k])].offset, size);
    if (block_.has_normals) {
      store_ply_column(normal_type_[k], false, normals[k]->data(), n,
                       copy + header_.fields[size_t(normal_[k])].offset, size);
    }
  }
  if (same_ && lines != nullptr) {
    for (size_t i = 0; i < n; ++i) {
      patch_line(lines[i], copy + i * size);
    }
    return true;
  }
  if (!data_out_->records(copy, n)) {
    return fail(StreamFault::kMalformed, "more points than POINTS says");
  }
  return true;
}

// Writes an ascii line (with its line end) as it was but for the visited values, which come
// from `record`.
void PcdStreamer::patch_line(std::string_view line, const char *record) {
  std::string_view text = line;  // the line without its end, which stays as it was
  while (!text.empty() && text.back() == '\n') {
    text.remove_suffix(1);
  }
  split_tokens(text, &tokens_);
  size_t token = 0, from = 0;
  for (size_t f = 0; f < header_.fields.size(); ++f) {
    const PcdField &field = header_.fields[f];
    bool visited = false;
    for (int k = 0; k < kAxes; ++k) {
      visited = visited || int(f) == coordinate_[k] || (block_.has_normals && int(f) == normal_[k]);
    }
    if (visited) {
      options_.out->write(line.data() + from, tokens_[token].first - from);
      write_pcd_token(field, record + field.offset, options_.out);
      from = tokens_[token].second;
    }
    token += field.count;
  }
  options_.out->write(line.data() + from, line.size() - from);
}

// Parses an ascii line into a binary record; false (with the fault said) when it is not one.
bool PcdStreamer::parse_line(std::string_view line, char *record) {
  split_tokens(line, &tokens_);
  const std::string at = "line " + std::to_string(line_number_) + ": ";
  size_t token = 0;
  for (const PcdField &field : header_.fields) {
    for (size_t v = 0; v < field.count; ++v, ++token) {
      if (token == tokens_.size()) {
        return fail(StreamFault::kMalformed, at + "too few values (no " + field.name + ")");
      }
      const std::string_view text =
          line.substr(tokens_[token].first, tokens_[token].second - tokens_[token].first);
      if (!parse_pcd_token(field, text, record + field.offset + v * field.size)) {
        return fail(StreamFault::kMalformed, at + "'" + std::string(text.substr(0, 40)) +
                                                 "' is not a " + field.type + " " +
                                                 std::to_string(field.size) + " value (" +
                                                 field.name + ")");
      }
    }
  }
  if (token != tokens_.size()) {
    return fail(StreamFault::kMalformed, at + "more values than the fields take");
  }
  return true;
}

std::string truncated(int64_t done, int64_t points) {
  return "truncated: the file ends inside point " + std::to_string(done + 1) + " of " +
         std::to_string(points);
}

bool PcdStreamer::binary_data() {
  const size_t size = header_.record;
  const size_t per_piece = std::max<size_t>(1, kPiece / size);
  for (int64_t done = 0; done < header_.points;) {
    const size_t wanted = size_t(std::min<int64_t>(header_.points - done, int64_t(per_piece)));
    const size_t n = std::min(wanted, in_->fill(wanted * size) / size);
    if (n == 0) {
      return fail(StreamFault::kMalformed, truncated(done, header_.points));
    }
    if (!points(in_->data(), n, nullptr)) {
      return false;
    }
    in_->consume(n * size);
    done += int64_t(n);
    if (options_.progress) {
      options_.progress(in_->offset());
    }
  }
  return true;
}

bool PcdStreamer::compressed_data() {
  if (in_->fill(kCompressedSizes) < kCompressedSizes) {
    return fail(StreamFault::kMalformed, "truncated: no compressed data after the header");
  }
  uint32_t sizes[2];
  std::memcpy(sizes, in_->data(), sizeof sizes);
  in_->consume(kCompressedSizes);
  const size_t raw = size_t(header_.points) * header_.record;
  if (sizes[1] != raw) {
    return fail(StreamFault::kMalformed,
                "the compressed data holds " + std::to_string(sizes[1]) + " bytes, not the " +
                    std::to_string(raw) + " of POINTS records");
  }
  if (raw / kMostExpansion > sizes[0]) {
    return fail(StreamFault::kMalformed, "the compressed data's " + std::to_string(sizes[0]) +
                                             " bytes cannot hold POINTS records");
  }
  if (in_->fill(sizes[0]) < sizes[0]) {
    return fail(StreamFault::kMalformed, "truncated: the file ends inside the compressed data");
  }
  CloudBuffer fields(raw);
  if (fields.data() == nullptr) {
    return fail(StreamFault::kUnsupported, "no memory for the " + std::to_string(raw) +
                                               " bytes of the decompressed cloud");
  }
  if (raw > 0 && lzf_decompress(in_->data(), sizes[0], fields.data(), unsigned(raw)) != raw) {
    return fail(StreamFault::kMalformed, "the compressed data does not decompress to POINTS records");
  }
  in_->consume(sizes[0]);
  // Field after field, gathered into records a block at a time.
  const size_t size = header_.record;
  const size_t per_piece = std::max<size_t>(1, kPiece / size);
  std::vector<char> records(per_piece * size);
  for (int64_t done = 0; done < header_.points;) {
    const size_t n = size_t(std::min<int64_t>(header_.points - done, int64_t(per_piece)));
    for (const PcdField &field : header_.fields) {
      const size_t width = field.size * field.count;
      const char *column = fields.data() + size_t(header_.points) * field.offset;
      copy_strided(column + size_t(done) * width, width, records.data() + field.offset, size,
                   width, n);
    }
    if (!points(records.data(), n, nullptr)) {
      return false;
    }
    done += int64_t(n);
    if (options_.progress) {
      options_.progress(in_->offset());
    }
  }
  return true;
}

// The bytes of whole lines at the start of what `in` holds, at least one line unless the input
// has ended: 0 at its end, or with a fault said for a line beyond the longest taken.
size_t whole_lines(ByteReader *in, bool *too_long) {
  size_t available = in->fill(kPiece);
  for (;;) {
    const char *data = in->data();
    size_t last = available;
    while (last > 0 && data[last - 1] != '\n') {
      --last;
    }
    if (last > 0) {
      return last;
    }
    const size_t more = in->fill(available + kPiece);
    if (more == available) {
      return available;  // the last line has no line end
    }
    if (more > kLongestLine) {
      *too_long = true;
      return 0;
    }
    available = more;
  }
}

bool PcdStreamer::ascii_data() {
  const size_t size = header_.record;
  std::vector<char> records;
  std::vector<std::string_view> lines;
  const bool patching = writing_ && same_;
  // Lines up to the last point's, then any blank lines that follow (nothing else may).
  for (int64_t done = 0;;) {
    bool too_long = false;
    const size_t usable = whole_lines(in_, &too_long);
    if (too_long) {
      return fail(StreamFault::kMalformed,
                  "line " + std::to_string(line_number_ + 1) + ": longer than 16 MiB");
    }
    if (usable == 0) {
      return done == header_.points ? true
                                    : fail(StreamFault::kMalformed, truncated(done, header_.points));
    }
    const char *data = in_->data();
    const size_t block = std::min(kAsciiBlockPoints, std::max<size_t>(1, kPiece * 4 / size));
    records.resize(block * size);
    lines.clear();
    size_t at = 0;
    while (at < usable && lines.size() < block) {
      const void *end = std::memchr(data + at, '\n', usable - at);
      const size_t next = end != nullptr ? size_t(static_cast<const char *>(end) - data) + 1 : usable;
      const std::string_view whole(data + at, next - at);
      std::string_view text = whole;
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
      }
      ++line_number_;
      split_tokens(text, &tokens_);
      if (!tokens_.empty()) {
        if (done + int64_t(lines.size()) == header_.points) {
          return fail(StreamFault::kMalformed, "line " + std::to_string(line_number_) +
                                                   ": more points than POINTS says");
        }
        if (!parse_line(text, records.data() + lines.size() * size)) {
          return false;
        }
        lines.push_back(whole);
      }
      if (patching && tokens_.empty()) {
        // Blank lines stay where they were: written once the points before them are.
        if (!lines.empty() && !points(records.data(), lines.size(), lines.data())) {
          return false;
        }
        done += int64_t(lines.size());
        lines.clear();
        options_.out->write(whole.data(), whole.size());
      }
      at = next;
    }
    if (!lines.empty() && !points(records.data(), lines.size(), lines.data())) {
      return false;
    }
    done += int64_t(lines.size());
    in_->consume(at);
    if (options_.progress) {
      options_.progress(in_->offset());
    }
  }
}

StreamResult PcdStreamer::run() {
  if (!prepare()) {
    return result_;
  }
  const bool ok = header_.data == PcdData::kBinary  ? binary_data()
                  : header_.data == PcdData::kAscii ? ascii_data()
                                                    : compressed_data();
  if (!ok) {
    return result_;
  }
  if (writer_ != nullptr && !finish_writer(writer_.get(), &result_)) {
    return result_;
  }
  // (An ascii cloud written as ascii went out line by line, patched.)
  const bool patched = same_ && header_.data == PcdData::kAscii;
  const std::string unfinished = data_out_ != nullptr && !patched ? data_out_->finish() : "";
  if (!unfinished.empty()) {
    fail(StreamFault::kUnsupported, unfinished);
  }
  return result_;
}

// PCD written from another format: a field a property (normals named as PCL names them), red,
// green and blue bytes packed into one rgb field (rgba with alpha), WIDTH the point count and
// HEIGHT 1, the sensor at the origin.
class PcdCloudWriter : public CloudWriter {
 public:
  PcdCloudWriter(ByteWriter *out, PcdData data, int64_t points)
      : out_(out), data_(data), points_(points) {}

  void begin(const CloudSchema &schema) override {
    const std::vector<PlyProperty> &properties = schema.vertex.properties;
    const int colour[4] = {schema.vertex.find("red"), schema.vertex.find("green"),
                           schema.vertex.find("blue"), schema.vertex.find("alpha")};
    bool packed = true;
    for (int c = 0; c < 3; ++c) {
      packed = packed && colour[c] >= 0 && properties[size_t(colour[c])].type == PlyType::kUint8;
    }
    packed_alpha_ = packed && colour[3] >= 0 &&
                    properties[size_t(colour[3])].type == PlyType::kUint8;
    size_t offset = 0;
    for (size_t p = 0; p < properties.size(); ++p) {
      const PlyProperty &property = properties[p];
      const bool is_colour = packed && (int(p) == colour[0] || int(p) == colour[1] ||
                                        int(p) == colour[2] || (packed_alpha_ && int(p) == colour[3]));
      if (is_colour) {
        if (int(p) == colour[0]) {
          for (int c = 0; c < 4; ++c) {
            colour_[c] = c < 3 || packed_alpha_ ? colour[c] : -1;
          }
          colour_field_ = fields_.size();
          fields_.push_back({packed_alpha_ ? "rgba" : "rgb", packed_alpha_ ? 'U' : 'F', 4, 1,
                             offset});
          offset += 4;
        }
        continue;
      }
      std::string name = property.name;
      for (int k = 0; k < kAxes; ++k) {
        name = name == kNormalNames[k] ? kPcdNormalNames[k] : name;
      }
      const size_t size = ply_type_size(property.type);
      const char type = property.type == PlyType::kFloat32 || property.type == PlyType::kFloat64
                            ? 'F'
                        : property.type == PlyType::kInt8 || property.type == PlyType::kInt16 ||
                                property.type == PlyType::kInt32
                            ? 'I'
                            : 'U';
      fields_.push_back({name, type, size, 1, offset});
      from_.push_back({p, fields_.size() - 1});
      offset += size;
    }
    record_.resize(offset);
    std::string lines = "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS";
    for (const PcdField &field : fields_) {
      lines += " " + field.name;
    }
    lines += "\nSIZE";
    for (const PcdField &field : fields_) {
      lines += " " + std::to_string(field.size);
    }
    lines += "\nTYPE";
    for (const PcdField &field : fields_) {
      lines += std::string(" ") + field.type;
    }
    lines += "\nCOUNT";
    for (size_t f = 0; f < fields_.size(); ++f) {
      lines += " 1";
    }
    const std::string points = std::to_string(points_);
    lines += "\nWIDTH " + points + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + points + "\n";
    data_out_ = std::make_unique<PcdDataWriter>(out_, fields_, offset, points_, data_);
    if (!data_out_->ready()) {
      fault_ = "no memory for the whole cloud, which binary_compressed data needs; write binary";
    }
    data_out_->header({lines});
  }

  void vertex(const double *values) override {
    if (!fault_.empty()) {
      return;
    }
    char *record = record_.data();
    for (const auto &[property, field] : from_) {
      PlyType type;
      ply_type_of(fields_[field], &type);
      store_ply_value(type, false, values[property], record + fields_[field].offset);
    }
    if (colour_[0] >= 0) {
      const int shifts[4] = {kRedShift, kGreenShift, kBlueShift, kAlphaShift};
      uint32_t packed = 0;
      for (int c = 0; c < 4; ++c) {
        if (colour_[c] >= 0) {
          packed |= uint32_t(values[colour_[c]]) << shifts[c];
        }
      }
      std::memcpy(record + fields_[colour_field_].offset, &packed, sizeof packed);
    }
    if (!data_out_->records(record, 1) && fault_.empty()) {
      fault_ = "more points than the count given";
    }
  }

  void record(const PlyElement &, const std::vector<double> &) override {}

  void finish() override {
    const std::string unfinished = data_out_->finish();
    if (fault_.empty()) {
      fault_ = unfinished;
    }
  }

 private:
  ByteWriter *out_;
  PcdData data_;
  int64_t points_;
  std::vector<PcdField> fields_;
  std::vector<std::pair<size_t, size_t>> from_;  // property -> field, for plain values
  int colour_[4] = {-1, -1, -1, -1};             // properties of red, green, blue, alpha
  size_t colour_field_ = 0;
  bool packed_alpha_ = false;
  std::vector<char> record_;
  std::unique_ptr<PcdDataWriter> data_out_;
};

}  // namespace

StreamResult stream_pcd_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options) {
  PcdStreamer streamer(in, visit, options);
  return streamer.run();
}

std::unique_ptr<CloudWriter> make_pcd_cloud_writer(CloudFormat format, ByteWriter *out,
                                                   const StreamOptions &options) {
  return std::make_unique<PcdCloudWriter>(out, data_of(format), std::max<int64_t>(options.points, 0));
}

}  // namespace levelling
