// PCD's header (the Point Cloud Library's format, version 0.7 and the 0.5/0.6 headers that only
// lack some of its lines) and its values as ASCII tokens. Internal to formats/.
#ifndef LEVELLING_FORMATS_PCD_PCD_HEADER_H
#define LEVELLING_FORMATS_PCD_PCD_HEADER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/moved_fields.h"
#include "formats/core/ply_types.h"

namespace levelling {

// The most a header, one field's count of values and one point's record may hold: far beyond any
// real cloud, well within memory.
constexpr size_t kLongestHeader = size_t(1) << 20;
constexpr size_t kMaxCount = size_t(1) << 16;  // values in one field
constexpr size_t kLongestRecord = size_t(1) << 20;  // bytes of one point
constexpr int kViewpointValues = 7;  // tx ty tz qw qx qy qz
// Bytes of records looked at together.
constexpr size_t kPiece = size_t(1) << 20;

// The three kinds of PCD data, their formats, and their names as the DATA line says them.
enum class PcdData { kAscii, kBinary, kBinaryCompressed };
PcdData pcd_data_of(CloudFormat format);
CloudFormat pcd_format_of(PcdData data);
const char *pcd_data_name(PcdData data);

// One of the header's FIELDS, with its SIZE, TYPE and COUNT.
struct PcdField {
  std::string name;
  char type = 'F';   // F (float), I (signed) or U (unsigned)
  size_t size = 4;   // bytes of one value: 1, 2, 4 or 8
  size_t count = 1;  // values of the field in a point
  size_t offset = 0; // in a binary record
};

// The PLY type that loads and stores a field's values, false for 64-bit integers (exact in no
// double), which only PCD itself carries.
bool ply_type_of(const PcdField &field, PlyType *type);

// What the header says: its lines as they were, the fields and their layout in a binary record,
// the points, the sensor's pose and the kind of data.
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

// Reads the header from the start of `in` and consumes it, with the DATA line. On a fault says
// what is wrong in *error ("line 3: SIZE has 3 values for 4 fields").
bool read_pcd_header(ByteReader *in, PcdHeader *header, std::string *error);

// The VIEWPOINT line of a pose (tx ty tz qw qx qy qz), each number in its shortest digits.
std::string viewpoint_line(const double viewpoint[kViewpointValues]);

// Writes one value of a field at `bytes` as an ASCII token.
void write_pcd_token(const PcdField &field, const char *bytes, ByteWriter *out);

// Parses an ASCII token as one value of a field into `bytes`; false when it is no such value.
bool parse_pcd_token(const PcdField &field, std::string_view token, char *bytes);

// The normals' field names in PCD (normal_x...) and in PLY (nx...), as formats/core/moved_fields.h
// gives them.
inline const char *const *pcd_normal_names() {
  return moved_fields_of(CloudFamily::kPcd).directions;
}
inline const char *const *ply_normal_names() {
  return moved_fields_of(CloudFamily::kPly).directions;
}

// The bit shifts of the channels in a packed rgb/rgba field.
constexpr int kRedShift = 16, kGreenShift = 8, kBlueShift = 0, kAlphaShift = 24;

// Whether the field is a packed colour (rgb or rgba: 4 bytes, one value, 8 bits a channel).
bool is_packed_colour(const PcdField &field);

}  // namespace levelling

#endif
