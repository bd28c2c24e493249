// E57 files for the tests, built here from their parts (pages, checksums, sections, packets and
// XML as the standard lays them out) with nothing of the program's E57 code, so that the reader
// is tried on bytes it did not write.
#ifndef LEVELLING_TESTS_SUPPORT_E57_FILES_H
#define LEVELLING_TESTS_SUPPORT_E57_FILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace levelling::test {

// One field of a scan's records: its prototype element ("<intensity type=\"Integer\"
// minimum=\"0\" maximum=\"4095\"/>"), the bits each value takes, and the values' raw bits.
struct E57TestField {
  std::string element;
  int bits;
  std::vector<uint64_t> raw;
};

// A scan: its pose element ("" for none), its fields (all of one length) and its codecs
// vector's children ("" for none: bit-packing).
struct E57TestScan {
  std::string pose;
  std::vector<E57TestField> fields;
  std::string codecs = "";
};

// An E57 file of these scans (each a compressed vector section of data packets holding up to
// 8 KiB of each field's stream, side by side) and the images2D children given, its XML last.
std::string e57_file(const std::vector<E57TestScan> &scans, const std::string &images = "");

// The logical bytes of an E57 file (its pages without their checksums), and its XML section.
std::string e57_logical_bytes(const std::string &file);
std::string e57_xml_of(const std::string &file);

// A page's checksum as it ends the page: the CRC-32C of its 1020 bytes, big-endian.
std::string e57_page_checksum(const std::string &content);

// A pose element: rotation w x y z, translation x y z.
std::string e57_pose(const double (&rotation)[4], const double (&translation)[3]);

// The raw bits of a double, and of a float.
uint64_t bits_of(double value);
uint64_t bits_of(float value);

}  // namespace levelling::test

#endif
