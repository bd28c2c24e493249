#include "formats/core/cloud_stream.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "formats/core/format_table.h"
#include "formats/core/input_file.h"
#include "formats/las/laz_file.h"
#include "formats/core/ply_types.h"

namespace levelling {

const char *cloud_format_name(CloudFormat format) { return encoding_of(format).report_name; }

CloudFamily family_of(CloudFormat format) { return row_of(format).family; }

const char *cloud_family_name(CloudFamily family) {
  // The family's first row names it ("LAS", before "LAZ").
  for (const FormatRow &row : format_table()) {
    if (row.stream != nullptr && row.family == family) {
      return row.name;
    }
  }
  return "?";
}

namespace {

// Each length unit's name and symbol, in the enumeration's order.
struct UnitWords {
  const char *name, *symbol;
};
constexpr UnitWords kUnitWords[] = {
    {"cloud units", "units"}, {"metres", "m"}, {"feet", "ft"}, {"US survey feet", "US ft"}};

}  // namespace

const char *length_unit_name(LengthUnit unit) { return kUnitWords[int(unit)].name; }

const char *length_unit_symbol(LengthUnit unit) { return kUnitWords[int(unit)].symbol; }

PlyEncoding ply_encoding_of(CloudFormat format) {
  switch (format) {
    case CloudFormat::kPlyBinaryLittleEndian:
      return PlyEncoding::kBinaryLittleEndian;
    case CloudFormat::kPlyBinaryBigEndian:
      return PlyEncoding::kBinaryBigEndian;
    default:
      break;
  }
  return PlyEncoding::kAscii;
}

std::string conversion_refusal(const StreamResult &read, CloudFormat format) {
  const CloudFamily from = family_of(read.format);
  const CloudFamily to = family_of(format);
  if (from == to) {
    return "";
  }
  const std::string to_name = cloud_family_name(to);
  const std::string write_instead = std::string("; write ") + cloud_family_name(from) + " instead";
  if (from == CloudFamily::kText && read.extra_columns) {
    return "has columns after x y z, which " + to_name + " output would lose" + write_instead;
  }
  if (from == CloudFamily::kPly && !read.other_element.empty()) {
    return "the element '" + read.other_element + "' has no place in " + to_name + write_instead;
  }
  if (!read.unconvertible.empty()) {
    return read.unconvertible + ", which " + to_name + " cannot hold" + write_instead;
  }
  return "";
}

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

// LAZ written: the cloud written as LAS into an anonymous temporary file, then encoded.
StreamResult stream_cloud_into_laz(std::FILE *in, const PointVisitor &visit,
                                   const StreamOptions &options) {
  StreamResult result;
  std::string error;
  std::FILE *las = anonymous_temporary_file(&error);
  if (las == nullptr) {
    result.fault = StreamFault::kWrite;
    result.message = "cannot write the LAS to compress: " + error;
    return result;
  }
  {
    ByteWriter writer(las);
    StreamOptions as_las = options;
    as_las.write.out = &writer;
    as_las.write.format = CloudFormat::kLas;
    as_las.write.las_point_wise = true;
    result = stream_cloud_as_read(in, visit, as_las);
    if (result.fault == StreamFault::kNone && !writer.flush()) {
      result.fault = StreamFault::kWrite;
      result.message = std::string("cannot write the LAS to compress: ") +
                       std::strerror(writer.error());
    }
    if (result.fault != StreamFault::kNone) {
      writer.discard();
    }
  }
  std::rewind(las);
  std::unique_ptr<ByteReader> mapped(result.fault == StreamFault::kNone ? ByteReader::map_file(las)
                                                                        : nullptr);
  if (result.fault == StreamFault::kNone) {
    const size_t size = mapped ? mapped->fill(SIZE_MAX) : 0;
    ByteReader *pages = mapped.get();
    size_t released = 0;
    const StreamFault fault = encode_laz_file(
        mapped ? mapped->data() : "", size, options.write.out,
        options.threads > 0 ? options.threads : laz_threads(), &error, LazChunking(),
        [pages, &released](size_t upto) {
          pages->release_range(released, upto);
          released = upto;
        });
    if (fault != StreamFault::kNone) {
      result.fault = fault;
      result.message = error;
    }
  }
  mapped.reset();
  std::fclose(las);
  return result;
}

}  // namespace

StreamResult stream_cloud(std::FILE *in, const PointVisitor &visit, const StreamOptions &options) {
  if (options.write.out != nullptr && options.write.format == CloudFormat::kLaz) {
    return stream_cloud_into_laz(in, visit, options);
  }
  return stream_cloud_as_read(in, visit, options);
}

}  // namespace levelling
