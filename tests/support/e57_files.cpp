#include "tests/support/e57_files.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace levelling::test {

namespace {

constexpr size_t kPage = 1024, kContent = 1020;
// The most bytes of one field's stream in a packet (a packet holds 64 KiB in all).
constexpr size_t kPacketStream = 8192;

uint32_t crc32c_bitwise(const std::string &bytes) {
  uint32_t crc = 0xffffffffu;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int k = 0; k < 8; ++k) {
      crc = (crc >> 1) ^ ((crc & 1u) ? 0x82f63b78u : 0u);
    }
  }
  return ~crc;
}

template <typename T>
void append(std::string *bytes, T value) {
  char raw[sizeof value];
  std::memcpy(raw, &value, sizeof value);
  bytes->append(raw, sizeof value);
}

uint64_t physical(uint64_t logical) { return logical / kContent * kPage + logical % kContent; }

// Values of `bits` bits each, least significant first.
std::string packed(const std::vector<uint64_t> &raw, int bits) {
  std::string bytes;
  uint64_t at = 0;
  for (const uint64_t value : raw) {
    for (int b = 0; b < bits; ++b, ++at) {
      if (at % 8 == 0) {
        bytes += '\0';
      }
      if ((value >> b) & 1u) {
        bytes.back() = char(bytes.back() | (1 << (at % 8)));
      }
    }
  }
  return bytes;
}

}  // namespace

uint64_t bits_of(double value) {
  uint64_t raw;
  std::memcpy(&raw, &value, sizeof raw);
  return raw;
}

uint64_t bits_of(float value) {
  uint32_t raw;
  std::memcpy(&raw, &value, sizeof raw);
  return raw;
}

std::string e57_pose(const double (&rotation)[4], const double (&translation)[3]) {
  std::ostringstream xml;
  xml.precision(17);
  xml << "<pose type=\"Structure\">\n<rotation type=\"Structure\">";
  const char *names[4] = {"w", "x", "y", "z"};
  for (int k = 0; k < 4; ++k) {
    xml << "<" << names[k] << " type=\"Float\">" << rotation[k] << "</" << names[k] << ">";
  }
  xml << "</rotation>\n<translation type=\"Structure\">";
  for (int k = 0; k < 3; ++k) {
    xml << "<" << names[k + 1] << " type=\"Float\">" << translation[k] << "</" << names[k + 1]
        << ">";
  }
  xml << "</translation>\n</pose>";
  return xml.str();
}

std::string e57_file(const std::vector<E57TestScan> &scans, const std::string &images) {
  std::string logical(48, '\0');
  std::string data3d;
  for (const E57TestScan &scan : scans) {
    const uint64_t section = logical.size();
    // The fields' streams in packets of at most kPacketStream bytes each, side by side.
    std::vector<std::string> streams;
    size_t longest = 0;
    for (const E57TestField &field : scan.fields) {
      streams.push_back(packed(field.raw, field.bits));
      longest = std::max(longest, streams.back().size());
    }
    std::string packets;
    for (size_t from = 0; from == 0 || from < longest; from += kPacketStream) {
      std::string packet;
      packet += '\x01';
      packet += '\0';
      append(&packet, uint16_t(0));  // the length, below
      append(&packet, uint16_t(scan.fields.size()));
      for (const std::string &stream : streams) {
        append(&packet, uint16_t(from < stream.size()
                                     ? std::min(kPacketStream, stream.size() - from)
                                     : 0));
      }
      for (const std::string &stream : streams) {
        packet += from < stream.size() ? stream.substr(from, kPacketStream) : "";
      }
      packet.resize((packet.size() + 3) / 4 * 4, '\0');
      const uint16_t length_less_one = uint16_t(packet.size() - 1);
      std::memcpy(&packet[2], &length_less_one, 2);
      packets += packet;
    }
    logical += '\x01';
    logical.append(7, '\0');
    append(&logical, uint64_t(32 + packets.size()));
    append(&logical, physical(section + 32));
    append(&logical, uint64_t(0));
    logical += packets;
    std::string prototype;
    for (const E57TestField &field : scan.fields) {
      prototype += field.element;
    }
    data3d += "<vectorChild type=\"Structure\">\n" + scan.pose +
              "\n<name type=\"String\"><![CDATA[a scan]]></name>\n"
              "<points type=\"CompressedVector\" fileOffset=\"" +
              std::to_string(physical(section)) + "\" recordCount=\"" +
              std::to_string(scan.fields.front().raw.size()) +
              "\">\n<prototype type=\"Structure\">" + prototype +
              "</prototype>\n<codecs type=\"Vector\" allowHeterogeneousChildren=\"1\">" +
              scan.codecs + "</codecs>\n"
              "</points>\n</vectorChild>\n";
  }
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<e57Root type=\"Structure\" "
      "xmlns=\"http://www.astm.org/COMMIT/E57/2010-e57-v1.0\">\n"
      "<formatName type=\"String\"><![CDATA[ASTM E57 3D Imaging Data File]]></formatName>\n"
      "<guid type=\"String\"><![CDATA[{11111111-2222-4333-8444-555555555555}]]></guid>\n"
      "<versionMajor type=\"Integer\">1</versionMajor>\n"
      "<versionMinor type=\"Integer\">0</versionMinor>\n"
      "<data3D type=\"Vector\" allowHeterogeneousChildren=\"1\">\n" + data3d +
      "</data3D>\n<images2D type=\"Vector\" allowHeterogeneousChildren=\"1\">" + images +
      "</images2D>\n</e57Root>\n";
  const uint64_t xml_at = logical.size();
  logical += xml;
  const size_t pages = (logical.size() + kContent - 1) / kContent;
  logical.resize(pages * kContent, '\0');
  std::string header = "ASTM-E57";
  append(&header, uint32_t(1));
  append(&header, uint32_t(0));
  append(&header, uint64_t(pages * kPage));
  append(&header, physical(xml_at));
  append(&header, uint64_t(xml.size()));
  append(&header, uint64_t(kPage));
  logical.replace(0, header.size(), header);
  std::string file;
  for (size_t p = 0; p < pages; ++p) {
    const std::string content = logical.substr(p * kContent, kContent);
    file += content + e57_page_checksum(content);
  }
  return file;
}

std::string e57_page_checksum(const std::string &content) {
  const uint32_t crc = crc32c_bitwise(content);
  std::string bytes;
  for (int k = 3; k >= 0; --k) {
    bytes += char((crc >> (8 * k)) & 0xffu);
  }
  return bytes;
}

std::string e57_logical_bytes(const std::string &file) {
  std::string logical;
  for (size_t p = 0; p + kPage <= file.size(); p += kPage) {
    logical += file.substr(p, kContent);
  }
  return logical;
}

std::string e57_xml_of(const std::string &file) {
  uint64_t offset = 0, length = 0;
  std::memcpy(&offset, file.data() + 24, 8);
  std::memcpy(&length, file.data() + 32, 8);
  const uint64_t logical = offset / kPage * kContent + offset % kPage;
  return e57_logical_bytes(file).substr(size_t(logical), size_t(length));
}

}  // namespace levelling::test
