// Values at an offset in a record or a file's bytes, for the codec and the formats alike.
#ifndef LEVELLING_LAZ_BYTE_ORDER_H
#define LEVELLING_LAZ_BYTE_ORDER_H

#include <cstddef>
#include <cstring>

namespace levelling {

// The value of type T stored at bytes + at, in this machine's byte order (the formats' little
// endian on the machines this builds for), and its storing.
template <typename T>
T get(const char *bytes, size_t at) {
  T value;
  std::memcpy(&value, bytes + at, sizeof value);
  return value;
}

template <typename T>
void put(char *bytes, size_t at, T value) {
  std::memcpy(bytes + at, &value, sizeof value);
}

}  // namespace levelling

#endif
