#include "formats/stream_cloud.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "formats/format_table.h"
#include "formats/las/laz_file.h"

namespace levelling {

namespace {

StreamResult stream_cloud_as_read(std::FILE *in, const PointVisitor &visit,
                                  const StreamOptions &options) {
  // A regular file is read from memory where it can be mapped, a stream through a buffer.
  std::unique_ptr<ByteReader> mapped(ByteReader::map_file(in));
  if (!mapped && options.shortcuts.range_first > 0) {
    return StreamResult();  // (read, unranged, by the pass of the first half)
  }
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
  if (result.fault == StreamFault::kNone && options.write.out != nullptr &&
      options.write.out->error() != 0) {
    result.fault = StreamFault::kWrite;
    result.message = std::strerror(options.write.out->error());
  }
  return result;
}

// LAZ written: the cloud written as LAS into an encoder that codes its chunks as they come.
StreamResult stream_cloud_into_laz(std::FILE *in, const PointVisitor &visit,
                                   const StreamOptions &options) {
  LazEncoder encoder(options.write.out, options.threads > 0 ? options.threads : laz_threads());
  StreamResult result;
  {
    ByteWriter writer(&encoder);
    StreamOptions as_las = options;
    as_las.write.out = &writer;
    as_las.write.format = CloudFormat::kLas;
    as_las.write.row = &row_of(CloudFormat::kLas);
    as_las.write.las_point_wise = true;
    result = stream_cloud_as_read(in, visit, as_las);
    writer.flush();
  }
  std::string error;
  const StreamFault fault = encoder.finish(&error);
  // The encoder's fault before a write fault it caused; the reader's before an end it cut short.
  if (fault != StreamFault::kNone &&
      (result.fault == StreamFault::kNone || result.fault == StreamFault::kWrite)) {
    result.fault = fault;
    result.message = error;
  }
  return result;
}

}  // namespace

StreamResult stream_cloud(std::FILE *in, const PointVisitor &visit, const StreamOptions &options) {
  StreamOptions routed = options;
  routed.write.row = &row_of(options.write.format);
  if (options.write.out != nullptr && options.write.format == CloudFormat::kLaz) {
    return stream_cloud_into_laz(in, visit, routed);
  }
  return stream_cloud_as_read(in, visit, routed);
}

}  // namespace levelling
