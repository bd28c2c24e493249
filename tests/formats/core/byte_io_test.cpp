#include "formats/core/byte_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace levelling {
namespace {

// Everything a reader gives, asked for in pieces of `piece` bytes.
std::string read_all(ByteReader *reader, size_t piece) {
  std::string bytes;
  const int64_t start = reader->offset();
  while (reader->fill(piece) > 0) {
    // The offset holds however the buffer was compacted to make the piece whole.
    EXPECT_EQ(start + int64_t(bytes.size()), reader->offset());
    const size_t n = std::min(piece, reader->available());
    bytes.append(reader->data(), n);
    reader->consume(n);
  }
  return bytes;
}

TEST(ByteIoTest, BufferedAndMappedReadersGiveTheSameBytesAndOffsets) {
  std::string bytes;
  for (int i = 0; i < 3000000; ++i) {
    bytes += char('a' + i % 26);
  }
  std::FILE *file = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  for (const size_t piece : {size_t(1), size_t(4096), size_t(3) << 20}) {
    std::rewind(file);
    ByteReader buffered(file);
    EXPECT_TRUE(bytes == read_all(&buffered, piece)) << piece;
    EXPECT_EQ(int64_t(bytes.size()), buffered.offset());
    EXPECT_TRUE(buffered.at_end());
    std::fseek(file, 5, SEEK_SET);
    std::unique_ptr<ByteReader> mapped(ByteReader::map_file(file));
    ASSERT_NE(nullptr, mapped);
    EXPECT_EQ(5, mapped->offset());
    EXPECT_TRUE(bytes.substr(5) == read_all(mapped.get(), piece)) << piece;
    EXPECT_EQ(int64_t(bytes.size()), mapped->offset());
    EXPECT_EQ(0, mapped->error());
  }
  // A piece longer than the buffer (1 MiB) is made whole.
  std::rewind(file);
  ByteReader reader(file);
  EXPECT_EQ(size_t(2) << 20, reader.fill(size_t(2) << 20));
  EXPECT_EQ(0, std::memcmp(bytes.data(), reader.data(), size_t(2) << 20));
  // A piece far longer than the stream (a size read from a damaged header) is what the stream
  // holds, with no buffer of the size asked for (a terabyte would end the program).
  EXPECT_EQ(bytes.size(), reader.fill(size_t(1) << 40));
  std::fclose(file);
  // Streams and empty files are not mapped.
  EXPECT_EQ(nullptr, ByteReader::map_file(stdin));
  std::FILE *empty = std::tmpfile();
  EXPECT_EQ(nullptr, ByteReader::map_file(empty));
  std::fclose(empty);
}

TEST(ByteIoTest, PatchedBytesLandWhereTheyWereWritten) {
  // 3 MiB written: the first two MiB handed to the file, the last still buffered; a patch in
  // each part lands at its place.
  std::FILE *file = std::tmpfile();
  std::fputs("before", file);  // the writer starts after what the stream already holds
  {
    ByteWriter writer(file);
    ASSERT_TRUE(writer.patchable());
    const std::string piece(size_t(1) << 20, 'a');
    for (int i = 0; i < 3; ++i) {
      writer.write(piece.data(), piece.size());
    }
    EXPECT_TRUE(writer.patch(writer.written() - 4, "CC", 2));  // still buffered
    EXPECT_TRUE(writer.patch(10, "BB", 2));  // in the file (the buffer goes there first)
    ASSERT_TRUE(writer.flush());
  }
  std::rewind(file);
  std::string bytes(6 + (size_t(3) << 20), '\0');
  ASSERT_EQ(bytes.size(), std::fread(&bytes[0], 1, bytes.size(), file));
  std::fclose(file);
  EXPECT_EQ("beforeaaaaaaaaaaBBaa", bytes.substr(0, 20));
  EXPECT_EQ("aaCCaa", bytes.substr(bytes.size() - 6));
}

TEST(ByteIoTest, WrittenBytesReachTheFileWhenFlushedAndErrorsStay) {
  std::FILE *file = std::tmpfile();
  ByteWriter writer(file);
  const std::string big(size_t(3) << 20, 'x');
  writer.write("head", 4);
  writer.write(big.data(), big.size());
  writer.write('!');
  ASSERT_TRUE(writer.flush());
  EXPECT_EQ(long(4 + big.size() + 1), std::ftell(file));
  // What reached the file is what was written, in its order.
  std::string back(4 + big.size() + 1, '\0');
  std::rewind(file);
  ASSERT_EQ(back.size(), std::fread(&back[0], 1, back.size(), file));
  EXPECT_TRUE(back == "head" + big + "!");
  std::fseek(file, 0, SEEK_END);
  writer.write("dropped", 7);
  writer.discard();
  ASSERT_TRUE(writer.flush());
  EXPECT_EQ(long(4 + big.size() + 1), std::ftell(file));
  std::fclose(file);

  std::FILE *full = std::fopen("/dev/full", "wb");
  ASSERT_NE(nullptr, full);
  {
    ByteWriter failing(full);
    failing.write(big.data(), big.size());
    EXPECT_FALSE(failing.flush());
    EXPECT_EQ(ENOSPC, failing.error());
    failing.write("more", 4);
    EXPECT_FALSE(failing.flush());
  }
  std::fclose(full);
  // A few bytes wait in the stream's own buffer: only its flush finds the disk full.
  full = std::fopen("/dev/full", "wb");
  ASSERT_NE(nullptr, full);
  {
    ByteWriter few(full);
    few.write("few", 3);
    EXPECT_FALSE(few.flush());
    EXPECT_EQ(ENOSPC, few.error());
  }
  std::fclose(full);
}

}  // namespace
}  // namespace levelling
