// PCD clouds (the Point Cloud Library's format, version 0.7 and the 0.5/0.6 headers that only
// lack some of its lines): ascii, binary and binary_compressed data.
//
// Inside the reader every point is a binary record, as PCD's binary data lays it out: the
// coordinates (and normals) are loaded from the records, visited and stored back, and the records
// are written in the kind of data asked for. Records keep every field's bytes, so nothing but the
// visited values changes, whatever the fields' types and counts. binary_compressed is one LZF
// block of the whole cloud, field after field: it is read, and written, whole.
#include "formats/pcd/pcd_cloud.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"
#include "formats/core/moved_fields.h"
#include "formats/core/number_text.h"
#include "formats/core/ply_values.h"
#include "formats/core/stream_support.h"
#include "formats/pcd/pcd_data.h"
#include "formats/pcd/pcd_header.h"
#include "projection/rigid_levelling.h"

namespace levelling {

namespace {

constexpr size_t kAsciiBlockPoints = 65536;
constexpr size_t kLongestLine = size_t(16) << 20;
// LZF writes a run of up to 264 repeated bytes in 3: no block expands more than this.
constexpr size_t kMostExpansion = 96;
constexpr size_t kCompressedSizes = 8;         // two uint32: compressed, then raw bytes

// Where a property of a PCD cloud written in another format comes from: one value of a field,
// or one colour channel of a packed rgb/rgba field.
struct PropertySource {
  size_t field;
  size_t value;      // among the field's count
  int channel = -1;  // bit shift of a colour channel, -1 for a plain value
};

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
  bool picked_ = false;  // only the points options.pick named were visited
  std::unique_ptr<DecompressedCloud> owned_;  // when the caller keeps none
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
  result_.format = pcd_format_of(header_.data);
  bool normals = true;
  for (int k = 0; k < kAxes; ++k) {
    coordinate_[k] = header_.find(kCoordinateNames[k]);
    ply_type_of(header_.fields[size_t(coordinate_[k])], &coordinate_type_[k]);
    normal_[k] = header_.find(pcd_normal_names()[k]);
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
  writing_ = options_.write.out != nullptr;
  if (!writing_) {
    return true;
  }
  if (written_family(options_.write) == CloudFamily::kPcd) {
    const PcdData data = pcd_data_of(options_.write.format);
    same_ = data == header_.data;
    std::vector<std::string> lines = header_.lines;
    if (options_.write.motion != nullptr && header_.viewpoint_line != SIZE_MAX) {
      double moved[kViewpointValues];
      move_pose(*reinterpret_cast<const double(*)[4][4]>(options_.write.motion), header_.viewpoint,
                moved);
      lines[header_.viewpoint_line] = viewpoint_line(moved);
    }
    data_out_ = std::make_unique<PcdDataWriter>(options_.write.out, header_.fields, header_.record,
                                                header_.points, data);
    if (!data_out_->ready()) {
      return fail(StreamFault::kUnsupported, "no memory for the whole cloud, which "
                                             "binary_compressed data needs; write binary");
    }
    data_out_->header(lines);
    return true;
  }
  const std::string refusal = conversion_refusal(result_, CloudFamily::kPcd, written_family(options_.write));
  if (!refusal.empty()) {
    return fail(StreamFault::kUnsupported, refusal);
  }
  // Another format: every value of every field but padding ("_") a property, normals named as
  // PLY names them, packed colours as red, green, blue (and alpha) bytes.
  CloudSchema schema;
  schema.vertex.name = "vertex";
  schema.vertex.count = header_.points;
  schema.source = CloudFamily::kPcd;
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
      name = name == pcd_normal_names()[k] ? ply_normal_names()[k] : name;
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
  writer_ = make_cloud_writer(options_);
  make_names_unique(&schema.vertex.properties);
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
  // PCD: the records, with the visited values stored into a copy of them (binary data: the
  // copy written in place in the output).
  char *copy = data_out_->binary_space(n);
  const bool in_place = copy != nullptr;
  if (!in_place) {
    records_.assign(records, records + n * size);
    copy = records_.data();
  } else {
    std::memcpy(copy, records, n * size);
  }
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
  if (!in_place && !data_out_->records(copy, n)) {
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
      options_.write.out->write(line.data() + from, tokens_[token].first - from);
      write_pcd_token(field, record + field.offset, options_.write.out);
      from = tokens_[token].second;
    }
    token += field.count;
  }
  options_.write.out->write(line.data() + from, line.size() - from);
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
  if (can_pick_records(in_, options_, size, header_.points)) {
    picked_ = visit_picked_records(in_, options_, size, header_.points,
                                   [&](const char *records, size_t n) {
                                     return points(records, n, nullptr);
                                   });
    result_.points = header_.points;
    return picked_;
  }
  if (can_range_records(in_, options_, size, header_.points)) {
    bool go_on = false;
    picked_ = visit_record_range(in_, options_, size, header_.points,
                                 [&](const char *records, size_t n, int64_t first) {
                                   result_.points = first;  // (for the messages of points())
                                   return points(records, n, nullptr);
                                 },
                                 &result_, &go_on);
    if (!go_on) {
      return picked_;
    }
  } else {
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
  }
  // Data after the last point is points the header does not count: never dropped unsaid.
  if (in_->fill(1) > 0) {
    return fail(StreamFault::kMalformed, "byte " + std::to_string(in_->offset()) +
                                             ": more data than POINTS " +
                                             std::to_string(header_.points) + " points hold");
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
  // The header's size was checked to hold in 64 bits; the data's raw size is 32-bit.
  const uint64_t raw = uint64_t(header_.points) * header_.record;
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
  // Decompressed once, and kept for the next pass when the caller keeps it.
  auto *kept = options_.shortcuts.decoded != nullptr
                   ? dynamic_cast<DecompressedCloud *>(options_.shortcuts.decoded->get())
                   : nullptr;
  if (kept == nullptr || kept->fields.size() != raw || kept->compressed != sizes[0]) {
    std::unique_ptr<DecompressedCloud> decompressed;
    std::string error;
    const StreamFault fault = decompress_cloud(in_->data(), sizes[0], raw, &decompressed, &error);
    if (fault != StreamFault::kNone) {
      return fail(fault, error);
    }
    kept = decompressed.get();
    owned_ = std::move(decompressed);
    if (options_.shortcuts.decoded != nullptr) {
      *options_.shortcuts.decoded = std::move(owned_);
    }
  }
  const CloudBuffer &fields = kept->fields;
  in_->consume(sizes[0]);
  if (same_ && data_out_ != nullptr) {
    // Written as binary_compressed again: the levelled records go back into the decompressed
    // cloud, compressed from there, which is then no longer the file's to keep.
    if (options_.shortcuts.decoded != nullptr && options_.shortcuts.decoded->get() == kept) {
      owned_.reset(static_cast<DecompressedCloud *>(options_.shortcuts.decoded->release()));
    }
    data_out_->gather_into(kept->fields.data());
  }
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
        options_.write.out->write(whole.data(), whole.size());
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
  if (!ok || picked_) {
    return result_;  // (having read only the records picked, nothing after them)
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

}  // namespace

StreamResult stream_pcd_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options) {
  PcdStreamer streamer(in, visit, options);
  return streamer.run();
}

}  // namespace levelling
