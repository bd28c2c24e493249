// The fault classes a probe of the PCD, LAS, conversion, transform, batch and map code found,
// each run as a user meets it: refused with its status and one line, nothing left behind, or,
// where the input is sound, levelled as it should be.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "formats/core/ply_types.h"
#include "tests/support/cloud_files.h"
#include "tests/support/cloud_runs.h"
#include "tests/support/e57_files.h"

namespace levelling {
namespace {

namespace fs = std::filesystem;
using test::Column;
using test::Ended;
using test::Fault;
using test::json_number;
using test::LevellingCloudTest;
using test::read_file;
using test::write_file;

const std::vector<Column> kPlane = test::xyz_columns({0, 1, 0, 1, 0.5}, {0, 0, 1, 1, 0.5},
                                                     {0, 0.1, 0.2, 0.3, 0.15});
const std::vector<std::array<int32_t, 3>> kLasPoints = {
    {0, 0, 100}, {-5000, 250, 120}, {12345, -678, 90}, {400, 400, -40}, {900, -900, 95}};

constexpr double kDegreesPerRadian = 57.295779513082320876798;
constexpr long kPeakBoundKib = 64 * 1024;  // the memory a run may take, whatever its input

template <typename T>
void put(std::string *bytes, size_t at, T value) {
  bytes->replace(at, sizeof value, reinterpret_cast<const char *>(&value), sizeof value);
}

// A text cloud of the plane z = slope * x with 1 mm noise, a fifth of its points clutter above
// it, and `extra` lines after them.
std::string sloped_text(double slope, const std::string &extra = "") {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> across(0.0, 10.0), above(0.1, 2.0);
  std::normal_distribution<double> noise(0.0, 0.001);
  std::string text;
  char line[96];
  for (int i = 0; i < 4000; ++i) {
    const double x = across(random), y = across(random);
    const double z = slope * x + (i % 5 == 0 ? above(random) : noise(random));
    std::snprintf(line, sizeof line, "%.5f %.5f %.5f\n", x, y, z);
    text += line;
  }
  return text + extra;
}

TEST_F(LevellingCloudTest, ProbedFaultsOfFormatsAndOptionsAreRefused) {
  // A binary_compressed header whose POINTS times 12-byte records wraps 64 bits to 8 bytes.
  const std::string wraps = "1537228672809129302";
  std::string compressed = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n"
                           "WIDTH " + wraps + "\nHEIGHT 1\nPOINTS " + wraps +
                           "\nDATA binary_compressed\n";
  const uint32_t sizes[2] = {8, 8};
  compressed.append(reinterpret_cast<const char *>(sizes), sizeof sizes);
  write_file(file("wraps.pcd"), compressed + std::string(8, '\x01'));
  // Data after the points a header counts.
  write_file(file("more.pcd"), test::pcd_bytes("binary", kPlane) + std::string(12, '\0'));
  const std::string las = test::las_bytes({2, 1, 0, false}, kLasPoints);
  write_file(file("more.las"), las + std::string(28, '\x05'));
  // An x scale that takes a coordinate beyond a double.
  std::string infinite = las;
  put(&infinite, 131, 1e308);
  write_file(file("infinite.las"), infinite);
  // Longitude and latitude: scales of a millionth of a degree, offsets at -122.5, 45.5.
  std::string degrees = las;
  put(&degrees, 131, 1e-6);
  put(&degrees, 139, 1e-6);
  put(&degrees, 155, -122.5);
  put(&degrees, 147, 0.1);  // heights over 16 m
  put(&degrees, 163, 45.5);
  write_file(file("degrees.las"), degrees);
  // 400 float properties besides x y z: more than LAS's extra bytes can describe.
  std::vector<Column> wide = kPlane;
  for (int p = 0; p < 400; ++p) {
    wide.push_back({"p" + std::to_string(p), PlyType::kFloat32, {0, 1, 2, 3, 4}});
  }
  write_file(file("wide.ply"), test::ply_bytes(PlyEncoding::kBinaryLittleEndian, wide));
  // PCD floats near FLT_MAX on the plane z = x: levelled, x grows beyond a float.
  const double big = 3e38;
  write_file(file("float-max.pcd"),
             test::pcd_bytes("binary", {{"x", PlyType::kFloat32, {0, big, 0, big, big / 2}},
                                        {"y", PlyType::kFloat32, {0, 0, big, big, big / 2}},
                                        {"z", PlyType::kFloat32, {0, big, 0, big, big / 2}}}));
  // Coordinates near 1e200 on a plane: their squares overflow.
  std::string huge;
  for (int i = 0; i < 200; ++i) {
    const double x = (i % 20) * 5e199, y = (i / 20) * 5e199;
    huge += std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(0.01 * x) + "\n";
  }
  write_file(file("huge.xyz"), huge);
  // Extents beyond a double: the map cannot count its cells.
  write_file(file("wide.xyz"), "-1e308 0 0\n1e308 0 0\n0 1 0\n1 1 0\n5 5 0\n");
  write_file(file("identity.txt"), "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
  write_file(file("sloped.xyz"), sloped_text(0.045));
  write_file(file("typo.xyz"), "++1 0 0.1\n0 1 0.2\n1 1 0.3\n0 0 0\n");
  write_file(file("good.xyz"), "0 0 0\n1 0 0.1\n0 1 0.2\n1 1 0.3\n");
  for (const char *empty : {"empty.las", "empty.pcd", "empty.ply"}) {
    write_file(file(empty), "");
  }
  const std::vector<Fault> faults = {
      {"$L wraps.pcd -o out.pcd", 4, "wraps.pcd: POINTS " + wraps + " of 12-byte points"},
      {"$L more.pcd -o out.pcd", 4, "more.pcd: byte "},
      {"$L more.las -o out.las", 4, "more.las: byte "},
      {"$L infinite.las -o out.las", 4, "point 2: its x is beyond a double"},
      {"$L degrees.las -o out.las", 8, "degrees.las: its coordinates are longitude and latitude"},
      {"$L wide.ply -o out.las", 8, "wide.ply: 400 properties past LAS's own attributes"},
      {"$L float-max.pcd -o out.ply --max-tilt 60", 8,
       "point 2: the levelled x is beyond the range of its float property"},
      {"$L huge.xyz -o out.xyz", 8, "cannot fit: the coordinates' squares overflow"},
      {"$L wide.xyz --transform identity.txt --map out.png", 8,
       "out.png: the levelled cloud's extent is beyond what a map can count cells across"},
      // A plane 2.6 degrees from up: a hypothesis within 1 degree drifts as it is refitted.
      {"$L sloped.xyz -o out.xyz --max-tilt 1", 5,
       "refitted to its inliers, the plane found tilts 2."},
      {"$L typo.xyz -o out.xyz", 4, "typo.xyz: line 1: '++1' is not a number (x)"},
      {"$L empty.las -o out.las", 4, "empty.las: is empty"},
      {"$L empty.pcd -o out.pcd", 4, "empty.pcd: is empty"},
      {"$L empty.ply -o out.ply", 4, "empty.ply: is empty"},
      {"$L good.xyz --max-tilt nan", 2, "--max-tilt: 'nan' is not a number from 0 to 90"},
      {"$L good.xyz --threshold nan", 2, "--threshold: 'nan' is not a positive number"},
      {"$L good.xyz --las-scale nan", 2, "--las-scale: 'nan' is not a positive number"},
      {"$L good.xyz --map out.png --map-cell nan", 2, "--map-cell: 'nan' is not a positive"},
      {"$L good.xyz --map out.png --map-cell 0", 2, "--map-cell: '0' is not a positive number"},
      {"$L good.xyz good.xyz --output-dir out -j 0", 2, "--jobs: '0' is not a whole number"},
      {"$L good.xyz --bogus", 2, "--bogus (see --help)"},
      {"$L good.xyz --map ''", 2, "--map: an empty name"},
  };
  expect_refused(faults);
}

TEST_F(LevellingCloudTest, ProbedInputsThatAreSoundLevelSoundly) {
  // One far point (1e9; a float's largest value) on a plane of slope 0.05: still its plane,
  // not "a line".
  const double tilt = std::atan(0.05) * kDegreesPerRadian;
  for (const char *far : {"1000000000 0 0", "3e38 3e38 0"}) {
    write_file(file("far.xyz"), sloped_text(0.05, std::string(far) + "\n"));
    const Ended ended = run("$L far.xyz --report json");
    EXPECT_EQ(0, ended.status) << far << ": " << ended.err;
    EXPECT_NEAR(tilt, json_number(ended.out, "tilt_degrees"), 0.01) << far;
  }
  // An up direction of huge components is the direction.
  write_file(file("sloped.xyz"), sloped_text(0.05));
  ASSERT_EQ(0, run("$L sloped.xyz -o z.xyz --save-transform z.txt").status);
  ASSERT_EQ(0, run("$L sloped.xyz -o huge-up.xyz --up 0,0,1e308").status);
  EXPECT_EQ(read_file(file("z.xyz")), read_file(file("huge-up.xyz")));
  // A saved transform that an editor gave a byte order mark.
  write_file(file("marked.txt"), "\xef\xbb\xbf" + read_file(file("z.txt")));
  const Ended marked = run("$L sloped.xyz -o marked.xyz --transform marked.txt");
  EXPECT_EQ(0, marked.status) << marked.err;
  EXPECT_EQ(read_file(file("z.xyz")), read_file(file("marked.xyz")));
}

TEST_F(LevellingCloudTest, ConversionsKeepEveryPropertyUnderANameOfItsOwn) {
  // A PCD with a second field x, and a LAS whose extra bytes are named x.
  std::vector<Column> two_x = kPlane;
  two_x.push_back({"x", PlyType::kFloat32, {7, 7, 7, 7, 7}});
  write_file(file("two-x.pcd"), test::pcd_bytes("ascii", two_x));
  std::string las = test::las_bytes({4, 6, 3, false}, kLasPoints);
  const size_t name = las.find("temperature");
  ASSERT_NE(std::string::npos, name);
  las.replace(name, 11, std::string("x\0\0\0\0\0\0\0\0\0\0", 11));
  write_file(file("extra-x.las"), las);
  for (const char *input : {"two-x.pcd", "extra-x.las"}) {
    const Ended ended = run(std::string("$L ") + input + " -o out.ply --max-tilt 90");
    ASSERT_EQ(0, ended.status) << input << ": " << ended.err;
    const std::string ply = read_file(file("out.ply"));
    const std::string header = ply.substr(0, ply.find("end_header"));
    const size_t first = header.find(" x\n");
    EXPECT_NE(std::string::npos, first) << input;
    EXPECT_EQ(std::string::npos, header.find(" x\n", first + 1)) << input;
    EXPECT_NE(std::string::npos, header.find(" x_2\n")) << input;
    // What was written reads back, the second x by its new name.
    const Ended again = run("$L out.ply -o again.ply --max-tilt 90");
    EXPECT_EQ(0, again.status) << input << ": " << again.err;
  }
}

TEST_F(LevellingCloudTest, PackedColoursKeepTheirBytesThroughAscii) {
  // PCL's packed rgb: alpha 255, red 255, green 0, blue 0: as a float, a NaN.
  std::string pcd = "VERSION 0.7\nFIELDS x y z rgb\nSIZE 4 4 4 4\nTYPE F F F F\nCOUNT 1 1 1 1\n"
                    "WIDTH 5\nHEIGHT 1\nPOINTS 5\nDATA binary\n";
  const uint32_t red = 0xffff0000u;
  for (size_t i = 0; i < kPlane[0].values.size(); ++i) {
    for (const Column &column : kPlane) {
      const float value = float(column.values[i]);
      pcd.append(reinterpret_cast<const char *>(&value), sizeof value);
    }
    pcd.append(reinterpret_cast<const char *>(&red), sizeof red);
  }
  write_file(file("red.pcd"), pcd);
  ASSERT_EQ(0, run("$L red.pcd -o red-ascii.pcd --format pcd-ascii").status);
  const std::string ascii = read_file(file("red-ascii.pcd"));
  EXPECT_EQ(std::string::npos, ascii.find("nan"));
  EXPECT_NE(std::string::npos, ascii.find(" 4294901760\n"));
  ASSERT_EQ(0, run("$L red-ascii.pcd -o back.pcd --format pcd-binary").status);
  const std::string back = read_file(file("back.pcd"));
  const size_t data = back.find("DATA binary\n") + std::strlen("DATA binary\n");
  ASSERT_EQ(back.size(), data + 5 * 16);
  for (size_t i = 0; i < 5; ++i) {
    uint32_t colour = 0;
    std::memcpy(&colour, back.data() + data + 16 * i + 12, sizeof colour);
    EXPECT_EQ(red, colour) << "point " << i;
  }
}

TEST_F(LevellingCloudTest, MemoryStaysBoundedWhateverLiesBeforeTheLasPoints) {
  // 50 MB of bytes between the VLRs and the points, and 1500 VLRs of 64 KiB (built and
  // written in a scope of their own: a forked child's peak counts the memory it starts with).
  const size_t gap = size_t(50) << 20;
  const size_t kVlrs = 1500, kLength = 65535;
  uint32_t first_point = 0;
  size_t points_at = 0;
  {
    const std::string las = test::las_bytes({2, 1, 0, false}, kLasPoints);
    std::memcpy(&first_point, las.data() + test::kLasPointOffset, sizeof first_point);
    std::string gapped = las;
    gapped.insert(first_point, gap, '\x07');
    put(&gapped, test::kLasPointOffset, uint32_t(first_point + gap));
    write_file(file("gap.las"), gapped);
    std::string vlrs = las.substr(0, first_point);
    uint32_t count = 0;
    std::memcpy(&count, las.data() + 100, sizeof count);
    for (size_t v = 0; v < kVlrs; ++v) {
      std::string vlr(54, '\0');
      vlr.replace(2, 6, "filler");
      put(&vlr, 20, uint16_t(kLength));
      vlrs += vlr + std::string(kLength, 'v');
    }
    points_at = vlrs.size();
    vlrs += las.substr(first_point);
    put(&vlrs, test::kLasPointOffset, uint32_t(points_at));
    put(&vlrs, 100, uint32_t(count + kVlrs));
    write_file(file("vlrs.las"), vlrs);
  }
  const std::pair<const char *, size_t> inputs[] = {{"gap.las", first_point + gap},
                                                    {"vlrs.las", points_at}};
  for (const auto &[input, points] : inputs) {
    int status = -1;
    const long kib = peak_kib(std::string(input) + " -o out.las --max-tilt 90", &status);
    EXPECT_EQ(0, status) << input;
#if defined(__SANITIZE_ADDRESS__)
    static_cast<void>(kib);  // its shadow memory, counted from the parent, hides any bound
#else
    EXPECT_LT(kib, kPeakBoundKib) << input;
#endif
    // Everything between the header and the points came through as it was.
    const std::string in = read_file(file(input)), out = read_file(file("out.las"));
    ASSERT_EQ(in.size(), out.size()) << input;
    const size_t header = test::kLasHeader12;
    EXPECT_EQ(0, in.compare(header, points - header, out, header, points - header)) << input;
  }
}

// Faults an adversarial probe found, each with the sound behaviour it now has: one clear line
// (bytes from the file escaped), a distinct status, nothing written.
TEST_F(LevellingCloudTest, ProbedFaultsStayMended) {
  const std::string gentle = "0 0 0\n1 0 0.1\n0 1 0.2\n1 1 0.3\n";
  write_file(file("good.xyz"), gentle);
  write_file(file("extra.xyz"), "0 0 0 a\n1 0 0.1 b\n0 1 0.2 c\n1 1 0.3 d\n");
  std::string long_header = "ply\nformat ascii 1.0\n";
  for (int i = 0; i < 1100; ++i) {
    long_header += "comment " + std::string(1000, 'c') + "\n";
  }
  write_file(file("long-header.ply"), long_header + "element vertex 0\nend_header\n");
  const std::vector<test::Column> xyz =
      test::xyz_columns({0, 1, 0, 1}, {0, 0, 1, 1}, {0, 0.1, 0.2, 0.3});
  write_file(file("two-vertex.ply"),
             test::ply_bytes(PlyEncoding::kAscii, xyz,
                             "element vertex 1\nproperty float x\nproperty float y\n"
                             "property float z\n",
                             "5 5 5\n"));
  std::vector<test::Column> two_x = xyz;
  two_x.push_back({"x", PlyType::kFloat64, {9, 9, 9, 9}});
  write_file(file("two-x.ply"), test::ply_bytes(PlyEncoding::kAscii, two_x));
  write_file(file("escape.xyz"), "0 0 0\n1 0 0.1\n1 \x1b[31m 2\n");
  // Floats near FLT_MAX on the plane z = x: levelled, x grows beyond float's range.
  const double big = 3e38;
  write_file(file("float-max.ply"),
             test::ply_bytes(PlyEncoding::kBinaryLittleEndian,
                             {{"x", PlyType::kFloat32, {0, big, 0, big, big / 2}},
                              {"y", PlyType::kFloat32, {0, 0, big, big, big / 2}},
                              {"z", PlyType::kFloat32, {0, big, 0, big, big / 2}}}));
  write_file(file("long-list.ply"),
             test::ply_bytes(PlyEncoding::kAscii, xyz,
                             "element face 1\nproperty list int int vertex_indices\n",
                             "2000000 0 1 2\n"));
  const char count_near_2_32[] = {'\xff', '\xff', '\xff', '\xff', 0, 0, 0, 0};
  write_file(file("huge-list.ply"),
             test::ply_bytes(PlyEncoding::kBinaryLittleEndian, xyz,
                             "element face 1\nproperty list uint int vertex_indices\n",
                             std::string(count_near_2_32, sizeof count_near_2_32)));
  write_file(file("comma.xyz"), "1,5 2,5 3,5\n1,0 2,0 3,5\n");
  write_file(file("typo.xyz"), "1.0 2.O 3.0\n0 0 0\n1 0 0\n");
  std::string las(375, '\0');
  las.replace(0, 4, "LASF");
  write_file(file("tile.las"), las);
  las[104] = char(0x83);  // point format 3 with the compression bits: LAZ
  write_file(file("tile.laz"), las);
  write_file(file("frame.pcd"), "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\n");
  write_file(file("cloud.xyz.gz"), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8));
  const char noise[] = "\x01\x00\x02\x00\x7f\x80 binary";
  write_file(file("noise.bin"), std::string(noise, sizeof noise - 1));
  test::E57TestScan scan{"", {}};
  for (const char *name : {"cartesianX", "cartesianY", "cartesianZ"}) {
    scan.fields.push_back({std::string("<") + name + " type=\"Float\"/>", 64,
                           {test::bits_of(0.0), test::bits_of(1.0), test::bits_of(2.0)}});
  }
  std::string scan_file = test::e57_file({scan});
  scan_file[200] = char(scan_file[200] ^ 0x10);
  write_file(file("damaged.e57"), scan_file);
  const std::vector<Fault> faults = {
      {"$L good.xyz -o ''", 2, "-o: an empty name; use - for standard output"},
      {"$L damaged.e57 -o out.e57", 4, "damaged.e57: damaged: page 1 of 2 fails its checksum"},
      {"$L extra.xyz -o - --format ply > piped.ply", 8,
       "extra.xyz: has columns after x y z, which PLY output would lose"},
      {"$L long-header.ply", 4, "long-header.ply: the header is longer than 1 MiB"},
      {"$L two-vertex.ply -o out.ply", 4, "header line 7: a second element 'vertex'"},
      {"$L two-x.ply -o out.ply", 4, "header line 7: a second property 'x' in element 'vertex'"},
      {"$L escape.xyz -o out.xyz", 4, "escape.xyz: line 3: '\\x1b[31m' is not a number (y)"},
      {"$L float-max.ply -o out.ply --max-tilt 60", 8,
       "float-max.ply: vertex 2: the levelled x is beyond the range of its float property"},
      {"$L long-list.ply -o out.ply", 8,
       "line 14: a list of 2000000 items in face (at most 1048576 are taken)"},
      {"$L huge-list.ply -o out.ply", 8,
       "face 1: a list of more than 1048576 items (at most that many are taken)"},
      {"$L comma.xyz -o out.xyz", 4,
       "comma.xyz: line 1: '1,5' has a decimal comma; write numbers with decimal points"},
      {"$L typo.xyz -o out.xyz", 4, "typo.xyz: line 1: '2.O' is not a number (y)"},
      {"$L tile.las -o out.ply", 8, "tile.las: LAS 0.0 (versions 1.0 to 1.4 are read)"},
      {"$L tile.laz -o out.ply", 8, "tile.laz: LAS 0.0 (versions 1.0 to 1.4 are read)"},
      {"$L frame.pcd -o out.ply", 4, "frame.pcd: the file ends inside the header (no DATA line)"},
      {"$L cloud.xyz.gz -o out.ply", 8, "looks like gzip-compressed data; decompress it first"},
      {"$L noise.bin -o out.ply", 8, "binary data of no point cloud format this program knows"},
      {"$L good.xyz -o out.spz", 8,
       "out.spz: writing compressed splat is not supported; write PLY, PTX, text, PCD, LAS, LAZ "
       "or E57"},
      {"$L good.xyz -o out.dat", 2, "out.dat: an extension of no format this program writes"},
      {"TMPDIR=./nowhere $L - < good.xyz", 3,
       "standard input: cannot spool the input: No such file or directory"},
      // An endless input stops at the first failed write of its spool.
      {"trap '' XFSZ; ulimit -f 64; $L /dev/zero", 3,
       "/dev/zero: cannot spool the input: File too large"},
  };
  expect_refused(faults, {"piped.ply"});
  EXPECT_EQ("", read_file(file("piped.ply")));  // refused before a byte was written
}

TEST_F(LevellingCloudTest, ProbedCloudsThatAreFineLevelFine) {
  // Coordinates near 1e80, one far point on a plane, a byte order mark.
  write_file(file("huge.xyz"), "0 0 0\n1e80 0 1e78\n0 1e80 2e78\n1e80 1e80 3e78\n5e79 5e79 1.5e78\n");
  write_file(file("far.xyz"), "0 0 0\n1 0 0\n0 1 0\n1 1 0\n0.5 0.5 0\n1e6 0 0\n");
  write_file(file("bom.xyz"), "\xef\xbb\xbfx y z\n0 0 0\n1 0 0.1\n0 1 0.2\n1 1 0.3\n");
  for (const char *name : {"huge", "far", "bom"}) {
    const Ended ended =
        run(std::string("$L ") + name + ".xyz -o " + name + "-level.xyz --report json");
    EXPECT_EQ(0, ended.status) << name << ": " << ended.err;
    const std::string levelled = read_file(file(std::string(name) + "-level.xyz"));
    EXPECT_EQ(std::string::npos, levelled.find("nan")) << levelled;
    EXPECT_EQ(std::string::npos, levelled.find("inf")) << levelled;
    EXPECT_EQ(std::string::npos, ended.out.find("nan")) << ended.out;
  }
  EXPECT_EQ(0u, read_file(file("bom-level.xyz")).find("\xef\xbb\xbfx y z\n"));
  // Coordinates come back with as many decimals as they had (at most one here), or as asked.
  for (const auto &[arguments, expected] :
       std::vector<std::pair<std::string, std::string>>{
           {"", "0.0 0.0 0.1\n1.0 0.0 0.1\n0.0 1.0 0.2\n1.0 1.0 0.1\n"},
           {"--precision 3", "-0.012 -0.010 0.150\n0.993 -0.010 0.150\n0.007 1.010 0.150\n"
                             "1.012 1.010 0.150\n"}}) {
    EXPECT_EQ(0, run("$L bom.xyz -o decimals.xyz -q " + arguments).status);
    EXPECT_EQ("\xef\xbb\xbfx y z\n" + expected, read_file(file("decimals.xyz"))) << arguments;
  }

  // Standard output named as a file is written, not replaced: a second name of the same file
  // sees the cloud.
  write_file(file("good.xyz"), "0 0 0\n1 0 0.1\n0 1 0.2\n1 1 0.3\n");
  write_file(file("out.xyz"), "");
  fs::create_hard_link(file("out.xyz"), file("same.xyz"));
  const Ended to_stdout = run("$L good.xyz -o /dev/stdout -q > out.xyz");
  EXPECT_EQ(0, to_stdout.status) << to_stdout.err;
  const std::string written = read_file(file("out.xyz"));
  EXPECT_EQ(4, std::count(written.begin(), written.end(), '\n'));
  EXPECT_EQ(written, read_file(file("same.xyz")));
}

}  // namespace
}  // namespace levelling

namespace levelling::test {

// Regression: runs side by side into one new --output-dir (the xargs -P recipe, a cluster's
// workers) each found it missing and made it, and one that another had made meanwhile failed
// with status 6 and "Success".
TEST_F(LevellingCloudTest, RunsSideBySideIntoOneNewFolderAllSucceed) {
  constexpr int kRuns = 8, kRounds = 24;
  write_file(file("I.txt"), "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
  for (int i = 0; i < kRuns; ++i) {
    write_file(file("t" + std::to_string(i) + ".xyz"), "0 0 0\n1 0 0\n0 1 0\n");
  }
  const Ended ended = run("for r in $(seq " + std::to_string(kRounds) + "); do for i in $(seq 0 " +
                          std::to_string(kRuns - 1) + "); do $L t$i.xyz --transform I.txt "
                          "--output-dir out$r/a/b -q & done; wait; done; "
                          "ls out*/a/b/*.xyz | wc -l");
  EXPECT_EQ("", ended.err);
  EXPECT_EQ(std::to_string(kRuns * kRounds) + "\n", ended.out);
}

}  // namespace levelling::test
