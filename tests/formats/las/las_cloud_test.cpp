// LAS clouds: every version's header and every point format come through with only the
// coordinates re-quantised and the bounds recomputed, offsets change only where the integers
// would overflow, and the fields convert to and from the other formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "tests/support/cloud_files.h"

namespace levelling {
namespace {

using test::kLasOffset;
using test::kLasScale;
using test::LasLayout;
using test::stream_bytes;
using test::Streamed;

template <typename T>
T get(const std::string &bytes, size_t at) {
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

const std::vector<std::array<int32_t, 3>> kPoints = {
    {0, 0, 100}, {-5000, 250, 120}, {12345, -678, 90}, {400, 400, -40}};

// The box of kPoints' coordinates, for a writer choosing offsets.
std::array<double, 6> box_of(const std::vector<std::array<int32_t, 3>> &points) {
  std::array<double, 6> box = {HUGE_VAL, HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (const auto &point : points) {
    for (size_t k = 0; k < 3; ++k) {
      const double value = point[k] * kLasScale + kLasOffset[k];
      box[k] = std::min(box[k], value);
      box[3 + k] = std::max(box[3 + k], value);
    }
  }
  return box;
}

TEST(LasCloudTest, EveryVersionAndPointFormatComesThroughReQuantised) {
  const int minors[] = {0, 2, 3, 4};
  for (const int minor : minors) {
    for (int format = 0; format <= (minor == 4 ? 10 : 5); ++format) {
      const LasLayout layout{minor, format, 3, minor == 4};
      const std::string input = test::las_bytes(layout, kPoints);
      const std::string name = "1." + std::to_string(minor) + " format " + std::to_string(format);
      // Moved by 20.4 units: re-quantised to the nearest integer.
      const double shift = 0.2 + 0.4 * kLasScale;
      const std::array<double, 6> box = box_of(kPoints);
      StreamOptions options;
      options.write.box = box.data();
      const Streamed moved = stream_bytes(input, CloudFormat::kLas, shift, -1, options);
      ASSERT_EQ(StreamFault::kNone, moved.result.fault) << name << ": " << moved.result.message;
      EXPECT_EQ(CloudFormat::kLas, moved.result.format);
      ASSERT_EQ(input.size(), moved.output.size()) << name;
      // The waveform's direction turns as normals do, though the cloud has none.
      const bool waveform = format == 4 || format == 5 || format >= 9;
      EXPECT_FALSE(moved.result.has_normals);
      EXPECT_EQ(waveform ? std::vector<double>(kPoints.size(), double(0.8f)) : std::vector<double>(),
                moved.nz)
          << name;
      const size_t first = get<uint32_t>(input, test::kLasPointOffset);
      const size_t record = get<uint16_t>(input, test::kLasRecordLength);
      // The header but for the bounds, the VLRs, every byte of every record but X, Y, Z and
      // what follows the points: unchanged.
      EXPECT_EQ(input.substr(0, test::kLasBounds), moved.output.substr(0, test::kLasBounds))
          << name;
      EXPECT_EQ(input.substr(test::kLasBounds + 48, first - test::kLasBounds - 48),
                moved.output.substr(test::kLasBounds + 48, first - test::kLasBounds - 48))
          << name;
      double low[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, high[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
      for (size_t i = 0; i < kPoints.size(); ++i) {
        const size_t at = first + i * record;
        for (size_t k = 0; k < 3; ++k) {
          const int32_t integer = get<int32_t>(moved.output, at + 4 * k);
          EXPECT_EQ(kPoints[i][k] + 20, integer) << name << " point " << i;
          const double value = integer * kLasScale + kLasOffset[k];
          low[k] = std::min(low[k], value);
          high[k] = std::max(high[k], value);
        }
        EXPECT_EQ(input.substr(at + 12, record - 12), moved.output.substr(at + 12, record - 12))
            << name;
      }
      const size_t end = first + kPoints.size() * record;
      EXPECT_EQ(input.substr(end), moved.output.substr(end)) << name;
      for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(high[k], get<double>(moved.output, test::kLasBounds + 16 * k)) << name;
        EXPECT_EQ(low[k], get<double>(moved.output, test::kLasBounds + 16 * k + 8)) << name;
      }
    }
  }
}

// Streams a LAS file into LAS through `visit`: the result and the bytes written.
std::pair<StreamResult, std::string> las_moved(const std::string &input,
                                               const StreamOptions &options,
                                               const PointVisitor &visit) {
  StreamResult result;
  std::string output = test::stream_through(input, CloudFormat::kLas, options, visit, &result);
  return std::make_pair(result, output);
}

TEST(LasCloudTest, WaveformDirectionsTurnWithThePoints) {
  // Format 4's waveform direction (x(t), y(t), z(t), floats from byte 28 + 17) turned upside
  // down by the visitor, as it turns normals.
  const auto [result, output] =
      las_moved(test::las_bytes({3, 4, 0, false}, kPoints), StreamOptions(), [](PointBlock *block) {
        for (size_t i = 0; i < block->count; ++i) {
          block->nz[i] = -block->nz[i];
        }
      });
  ASSERT_EQ(StreamFault::kNone, result.fault) << result.message;
  const size_t first = get<uint32_t>(output, test::kLasPointOffset);
  for (size_t i = 0; i < kPoints.size(); ++i) {
    EXPECT_EQ(-0.8f, get<float>(output, first + i * 57 + 28 + 25)) << i;
    EXPECT_EQ(0.6f, get<float>(output, first + i * 57 + 28 + 21)) << i;
  }
}

TEST(LasCloudTest, OffsetsChangeOnlyWhereTheIntegersWouldOverflow) {
  // Integers near the top of their range, moved 10 km in x only: x needs a new offset, y and z
  // keep theirs, and every coordinate is within half a unit of where it was moved to.
  const std::vector<std::array<int32_t, 3>> far = {{2147000000, 5, 7}, {2146000000, -5, 9}};
  const std::string input = test::las_bytes({2, 1, 0, false}, far);
  const double motion[4][4] = {{1, 0, 0, 10000}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  const std::array<double, 6> box = box_of(far);
  StreamOptions options;
  options.write.motion = motion;
  options.write.box = box.data();
  const auto moved_by = [&](const StreamOptions &given) {
    return las_moved(input, given, [](PointBlock *block) {
      for (size_t i = 0; i < block->count; ++i) {
        block->x[i] += 10000;
      }
    });
  };
  const auto [result, output] = moved_by(options);
  ASSERT_EQ(StreamFault::kNone, result.fault) << result.message;
  EXPECT_NE(kLasOffset[0], get<double>(output, test::kLasOffsets));
  EXPECT_EQ(kLasOffset[1], get<double>(output, test::kLasOffsets + 8));
  EXPECT_EQ(kLasOffset[2], get<double>(output, test::kLasOffsets + 16));
  const size_t first = get<uint32_t>(output, test::kLasPointOffset);
  const size_t record = get<uint16_t>(output, test::kLasRecordLength);
  for (size_t i = 0; i < far.size(); ++i) {
    const double x = get<int32_t>(output, first + i * record) * kLasScale +
                     get<double>(output, test::kLasOffsets);
    EXPECT_NEAR(far[i][0] * kLasScale + kLasOffset[0] + 10000, x, kLasScale / 2);
  }
  // Without the box the offsets cannot be chosen before the points: the overflow is refused.
  const auto [refused, partial] = moved_by(StreamOptions());
  EXPECT_EQ(StreamFault::kUnsupported, refused.fault);
  EXPECT_EQ("point 1: the levelled x does not fit LAS's 32-bit integers at scale 0.01 and "
            "offset 1000",
            refused.message);
}

// The values of an ASCII PLY file's vertices, by property name.
std::map<std::string, std::vector<double>> ply_values(const std::string &ply) {
  std::istringstream text(ply);
  std::vector<std::string> names;
  std::map<std::string, std::vector<double>> values;
  for (std::string line; std::getline(text, line) && line != "end_header";) {
    std::istringstream words(line);
    std::string word, type, name;
    if (words >> word >> type >> name && word == "property") {
      names.push_back(name);
    }
  }
  for (double value; text.good();) {
    for (const std::string &name : names) {
      if (text >> value) {
        values[name].push_back(value);
      }
    }
  }
  return values;
}

TEST(LasCloudTest, FieldsConvertToTheOtherFormatsAndBack) {
  const std::string input = test::las_bytes({2, 3, 3, false}, kPoints);
  const Streamed ply = stream_bytes(input, CloudFormat::kPlyAscii);
  ASSERT_EQ(StreamFault::kNone, ply.result.fault) << ply.result.message;
  EXPECT_NE(std::string::npos,
            ply.output.find("comment written by levelling-cloud from LAS\nelement vertex 4\n"
                            "property double x\nproperty double y\nproperty double z\n"
                            "property ushort intensity\nproperty uchar return_number\n"
                            "property uchar number_of_returns\n"
                            "property uchar scan_direction_flag\n"
                            "property uchar edge_of_flight_line\n"
                            "property uchar classification\nproperty uchar synthetic\n"
                            "property uchar key_point\nproperty uchar withheld\n"
                            "property char scan_angle_rank\nproperty uchar user_data\n"
                            "property ushort point_source_id\nproperty double gps_time\n"
                            "property ushort red\nproperty ushort green\nproperty ushort blue\n"
                            "property short temperature\nproperty uchar extra_byte_2\n"))
      << ply.output.substr(0, 900);
  // PLY back to LAS: the attributes fill format 7's fields and extra bytes; read again, every
  // value is as it was.
  const Streamed las = stream_bytes(ply.output, CloudFormat::kLas, 0.0, 4);
  ASSERT_EQ(StreamFault::kNone, las.result.fault) << las.result.message;
  EXPECT_EQ(7, las.output[104]);
  const Streamed again = stream_bytes(las.output, CloudFormat::kPlyAscii);
  ASSERT_EQ(StreamFault::kNone, again.result.fault) << again.result.message;
  const auto first = ply_values(ply.output), second = ply_values(again.output);
  for (const auto &[name, column] : first) {
    ASSERT_EQ(1u, second.count(name)) << name;
    for (size_t i = 0; i < column.size(); ++i) {
      EXPECT_NEAR(column[i], second.at(name)[i], name.size() == 1 ? 0.0005 : 0.0) << name;
    }
  }
  // Text to LAS at --las-scale, and back.
  StreamOptions scaled;
  scaled.write.las_scale = 0.001;
  const std::array<double, 6> box = {0.5, 1, 3, 7.25, 8, 9};
  scaled.write.box = box.data();
  const Streamed from_text = stream_bytes("0.5 1 3\n7.25 8 9\n", CloudFormat::kLas, 0.0, 2, scaled);
  ASSERT_EQ(StreamFault::kNone, from_text.result.fault) << from_text.result.message;
  EXPECT_EQ(2u, get<uint64_t>(from_text.output, 247));  // the points, and their first returns
  EXPECT_EQ(2u, get<uint64_t>(from_text.output, 255));
  const Streamed to_text = stream_bytes(from_text.output, CloudFormat::kText);
  EXPECT_EQ(3, to_text.result.text_decimals);
  EXPECT_NE(std::string::npos, to_text.output.find("\n0.5 1 3 0 1 1 "));

  // 8-bit colours fill LAS's 16 bits: 255 becomes 65535 (format 7's red at byte 30).
  std::vector<test::Column> coloured = test::xyz_columns({0, 1, 0}, {0, 0, 1}, {0, 0, 0});
  for (const char *name : {"red", "green", "blue"}) {
    coloured.push_back({name, PlyType::kUint8, {255, 128, 0}});
  }
  const Streamed colours = stream_bytes(
      test::ply_bytes(PlyEncoding::kBinaryLittleEndian, coloured), CloudFormat::kLas, 0.0, 3);
  ASSERT_EQ(StreamFault::kNone, colours.result.fault) << colours.result.message;
  const size_t at = get<uint32_t>(colours.output, test::kLasPointOffset);
  EXPECT_EQ(7, colours.output[104]);
  EXPECT_EQ(65535, get<uint16_t>(colours.output, at + 30));
  EXPECT_EQ(128 * 257, get<uint16_t>(colours.output, at + 36 + 32));
  EXPECT_EQ(1, colours.output[at + 14] & 0x0f);  // return 1 of 1, with no return numbers given

  // Waveform packets point into a file of their own: they stay LAS.
  const Streamed waves = stream_bytes(test::las_bytes({3, 4, 0, false}, kPoints),
                                      CloudFormat::kPlyBinaryLittleEndian);
  EXPECT_EQ(StreamFault::kUnsupported, waves.result.fault);
  EXPECT_EQ("its points' waveform packets, which PLY cannot hold; write LAS instead",
            waves.result.message);
}

TEST(LasCloudTest, BadFilesSayWhatIsWrong) {
  const std::string good = test::las_bytes({2, 1, 0, false}, kPoints);
  std::string short_record = good, future = good, packed = good, no_scale = good;
  short_record[test::kLasRecordLength] = 19;
  future[25] = 5;
  packed[104] = 11;
  std::memset(&no_scale[131], 0, 8);
  const struct {
    std::string input;
    StreamFault fault;
    const char *message;
  } cases[] = {
      {good.substr(0, 200), StreamFault::kMalformed, "truncated: the file ends inside the LAS header"},
      {good.substr(0, good.size() - 3), StreamFault::kMalformed,
       "truncated: the file ends inside point 4 of 4"},
      {short_record, StreamFault::kMalformed,
       "point records of 19 bytes, fewer than format 1's 28"},
      {future, StreamFault::kUnsupported, "LAS 1.5 (versions 1.0 to 1.4 are read)"},
      {packed, StreamFault::kUnsupported, "point data record format 11 (0 to 10 are read)"},
      {no_scale, StreamFault::kMalformed,
       "the x scale or offset is not a positive and a finite number"},
  };
  for (const auto &each : cases) {
    const Streamed streamed = stream_bytes(each.input, CloudFormat::kLas);
    EXPECT_EQ(each.fault, streamed.result.fault) << each.message;
    EXPECT_EQ(each.message, streamed.result.message);
  }
}

// A GeoTIFF key directory of these keys (each's value held in the key).
std::string geokeys(const std::vector<std::pair<uint16_t, uint16_t>> &keys) {
  std::vector<uint16_t> words = {1, 1, 0, uint16_t(keys.size())};
  for (const auto &[key, value] : keys) {
    words.insert(words.end(), {key, 0, 1, value});
  }
  return std::string(reinterpret_cast<const char *>(words.data()), words.size() * 2);
}

TEST(LasCloudTest, TheCoordinateSystemNamesTheUnits) {
  using U = LengthUnit;
  constexpr uint16_t kKeys = 34735, kWkt = 2112;
  const std::string projected_feet =
      "PROJCS[\"x\",GEOGCS[\"g\",DATUM[\"d\",SPHEROID[\"s\",6378137,298.257]],"
      "UNIT[\"degree\",0.0174532925199433]],PARAMETER[\"false_easting\",1312335.958],"
      "UNIT[\"foot\",0.3048,AUTHORITY[\"EPSG\",\"9002\"]]]";
  const struct {
    const char *what;
    test::LasVlrs crs;
    U horizontal, height;
    bool geographic;
  } cases[] = {
      {"none", {}, U::kUnknown, U::kUnknown, false},
      {"WKT 1 in feet", {{kWkt, projected_feet}}, U::kFoot, U::kFoot, false},
      {"a compound system: metres across, US survey feet up (its factor wrong, its name right)",
       {{kWkt, "COMPD_CS[\"c\",PROJCS[\"p\",UNIT[\"metre\",1]],VERTCS[\"v\","
               "VERT_DATUM[\"d\",2005],UNIT[\"US survey foot\",1.0]]]"}},
       U::kMetre, U::kUsSurveyFoot, false},
      {"WKT 2: a parameter's metre is not the axes' unit, known by its factor",
       {{kWkt, "PROJCRS[\"p\",BASEGEOGCRS[\"g\",ANGLEUNIT[\"degree\",0.01745]],"
               "CONVERSION[\"c\",PARAMETER[\"False easting\",0,LENGTHUNIT[\"metre\",1]]],"
               "CS[Cartesian,2],AXIS[\"easting\",east,LENGTHUNIT[\"a \"\"foot\"\"\","
               "0.304800609601219]]]"}},
       U::kUsSurveyFoot, U::kUsSurveyFoot, false},
      {"GeoTIFF keys", {{kKeys, geokeys({{1024, 1}, {3076, 9002}, {4099, 9001}})}}, U::kFoot,
       U::kMetre, false},
      {"WKT over the keys", {{kKeys, geokeys({{3076, 9001}})}, {kWkt, projected_feet}}, U::kFoot,
       U::kFoot, false},
      {"geographic keys", {{kKeys, geokeys({{1024, 2}})}}, U::kUnknown, U::kUnknown, true},
      {"geographic WKT", {{kWkt, " GEOGCS[\"g\",UNIT[\"degree\",0.0174]]"}}, U::kUnknown,
       U::kUnknown, true},
      {"geographic WKT 2", {{kWkt, "GEOGCRS[\"g\",CS[ellipsoidal,2],ANGLEUNIT[\"degree\",0.017]]"}},
       U::kUnknown, U::kUnknown, true},
      {"a local system in feet", {{kWkt, "LOCAL_CS[\"site\",UNIT[\"unnamed\",0.3048]]"}},
       U::kFoot, U::kFoot, false},
      {"a US survey foot printed with 8 digits",
       {{kWkt, "PROJCS[\"p\",UNIT[\"Foot_US\",0.30480061]]"}}, U::kUsSurveyFoot,
       U::kUsSurveyFoot, false},
      {"an unnamed US survey foot of 8 digits",
       {{kWkt, "PROJCS[\"p\",UNIT[\"u\",0.30480061]]"}}, U::kUsSurveyFoot,
       U::kUsSurveyFoot, false},
      {"a unit of no known length", {{kWkt, "PROJCS[\"p\",UNIT[\"chain\",20.1168]]"}},
       U::kUnknown, U::kUnknown, false},
      {"broken WKT", {{kWkt, "PROJCS[\"p\",UNIT[\"foot"}}, U::kUnknown, U::kUnknown, false},
      {"WKT cut inside its number", {{kWkt, "LOCAL_CS[UNIT[\"x\",0.3"}}, U::kUnknown,
       U::kUnknown, false},
      {"keys cut short", {{kKeys, geokeys({{3076, 9002}}).substr(0, 12)}}, U::kUnknown,
       U::kUnknown, false},
  };
  for (const auto &each : cases) {
    const Streamed streamed =
        stream_bytes(test::las_bytes({2, 1, 0, false}, kPoints, each.crs), CloudFormat::kLas);
    ASSERT_EQ(StreamFault::kNone, streamed.result.fault) << each.what;
    EXPECT_EQ(each.horizontal, streamed.result.horizontal_unit) << each.what;
    EXPECT_EQ(each.height, streamed.result.height_unit) << each.what;
    EXPECT_EQ(each.geographic, streamed.result.geographic) << each.what;
  }
}

}  // namespace
}  // namespace levelling
