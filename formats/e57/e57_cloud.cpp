// E57 files: the pages, the XML, and every scan's compressed vector of points.
#include "formats/e57/e57_cloud.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "formats/core/cloud_writer.h"
#include "formats/core/ply_types.h"
#include "formats/core/stream_support.h"
#include "formats/e57/e57_pages.h"
#include "formats/e57/e57_scans.h"
#include "formats/e57/e57_vectors.h"
#include "formats/e57/e57_xml.h"
#include "projection/rigid_levelling.h"

namespace levelling {

namespace {

constexpr size_t kBlockPoints = 8192;
constexpr size_t kCopyPages = 4096;  // pages copied (and handed back) at a time
constexpr uint64_t kReleaseBytes = uint64_t(8) << 20;  // read before they are handed back
// Integers beyond 2^53 have no exact double.
constexpr double kExactInteger = 9007199254740992.0;

// The name a conversion gives an E57 field (colours as the other formats name them, the fields
// this program's E57 adds by their own names).
std::string converted_name(const std::string &name) {
  const std::string prefix = std::string(kE57Extension) + ":";
  if (name.rfind(prefix, 0) == 0) {
    return name.substr(prefix.size());
  }
  if (name == "colorRed") {
    return "red";
  }
  if (name == "colorGreen") {
    return "green";
  }
  if (name == "colorBlue") {
    return "blue";
  }
  return name;
}

// The smallest PLY type that holds a field's every value; false for an integer beyond a double.
bool property_type_of(const E57Field &field, PlyType *type) {
  if (field.kind == E57FieldKind::kFloat) {
    *type = field.single ? PlyType::kFloat32 : PlyType::kFloat64;
    return true;
  }
  if (field.kind == E57FieldKind::kScaledInteger) {
    *type = PlyType::kFloat64;
    return true;
  }
  const struct {
    PlyType type;
    double low, high;
  } kIntegers[] = {{PlyType::kUint8, 0, 255},           {PlyType::kInt8, -128, 127},
                   {PlyType::kUint16, 0, 65535},        {PlyType::kInt16, -32768, 32767},
                   {PlyType::kUint32, 0, 4294967295.0}, {PlyType::kInt32, -2147483648.0, 2147483647}};
  for (const auto &each : kIntegers) {
    if (double(field.minimum) >= each.low && double(field.maximum) <= each.high) {
      *type = each.type;
      return true;
    }
  }
  *type = PlyType::kFloat64;
  return std::fabs(double(field.minimum)) <= kExactInteger &&
         std::fabs(double(field.maximum)) <= kExactInteger;
}

class E57Streamer {
 public:
  E57Streamer(ByteReader *in, const PointVisitor &visit, const StreamOptions &options)
      : in_(in), visit_(visit), options_(options) {}

  StreamResult run();

 private:
  bool fail(StreamFault fault, const std::string &message) {
    return keep_first_fault(&result_, fault, message);
  }
  bool load();
  bool describe_conversion();
  bool write_levelled();
  bool stream_scan(const E57Scan &scan);

  ByteReader *in_;
  const PointVisitor &visit_;
  StreamOptions options_;
  StreamResult result_;
  std::unique_ptr<E57Pages> pages_;
  E57Header header_;
  std::string xml_;
  std::unique_ptr<E57Element> root_;
  std::vector<E57Scan> scans_;
  CloudSchema schema_;  // what a conversion writes
  std::unique_ptr<CloudWriter> writer_;
  PointBlock block_;
  std::vector<std::vector<double>> values_;  // a block's records, field by field
  std::vector<double> record_;               // one point's values, for the writer
};

bool E57Streamer::load() {
  const size_t size = in_->fill(SIZE_MAX);
  pages_ = std::make_unique<E57Pages>(in_->data(), size);
  std::string message;
  bool unsupported = false;
  if (!pages_->read_header(&header_, &message, &unsupported)) {
    return fail(unsupported ? StreamFault::kUnsupported : StreamFault::kMalformed, message);
  }
  // The XML's size checked against the limit and the file before any memory is taken for it.
  if (header_.xml_length > kLargestE57Xml) {
    return fail(StreamFault::kMalformed,
                "an XML section of " + std::to_string(header_.xml_length) + " bytes");
  }
  const uint64_t xml_at = e57_logical(header_.xml_offset);
  if (xml_at > pages_->logical_size() || header_.xml_length > pages_->logical_size() - xml_at) {
    return fail(StreamFault::kMalformed,
                "truncated: an XML section of " + std::to_string(header_.xml_length) +
                    " bytes at byte " + std::to_string(header_.xml_offset) +
                    " runs past the file's end");
  }
  xml_.resize(size_t(header_.xml_length));
  if (header_.xml_offset % kE57Page >= kE57PageContent ||
      !pages_->read(e57_logical(header_.xml_offset), xml_.size(), &xml_[0], &message)) {
    return fail(StreamFault::kMalformed,
                message.empty() ? "damaged: an XML section on a page's checksum" : message);
  }
  root_ = parse_e57_xml(xml_, &message);
  if (root_ == nullptr) {
    return fail(StreamFault::kMalformed, message);
  }
  if (!read_e57_scans(*root_, &scans_, &message, &unsupported)) {
    return fail(unsupported ? StreamFault::kUnsupported : StreamFault::kMalformed, message);
  }
  return describe_conversion();
}

// Whether a field of the scan is one a conversion writes: not its coordinates (x, y, z are
// written) nor its invalid state (its empty points are).
bool is_converted(const E57Scan &scan, size_t f) {
  const int field = int(f);
  return field != scan.invalid &&
         (scan.spherical || (field != scan.coordinate[0] && field != scan.coordinate[1] &&
                             field != scan.coordinate[2]));
}

// The schema a conversion writes: x, y, z, then the first scan's other fields; the scans must
// agree on them.
bool E57Streamer::describe_conversion() {
  schema_.source = CloudFamily::kE57;
  schema_.vertex.name = "vertex";
  schema_.vertex.count = options_.write.points;
  for (const char *name : kCoordinateNames) {
    schema_.vertex.properties.push_back({name, PlyType::kFloat64, false, PlyType::kUint8});
  }
  if (scans_.empty()) {
    return true;
  }
  const E57Scan &first = scans_.front();
  for (size_t f = 0; f < first.fields.size(); ++f) {
    if (!is_converted(first, f)) {
      continue;
    }
    PlyType type;
    if (!property_type_of(first.fields[f], &type) && result_.unconvertible.empty()) {
      result_.unconvertible = "the 64-bit integer field " + first.fields[f].name;
    }
    schema_.vertex.properties.push_back(
        {converted_name(first.fields[f].name), type, false, PlyType::kUint8});
  }
  for (const E57Scan &scan : scans_) {
    bool same = scan.fields.size() == first.fields.size();
    for (size_t f = 0; same && f < scan.fields.size(); ++f) {
      same = scan.fields[f].name == first.fields[f].name;
    }
    if (!same && result_.unconvertible.empty()) {
      result_.unconvertible = "scans whose points hold different fields";
    }
  }
  make_names_unique(&schema_.vertex.properties);
  return true;
}

// Writes the file levelled: every byte before the XML as it was (its pages checked), the XML
// with every pose moved, the header's XML length and file length mended.
bool E57Streamer::write_levelled() {
  const std::string xml = options_.write.motion != nullptr
                              ? moved_e57_xml(xml_, *root_, *reinterpret_cast<const double(*)[4][4]>(
                                                                options_.write.motion))
                              : xml_;
  // The new XML goes where the old began when that ends the file, else after everything.
  const uint64_t old_start = e57_logical(header_.xml_offset);
  const uint64_t old_end = old_start + header_.xml_length;
  const bool last = (old_end + kE57PageContent - 1) / kE57PageContent >= pages_->pages();
  const uint64_t start = last ? old_start : pages_->logical_size();
  const uint64_t first_page = start / kE57PageContent;
  E57Header header = header_;
  header.xml_offset = e57_physical(start);
  header.xml_length = xml.size();
  header.physical_length =
      (start + xml.size() + kE57PageContent - 1) / kE57PageContent * kE57Page;
  const std::string head = e57_header_bytes(header);
  std::string message;
  E57PageWriter pages;
  ByteWriter *out = options_.write.out;
  // Page 0 made again for its header, unless the XML begins in it; then the pages between as
  // they were.
  if (first_page > 0) {
    std::string page(kE57PageContent, '\0');
    if (!pages_->read(0, page.size(), &page[0], &message)) {
      return fail(StreamFault::kMalformed, message);
    }
    page.replace(0, head.size(), head);
    pages.write(page.data(), page.size());
    const std::string made = pages.take_pages();
    out->write(made.data(), made.size());
  }
  for (uint64_t page = 1; page < first_page; page += kCopyPages) {
    const uint64_t last_page = std::min(first_page, page + kCopyPages);
    if (!pages_->check_pages(page, last_page, &message)) {
      return fail(StreamFault::kMalformed, message);
    }
    out->write(in_->data() + page * kE57Page, size_t((last_page - page) * kE57Page));
    in_->release_range(size_t(page * kE57Page), size_t(last_page * kE57Page));
  }
  std::string before(size_t(start - first_page * kE57PageContent), '\0');
  if (!pages_->read(first_page * kE57PageContent, before.size(), &before[0], &message)) {
    return fail(StreamFault::kMalformed, message);
  }
  if (first_page == 0) {
    before.replace(0, head.size(), head);
  }
  pages.write(before.data(), before.size());
  pages.write(xml.data(), xml.size());
  const std::string made = pages.take_pages();
  out->write(made.data(), made.size());
  return true;
}

// Visits one scan's points in the world, and hands them to a conversion's writer.
bool E57Streamer::stream_scan(const E57Scan &scan) {
  // The pose's rotation (a quaternion of no length: none).
  double r[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  const double q[4] = {scan.pose[3], scan.pose[4], scan.pose[5], scan.pose[6]};
  if (q[0] != 0.0 || q[1] != 0.0 || q[2] != 0.0 || q[3] != 0.0) {
    quaternion_rotation(q, r);
  }
  const double *t = scan.pose;
  // A conversion writes every field; otherwise only the coordinates and the invalid state are
  // decoded.
  std::vector<bool> wanted(scan.fields.size(), writer_ != nullptr);
  for (const int f : {scan.coordinate[0], scan.coordinate[1], scan.coordinate[2], scan.invalid}) {
    if (f >= 0) {
      wanted[size_t(f)] = true;
    }
  }
  E57VectorReader reader(pages_.get(), scan, std::move(wanted));
  // The pages of the section read are handed back as the points go, so memory stays bounded.
  uint64_t released = reader.section_start() / kE57Page * kE57Page;
  for (;;) {
    const uint64_t read_to = reader.position() / kE57Page * kE57Page;
    if (read_to > released + kReleaseBytes) {
      in_->release_range(size_t(released), size_t(read_to));
      released = read_to;
    }
    size_t n = 0;
    std::string message;
    if (!reader.next(kBlockPoints, &values_, &n, &message)) {
      return fail(StreamFault::kMalformed, message);
    }
    if (n == 0) {
      return true;
    }
    reset_block(&block_, n);
    const std::vector<double> &a = values_[size_t(scan.coordinate[0])];
    const std::vector<double> &b = values_[size_t(scan.coordinate[1])];
    const std::vector<double> &c = values_[size_t(scan.coordinate[2])];
    for (size_t i = 0; i < n; ++i) {
      double p[3] = {a[i], b[i], c[i]};
      if (scan.spherical) {
        const double across = a[i] * std::cos(c[i]);
        p[0] = across * std::cos(b[i]);
        p[1] = across * std::sin(b[i]);
        p[2] = a[i] * std::sin(c[i]);
      }
      if (scan.invalid >= 0 && values_[size_t(scan.invalid)][i] != 0.0) {
        block_.x[i] = block_.y[i] = block_.z[i] = std::numeric_limits<double>::quiet_NaN();
        continue;
      }
      block_.x[i] = r[0][0] * p[0] + r[0][1] * p[1] + r[0][2] * p[2] + t[0];
      block_.y[i] = r[1][0] * p[0] + r[1][1] * p[1] + r[1][2] * p[2] + t[1];
      block_.z[i] = r[2][0] * p[0] + r[2][1] * p[1] + r[2][2] * p[2] + t[2];
    }
    int axis = 0;
    if (first_bad_point(block_.x.data(), block_.y.data(), block_.z.data(), n, &axis) < n) {
      return fail(StreamFault::kMalformed,
                  std::string("a point whose ") + kCoordinateNames[axis] + " is not finite");
    }
    visit_(&block_);
    result_.points += int64_t(n);
    if (writer_) {
      record_.resize(schema_.vertex.properties.size());
      for (size_t i = 0; i < n; ++i) {
        record_[0] = block_.x[i];
        record_[1] = block_.y[i];
        record_[2] = block_.z[i];
        size_t p = 3;
        for (size_t f = 0; f < scan.fields.size(); ++f) {
          if (is_converted(scan, f)) {
            record_[p++] = values_[f][i];
          }
        }
        writer_->vertex(record_.data());
      }
    }
    if (options_.progress) {
      options_.progress(in_->offset());
    }
  }
}

StreamResult E57Streamer::run() {
  result_.format = CloudFormat::kE57;
  if (!load()) {
    return result_;
  }
  const bool writing = options_.write.out != nullptr;
  const bool same = writing && written_family(options_.write) == CloudFamily::kE57;
  if (writing && !same) {
    const std::string refusal =
        conversion_refusal(result_, CloudFamily::kE57, written_family(options_.write));
    if (!refusal.empty()) {
      fail(StreamFault::kUnsupported, refusal);
      return result_;
    }
    if (options_.write.points < 0) {
      fail(StreamFault::kUnsupported, "converting E57 needs the point count first");
      return result_;
    }
    writer_ = make_cloud_writer(options_);
    writer_->begin(schema_);
  }
  if (same && !write_levelled()) {
    return result_;
  }
  for (const E57Scan &scan : scans_) {
    if (!stream_scan(scan)) {
      return result_;
    }
  }
  if (writer_) {
    finish_writer(writer_.get(), &result_);
  }
  return result_;
}

}  // namespace

StreamResult stream_e57_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options) {
  return E57Streamer(in, visit, options).run();
}

}  // namespace levelling
