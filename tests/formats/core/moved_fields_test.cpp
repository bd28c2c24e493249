// What a rigid motion does to a block of points, and a read that fails part way through a cloud.
#include "formats/core/moved_fields.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "formats/stream_cloud.h"
#include "tests/support/cloud_files.h"

namespace levelling {
namespace {

// A block of two points with normals and an empty point (NaN coordinates, a NaN payload).
PointBlock sample_block() {
  PointBlock block;
  block.count = 3;
  block.x = {1, 2, std::nan("7")};
  block.y = {0, 1, std::nan("7")};
  block.z = {0, 3, std::nan("7")};
  block.has_normals = true;
  block.nx = {0, 0.6, 0.25};
  block.ny = {0, 0.8, 0.5};
  block.nz = {1, 0, 0.75};
  return block;
}

TEST(MovedFieldsTest, PointsMoveDirectionsOnlyTurnAndEmptyPointsStay) {
  // A quarter turn about z, then a shift of (10, 20, 30).
  const double turn_and_shift[4][4] = {{0, -1, 0, 10}, {1, 0, 0, 20}, {0, 0, 1, 30}, {0, 0, 0, 1}};
  const double shift[4][4] = {{1, 0, 0, 10}, {0, 1, 0, 20}, {0, 0, 1, 30}, {0, 0, 0, 1}};
  const struct {
    const char *what;
    const double (*motion)[4];
    std::vector<double> x, y, z, nx, ny, nz;
  } cases[] = {
      {"turn and shift", turn_and_shift, {10, 9}, {21, 22}, {30, 33}, {0, -0.8}, {0, 0.6}, {1, 0}},
      {"shift alone", shift, {11, 12}, {20, 21}, {30, 33}, {0, 0.6}, {0, 0.8}, {1, 0}},
  };
  for (const auto &each : cases) {
    PointBlock block = sample_block();
    const PointBlock before = block;
    std::vector<size_t> empties;
    std::vector<double> kept;
    move_block(*reinterpret_cast<const double(*)[4][4]>(each.motion), &block, &empties, &kept);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_DOUBLE_EQ(each.x[i], block.x[i]) << each.what << " " << i;
      EXPECT_DOUBLE_EQ(each.y[i], block.y[i]) << each.what << " " << i;
      EXPECT_DOUBLE_EQ(each.z[i], block.z[i]) << each.what << " " << i;
      EXPECT_NEAR(each.nx[i], block.nx[i], 1e-15) << each.what << " " << i;
      EXPECT_NEAR(each.ny[i], block.ny[i], 1e-15) << each.what << " " << i;
      EXPECT_NEAR(each.nz[i], block.nz[i], 1e-15) << each.what << " " << i;
    }
    // The empty point, its payload and its normal, bit for bit.
    EXPECT_EQ(0, std::memcmp(&before.x[2], &block.x[2], sizeof(double))) << each.what;
    EXPECT_EQ(0, std::memcmp(&before.nz[2], &block.nz[2], sizeof(double))) << each.what;
  }
}

// A stream that gives `bytes` up to `fail_at`, then fails with EIO.
struct FailingSource {
  std::string bytes;
  size_t fail_at;
  size_t at = 0;
};

ssize_t read_failing(void *cookie, char *buffer, size_t size) {
  FailingSource *source = static_cast<FailingSource *>(cookie);
  if (source->at >= source->fail_at) {
    errno = EIO;
    return -1;
  }
  const size_t n = std::min(size, source->fail_at - source->at);
  std::memcpy(buffer, source->bytes.data() + source->at, n);
  source->at += n;
  return ssize_t(n);
}

TEST(MovedFieldsTest, AReadThatFailsPartWayIsAReadFault) {
  std::string text;
  for (int i = 0; i < 200000; ++i) {
    text += std::to_string(i % 100) + " " + std::to_string(i / 100) + " 0.5\n";
  }
  FailingSource source{text, text.size() / 2};
  cookie_io_functions_t functions = {read_failing, nullptr, nullptr, nullptr};
  std::FILE *stream = fopencookie(&source, "r", functions);
  ASSERT_NE(nullptr, stream);
  int64_t visited = 0;
  const StreamResult result =
      stream_cloud(stream, [&](PointBlock *block) { visited += int64_t(block->count); },
                   StreamOptions());
  std::fclose(stream);
  EXPECT_EQ(StreamFault::kRead, result.fault) << result.message;
  EXPECT_NE(std::string::npos, result.message.find(std::strerror(EIO))) << result.message;
  EXPECT_LT(visited, 200000);
}

}  // namespace
}  // namespace levelling
