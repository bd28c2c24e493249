// PLY headers as other tools write them (both spellings of the types, comments and obj_info
// anywhere, CR LF), their binary layout, and the faults a header can have, each said with its
// line.
#include "formats/ply/ply_header.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/cloud_files.h"

namespace levelling {
namespace {

bool read_header(const std::string &text, PlyHeader *header, std::string *error) {
  test::TemporaryFile file(text + "binary data after the header");
  ByteReader reader(file.stream);
  return read_ply_header(&reader, header, error);
}

TEST(PlyHeaderTest, HeadersOfOtherToolsGiveTheirLayout) {
  // As CloudCompare, Open3D and the splat trainers write them: old and new type names.
  const std::string header_text =
      "ply\r\nformat binary_little_endian 1.0\r\ncomment written elsewhere\r\n"
      "element vertex 3\r\nproperty float32 x\r\nproperty float y\r\nproperty double z\r\n"
      "obj_info anywhere\r\nproperty uchar red\r\nproperty int16 intensity\r\n"
      "element face 1\r\nproperty list uint8 int32 vertex_indices\r\nend_header\r\n";
  PlyHeader header;
  std::string error;
  ASSERT_TRUE(read_header(header_text, &header, &error)) << error;
  EXPECT_EQ(PlyEncoding::kBinaryLittleEndian, header.encoding);
  EXPECT_EQ(header_text.size(), header.size);
  ASSERT_EQ(2u, header.elements.size());
  const PlyElement &vertex = header.elements[0];
  EXPECT_EQ(3, vertex.count);
  EXPECT_EQ(2, vertex.find("z"));
  EXPECT_EQ(4u + 4 + 8 + 1 + 2, vertex.fixed_size);
  EXPECT_EQ((std::vector<size_t>{0, 4, 8, 16, 17}), vertex.offsets);
  EXPECT_EQ(0u, header.elements[1].fixed_size);  // a list: records of no fixed size
  // Written again in another encoding, only the format line changes.
  std::string ascii = header_text;
  ascii.replace(ascii.find("binary_little_endian"), 20, "ascii");
  EXPECT_EQ(ascii, ply_header_text(header, PlyEncoding::kAscii));
}

TEST(PlyHeaderTest, FaultsSayTheirLine) {
  const std::string start = "ply\nformat ascii 1.0\n";
  const struct {
    std::string text;
    const char *error;
  } cases[] = {
      {"plx\n", "the file does not start with \"ply\""},
      {"ply\nformat ascii\nend_header\n", "header line 2: expected \"format <encoding> 1.0\""},
      {"ply\nformat utf8 1.0\nend_header\n", "header line 2: unknown encoding 'utf8'"},
      {start + "property float x\nend_header\n", "header line 3: a property before any element"},
      {start + "element vertex -1\nend_header\n",
       "header line 3: expected \"element <name> <count>\" with a count of 0 or more"},
      {start + "element vertex 1\nproperty flaot x\nend_header\n",
       "header line 4: unknown property type in 'property flaot x'"},
      {start + "element vertex 1\nproperty float x\nproperty float x\nend_header\n",
       "header line 5: a second property 'x' in element 'vertex'"},
      {start + "element face 1\nproperty list float int v\nend_header\n",
       "header line 4: a list count must be an integer type"},
      {start + "element vertex 1\nelement vertex 2\nend_header\n",
       "header line 4: a second element 'vertex'"},
      {start + "bogus line\nend_header\n", "header line 3: unknown keyword 'bogus'"},
  };
  for (const auto &each : cases) {
    PlyHeader header;
    std::string error;
    EXPECT_FALSE(read_header(each.text, &header, &error)) << each.text;
    EXPECT_EQ(each.error, error) << each.text;
  }
}

}  // namespace
}  // namespace levelling
