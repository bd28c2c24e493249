#include "formats/format_table.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace levelling {
namespace {

const FormatRow *recognised(const std::string &bytes) {
  return recognise_format(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

TEST(FormatTableTest, FirstBytesSayWhatAFileIs) {
  std::string las(200, '\0');
  las.replace(0, 4, "LASF");
  las[104] = 3;
  std::string laz = las;
  laz[104] = char(0x83);
  std::string ptx = "3\n2\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n";
  const struct {
    std::string bytes;
    const char *name;  // nullptr: no format
  } cases[] = {
      {"ply\nformat ascii 1.0\n", "PLY"},
      {"ply\r\nformat ascii 1.0\r\n", "PLY"},
      {"1 2 3\n4 5 6\n", "text"},
      {"\xef\xbb\xbfx y z\n1 2 3\n", "text"},
      {"", "text"},
      {las, "LAS"},
      {laz, "LAZ"},
      {"# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\n", "PCD"},
      {"VERSION .7\nFIELDS x y z\n", "PCD"},
      {"ASTM-E57\0\0\0\0", "E57"},
      {ptx, "PTX"},
      {std::string("\x1f\x8b\x08\0", 4), "gzip"},
      {"PK\x03\x04rest", "zip"},
      {std::string("\xfd" "7zXZ\0", 6), "xz"},
      {"BZh91AY", "bzip2"},
      {"\x28\xb5\x2f\xfd", "zstd"},
      {std::string("\x01\x02\0\x03", 4), nullptr},
      {"plyx\n", "text"},
  };
  for (const auto &each : cases) {
    const FormatRow *row = recognised(each.bytes);
    if (each.name == nullptr) {
      EXPECT_EQ(nullptr, row) << each.bytes;
    } else {
      ASSERT_NE(nullptr, row) << each.name;
      EXPECT_STREQ(each.name, row->name);
    }
  }
}

TEST(FormatTableTest, NamesGiveTheFormatByTheirExtension) {
  const struct {
    const char *name;
    bool has_extension;
    const char *format;  // nullptr: none
  } cases[] = {{"out.ply", true, "PLY"},  {"OUT.PLY", true, "PLY"},  {"a.b/out.xyz", true, "text"},
               {"out.csv", true, "text"}, {"out.las", true, "LAS"},  {"out.LAZ", true, "LAZ"},  {"out.ptx", true, "PTX"},
               {"out.E57", true, "E57"},  {"out.dat", true, nullptr},
               {"out", false, nullptr},   {"-", false, nullptr},     {"/dev/null", false, nullptr},
               {"dir.v2/out", false, nullptr}, {".hidden", false, nullptr}};
  for (const auto &each : cases) {
    bool has_extension = false;
    const FormatRow *row = format_of_name(each.name, &has_extension);
    EXPECT_EQ(each.has_extension, has_extension) << each.name;
    if (each.format == nullptr) {
      EXPECT_EQ(nullptr, row) << each.name;
    } else {
      ASSERT_NE(nullptr, row) << each.name;
      EXPECT_STREQ(each.format, row->name);
    }
  }
  EXPECT_EQ(".ply .ptx .xyz .txt .csv .pts .asc .pcd .las .laz .e57", readable_extensions());
}

TEST(FormatTableTest, OutputChoicesKeepAnEncodingOnlyWithinTheirFamily) {
  std::map<std::string, OutputChoice> options;
  for (const auto &each : output_format_options()) {
    EXPECT_TRUE(options.emplace(each).second) << "twice: " << each.first;
  }
  bool has_extension = false;
  const struct {
    const char *option;  // a --format value, or an output's name
    CloudFormat input, written;
  } cases[] = {
      {"auto", CloudFormat::kPcdAscii, CloudFormat::kPcdAscii},
      {"ply", CloudFormat::kPlyBinaryBigEndian, CloudFormat::kPlyBinaryBigEndian},
      {"ply", CloudFormat::kPcdAscii, CloudFormat::kPlyBinaryLittleEndian},
      {"ply-ascii", CloudFormat::kPlyBinaryBigEndian, CloudFormat::kPlyAscii},
      {"pcd", CloudFormat::kPcdBinaryCompressed, CloudFormat::kPcdBinaryCompressed},
      {"pcd", CloudFormat::kText, CloudFormat::kPcdBinary},
      {"pcd-binary-compressed", CloudFormat::kLas, CloudFormat::kPcdBinaryCompressed},
      {"las", CloudFormat::kLaz, CloudFormat::kLas},
      {"laz", CloudFormat::kLas, CloudFormat::kLaz},
      {"text", CloudFormat::kPlyAscii, CloudFormat::kText},
      {"out.ply", CloudFormat::kPlyAscii, CloudFormat::kPlyAscii},
      {"out.pcd", CloudFormat::kLas, CloudFormat::kPcdBinary},
      {"out.las", CloudFormat::kLaz, CloudFormat::kLas},
      {"out.laz", CloudFormat::kLas, CloudFormat::kLaz},
      {"out.csv", CloudFormat::kPlyBinaryLittleEndian, CloudFormat::kText},
  };
  for (const auto &each : cases) {
    const FormatRow *named = format_of_name(each.option, &has_extension);
    const bool by_name = named != nullptr;
    ASSERT_TRUE(by_name || options.count(each.option) == 1) << each.option;
    const OutputChoice choice = by_name ? output_choice_of(*named) : options.at(each.option);
    EXPECT_EQ(each.written, output_format(choice, each.input))
        << each.option << " from " << cloud_format_name(each.input);
  }
  // Every format written has its name in reports, and its family's name is its first row's.
  EXPECT_STREQ("pcd binary_compressed", cloud_format_name(CloudFormat::kPcdBinaryCompressed));
  EXPECT_STREQ("LAS", cloud_family_name(family_of(CloudFormat::kLaz)));
}

}  // namespace
}  // namespace levelling
