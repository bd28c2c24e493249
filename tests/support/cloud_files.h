// Cloud files for the tests: one writer of PLY (any encoding, any vertex properties) and text
// files from columns of values, and one reader of the points of any cloud file, so no test
// builds file bytes by hand.
#ifndef LEVELLING_TESTS_SUPPORT_CLOUD_FILES_H
#define LEVELLING_TESTS_SUPPORT_CLOUD_FILES_H

#include <string>
#include <utility>
#include <vector>

#include <array>
#include <cstdint>
#include <cstdio>

#include "formats/core/cloud_stream.h"
#include "formats/core/ply_types.h"

namespace levelling::test {

// One vertex property: its name, type and a value for each vertex.
struct Column {
  std::string name;
  PlyType type;
  std::vector<double> values;
};

// The bytes of a PLY file of `encoding` whose vertex element has the columns (all of one
// length); `extra_header` (lines of further elements) goes before end_header and `extra_data`
// (their records, already encoded) after the vertices.
std::string ply_bytes(PlyEncoding encoding, const std::vector<Column> &columns,
                      const std::string &extra_header = "", const std::string &extra_data = "");

// The bytes of a text cloud: one line a point, the columns' values separated by blanks, with
// the shortest digits that read back (NaN as "nan").
std::string text_bytes(const std::vector<Column> &columns, const std::string &header = "");

// The bytes of a PCD file whose fields are the columns (consecutive columns of one name make
// one field of that COUNT), in `data` (ascii, binary or binary_compressed), WIDTH x HEIGHT
// (height 1: width is the point count), with `viewpoint` as its VIEWPOINT line's numbers.
std::string pcd_bytes(const std::string &data, const std::vector<Column> &columns,
                      int64_t height = 1, const std::string &viewpoint = "0 0 0 1 0 0 0");

// A LAS file of version 1.minor and point format `format` holding points with these integer
// X, Y, Z (scale 0.01, offsets 1000, 2000, 0), every other byte of every record distinct and
// non-zero (the waveform's direction the unit vector (0, 0.6, 0.8)), `extra` extra bytes a
// record, two of them described by an extra bytes VLR ("temperature", a short), a VLR of
// another kind, `crs`'s coordinate system VLRs (LASF_Projection: record id, payload) and (1.4)
// an EVLR after the points.
struct LasLayout {
  int minor = 4;
  int format = 6;
  size_t extra = 0;
  bool evlr = false;
};
using LasVlrs = std::vector<std::pair<uint16_t, std::string>>;
constexpr double kLasScale = 0.01;
constexpr double kLasOffset[3] = {1000.0, 2000.0, 0.0};
std::string las_bytes(const LasLayout &layout, const std::vector<std::array<int32_t, 3>> &xyz,
                      const LasVlrs &crs = {});
// `las` (of las_bytes) with every record's attributes after X, Y, Z as a scanner writes them,
// drawn from `seed`: pulses of one to four returns, GPS times rising with jumps between flight
// lines, runs of one scanner channel interleaved with others (all four met; formats 6 to 10),
// scan angles, sources and user data that repeat, flags and classes of a few values, colours
// and near infrared that change on some points and repeat on others, extra bytes in runs.
// Point formats 0 to 3 and 6 to 8.
std::string with_scanner_attributes(std::string las, uint32_t seed);
// The LAZ of a LAS file by this project's encoder, and the LAS of a LAZ file by its decoder
// (failing the test, with the coder's message, when either refuses).
std::string encode_laz(const std::string &las, uint32_t chunk_points = 50000,
                       bool variable = false, int threads = 2);
std::string decode_laz(const std::string &laz);

// The point records of a LAS file, one after another (its header's offset, record length and
// count; the 64-bit count from version 1.4).
std::string las_records(const std::string &las);

// Where a LAS file's header keeps its fields (the test's view of the format).
constexpr size_t kLasPointOffset = 96, kLasRecordLength = 105, kLasLegacyCount = 107,
                 kLasCount14 = 247, kLasOffsets = 155,
                 kLasBounds = 179, kLasHeader14 = 375, kLasHeader12 = 227;

// A temporary file holding `bytes`, positioned at its start.
struct TemporaryFile {
  explicit TemporaryFile(const std::string &bytes = "");
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile &) = delete;
  TemporaryFile &operator=(const TemporaryFile &) = delete;
  std::string contents();
  std::FILE *stream;
};

// What stream_bytes read and wrote: the points as the visitor saw them, the z normals, the
// output's bytes.
struct Streamed {
  StreamResult result;
  std::string output;
  std::vector<double> x, y, z, nz;
};

// Streams `input` through stream_cloud and `visit` into `format` (with `options`' other fields):
// the bytes written, and the stream's result in *result.
std::string stream_through(const std::string &input, CloudFormat format,
                           const StreamOptions &options, const PointVisitor &visit,
                           StreamResult *result);

// Streams `input` through stream_cloud into `format` (with `options`' motion, box and scale,
// and the point count `points`), every coordinate moved by `shift`.
Streamed stream_bytes(const std::string &input, CloudFormat format, double shift = 0.0,
                      int64_t points = -1, const StreamOptions &options = StreamOptions());

// Streams `input` into `format` as a levelling does: the options' motion set to `motion` and
// every block moved by it (move_block). The bytes written; the result in *result and, where
// asked, the moved points in *moved.
std::string stream_moved(const std::string &input, CloudFormat format,
                         const double (&motion)[4][4], StreamResult *result,
                         std::vector<std::array<double, 3>> *moved = nullptr);

// x, y, z columns of doubles.
std::vector<Column> xyz_columns(const std::vector<double> &x, const std::vector<double> &y,
                                const std::vector<double> &z);

// A new empty folder for the running test: under the test temporary folder, named after the
// test and this process (so that suites run side by side never share one). The caller removes it.
std::string fresh_test_folder(const std::string &prefix);

void write_bytes(const std::string &path, const std::string &bytes);
std::string read_bytes(const std::string &path);

// The points of a cloud file as its reader gives them (empty points included); false with the
// reader's message in *error when it cannot be read.
struct CloudPointsRead {
  std::vector<double> x, y, z;
  std::string error;
};
CloudPointsRead read_cloud_points(const std::string &path);

}  // namespace levelling::test

#endif
