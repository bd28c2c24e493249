// E57 written from another format: one scan, bit-packed, its XML after its points.
#include "formats/e57/e57_cloud.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/core/cloud_writer.h"
#include "formats/core/ply_types.h"
#include "formats/e57/e57_pages.h"
#include "formats/e57/e57_scans.h"
#include "laz/byte_order.h"

namespace levelling {

namespace {

constexpr uint64_t kSectionHeader = 32, kDataPacketHead = 6;
constexpr uint64_t kLargestPacket = 65536;
constexpr uint64_t kRecordsAlign = 8;  // records a packet holds: a multiple of this, so that
                                       // every stream's bits end on a byte
constexpr int kInvalidBits = 2;        // cartesianInvalidState: 0 valid, 2 no point
constexpr double kNoPoint = 2.0;
// A GUID's text before the points are known (36 characters, as the GUID that replaces it), and
// FNV-1a's constants, which hash the points into it.
constexpr const char *kGuidPlaceholder = "00000000-0000-4000-8000-000000000000";
constexpr uint64_t kFnvBasis = 0xcbf29ce484222325u, kFnvPrime = 0x100000001b3u;

// One field written: its element, its bits, how a value becomes them.
struct OutField {
  std::string element;  // the prototype's child element
  int bits = 64;
  bool single = false, floating = true;
  int64_t minimum = 0;
  size_t property = 0;  // the schema's property it takes (SIZE_MAX: the invalid state)
};

// The element a property is written as: the standard's name where E57 has one (red as
// colorRed), else the property's own in this program's namespace, made a valid XML name.
std::string e57_name_of(const std::string &name) {
  const char *kStandard[] = {"intensity", "rowIndex", "columnIndex", "returnIndex",
                             "returnCount", "timeStamp"};
  for (const char *standard : kStandard) {
    if (name == standard) {
      return name;
    }
  }
  if (name == "red" || name == "green" || name == "blue") {
    return std::string("color") + char(std::toupper(static_cast<unsigned char>(name[0]))) +
           name.substr(1);
  }
  std::string element = std::string(kE57Extension) + ":";
  for (const char c : name) {
    element += std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.'
                   ? c
                   : '_';
  }
  if (std::isdigit(static_cast<unsigned char>(element[std::strlen(kE57Extension) + 1]))) {
    element.insert(std::strlen(kE57Extension) + 1, "_");
  }
  return element;
}

// Bits written least significant first into a growing byte string.
struct BitStream {
  std::string bytes;
  uint64_t word = 0;
  int used = 0;
  void put(uint64_t value, int bits) {
    for (int k = 0; k < bits;) {
      const int take = std::min(bits - k, 64 - used);
      const uint64_t part = take == 64 ? value >> k : (value >> k) & ((uint64_t(1) << take) - 1);
      word |= part << used;
      used += take;
      k += take;
      while (used >= 8) {
        bytes += char(word & 0xffu);
        word >>= 8;
        used -= 8;
      }
    }
  }
  void flush() {
    if (used > 0) {
      bytes += char(word & 0xffu);
      word = 0;
      used = 0;
    }
  }
};

class E57CloudWriter : public CloudWriter {
 public:
  explicit E57CloudWriter(ByteWriter *out) : out_(out) {}

  void begin(const CloudSchema &schema) override {
    vertex_ = schema.vertex;
    const char *axes[3] = {"cartesianX", "cartesianY", "cartesianZ"};
    for (int k = 0; k < 3; ++k) {
      fields_.push_back({axes[k], 64, false, true, 0, size_t(schema.coordinate[k])});
    }
    for (size_t p = 0; p < vertex_.properties.size(); ++p) {
      if (int(p) == schema.coordinate[0] || int(p) == schema.coordinate[1] ||
          int(p) == schema.coordinate[2]) {
        continue;
      }
      const PlyType type = vertex_.properties[p].type;
      OutField field{e57_name_of(vertex_.properties[p].name), 64, false, true, 0, p};
      if (type == PlyType::kFloat32) {
        field.bits = 32;
        field.single = true;
      } else if (type != PlyType::kFloat64) {
        field.floating = false;
        field.bits = int(8 * ply_type_size(type));
        const bool is_signed =
            type == PlyType::kInt8 || type == PlyType::kInt16 || type == PlyType::kInt32;
        field.minimum = is_signed ? -(int64_t(1) << (field.bits - 1)) : 0;
      }
      fields_.push_back(field);
    }
    fields_.push_back({"cartesianInvalidState", kInvalidBits, false, false, 0, SIZE_MAX});
    streams_.resize(fields_.size());
    plan(uint64_t(vertex_.count));
    const std::string head = e57_header_bytes(header_);
    pages_.write(head.data(), head.size());
    char section[kSectionHeader] = {};
    section[0] = 1;
    put(section, 8, section_length_);
    put(section, 16, e57_physical(kE57HeaderSize + kSectionHeader));
    pages_.write(section, sizeof section);
  }

  void vertex(const double *values) override {
    if (!fault_.empty()) {
      return;
    }
    check_vertex(vertex_, values);
    const bool empty = is_empty_point(values[fields_[0].property], values[fields_[1].property],
                                      values[fields_[2].property]);
    for (size_t f = 0; f < fields_.size(); ++f) {
      const OutField &field = fields_[f];
      double value = field.property == SIZE_MAX ? (empty ? kNoPoint : 0.0)
                                                : values[field.property];
      if (empty && f < 3) {
        value = 0.0;
      }
      uint64_t raw;
      if (field.floating && field.single) {
        const float single = float(value);
        uint32_t word;
        std::memcpy(&word, &single, sizeof word);
        raw = word;
      } else if (field.floating) {
        std::memcpy(&raw, &value, sizeof raw);
      } else {
        raw = uint64_t(int64_t(std::llround(value))) - uint64_t(field.minimum);
      }
      streams_[f].put(raw, field.bits);
    }
    if (++in_packet_ == packet_records_) {
      write_packet();
    }
  }

  void record(const PlyElement &, const std::vector<double> &) override {}

  void finish() override {
    if (!fault_.empty()) {
      return;  // (refused in begin: nothing was written)
    }
    if (in_packet_ > 0) {
      write_packet();
    }
    if (vertices_ != vertex_.count && fault_.empty()) {
      fault_ = "E57 written for " + std::to_string(vertex_.count) + " points was given " +
               std::to_string(vertices_);
    }
    // The file's and the scan's GUIDs, from the points written (the same cloud, the same file).
    for (const char tag : {'0', '1'}) {
      std::string guid = "0e57" + hex_of(content_hash_).substr(0, 4) + "-" +
                         hex_of(content_hash_ >> 16).substr(8, 4) + "-4" + tag + "00-8000-" +
                         hex_of(content_hash_ ^ uint64_t(vertices_));
      xml_.replace(xml_.find(kGuidPlaceholder), guid.size(), guid);
    }
    pages_.write(xml_.data(), xml_.size());
    const std::string pages = pages_.take_pages();
    out_->write(pages.data(), pages.size());
  }

 private:
  // The packets' sizes, the section's length and the XML, from the point count.
  void plan(uint64_t points) {
    uint64_t record_bits = 0;
    for (const OutField &field : fields_) {
      record_bits += uint64_t(field.bits);
    }
    const uint64_t head = kDataPacketHead + 2 * fields_.size();
    // The most records a packet holds: every stream under 64 KiB, the packet too. A record too
    // wide for a packet of kRecordsAlign of them is the writer's fault (nothing is written).
    if (head + record_bits * kRecordsAlign / 8 + 8 > kLargestPacket) {
      fault_ = "records of " + std::to_string(fields_.size()) + " fields, too many for E57's "
               "packets of 64 KiB";
      packet_records_ = kRecordsAlign;
    } else {
      packet_records_ =
          (kLargestPacket - head - 8) * 8 / record_bits / kRecordsAlign * kRecordsAlign;
    }
    for (const OutField &field : fields_) {
      packet_records_ = std::min(packet_records_,
                                 (kLargestPacket - 1) * 8 / uint64_t(field.bits) / kRecordsAlign *
                                     kRecordsAlign);
    }
    section_length_ = kSectionHeader;
    for (uint64_t left = points; left > 0;) {
      const uint64_t n = std::min(left, packet_records_);
      section_length_ += packet_length(n);
      left -= n;
    }
    xml_ = xml_for(points);
    const uint64_t xml_at = kE57HeaderSize + section_length_;
    header_.xml_offset = e57_physical(xml_at);
    header_.xml_length = xml_.size();
    header_.physical_length =
        (xml_at + xml_.size() + kE57PageContent - 1) / kE57PageContent * kE57Page;
  }

  uint64_t stream_bytes(const OutField &field, uint64_t records) const {
    return (records * uint64_t(field.bits) + 7) / 8;
  }

  uint64_t packet_length(uint64_t records) const {
    uint64_t length = kDataPacketHead + 2 * fields_.size();
    for (const OutField &field : fields_) {
      length += stream_bytes(field, records);
    }
    return (length + 3) / 4 * 4;  // a packet's length is a multiple of four
  }

  void write_packet() {
    std::string packet(kDataPacketHead + 2 * fields_.size(), '\0');
    const uint64_t length = packet_length(in_packet_);
    packet[0] = 1;
    put(&packet[0], 2, uint16_t(length - 1));
    put(&packet[0], 4, uint16_t(fields_.size()));
    for (size_t f = 0; f < fields_.size(); ++f) {
      streams_[f].flush();
      put(&packet[0], kDataPacketHead + 2 * f, uint16_t(streams_[f].bytes.size()));
    }
    for (BitStream &stream : streams_) {
      packet += stream.bytes;
      stream.bytes.clear();
    }
    packet.resize(size_t(length), '\0');
    for (const char c : packet) {
      content_hash_ = (content_hash_ ^ static_cast<unsigned char>(c)) * kFnvPrime;
    }
    pages_.write(packet.data(), packet.size());
    in_packet_ = 0;
    const std::string pages = pages_.take_whole_pages();
    out_->write(pages.data(), pages.size());
  }

  std::string xml_for(uint64_t points) const {
    std::string prototype;
    for (const OutField &field : fields_) {
      prototype += "<" + field.element;
      if (field.floating) {
        prototype += std::string(" type=\"Float\"") + (field.single ? " precision=\"single\"" : "");
      } else {
        const uint64_t largest = field.bits == 64 ? UINT64_MAX : (uint64_t(1) << field.bits) - 1;
        prototype += " type=\"Integer\" minimum=\"" + std::to_string(field.minimum) +
                     "\" maximum=\"" + std::to_string(int64_t(uint64_t(field.minimum) + largest)) +
                     "\"";
        if (field.property == SIZE_MAX) {
          prototype.replace(prototype.rfind("maximum=\""), std::string::npos, "maximum=\"2\"");
        }
      }
      prototype += "/>";
    }
    const std::string guid = std::string("{") + kGuidPlaceholder + "}";
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") +
           "<e57Root type=\"Structure\" xmlns=\"http://www.astm.org/COMMIT/E57/2010-e57-v1.0\" "
           "xmlns:" + kE57Extension + "=\"" + kE57ExtensionUri + "\">"
           "<formatName type=\"String\"><![CDATA[ASTM E57 3D Imaging Data File]]></formatName>"
           "<guid type=\"String\"><![CDATA[" + guid + "]]></guid>"
           "<versionMajor type=\"Integer\">1</versionMajor>"
           "<versionMinor type=\"Integer\">0</versionMinor>"
           "<e57LibraryVersion type=\"String\"><![CDATA[levelling-cloud]]></e57LibraryVersion>"
           "<coordinateMetadata type=\"String\"/>"
           "<creationDateTime type=\"Structure\"><dateTimeValue type=\"Float\"/>"
           "<isAtomicClockReferenced type=\"Integer\"/></creationDateTime>"
           "<data3D type=\"Vector\" allowHeterogeneousChildren=\"1\"><vectorChild type=\"Structure\">"
           "<guid type=\"String\"><![CDATA[" + guid + "]]></guid><name type=\"String\"><![CDATA[converted by levelling-cloud]]></name>"
           "<points type=\"CompressedVector\" fileOffset=\"" +
           std::to_string(e57_physical(kE57HeaderSize)) + "\" recordCount=\"" +
           std::to_string(points) + "\"><prototype type=\"Structure\">" + prototype +
           "</prototype><codecs type=\"Vector\" allowHeterogeneousChildren=\"1\"/></points>"
           "</vectorChild></data3D>"
           "<images2D type=\"Vector\" allowHeterogeneousChildren=\"1\"/></e57Root>\n";
  }

  static std::string hex_of(uint64_t value) {
    const char *digits = "0123456789abcdef";
    std::string hex(12, '0');
    for (int k = 11; k >= 0; --k, value >>= 4) {
      hex[size_t(k)] = digits[value & 0xfu];
    }
    return hex;
  }

  ByteWriter *out_;
  PlyElement vertex_;
  std::vector<OutField> fields_;
  std::vector<BitStream> streams_;
  E57PageWriter pages_;
  E57Header header_;
  std::string xml_;
  uint64_t packet_records_ = 0, in_packet_ = 0, section_length_ = 0;
  uint64_t content_hash_ = kFnvBasis;  // FNV-1a of the packets written
};

}  // namespace

std::unique_ptr<CloudWriter> make_e57_cloud_writer(CloudFormat, ByteWriter *out,
                                                   const StreamOptions &) {
  return std::make_unique<E57CloudWriter>(out);
}

}  // namespace levelling
