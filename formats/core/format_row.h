// A row of the format table (formats/format_table.h): what the program knows of one format,
// its names, how it is recognised, its reader and writer. The families' code reads the rows of
// its input and output through the stream's options, never the table itself.
#ifndef LEVELLING_FORMATS_CORE_FORMAT_ROW_H
#define LEVELLING_FORMATS_CORE_FORMAT_ROW_H

#include <cstddef>
#include <memory>
#include <vector>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"

namespace levelling {

// Bytes looked at to recognise a format.
constexpr size_t kSniffBytes = 4096;

using CloudStreamer = StreamResult (*)(ByteReader *in, const PointVisitor &visit,
                                       const StreamOptions &options);
class CloudWriter;  // formats/core/cloud_writer.h
using CloudWriterMaker = std::unique_ptr<CloudWriter> (*)(CloudFormat format, ByteWriter *out,
                                                          const StreamOptions &options);

// One encoding of a format read and written: its CloudFormat, its name in reports, its
// --format value, and the word its header names it by (nullptr where the format has one
// encoding).
struct FormatEncoding {
  CloudFormat format;
  const char *report_name;  // "ply binary_little_endian"
  const char *option;       // "ply-binary"
  const char *header_word;  // "binary_little_endian"
};

struct FormatRow {
  const char *name;        // as messages say it: "text", "PLY", "LAS"...
  const char *extensions;  // lower case, blank-separated: ".xyz .txt"; "" for none
  // True when the first bytes (n of them, up to kSniffBytes) are this format's.
  bool (*recognise)(const unsigned char *bytes, size_t n);
  CloudStreamer stream;    // nullptr: recognised, but neither read nor written
  CloudWriterMaker write;  // the writer of conversions into it (nullptr with `stream`)
  const char *what;        // for a refused format: what it is, for the message
  const char *advice;      // and what to do with it (nullptr: convert it to a format read)
  // For a format read and written: its family (whose members convert without a writer), its
  // encodings, the header line's keyword that names the encoding (PLY's "format", PCD's
  // "DATA"; nullptr for one encoding), and the --format value of the family with the encoding
  // written from another family (nullptr: the family is no choice of its own).
  CloudFamily family;
  std::vector<FormatEncoding> encodings;
  const char *header_keyword;
  const char *family_option;
  CloudFormat family_default;
};

}  // namespace levelling

#endif
