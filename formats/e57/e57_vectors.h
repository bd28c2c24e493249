// An E57 scan's points, decoded from its compressed vector section: data packets of one
// bytestream a field, each field's values bit-packed (floats of 32 or 64 bits, integers in the
// bits their range takes, least significant first), a field's bytestream continuing from
// packet to packet. Index and empty packets are passed over. Internal to formats/.
#ifndef LEVELLING_FORMATS_E57_E57_VECTORS_H
#define LEVELLING_FORMATS_E57_E57_VECTORS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "formats/e57/e57_pages.h"
#include "formats/e57/e57_scans.h"

namespace levelling {

class E57VectorReader {
 public:
  // A reader of the scan's points that decodes the fields `wanted` says (one flag a field; the
  // others' bytes are passed over).
  E57VectorReader(E57Pages *pages, const E57Scan &scan, std::vector<bool> wanted)
      : pages_(pages), scan_(scan), wanted_(std::move(wanted)) {}

  // Decodes up to `most` more records: (*values)[f][i] is wanted field f's value (as a double:
  // an integer's, a scaled integer's scaled) of record i (empty for a field not wanted), *n the
  // records decoded (0 once every record is). False with *message for a damaged section.
  bool next(size_t most, std::vector<std::vector<double>> *values, size_t *n,
            std::string *message);

  // The section's first byte and the next packet's (physical offsets): the bytes before that
  // are read.
  uint64_t section_start() const { return scan_.offset; }
  uint64_t position() const { return e57_physical(at_); }

 private:
  struct Stream {
    std::vector<unsigned char> bytes;  // bytes not yet decoded whole, and zeros after them
    size_t valid = 0;                  // of those bytes
    uint64_t bit = 0;                  // the next value's first bit
    std::vector<double> values;        // decoded: those from `taken` on not yet handed on
    size_t taken = 0;
  };

  bool open(std::string *message);
  bool read_packet(std::string *message);
  void decode(size_t field);
  size_t ready() const;

  E57Pages *pages_;
  const E57Scan &scan_;
  std::vector<bool> wanted_;
  bool opened_ = false;
  uint64_t at_ = 0, end_ = 0;  // logical: the next packet, the section's end
  int64_t handed_ = 0;         // records handed on
  std::vector<Stream> streams_;
  std::vector<char> packet_;
};

}  // namespace levelling

#endif
