#include "formats/core/ply_types.h"

namespace levelling {

namespace {

struct TypeName {
  const char *name;
  PlyType type;
};

// Both spellings of every type; the first of each pair is the one written.
const TypeName kTypeNames[] = {
    {"char", PlyType::kInt8},      {"int8", PlyType::kInt8},       {"uchar", PlyType::kUint8},
    {"uint8", PlyType::kUint8},    {"short", PlyType::kInt16},     {"int16", PlyType::kInt16},
    {"ushort", PlyType::kUint16},  {"uint16", PlyType::kUint16},   {"int", PlyType::kInt32},
    {"int32", PlyType::kInt32},    {"uint", PlyType::kUint32},     {"uint32", PlyType::kUint32},
    {"float", PlyType::kFloat32},  {"float32", PlyType::kFloat32}, {"double", PlyType::kFloat64},
    {"float64", PlyType::kFloat64}};

}  // namespace

bool parse_ply_type(const std::string &word, PlyType *type) {
  for (const TypeName &each : kTypeNames) {
    if (word == each.name) {
      *type = each.type;
      return true;
    }
  }
  return false;
}

int PlyElement::find(std::string_view wanted) const {
  for (size_t i = 0; i < properties.size(); ++i) {
    if (properties[i].name == wanted) {
      return int(i);
    }
  }
  return -1;
}

size_t ply_type_size(PlyType type) {
  switch (type) {
    case PlyType::kInt8:
    case PlyType::kUint8:
      return 1;
    case PlyType::kInt16:
    case PlyType::kUint16:
      return 2;
    case PlyType::kInt32:
    case PlyType::kUint32:
    case PlyType::kFloat32:
      return 4;
    case PlyType::kFloat64:
      return 8;
  }
  return 0;
}

const char *ply_type_name(PlyType type) {
  for (const TypeName &each : kTypeNames) {
    if (each.type == type) {
      return each.name;
    }
  }
  return "?";
}

const char *ply_encoding_name(PlyEncoding encoding) {
  switch (encoding) {
    case PlyEncoding::kAscii:
      return "ascii";
    case PlyEncoding::kBinaryLittleEndian:
      return "binary_little_endian";
    case PlyEncoding::kBinaryBigEndian:
      return "binary_big_endian";
  }
  return "?";
}

}  // namespace levelling
