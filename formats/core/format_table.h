// The cloud file formats this program knows, in one table: the ones it reads and writes, and
// the ones it recognises only to refuse them with a message that says what the file is. Each row
// has the format's names, its file name extensions, how its first bytes are recognised and, for
// the formats read, the reader that streams it. stream_cloud, the choice of the output's format
// from its name, the program's help and its messages all read this table: a new format is one row
// and one reader/writer pair.
#ifndef LEVELLING_FORMATS_CORE_FORMAT_TABLE_H
#define LEVELLING_FORMATS_CORE_FORMAT_TABLE_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"

namespace levelling {

using CloudStreamer = StreamResult (*)(ByteReader *in, const PointVisitor &visit,
                                       const StreamOptions &options);

struct FormatRow {
  const char *name;        // as messages say it: "text", "PLY", "LAS"...
  const char *extensions;  // lower case, blank-separated: ".xyz .txt"; "" for none
  // True when the first bytes (n of them, up to kSniffBytes) are this format's.
  bool (*recognise)(const unsigned char *bytes, size_t n);
  CloudStreamer stream;  // nullptr: recognised, but neither read nor written
  const char *what;      // for a refused format: what it is, for the message
  const char *advice;    // and what to do with it (nullptr: convert it to a format read)
};

// Bytes looked at to recognise a format.
constexpr size_t kSniffBytes = 4096;

// Every row, the formats read first.
const std::vector<FormatRow> &format_table();

// The row of the format whose first bytes these are, or nullptr when no row recognises them
// (text is recognised by being text: no NUL byte and few other control bytes).
const FormatRow *recognise_format(const unsigned char *bytes, size_t n);

// The format of the cloud on `in` as its first kSniffBytes tell it: *row is the table's row
// (nullptr for none) and *format the encoding (PLY's format line, PCD's DATA line). Leaves the
// stream at its start. False when the first bytes do not tell the format of a cloud read here.
bool sniff_cloud_format(std::FILE *in, CloudFormat *format, const FormatRow **row);

// The row whose extensions hold the extension of `name` (case ignored), or nullptr. *has_one
// says whether the name has an extension at all ("out", "-" and "/dev/null" have none).
const FormatRow *format_of_name(const std::string &name, bool *has_one);

// Whether a file named with the row's extension is refused whatever its first bytes say:
// compressed splats (no magic, or gzip's).
bool refused_by_name(const FormatRow &row);

// The refusal of a format the table knows but this program does not read or write.
std::string refusal_of(const FormatRow &row, bool reading);

// The names of the formats read and written, in the table's order, for messages and help:
// "PLY, text, PCD, LAS or LAZ".
std::string read_format_names();

// The extensions of the formats read and written, for help texts: ".ply, .xyz, ...".
std::string readable_extensions();

}  // namespace levelling

#endif
