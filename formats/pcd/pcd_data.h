// PCD's data written in its three kinds from binary records, and the memory a whole cloud takes.
// Internal to formats/.
#ifndef LEVELLING_FORMATS_PCD_PCD_DATA_H
#define LEVELLING_FORMATS_PCD_PCD_DATA_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/pcd/pcd_header.h"

namespace levelling {

// Memory for a whole cloud (binary_compressed data is one block): mapped untouched, in huge
// pages where the system gives them, so that a cloud of hundreds of MB costs hundreds of page
// faults rather than hundreds of thousands, and a size no input backs is never touched.
class CloudBuffer {
 public:
  // Maps `size` bytes (none for 0).
  explicit CloudBuffer(size_t size);
  ~CloudBuffer();
  CloudBuffer(const CloudBuffer &) = delete;
  CloudBuffer &operator=(const CloudBuffer &) = delete;

  // The memory, or nullptr when a size was asked for that the system would not map.
  char *data() const { return size_ == 0 ? empty_ : data_; }
  size_t size() const { return size_; }

 private:
  size_t size_;
  char *data_ = nullptr;
  mutable char empty_[1] = {};
};

// binary_compressed data decompressed: each field's values of every point together, kept by a
// caller for the next pass over the same file.
struct DecompressedCloud : DecodedData {
  DecompressedCloud(size_t raw, uint32_t compressed_size)
      : fields(raw), compressed(compressed_size) {}
  CloudBuffer fields;
  uint32_t compressed;  // the size of the compressed data it came from
};

// Decompresses the `compressed` bytes of LZF data at `data` into a new cloud of `raw` bytes in
// *cloud; kNone, or the fault with its message in *error (no memory: kUnsupported; data that
// does not decompress to `raw` bytes: kMalformed).
StreamFault decompress_cloud(const char *data, uint32_t compressed, size_t raw,
                             std::unique_ptr<DecompressedCloud> *cloud, std::string *error);

// Copies n items of `width` bytes from `from` (one every from_stride bytes) to `to` (one every
// to_stride): a field's values between records and a field's run. The common widths copy
// without a call an item.
void copy_strided(const char *from, size_t from_stride, char *to, size_t to_stride, size_t width,
                  size_t n);

// Writes PCD data of one kind from binary records: straight for binary, as lines for ascii,
// gathered field by field and compressed at the end for binary_compressed.
class PcdDataWriter {
 public:
  PcdDataWriter(ByteWriter *out, const std::vector<PcdField> &fields, size_t record,
                int64_t points, PcdData data)
      : out_(out), fields_(fields), record_(record), points_(points), data_(data),
        gathered_(data == PcdData::kBinaryCompressed ? size_t(points) * record : 0) {}

  // False when binary_compressed data needs more memory than the system gives.
  bool ready() const { return data_ != PcdData::kBinaryCompressed || gathered_.data() != nullptr; }

  // The header's lines, then DATA's.
  void header(const std::vector<std::string> &lines);

  // n records, one after the other. False when they are more than the header's points.
  bool records(const char *bytes, size_t n);
  // Binary data: room in the output for the next n records, written in place by the caller
  // (they count as written); nullptr for the other kinds, or when they are more than the
  // header's points.
  char *binary_space(size_t n);

  // binary_compressed: gathers the records into the caller's memory (of points x record bytes,
  // each field's values of every point together, in the order of the fields) rather than its
  // own, from which it compresses them at the end; the memory must live until then. A reader
  // of binary_compressed data writing it again passes its decompressed cloud, whose records
  // it visits block by block before they are gathered back in their place.
  void gather_into(char *fields) { target_ = fields; }

  // Ends the data: "" when it is whole, else why not.
  std::string finish();

 private:
  void line(const char *record);

  ByteWriter *out_;
  const std::vector<PcdField> fields_;
  size_t record_;
  int64_t points_;
  PcdData data_;
  int64_t written_ = 0;
  CloudBuffer gathered_;  // binary_compressed: each field's values of every point together
  char *target_ = nullptr;  // the caller's memory in place of gathered_'s
};

}  // namespace levelling

#endif
