// What an E57 file's XML says of its scans (data3D) and images (images2D): each scan's pose,
// where its points are and what each record holds (the prototype), and each image's pose; and
// the XML rewritten with every pose moved. Internal to formats/.
#ifndef LEVELLING_FORMATS_E57_E57_SCANS_H
#define LEVELLING_FORMATS_E57_E57_SCANS_H

#include <cstdint>
#include <string>
#include <vector>

#include "formats/e57/e57_xml.h"

namespace levelling {

// The namespace of the fields E57 written here adds beyond the standard's (a property of another
// format with no E57 name: levelling:nx), its prefix and URI.
constexpr const char *kE57Extension = "levelling";
constexpr const char *kE57ExtensionUri = "https://levelling-cloud.invalid/e57/1";

enum class E57FieldKind { kFloat, kInteger, kScaledInteger };

// One field of a scan's records, as its prototype declares it, bit-packed in a bytestream of
// its own: floats of 32 or 64 bits, integers of `bits` bits above their minimum.
struct E57Field {
  std::string name;
  E57FieldKind kind = E57FieldKind::kFloat;
  bool single = false;  // a float of 32 bits
  int64_t minimum = 0, maximum = 0;
  double scale = 1.0, offset = 0.0;
  int bits = 64;
};

struct E57Scan {
  std::string name;
  // Its pose: position x, y, z, then the orientation's quaternion w, x, y, z (the scan's frame
  // in the world: world = R local + t).
  double pose[7] = {0, 0, 0, 1, 0, 0, 0};
  uint64_t offset = 0;  // the compressed vector's section, physical
  int64_t records = 0;
  std::vector<E57Field> fields;
  // The fields that place a point: cartesian x, y, z, or spherical range, azimuth, elevation
  // (-1: none), and the invalid-state field (-1: none).
  int coordinate[3] = {-1, -1, -1};
  bool spherical = false;
  int invalid = -1;
};

// The scans of the XML's data3D. False with *message for a scan this reader cannot read: no
// points, a prototype without coordinates, a field of a type it does not decode (a string), a
// codec other than bit-packing (*unsupported true for those).
bool read_e57_scans(const E57Element &root, std::vector<E57Scan> *scans, std::string *message,
                    bool *unsupported);

// The XML with the pose of every scan and image moved by the motion (a 4 x 4 matrix, column
// vectors, last row 0 0 0 1): each pose element replaced, a pose added where there was none;
// every other byte as it was.
std::string moved_e57_xml(const std::string &xml, const E57Element &root,
                          const double (&motion)[4][4]);

}  // namespace levelling

#endif
