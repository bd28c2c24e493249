// LAZ as users meet it: levelled into LAZ, converted both ways, damaged files refused.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/core/byte_io.h"
#include "formats/las/laz_file.h"
#include "laz/laz_chunks.h"
#include "tests/support/cloud_files.h"
#include "tests/support/cloud_runs.h"

namespace levelling::test {
namespace {

// A tilted plane of n points (integers at the test's LAS scale), a few off it.
std::vector<std::array<int32_t, 3>> tilted(size_t n) {
  std::vector<std::array<int32_t, 3>> xyz;
  for (size_t i = 0; i < n; ++i) {
    const int32_t x = int32_t(i % 300) * 10, y = int32_t(i / 300) * 10;
    xyz.push_back({x, y, int32_t(std::lround(0.05 * x + 0.02 * y)) + (i % 50 == 0 ? 900 : 0)});
  }
  return xyz;
}

// LAZ levelled into LAZ holds exactly the records of the same levelling written as LAS, and
// every byte the LAS output keeps; conversions to and from LAZ go through as LAS's do, with no
// temporary file ($TMPDIR a folder that does not exist).
TEST_F(LevellingCloudTest, LazLevelsIntoLazAsLasIntoLas) {
  const std::string las = las_bytes({4, 3, 6, true}, tilted(60000));
  write_file(file("tile.las"), las);
  write_file(file("tile.laz"), encode_laz(las, 7000, true));
  write_file(file("plain-bytes.laz"), las);  // LAS named .laz: read as what its bytes say
  for (const char *command :
       {"$L tile.las -o level.las", "TMPDIR=./nowhere $L tile.laz -o level.laz",
        "TMPDIR=./nowhere $L tile.laz -o level-of.las",
        "TMPDIR=./nowhere $L plain-bytes.laz -o plain-level.laz",
        "TMPDIR=./nowhere $L tile.laz -o level.ply",
        "TMPDIR=./nowhere $L level.ply -o from-ply.laz --transform identity.txt"}) {
    if (std::string(command).find("identity") != std::string::npos) {
      write_file(file("identity.txt"), "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
    }
    const Ended ended = run(command);
    EXPECT_EQ(0, ended.status) << command << "\n" << ended.err;
  }
  const std::string levelled = read_file(file("level.las"));
  EXPECT_EQ(levelled, decode_laz(read_file(file("level.laz"))));
  EXPECT_EQ(levelled, read_file(file("level-of.las")));
  EXPECT_EQ(levelled, decode_laz(read_file(file("plain-level.laz"))));
  // Layered (format 7, scanner channels changing): the same.
  const std::string layered = las_bytes({4, 7, 2, true}, tilted(30000));
  write_file(file("tile7.las"), layered);
  write_file(file("tile7.laz"), encode_laz(layered, 4000, true));
  EXPECT_EQ(0, run("$L tile7.las -o level7.las").status);
  EXPECT_EQ(0, run("TMPDIR=./nowhere $L tile7.laz -o level7.laz").status);
  EXPECT_EQ(read_file(file("level7.las")), decode_laz(read_file(file("level7.laz"))));
  // Written to a pipe, the chunk table's offset comes at the end; EVLRs need a file.
  const Ended piped =
      run("{ $L tile.las -o - --format laz; echo $? > status.txt; } | cat > piped.laz");
  EXPECT_EQ("8\n", read_file(file("status.txt"))) << piped.err;
  EXPECT_NE(std::string::npos, piped.err.find("EVLRs")) << piped.err;
  const std::string no_evlr = las_bytes({2, 1, 0, false}, tilted(5000));
  write_file(file("no-evlr.las"), no_evlr);
  EXPECT_EQ(0, run("$L no-evlr.las -o no-evlr-level.las").status);
  EXPECT_EQ(0, run("cat no-evlr.las | $L - --format laz -o - | cat > pipe-level.laz").status);
  EXPECT_EQ(read_file(file("no-evlr-level.las")), decode_laz(read_file(file("pipe-level.laz"))));
  // PLY to LAZ: the points of the PLY, at LAS's scale.
  const CloudPointsRead ply = read_cloud_points(file("level.ply").string());
  const CloudPointsRead laz = read_cloud_points(file("from-ply.laz").string());
  ASSERT_EQ(ply.x.size(), laz.x.size()) << laz.error;
  for (size_t i = 0; i < ply.x.size(); i += 997) {
    EXPECT_NEAR(ply.z[i], laz.z[i], 0.0005) << i;
  }
}

// Damaged LAZ: one line, status 4, nothing written; a coding not read: status 8.
TEST_F(LevellingCloudTest, DamagedLazIsRefusedAndNothingWritten) {
  const std::string laz = encode_laz(las_bytes({2, 1, 0, false}, tilted(4000)), 1000);
  const size_t first = get<uint32_t>(laz.data(), kLasPointOffset);
  const int64_t table = get<int64_t>(laz.data(), first);
  write_file(file("truncated.laz"), laz.substr(0, size_t(table) - 100));
  std::string lying = laz;
  lying[size_t(table) + 4] = 9;  // nine chunks where four are
  write_file(file("lying-table.laz"), lying);
  std::string more = laz;
  put(&more[0], 107, uint32_t(1u << 30));  // a billion points claimed
  write_file(file("lying-count.laz"), more);
  for (const uint32_t claimed : {3500u, 3001u}) {  // fewer points than the four chunks hold
    std::string fewer = laz;
    put(&fewer[0], 107, claimed);
    write_file(file("fewer-" + std::to_string(claimed) + ".laz"), fewer);
  }
  // A small file whose one variable chunk claims 29 million points: refused, its memory what
  // the file holds, not the 812 MB of records it claims.
  const std::string small = encode_laz(las_bytes({2, 1, 0, false}, tilted(4000)), 50000, true);
  const size_t small_table = size_t(get<int64_t>(small.data(), first));
  // And one of 40 million: more than the gigabyte of records a chunk may decode to.
  for (const uint32_t claimed : {29000000u, 40000000u}) {
    std::vector<uint8_t> table;
    write_chunk_table({{first + 8, small_table - first - 8, claimed}}, kVariableChunks, &table);
    std::string claims = small.substr(0, small_table) + std::string(table.begin(), table.end());
    put(&claims[0], 107, claimed);
    write_file(file("claims-" + std::to_string(claimed / 1000000) + "-million.laz"), claims);
  }
  std::string unchunked = laz;
  unchunked[first - (34 + 6 * 2)] = 1;
  write_file(file("unchunked.laz"), unchunked);
  expect_refused({
      {"$L truncated.laz -o out.laz", 4, "truncated.laz: no chunk table where the file says"},
      {"$L lying-table.laz -o out.las", 4, "lying-table.laz: a chunk table of 9 chunks"},
      {"$L lying-count.laz -o out.laz", 4, "for 1073741824 points"},
      {"$L unchunked.laz -o out.laz", 8, "LAZ of compressor 1"},
      {"$L fewer-3500.laz -o out.las", 4, "fewer-3500.laz: chunk 4 of 4 is damaged"},
      {"$L fewer-3001.laz -o out.las", 4, "fewer-3001.laz: chunk 4 of 4 is damaged"},
      {"$L claims-29-million.laz -o out.las", 4, "claims-29-million.laz: chunk 1 of 1 is damaged"},
      {"$L claims-40-million.laz -o out.las", 4, "(more than a chunk should hold)"},
  });
  int status = 0;
  EXPECT_LT(peak_kib("claims-29-million.laz -o out.las", &status), 100 * 1024);  // not 812 MB
  EXPECT_EQ(4, status);
}

}  // namespace
}  // namespace levelling::test
