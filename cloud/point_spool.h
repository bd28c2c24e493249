// A text input's points kept in binary for the passes after the first.
#ifndef LEVELLING_CLOUD_POINT_SPOOL_H
#define LEVELLING_CLOUD_POINT_SPOOL_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "formats/core/byte_io.h"

namespace levelling {

// Whether the input is written as text (a text cloud, an ASCII PLY or PCD file), which is slow
// to parse: its points are then kept in binary for the refit passes. Leaves the stream at its
// start.
bool written_as_text(std::FILE *input);

// The valid points of a text input, kept as doubles in an anonymous file while the first pass
// reads them, so that the refit passes read them back without parsing the text again. Should a
// write fail (a full disk), the spool is dropped and the refit passes read the input itself.
class PointSpool {
 public:
  PointSpool();
  ~PointSpool();
  PointSpool(const PointSpool &) = delete;
  PointSpool &operator=(const PointSpool &) = delete;

  // Keeps the n points (x[i], y[i], z[i]).
  void add(int64_t n, const double *x, const double *y, const double *z);

  // Ends the writing; false when the spool cannot be used.
  bool finish();
  bool usable() const { return usable_; }

  // Hands the points back, block by block, to use(n, x, y, z); false on a read error.
  template <typename Use>
  bool replay(const Use &use) {
    constexpr size_t kBlock = 65536;
    std::vector<double> interleaved(3 * kBlock), x(kBlock), y(kBlock), z(kBlock);
    std::rewind(file_);
    for (;;) {
      const size_t got = std::fread(interleaved.data(), 3 * sizeof(double), kBlock, file_);
      for (size_t i = 0; i < got; ++i) {
        x[i] = interleaved[3 * i];
        y[i] = interleaved[3 * i + 1];
        z[i] = interleaved[3 * i + 2];
      }
      use(int64_t(got), x.data(), y.data(), z.data());
      if (got < kBlock) {
        return !std::ferror(file_);
      }
    }
  }

 private:
  std::FILE *file_ = nullptr;
  std::unique_ptr<ByteWriter> writer_;
  bool usable_ = false;
};

}  // namespace levelling

#endif
