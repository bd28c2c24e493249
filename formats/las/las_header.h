// LAS's public header block and VLRs (ASPRS's lidar format, versions 1.0 to 1.4, point data
// record formats 0 to 10): where its fields are, the attributes of each point format and of the
// extra bytes, and the header read. Internal to formats/.
#ifndef LEVELLING_FORMATS_LAS_LAS_HEADER_H
#define LEVELLING_FORMATS_LAS_LAS_HEADER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/core/byte_io.h"
#include "formats/core/ply_types.h"
#include "formats/core/stream_support.h"
#include "formats/las/las_crs.h"

namespace levelling {

// The header: its sizes by version, and where its fields are.
constexpr size_t kHeader10 = 227, kHeader13 = 235, kHeader14 = 375;
constexpr size_t kGlobalEncoding = 6, kVersionMajor = 24, kVersionMinor = 25;
constexpr size_t kSystemIdentifier = 26, kGeneratingSoftware = 58, kNameBytes = 32;
constexpr size_t kHeaderSize = 94, kPointOffset = 96, kVlrCount = 100, kPointFormat = 104;
constexpr size_t kRecordLength = 105, kLegacyCount = 107;

constexpr size_t kScale = 131, kOffset = 155, kBounds = 179;  // bounds: max x, min x, max y...
constexpr size_t kCount = 247, kByReturn = 255;
constexpr size_t kWaveformStart = 227, kFirstEvlr = 235;  // 1.3, 1.4: what follows the points
constexpr size_t kEvlrCount = 243;                        // 1.4
constexpr int kReturns = 15;
// The point format byte's compression bits: LAZ sets one of them (0x80 as written here; some
// early writers set 0x40).
constexpr unsigned kLazBits = 0xc0, kLazBit = 0x80;
// Whether a point format byte says compressed (LAZ), and the point format it names either way.
inline bool is_compressed_format(unsigned format_byte) { return (format_byte & kLazBits) != 0; }
inline unsigned point_format_of(unsigned format_byte) { return format_byte & ~kLazBits & 0xffu; }
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
std::vector<LasField> standard_fields(int format);

// The extra bytes' data types 1 to 10 (LAS 1.4): their PLY types and sizes; 7 and 8 are the
// 64-bit integers.
constexpr int kExtraTypes = 10;

constexpr PlyType kExtraPlyType[kExtraTypes + 1] = {
    PlyType::kUint8,  PlyType::kUint8,  PlyType::kInt8,    PlyType::kUint16,
    PlyType::kInt16,  PlyType::kUint32, PlyType::kInt32,   PlyType::kFloat64,
    PlyType::kFloat64, PlyType::kFloat32, PlyType::kFloat64};

constexpr size_t kExtraSize[kExtraTypes + 1] = {1, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8};

// The extra bytes' type of a PLY type.
int extra_type_of(PlyType type);

// What the header and the VLRs say. The VLRs are read as they stream by: only those this reader
// uses are kept (the extra bytes' descriptions, the coordinate system's kind), so that memory
// does not grow with what lies before the points.
struct LasHeader {
  std::vector<char> bytes;  // the public header block, as it was
  int major = 1, minor = 2;
  size_t header_size = 0;
  size_t first_point = 0;  // the offset of the point records
  uint32_t vlr_count = 0;
  int format = 0;
  size_t record = 0;
  int64_t points = 0;
  double scale[kAxes] = {}, offset[kAxes] = {};
  // Where what follows the points begins (the first EVLR, the waveform data), 0 when the header
  // names nothing there.
  uint64_t after_points = 0;
  uint32_t evlr_count = 0;  // LAS 1.4's EVLRs
  std::vector<std::vector<char>> extra_bytes_vlrs;  // the payloads of the extra bytes VLRs
  LasCrs crs;  // what the coordinate system's VLRs say
  std::vector<LasField> fields;  // after X, Y and Z, the extra bytes' among them
};

// Whether the first bytes (n of them) are LAS's, uncompressed or compressed ("LASF", and the point
// format byte's compression bits; a file too short to hold that byte is LAS).
bool is_las_bytes(const unsigned char *bytes, size_t n);
bool is_laz_bytes(const unsigned char *bytes, size_t n);

// Parses the public header block at `bytes` (n of them, the file's start), LAS or LAZ (the point
// format without its compression bits): its version, sizes, point format, count, scales and
// offsets checked. On a fault says what is wrong in *error; *unsupported tells a well-formed
// file this reader does not take.
bool parse_las_header(const char *bytes, size_t n, LasHeader *header, std::string *error,
                      bool *unsupported);

// Reads the public header block from the start of `in` (as parse_las_header) and consumes it.
bool read_las_header(ByteReader *in, LasHeader *header, std::string *error, bool *unsupported);

// A VLR's header (at byte `at` of a file whose points begin at `first_point`): its user, its
// record id, its payload's length as the header says it and the bytes it takes, header and
// payload, which a VLR that runs past the first point has only up to it. (An EVLR's user and
// record id are where a VLR's are.)
struct LasVlr {
  uint64_t at = 0;
  std::string user;
  int record = 0;
  size_t length = 0;
  uint64_t size = 0;
};
LasVlr las_vlr_at(const char *head, uint64_t at, uint64_t first_point);

// Reads the VLRs (and any bytes up to the first point) that follow the header, a piece at a
// time, copying every byte to `copy` when it is not nullptr; then names the records' fields
// (header->fields: the point format's, then the extra bytes' as their VLR describes them,
// "extra_byte_N" for a byte it does not). False with *error when the file ends first.
bool read_las_vlrs(ByteReader *in, LasHeader *header, ByteWriter *copy, std::string *error);

}  // namespace levelling

#endif
