#include "formats/las/laz_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "formats/core/byte_io.h"
#include "laz/laz_layered.h"
#include "tests/support/cloud_files.h"

namespace levelling {
namespace {

using test::TemporaryFile;

// X, Y, Z of a scan line over rough ground: small steps, some jumps.
std::vector<std::array<int32_t, 3>> scan(size_t n) {
  std::vector<std::array<int32_t, 3>> xyz(n);
  for (size_t i = 0; i < n; ++i) {
    const int32_t step = int32_t(i % 97 == 0 ? 5000 : 3 + i % 5);
    xyz[i] = {int32_t(i) * step % 100000, int32_t(i / 300) * 7 - 40000,
              int32_t(std::lround(300.0 * std::sin(double(i) / 50.0))) + int32_t(i % 3)};
  }
  return xyz;
}

// Gives the records GPS times as a scanner writes them (rising in small steps, with a
// return of several per pulse, a jump back and forth between flight lines).
std::string with_times(std::string las, size_t points) {
  const size_t first = get<uint32_t>(las.data(), test::kLasPointOffset);
  const size_t record = get<uint16_t>(las.data(), test::kLasRecordLength);
  const size_t kTimeAt = las[104] >= 6 ? 22 : 20;  // formats 1 and 3, 6 to 8
  for (size_t i = 0; i < points; ++i) {
    double time = 400000.0 + double(i / 3) * 1.5e-5;
    if (i % 1000 > 800) {
      time += 1e6;  // another flight line
    }
    put(&las[0], first + i * record + kTimeAt, time);
  }
  return las;
}

std::string encode(const std::string &las, int threads, LazChunking chunking = LazChunking()) {
  TemporaryFile out;
  std::string message;
  {
    ByteWriter writer(out.stream);
    EXPECT_EQ(StreamFault::kNone,
              encode_laz_file(las.data(), las.size(), &writer, threads, &message, chunking))
        << message;
    writer.flush();
  }
  return out.contents();
}

StreamFault decode(const std::string &laz, std::string *las, std::string *message) {
  TemporaryFile out;
  std::string dropped;
  StreamFault fault;
  {
    ByteWriter writer(out.stream);
    fault = decode_laz_file(laz.data(), laz.size(), &writer, 3, &dropped, message);
    writer.flush();
  }
  *las = out.contents();
  return fault;
}

// The LAZ of `las` as a cloud's writer makes it: the LAS handed to the encoder a piece at a
// time, in pieces of every size from 1 byte to 4 KiB.
std::string encode_in_pieces(const std::string &las, LazChunking chunking) {
  TemporaryFile out;
  std::string message;
  {
    ByteWriter writer(out.stream);
    LazEncoder encoder(&writer, 2, chunking);
    for (size_t at = 0, step = 1; at < las.size(); at += step, step = step * 7 % 4099 + 1) {
      EXPECT_EQ(0, encoder.write(las.data() + at, std::min(step, las.size() - at)));
    }
    EXPECT_EQ(StreamFault::kNone, encoder.finish(&message)) << message;
    writer.flush();
  }
  return out.contents();
}

// The LAS of `laz` read a few hundred bytes at a time, decoding only the coordinates.
std::string decode_coordinates(const std::string &laz) {
  LazDecoder decoder(laz.data(), laz.size(), 2, true);
  std::string dropped, message, las;
  EXPECT_EQ(StreamFault::kNone, decoder.open(&dropped, &message)) << message;
  char piece[777];
  for (size_t n; (n = decoder.read(piece, sizeof piece)) > 0;) {
    las.append(piece, n);
  }
  EXPECT_EQ(StreamFault::kNone, decoder.fault()) << decoder.message();
  return las;
}

// Whether two LAS files hold the same bytes but, in their records, after X, Y and Z.
bool same_but_attributes(const std::string &a, const std::string &b) {
  const size_t first = get<uint32_t>(a.data(), test::kLasPointOffset);
  const size_t record = get<uint16_t>(a.data(), test::kLasRecordLength);
  if (a.size() != b.size() || a.compare(0, first, b, 0, first) != 0) {
    return false;
  }
  for (size_t at = first; at + record <= a.size(); at += record) {
    if (a.compare(at, 12, b, at, 12) != 0) {
      return false;
    }
  }
  return true;
}

// Every point format LAZ writes (0 to 3 point-wise, 6 to 8 layered), with extra bytes, EVLRs,
// no points, GPS times as scanners write them, chunks of one point, variable chunks, 2^16 + 1
// points: LAS to LAZ to LAS gives every byte back, the same LAZ from one thread or three or
// handed over in pieces; decoding only the coordinates gives every coordinate and every byte but
// the records'.
TEST(LazFile, RoundTripsEveryPointFormatExactly) {
  struct Case {
    test::LasLayout layout;
    size_t points;
    bool times;
    LazChunking chunking;
  };
  const std::vector<Case> cases = {
      {{2, 0, 0, false}, 0, false, {}},  // (a header ending where the points would begin)
      {{2, 0, 0, false}, 1, false, {}},
      {{2, 1, 0, false}, 2, true, {}},
      {{3, 2, 3, false}, 1000, false, {1, false}},
      {{4, 3, 27, true}, 3001, true, {700, true}},
      {{4, 1, 5, true}, 10, true, {1, true}},
      {{2, 3, 0, false}, 65537, true, {}},
      // Layered: every channel, return and flag byte changing; near infrared; extra bytes.
      {{4, 6, 0, true}, 3001, true, {}},
      {{4, 7, 3, false}, 2000, false, {500, true}},
      {{4, 8, 0, true}, 1, true, {}},
      {{4, 8, 2, true}, 70000, true, {}},
  };
  for (const Case &each : cases) {
    std::string las = test::las_bytes(each.layout, scan(each.points));
    if (each.times) {
      las = with_times(las, each.points);
    }
    const std::string name = "format " + std::to_string(each.layout.format) + ", " +
                             std::to_string(each.points) + " points";
    const std::string laz = encode(las, 3, each.chunking);
    EXPECT_EQ(laz, encode(las, 1, each.chunking)) << name;
    EXPECT_TRUE(laz == encode_in_pieces(las, each.chunking)) << name;
    std::string back, message;
    ASSERT_EQ(StreamFault::kNone, decode(laz, &back, &message)) << name << ": " << message;
    EXPECT_TRUE(back == las) << name;
    EXPECT_TRUE(same_but_attributes(decode_coordinates(laz), las)) << name;
    if (each.points > 1000 && each.layout.format < 6) {  // (layered rows: random bytes)
      EXPECT_LT(laz.size() * 2, las.size()) << name;
    }
  }
}

// A LAZ read tells its progress in the compressed file's bytes, up to its size (not in the
// bytes of its LAS, several times more).
TEST(LazFile, ProgressCountsTheCompressedBytes) {
  const std::string laz = encode(test::las_bytes({2, 3, 0, false}, scan(200000)), 2);
  int64_t most = 0;
  StreamOptions options;
  options.progress = [&most](int64_t bytes) { most = std::max(most, bytes); };
  StreamResult result;
  test::stream_through(laz, CloudFormat::kLas, options, [](PointBlock *) {}, &result);
  EXPECT_EQ(StreamFault::kNone, result.fault) << result.message;
  EXPECT_LE(most, int64_t(laz.size()));
  EXPECT_GT(most, int64_t(laz.size()) / 2);
}

// Damaged files are refused with one line, whatever they claim.
TEST(LazFile, DamagedFilesAreRefused) {
  const size_t points = 3000;
  const std::string las = with_times(test::las_bytes({2, 3, 0, false}, scan(points)), points);
  const std::string laz = encode(las, 2, {1000, true});
  const size_t first = get<uint32_t>(laz.data(), test::kLasPointOffset);
  const int64_t table = get<int64_t>(laz.data(), first);
  const auto patched = [&](size_t at, const std::string &bytes) {
    std::string damaged = laz;
    damaged.replace(at, bytes.size(), bytes);
    return damaged;
  };
  struct Damage {
    const char *what;
    std::string bytes;
    StreamFault fault;
    const char *message;
  };
  const char three_chunks_more[4] = {6, 0, 0, 0};
  const char more_points[4] = {char(0xb9), 0x0b, 0, 0};  // 3001
  std::vector<Damage> damages = {
      {"truncated in its chunks", laz.substr(0, first + 2000), StreamFault::kMalformed,
       "no chunk table"},
      {"truncated in its table", laz.substr(0, size_t(table) + 9), StreamFault::kMalformed,
       "chunk table"},
      {"a table that claims more chunks", patched(size_t(table) + 4, {three_chunks_more, 4}),
       StreamFault::kMalformed, "chunk"},
      {"a header that claims more points", patched(107, {more_points, 4}), StreamFault::kMalformed,
       "points"},
      {"a table far away", patched(first, std::string(7, '\x7f') + '\0'), StreamFault::kMalformed,
       "no chunk table"},
      {"a chunk cut short", patched(size_t(table) - 200, std::string(200, '\0')),
       StreamFault::kMalformed, ""},
      {"compressor 1", patched(first - (34 + 6 * 3), std::string("\x01", 1)),
       StreamFault::kUnsupported, "compressor 1"},
      {"waveform items", patched(first - 6 * 2, std::string("\x09", 1)), StreamFault::kUnsupported,
       "WAVEPACKET13 (waveforms)"},
      // The header judged as LAS's reader judges it.
      {"a future version", patched(25, "\x05"), StreamFault::kUnsupported,
       "LAS 1.5 (versions 1.0 to 1.4 are read)"},
      {"point format 11", patched(104, "\x8b"), StreamFault::kUnsupported,
       "point data record format 11 (0 to 10 are read)"},
      {"a record too short", patched(test::kLasRecordLength, "\x13"), StreamFault::kMalformed,
       "point records of 19 bytes, fewer than format 3's 34"},
      {"a zero scale", patched(131, std::string(8, '\0')), StreamFault::kMalformed,
       "the x scale or offset is not a positive and a finite number"},
      {"the points past the end", patched(test::kLasPointOffset, "\xff\xff\xff"),
       StreamFault::kMalformed, "truncated: the file ends before its first point"},
  };
  // Layered: a chunk's own count and a layer's size that lie.
  const std::string layered = encode(test::las_bytes({4, 6, 0, false}, scan(points)), 2);
  const size_t chunk = get<uint32_t>(layered.data(), test::kLasPointOffset) + 8 + 30;
  const auto patched14 = [&](size_t at, uint32_t value) {
    std::string damaged = layered;
    put(&damaged[0], at, value);
    return damaged;
  };
  damages.push_back({"a chunk's count that lies", patched14(chunk, points + 1),
                     StreamFault::kMalformed, "chunk 1 of 1 is damaged"});
  damages.push_back({"a layer's size that lies", patched14(chunk + 4 + 4, 1u << 30),
                     StreamFault::kMalformed, "chunk 1 of 1 is damaged"});
  const size_t last_layer = chunk + 4 + 4 * (Point14Coder::kLayers - 1);
  for (const uint32_t less : {8u, get<uint32_t>(layered.data(), last_layer)}) {  // (or none)
    damages.push_back({"layers that add up to less than their chunk",
                       patched14(last_layer, get<uint32_t>(layered.data(), last_layer) - less),
                       StreamFault::kMalformed, "chunk 1 of 1 is damaged"});
  }
  for (const Damage &damage : damages) {
    std::string back, message;
    const StreamFault fault = decode(damage.bytes, &back, &message);
    if (std::strlen(damage.message) == 0 && fault == StreamFault::kNone) {
      EXPECT_NE(las, back) << damage.what;  // zeros decode to other points, never to these
      continue;
    }
    EXPECT_EQ(damage.fault, fault) << damage.what << ": " << message;
    EXPECT_NE(std::string::npos, message.find(damage.message)) << damage.what << ": " << message;
    EXPECT_EQ(std::string::npos, message.find('\n')) << message;
  }
}

// A COPC file's octree (its "copc" info VLR and hierarchy EVLR) no longer describes the points
// once they move: decoded, they are left out and said so; every point record comes through.
TEST(LazFile, CopcOctreeIsLeftOutAndSaidSo) {
  const size_t points = 2000;
  std::string las = test::las_bytes({4, 7, 0, true}, scan(points));
  const size_t vlr_user = las.find("a_test"), evlr_user = las.find("a_test", vlr_user + 1);
  ASSERT_NE(std::string::npos, evlr_user);
  for (const auto &[at, id] : {std::pair<size_t, uint16_t>{vlr_user, 1}, {evlr_user, 1000}}) {
    las.replace(at, 6, std::string("copc\0\0", 6));
    put(&las[0], at + 16, id);  // the record id after the 16 bytes of the user
  }
  std::string back, message, dropped;
  const std::string laz = encode(las, 2);
  {
    TemporaryFile out;
    ByteWriter writer(out.stream);
    ASSERT_EQ(StreamFault::kNone,
              decode_laz_file(laz.data(), laz.size(), &writer, 2, &dropped, &message))
        << message;
    writer.flush();
    back = out.contents();
  }
  EXPECT_NE(std::string::npos, dropped.find("COPC")) << dropped;
  EXPECT_EQ(std::string::npos, back.find("copc"));
  EXPECT_EQ(get<uint32_t>(las.data(), 100) - 1, get<uint32_t>(back.data(), 100));  // VLRs
  EXPECT_EQ(0u, get<uint32_t>(back.data(), 243));                                  // EVLRs
  const size_t record = get<uint16_t>(las.data(), test::kLasRecordLength);
  EXPECT_EQ(las.substr(get<uint32_t>(las.data(), test::kLasPointOffset), points * record),
            back.substr(get<uint32_t>(back.data(), test::kLasPointOffset), points * record));
}

}  // namespace
}  // namespace levelling
