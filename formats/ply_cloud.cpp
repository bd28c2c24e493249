// PLY clouds: ascii, binary_little_endian and binary_big_endian.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/cloud_stream.h"
#include "formats/cloud_writer.h"
#include "formats/moved_fields.h"
#include "formats/number_text.h"
#include "formats/ply_header.h"
#include "formats/ply_values.h"
#include "formats/stream_support.h"

namespace levelling {

namespace {

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
bool is_float(const PlyProperty &property) {
  return !property.is_list &&
         (property.type == PlyType::kFloat32 || property.type == PlyType::kFloat64);
}

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
    return result_.fault != StreamFault::kNone ? false : fail(fault, message);
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
  std::unique_ptr<CloudWriter> writer_;  // for another format
  size_t vertex_ = 0;
  int coordinate_[kAxes] = {};
  int normal_[kAxes] = {-1, -1, -1};
  int64_t line_number_ = 0;  // of the last ASCII line read
  PointBlock block_;
  std::vector<std::pair<size_t, size_t>> tokens_;
  std::vector<double> values_;
};

bool PlyStreamer::prepare() {
  std::string error;
  if (!read_ply_header(in_, &header_, &error)) {
    return fail(StreamFault::kMalformed, error);
  }
  line_number_ = int64_t(header_.lines.size());
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
    if (!is_float(vertex->properties[size_t(coordinate_[k])])) {
      return fail(StreamFault::kUnsupported, std::string("vertex property ") +
                                                 kCoordinateNames[k] +
                                                 " is not float or double");
    }
  }
  bool normals = true;
  const MovedFields &moved = moved_fields_of(CloudFamily::kPly);
  for (int k = 0; k < kAxes; ++k) {
    normal_[k] = vertex->find(moved.directions[k]);
    normals = normals && normal_[k] >= 0 && is_float(vertex->properties[size_t(normal_[k])]);
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

  writing_ = options_.out != nullptr;
  if (!writing_) {
    return true;
  }
  to_text_ = options_.out_format == CloudFormat::kText;
  same_ = family_of(options_.out_format) == CloudFamily::kPly &&
          ply_encoding_of(options_.out_format) == header_.encoding;
  if (same_) {
    const std::string header = ply_header_text(header_, header_.encoding);
    options_.out->write(header.data(), header.size());
    return true;
  }
  const std::string refusal = conversion_refusal(result_, options_.out_format);
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
  if (family_of(options_.out_format) != CloudFamily::kPly) {
    make_names_unique(&schema.vertex.properties);
  }
  writer_ = make_cloud_writer(options_.out_format, options_.out, options_);
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

bool PlyStreamer::decode_ascii(const PlyElement &element, std::string_view line,
                               std::vector<double> *values) {
  split_tokens(line, &tokens_);
  values->clear();
  size_t token = 0;
  const auto take = [&](PlyType type, const std::string &name) {
    if (token == tokens_.size()) {
      return fail(StreamFault::kMalformed, at_line() + "too few values for " + element.name);
    }
    double value = 0.0;
    const std::string_view text =
        line.substr(tokens_[token].first, tokens_[token].second - tokens_[token].first);
    if (!parse_ply_token(type, text, &value)) {
      return fail(StreamFault::kMalformed, at_line() + "'" + std::string(text.substr(0, 40)) +
                                               "' is not a " + ply_type_name(type) + " (" +
                                               name + ")");
    }
    values->push_back(value);
    ++token;
    return true;
  };
  for (const PlyProperty &property : element.properties) {
    if (!property.is_list) {
      if (!take(property.type, property.name)) {
        return false;
      }
      continue;
    }
    if (!take(property.count_type, property.name) || values->back() < 0) {
      return fail_unless_failed(StreamFault::kMalformed, at_line() + "a negative list count");
    }
    const int64_t count = int64_t(values->back());
    if (count > kMaxListItems) {
      return fail(StreamFault::kUnsupported, at_line() + "a list of " + std::to_string(count) +
                                                 " items in " + element.name + " (at most " +
                                                 std::to_string(kMaxListItems) + " are taken)");
    }
    for (int64_t i = 0; i < count; ++i) {
      if (!take(property.type, property.name)) {
        return false;
      }
    }
  }
  if (token != tokens_.size()) {
    return fail(StreamFault::kMalformed, at_line() + "more values than the properties of " +
                                             element.name + " take");
  }
  return true;
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
  writer_->vertex(values->data());
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
    reset_block(&block_, n);
    const char *data = in_->data();
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
    if (!visit_block()) {
      return false;
    }
    if (writing_ && same_) {
      // The records as they came, with the new coordinates (and normals) stored into them.
      char *records = options_.out->append_space(n * size);
      std::memcpy(records, data, n * size);
      for (int k = 0; k < kAxes; ++k) {
        store_ply_column(coordinate_types[k]->type, big_in_, coordinates[k]->data(), n,
                         records + element.offsets[size_t(coordinate_[k])], size);
        if (block_.has_normals) {
          store_ply_column(normal_types[k]->type, big_in_, normals[k]->data(), n,
                           records + element.offsets[size_t(normal_[k])], size);
        }
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

// The next non-blank ASCII line (without its line end) and the bytes it takes with any blank
// lines before it, left unconsumed; false at the end of the input.
bool PlyStreamer::next_ascii_line(std::string_view *line, size_t *length) {
  size_t at = 0;
  for (;;) {
    size_t available = in_->fill(at + 1);
    if (available == at) {
      return false;
    }
    const void *newline;
    while ((newline = std::memchr(in_->data() + at, '\n', available - at)) == nullptr) {
      const size_t more = in_->fill(available + kPiece);
      if (more == available) {
        break;
      }
      if (more - at > kLongestLine) {
        fail(StreamFault::kMalformed, at_line() + "a line longer than 16 MiB");
        return false;
      }
      available = more;
    }
    const size_t end = newline != nullptr
                           ? size_t(static_cast<const char *>(newline) - in_->data()) + 1
                           : available;
    ++line_number_;
    std::string_view text(in_->data() + at, end - at);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
      text.remove_suffix(1);
    }
    bool blank = true;
    for (char c : text) {
      blank = blank && is_blank(c);
    }
    if (!blank) {
      *line = text;
      *length = end;
      return true;
    }
    at = end;
  }
}

bool PlyStreamer::ascii_vertices(const PlyElement &element) {
  // One vertex a line; the lines of a block are looked at, visited, then written.
  struct Pending {
    std::string text;  // the line with its line end, and any blank lines before it (when
                       // written in the same encoding)
    size_t token_begin[2 * kAxes], token_end[2 * kAxes];
  };
  std::vector<Pending> pending;
  std::vector<double> decoded;  // every value of the block's vertices, when converting
  const size_t stride = element.properties.size();
  for (int64_t done = 0; done < element.count;) {
    pending.clear();
    decoded.clear();
    reset_block(&block_, 0);
    size_t pending_bytes = 0;
    while (done + int64_t(pending.size()) < element.count &&
           pending.size() < kAsciiBlockVertices && pending_bytes < kAsciiBlockBytes &&
           decoded.size() < kAsciiBlockValues) {
      std::string_view line;
      size_t length = 0;
      if (!next_ascii_line(&line, &length)) {
        return fail_unless_failed(StreamFault::kMalformed,
                    "truncated: the file ends after " +
                        std::to_string(done + int64_t(pending.size())) + " of " +
                        std::to_string(element.count) + " vertices");
      }
      if (!decode_ascii(element, line, &values_)) {
        return false;
      }
      Pending each;
      if (writing_ && same_) {
        each.text.assign(in_->data(), length);
      }
      pending_bytes += each.text.size() + sizeof(Pending);
      const size_t line_offset = size_t(line.data() - in_->data());
      for (int k = 0; k < kAxes; ++k) {
        const size_t c = size_t(coordinate_[k]);
        each.token_begin[k] = line_offset + tokens_[c].first;
        each.token_end[k] = line_offset + tokens_[c].second;
        if (block_.has_normals) {
          const size_t n = size_t(normal_[k]);
          each.token_begin[kAxes + k] = line_offset + tokens_[n].first;
          each.token_end[kAxes + k] = line_offset + tokens_[n].second;
        }
        const double value = values_[c];
        if (!std::isfinite(value) &&
            !is_empty_point(values_[size_t(coordinate_[0])], values_[size_t(coordinate_[1])],
                            values_[size_t(coordinate_[2])])) {
          return fail(StreamFault::kMalformed,
                      at_line() + kCoordinateNames[k] + " is not a finite number");
        }
        (k == 0 ? block_.x : k == 1 ? block_.y : block_.z).push_back(value);
        if (block_.has_normals) {
          (k == 0 ? block_.nx : k == 1 ? block_.ny : block_.nz).push_back(values_[size_t(normal_[k])]);
        }
      }
      in_->consume(length);
      if (writing_ && !same_) {
        decoded.insert(decoded.end(), values_.begin(), values_.end());
      }
      pending.push_back(std::move(each));
    }
    block_.count = pending.size();
    if (!visit_block()) {
      return false;
    }
    if (writing_) {
      char number[kNumberTextSize];
      for (size_t i = 0; i < pending.size(); ++i) {
        const Pending &each = pending[i];
        if (!same_) {
          const auto first = decoded.begin() + std::ptrdiff_t(i * stride);
          values_.assign(first, first + std::ptrdiff_t(stride));
          write_vertex(&values_, i);
          continue;
        }
        // The line as it came, with the new coordinates (and normals) in place of the old.
        const double replaced[2 * kAxes] = {
            block_.x[i], block_.y[i], block_.z[i],
            block_.has_normals ? block_.nx[i] : 0.0, block_.has_normals ? block_.ny[i] : 0.0,
            block_.has_normals ? block_.nz[i] : 0.0};
        const int fields = block_.has_normals ? 2 * kAxes : kAxes;
        int order[2 * kAxes];
        for (int f = 0; f < fields; ++f) {
          order[f] = f;
        }
        // The replaced tokens in the order they stand on the line (an insertion sort of six).
        for (int f = 1; f < fields; ++f) {
          for (int g = f; g > 0 && each.token_begin[order[g]] < each.token_begin[order[g - 1]];
               --g) {
            std::swap(order[g], order[g - 1]);
          }
        }
        size_t at = 0;
        for (int f = 0; f < fields; ++f) {
          const int field = order[f];
          const PlyType type = element.properties[size_t(
              field < kAxes ? coordinate_[field] : normal_[field - kAxes])].type;
          options_.out->write(each.text.data() + at, each.token_begin[field] - at);
          if (std::isnan(replaced[field])) {
            // An empty point (or its normal) stays as it was written.
            options_.out->write(each.text.data() + each.token_begin[field],
                                each.token_end[field] - each.token_begin[field]);
          } else {
            options_.out->write(number, type == PlyType::kFloat32
                                            ? format_number(float(replaced[field]), number)
                                            : format_number(replaced[field], number));
          }
          at = each.token_end[field];
        }
        options_.out->write(each.text.data() + at, each.text.size() - at);
      }
    }
    done += int64_t(pending.size());
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
      options_.out->write(in_->data(), size);
    } else if (writing_) {
      decode_binary(element, in_->data(), &values_);
      writer_->record(element, values_);
    }
    in_->consume(size);
  }
  return true;
}

bool PlyStreamer::ascii_records(const PlyElement &element) {
  for (int64_t done = 0; done < element.count; ++done) {
    std::string_view line;
    size_t length = 0;
    if (!next_ascii_line(&line, &length)) {
      return fail_unless_failed(StreamFault::kMalformed, "truncated: the file ends after " +
                                               std::to_string(done) + " of " +
                                               std::to_string(element.count) + " " +
                                               element.name + " records");
    }
    if (!decode_ascii(element, line, &values_)) {
      return false;
    }
    if (writing_ && same_) {
      options_.out->write(in_->data(), length);
    } else if (writing_) {
      writer_->record(element, values_);
    }
    in_->consume(length);
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
    if (!ok) {
      return result_;
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
    options_.out->write(in_->data(), in_->available());  // trailing blank lines
  }
  return result_;
}

}  // namespace

StreamResult stream_ply_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options) {
  PlyStreamer streamer(in, visit, options);
  return streamer.run();
}

}  // namespace levelling
