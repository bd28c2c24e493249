#include "formats/core/ply_values.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "formats/core/number_text.h"

namespace levelling {

namespace {

bool host_is_big_endian() {
  const uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first == 0;
}

// Copies n bytes, reversed when the file's byte order is not the host's.
void copy_ordered(const char *from, char *to, size_t n, bool big_endian) {
  static const bool host_big = host_is_big_endian();
  if (big_endian == host_big) {
    std::memcpy(to, from, n);
  } else {
    for (size_t i = 0; i < n; ++i) {
      to[i] = from[n - 1 - i];
    }
  }
}

template <typename T>
T load(const char *bytes, bool big_endian) {
  T value;
  char raw[sizeof(T)];
  copy_ordered(bytes, raw, sizeof(T), big_endian);
  std::memcpy(&value, raw, sizeof(T));
  return value;
}

template <typename T>
void store(T value, char *bytes, bool big_endian) {
  char raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));
  copy_ordered(raw, bytes, sizeof(T), big_endian);
}

// An integer's cast that stays defined for any double (out-of-range and NaN give 0).
template <typename T>
T integer_of(double value) {
  const double low = double(std::numeric_limits<T>::min());
  const double high = double(std::numeric_limits<T>::max());
  return value >= low && value <= high ? T(value) : T(0);
}

bool integer_in(double value, PlyType type) {
  switch (type) {
    case PlyType::kInt8:
      return value >= -128 && value <= 127;
    case PlyType::kUint8:
      return value >= 0 && value <= 255;
    case PlyType::kInt16:
      return value >= -32768 && value <= 32767;
    case PlyType::kUint16:
      return value >= 0 && value <= 65535;
    case PlyType::kInt32:
      return value >= -2147483648.0 && value <= 2147483647.0;
    case PlyType::kUint32:
      return value >= 0 && value <= 4294967295.0;
    default:
      return true;
  }
}

// The column loops, with the type and the byte order fixed so that each compiles to a few
// instructions a value.
template <typename T, bool kSwap>
void load_column(const char *bytes, size_t stride, size_t n, double *values) {
  for (size_t i = 0; i < n; ++i) {
    char raw[sizeof(T)];
    const char *from = bytes + i * stride;
    for (size_t b = 0; b < sizeof(T); ++b) {
      raw[b] = from[kSwap ? sizeof(T) - 1 - b : b];
    }
    T value;
    std::memcpy(&value, raw, sizeof(T));
    values[i] = double(value);
  }
}

template <typename T, bool kSwap>
void store_column(const double *values, size_t n, char *bytes, size_t stride) {
  for (size_t i = 0; i < n; ++i) {
    const T value = T(values[i]);
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    char *to = bytes + i * stride;
    for (size_t b = 0; b < sizeof(T); ++b) {
      to[b] = raw[kSwap ? sizeof(T) - 1 - b : b];
    }
  }
}

}  // namespace

void load_ply_column(PlyType type, bool big_endian, const char *bytes, size_t stride, size_t n,
                     double *values) {
  const bool swap = big_endian != host_is_big_endian();
  if (type == PlyType::kFloat32) {
    return swap ? load_column<float, true>(bytes, stride, n, values)
                : load_column<float, false>(bytes, stride, n, values);
  }
  if (type == PlyType::kFloat64) {
    return swap ? load_column<double, true>(bytes, stride, n, values)
                : load_column<double, false>(bytes, stride, n, values);
  }
  if (type == PlyType::kInt32) {  // LAS's coordinates
    return swap ? load_column<int32_t, true>(bytes, stride, n, values)
                : load_column<int32_t, false>(bytes, stride, n, values);
  }
  for (size_t i = 0; i < n; ++i) {
    values[i] = load_ply_value(type, big_endian, bytes + i * stride);
  }
}

void store_ply_column(PlyType type, bool big_endian, const double *values, size_t n,
                      char *bytes, size_t stride) {
  const bool swap = big_endian != host_is_big_endian();
  if (type == PlyType::kFloat32) {
    return swap ? store_column<float, true>(values, n, bytes, stride)
                : store_column<float, false>(values, n, bytes, stride);
  }
  if (type == PlyType::kFloat64) {
    return swap ? store_column<double, true>(values, n, bytes, stride)
                : store_column<double, false>(values, n, bytes, stride);
  }
  for (size_t i = 0; i < n; ++i) {
    store_ply_value(type, big_endian, values[i], bytes + i * stride);
  }
}

double load_ply_value(PlyType type, bool big_endian, const char *bytes) {
  switch (type) {
    case PlyType::kInt8:
      return load<int8_t>(bytes, big_endian);
    case PlyType::kUint8:
      return load<uint8_t>(bytes, big_endian);
    case PlyType::kInt16:
      return load<int16_t>(bytes, big_endian);
    case PlyType::kUint16:
      return load<uint16_t>(bytes, big_endian);
    case PlyType::kInt32:
      return load<int32_t>(bytes, big_endian);
    case PlyType::kUint32:
      return load<uint32_t>(bytes, big_endian);
    case PlyType::kFloat32:
      return double(load<float>(bytes, big_endian));
    case PlyType::kFloat64:
      return load<double>(bytes, big_endian);
  }
  return 0.0;
}

void store_ply_value(PlyType type, bool big_endian, double value, char *bytes) {
  switch (type) {
    case PlyType::kInt8:
      return store(integer_of<int8_t>(value), bytes, big_endian);
    case PlyType::kUint8:
      return store(integer_of<uint8_t>(value), bytes, big_endian);
    case PlyType::kInt16:
      return store(integer_of<int16_t>(value), bytes, big_endian);
    case PlyType::kUint16:
      return store(integer_of<uint16_t>(value), bytes, big_endian);
    case PlyType::kInt32:
      return store(integer_of<int32_t>(value), bytes, big_endian);
    case PlyType::kUint32:
      return store(integer_of<uint32_t>(value), bytes, big_endian);
    case PlyType::kFloat32:
      return store(float(value), bytes, big_endian);
    case PlyType::kFloat64:
      return store(value, bytes, big_endian);
  }
}

bool parse_ply_token(PlyType type, std::string_view token, double *value) {
  if (type == PlyType::kFloat32 || type == PlyType::kFloat64) {
    return parse_number(token, value);
  }
  int64_t integer = 0;
  if (!parse_integer(token, &integer) || !integer_in(double(integer), type)) {
    return false;
  }
  *value = double(integer);
  return true;
}

void write_ply_token(PlyType type, double value, ByteWriter *out) {
  char text[kNumberTextSize];
  size_t length;
  if (type == PlyType::kFloat64) {
    length = format_number(value, text);
  } else if (type == PlyType::kFloat32) {
    length = format_number(float(value), text);
  } else {
    length = format_integer(integer_of<int64_t>(value), text);
  }
  out->write(text, length);
}

}  // namespace levelling
