// The vocabulary every format's schema is written in: value types, encodings, elements and
// their properties, as PLY names them (the richest of the formats read: every other format's
// fields map onto its types).
#ifndef LEVELLING_FORMATS_CORE_PLY_TYPES_H
#define LEVELLING_FORMATS_CORE_PLY_TYPES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace levelling {

enum class PlyEncoding { kAscii, kBinaryLittleEndian, kBinaryBigEndian };

enum class PlyType { kInt8, kUint8, kInt16, kUint16, kInt32, kUint32, kFloat32, kFloat64 };

struct PlyProperty {
  std::string name;
  PlyType type = PlyType::kFloat32;  // of the value, or of a list's items
  bool is_list = false;
  PlyType count_type = PlyType::kUint8;  // of a list's item count
};

struct PlyElement {
  std::string name;
  int64_t count = 0;
  std::vector<PlyProperty> properties;
  // The properties' offsets in a binary record, and the record's size, when no property is a
  // list (fixed_size is 0 otherwise).
  std::vector<size_t> offsets;
  size_t fixed_size = 0;

  // The index of the property called `name`, or -1.
  int find(std::string_view name) const;
};

struct PlyHeader {
  PlyEncoding encoding = PlyEncoding::kAscii;
  std::vector<PlyElement> elements;
  std::vector<std::string> lines;  // every header line with its line end, "ply" first
  size_t format_line = 0;          // the index of the "format" line in `lines`
  size_t size = 0;                 // the header's bytes, up to and with end_header's line end
};

// The bytes of one value of a type.
size_t ply_type_size(PlyType type);
// The name of a type in the spelling a header written from scratch uses ("float", "uchar"...).
const char *ply_type_name(PlyType type);
// The name of an encoding as the format line spells it.
const char *ply_encoding_name(PlyEncoding encoding);

// The type a header's word names, in either spelling (char/int8 ... double/float64); false for
// an unknown word.
bool parse_ply_type(const std::string &word, PlyType *type);

}  // namespace levelling

#endif
