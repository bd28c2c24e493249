#include "formats/e57/e57_pages.h"

#include <array>
#include <cstring>

#include "laz/byte_order.h"

namespace levelling {

namespace {

constexpr uint32_t kCastagnoli = 0x82f63b78;  // the polynomial, reflected
constexpr char kSignature[] = "ASTM-E57";
constexpr size_t kSignatureSize = 8;
constexpr size_t kMajorAt = 8, kMinorAt = 12, kLengthAt = 16, kXmlOffsetAt = 24,
                 kXmlLengthAt = 32, kPageSizeAt = 40;
constexpr int kBitsPerByte = 8;
// Whether the pages' checksums are checked: always, but in a fuzzing build (the top
// CMakeLists.txt), where a mutated input would fail them before reaching what they guard.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr bool kCheckPages = false;
#else
constexpr bool kCheckPages = true;
#endif
constexpr size_t kTables = 8;  // bytes taken at once (slicing by eight)

using CrcTables = std::array<std::array<uint32_t, 256>, kTables>;

CrcTables make_tables() {
  CrcTables tables{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t crc = b;
    for (int k = 0; k < kBitsPerByte; ++k) {
      crc = (crc >> 1) ^ ((crc & 1u) != 0 ? kCastagnoli : 0u);
    }
    tables[0][b] = crc;
  }
  for (size_t t = 1; t < kTables; ++t) {
    for (uint32_t b = 0; b < 256; ++b) {
      tables[t][b] = (tables[t - 1][b] >> 8) ^ tables[0][tables[t - 1][b] & 0xffu];
    }
  }
  return tables;
}

const CrcTables kCrcTables = make_tables();

uint32_t get_big_endian(const unsigned char *bytes) {
  return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
         uint32_t(bytes[3]);
}

void put_big_endian(uint32_t value, char *bytes) {
  for (int k = 0; k < 4; ++k) {
    bytes[k] = char((value >> (24 - 8 * k)) & 0xffu);
  }
}

}  // namespace

uint32_t crc32c(const unsigned char *bytes, size_t n) {
  uint32_t crc = 0xffffffffu;
  const CrcTables &t = kCrcTables;
  for (; n >= kTables; n -= kTables, bytes += kTables) {
    const uint32_t low = crc ^ (uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 |
                                uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24);
    crc = t[7][low & 0xffu] ^ t[6][(low >> 8) & 0xffu] ^ t[5][(low >> 16) & 0xffu] ^
          t[4][low >> 24] ^ t[3][bytes[4]] ^ t[2][bytes[5]] ^ t[1][bytes[6]] ^ t[0][bytes[7]];
  }
  for (; n > 0; --n, ++bytes) {
    crc = (crc >> 8) ^ t[0][(crc ^ *bytes) & 0xffu];
  }
  return crc ^ 0xffffffffu;
}

E57Pages::E57Pages(const char *data, size_t size)
    : data_(data), pages_(size / kE57Page), checked_(size_t(size / kE57Page), false) {}

bool E57Pages::check_page(uint64_t page, std::string *message) {
  if (checked_[size_t(page)]) {
    return true;
  }
  const auto *bytes = reinterpret_cast<const unsigned char *>(data_ + page * kE57Page);
  if (kCheckPages && crc32c(bytes, kE57PageContent) != get_big_endian(bytes + kE57PageContent)) {
    *message = "damaged: page " + std::to_string(page + 1) + " of " + std::to_string(pages_) +
               " fails its checksum";
    return false;
  }
  checked_[size_t(page)] = true;
  return true;
}

bool E57Pages::check_pages(uint64_t first, uint64_t last, std::string *message) {
  for (uint64_t page = first; page < last; ++page) {
    if (!check_page(page, message)) {
      return false;
    }
  }
  return true;
}

bool E57Pages::read_header(E57Header *header, std::string *message, bool *unsupported) {
  *unsupported = false;
  if (pages_ == 0) {
    *message = "truncated: an E57 file shorter than its first page";
    return false;
  }
  if (std::memcmp(data_, kSignature, kSignatureSize) != 0) {
    *message = "no E57 signature";
    return false;
  }
  header->major = get<uint32_t>(data_, kMajorAt);
  header->minor = get<uint32_t>(data_, kMinorAt);
  header->physical_length = get<uint64_t>(data_, kLengthAt);
  header->xml_offset = get<uint64_t>(data_, kXmlOffsetAt);
  header->xml_length = get<uint64_t>(data_, kXmlLengthAt);
  header->page_size = get<uint64_t>(data_, kPageSizeAt);
  if (header->page_size != kE57Page) {
    *unsupported = true;
    *message = "E57 pages of " + std::to_string(header->page_size) + " bytes (1024 are read)";
    return false;
  }
  if (header->major != 1) {
    *unsupported = true;
    *message = "E57 version " + std::to_string(header->major) + "." +
               std::to_string(header->minor) + " (1.x is read)";
    return false;
  }
  if (header->physical_length % kE57Page != 0 || header->physical_length / kE57Page > pages_) {
    *message = "truncated: an E57 file of " + std::to_string(pages_ * kE57Page) +
               " bytes whose header says " + std::to_string(header->physical_length);
    return false;
  }
  pages_ = header->physical_length / kE57Page;
  return check_page(0, message);
}

bool E57Pages::read(uint64_t logical, size_t n, char *out, std::string *message) {
  if (logical > logical_size() || n > logical_size() - logical) {
    *message = "damaged: a section at logical byte " + std::to_string(logical) +
               " runs past the file's end";
    return false;
  }
  while (n > 0) {
    const uint64_t page = logical / kE57PageContent, within = logical % kE57PageContent;
    if (!check_page(page, message)) {
      return false;
    }
    const size_t take = size_t(std::min<uint64_t>(n, kE57PageContent - within));
    std::memcpy(out, data_ + page * kE57Page + within, take);
    out += take;
    logical += take;
    n -= take;
  }
  return true;
}

void E57PageWriter::write(const char *bytes, size_t n) {
  logical_ += n;
  while (n > 0) {
    const size_t take = std::min<size_t>(n, kE57PageContent - page_.size());
    page_.append(bytes, take);
    bytes += take;
    n -= take;
    if (page_.size() == kE57PageContent) {
      char crc[4];
      put_big_endian(crc32c(reinterpret_cast<const unsigned char *>(page_.data()), page_.size()),
                     crc);
      pages_ += page_;
      pages_.append(crc, 4);
      page_.clear();
    }
  }
}

std::string E57PageWriter::take_whole_pages() {
  std::string pages;
  pages.swap(pages_);
  return pages;
}

std::string E57PageWriter::take_pages() {
  if (!page_.empty()) {
    const std::string padding(kE57PageContent - page_.size(), '\0');
    const uint64_t logical = logical_;
    write(padding.data(), padding.size());
    logical_ = logical;
  }
  return take_whole_pages();
}

std::string e57_header_bytes(const E57Header &header) {
  std::string bytes(kE57HeaderSize, '\0');
  std::memcpy(&bytes[0], kSignature, kSignatureSize);
  put(&bytes[0], kMajorAt, header.major);
  put(&bytes[0], kMinorAt, header.minor);
  put(&bytes[0], kLengthAt, header.physical_length);
  put(&bytes[0], kXmlOffsetAt, header.xml_offset);
  put(&bytes[0], kXmlLengthAt, header.xml_length);
  put(&bytes[0], kPageSizeAt, header.page_size);
  return bytes;
}

}  // namespace levelling
