#include "formats/core/cloud_stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "formats/core/number_text.h"
#include "formats/core/ply_types.h"
#include "formats/core/ply_values.h"
#include "tests/support/cloud_files.h"

namespace levelling {
namespace {

using test::Streamed;
using test::stream_bytes;

// A PLY file of `encoding`: vertices with x, y, z of `coordinate` type, normals, a colour and
// an intensity, then two faces (lists), each value distinct.
std::string ply_file(PlyEncoding encoding, PlyType coordinate, int vertices) {
  const bool big = encoding == PlyEncoding::kBinaryBigEndian;
  std::string text = std::string("ply\nformat ") + ply_encoding_name(encoding) +
                     " 1.0\ncomment made by a test\nobj_info kept too\nelement vertex " +
                     std::to_string(vertices) + "\n";
  const char *type = ply_type_name(coordinate);
  for (const char *name : {"x", "y", "z"}) {
    text += std::string("property ") + type + " " + name + "\n";
  }
  text += "property uchar red\nproperty float nx\nproperty float ny\nproperty float nz\n"
          "property ushort intensity\nelement face 2\n"
          "property list uchar int vertex_indices\nend_header\n";
  const auto put = [&](PlyType t, double v, bool last = false) {
    if (encoding == PlyEncoding::kAscii) {
      char token[kNumberTextSize];
      text.append(token, t == PlyType::kFloat64   ? format_number(v, token)
                         : t == PlyType::kFloat32 ? format_number(float(v), token)
                                                  : format_integer(int64_t(v), token));
      text += last ? "\n" : " ";
      return;
    }
    char bytes[8];
    store_ply_value(t, big, v, bytes);
    text.append(bytes, ply_type_size(t));
  };
  for (int i = 0; i < vertices; ++i) {
    put(coordinate, 0.5 * i);
    put(coordinate, 100.25 - i);
    put(coordinate, 3.0 + 0.125 * i);
    put(PlyType::kUint8, i % 256);
    put(PlyType::kFloat32, 0.0);
    put(PlyType::kFloat32, 0.6);
    put(PlyType::kFloat32, 0.8);
    put(PlyType::kUint16, 1000 + i, true);
  }
  put(PlyType::kUint8, 3);
  put(PlyType::kInt32, 0);
  put(PlyType::kInt32, 1);
  put(PlyType::kInt32, 2, true);
  put(PlyType::kUint8, 4);
  put(PlyType::kInt32, 0);
  put(PlyType::kInt32, 2);
  put(PlyType::kInt32, 3);
  put(PlyType::kInt32, 1, true);
  return text;
}

TEST(TextCloudTest, LinesComeBackAsTheyWereButForTheCoordinates) {
  // Comments, a header, blank lines, every separator, extra columns, CR LF and a last line
  // without its line end; the numbers already in their shortest form.
  const std::string input =
      "x y z r g b\n# scanned\n\n1.5 2 -0.25 10 20 30\n \t# indented\n  3,4,5\r\n6\t7 ,8 rest of "
      "line\n9 10 11";
  const Streamed same = stream_bytes(input, CloudFormat::kText);
  ASSERT_EQ(StreamFault::kNone, same.result.fault) << same.result.message;
  EXPECT_EQ(input, same.output);
  EXPECT_EQ(4, same.result.points);
  EXPECT_EQ((std::vector<double>{1.5, 3, 6, 9}), same.x);

  const Streamed shifted = stream_bytes(input, CloudFormat::kText, 0.5);
  EXPECT_EQ("x y z r g b\n# scanned\n\n2 2.5 0.25 10 20 30\n \t# indented\n  3.5,4.5,5.5\r\n6.5\t7.5 ,8.5 "
            "rest of line\n9.5 10.5 11.5",
            shifted.output);
  // Shortest digits that read back: georeferenced coordinates keep every digit.
  const Streamed far = stream_bytes("512345.6789012 4012345.123456 321.0001\n", CloudFormat::kText);
  EXPECT_EQ("512345.6789012 4012345.123456 321.0001\n", far.output);
}

TEST(TextCloudTest, LongCloudsComeBackWholeAndFaultsKeepTheirLineNumbers) {
  // Long enough to be parsed in halves side by side: the lines, their order and the line
  // numbers of a fault must be those of one reading from the top.
  std::string input = "# long\n";
  for (int i = 0; i < 120000; ++i) {
    input += std::to_string(i) + " " + std::to_string(i) + ".5 -" + std::to_string(i + 1) + " extra " +
             std::to_string(i % 7) + "\n";
  }
  const Streamed same = stream_bytes(input, CloudFormat::kText);
  ASSERT_EQ(StreamFault::kNone, same.result.fault) << same.result.message;
  EXPECT_EQ(120000, same.result.points);
  EXPECT_TRUE(input == same.output);
  EXPECT_EQ(119999.5, same.y.back());
  for (const int bad_line : {3, 40001, 60001, 119990}) {
    std::string broken = input;
    size_t at = 0;
    for (int line = 1; line < bad_line; ++line) {
      at = broken.find('\n', at) + 1;
    }
    broken.insert(at, "oops 1 2\n");
    const Streamed streamed = stream_bytes(broken, CloudFormat::kText);
    EXPECT_EQ("line " + std::to_string(bad_line) + ": 'oops' is not a number (x)",
              streamed.result.message);
  }
}

TEST(CloudStreamTest, BadInputSaysWhereAndWhy) {
  const std::string ply = "ply\nformat binary_little_endian 1.0\n";
  const std::string truncated = ply_file(PlyEncoding::kBinaryLittleEndian, PlyType::kFloat32, 4);
  const std::string lying = ply_file(PlyEncoding::kAscii, PlyType::kFloat64, 4);
  const std::string cases[][3] = {
      {"1 2 3\n4 5\n", "4", "line 2: expected three numbers x y z, found 2"},
      {"1 2 3\n4 five 6\n", "4", "line 2: 'five' is not a number (y)"},
      {"1 2 3\n4,,6\n", "4", "line 2: expected three numbers x y z, found 1"},
      {"1 2 3\n4 5 inf\n", "4", "line 2: z is not a finite number"},
      {truncated.substr(0, truncated.size() - 60), "4", "truncated: the file ends inside vertex 3 of 4"},
      {lying + "0 0 0 0 0 0 0 0\n", "4", "the file goes on after its last element"},
      {lying.substr(0, lying.size() - 12), "4", "line 21: too few values for face"},
      {ply + "element vertex 1\nproperty float x\nproperty float y\nend_header\n", "4",
       "the vertex element has no property z"},
      {ply + "element vertex 1\nproperty int x\nproperty int y\nproperty int z\nend_header\n",
       "5", "vertex property x is not float or double"},
      {ply + "element point 1\nproperty float x\nend_header\n", "4", "no vertex element"},
      {"ply\nformat binary 1.0\nend_header\n", "4", "header line 2: unknown encoding 'binary'"},
      {ply + "element vertex 1\nproperty flaot x\nend_header\n", "4",
       "header line 4: unknown property type"},
      {ply + "element vertex 2\n", "4", "the header ends before end_header"},
  };
  for (const auto &each : cases) {
    const bool ply_input = each[0].compare(0, 3, "ply") == 0;
    const Streamed streamed = stream_bytes(each[0], ply_input ? CloudFormat::kPlyAscii : CloudFormat::kText);
    const StreamFault fault = each[1] == "4" ? StreamFault::kMalformed : StreamFault::kUnsupported;
    EXPECT_EQ(fault, streamed.result.fault) << each[2];
    EXPECT_EQ(0u, streamed.result.message.find(each[2])) << streamed.result.message;
  }
}

TEST(PlyCloudTest, EveryEncodingComesThroughUnchangedAndConvertsExactly) {
  const PlyEncoding encodings[] = {PlyEncoding::kAscii, PlyEncoding::kBinaryLittleEndian,
                                   PlyEncoding::kBinaryBigEndian};
  const CloudFormat formats[] = {CloudFormat::kPlyAscii, CloudFormat::kPlyBinaryLittleEndian,
                                 CloudFormat::kPlyBinaryBigEndian};
  for (PlyType coordinate : {PlyType::kFloat32, PlyType::kFloat64}) {
    for (int from = 0; from < 3; ++from) {
      const std::string original = ply_file(encodings[from], coordinate, 300);
      const Streamed same = stream_bytes(original, formats[from]);
      ASSERT_EQ(StreamFault::kNone, same.result.fault) << same.result.message;
      EXPECT_TRUE(original == same.output) << from;
      EXPECT_EQ(300, same.result.points);
      EXPECT_TRUE(same.result.has_normals);
      EXPECT_EQ(0.8f, float(same.nz[7]));
      EXPECT_EQ(100.25 - 299, same.y.back());
      for (int to = 0; to < 3; ++to) {
        // There and back again: every value, the faces and the comments.
        const Streamed there = stream_bytes(original, formats[to]);
        const Streamed back = stream_bytes(there.output, formats[from]);
        EXPECT_TRUE(original == back.output) << from << " to " << to;
      }
    }
  }
  // A coordinate moved comes back moved, in the property's own type.
  const Streamed moved = stream_bytes(ply_file(PlyEncoding::kBinaryBigEndian, PlyType::kFloat64, 3),
                                CloudFormat::kPlyAscii, 0.25);
  EXPECT_NE(std::string::npos, moved.output.find("\n1.25 98.5 3.5 2 0 0.6 0.8 1002\n"))
      << moved.output;
}

TEST(PlyCloudTest, TextAndPlyConvertWhereNothingIsLost) {
  const Streamed ply = stream_bytes("1 2 3\n4.5 5 6\n7 8 9.25\n", CloudFormat::kPlyAscii, 0.0, 3);
  ASSERT_EQ(StreamFault::kNone, ply.result.fault) << ply.result.message;
  EXPECT_EQ(0u, ply.output.find("ply\nformat ascii 1.0\n"));
  EXPECT_NE(std::string::npos, ply.output.find("end_header\n1 2 3\n4.5 5 6\n7 8 9.25\n"));
  const Streamed text = stream_bytes(ply.output, CloudFormat::kText);
  EXPECT_EQ("# x y z\n1 2 3\n4.5 5 6\n7 8 9.25\n", text.output);

  const Streamed extra = stream_bytes("1 2 3 red\n", CloudFormat::kPlyBinaryLittleEndian, 0.0, 1);
  EXPECT_EQ(StreamFault::kUnsupported, extra.result.fault);
  const Streamed faces = stream_bytes(ply_file(PlyEncoding::kAscii, PlyType::kFloat32, 3),
                                CloudFormat::kText);
  EXPECT_EQ(StreamFault::kUnsupported, faces.result.fault);
  EXPECT_EQ("", faces.output);
}

}  // namespace
}  // namespace levelling

namespace levelling {
namespace {

// What a row expects: a fault (with the start of its message), or output holding `holds`.
struct Promise {
  const char *what;
  std::string input;
  CloudFormat to;
  StreamFault fault;
  std::string says;  // the message's start (a fault), or what the output holds
};

std::string big_endian_double(double value) {
  char bytes[8];
  store_ply_value(PlyType::kFloat64, true, value, bytes);
  return std::string(bytes, 8);
}

TEST(CloudStreamTest, PromisesOfTheFormatsAsTheyMeetAUser) {
  const std::string ascii = "ply\nformat ascii 1.0\n";
  const std::string binary = "ply\nformat binary_little_endian 1.0\n";
  const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
  char uint_bytes[4];
  store_ply_value(PlyType::kUint32, false, 3000000000.0, uint_bytes);
  char float_bytes[12];
  for (int k = 0; k < 3; ++k) {
    store_ply_value(PlyType::kFloat32, false, 1.0 + k, float_bytes + 4 * k);
  }
  const std::string one_vertex(float_bytes, 12);
  const Promise promises[] = {
      {"a CR LF header is read, and kept on a rewritten format line",
       "ply\r\nformat ascii 1.0\r\nelement vertex 1\r\nproperty float x\r\nproperty float y\r\n"
       "property float z\r\nend_header\r\n1 2 3\r\n",
       CloudFormat::kPlyBinaryLittleEndian, StreamFault::kNone,
       "ply\r\nformat binary_little_endian 1.0\r\nelement vertex 1\r\n"},
      {"an unsigned int above 2^31 survives",
       binary + "element vertex 1\n" + xyz + "property uint intensity\nend_header\n" +
           one_vertex + std::string(uint_bytes, 4),
       CloudFormat::kPlyAscii, StreamFault::kNone, "\n1 2 3 3000000000\n"},
      {"an ASCII integer out of its type's range",
       ascii + "element vertex 1\n" + xyz + "property uchar red\nend_header\n1 2 3 300\n",
       CloudFormat::kPlyAscii, StreamFault::kMalformed, "line 9: '300' is not a uchar (red)"},
      {"inf in an ASCII coordinate",
       ascii + "element vertex 1\n" + xyz + "end_header\ninf 2 3\n", CloudFormat::kPlyAscii,
       StreamFault::kMalformed, "line 8: x is not a finite number"},
      {"bytes after the last element",
       binary + "element vertex 1\n" + xyz + "end_header\n" + one_vertex + "x",
       CloudFormat::kPlyAscii, StreamFault::kMalformed,
       "the file goes on after its last element"},
      {"an empty element",
       ascii + "element vertex 1\n" + xyz + "element face 0\nproperty list uchar int vertex_index\n"
           "end_header\n1 2 3\n",
       CloudFormat::kText, StreamFault::kNone, "# x y z\n1 2 3\n"},
      {"normals before x y z, turned and converted",
       ascii + "element vertex 1\nproperty float nx\nproperty float ny\nproperty float nz\n" + xyz +
           "end_header\n0 0 1 1 2 3\n",
       CloudFormat::kPlyAscii, StreamFault::kNone, "end_header\n0 0 1 1 2 3\n"},
      {"big-endian output from text", "1 2 3\n", CloudFormat::kPlyBinaryBigEndian,
       StreamFault::kNone, "end_header\n" + big_endian_double(1) + big_endian_double(2)},
      {"+3 and 1e-400 are numbers", "+3 1e-400 5\n", CloudFormat::kText, StreamFault::kNone,
       "3 0 5\n"},
      {"an indented comment is a comment", "  # scanned\n1 2 3\n", CloudFormat::kText,
       StreamFault::kNone, "  # scanned\n1 2 3\n"},
      {"two header lines", "x y z\nr g b\n1 2 3\n", CloudFormat::kText, StreamFault::kMalformed,
       "line 2: 'r' is not a number (x)"},
      {"an ASCII face with too few items, converted",
       ascii + "element vertex 1\n" + xyz + "element face 1\nproperty list uchar int vertex_index\n"
           "end_header\n1 2 3\n3 0 1\n",
       CloudFormat::kPlyBinaryLittleEndian, StreamFault::kMalformed,
       "line 11: too few values for face"},
      {"a one-character extra column cannot become PLY", "1 2 3 a\n",
       CloudFormat::kPlyBinaryLittleEndian, StreamFault::kUnsupported,
       "line 1: has columns after x y z"},
  };
  for (const Promise &promise : promises) {
    const Streamed streamed = stream_bytes(promise.input, promise.to, 0.0, 1);
    EXPECT_EQ(promise.fault, streamed.result.fault)
        << promise.what << ": " << streamed.result.message;
    if (promise.fault == StreamFault::kNone) {
      EXPECT_NE(std::string::npos, streamed.output.find(promise.says))
          << promise.what << ":\n" << streamed.output;
    } else {
      EXPECT_EQ(0u, streamed.result.message.find(promise.says))
          << promise.what << ": " << streamed.result.message;
    }
  }
  // Normals read in any order are handed on as normals, and coordinates as coordinates.
  const Streamed normals = stream_bytes(promises[6].input, CloudFormat::kPlyAscii, 0.5, 1);
  EXPECT_EQ(std::vector<double>{1.0}, normals.nz);
  EXPECT_EQ(std::vector<double>{1.0}, normals.x);
  EXPECT_NE(std::string::npos, normals.output.find("\n0 0 1 1.5 2.5 3.5\n")) << normals.output;
}

}  // namespace
}  // namespace levelling
