// PTX clouds: scans of a header and columns x rows point lines, x y z intensity [r g b].
#include "formats/ptx/ptx_cloud.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/core/cloud_writer.h"
#include "formats/core/number_text.h"
#include "formats/core/ply_types.h"
#include "formats/core/stream_support.h"
#include "formats/ptx/ptx_scan.h"

namespace levelling {

namespace {

constexpr size_t kPtxPiece = size_t(1) << 20;  // bytes read ahead at a time
constexpr size_t kLongestLine = size_t(1) << 16;
constexpr size_t kBlockPoints = 8192;
// A point line's values: x y z intensity, and red green blue where the scan has colour.
constexpr int kPlainValues = 4, kColouredValues = 7;
constexpr double kLargestColour = 255.0;

class PtxStreamer {
 public:
  PtxStreamer(ByteReader *in, const PointVisitor &visit, const StreamOptions &options)
      : in_(in), visit_(visit), options_(options) {}

  StreamResult run();

 private:
  bool fail(StreamFault fault, const std::string &message) {
    return keep_first_fault(&result_, fault, message);
  }
  bool fail_at_line(const std::string &message) {
    return fail(StreamFault::kMalformed, "line " + std::to_string(line_number_) + ": " + message);
  }
  bool next_line();
  bool read_scan(bool *ended);
  bool read_point(const PtxScan &scan);
  bool begin_output();
  bool flush_block();

  ByteReader *in_;
  const PointVisitor &visit_;
  StreamOptions options_;
  StreamResult result_;
  // The line last read: its text (without its line end) and all its bytes.
  std::string_view line_, raw_;
  int64_t line_number_ = 0;
  int values_ = 0;  // on each point line, from the first
  bool writing_ = false, same_ = false, began_ = false;
  std::unique_ptr<CloudWriter> writer_;
  PointBlock block_;
  std::vector<double> attributes_;  // intensity (and red, green, blue) of the block's points
};

// Reads the next line (consuming the one before): false at the input's end, or with the fault
// of a line over kLongestLine.
bool PtxStreamer::next_line() {
  in_->consume(raw_.size());
  raw_ = line_ = {};
  size_t available = in_->available();
  const char *data = in_->data();
  const void *newline = available > 0 ? std::memchr(data, '\n', available) : nullptr;
  while (newline == nullptr) {
    const size_t more = in_->fill(available + kPtxPiece);
    data = in_->data();
    if (more == available) {
      break;  // the last line, without a line end
    }
    newline = std::memchr(data + available, '\n', more - available);
    available = more;
    if (newline == nullptr && available > kLongestLine) {
      break;
    }
  }
  if (available == 0) {
    return false;
  }
  const size_t length =
      newline != nullptr ? size_t(static_cast<const char *>(newline) - data) + 1 : available;
  ++line_number_;
  if (length > kLongestLine) {
    return fail_at_line("longer than 64 KiB");
  }
  raw_ = line_ = std::string_view(data, length);
  while (!line_.empty() && (line_.back() == '\n' || line_.back() == '\r')) {
    line_.remove_suffix(1);
  }
  return true;
}

// Reads a scan: its header, then its points. *ended: the input ended before a scan began.
bool PtxStreamer::read_scan(bool *ended) {
  PtxScan scan;
  *ended = false;
  // Blank lines between scans are passed over (and kept).
  do {
    if (!next_line()) {
      *ended = result_.fault == StreamFault::kNone;
      return *ended;
    }
    if (same_ && line_.find_first_not_of(" \t") == std::string_view::npos) {
      options_.write.out->write(raw_.data(), raw_.size());
    }
  } while (line_.find_first_not_of(" \t") == std::string_view::npos);
  std::string header;
  for (int index = 0; index < kPtxHeaderLines; ++index) {
    if (index > 0 && !next_line()) {
      return result_.fault != StreamFault::kNone ||
             fail(StreamFault::kMalformed, "truncated: the file ends inside a PTX scan's header");
    }
    std::string message;
    if (!read_ptx_header_line(line_, index, &scan, &message)) {
      return fail_at_line(message);
    }
    header.append(raw_.data(), raw_.size());
  }
  const int64_t points = ptx_point_count(scan);
  if (points < 0) {
    return fail_at_line("a PTX scan of more points than 2^63");
  }
  if (same_) {
    const char *line_end = header.size() > 1 && header[header.size() - 2] == '\r' ? "\r\n" : "\n";
    const std::string text =
        options_.write.motion != nullptr
            ? ptx_header_text(moved_ptx_scan(scan, options_.write.motion), line_end)
            : header;
    options_.write.out->write(text.data(), text.size());
  }
  for (int64_t p = 0; p < points; ++p) {
    if (!next_line()) {
      return result_.fault != StreamFault::kNone ||
             fail(StreamFault::kMalformed,
                  "truncated: the file ends at point " + std::to_string(p + 1) + " of a scan's " +
                      std::to_string(points));
    }
    if (!read_point(scan)) {
      return false;
    }
  }
  return true;
}

// Reads the point on the line: x y z intensity [r g b], into the block in world coordinates.
bool PtxStreamer::read_point(const PtxScan &scan) {
  double values[kColouredValues + 1];
  int count = 0;
  const char *at = line_.data(), *end = line_.data() + line_.size();
  for (;;) {
    while (at < end && is_blank(*at)) {
      ++at;
    }
    if (at == end) {
      break;
    }
    if (count == kColouredValues) {
      return fail_at_line("a PTX point of more than 7 values");
    }
    const char *next = parse_number_prefix(at, end, &values[count]);
    if (next == nullptr || (next < end && !is_blank(*next)) || !std::isfinite(values[count])) {
      return fail_at_line("a PTX point's value that is no finite number");
    }
    ++count;
    at = next;
  }
  if (values_ == 0) {
    if (count != kPlainValues && count != kColouredValues) {
      return fail_at_line("a PTX point of " + std::to_string(count) +
                          " values (x y z intensity, and r g b)");
    }
    values_ = count;
    if (writing_ && !same_ && !begin_output()) {
      return false;
    }
  } else if (count != values_) {
    return fail_at_line("a PTX point of " + std::to_string(count) + " values after points of " +
                        std::to_string(values_));
  }
  for (int c = kPlainValues; c < count; ++c) {
    if (!(values[c] >= 0.0 && values[c] <= kLargestColour) || values[c] != std::floor(values[c])) {
      return fail_at_line("a colour that is no integer from 0 to 255");
    }
  }
  double world[3];
  if (values[0] == 0.0 && values[1] == 0.0 && values[2] == 0.0) {
    world[0] = world[1] = world[2] = std::numeric_limits<double>::quiet_NaN();
  } else {
    ptx_to_world(scan, values, world);
  }
  const size_t i = block_.count++;
  block_.x[i] = world[0];
  block_.y[i] = world[1];
  block_.z[i] = world[2];
  attributes_.insert(attributes_.end(), values + 3, values + count);
  if (same_) {
    options_.write.out->write(raw_.data(), raw_.size());
  }
  return block_.count < kBlockPoints || flush_block();
}

// Begins a conversion: the writer told the schema. False without the point count an earlier
// pass gives.
bool PtxStreamer::begin_output() {
  began_ = true;
  if (options_.write.points < 0) {
    return fail(StreamFault::kUnsupported, "converting PTX needs the point count first");
  }
  CloudSchema schema;
  schema.source = CloudFamily::kPtx;
  schema.vertex.name = "vertex";
  schema.vertex.count = options_.write.points;
  const auto add = [&](const char *name, PlyType type) {
    PlyProperty property;
    property.name = name;
    property.type = type;
    schema.vertex.properties.push_back(property);
  };
  for (const char *name : kCoordinateNames) {
    add(name, PlyType::kFloat64);
  }
  add("intensity", PlyType::kFloat32);
  if (values_ == kColouredValues) {
    for (const char *name : {"red", "green", "blue"}) {
      add(name, PlyType::kUint8);
    }
  }
  writer_ = make_cloud_writer(options_);
  writer_->begin(schema);
  return true;
}

// Visits the block and writes its points to a conversion's writer.
bool PtxStreamer::flush_block() {
  const size_t n = block_.count;
  if (n == 0) {
    return true;
  }
  int axis = 0;
  const size_t bad = first_bad_point(block_.x.data(), block_.y.data(), block_.z.data(), n, &axis);
  if (bad < n) {
    return fail(StreamFault::kMalformed, std::string("a point whose ") + kCoordinateNames[axis] +
                                             " is beyond a double in the world");
  }
  if (n < kBlockPoints) {
    reset_block(&block_, n);  // (the visitor sees columns of the block's size)
  }
  visit_(&block_);
  result_.points += int64_t(n);
  if (writer_) {
    const size_t attributes = size_t(values_ - 3);
    double values[kColouredValues];
    for (size_t i = 0; i < n; ++i) {
      values[0] = block_.x[i];
      values[1] = block_.y[i];
      values[2] = block_.z[i];
      std::memcpy(values + 3, &attributes_[i * attributes], attributes * sizeof(double));
      writer_->vertex(values);
    }
  }
  reset_block(&block_, kBlockPoints);
  block_.count = 0;
  attributes_.clear();
  if (options_.progress) {
    options_.progress(in_->offset());
  }
  return true;
}

StreamResult PtxStreamer::run() {
  result_.format = CloudFormat::kPtx;
  writing_ = options_.write.out != nullptr;
  same_ = writing_ && written_family(options_.write) == CloudFamily::kPtx;
  if (writing_ && !same_) {
    const std::string refusal =
        conversion_refusal(result_, CloudFamily::kPtx, written_family(options_.write));
    if (!refusal.empty()) {
      fail(StreamFault::kUnsupported, refusal);
      return result_;
    }
  }
  reset_block(&block_, kBlockPoints);
  block_.count = 0;
  for (bool ended = false; !ended;) {
    if (!read_scan(&ended)) {
      return result_;
    }
  }
  if (!flush_block()) {
    return result_;
  }
  if (writing_ && !same_) {
    if (!began_) {
      values_ = kPlainValues;
      if (!begin_output()) {
        return result_;
      }
    }
    finish_writer(writer_.get(), &result_);
  }
  return result_;
}

}  // namespace

StreamResult stream_ptx_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options) {
  return PtxStreamer(in, visit, options).run();
}

}  // namespace levelling
