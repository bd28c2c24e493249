// Text clouds: one point a line, x y z first.
#include "formats/text/text_cloud.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"
#include "formats/core/fan_out.h"
#include "formats/core/number_text.h"
#include "formats/core/ply_types.h"
#include "formats/core/stream_support.h"

namespace levelling {

namespace {

// Bytes of text parsed at a time, and the longest line taken.
constexpr size_t kTextPiece = size_t(1) << 20;
// Pieces are parsed and written in parts of this many bytes at least (at most kParts), the
// parts side by side on every core.
constexpr size_t kSplitPiece = size_t(128) << 10;
constexpr size_t kParts = 8;
constexpr size_t kLongestLine = size_t(16) << 20;
constexpr int kCoordinates = 3;
constexpr std::string_view kByteOrderMark = "\xef\xbb\xbf";
const char *const kAxisNames[kCoordinates] = {"x", "y", "z"};

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
// ends the search. *decimals: the most digits after a decimal point among the numbers read,
// *exponents: whether one had an exponent.
int read_fields(std::string_view text, size_t *begin, size_t *end, double *values, int *fields,
                bool *has_more, int *decimals, bool *exponents) {
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
    int digits = 0;
    bool exponent = false;
    const char *number_end =
        parse_number_prefix(line + p, line + size, &values[found], &digits, &exponent);
    if (number_end != nullptr && (number_end == line + size || ends_field(*number_end))) {
      p = end[found] = size_t(number_end - line);
      *decimals = std::max(*decimals, digits);
      *exponents = *exponents || exponent;
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

// Whether a line's first three blank-separated words are numbers with a decimal comma
// ("1,5 2,5 3,5"), which the comma-separated reading would take as six numbers.
bool has_decimal_commas(std::string_view text) {
  size_t p = 0;
  for (int word = 0; word < kCoordinates; ++word) {
    while (p < text.size() && is_blank(text[p])) {
      ++p;
    }
    const size_t begin = p;
    while (p < text.size() && !is_blank(text[p])) {
      ++p;
    }
    const std::string_view token = text.substr(begin, p - begin);
    const size_t comma = token.find(',');
    if (comma == std::string_view::npos || comma == 0 || comma + 1 == token.size() ||
        token.find(',', comma + 1) != std::string_view::npos ||
        !std::isdigit(static_cast<unsigned char>(token[comma - 1])) ||
        !std::isdigit(static_cast<unsigned char>(token[comma + 1]))) {
      return false;
    }
  }
  return true;
}

// One part of a piece of text: its lines, its points, and the first fault met in it, parsed
// (and, for text output, written) on its own so that two parts can be worked on at once.
struct Part {
  size_t begin = 0, end = 0;  // the part's bytes in the piece
  // Its lines parsed, counted from the part's start (a part is parsed without knowing how many
  // lines come before it: the streamer adds them), and whether it begins the input.
  int64_t line_number = 0;
  bool starts_input = false;
  bool seen_point = false;    // a point came before (a header is then a fault)
  bool seen_header = false;
  bool extra_columns = false;  // a point line with columns after z
  int decimals = 0;            // the most digits after a decimal point in a coordinate
  bool exponents = false;      // a coordinate written with an exponent
  std::vector<Line> lines;
  PointBlock block;
  StreamFault fault = StreamFault::kNone;
  std::string message;
  // The part's lines as text output, once formatted: written_size bytes of `written`, which
  // grows (uninitialised) as it needs.
  std::unique_ptr<char[]> written;
  size_t written_size = 0, written_capacity = 0;
};

// Room for n more bytes of the part's output.
char *output_room(Part *part, size_t n) {
  if (part->written_size + n > part->written_capacity) {
    const size_t capacity = std::max(2 * part->written_capacity, part->written_size + n);
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (part->written_size > 0) {
      std::memcpy(grown.get(), part->written.get(), part->written_size);
    }
    part->written = std::move(grown);
    part->written_capacity = capacity;
  }
  return part->written.get() + part->written_size;
}

// Parses the lines of `part` in `data`. Stops at the first fault, which it keeps in the part.
void parse_part(const char *data, bool refuse_extra_columns, Part *part) {
  part->lines.clear();
  part->block.count = 0;
  part->block.x.clear();
  part->block.y.clear();
  part->block.z.clear();
  const auto fail = [part](StreamFault fault, const std::string &message) {
    part->fault = fault;
    part->message = message;  // ("line N: " once the lines before the part are known)
  };
  for (size_t begin = part->begin; begin < part->end;) {
    const void *newline = std::memchr(data + begin, '\n', part->end - begin);
    const size_t end = newline != nullptr ? size_t(static_cast<const char *>(newline) - data) + 1
                                          : part->end;
    ++part->line_number;
    std::string_view text(data + begin, end - begin);
    if (!text.empty() && text.back() == '\n') {
      text.remove_suffix(1);
    }
    Line line{begin, end, LineKind::kPoint, {}, {}, false};
    // A UTF-8 byte order mark before the first line is read past (and written back as it was).
    const bool first_line = part->starts_input && part->line_number == 1;
    const size_t mark = first_line && text.substr(0, kByteOrderMark.size()) == kByteOrderMark
                            ? kByteOrderMark.size()
                            : 0;
    size_t first = mark;
    while (first < text.size() && is_blank(text[first])) {
      ++first;
    }
    if (first == text.size()) {
      line.kind = LineKind::kBlank;
    } else if (text[first] == '#') {
      line.kind = LineKind::kComment;
    } else {
      double values[kCoordinates];
      int fields = 0, decimals = 0;
      bool exponents = false;
      const int parsed = read_fields(text.substr(mark), line.field_begin, line.field_end, values,
                                     &fields, &line.has_more, &decimals, &exponents);
      for (int k = 0; k < fields; ++k) {
        line.field_begin[k] += mark;
        line.field_end[k] += mark;
      }
      if (parsed < kCoordinates) {
        // A header names the columns: none of its fields is a number. A line with a number
        // that is no point (a typo: "++1 0 0.1", "1 0") is a fault, not a header.
        bool any_number = parsed > 0;
        size_t at = fields > 0 ? line.field_end[fields - 1] : text.size();
        for (int k = fields; k < kCoordinates && !any_number && at < text.size(); ++k) {
          while (at < text.size() && (is_blank(text[at]) || text[at] == ',')) {
            ++at;
          }
          const size_t word = at;
          while (at < text.size() && !is_blank(text[at]) && text[at] != ',') {
            ++at;
          }
          double value = 0.0;
          any_number = at > word && parse_number(text.substr(word, at - word), &value);
        }
        if (part->seen_point || part->seen_header || any_number) {
          if (parsed < fields) {
            const std::string_view field = text.substr(
                line.field_begin[parsed], line.field_end[parsed] - line.field_begin[parsed]);
            fail(StreamFault::kMalformed, "'" + std::string(field.substr(0, 40)) +
                                              "' is not a number (" + kAxisNames[parsed] + ")");
          } else {
            fail(StreamFault::kMalformed,
                 "expected three numbers x y z, found " + std::to_string(fields));
          }
          return;
        }
        line.kind = LineKind::kHeader;
        part->seen_header = true;
      } else {
        for (int k = 0; k < kCoordinates; ++k) {
          if (!std::isfinite(values[k]) && !is_empty_point(values[0], values[1], values[2])) {
            fail(StreamFault::kMalformed, std::string(kAxisNames[k]) + " is not a finite number");
            return;
          }
        }
        if (line.has_more && refuse_extra_columns) {
          fail(StreamFault::kUnsupported,
               "has columns after x y z, which PLY output would lose; write text instead");
          return;
        }
        if (line.has_more && has_decimal_commas(text.substr(mark))) {
          const std::string_view field = text.substr(line.field_begin[0]);
          fail(StreamFault::kMalformed,
               "'" + std::string(field.substr(0, field.find_first_of(" \t"))) +
                   "' has a decimal comma; write numbers with decimal points");
          return;
        }
        part->decimals = std::max(part->decimals, decimals);
        part->exponents = part->exponents || exponents;
        part->seen_point = true;
        part->extra_columns = part->extra_columns || line.has_more;
        part->block.x.push_back(values[0]);
        part->block.y.push_back(values[1]);
        part->block.z.push_back(values[2]);
        ++part->block.count;
      }
    }
    part->lines.push_back(line);
    begin = end;
  }
}

// Writes the part's lines as text into part->written: every line as it was, but for its
// points' (visited) coordinates.
void format_part(const char *data, int decimals, Part *part) {
  part->written_size = 0;
  size_t point = 0;
  for (const Line &line : part->lines) {
    const size_t length = line.end - line.begin;
    if (line.kind != LineKind::kPoint) {
      std::memcpy(output_room(part, length), data + line.begin, length);
      part->written_size += length;
      continue;
    }
    // At most the line and three numbers at their longest.
    char *const start = output_room(part, length + kCoordinates * kNumberTextSize);
    char *out = start;
    const double values[kCoordinates] = {part->block.x[point], part->block.y[point],
                                         part->block.z[point]};
    ++point;
    size_t at = line.begin;
    for (int k = 0; k < kCoordinates; ++k) {
      const size_t field = line.begin + line.field_begin[k];
      std::memcpy(out, data + at, field - at);
      out += field - at;
      if (std::isnan(values[k])) {
        // An empty point stays as it was written.
        const size_t width = line.field_end[k] - line.field_begin[k];
        std::memcpy(out, data + field, width);
        out += width;
      } else {
        out += decimals >= 0 ? format_number_fixed(values[k], decimals, out)
                             : format_number(values[k], out);
      }
      at = line.begin + line.field_end[k];
    }
    std::memcpy(out, data + at, line.end - at);
    out += line.end - at;
    part->written_size += size_t(out - start);
  }
}

class TextStreamer {
 public:
  TextStreamer(ByteReader *in, const PointVisitor &visit, const StreamOptions &options)
      : in_(in), visit_(visit), options_(options) {}

  StreamResult run();

 private:
  bool begin_conversion();
  bool whole_lines(size_t *usable);
  size_t split_into_parts(const char *data, size_t usable);
  bool take_parts(size_t used);
  void write_parts(const char *data, size_t used, bool converting);
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
  std::vector<Part> parts_ = std::vector<Part>(kParts);
  std::unique_ptr<CloudWriter> writer_;  // for another format
};

// Begins a conversion to another format: the writer told the schema (x, y, z as doubles).
// False (the fault kept) without the point count an earlier pass gives.
bool TextStreamer::begin_conversion() {
  if (options_.write.points < 0) {
    fail(StreamFault::kUnsupported, "converting text needs the point count first");
    return false;
  }
  // Text becomes another format as its three coordinates, doubles.
  CloudSchema schema;
  schema.vertex.name = "vertex";
  schema.vertex.count = options_.write.points;
  for (const char *name : kAxisNames) {
    PlyProperty property;
    property.name = name;
    property.type = PlyType::kFloat64;
    schema.vertex.properties.push_back(property);
  }
  writer_ = make_cloud_writer(options_);
  writer_->begin(schema);
  return true;
}

// The input's next whole lines, from its first unconsumed byte: *usable bytes, up to the last
// line end (or all that is left at the input's end), 0 at the end. False for a line over
// kLongestLine.
bool TextStreamer::whole_lines(size_t *usable) {
  *usable = 0;
  size_t available = in_->fill(kTextPiece);
  if (available == 0) {
    return true;
  }
  // Whole lines only: up to the last line end, or all that is left at the end of the input.
  for (;;) {
    const char *data = in_->data();
    size_t last = available;
    while (last > 0 && data[last - 1] != '\n') {
      --last;
    }
    if (last > 0) {
      *usable = last;
      break;
    }
    const size_t more = in_->fill(available + kTextPiece);
    if (more == available) {
      *usable = available;  // the last line has no line end
      break;
    }
    if (more > kLongestLine) {
      fail(StreamFault::kMalformed,
           "line " + std::to_string(line_number_ + 1) + ": longer than 16 MiB");
      return false;
    }
    available = more;
  }
  return true;
}

// Splits the `usable` bytes at `data` into parts at line ends (each counts its own lines as it
// is parsed), and returns how many. Until the first point a header line may still come, which
// only the first line's part can tell: a piece is split only once a point has been seen.
size_t TextStreamer::split_into_parts(const char *data, size_t usable) {
  size_t count = 1;
  if (seen_point_) {
    count = std::clamp<size_t>(usable / kSplitPiece, 1, parts_.size());
  }
  size_t begin = 0;
  size_t used = 0;
  for (size_t p = 0; p < count && begin < usable; ++p) {
    size_t end = usable;
    if (p + 1 < count) {
      const size_t target = std::max(begin, usable / count * (p + 1));
      const void *newline = std::memchr(data + target, '\n', usable - target);
      end = newline != nullptr ? size_t(static_cast<const char *>(newline) - data) + 1 : usable;
    }
    Part &part = parts_[p];
    part.begin = begin;
    part.end = end;
    part.line_number = 0;
    part.starts_input = p == 0 && line_number_ == 0;
    part.seen_point = seen_point_;
    part.seen_header = seen_header_;
    part.fault = StreamFault::kNone;
    begin = end;
    used = p + 1;
  }
  return used;
}

// Takes the parts parsed: the first fault (false), else what they saw, and their points visited.
bool TextStreamer::take_parts(size_t used) {
  int64_t line_number = line_number_;
  for (size_t p = 0; p < used; ++p) {
    const Part &part = parts_[p];
    if (part.fault != StreamFault::kNone) {
      fail(part.fault,
           "line " + std::to_string(line_number + part.line_number) + ": " + part.message);
      return false;
    }
    line_number += part.line_number;
  }
  for (size_t p = 0; p < used; ++p) {
    const Part &part = parts_[p];
    seen_point_ = seen_point_ || part.seen_point;
    seen_header_ = seen_header_ || part.seen_header;
    result_.extra_columns = result_.extra_columns || part.extra_columns;
    result_.text_decimals = std::max(result_.text_decimals, part.decimals);
    result_.text_exponents = result_.text_exponents || part.exponents;
  }
  line_number_ = line_number;
  for (size_t p = 0; p < used; ++p) {
    if (parts_[p].block.count > 0) {
      visit_(&parts_[p].block);
      result_.points += int64_t(parts_[p].block.count);
    }
  }
  return true;
}

// Writes the parts: as they were but for their coordinates, formatted side by side, or their
// points through the writer of another format.
void TextStreamer::write_parts(const char *data, size_t used, bool converting) {
  if (options_.write.out != nullptr && !converting) {
    on_each(used, thread_budget(options_.threads),
            [&](size_t p) { format_part(data, options_.write.decimals, &parts_[p]); });
    for (size_t p = 0; p < used; ++p) {
      options_.write.out->write(parts_[p].written.get(), parts_[p].written_size);
    }
  } else if (converting) {
    for (size_t p = 0; p < used; ++p) {
      const PointBlock &block = parts_[p].block;
      for (size_t i = 0; i < block.count; ++i) {
        const double point[kCoordinates] = {block.x[i], block.y[i], block.z[i]};
        writer_->vertex(point);
      }
    }
  }
}

StreamResult TextStreamer::run() {
  result_.format = CloudFormat::kText;
  const bool converting =
      options_.write.out != nullptr && options_.write.format != CloudFormat::kText;
  if (converting && !begin_conversion()) {
    return result_;
  }
  for (;;) {
    size_t usable = 0;
    if (!whole_lines(&usable)) {
      return result_;
    }
    if (usable == 0) {
      break;
    }
    const char *data = in_->data();
    const size_t used = split_into_parts(data, usable);
    on_each(used, thread_budget(options_.threads),
            [&](size_t p) { parse_part(data, converting, &parts_[p]); });
    if (!take_parts(used)) {
      return result_;
    }
    write_parts(data, used, converting);
    in_->consume(usable);
    if (options_.progress) {
      options_.progress(in_->offset());
    }
  }
  if (converting && result_.points != options_.write.points) {
    fail(StreamFault::kRead, "the input changed between its two readings");
  } else if (converting) {
    finish_writer(writer_.get(), &result_);
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
