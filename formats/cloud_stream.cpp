#include "formats/cloud_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "formats/format_table.h"
#include "formats/ply_header.h"

namespace levelling {

const char *cloud_format_name(CloudFormat format) {
  switch (format) {
    case CloudFormat::kText:
      return "text";
    case CloudFormat::kPlyAscii:
      return "ply ascii";
    case CloudFormat::kPlyBinaryLittleEndian:
      return "ply binary_little_endian";
    case CloudFormat::kPlyBinaryBigEndian:
      return "ply binary_big_endian";
  }
  return "?";
}

PlyEncoding ply_encoding_of(CloudFormat format) {
  switch (format) {
    case CloudFormat::kPlyBinaryLittleEndian:
      return PlyEncoding::kBinaryLittleEndian;
    case CloudFormat::kPlyBinaryBigEndian:
      return PlyEncoding::kBinaryBigEndian;
    case CloudFormat::kText:
    case CloudFormat::kPlyAscii:
      break;
  }
  return PlyEncoding::kAscii;
}

std::string conversion_refusal(const StreamResult &read, CloudFormat format) {
  const bool from_text = read.format == CloudFormat::kText;
  const bool to_text = format == CloudFormat::kText;
  if (from_text && !to_text && read.extra_columns) {
    return "has columns after x y z, which PLY output would lose; write text instead";
  }
  if (!from_text && to_text && !read.other_element.empty()) {
    return "the element '" + read.other_element + "' has no place in a text cloud; write PLY";
  }
  return "";
}

StreamResult stream_cloud(std::FILE *in, const PointVisitor &visit, const StreamOptions &options) {
  // A regular file is read from memory where it can be mapped, a stream through a buffer.
  std::unique_ptr<ByteReader> mapped(ByteReader::map_file(in));
  std::unique_ptr<ByteReader> buffered(mapped ? nullptr : new ByteReader(in));
  ByteReader &reader = mapped ? *mapped : *buffered;
  StreamResult result;
  const size_t sniffed = reader.fill(kSniffBytes);
  const unsigned char *first = reinterpret_cast<const unsigned char *>(reader.data());
  const FormatRow *row = recognise_format(first, std::min(sniffed, kSniffBytes));
  if (row == nullptr) {
    result.fault = StreamFault::kUnsupported;
    result.message = "binary data of no point cloud format this program knows";
  } else if (row->stream == nullptr) {
    result.fault = StreamFault::kUnsupported;
    result.message = refusal_of(*row, true);
  } else {
    result = row->stream(&reader, visit, options);
  }
  // A failed read ends the input early; that, not what the parser made of the early end, is
  // the fault.
  if (reader.error() != 0) {
    result.fault = StreamFault::kRead;
    result.message = std::strerror(reader.error());
  }
  if (result.fault == StreamFault::kNone && options.out != nullptr && options.out->error() != 0) {
    result.fault = StreamFault::kWrite;
    result.message = std::strerror(options.out->error());
  }
  return result;
}

}  // namespace levelling
