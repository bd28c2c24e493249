// E57's paged file layer (ASTM E2807): the 48-byte file header, and pages of 1024 bytes whose
// last 4 hold the CRC-32C (Castagnoli) of the 1020 before them, big-endian. Every offset the
// file records is physical (checksums counted); the content is the logical stream, the pages
// without their checksums. Internal to formats/.
#ifndef LEVELLING_FORMATS_E57_E57_PAGES_H
#define LEVELLING_FORMATS_E57_E57_PAGES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace levelling {

constexpr uint64_t kE57Page = 1024, kE57PageContent = 1020;
constexpr size_t kE57HeaderSize = 48;

struct E57Header {
  uint32_t major = 1, minor = 0;
  uint64_t physical_length = 0;
  uint64_t xml_offset = 0;  // physical
  uint64_t xml_length = 0;  // logical
  uint64_t page_size = kE57Page;
};

// The CRC-32C of n bytes.
uint32_t crc32c(const unsigned char *bytes, size_t n);

// The logical offset of a physical one (which must not fall on a checksum), and back.
inline uint64_t e57_logical(uint64_t physical) {
  return physical / kE57Page * kE57PageContent + physical % kE57Page;
}
inline uint64_t e57_physical(uint64_t logical) {
  return logical / kE57PageContent * kE57Page + logical % kE57PageContent;
}

// The logical stream of an E57 file held in memory (data, size bytes, whole pages), read with
// each page's checksum checked the first time it is touched.
class E57Pages {
 public:
  E57Pages(const char *data, size_t size);

  // Reads the file header (from page 0, checked). False with *message when the file is no E57
  // file this reader takes: a bad signature or length, or (*unsupported) a version or page size
  // it does not read.
  bool read_header(E57Header *header, std::string *message, bool *unsupported);

  // Copies n logical bytes from `logical` into out. False with *message when they run past the
  // file's end or a page they touch fails its checksum ("page N's checksum ...").
  bool read(uint64_t logical, size_t n, char *out, std::string *message);

  // Checks the checksums of pages [first, last) (those not checked yet). False with *message.
  bool check_pages(uint64_t first, uint64_t last, std::string *message);

  // The number of pages, and the logical length of the file.
  uint64_t pages() const { return pages_; }
  uint64_t logical_size() const { return pages_ * kE57PageContent; }

 private:
  bool check_page(uint64_t page, std::string *message);

  const char *data_;
  uint64_t pages_;
  std::vector<bool> checked_;
};

// Physical pages made from a logical stream: each kE57PageContent bytes given become a page with
// its checksum, the last page padded with zeros by finish().
class E57PageWriter {
 public:
  // Appends logical bytes.
  void write(const char *bytes, size_t n);
  // The whole pages made since the last take.
  std::string take_whole_pages();
  // Pads the last page and returns every page made since the last take (the end of the file).
  std::string take_pages();
  // The logical bytes written so far.
  uint64_t logical() const { return logical_; }

 private:
  std::string page_;
  std::string pages_;
  uint64_t logical_ = 0;
};

// The 48 bytes of a file header.
std::string e57_header_bytes(const E57Header &header);

}  // namespace levelling

#endif
