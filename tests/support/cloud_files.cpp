#include "tests/support/cloud_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <lzf.h>

#include <cstring>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/moved_fields.h"
#include "formats/core/number_text.h"
#include "formats/core/ply_values.h"
#include "formats/las/laz_file.h"
#include "formats/stream_cloud.h"

namespace levelling::test {

std::string ply_bytes(PlyEncoding encoding, const std::vector<Column> &columns,
                      const std::string &extra_header, const std::string &extra_data) {
  const size_t n = columns.empty() ? 0 : columns[0].values.size();
  std::string bytes = std::string("ply\nformat ") + ply_encoding_name(encoding) +
                      " 1.0\nelement vertex " + std::to_string(n) + "\n";
  for (const Column &column : columns) {
    bytes += std::string("property ") + ply_type_name(column.type) + " " + column.name + "\n";
  }
  bytes += extra_header + "end_header\n";
  const bool big = encoding == PlyEncoding::kBinaryBigEndian;
  for (size_t i = 0; i < n; ++i) {
    for (size_t c = 0; c < columns.size(); ++c) {
      const Column &column = columns[c];
      if (encoding == PlyEncoding::kAscii) {
        char token[kNumberTextSize];
        const double value = column.values[i];
        const size_t length = column.type == PlyType::kFloat64   ? format_number(value, token)
                              : column.type == PlyType::kFloat32 ? format_number(float(value), token)
                                                                 : format_integer(int64_t(value), token);
        bytes.append(token, length);
        bytes += c + 1 < columns.size() ? " " : "\n";
      } else {
        char raw[8];
        store_ply_value(column.type, big, column.values[i], raw);
        bytes.append(raw, ply_type_size(column.type));
      }
    }
  }
  return bytes + extra_data;
}

std::string text_bytes(const std::vector<Column> &columns, const std::string &header) {
  std::string bytes = header;
  const size_t n = columns.empty() ? 0 : columns[0].values.size();
  for (size_t i = 0; i < n; ++i) {
    for (size_t c = 0; c < columns.size(); ++c) {
      char token[kNumberTextSize];
      bytes.append(token, format_number(columns[c].values[i], token));
      bytes += c + 1 < columns.size() ? " " : "\n";
    }
  }
  return bytes;
}

std::string pcd_bytes(const std::string &data, const std::vector<Column> &columns,
                      int64_t height, const std::string &viewpoint) {
  const size_t n = columns.empty() ? 0 : columns[0].values.size();
  std::string names, sizes, types, counts;
  for (size_t c = 0; c < columns.size(); ++c) {
    const Column &column = columns[c];
    if (c > 0 && columns[c - 1].name == column.name) {
      continue;
    }
    size_t count = 1;
    while (c + count < columns.size() && columns[c + count].name == column.name) {
      ++count;
    }
    const bool is_float = column.type == PlyType::kFloat32 || column.type == PlyType::kFloat64;
    const bool is_signed = column.type == PlyType::kInt8 || column.type == PlyType::kInt16 ||
                           column.type == PlyType::kInt32;
    names += " " + column.name;
    sizes += " " + std::to_string(ply_type_size(column.type));
    types += is_float ? " F" : is_signed ? " I" : " U";
    counts += " " + std::to_string(count);
  }
  std::string bytes = "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS" + names +
                      "\nSIZE" + sizes + "\nTYPE" + types + "\nCOUNT" + counts + "\nWIDTH " +
                      std::to_string(int64_t(n) / height) + "\nHEIGHT " + std::to_string(height) +
                      "\nVIEWPOINT " + viewpoint + "\nPOINTS " + std::to_string(n) + "\nDATA " +
                      data + "\n";
  const auto binary = [&](size_t i, size_t c) {
    char value[8];
    store_ply_value(columns[c].type, false, columns[c].values[i], value);
    return std::string(value, ply_type_size(columns[c].type));
  };
  if (data == "ascii") {
    for (size_t i = 0; i < n; ++i) {
      for (size_t c = 0; c < columns.size(); ++c) {
        char token[kNumberTextSize];
        const double value = columns[c].values[i];
        const PlyType type = columns[c].type;
        bytes.append(token, type == PlyType::kFloat64   ? format_number(value, token)
                            : type == PlyType::kFloat32 ? format_number(float(value), token)
                                                        : format_integer(int64_t(value), token));
        bytes += c + 1 < columns.size() ? " " : "\n";
      }
    }
  } else if (data == "binary") {
    for (size_t i = 0; i < n; ++i) {
      for (size_t c = 0; c < columns.size(); ++c) {
        bytes += binary(i, c);
      }
    }
  } else {
    // Field after field (a field's values of a point together), LZF-compressed, after the
    // compressed and raw sizes.
    std::string raw;
    for (size_t c = 0; c < columns.size();) {
      size_t count = 1;
      while (c + count < columns.size() && columns[c + count].name == columns[c].name) {
        ++count;
      }
      for (size_t i = 0; i < n; ++i) {
        for (size_t v = 0; v < count; ++v) {
          raw += binary(i, c + v);
        }
      }
      c += count;
    }
    std::string compressed(raw.size() * 2 + 64, '\0');
    const uint32_t sizes_of[2] = {
        raw.empty() ? 0u
                    : lzf_compress(raw.data(), unsigned(raw.size()), &compressed[0],
                                   unsigned(compressed.size())),
        uint32_t(raw.size())};
    bytes.append(reinterpret_cast<const char *>(sizes_of), sizeof sizes_of);
    bytes.append(compressed.data(), sizes_of[0]);
  }
  return bytes;
}

namespace {

template <typename T>
void put_at(std::string *bytes, size_t at, T value) {
  std::memcpy(&(*bytes)[at], &value, sizeof value);
}

}  // namespace

std::string las_bytes(const LasLayout &layout, const std::vector<std::array<int32_t, 3>> &xyz,
                      const LasVlrs &crs) {
  const size_t minimum[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
  const size_t wave_at[] = {0, 0, 0, 0, 28, 34, 0, 0, 0, 30, 38};  // 0: no waveform
  const size_t header = layout.minor >= 4 ? 375 : layout.minor == 3 ? 235 : 227;
  const size_t record = minimum[layout.format] + layout.extra;
  // VLRs: an extra bytes VLR describing the first two extra bytes, and one of another kind.
  std::string vlrs;
  const auto vlr = [&](const char *user, uint16_t id, const std::string &payload) {
    std::string head(54, '\0');
    std::memcpy(&head[2], user, std::strlen(user));
    put_at<uint16_t>(&head, 18, id);
    put_at<uint16_t>(&head, 20, uint16_t(payload.size()));
    std::memcpy(&head[22], "made by a test", 14);
    vlrs += head + payload;
  };
  if (layout.extra >= 2) {
    std::string descriptor(192, '\0');
    descriptor[2] = 4;  // a short
    std::memcpy(&descriptor[4], "temperature", 11);
    vlr("LASF_Spec", 4, descriptor);
  }
  vlr("a_test", 7, "a test's own record");
  for (const auto &[id, payload] : crs) {
    vlr("LASF_Projection", id, payload);
  }
  std::string bytes(header, '\0');
  std::memcpy(&bytes[0], "LASF", 4);
  bytes[24] = 1;
  bytes[25] = char(layout.minor);
  std::memcpy(&bytes[26], "a test", 6);
  put_at<uint16_t>(&bytes, 94, uint16_t(header));
  put_at<uint32_t>(&bytes, 96, uint32_t(header + vlrs.size()));
  put_at<uint32_t>(&bytes, 100, uint32_t((layout.extra >= 2 ? 2 : 1) + crs.size()));
  bytes[104] = char(layout.format);
  put_at<uint16_t>(&bytes, 105, uint16_t(record));
  put_at<uint32_t>(&bytes, 107, layout.format >= 6 ? 0u : uint32_t(xyz.size()));
  put_at<uint32_t>(&bytes, 111, uint32_t(xyz.size()));  // all first returns
  for (int k = 0; k < 3; ++k) {
    put_at<double>(&bytes, 131 + 8 * size_t(k), kLasScale);
    put_at<double>(&bytes, 155 + 8 * size_t(k), kLasOffset[k]);
  }
  if (layout.minor >= 4) {
    put_at<uint64_t>(&bytes, 247, uint64_t(xyz.size()));
    put_at<uint64_t>(&bytes, 255, uint64_t(xyz.size()));
  }
  bytes += vlrs;
  for (size_t i = 0; i < xyz.size(); ++i) {
    std::string point(record, '\0');
    for (size_t b = 12; b < record; ++b) {
      point[b] = char(1 + (i * 7 + b) % 250);
    }
    for (int k = 0; k < 3; ++k) {
      put_at<int32_t>(&point, 4 * size_t(k), xyz[i][size_t(k)]);
    }
    if (wave_at[layout.format] > 0) {
      const float direction[3] = {0.0f, 0.6f, 0.8f};
      std::memcpy(&point[wave_at[layout.format] + 17], direction, sizeof direction);
    }
    bytes += point;
  }
  if (layout.evlr && layout.minor >= 4) {
    put_at<uint64_t>(&bytes, 235, uint64_t(bytes.size()));
    put_at<uint32_t>(&bytes, 243, 1u);
    std::string evlr(60, '\0');
    std::memcpy(&evlr[2], "a_test", 6);
    put_at<uint64_t>(&evlr, 20, 5u);
    bytes += evlr + "after";
  }
  return bytes;
}

std::string with_scanner_attributes(std::string las, uint32_t seed) {
  std::mt19937 random(seed);
  const auto draw = [&](uint32_t n) { return uint32_t(random() % n); };
  const auto chance = [&](double p) { return std::uniform_real_distribution<>(0, 1)(random) < p; };
  const size_t first = get<uint32_t>(las.data(), kLasPointOffset);
  const size_t record = get<uint16_t>(las.data(), kLasRecordLength);
  const unsigned format = unsigned(las[104]) & 0x3Fu;
  const bool layered = format >= 6;
  const size_t base = layered ? (format == 6 ? 30 : format == 7 ? 36 : 38)
                              : (format == 0 ? 20 : format == 1 ? 28 : format == 2 ? 26 : 34);
  const size_t count = las_records(las).size() / record;
  unsigned channel = 0, run = 0, returns = 1, number = 1;
  double time = 320000.0;
  int angle = 0;
  uint16_t source = 11, colour[4] = {};
  std::string extra(record - base, '\0');
  for (size_t i = 0; i < count; ++i) {
    char *p = &las[first + i * record];
    if (run == 0) {
      const unsigned usual[] = {0, 1, 0, 1, 2, 3};
      channel = chance(0.9) ? usual[draw(6)] : draw(4);
      const unsigned runs[] = {1, 1, 2, 3, 5, 8, 20};
      run = runs[draw(7)];
    }
    --run;
    if (number >= returns) {
      const unsigned pulses[] = {1, 1, 1, 2, 3, 4};
      returns = pulses[draw(6)];
      number = 1;
      time += chance(0.02) ? 1800.0 : chance(0.5) ? 1e-5 : 2e-5;  // a flight line, or a pulse
    } else {
      ++number;
    }
    if (chance(0.1)) {
      angle = int(draw(61)) - 30;
    }
    if (chance(0.05)) {
      source = uint16_t(11 + draw(3));
    }
    if (chance(0.6)) {
      for (uint16_t &c : colour) {
        c = uint16_t(draw(65536));
      }
    }
    for (char &e : extra) {
      if (chance(0.3)) {
        e = char(draw(256));
      }
    }
    put(p, 12, uint16_t(draw(65536)));  // intensity
    const uint8_t classes[] = {1, 2, 2, 2, 5, 6};
    if (layered) {
      p[14] = char(number | (returns << 4));
      const uint8_t flags[] = {0, 0, 1, 8};
      p[15] = char(flags[draw(4)] | (channel << 4) | (draw(2) << 6));
      p[16] = char(classes[draw(6)]);
      p[17] = char(chance(0.9) ? 0 : 7);
      put(p, 18, int16_t(angle * 100));
      put(p, 20, source);
      put(p, 22, time + channel * 0.25);
      for (size_t k = 0; k < (format == 8 ? 4u : format == 7 ? 3u : 0u); ++k) {
        put(p, 30 + 2 * k, colour[k]);
      }
    } else {
      p[14] = char(number | (returns << 3) | (draw(2) << 6));
      p[15] = char(classes[draw(6)]);
      p[16] = char(angle);
      p[17] = char(chance(0.9) ? 0 : 7);
      put(p, 18, source);
      if (format == 1 || format == 3) {
        put(p, 20, time);
      }
      for (size_t k = 0; k < (format >= 2 ? 3u : 0u); ++k) {
        put(p, (format == 2 ? 20 : 28) + 2 * k, colour[k]);
      }
    }
    std::copy(extra.begin(), extra.end(), p + base);
  }
  return las;
}

std::string encode_laz(const std::string &las, uint32_t chunk_points, bool variable,
                       int threads) {
  TemporaryFile out;
  std::string message;
  {
    ByteWriter writer(out.stream);
    EXPECT_EQ(StreamFault::kNone, encode_laz_file(las.data(), las.size(), &writer, threads,
                                                  &message, {chunk_points, variable}))
        << message;
    writer.flush();
  }
  return out.contents();
}

std::string decode_laz(const std::string &laz) {
  TemporaryFile out;
  std::string message, dropped;
  {
    ByteWriter writer(out.stream);
    EXPECT_EQ(StreamFault::kNone,
              decode_laz_file(laz.data(), laz.size(), &writer, 2, &dropped, &message))
        << message;
    writer.flush();
  }
  return out.contents();
}

std::string las_records(const std::string &las) {
  if (las.size() < kLasHeader12) {
    return "";
  }
  const size_t first = get<uint32_t>(las.data(), kLasPointOffset);
  const size_t record = get<uint16_t>(las.data(), kLasRecordLength);
  uint64_t count = get<uint32_t>(las.data(), kLasLegacyCount);
  if (las[25] >= 4 && las.size() >= kLasHeader14) {
    count = get<uint64_t>(las.data(), kLasCount14);
  }
  return las.substr(std::min(first, las.size()), size_t(count) * record);
}

TemporaryFile::TemporaryFile(const std::string &bytes) : stream(std::tmpfile()) {
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::rewind(stream);
}

TemporaryFile::~TemporaryFile() { std::fclose(stream); }

std::string TemporaryFile::contents() {
  std::fflush(stream);
  std::rewind(stream);
  std::string bytes;
  char piece[4096];
  for (size_t got; (got = std::fread(piece, 1, sizeof piece, stream)) > 0;) {
    bytes.append(piece, got);
  }
  return bytes;
}

std::string stream_through(const std::string &input, CloudFormat format,
                           const StreamOptions &options, const PointVisitor &visit,
                           StreamResult *result) {
  TemporaryFile in(input), out;
  {
    ByteWriter writer(out.stream);
    StreamOptions writing = options;
    writing.write.out = &writer;
    writing.write.format = format;
    *result = stream_cloud(in.stream, visit, writing);
    writer.flush();
  }
  return out.contents();
}

Streamed stream_bytes(const std::string &input, CloudFormat format, double shift, int64_t points,
                      const StreamOptions &options) {
  Streamed streamed;
  StreamOptions counted = options;
  counted.write.points = points;
  streamed.output = stream_through(
      input, format, counted,
      [&](PointBlock *block) {
        for (size_t i = 0; i < block->count; ++i) {
          streamed.x.push_back(block->x[i]);
          streamed.y.push_back(block->y[i]);
          streamed.z.push_back(block->z[i]);
          if (block->has_normals) {
            streamed.nz.push_back(block->nz[i]);
          }
          block->x[i] += shift;
          block->y[i] += shift;
          block->z[i] += shift;
        }
      },
      &streamed.result);
  return streamed;
}

std::string stream_moved(const std::string &input, CloudFormat format,
                         const double (&motion)[4][4], StreamResult *result,
                         std::vector<std::array<double, 3>> *moved) {
  StreamOptions options;
  options.write.motion = motion;
  std::vector<size_t> empties;
  std::vector<double> kept;
  return stream_through(
      input, format, options,
      [&](PointBlock *block) {
        move_block(motion, block, &empties, &kept);
        for (size_t i = 0; moved != nullptr && i < block->count; ++i) {
          moved->push_back({block->x[i], block->y[i], block->z[i]});
        }
      },
      result);
}

std::vector<Column> xyz_columns(const std::vector<double> &x, const std::vector<double> &y,
                                const std::vector<double> &z) {
  return {{"x", PlyType::kFloat64, x}, {"y", PlyType::kFloat64, y}, {"z", PlyType::kFloat64, z}};
}

std::string fresh_test_folder(const std::string &prefix) {
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::replace(name.begin(), name.end(), '/', '_');
  const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) /
                                       (prefix + "_" + name + "_" + std::to_string(getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder.string();
}

void write_bytes(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_bytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

CloudPointsRead read_cloud_points(const std::string &path) {
  CloudPointsRead read;
  std::FILE *in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    read.error = "cannot open " + path;
    return read;
  }
  const StreamResult result = stream_cloud(
      in,
      [&](PointBlock *block) {
        read.x.insert(read.x.end(), block->x.begin(), block->x.begin() + long(block->count));
        read.y.insert(read.y.end(), block->y.begin(), block->y.begin() + long(block->count));
        read.z.insert(read.z.end(), block->z.begin(), block->z.begin() + long(block->count));
      },
      StreamOptions());
  std::fclose(in);
  if (result.fault != StreamFault::kNone) {
    read.error = result.message;
  }
  return read;
}

}  // namespace levelling::test
