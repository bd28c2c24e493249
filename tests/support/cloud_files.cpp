#include "tests/support/cloud_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "formats/byte_io.h"
#include "formats/cloud_stream.h"
#include "formats/number_text.h"
#include "formats/ply_values.h"

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
