// The PLY reader's streamer: the header read, the vertices visited block by block, every element
// written in the input's encoding or handed to another format's writer. Its binary half is in
// ply_cloud.cpp, its ASCII half in ply_ascii.cpp. Internal to formats/.
#ifndef LEVELLING_FORMATS_PLY_PLY_STREAMER_H
#define LEVELLING_FORMATS_PLY_PLY_STREAMER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"
#include "formats/core/ply_types.h"
#include "formats/core/stream_support.h"
#include "formats/ply/splat_fields.h"

namespace levelling {

constexpr size_t kPiece = size_t(1) << 20;  // bytes of records looked at together
constexpr size_t kLongestLine = size_t(16) << 20;
// The longest list taken: a face of a million corners is no face a scanner writes, and the cap
// keeps the memory a record takes bounded (a count near 2^32 would otherwise hold the reader
// until the file ends).
constexpr int64_t kMaxListItems = int64_t(1) << 20;
// An ASCII block of vertices ends when its lines or its decoded values pass these, so that long
// lines or many properties do not multiply the memory by the block's 65536 vertices.
constexpr size_t kAsciiBlockVertices = 65536;
constexpr size_t kAsciiBlockBytes = size_t(4) << 20;
constexpr size_t kAsciiBlockValues = size_t(1) << 20;
// What binary_record_size says of a record it cannot size: a negative or a too long list.
constexpr size_t kNegativeCount = SIZE_MAX;
constexpr size_t kListTooLong = SIZE_MAX - 1;

// Whether a property is one float or double value.
bool is_ply_float(const PlyProperty &property);

// Streams one PLY cloud (see stream_ply_cloud).
class PlyStreamer {
 public:
  PlyStreamer(ByteReader *in, const PointVisitor &visit, const StreamOptions &options)
      : in_(in), visit_(visit), options_(options) {}

  StreamResult run();

 private:
  bool prepare();
  bool binary_vertices(const PlyElement &element);
  bool ascii_vertices(const PlyElement &element);
  bool binary_records(const PlyElement &element);
  bool ascii_records(const PlyElement &element);
  bool next_ascii_line(std::string_view *line, size_t *length);
  void write_vertex(std::vector<double> *values, size_t i);
  void turn_splat_records(const PlyElement &element, char *records, size_t n);
  size_t binary_record_size(const PlyElement &element, size_t at, size_t available) const;
  void decode_binary(const PlyElement &element, const char *record, std::vector<double> *values) const;
  bool decode_ascii(const PlyElement &element, std::string_view line, std::vector<double> *values);
  bool fail(StreamFault fault, const std::string &message) {
    result_.fault = fault;
    result_.message = message;
    return false;
  }
  // Fails with `message` unless a fault (a more precise one) was already said.
  bool fail_unless_failed(StreamFault fault, const std::string &message) {
    return keep_first_fault(&result_, fault, message);
  }
  bool visit_block();
  std::string at_line() const { return "line " + std::to_string(line_number_) + ": "; }

  ByteReader *in_;
  const PointVisitor &visit_;
  const StreamOptions &options_;
  StreamResult result_;
  PlyHeader header_;
  bool big_in_ = false;
  bool writing_ = false;
  bool same_ = false;     // written in the input's own encoding
  bool to_text_ = false;  // written as a text cloud (whose coordinates are doubles)
  bool picked_ = false;   // only the vertices options.pick named were visited
  std::unique_ptr<CloudWriter> writer_;  // for another format
  size_t vertex_ = 0;
  int coordinate_[kAxes] = {};
  int normal_[kAxes] = {-1, -1, -1};
  SplatLayout splat_;      // the vertices' Gaussian splat properties, if any
  bool turning_ = false;   // a splat written levelled: its orientations and colours turned
  SplatTurn splat_turn_;
  int64_t line_number_ = 0;  // of the last ASCII line read
  PointBlock block_;
  std::vector<std::pair<size_t, size_t>> tokens_;
  std::vector<double> values_;
};

}  // namespace levelling

#endif
