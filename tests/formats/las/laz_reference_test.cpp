// LAZ as the format's reference library reads and writes it: files it wrote decode to their LAS
// twins, and what this project writes is decoded by laz-perf (the reference's WebAssembly port,
// from the npm registry) to the records it was given.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/core/byte_io.h"
#include "tests/support/cloud_files.h"

namespace levelling::test {
namespace {

namespace fs = std::filesystem;

// The golden files' folder: LAZ the reference library wrote, each beside its LAS twin.
const fs::path kGolden = fs::path(LEVELLING_TEST_DATA_DIR) / "laz";

// A scan line over rough ground at the test's LAS scale: small steps, some jumps.
std::vector<std::array<int32_t, 3>> scan_line(size_t n) {
  std::vector<std::array<int32_t, 3>> xyz(n);
  for (size_t i = 0; i < n; ++i) {
    xyz[i] = {int32_t(i * 3 % 90000) + (i % 89 == 0 ? 4000 : 0), int32_t(i / 400) * 9,
              int32_t(std::lround(250.0 * std::sin(double(i) / 40.0)))};
  }
  return xyz;
}

// Where laz-perf's modules are: $LAZPERF_MODULES, else beside the README's build.
std::string lazperf_modules() {
  const char *named = std::getenv("LAZPERF_MODULES");
  return named != nullptr ? named : LEVELLING_LAZPERF_MODULES;
}

bool lazperf_installed() {
  return fs::exists(fs::path(lazperf_modules()) / "laz-perf") &&
         std::system("node --version > /dev/null 2>&1") == 0;
}

// The records laz-perf decodes `laz` to, or "" with its complaint in *error.
std::string lazperf_records(const std::string &laz, std::string *error) {
  const std::string folder = fresh_test_folder("lazperf");
  const std::string in = folder + "/in.laz", out = folder + "/records.bin";
  write_bytes(in, laz);
  const std::string command = "LAZPERF_MODULES='" + lazperf_modules() +
                              "' node '" + LEVELLING_LAZPERF_DECODE + "' '" + in + "' '" + out +
                              "' > '" + folder + "/said' 2>&1";
  std::string records;
  if (std::system(command.c_str()) == 0) {
    records = read_bytes(out);
  } else {
    *error = read_bytes(folder + "/said");
  }
  fs::remove_all(folder);
  return records;
}

// Skips where laz-perf is not installed (bench/install-lazperf.sh), but never in CI, which
// installs it.
#define REQUIRE_LAZPERF()                                                             \
  do {                                                                                \
    if (!lazperf_installed()) {                                                       \
      if (std::getenv("CI") != nullptr) {                                             \
        FAIL() << "laz-perf is not installed: bench/install-lazperf.sh";              \
      }                                                                               \
      GTEST_SKIP() << "laz-perf is not installed (bench/install-lazperf.sh)";         \
    }                                                                                 \
  } while (false)

// The reference library's LAZ of formats 6, 7 and 8 whose points change scanner channel (colour,
// near infrared and extra bytes coded in the contexts the reference hands them): each decodes
// to exactly its twin's records, and the twin encoded here with the reference's chunks gives the
// reference's own point data, chunk table and all, byte for byte.
TEST(LazReference, ReferenceFilesDecodeToTheirTwinsAndEncodeToTheirBytes) {
  for (const char *name : {"channels-6", "channels-7", "channels-8"}) {
    const std::string las = read_bytes((kGolden / (std::string(name) + ".las")).string());
    const std::string laz = read_bytes((kGolden / (std::string(name) + ".laz")).string());
    ASSERT_FALSE(las.empty() || laz.empty()) << name;
    EXPECT_TRUE(las_records(decode_laz(laz)) == las_records(las)) << name;
    const std::string ours = encode_laz(las, 1000);
    const size_t theirs_at = get<uint32_t>(laz.data(), kLasPointOffset);
    const size_t ours_at = get<uint32_t>(ours.data(), kLasPointOffset);
    ASSERT_EQ(theirs_at, ours_at) << name;
    EXPECT_TRUE(ours.substr(ours_at) == laz.substr(theirs_at)) << name;
  }
}

// Every point format this project writes as LAZ, with attributes as scanners write them
// (channel changes, GPS times, colours in runs), extra bytes, one chunk or several, fixed or
// variable: laz-perf decodes each to exactly the records encoded.
TEST(LazReference, LazPerfDecodesWhatThisProjectWrites) {
  REQUIRE_LAZPERF();
  struct Case {
    LasLayout layout;
    size_t points;
    uint32_t chunk;
    bool variable;
  };
  const std::vector<Case> cases = {
      {{2, 0, 0, false}, 3000, 50000, false}, {{2, 1, 0, false}, 5000, 1200, false},
      {{2, 2, 0, false}, 2000, 50000, false}, {{3, 3, 5, false}, 7000, 2500, true},
      {{4, 6, 0, false}, 6000, 50000, false}, {{4, 6, 3, true}, 5000, 1500, false},
      {{4, 7, 0, false}, 9000, 4000, false},  {{4, 7, 4, false}, 5000, 700, true},
      {{4, 8, 2, false}, 8000, 50000, false}, {{4, 8, 0, true}, 6000, 999, false},
  };
  for (const Case &each : cases) {
    const std::string name = "format " + std::to_string(each.layout.format) + ", " +
                             std::to_string(each.layout.extra) + " extra bytes, chunks of " +
                             std::to_string(each.chunk) + (each.variable ? " (variable)" : "");
    const std::string las = with_scanner_attributes(
        las_bytes(each.layout, scan_line(each.points)), uint32_t(each.points + each.chunk));
    std::string error;
    const std::string decoded = lazperf_records(encode_laz(las, each.chunk, each.variable), &error);
    EXPECT_TRUE(decoded == las_records(las)) << name << " " << error;
  }
}

}  // namespace
}  // namespace levelling::test
