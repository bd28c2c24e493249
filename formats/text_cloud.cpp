// Text clouds: one point a line, x y z first.
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "formats/cloud_stream.h"
#include "formats/number_text.h"
#include "formats/ply_header.h"
#include "formats/ply_values.h"

namespace levelling {

namespace {

// Bytes of text parsed at a time, and the longest line taken.
constexpr size_t kTextPiece = size_t(1) << 20;
constexpr size_t kLongestLine = size_t(16) << 20;
constexpr int kCoordinates = 3;
const char *const kAxisNames[kCoordinates] = {"x", "y", "z"};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool ends_field(char c) { return is_blank(c) || c == ','; }

enum class LineKind { kBlank, kComment, kHeader, kPoint };

// One line of a piece: where it lies (with its line end) and, for a point, where its three
// coordinates lie within it.
struct Line {
  size_t begin, end;
  LineKind kind;
  size_t field_begin[kCoordinates], field_end[kCoordinates];
  bool has_more;  // something other than blanks after z
};

// Reads the first three fields of `text` (a line without its '\n') as numbers, with their
// bounds relative to `text`. Returns how many fields were numbers (stopping at the first that
// is not, whose bounds are then set too) and *fields, how many fields were found up to there.
// Says whether anything but blanks follows the third. An empty field (two commas in a row)
// ends the search.
int read_fields(std::string_view text, size_t *begin, size_t *end, double *values, int *fields,
                bool *has_more) {
  const char *const line = text.data();
  const size_t size = text.size();
  size_t p = 0;
  *fields = 0;
  *has_more = false;
  for (int found = 0; found < kCoordinates; ++found) {
    while (p < size && is_blank(line[p])) {
      ++p;
    }
    if (found > 0 && p < size && line[p] == ',') {
      ++p;
      while (p < size && is_blank(line[p])) {
        ++p;
      }
    }
    if (p == size || line[p] == ',') {
      return found;
    }
    begin[found] = p;
    ++*fields;
    const char *number_end = parse_number_prefix(line + p, line + size, &values[found]);
    if (number_end != nullptr && (number_end == line + size || ends_field(*number_end))) {
      p = end[found] = size_t(number_end - line);
      continue;
    }
    while (p < size && !ends_field(line[p])) {
      ++p;
    }
    end[found] = p;
    return found;
  }
  while (p < size && is_blank(line[p])) {
    ++p;
  }
  *has_more = p < size;
  return kCoordinates;
}

class TextStreamer {
 public:
  TextStreamer(ByteReader *in, const PointVisitor &visit, const StreamOptions &options)
      : in_(in), visit_(visit), options_(options) {}

  StreamResult run();

 private:
  bool parse_piece(const char *data, size_t size);
  void write_piece(const char *data);
  void write_ply_header();
  void write_ply_point(size_t i);
  void fail(StreamFault fault, const std::string &message) {
    result_.fault = fault;
    result_.message = message;
  }

  ByteReader *in_;
  const PointVisitor &visit_;
  const StreamOptions &options_;
  StreamResult result_;
  int64_t line_number_ = 0;  // of the last line parsed
  bool seen_point_ = false;
  bool seen_header_ = false;
  std::vector<Line> lines_;
  PointBlock block_;
};

bool TextStreamer::parse_piece(const char *data, size_t size) {
  lines_.clear();
  block_.count = 0;
  block_.x.clear();
  block_.y.clear();
  block_.z.clear();
  for (size_t begin = 0; begin < size;) {
    const void *newline = std::memchr(data + begin, '\n', size - begin);
    const size_t end = newline != nullptr ? size_t(static_cast<const char *>(newline) - data) + 1
                                          : size;
    ++line_number_;
    std::string_view text(data + begin, end - begin);
    if (!text.empty() && text.back() == '\n') {
      text.remove_suffix(1);
    }
    Line line{begin, end, LineKind::kPoint, {}, {}, false};
    size_t first = 0;
    while (first < text.size() && is_blank(text[first])) {
      ++first;
    }
    if (first == text.size()) {
      line.kind = LineKind::kBlank;
    } else if (text[first] == '#') {
      line.kind = LineKind::kComment;
    } else {
      double values[kCoordinates];
      int fields = 0;
      const int parsed = read_fields(text, line.field_begin, line.field_end, values, &fields,
                                     &line.has_more);
      if (parsed < kCoordinates) {
        if (!seen_point_ && !seen_header_) {
          line.kind = LineKind::kHeader;
          seen_header_ = true;
        } else {
          const std::string where = "line " + std::to_string(line_number_) + ": ";
          if (parsed < fields) {
            const std::string_view field = text.substr(
                line.field_begin[parsed], line.field_end[parsed] - line.field_begin[parsed]);
            fail(StreamFault::kMalformed, where + "'" + std::string(field.substr(0, 40)) +
                                              "' is not a number (" + kAxisNames[parsed] + ")");
          } else {
            fail(StreamFault::kMalformed,
                 where + "expected three numbers x y z, found " + std::to_string(fields));
          }
          return false;
        }
      } else {
        for (int k = 0; k < kCoordinates; ++k) {
          if (!std::isfinite(values[k])) {
            fail(StreamFault::kMalformed, "line " + std::to_string(line_number_) + ": " +
                                              kAxisNames[k] + " is not a finite number");
            return false;
          }
        }
        if (line.has_more && options_.out != nullptr && options_.out_format != CloudFormat::kText) {
          fail(StreamFault::kUnsupported,
               "line " + std::to_string(line_number_) +
                   ": has columns after x y z, which PLY output would lose; write text instead");
          return false;
        }
        seen_point_ = true;
        block_.x.push_back(values[0]);
        block_.y.push_back(values[1]);
        block_.z.push_back(values[2]);
        ++block_.count;
      }
    }
    lines_.push_back(line);
    begin = end;
  }
  return true;
}

void TextStreamer::write_piece(const char *data) {
  ByteWriter *out = options_.out;
  size_t point = 0;
  char number[kNumberTextSize];
  for (const Line &line : lines_) {
    if (options_.out_format != CloudFormat::kText) {
      if (line.kind == LineKind::kPoint) {
        write_ply_point(point++);
      }
      continue;
    }
    if (line.kind != LineKind::kPoint) {
      out->write(data + line.begin, line.end - line.begin);
      continue;
    }
    const double values[kCoordinates] = {block_.x[point], block_.y[point], block_.z[point]};
    ++point;
    size_t at = line.begin;
    for (int k = 0; k < kCoordinates; ++k) {
      out->write(data + at, line.begin + line.field_begin[k] - at);
      out->write(number, format_number(values[k], number));
      at = line.begin + line.field_end[k];
    }
    out->write(data + at, line.end - at);
  }
}

void TextStreamer::write_ply_header() {
  const PlyEncoding encoding = options_.out_format == CloudFormat::kPlyAscii
                                   ? PlyEncoding::kAscii
                               : options_.out_format == CloudFormat::kPlyBinaryBigEndian
                                   ? PlyEncoding::kBinaryBigEndian
                                   : PlyEncoding::kBinaryLittleEndian;
  const std::string header = std::string("ply\nformat ") + ply_encoding_name(encoding) +
                             " 1.0\ncomment written by levelling-cloud from a text cloud\n"
                             "element vertex " +
                             std::to_string(options_.points) +
                             "\nproperty double x\nproperty double y\nproperty double z\n"
                             "end_header\n";
  options_.out->write(header.data(), header.size());
}

void TextStreamer::write_ply_point(size_t i) {
  const double values[kCoordinates] = {block_.x[i], block_.y[i], block_.z[i]};
  ByteWriter *out = options_.out;
  if (options_.out_format == CloudFormat::kPlyAscii) {
    for (int k = 0; k < kCoordinates; ++k) {
      write_ply_token(PlyType::kFloat64, values[k], out);
      out->write(k + 1 < kCoordinates ? ' ' : '\n');
    }
    return;
  }
  const bool big_endian = options_.out_format == CloudFormat::kPlyBinaryBigEndian;
  char record[kCoordinates * sizeof(double)];
  for (int k = 0; k < kCoordinates; ++k) {
    store_ply_value(PlyType::kFloat64, big_endian, values[k], record + size_t(k) * sizeof(double));
  }
  out->write(record, sizeof record);
}

StreamResult TextStreamer::run() {
  result_.format = CloudFormat::kText;
  const bool to_ply = options_.out != nullptr && options_.out_format != CloudFormat::kText;
  if (to_ply) {
    if (options_.points < 0) {
      fail(StreamFault::kUnsupported, "writing PLY from text needs the point count first");
      return result_;
    }
    write_ply_header();
  }
  for (;;) {
    size_t available = in_->fill(kTextPiece);
    if (available == 0) {
      break;
    }
    // Whole lines only: up to the last line end, or all that is left at the end of the input.
    size_t usable = 0;
    for (;;) {
      const char *data = in_->data();
      size_t last = available;
      while (last > 0 && data[last - 1] != '\n') {
        --last;
      }
      if (last > 0) {
        usable = last;
        break;
      }
      const size_t more = in_->fill(available + kTextPiece);
      if (more == available) {
        usable = available;  // the last line has no line end
        break;
      }
      if (more > kLongestLine) {
        fail(StreamFault::kMalformed,
             "line " + std::to_string(line_number_ + 1) + ": longer than 16 MiB");
        return result_;
      }
      available = more;
    }
    if (!parse_piece(in_->data(), usable)) {
      return result_;
    }
    if (block_.count > 0) {
      visit_(&block_);
      result_.points += int64_t(block_.count);
    }
    if (options_.out != nullptr) {
      write_piece(in_->data());
    }
    in_->consume(usable);
    if (options_.progress) {
      options_.progress(in_->offset());
    }
  }
  if (to_ply && result_.points != options_.points) {
    fail(StreamFault::kRead, "the input changed between its two readings");
  }
  return result_;
}

}  // namespace

StreamResult stream_text_cloud(ByteReader *in, const PointVisitor &visit,
                               const StreamOptions &options) {
  TextStreamer streamer(in, visit, options);
  return streamer.run();
}

}  // namespace levelling
