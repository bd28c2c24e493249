// The cloud file formats this program knows, in one table: the ones it reads and writes, and
// the ones it recognises only to refuse them with a message that says what the file is. Each row
// has the format's names, its file name extensions, how its first bytes are recognised and, for
// the formats read, the reader that streams it, its family, its encodings (their names in
// reports, their --format values, the header words that name them) and the family's --format
// value. Sniffing, the names of formats and families, the choice of the output's format from
// --format or its name, the program's help and its messages all read this table: a new format
// is a CloudFormat value, a row and the folder of its reader and writer.
#ifndef LEVELLING_FORMATS_FORMAT_TABLE_H
#define LEVELLING_FORMATS_FORMAT_TABLE_H

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/format_row.h"

namespace levelling {

// The output's format as --format or the output's name chooses it: the input's own, a family
// (the input's own encoding where the input is of that family, else `format`), or one format.
struct OutputChoice {
  enum class Kind { kInput, kFamily, kFormat };
  Kind kind = Kind::kInput;
  CloudFormat format = CloudFormat::kText;
};

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

// The row and the encoding of a format read and written.
const FormatRow &row_of(CloudFormat format);
const FormatEncoding &encoding_of(CloudFormat format);

// The family of a format read and written (its row's).
CloudFamily family_of(CloudFormat format);

// A lower-case name of a format, for messages and reports ("text", "ply binary_little_endian",
// "pcd binary_compressed", "las"): its encoding's report name.
const char *cloud_format_name(CloudFormat format);

// The format written for `choice` from an input of format `input`.
CloudFormat output_format(OutputChoice choice, CloudFormat input);

// What an output named with the row's extension is written as: its family where the row
// names one, else its format.
OutputChoice output_choice_of(const FormatRow &row);

// Every --format value with its choice, "auto" (the input's own) first, then the rows' in
// their order: each family's, then its encodings'.
std::vector<std::pair<std::string, OutputChoice>> output_format_options();

// The names of the formats read and written, in the table's order, for messages and help:
// "PLY, text, PCD, LAS or LAZ".
std::string read_format_names();

// The extensions of the formats read and written, for help texts: ".ply, .xyz, ...".
std::string readable_extensions();

}  // namespace levelling

#endif
