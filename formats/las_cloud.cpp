// LAS clouds (ASPRS's lidar format), versions 1.0 to 1.4, point data record formats 0 to 10,
// uncompressed.
//
// X, Y and Z are 32-bit integers, scaled and offset: read as x = X * scale + offset, written
// back as the nearest integer at the input's scale (an error of at most half of it). Written as
// LAS, everything but the coordinates, the waveform packets' directions (turned with the points),
// the header's offsets (kept where the levelled values fit, new ones otherwise) and its bounds
// (those of the points written) comes through byte for byte: VLRs, EVLRs, extra bytes, counts.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/cloud_stream.h"
#include "formats/cloud_writer.h"
#include "formats/moved_fields.h"
#include "formats/number_text.h"
#include "formats/ply_values.h"
#include "formats/stream_support.h"

namespace levelling {

namespace {

// The header: its sizes by version, and where its fields are.
constexpr size_t kHeader10 = 227, kHeader13 = 235, kHeader14 = 375;
constexpr size_t kGlobalEncoding = 6, kVersionMajor = 24, kVersionMinor = 25;
constexpr size_t kSystemIdentifier = 26, kGeneratingSoftware = 58, kNameBytes = 32;
constexpr size_t kHeaderSize = 94, kPointOffset = 96, kVlrCount = 100, kPointFormat = 104;
constexpr size_t kRecordLength = 105, kLegacyCount = 107;
constexpr size_t kScale = 131, kOffset = 155, kBounds = 179;  // bounds: max x, min x, max y...
constexpr size_t kCount = 247, kByReturn = 255;
constexpr int kReturns = 15;
constexpr unsigned kLazBits = 0xc0;
constexpr int kLastFormat = 10;
constexpr size_t kMinimumRecord[kLastFormat + 1] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
constexpr unsigned kWktBit = 0x10;  // global encoding: the coordinate system is WKT
// A VLR: its header's size, and the extra bytes' (user LASF_Spec, record 4) descriptors.
constexpr size_t kVlrHeader = 54, kVlrUser = 2, kVlrRecord = 18, kVlrLength = 20;
constexpr size_t kUserBytes = 16, kDescriptionBytes = 32;
constexpr int kExtraBytesRecord = 4;
constexpr size_t kExtraDescriptor = 192, kExtraType = 2, kExtraOptions = 3, kExtraName = 4;
constexpr size_t kExtraDescription = 160;
constexpr size_t kPiece = size_t(1) << 20;  // bytes of records looked at together
constexpr double kColourScale = 257.0;      // 8-bit colour to LAS's 16 bits: 255 -> 65535

template <typename T>
T get(const char *bytes, size_t at) {
  T value;
  std::memcpy(&value, bytes + at, sizeof value);
  return value;
}
template <typename T>
void put(char *bytes, size_t at, T value) {
  std::memcpy(bytes + at, &value, sizeof value);
}

// One attribute of a point record: bits [shift, shift + bits) of a value (bits 0: all of it).
struct LasField {
  std::string name;
  size_t offset;
  PlyType type;
  int shift = 0;
  int bits = 0;
  bool wide = false;  // a 64-bit integer (a waveform packet's offset), exact in no double
};

// The attributes of a point format after X, Y and Z, in record order.
std::vector<LasField> standard_fields(int format) {
  using T = PlyType;
  std::vector<LasField> fields = {{"intensity", 12, T::kUint16}};
  size_t next = 0;
  if (format <= 5) {
    fields.insert(fields.end(), {{"return_number", 14, T::kUint8, 0, 3},
                                 {"number_of_returns", 14, T::kUint8, 3, 3},
                                 {"scan_direction_flag", 14, T::kUint8, 6, 1},
                                 {"edge_of_flight_line", 14, T::kUint8, 7, 1},
                                 {"classification", 15, T::kUint8, 0, 5},
                                 {"synthetic", 15, T::kUint8, 5, 1},
                                 {"key_point", 15, T::kUint8, 6, 1},
                                 {"withheld", 15, T::kUint8, 7, 1},
                                 {"scan_angle_rank", 16, T::kInt8},
                                 {"user_data", 17, T::kUint8},
                                 {"point_source_id", 18, T::kUint16}});
    next = 20;
    if (format == 1 || format >= 3) {
      fields.push_back({"gps_time", next, T::kFloat64});
      next += 8;
    }
  } else {
    fields.insert(fields.end(), {{"return_number", 14, T::kUint8, 0, 4},
                                 {"number_of_returns", 14, T::kUint8, 4, 4},
                                 {"synthetic", 15, T::kUint8, 0, 1},
                                 {"key_point", 15, T::kUint8, 1, 1},
                                 {"withheld", 15, T::kUint8, 2, 1},
                                 {"overlap", 15, T::kUint8, 3, 1},
                                 {"scanner_channel", 15, T::kUint8, 4, 2},
                                 {"scan_direction_flag", 15, T::kUint8, 6, 1},
                                 {"edge_of_flight_line", 15, T::kUint8, 7, 1},
                                 {"classification", 16, T::kUint8},
                                 {"user_data", 17, T::kUint8},
                                 {"scan_angle", 18, T::kInt16},
                                 {"point_source_id", 20, T::kUint16},
                                 {"gps_time", 22, T::kFloat64}});
    next = 30;
  }
  if (format == 2 || format == 3 || format == 5 || format == 7 || format == 8 || format == 10) {
    fields.insert(fields.end(), {{"red", next, T::kUint16},
                                 {"green", next + 2, T::kUint16},
                                 {"blue", next + 4, T::kUint16}});
    next += 6;
  }
  if (format == 8 || format == 10) {
    fields.push_back({"nir", next, T::kUint16});
    next += 2;
  }
  if (format == 4 || format == 5 || format == 9 || format == 10) {
    fields.insert(fields.end(), {{"wavepacket_index", next, T::kUint8},
                                 {"wavepacket_offset", next + 1, T::kFloat64, 0, 0, true},
                                 {"wavepacket_size", next + 9, T::kUint32},
                                 {"return_point_wave_location", next + 13, T::kFloat32},
                                 {"x_t", next + 17, T::kFloat32},
                                 {"y_t", next + 21, T::kFloat32},
                                 {"z_t", next + 25, T::kFloat32}});
  }
  return fields;
}

// The extra bytes' data types 1 to 10 (LAS 1.4): their PLY types and sizes; 7 and 8 are the
// 64-bit integers.
constexpr int kExtraTypes = 10;
const PlyType kExtraPlyType[kExtraTypes + 1] = {
    PlyType::kUint8,  PlyType::kUint8,  PlyType::kInt8,    PlyType::kUint16,
    PlyType::kInt16,  PlyType::kUint32, PlyType::kInt32,   PlyType::kFloat64,
    PlyType::kFloat64, PlyType::kFloat32, PlyType::kFloat64};
const size_t kExtraSize[kExtraTypes + 1] = {1, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8};

// The extra bytes' type of a PLY type.
int extra_type_of(PlyType type) {
  switch (type) {
    case PlyType::kUint8:
      return 1;
    case PlyType::kInt8:
      return 2;
    case PlyType::kUint16:
      return 3;
    case PlyType::kInt16:
      return 4;
    case PlyType::kUint32:
      return 5;
    case PlyType::kInt32:
      return 6;
    case PlyType::kFloat32:
      return 9;
    case PlyType::kFloat64:
      return 10;
  }
  return 10;
}

struct LasHeader {
  std::vector<char> bytes;  // the header and the VLRs, up to the first point
  int major = 1, minor = 2;
  size_t header_size = 0;
  int format = 0;
  size_t record = 0;
  int64_t points = 0;
  double scale[kAxes] = {}, offset[kAxes] = {};
  std::vector<LasField> fields;  // after X, Y and Z, the extra bytes' among them
};

// The extra bytes' fields of a record past its standard ones, named by the extra bytes VLR
// where it describes them ("extra_byte_N" for a byte it does not).
void add_extra_fields(LasHeader *header, uint32_t vlr_count) {
  const char *bytes = header->bytes.data();
  const size_t end = header->bytes.size();
  size_t at = header->header_size;
  std::vector<LasField> described;
  size_t next = kMinimumRecord[header->format];
  for (uint32_t v = 0; v < vlr_count && at + kVlrHeader <= end; ++v) {
    const size_t length = get<uint16_t>(bytes, at + kVlrLength);
    const std::string user(bytes + at + kVlrUser, strnlen(bytes + at + kVlrUser, kUserBytes));
    if (user == "LASF_Spec" && get<uint16_t>(bytes, at + kVlrRecord) == kExtraBytesRecord &&
        at + kVlrHeader + length <= end) {
      for (size_t d = 0; d + kExtraDescriptor <= length; d += kExtraDescriptor) {
        const char *descriptor = bytes + at + kVlrHeader + d;
        const int type = static_cast<unsigned char>(descriptor[kExtraType]);
        const size_t size = type == 0 ? size_t(static_cast<unsigned char>(descriptor[kExtraOptions]))
                            : type <= kExtraTypes ? kExtraSize[type]
                                                  : 0;
        std::string name(descriptor + kExtraName, strnlen(descriptor + kExtraName, kNameBytes));
        if (size == 0 || next + size > header->record) {
          break;  // an array type (deprecated), or more than the record holds: bytes below
        }
        if (type == 0 || name.empty()) {
          break;
        }
        described.push_back({name, next, kExtraPlyType[type], 0, 0, type == 7 || type == 8});
        next += size;
      }
    }
    at += kVlrHeader + length;
  }
  header->fields.insert(header->fields.end(), described.begin(), described.end());
  for (size_t b = next; b < header->record; ++b) {
    header->fields.push_back({"extra_byte_" + std::to_string(b - kMinimumRecord[header->format]),
                              b, PlyType::kUint8});
  }
}

// Reads the header and the VLRs from the start of `in` and consumes them. On a fault says what
// is wrong in *error; *unsupported tells a well-formed file this reader does not take.
bool read_las_header(ByteReader *in, LasHeader *header, std::string *error, bool *unsupported) {
  *unsupported = false;
  if (in->fill(kHeader10) < kHeader10) {
    *error = "truncated: the file ends inside the LAS header";
    return false;
  }
  const char *bytes = in->data();
  header->major = static_cast<unsigned char>(bytes[kVersionMajor]);
  header->minor = static_cast<unsigned char>(bytes[kVersionMinor]);
  header->header_size = get<uint16_t>(bytes, kHeaderSize);
  const size_t first_point = get<uint32_t>(bytes, kPointOffset);
  const uint32_t vlr_count = get<uint32_t>(bytes, kVlrCount);
  const unsigned format = static_cast<unsigned char>(bytes[kPointFormat]);
  header->record = get<uint16_t>(bytes, kRecordLength);
  const std::string version = std::to_string(header->major) + "." + std::to_string(header->minor);
  if (header->major != 1 || header->minor > 4) {
    *unsupported = true;
    *error = "LAS " + version + " (versions 1.0 to 1.4 are read)";
    return false;
  }
  if ((format & kLazBits) != 0) {
    *unsupported = true;
    *error = "compressed LAS (LAZ) is not supported; decompress it first";
    return false;
  }
  if (format > unsigned(kLastFormat)) {
    *unsupported = true;
    *error = "point data record format " + std::to_string(format) + " (0 to 10 are read)";
    return false;
  }
  header->format = int(format);
  const size_t least = header->minor >= 4 ? kHeader14 : header->minor == 3 ? kHeader13 : kHeader10;
  if (header->header_size < least || first_point < header->header_size) {
    *error = "LAS " + version + " header of " + std::to_string(header->header_size) +
             " bytes with its points at byte " + std::to_string(first_point) +
             " (the header takes " + std::to_string(least) + " at least, before the points)";
    return false;
  }
  if (header->record < kMinimumRecord[format]) {
    *error = "point records of " + std::to_string(header->record) + " bytes, fewer than format " +
             std::to_string(format) + "'s " + std::to_string(kMinimumRecord[format]);
    return false;
  }
  if (in->fill(first_point) < first_point) {
    *error = "truncated: the file ends before its first point (byte " +
             std::to_string(first_point) + ")";
    return false;
  }
  bytes = in->data();
  header->bytes.assign(bytes, bytes + first_point);
  const uint32_t legacy = get<uint32_t>(bytes, kLegacyCount);
  header->points = header->minor >= 4 ? int64_t(get<uint64_t>(bytes, kCount)) : int64_t(legacy);
  if (header->points < 0) {
    *error = "a point count beyond 2^63";
    return false;
  }
  for (int k = 0; k < kAxes; ++k) {
    header->scale[k] = get<double>(bytes, kScale + 8 * size_t(k));
    header->offset[k] = get<double>(bytes, kOffset + 8 * size_t(k));
    if (!(header->scale[k] > 0.0) || !std::isfinite(header->scale[k]) ||
        !std::isfinite(header->offset[k])) {
      *error = std::string("the ") + kCoordinateNames[k] + " scale or offset is not a positive " +
               "and a finite number";
      return false;
    }
  }
  header->fields = standard_fields(header->format);
  add_extra_fields(header, vlr_count);
  in->consume(first_point);
  return true;
}

// Whether [low, high] at `scale` and `offset` holds in 32-bit integers.
bool fits(double low, double high, double scale, double offset) {
  return (low - offset) / scale >= double(INT32_MIN) && (high - offset) / scale <= double(INT32_MAX);
}

// The box the written points lie in (min x, y, z, max x, y, z): the input's box moved by the
// motion (its corners' box), false when no box was given.
bool written_box(const StreamOptions &options, double box[2 * kAxes]) {
  if (options.box == nullptr) {
    return false;
  }
  if (options.motion == nullptr) {
    std::copy(options.box, options.box + 2 * kAxes, box);
    return true;
  }
  for (int k = 0; k < kAxes; ++k) {
    box[k] = HUGE_VAL;
    box[kAxes + k] = -HUGE_VAL;
  }
  for (int corner = 0; corner < 8; ++corner) {
    double p[kAxes];
    for (int k = 0; k < kAxes; ++k) {
      p[k] = options.box[((corner >> k) & 1) != 0 ? kAxes + k : k];
    }
    for (int k = 0; k < kAxes; ++k) {
      const double (*m)[4] = options.motion;
      const double moved = m[k][0] * p[0] + m[k][1] * p[1] + m[k][2] * p[2] + m[k][3];
      box[k] = std::min(box[k], moved);
      box[kAxes + k] = std::max(box[kAxes + k], moved);
    }
  }
  return true;
}

// The offsets of the written points: `keep` (the input's, or nullptr) on the axes where the
// written box fits in 32-bit integers with them, else the box's centre (rounded to a whole unit
// where that fits too). Without a box, `keep` or 0.
void choose_offsets(const StreamOptions &options, const double scale[kAxes], const double *keep,
                    double offset[kAxes]) {
  double box[2 * kAxes];
  const bool known = written_box(options, box);
  for (int k = 0; k < kAxes; ++k) {
    offset[k] = keep != nullptr ? keep[k] : 0.0;
    if (!known || box[k] > box[kAxes + k] ||
        fits(box[k], box[kAxes + k], scale[k], offset[k])) {
      continue;
    }
    const double centre = box[k] / 2 + box[kAxes + k] / 2;
    offset[k] = fits(box[k], box[kAxes + k], scale[k], std::round(centre)) ? std::round(centre)
                                                                          : centre;
  }
}

// Quantises n values at scale and offset into `integers` (to nearest, halves away from zero);
// returns the index of the first that does not fit in 32 bits (or is not finite), or n. The
// loop has no branch, so it runs at the speed of its arithmetic.
size_t quantise(const double *values, size_t n, double scale, double offset, int32_t *integers) {
  constexpr double kLow = double(INT32_MIN) - 0.5, kHigh = double(INT32_MAX) + 0.5;
  bool all_fit = true;
  for (size_t i = 0; i < n; ++i) {
    const double q = (values[i] - offset) / scale;
    const bool fits = q > kLow && q < kHigh;  // false for NaN
    all_fit = all_fit && fits;
    const double held = fits ? q : 0.0;
    // q less its whole part is exact, so the comparison with a half is too.
    const int64_t whole = int64_t(held);
    const double part = held - double(whole);
    integers[i] = int32_t(whole + int64_t(part >= 0.5) - int64_t(part <= -0.5));
  }
  if (all_fit) {
    return n;
  }
  size_t i = 0;
  while (i < n) {
    const double q = (values[i] - offset) / scale;
    if (!(q > kLow && q < kHigh)) {
      break;
    }
    ++i;
  }
  return i;
}

std::string beyond_integers(int64_t point, int axis, double scale, double offset) {
  char text[160];
  std::snprintf(text, sizeof text,
                "point %lld: the levelled %s does not fit LAS's 32-bit integers at scale %g and "
                "offset %.17g",
                static_cast<long long>(point), kCoordinateNames[axis], scale, offset);
  return text;
}

// The smallest and largest integers written on each axis, as the header's bounds.
struct IntegerBounds {
  int32_t low[kAxes] = {INT32_MAX, INT32_MAX, INT32_MAX};
  int32_t high[kAxes] = {INT32_MIN, INT32_MIN, INT32_MIN};
  bool any = false;

  void add(const int32_t *integers, size_t n, int axis) {
    for (size_t i = 0; i < n; ++i) {
      low[axis] = std::min(low[axis], integers[i]);
      high[axis] = std::max(high[axis], integers[i]);
    }
    any = any || n > 0;
  }

  // Stores the bounds (max x, min x, max y, min y, max z, min z) into header bytes.
  void store(const double scale[kAxes], const double offset[kAxes], char *bounds) const {
    for (int k = 0; k < kAxes; ++k) {
      put(bounds, 16 * size_t(k), any ? double(high[k]) * scale[k] + offset[k] : 0.0);
      put(bounds, 16 * size_t(k) + 8, any ? double(low[k]) * scale[k] + offset[k] : 0.0);
    }
  }
};

// Stores the written box's bounds (or zeros without one) into header bytes, until the points'
// own replace them: widened to the integers at `scale` and `offset` that hold it, so that they
// hold every point once quantised.
void store_box(const StreamOptions &options, const double scale[kAxes],
               const double offset[kAxes], char *bounds) {
  double box[2 * kAxes] = {};
  const bool known = written_box(options, box);
  for (int k = 0; k < kAxes && known; ++k) {
    box[k] = std::floor((box[k] - offset[k]) / scale[k]) * scale[k] + offset[k];
    box[kAxes + k] = std::ceil((box[kAxes + k] - offset[k]) / scale[k]) * scale[k] + offset[k];
  }
  for (int k = 0; k < kAxes; ++k) {
    put(bounds, 16 * size_t(k), box[kAxes + k]);
    put(bounds, 16 * size_t(k) + 8, box[k]);
  }
}

// Puts the bounds where the header written at `header_at` has them, where the output allows it
// (a pipe keeps the box's, which hold every point too).
void patch_bounds(ByteWriter *out, int64_t header_at, const IntegerBounds &bounds,
                  const double scale[kAxes], const double offset[kAxes]) {
  char bytes[6 * sizeof(double)];
  bounds.store(scale, offset, bytes);
  if (out->can_patch(header_at + int64_t(kBounds))) {
    out->patch(header_at + int64_t(kBounds), bytes, sizeof bytes);
  }
}

// The digits after the decimal point that the scales give (0.01: 2), false when one is no
// power of ten.
bool decimals_of_scale(const double scale[kAxes], int *decimals) {
  *decimals = 0;
  for (int k = 0; k < kAxes; ++k) {
    const int d = int(std::lround(-std::log10(scale[k])));
    if (d < 0 || d > kMaxFixedDecimals || std::fabs(scale[k] * std::pow(10.0, d) - 1.0) > 1e-9) {
      return false;
    }
    *decimals = std::max(*decimals, d);
  }
  return true;
}

class LasStreamer {
 public:
  LasStreamer(ByteReader *in, const PointVisitor &visit, const StreamOptions &options)
      : in_(in), visit_(visit), options_(options) {}

  StreamResult run();

 private:
  bool prepare();
  bool records();
  bool fail(StreamFault fault, const std::string &message) {
    result_.fault = fault;
    result_.message = message;
    return false;
  }

  ByteReader *in_;
  const PointVisitor &visit_;
  const StreamOptions &options_;
  StreamResult result_;
  LasHeader header_;
  bool writing_ = false;
  std::unique_ptr<CloudWriter> writer_;  // for another format
  double offset_[kAxes] = {};            // of the points written as LAS
  int64_t header_at_ = 0;                // where the header written begins in the output
  IntegerBounds bounds_;
  int wave_[kAxes] = {-1, -1, -1};  // the waveform's direction among the fields, when it has one
  PointBlock block_;
  std::vector<int32_t> integers_;
  std::vector<double> values_;
};

bool LasStreamer::prepare() {
  result_.format = CloudFormat::kLas;
  std::string error;
  bool unsupported = false;
  if (!read_las_header(in_, &header_, &error, &unsupported)) {
    return fail(unsupported ? StreamFault::kUnsupported : StreamFault::kMalformed, error);
  }
  int decimals = 0;
  result_.text_exponents = !decimals_of_scale(header_.scale, &decimals);
  result_.text_decimals = decimals;
  for (size_t f = 0; f < header_.fields.size(); ++f) {
    const LasField &field = header_.fields[f];
    const bool standard = field.offset < kMinimumRecord[header_.format];
    for (int k = 0; k < kAxes; ++k) {
      if (standard && field.name == moved_fields_of(CloudFamily::kLas).directions[k]) {
        wave_[k] = int(f);
      }
    }
    if (field.wide && result_.unconvertible.empty()) {
      result_.unconvertible = field.name == "wavepacket_offset"
                                  ? std::string("its points' waveform packets")
                                  : "the extra bytes " + field.name + " (64-bit integers)";
    }
  }
  // The waveform's directions turn with the points, as normals do (the cloud has none).
  block_.has_normals = wave_[0] >= 0;
  writing_ = options_.out != nullptr;
  if (!writing_) {
    return true;
  }
  if (options_.out_format == CloudFormat::kLas) {
    // Without a box from an earlier pass, the header's bounds say where the points are, when
    // they can: ordered, and within what the file's own integers reach.
    StreamOptions boxed = options_;
    double header_box[2 * kAxes];
    bool plausible = header_.points > 0;
    for (int k = 0; k < kAxes; ++k) {
      header_box[kAxes + k] = get<double>(header_.bytes.data(), kBounds + 16 * size_t(k));
      header_box[k] = get<double>(header_.bytes.data(), kBounds + 16 * size_t(k) + 8);
      plausible = plausible && header_box[k] <= header_box[kAxes + k] &&
                  fits(header_box[k], header_box[kAxes + k], header_.scale[k], header_.offset[k]);
    }
    if (boxed.box == nullptr && plausible) {
      boxed.box = header_box;
    }
    choose_offsets(boxed, header_.scale, header_.offset, offset_);
    std::vector<char> bytes = header_.bytes;
    for (int k = 0; k < kAxes; ++k) {
      put(bytes.data(), kOffset + 8 * size_t(k), offset_[k]);
    }
    store_box(boxed, header_.scale, offset_, bytes.data() + kBounds);
    header_at_ = options_.out->written();
    options_.out->write(bytes.data(), bytes.size());
    return true;
  }
  const std::string refusal = conversion_refusal(result_, options_.out_format);
  if (!refusal.empty()) {
    return fail(StreamFault::kUnsupported, refusal);
  }
  CloudSchema schema;
  schema.vertex.name = "vertex";
  schema.vertex.count = header_.points;
  schema.source = CloudFormat::kLas;
  for (int k = 0; k < kAxes; ++k) {
    schema.vertex.properties.push_back({kCoordinateNames[k], PlyType::kFloat64});
  }
  for (const LasField &field : header_.fields) {
    schema.vertex.properties.push_back({field.name, field.type});
  }
  writer_ = make_cloud_writer(options_.out_format, options_.out, options_);
  writer_->begin(schema);
  return true;
}

bool LasStreamer::records() {
  const size_t size = header_.record;
  const size_t per_piece = std::max<size_t>(1, kPiece / size);
  std::vector<double> *columns[kAxes] = {&block_.x, &block_.y, &block_.z};
  std::vector<double> *directions[kAxes] = {&block_.nx, &block_.ny, &block_.nz};
  for (int64_t done = 0; done < header_.points;) {
    const size_t wanted = size_t(std::min<int64_t>(header_.points - done, int64_t(per_piece)));
    const size_t n = std::min(wanted, in_->fill(wanted * size) / size);
    if (n == 0) {
      return fail(StreamFault::kMalformed, "truncated: the file ends inside point " +
                                               std::to_string(done + 1) + " of " +
                                               std::to_string(header_.points));
    }
    const char *data = in_->data();
    reset_block(&block_, n);
    for (int k = 0; k < kAxes; ++k) {
      load_ply_column(PlyType::kInt32, false, data + 4 * size_t(k), size, n, columns[k]->data());
      double *values = columns[k]->data();
      for (size_t i = 0; i < n; ++i) {
        values[i] = values[i] * header_.scale[k] + header_.offset[k];
      }
      if (block_.has_normals) {
        load_ply_column(PlyType::kFloat32, false, data + header_.fields[size_t(wave_[k])].offset,
                        size, n, directions[k]->data());
      }
    }
    visit_(&block_);
    result_.points += int64_t(n);
    if (writer_ != nullptr) {
      for (size_t i = 0; i < n; ++i) {
        const char *record = data + i * size;
        values_.resize(kAxes + header_.fields.size());
        for (int k = 0; k < kAxes; ++k) {
          values_[size_t(k)] = (*columns[k])[i];
        }
        for (size_t f = 0; f < header_.fields.size(); ++f) {
          const LasField &field = header_.fields[f];
          double value = load_ply_value(field.type, false, record + field.offset);
          if (field.bits > 0) {
            value = double((unsigned(value) >> field.shift) & ((1u << field.bits) - 1));
          }
          values_[kAxes + f] = value;
        }
        for (int k = 0; k < kAxes && block_.has_normals; ++k) {
          values_[kAxes + size_t(wave_[k])] = (*directions[k])[i];
        }
        writer_->vertex(values_.data());
      }
    } else if (writing_) {
      // The records as they came, with the new coordinates (and directions) stored into them.
      char *copy = options_.out->append_space(n * size);
      std::memcpy(copy, data, n * size);
      integers_.resize(n);
      for (int k = 0; k < kAxes; ++k) {
        const size_t bad =
            quantise(columns[k]->data(), n, header_.scale[k], offset_[k], integers_.data());
        if (bad < n) {
          return fail(StreamFault::kUnsupported,
                      beyond_integers(result_.points - int64_t(n - bad) + 1, k, header_.scale[k],
                                      offset_[k]));
        }
        bounds_.add(integers_.data(), n, k);
        for (size_t i = 0; i < n; ++i) {
          put(copy, i * size + 4 * size_t(k), integers_[i]);
        }
        if (block_.has_normals) {
          store_ply_column(PlyType::kFloat32, false, directions[k]->data(), n,
                           copy + header_.fields[size_t(wave_[k])].offset, size);
        }
      }
    }
    in_->consume(n * size);
    done += int64_t(n);
    if (options_.progress) {
      options_.progress(in_->offset());
    }
  }
  return true;
}

StreamResult LasStreamer::run() {
  if (!prepare() || !records()) {
    return result_;
  }
  if (writer_ != nullptr) {
    finish_writer(writer_.get(), &result_);
    return result_;  // what follows the points (EVLRs) has no place in another format
  }
  // What follows the points (EVLRs, a waveform) comes through as it was: its offsets hold.
  for (size_t available; (available = in_->fill(kPiece)) > 0;) {
    if (writing_) {
      options_.out->write(in_->data(), available);
    }
    in_->consume(available);
  }
  if (writing_) {
    patch_bounds(options_.out, header_at_, bounds_, header_.scale, offset_);
  }
  return result_;
}

// Whether every value of `type` has a place in the field: any in a double (GPS time), an
// integer in a bit field (each value checked as it is written) or in an integer type that holds
// its whole range.
bool holds(const LasField &field, PlyType type) {
  const bool integral = type != PlyType::kFloat32 && type != PlyType::kFloat64;
  if (field.type == PlyType::kFloat64) {
    return true;
  }
  if (!integral) {
    return false;
  }
  if (field.bits > 0) {
    return true;
  }
  const auto low = [](PlyType t) {
    return t == PlyType::kInt8 ? -128.0 : t == PlyType::kInt16 ? -32768.0
                                        : t == PlyType::kInt32 ? -2147483648.0 : 0.0;
  };
  const auto high = [&low](PlyType t) {
    return std::ldexp(1.0, int(8 * ply_type_size(t))) / (low(t) < 0 ? 2.0 : 1.0) - 1.0;
  };
  return low(field.type) <= low(type) && high(type) <= high(field.type);
}

// LAS 1.4 written from another format, in point format 6, 7 (with colour) or 8 (with colour and
// near infrared). Properties named as LAS's attributes, of a type that fits them, fill them
// (8-bit colours scaled to 16 bits); every other property is kept as extra bytes of its type,
// described in an extra bytes VLR. A point without return numbers is its pulse's only return.
// Coordinates are quantised at options.las_scale, with offsets chosen from options.box.
class LasCloudWriter : public CloudWriter {
 public:
  LasCloudWriter(ByteWriter *out, const StreamOptions &options)
      : out_(out), options_(options) {}

  void begin(const CloudSchema &schema) override {
    const std::vector<PlyProperty> &properties = schema.vertex.properties;
    const auto colour_type = [&](const char *name) {
      const int p = schema.vertex.find(name);
      return p >= 0 && (properties[size_t(p)].type == PlyType::kUint8 ||
                        properties[size_t(p)].type == PlyType::kUint16);
    };
    const bool colour = colour_type("red") && colour_type("green") && colour_type("blue");
    format_ = colour ? (colour_type("nir") ? 8 : 7) : 6;
    record_ = kMinimumRecord[format_];
    const std::vector<LasField> standard = standard_fields(format_);
    for (size_t p = 0; p < properties.size(); ++p) {
      const PlyProperty &property = properties[p];
      if (int(p) == schema.coordinate[0] || int(p) == schema.coordinate[1] ||
          int(p) == schema.coordinate[2]) {
        continue;
      }
      const auto match = std::find_if(standard.begin(), standard.end(), [&](const LasField &f) {
        return f.name == property.name;
      });
      if (match != standard.end() && holds(*match, property.type)) {
        const bool scaled = colour && property.type == PlyType::kUint8 &&
                            (property.name == "red" || property.name == "green" ||
                             property.name == "blue" || property.name == "nir");
        mapped_.push_back({p, *match, scaled});
        if (match->name == "return_number" || match->name == "number_of_returns") {
          has_returns_ = true;
        }
        continue;
      }
      // Kept as extra bytes, under a name of its own when LAS has the name for another type.
      const std::string name = match != standard.end()
                                   ? property.name + "_" + ply_type_name(property.type)
                                   : property.name;
      extras_.push_back({p, {name, record_, property.type}, false});
      record_ += ply_type_size(property.type);
    }
    for (int k = 0; k < kAxes; ++k) {
      coordinate_[k] = size_t(schema.coordinate[k]);
      scale_[k] = options_.las_scale;
    }
    choose_offsets(options_, scale_, nullptr, offset_);

    const size_t vlr = extras_.empty() ? 0 : kVlrHeader + kExtraDescriptor * extras_.size();
    std::vector<char> header(kHeader14 + vlr, 0);
    char *bytes = header.data();
    std::memcpy(bytes, "LASF", 4);
    put<uint16_t>(bytes, kGlobalEncoding, uint16_t(kWktBit));
    bytes[kVersionMajor] = 1;
    bytes[kVersionMinor] = 4;
    std::strncpy(bytes + kSystemIdentifier, "OTHER", kNameBytes);
    std::strncpy(bytes + kGeneratingSoftware, "levelling-cloud", kNameBytes);
    put<uint16_t>(bytes, kHeaderSize, uint16_t(kHeader14));
    put<uint32_t>(bytes, kPointOffset, uint32_t(header.size()));
    put<uint32_t>(bytes, kVlrCount, extras_.empty() ? 0 : 1);
    bytes[kPointFormat] = char(format_);
    put<uint16_t>(bytes, kRecordLength, uint16_t(record_));
    for (int k = 0; k < kAxes; ++k) {
      put(bytes, kScale + 8 * size_t(k), scale_[k]);
      put(bytes, kOffset + 8 * size_t(k), offset_[k]);
    }
    store_box(options_, scale_, offset_, bytes + kBounds);
    put<uint64_t>(bytes, kCount, uint64_t(std::max<int64_t>(options_.points, 0)));
    if (!extras_.empty()) {
      char *record = bytes + kHeader14;
      std::strncpy(record + kVlrUser, "LASF_Spec", kUserBytes);
      put<uint16_t>(record, kVlrRecord, uint16_t(kExtraBytesRecord));
      put<uint16_t>(record, kVlrLength, uint16_t(kExtraDescriptor * extras_.size()));
      std::strncpy(record + kVlrRecord + 4, "the input's other attributes", kDescriptionBytes);
      for (size_t e = 0; e < extras_.size(); ++e) {
        char *descriptor = record + kVlrHeader + e * kExtraDescriptor;
        descriptor[kExtraType] = char(extra_type_of(extras_[e].field.type));
        std::strncpy(descriptor + kExtraName, extras_[e].field.name.c_str(), kNameBytes);
        std::strncpy(descriptor + kExtraDescription, "from the input", kDescriptionBytes);
      }
    }
    header_at_ = out_->written();
    out_->write(header.data(), header.size());
    record_bytes_.assign(record_, 0);
  }

  void vertex(const double *values) override {
    ++written_;
    if (!fault_.empty()) {
      return;
    }
    char *record = record_bytes_.data();
    std::fill(record_bytes_.begin(), record_bytes_.end(), 0);
    const double coordinates[kAxes] = {values[coordinate_[0]], values[coordinate_[1]],
                                       values[coordinate_[2]]};
    if (is_empty_point(coordinates[0], coordinates[1], coordinates[2])) {
      fault_ = "point " + std::to_string(written_) + " is empty (no return), which LAS cannot hold";
      return;
    }
    for (int k = 0; k < kAxes; ++k) {
      int32_t integer = 0;
      if (quantise(&coordinates[k], 1, scale_[k], offset_[k], &integer) == 0) {
        fault_ = beyond_integers(written_, k, scale_[k], offset_[k]);
        return;
      }
      bounds_.add(&integer, 1, k);
      put(record, 4 * size_t(k), integer);
    }
    if (!has_returns_) {
      record[14] = 0x11;  // return 1 of 1
    }
    for (const Mapping &mapping : mapped_) {
      const LasField &field = mapping.field;
      double value = values[mapping.property] * (mapping.scaled ? kColourScale : 1.0);
      if (field.bits > 0) {
        const double largest = double((1u << field.bits) - 1);
        if (!(value >= 0.0 && value <= largest)) {
          fault_ = "point " + std::to_string(written_) + ": " + field.name + " " +
                   std::to_string(int64_t(value)) + " does not fit LAS's " +
                   std::to_string(field.bits) + " bits";
          return;
        }
        record[field.offset] = char(static_cast<unsigned char>(record[field.offset]) |
                                    (unsigned(value) << field.shift));
        continue;
      }
      store_ply_value(field.type, false, value, record + field.offset);
    }
    for (const Mapping &extra : extras_) {
      store_ply_value(extra.field.type, false, values[extra.property], record + extra.field.offset);
    }
    const unsigned return_number = static_cast<unsigned char>(record[14]) & 0x0fu;
    if (return_number >= 1 && return_number <= unsigned(kReturns)) {
      ++by_return_[return_number - 1];
    }
    out_->write(record, record_);
  }

  void record(const PlyElement &, const std::vector<double> &) override {}

  void finish() override {
    if (!fault_.empty()) {
      return;
    }
    if (written_ != options_.points) {
      fault_ = "the point count given was not the count written";
      return;
    }
    patch_bounds(out_, header_at_, bounds_, scale_, offset_);
    if (out_->can_patch(header_at_ + int64_t(kByReturn))) {
      out_->patch(header_at_ + int64_t(kByReturn), reinterpret_cast<const char *>(by_return_),
                  sizeof by_return_);
    }
  }

 private:
  struct Mapping {
    size_t property;
    LasField field;
    bool scaled;  // an 8-bit colour, scaled to 16 bits
  };

  ByteWriter *out_;
  const StreamOptions &options_;
  int format_ = 6;
  size_t record_ = 0;
  std::vector<Mapping> mapped_, extras_;
  bool has_returns_ = false;
  size_t coordinate_[kAxes] = {0, 1, 2};
  double scale_[kAxes] = {}, offset_[kAxes] = {};
  int64_t header_at_ = 0;
  int64_t written_ = 0;
  uint64_t by_return_[kReturns] = {};
  IntegerBounds bounds_;
  std::vector<char> record_bytes_;
};

}  // namespace

StreamResult stream_las_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options) {
  LasStreamer streamer(in, visit, options);
  return streamer.run();
}

std::unique_ptr<CloudWriter> make_las_cloud_writer(ByteWriter *out, const StreamOptions &options) {
  return std::make_unique<LasCloudWriter>(out, options);
}

}  // namespace levelling
