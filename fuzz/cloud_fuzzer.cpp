// libFuzzer target: the cloud readers and writers on any bytes. Besides the sanitizers' checks,
// a cloud that reads without a fault must write, in its own format, a cloud that reads again
// without a fault and with the same points (a PLY written turned, its splat properties with it).
// The same bytes are read as each kind of camera file and as a COLMAP model's points, and those
// that read are moved.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "formats/stream_cloud.h"
#include "scene/camera_files.h"
#include "scene/colmap_model.h"

namespace {

using namespace levelling;

// A turn and a shift, for what a writer turns beside the points (a splat's orientations and
// colours) and for camera files.
constexpr double kTurn[4][4] = {
    {0.36, 0.48, -0.8, 5}, {-0.8, 0.6, 0, -2}, {0.48, 0.64, 0.6, 1}, {0, 0, 0, 1}};

struct Read {
  StreamResult result;
  std::vector<double> coordinates;
  char *written = nullptr;
  size_t written_size = 0;
};

// Streams `size` bytes into `format` (or nowhere when `write` is false), keeping the points.
Read read_cloud(const uint8_t *data, size_t size, bool write, CloudFormat format) {
  Read read;
  std::FILE *in = size > 0 ? fmemopen(const_cast<uint8_t *>(data), size, "r")
                           : std::fopen("/dev/null", "r");
  std::FILE *out = write ? open_memstream(&read.written, &read.written_size) : nullptr;
  if (in == nullptr || (write && out == nullptr)) {
    std::abort();
  }
  {
    ByteWriter writer(write ? out : stdout);
    StreamOptions options;
    options.write.out = write ? &writer : nullptr;
    options.write.format = format;
    if (write && size >= 3 && std::memcmp(data, "ply", 3) == 0) {
      options.write.motion = kTurn;
    }
    read.result = stream_cloud(
        in,
        [&](PointBlock *block) {
          for (size_t i = 0; i < block->count; ++i) {
            read.coordinates.insert(read.coordinates.end(), {block->x[i], block->y[i], block->z[i]});
          }
        },
        options);
    writer.flush();
  }
  std::fclose(in);
  if (out != nullptr) {
    std::fclose(out);
  }
  return read;
}

// The same values bit for bit (so that empty points, NaN coordinates, compare equal).
bool same_values(const std::vector<double> &a, const std::vector<double> &b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Whether every value is small enough that a turn and a shift keep it finite.
bool within_reach(const std::vector<double> &values) {
  constexpr double kReach = 1e300;
  for (const double value : values) {
    if (!(std::fabs(value) < kReach)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const Read first = read_cloud(data, size, true, CloudFormat::kText);
  // Written in its own format, a readable cloud reads back the same.
  const Read own = read_cloud(data, size, true, first.result.format);
  if (own.result.fault == StreamFault::kNone) {
    const Read again = read_cloud(reinterpret_cast<const uint8_t *>(own.written),
                                  own.written_size, false, first.result.format);
    if (again.result.fault != StreamFault::kNone || !same_values(again.coordinates, own.coordinates)) {
      std::fprintf(stderr, "round trip failed: %s\n", again.result.message.c_str());
      std::abort();
    }
  }
  std::free(first.written);
  std::free(own.written);
  const std::string bytes(reinterpret_cast<const char *>(data), size);
  for (const CameraFormat format : {CameraFormat::kColmapBinary, CameraFormat::kColmapText,
                                    CameraFormat::kSplatJson, CameraFormat::kNerfstudioJson}) {
    CameraFile cameras;
    std::string error;
    if (parse_cameras(format, bytes, &cameras, &error)) {
      // Moved, they read again as many cameras (unless a moved pose overflows).
      std::string moved;
      CameraFile again;
      if (moved_camera_bytes(cameras, kTurn, &moved, &error) &&
          (!parse_cameras(format, moved, &again, &error) ||
           again.cameras.size() != cameras.cameras.size())) {
        std::abort();
      }
    }
  }
  // And as a COLMAP model's points, binary and text: moved, they read again as many.
  for (const bool binary : {true, false}) {
    ColmapPoints points, again;
    std::string error;
    if (parse_colmap_points(binary, bytes, &points, &error) && within_reach(points.xyz) &&
        (!parse_colmap_points(binary, moved_colmap_points(points, kTurn), &again, &error) ||
         again.xyz.size() != points.xyz.size())) {
      std::fprintf(stderr, "points3D moved do not read again: %s\n", error.c_str());
      std::abort();
    }
  }
  return 0;
}
