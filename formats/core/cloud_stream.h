// Streaming a point cloud file through, block by block, with constant memory: the points are
// handed to a visitor (which may change them), and the whole file, with the visitor's points, is
// written to an output when one is given, in the input's format or another.
//
// Formats:
// - text: one point a line, x y z first, separated by blanks, tabs or commas; an optional header
//   line (of names) before the first point; lines starting with '#', blank lines, a UTF-8 byte
//   order mark. Written back as text, every line stays byte for byte as it was but for the three
//   coordinates, written with options.decimals digits after the point, or the shortest digits
//   that read back to the same double. A point whose coordinates are all NaN is an empty point,
//   handed on in its place and written back as it was.
// - PLY: ascii, binary_little_endian and binary_big_endian, the vertex element's x, y, z float
//   or double (nx, ny, nz, when all three are float or double, are handed on as normals). Every
//   other property and element, and the header's comments, come through unchanged; written in
//   another PLY encoding every value is kept exactly.
// - PCD (formats/pcd/pcd_cloud.cpp): ascii, binary and binary_compressed; every field's bytes kept,
//   normal_x/y/z handed on as normals, the VIEWPOINT moved by options.motion.
// - LAS (formats/las/las_cloud.cpp): 1.0 to 1.4, point formats 0 to 10; coordinates re-quantised at
//   the input's scale, every other byte kept, the waveform's directions handed on as normals.
// - PTX (formats/ptx/ptx_cloud.h) and E57 (formats/e57/e57_cloud.h): terrestrial scans, each
//   scan into the world by its matrix or pose; levelled in their own format by composing those,
//   every point line or binary byte kept.
// Where the output's family is the input's, the reader writes its own format (patching the
// input's bytes); conversions go through a writer (formats/core/cloud_writer.h), told the cloud's
// schema. PLY to text writes a '#' line naming the columns, then x y z and the vertex's other
// properties. What a conversion would lose is refused (a PLY's faces, a text cloud's extra
// columns, 64-bit integers): conversion_refusal says so after a pass without output, before a
// byte is written.
#ifndef LEVELLING_FORMATS_CORE_CLOUD_STREAM_H
#define LEVELLING_FORMATS_CORE_CLOUD_STREAM_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "formats/core/byte_io.h"
#include "formats/core/ply_types.h"

namespace levelling {

enum class CloudFormat {
  kText,
  kPlyAscii,
  kPlyBinaryLittleEndian,
  kPlyBinaryBigEndian,
  kPcdAscii,
  kPcdBinary,
  kPcdBinaryCompressed,
  kLas,
  kLaz,  // compressed LAS
  kPtx,
  kE57,
};

// The formats by family, whatever their encoding (family_of in formats/format_table.h).
enum class CloudFamily { kText, kPly, kPcd, kLas, kPtx, kE57 };
// The name of a family as messages say it: "text", "PLY", "PCD", "LAS", "PTX", "E57".
const char *cloud_family_name(CloudFamily family);

// The unit of a cloud's coordinates, where its file names one (LAS: its coordinate system).
enum class LengthUnit { kUnknown, kMetre, kFoot, kUsSurveyFoot };  // named in this order
// "metres", "feet", "US survey feet"; "cloud units" when unknown.
const char *length_unit_name(LengthUnit unit);
// "m", "ft", "US ft"; "units" when unknown.
const char *length_unit_symbol(LengthUnit unit);

// An empty point: all three coordinates NaN, how organised depth scans mark a pixel without a
// return. Readers hand such points on in their place (a visitor leaves them out of any fit);
// any other NaN or infinite coordinate is malformed input.
inline bool is_empty_point(double x, double y, double z) {
  return x != x && y != y && z != z;  // NaN is the only value unequal to itself
}

// A block of points as they are read: coordinates and, when the cloud has them, normals.
// A visitor may change the values in place; `count` and the sizes stay.
struct PointBlock {
  size_t count = 0;
  std::vector<double> x, y, z;
  bool has_normals = false;
  std::vector<double> nx, ny, nz;
};

using PointVisitor = std::function<void(PointBlock *block)>;
// Told, now and then, how many bytes of the input have been read.
using ProgressReport = std::function<void(int64_t bytes_read)>;

// What a reader decoded of a file that a later pass over the same file may take again rather
// than decode anew (PCD binary_compressed: the decompressed cloud), kept by the caller between
// passes (see PassShortcuts::decoded).
struct DecodedData {
  virtual ~DecodedData() = default;
};

// Where and how a stream's cloud is written.
struct FormatRow;  // formats/core/format_row.h

struct WriteSettings {
  // Where the cloud goes (nullptr: nowhere, the points are only visited) and in which format.
  ByteWriter *out = nullptr;
  CloudFormat format = CloudFormat::kText;
  // The format's row in the format table, which stream_cloud sets from `format`: the readers
  // take the written format's family and writer from it.
  const FormatRow *row = nullptr;
  // The separator between the columns of a text cloud written from PLY.
  char text_separator = ' ';
  // The number of points, known from an earlier pass (needed to write PLY from text), or -1.
  int64_t points = -1;
  // Digits after the decimal point of coordinates written as text; -1: the shortest digits
  // that read back to the same double.
  int decimals = -1;
  // When writing: the rigid motion the visitor applies (a 4 x 4 matrix, input to output, last
  // row 0 0 0 1), for what a format keeps besides its points (PCD's sensor pose), or nullptr.
  const double (*motion)[4] = nullptr;
  // When writing: a box that holds every point of the input (min x, y, z, then max x, y, z),
  // from an earlier pass, or nullptr. With the motion it bounds the points written, which LAS
  // needs before its first point to choose offsets that keep its integers in range.
  const double *box = nullptr;
  // LAS written from another format: the coordinates' resolution in their unit, and whether in
  // the point formats LAZ codes point-wise (1 and 3; else 6, 7 and 8).
  double las_scale = 0.001;
  bool las_point_wise = false;
};

// What a pass without output may take as shortcuts: only some records read, what an earlier
// pass decoded taken again.
struct PassShortcuts {
  // A pass without output may read only some records: a reader of records of a fixed size
  // (binary PLY whose vertices hold no list, binary PCD, LAS) from a mapped file that holds them
  // all asks, once its header is read, which of its `records` records to visit (indices into
  // them, ascending), again after each round, until it answers false. The records named are
  // visited in order, in blocks; nothing else of the file is read or checked, and the result
  // counts every record in `points`. Other readers, and those of a truncated file, never ask and
  // visit everything.
  std::function<bool(int64_t records, std::vector<int64_t> *indices)> pick;
  // A pass without output over such records, from a mapped file that holds them all, may read
  // only the records [range_first, range_end) (range_end -1: to the last record, and then the
  // rest of the file, checked as ever), so that two threads read two halves of one file side
  // by side; the result counts every record and says it was `ranged`. Other readers, and those
  // of a truncated file, read everything; from a stream that cannot be mapped, a range that
  // starts after the first record reads nothing (unranged), the one that starts there all.
  int64_t range_first = 0;
  int64_t range_end = -1;
  // Where the reader keeps what it decoded for the next pass over the same file, and finds what
  // the last one kept (nullptr: decoded in every pass). The caller owns it, and drops it when
  // the file will not be read again.
  std::unique_ptr<DecodedData> *decoded = nullptr;
};

struct StreamOptions {
  WriteSettings write;
  PassShortcuts shortcuts;
  ProgressReport progress;
  // The threads a reader or writer uses side by side (LAZ's chunks, a text cloud's parts); 0: one
  // for each core.
  int threads = 0;
};

enum class StreamFault {
  kNone,
  kRead,         // the input could not be read (message: the system's reason)
  kMalformed,    // the input is not a well-formed cloud (message: where and why)
  kUnsupported,  // well formed, but not something this program handles or can convert
  kWrite,        // the output could not be written (message: the system's reason)
};

struct StreamResult {
  StreamFault fault = StreamFault::kNone;
  std::string message;  // for a fault, one line without the file's name
  CloudFormat format = CloudFormat::kText;  // the input's format, once known
  int64_t points = 0;                       // points visited
  bool has_normals = false;
  // What a conversion would lose: a text cloud's columns after x y z, a PLY file's first
  // element besides the vertices that holds records ("" when none), why the cloud cannot leave
  // its family at all ("" when it can: PCD's 64-bit integers, LAS's waveform packets).
  bool extra_columns = false;
  std::string other_element;
  std::string unconvertible;
  // The coordinates' digits after the decimal point: a text cloud's most (and whether any was
  // written with an exponent), a LAS file's from its scale.
  int text_decimals = 0;
  bool text_exponents = false;
  // LAS: its coordinate system (a GeoTIFF or WKT VLR) is geographic, longitude and latitude.
  bool geographic = false;
  // The units of x and y and of z, where the file names them (LAS: its coordinate system's
  // projected and vertical units; a vertical unit not named is the horizontal one).
  LengthUnit horizontal_unit = LengthUnit::kUnknown;
  LengthUnit height_unit = LengthUnit::kUnknown;
  // Only the records of the shortcuts' range were visited.
  bool ranged = false;
  // What the input holds that no output of it keeps, "" for nothing (a COPC file's octree).
  std::string dropped;
};

// Why the cloud read (`read`, from a pass without output, of family `from`) cannot be written
// in family `to` without losing data, or "" when it can: decided before a byte is written.
std::string conversion_refusal(const StreamResult &read, CloudFamily from, CloudFamily to);

}  // namespace levelling

#endif
