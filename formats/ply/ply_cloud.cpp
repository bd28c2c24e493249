// PLY clouds: ascii, binary_little_endian and binary_big_endian.
#include "formats/ply/ply_cloud.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
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
#include "formats/ply/ply_header.h"
#include "formats/ply/ply_streamer.h"

namespace levelling {

namespace {

CloudFormat format_of(PlyEncoding encoding) {
  switch (encoding) {
    case PlyEncoding::kBinaryLittleEndian:
      return CloudFormat::kPlyBinaryLittleEndian;
    case PlyEncoding::kBinaryBigEndian:
      return CloudFormat::kPlyBinaryBigEndian;
    case PlyEncoding::kAscii:
      break;
  }
  return CloudFormat::kPlyAscii;
}

}  // namespace

bool is_ply_float(const PlyProperty &property) {
  return !property.is_list &&
         (property.type == PlyType::kFloat32 || property.type == PlyType::kFloat64);
}

bool PlyStreamer::prepare() {
  std::string error;
  if (!read_ply_header(in_, &header_, &error)) {
    return fail(StreamFault::kMalformed, error);
  }
  line_number_ = int64_t(header_.lines.size());
  std::string compressed;
  if (is_compressed_splat(header_, &compressed)) {
    return fail(StreamFault::kUnsupported,
                "a compressed Gaussian splat PLY (" + compressed +
                    "), whose quantised positions and rotations are not read: decompress it to "
                    "a plain splat PLY first");
  }
  big_in_ = header_.encoding == PlyEncoding::kBinaryBigEndian;
  result_.format = format_of(header_.encoding);
  const auto vertex = std::find_if(header_.elements.begin(), header_.elements.end(),
                                   [](const PlyElement &e) { return e.name == "vertex"; });
  if (vertex == header_.elements.end()) {
    return fail(StreamFault::kMalformed, "no vertex element in the header");
  }
  vertex_ = size_t(vertex - header_.elements.begin());
  for (int k = 0; k < kAxes; ++k) {
    coordinate_[k] = vertex->find(kCoordinateNames[k]);
    if (coordinate_[k] < 0) {
      return fail(StreamFault::kMalformed,
                  std::string("the vertex element has no property ") + kCoordinateNames[k]);
    }
    if (!is_ply_float(vertex->properties[size_t(coordinate_[k])])) {
      return fail(StreamFault::kUnsupported, std::string("vertex property ") +
                                                 kCoordinateNames[k] +
                                                 " is not float or double");
    }
  }
  bool normals = true;
  const MovedFields &moved = moved_fields_of(CloudFamily::kPly);
  for (int k = 0; k < kAxes; ++k) {
    normal_[k] = vertex->find(moved.directions[k]);
    normals = normals && normal_[k] >= 0 && is_ply_float(vertex->properties[size_t(normal_[k])]);
  }
  block_.has_normals = result_.has_normals = normals;
  for (const PlyElement &element : header_.elements) {
    if (&element != &*vertex && element.count > 0 && result_.other_element.empty()) {
      result_.other_element = element.name;
    }
  }
  if (vertex->fixed_size == 0) {
    return fail(StreamFault::kUnsupported, "the vertex element has a list property");
  }
  // A splat whose colours cannot be turned is read, and refused only when written turned.
  std::string refusal;
  const bool turnable = find_splat_layout(*vertex, &splat_, &refusal);

  writing_ = options_.write.out != nullptr;
  if (!writing_) {
    return true;
  }
  if (!turnable && options_.write.motion != nullptr) {
    return fail(StreamFault::kUnsupported, refusal);
  }
  turning_ = turnable && splat_.present && options_.write.motion != nullptr;
  if (turning_) {
    splat_turn_of(*reinterpret_cast<const double(*)[4][4]>(options_.write.motion), &splat_turn_);
  }
  to_text_ = options_.write.format == CloudFormat::kText;
  // (ASCII splats, whose many turned values would each be a token to replace on the line, are
  // written value by value through the PLY writer, in their own encoding.)
  same_ = written_family(options_.write) == CloudFamily::kPly &&
          ply_encoding_of(options_.write.format) == header_.encoding &&
          !(turning_ && header_.encoding == PlyEncoding::kAscii);
  if (same_) {
    const std::string header = ply_header_text(header_, header_.encoding);
    options_.write.out->write(header.data(), header.size());
    return true;
  }
  refusal = conversion_refusal(result_, CloudFamily::kPly, written_family(options_.write));
  if (!refusal.empty()) {
    return fail(StreamFault::kUnsupported, refusal);
  }
  // Another format: through a writer, told what the cloud holds.
  CloudSchema schema;
  schema.vertex = *vertex;
  for (int k = 0; k < kAxes; ++k) {
    schema.coordinate[k] = coordinate_[k];
  }
  schema.ply_header = &header_;
  if (written_family(options_.write) != CloudFamily::kPly) {
    make_names_unique(&schema.vertex.properties);
  }
  writer_ = make_cloud_writer(options_);
  writer_->begin(schema);
  return true;
}

size_t PlyStreamer::binary_record_size(const PlyElement &element, size_t at,
                                       size_t available) const {
  if (element.fixed_size > 0) {
    return available - at >= element.fixed_size ? element.fixed_size : 0;
  }
  size_t size = 0;
  for (const PlyProperty &property : element.properties) {
    if (!property.is_list) {
      size += ply_type_size(property.type);
      continue;
    }
    const size_t count_size = ply_type_size(property.count_type);
    if (available - at < size + count_size) {
      return 0;
    }
    const double count = load_ply_value(property.count_type, big_in_, in_->data() + at + size);
    if (count < 0) {
      return kNegativeCount;
    }
    if (count > double(kMaxListItems)) {
      return kListTooLong;
    }
    size += count_size + size_t(count) * ply_type_size(property.type);
  }
  return available - at >= size ? size : 0;
}

void PlyStreamer::decode_binary(const PlyElement &element, const char *record,
                                std::vector<double> *values) const {
  values->clear();
  for (const PlyProperty &property : element.properties) {
    if (!property.is_list) {
      values->push_back(load_ply_value(property.type, big_in_, record));
      record += ply_type_size(property.type);
      continue;
    }
    const double count = load_ply_value(property.count_type, big_in_, record);
    values->push_back(count);
    record += ply_type_size(property.count_type);
    for (int64_t i = 0; i < int64_t(count); ++i) {
      values->push_back(load_ply_value(property.type, big_in_, record));
      record += ply_type_size(property.type);
    }
  }
}

bool PlyStreamer::visit_block() {
  if (block_.count == 0) {
    return true;
  }
  visit_(&block_);
  result_.points += int64_t(block_.count);
  if (!writing_ || to_text_) {
    return true;
  }
  // A float coordinate must still fit in a float once visited: beyond FLT_MAX it would be
  // written as an infinity.
  const PlyElement &vertex = header_.elements[vertex_];
  const std::vector<double> *columns[kAxes] = {&block_.x, &block_.y, &block_.z};
  for (int k = 0; k < kAxes; ++k) {
    if (vertex.properties[size_t(coordinate_[k])].type != PlyType::kFloat32) {
      continue;
    }
    const size_t i = first_beyond_float(columns[k]->data(), block_.count);
    if (i < block_.count) {
      return fail(StreamFault::kUnsupported,
                  "vertex " + std::to_string(result_.points - int64_t(block_.count - i) + 1) +
                      ": the levelled " + kCoordinateNames[k] +
                      " is beyond the range of its float property");
    }
  }
  return true;
}

// Writes vertex i of the block, whose decoded values are `values`, in a format other than the
// input's own: the visited coordinates (and normals) in place of the read ones.
void PlyStreamer::write_vertex(std::vector<double> *values, size_t i) {
  const double coordinates[kAxes] = {block_.x[i], block_.y[i], block_.z[i]};
  for (int k = 0; k < kAxes; ++k) {
    (*values)[size_t(coordinate_[k])] = coordinates[k];
  }
  if (block_.has_normals) {
    const double normals[kAxes] = {block_.nx[i], block_.ny[i], block_.nz[i]};
    for (int k = 0; k < kAxes; ++k) {
      (*values)[size_t(normal_[k])] = normals[k];
    }
  }
  if (turning_) {
    turn_splat(splat_turn_, splat_, values->data());
  }
  writer_->vertex(values->data());
}

// Turns the orientations and colours of n splat records in place (binary, the input's own
// encoding): each of their values decoded, turned and stored back.
void PlyStreamer::turn_splat_records(const PlyElement &element, char *records, size_t n) {
  values_.resize(element.properties.size());
  std::vector<int> indices(splat_.rotation, splat_.rotation + 4);
  indices.insert(indices.end(), splat_.rest.begin(), splat_.rest.end());
  for (size_t i = 0; i < n; ++i) {
    char *record = records + i * element.fixed_size;
    for (int index : indices) {
      values_[size_t(index)] = load_ply_value(element.properties[size_t(index)].type, big_in_,
                                              record + element.offsets[size_t(index)]);
    }
    turn_splat(splat_turn_, splat_, values_.data());
    for (int index : indices) {
      store_ply_value(element.properties[size_t(index)].type, big_in_, values_[size_t(index)],
                      record + element.offsets[size_t(index)]);
    }
  }
}

bool PlyStreamer::binary_vertices(const PlyElement &element) {
  const size_t size = element.fixed_size;
  const size_t per_piece = std::max<size_t>(1, kPiece / size);
  const PlyProperty *coordinate_types[kAxes], *normal_types[kAxes] = {};
  for (int k = 0; k < kAxes; ++k) {
    coordinate_types[k] = &element.properties[size_t(coordinate_[k])];
    if (block_.has_normals) {
      normal_types[k] = &element.properties[size_t(normal_[k])];
    }
  }
  std::vector<double> *coordinates[kAxes] = {&block_.x, &block_.y, &block_.z};
  std::vector<double> *normals[kAxes] = {&block_.nx, &block_.ny, &block_.nz};
  // Decodes n records at `data`, the first of them vertex done + 1, into the block.
  const auto decode = [&](const char *data, size_t n, int64_t done) {
    reset_block(&block_, n);
    for (int k = 0; k < kAxes; ++k) {
      load_ply_column(coordinate_types[k]->type, big_in_,
                      data + element.offsets[size_t(coordinate_[k])], size, n,
                      coordinates[k]->data());
      if (block_.has_normals) {
        load_ply_column(normal_types[k]->type, big_in_, data + element.offsets[size_t(normal_[k])],
                        size, n, normals[k]->data());
      }
    }
    int axis = 0;
    const size_t bad = first_bad_point(block_.x.data(), block_.y.data(), block_.z.data(), n, &axis);
    if (bad < n) {
      return fail(StreamFault::kMalformed, "vertex " + std::to_string(done + int64_t(bad) + 1) +
                                               ": " + kCoordinateNames[axis] +
                                               " is not a finite number");
    }
    return true;
  };
  if (can_pick_records(in_, options_, size, element.count)) {
    picked_ = visit_picked_records(in_, options_, size, element.count,
                                   [&](const char *data, size_t n) {
                                     return decode(data, n, result_.points) && visit_block();
                                   });
    result_.points = element.count;
    return picked_;
  }
  if (can_range_records(in_, options_, size, element.count)) {
    bool go_on = false;
    picked_ = visit_record_range(in_, options_, size, element.count,
                                 [&](const char *data, size_t n, int64_t first) {
                                   return decode(data, n, first) && visit_block();
                                 },
                                 &result_, &go_on);
    return picked_ || go_on;
  }
  for (int64_t done = 0; done < element.count;) {
    const size_t wanted = size_t(std::min<int64_t>(element.count - done, int64_t(per_piece)));
    const size_t available = in_->fill(wanted * size);
    const size_t n = std::min(wanted, available / size);
    if (n == 0) {
      return fail(StreamFault::kMalformed,
                  "truncated: the file ends inside vertex " + std::to_string(done + 1) + " of " +
                      std::to_string(element.count) + " (at byte " +
                      std::to_string(in_->offset() + int64_t(available)) + ")");
    }
    const char *data = in_->data();
    if (!decode(data, n, done)) {
      return false;
    }
    if (!visit_block()) {
      return false;
    }
    if (writing_ && same_) {
      // The records as they came, with the new coordinates (and normals) stored into them.
      char *records = options_.write.out->append_space(n * size);
      std::memcpy(records, data, n * size);
      for (int k = 0; k < kAxes; ++k) {
        store_ply_column(coordinate_types[k]->type, big_in_, coordinates[k]->data(), n,
                         records + element.offsets[size_t(coordinate_[k])], size);
        if (block_.has_normals) {
          store_ply_column(normal_types[k]->type, big_in_, normals[k]->data(), n,
                           records + element.offsets[size_t(normal_[k])], size);
        }
      }
      if (turning_) {
        turn_splat_records(element, records, n);
      }
    } else if (writing_) {
      for (size_t i = 0; i < n; ++i) {
        decode_binary(element, data + i * size, &values_);
        write_vertex(&values_, i);
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

bool PlyStreamer::binary_records(const PlyElement &element) {
  for (int64_t done = 0; done < element.count; ++done) {
    size_t size = 0;
    size_t available = in_->available();
    while ((size = binary_record_size(element, 0, available)) == 0) {
      // Needs more bytes than are there: bounded by the list cap above.
      const size_t more = in_->fill(available + kPiece);
      if (more == available) {
        return fail(StreamFault::kMalformed,
                    "truncated: the file ends inside " + element.name + " " +
                        std::to_string(done + 1) + " of " + std::to_string(element.count) +
                        " (at byte " + std::to_string(in_->offset() + int64_t(available)) + ")");
      }
      available = more;
    }
    if (size == kNegativeCount) {
      return fail(StreamFault::kMalformed, "a negative list count in " + element.name + " " +
                                               std::to_string(done + 1));
    }
    if (size == kListTooLong) {
      return fail(StreamFault::kUnsupported,
                  element.name + " " + std::to_string(done + 1) + ": a list of more than " +
                      std::to_string(kMaxListItems) + " items (at most that many are taken)");
    }
    if (writing_ && same_) {
      options_.write.out->write(in_->data(), size);
    } else if (writing_) {
      decode_binary(element, in_->data(), &values_);
      writer_->record(element, values_);
    }
    in_->consume(size);
  }
  return true;
}

StreamResult PlyStreamer::run() {
  if (!prepare()) {
    return result_;
  }
  const bool ascii = header_.encoding == PlyEncoding::kAscii;
  for (size_t e = 0; e < header_.elements.size(); ++e) {
    const PlyElement &element = header_.elements[e];
    const bool ok = e == vertex_ ? (ascii ? ascii_vertices(element) : binary_vertices(element))
                                 : (ascii ? ascii_records(element) : binary_records(element));
    if (!ok || picked_) {
      return result_;  // (having read only the records picked, nothing after them)
    }
  }
  if (writer_ != nullptr && !finish_writer(writer_.get(), &result_)) {
    return result_;
  }
  // Nothing may follow the last element but, in ASCII, blank lines.
  std::string_view line;
  size_t length = 0;
  if (ascii ? next_ascii_line(&line, &length) : !in_->at_end()) {
    fail(StreamFault::kMalformed,
         "the file goes on after its last element: the header's counts are too small");
  } else if (ascii && writing_ && same_ && in_->available() > 0) {
    options_.write.out->write(in_->data(), in_->available());  // trailing blank lines
  }
  return result_;
}

StreamResult stream_ply_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options) {
  PlyStreamer streamer(in, visit, options);
  return streamer.run();
}

}  // namespace levelling

