#include "formats/format_table.h"

#include <cctype>
#include <cstring>
#include <sstream>

#include "formats/core/cloud_writer.h"
#include "formats/e57/e57_cloud.h"
#include "formats/las/las_cloud.h"
#include "formats/las/las_header.h"
#include "formats/pcd/pcd_cloud.h"
#include "formats/ply/ply_cloud.h"
#include "formats/ptx/ptx_cloud.h"
#include "formats/text/text_cloud.h"

namespace levelling {

namespace {

bool starts_with(const unsigned char *bytes, size_t n, const char *magic, size_t length) {
  return n >= length && std::memcmp(bytes, magic, length) == 0;
}

bool is_ply(const unsigned char *bytes, size_t n) {
  return starts_with(bytes, n, "ply\n", 4) || starts_with(bytes, n, "ply\r\n", 5);
}

// PCD: a header of keyword lines, "# .PCD" or VERSION first (FIELDS when both are missing).
bool is_pcd(const unsigned char *bytes, size_t n) {
  return starts_with(bytes, n, "# .PCD", 6) || starts_with(bytes, n, "VERSION", 7) ||
         starts_with(bytes, n, "FIELDS ", 7);
}

bool is_e57(const unsigned char *bytes, size_t n) { return starts_with(bytes, n, "ASTM-E57", 8); }

// Compressed or archived files.
bool is_gzip(const unsigned char *bytes, size_t n) {
  return starts_with(bytes, n, "\x1f\x8b", 2);
}
bool is_zip(const unsigned char *bytes, size_t n) { return starts_with(bytes, n, "PK\x03\x04", 4); }
bool is_xz(const unsigned char *bytes, size_t n) {
  return starts_with(bytes, n, "\xfd" "7zXZ\x00", 6);
}
bool is_bzip2(const unsigned char *bytes, size_t n) { return starts_with(bytes, n, "BZh", 3); }
bool is_zstd(const unsigned char *bytes, size_t n) {
  return starts_with(bytes, n, "\x28\xb5\x2f\xfd", 4);
}

// The lines of the start of a text, as words.
std::vector<std::vector<std::string>> first_lines(const unsigned char *bytes, size_t n,
                                                  size_t count) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream text(std::string(reinterpret_cast<const char *>(bytes), n));
  for (std::string line; lines.size() < count && std::getline(text, line);) {
    std::istringstream words(line);
    std::vector<std::string> each;
    for (std::string word; words >> word;) {
      each.push_back(word);
    }
    lines.push_back(each);
  }
  return lines;
}

bool all_numbers(const std::vector<std::string> &words, size_t count) {
  if (words.size() != count) {
    return false;
  }
  for (const std::string &word : words) {
    char *end = nullptr;
    std::strtod(word.c_str(), &end);
    if (end == word.c_str() || *end != '\0') {
      return false;
    }
  }
  return true;
}

// PTX (Leica's text scans): columns and rows, one integer a line, then the scanner's position
// and axes (four lines of three numbers) and a 4 x 4 transform (four lines of four).
bool is_ptx(const unsigned char *bytes, size_t n) {
  const auto lines = first_lines(bytes, n, 10);
  if (lines.size() < 10) {
    return false;
  }
  for (size_t i = 0; i < 10; ++i) {
    if (!all_numbers(lines[i], i < 2 ? 1 : i < 6 ? 3 : 4)) {
      return false;
    }
  }
  return true;
}

// Text: no NUL byte, and control bytes other than tab, line ends and form feed rare (a few, or
// 1 in 64).
constexpr size_t kFewControlBytes = 4;
bool is_text(const unsigned char *bytes, size_t n) {
  size_t control = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = bytes[i];
    if (c == 0) {
      return false;
    }
    control += (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') ? 1 : 0;
  }
  return control <= kFewControlBytes || control * 64 <= n;
}

// Formats known by their names alone (their bytes hold no magic, or another format's).
bool is_named_only(const unsigned char *, size_t) { return false; }

constexpr const char *kDecompress = "decompress it first";

// Where a format has no encodings or family of its own (a format refused).
const std::vector<FormatEncoding> kNone;
constexpr CloudFamily kNoFamily = CloudFamily::kText;
constexpr CloudFormat kNoFormat = CloudFormat::kText;

const std::vector<FormatEncoding> kPlyEncodings = {
    {CloudFormat::kPlyAscii, "ply ascii", "ply-ascii", "ascii"},
    {CloudFormat::kPlyBinaryLittleEndian, "ply binary_little_endian", "ply-binary",
     "binary_little_endian"},
    {CloudFormat::kPlyBinaryBigEndian, "ply binary_big_endian", "ply-binary-be",
     "binary_big_endian"}};
const std::vector<FormatEncoding> kPcdEncodings = {
    {CloudFormat::kPcdAscii, "pcd ascii", "pcd-ascii", "ascii"},
    {CloudFormat::kPcdBinary, "pcd binary", "pcd-binary", "binary"},
    {CloudFormat::kPcdBinaryCompressed, "pcd binary_compressed", "pcd-binary-compressed",
     "binary_compressed"}};

// The rows. Text comes last among those read, since it is what is left once no magic matched
// (PTX, also text, is recognised before it).
const std::vector<FormatRow> kTable = {
    // Read and written.
    {"PLY", ".ply", is_ply, stream_ply_cloud, make_ply_cloud_writer, nullptr, nullptr,
     CloudFamily::kPly, kPlyEncodings, "format", "ply", CloudFormat::kPlyBinaryLittleEndian},
    // (PTX, text too, comes before text.)
    {"PTX", ".ptx", is_ptx, stream_ptx_cloud, make_ptx_cloud_writer, nullptr, nullptr,
     CloudFamily::kPtx, {{CloudFormat::kPtx, "ptx", "ptx", nullptr}}, nullptr, nullptr,
     CloudFormat::kPtx},
    {"text", ".xyz .txt .csv .pts .asc", is_text, stream_text_cloud, make_text_cloud_writer,
     nullptr, nullptr, CloudFamily::kText, {{CloudFormat::kText, "text", "text", nullptr}},
     nullptr, nullptr, CloudFormat::kText},
    {"PCD", ".pcd", is_pcd, stream_pcd_cloud, make_pcd_cloud_writer, nullptr, nullptr,
     CloudFamily::kPcd, kPcdEncodings, "DATA", "pcd", CloudFormat::kPcdBinary},
    {"LAS", ".las", is_las_bytes, stream_las_cloud, make_las_cloud_writer, nullptr, nullptr,
     CloudFamily::kLas, {{CloudFormat::kLas, "las", "las", nullptr}}, nullptr, nullptr,
     CloudFormat::kLas},
    {"LAZ", ".laz", is_laz_bytes, stream_laz_cloud, make_las_cloud_writer, nullptr, nullptr,
     CloudFamily::kLas, {{CloudFormat::kLaz, "laz", "laz", nullptr}}, nullptr, nullptr,
     CloudFormat::kLaz},
    {"E57", ".e57", is_e57, stream_e57_cloud, make_e57_cloud_writer, nullptr, nullptr,
     CloudFamily::kE57, {{CloudFormat::kE57, "e57", "e57", nullptr}}, nullptr, nullptr,
     CloudFormat::kE57},
    // Recognised, to be refused with what they are.

    {"compressed splat", ".splat .spz .ksplat", is_named_only, nullptr, nullptr,
     "a compressed Gaussian splat (.splat, .spz or .ksplat: quantised positions, rotations and "
     "colours)",
     "convert it to a plain Gaussian splat PLY first", kNoFamily, kNone, nullptr, nullptr,
     kNoFormat},
    {"gzip", ".gz", is_gzip, nullptr, nullptr, "gzip-compressed data", kDecompress, kNoFamily,
     kNone, nullptr, nullptr, kNoFormat},
    {"zip", ".zip", is_zip, nullptr, nullptr, "a zip archive", "unpack it first", kNoFamily,
     kNone, nullptr, nullptr, kNoFormat},
    {"xz", ".xz", is_xz, nullptr, nullptr, "xz-compressed data", kDecompress, kNoFamily, kNone,
     nullptr, nullptr, kNoFormat},
    {"bzip2", ".bz2", is_bzip2, nullptr, nullptr, "bzip2-compressed data", kDecompress,
     kNoFamily, kNone, nullptr, nullptr, kNoFormat},
    {"zstd", ".zst", is_zstd, nullptr, nullptr, "zstd-compressed data", kDecompress, kNoFamily,
     kNone, nullptr, nullptr, kNoFormat},
};

std::string lower(std::string text) {
  for (char &c : text) {
    c = char(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

}  // namespace

const std::vector<FormatRow> &format_table() { return kTable; }

const FormatRow *recognise_format(const unsigned char *bytes, size_t n) {
  // Magic bytes first, whatever order the rows are in: text takes anything without NUL.
  for (const bool text_pass : {false, true}) {
    for (const FormatRow &row : kTable) {
      if ((row.recognise == is_text) == text_pass && row.recognise(bytes, n)) {
        return &row;
      }
    }
  }
  return nullptr;
}

bool sniff_cloud_format(std::FILE *in, CloudFormat *format, const FormatRow **row) {
  char first[kSniffBytes];
  const size_t got = std::fread(first, 1, sizeof first, in);
  std::rewind(in);
  *row = recognise_format(reinterpret_cast<const unsigned char *>(first), got);
  if (*row == nullptr || (*row)->stream == nullptr) {
    return false;
  }
  const std::string start(first, got);
  // The word after a header keyword at the start of a line, "" when there is none.
  const auto word_after = [&](const char *keyword) {
    const size_t at = start.find(std::string("\n") + keyword + " ");
    if (at == std::string::npos) {
      return std::string();
    }
    std::istringstream words(start.substr(at + std::strlen(keyword) + 2));
    std::string word;
    words >> word;
    return word;
  };
  const FormatRow &read = **row;
  if (read.header_keyword == nullptr) {
    *format = read.encodings.front().format;
    return true;
  }
  const std::string word = word_after(read.header_keyword);
  for (const FormatEncoding &each : read.encodings) {
    if (word == each.header_word) {
      *format = each.format;
      return true;
    }
  }
  *format = CloudFormat::kText;
  return false;
}

const FormatRow *format_of_name(const std::string &name, bool *has_one) {
  const size_t slash = name.find_last_of('/');
  const size_t dot = name.find_last_of('.');
  // The dot of an extension follows a name ("out.ply"), not begins it (".hidden").
  const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  *has_one = dot != std::string::npos && dot > name_start && dot + 1 < name.size();
  if (!*has_one) {
    return nullptr;
  }
  const std::string extension = lower(name.substr(dot));
  for (const FormatRow &row : kTable) {
    std::istringstream extensions(row.extensions);
    for (std::string each; extensions >> each;) {
      if (each == extension) {
        return &row;
      }
    }
  }
  return nullptr;
}

bool refused_by_name(const FormatRow &row) {
  return row.stream == nullptr && row.recognise == is_named_only;
}

std::string refusal_of(const FormatRow &row, bool reading) {
  if (!reading) {
    return std::string("writing ") + row.name + " is not supported; write " + read_format_names();
  }
  return std::string("looks like ") + row.what + "; " +
         (row.advice != nullptr ? std::string(row.advice)
                                : "this program does not read it: convert it to " +
                                      read_format_names() + " first");
}

const FormatRow &row_of(CloudFormat format) {
  for (const FormatRow &row : kTable) {
    for (const FormatEncoding &each : row.encodings) {
      if (each.format == format) {
        return row;
      }
    }
  }
  return kTable.front();  // (every CloudFormat has its row)
}

const FormatEncoding &encoding_of(CloudFormat format) {
  for (const FormatEncoding &each : row_of(format).encodings) {
    if (each.format == format) {
      return each;
    }
  }
  return kTable.front().encodings.front();
}

CloudFamily family_of(CloudFormat format) { return row_of(format).family; }

const char *cloud_format_name(CloudFormat format) { return encoding_of(format).report_name; }

CloudFormat output_format(OutputChoice choice, CloudFormat input) {
  switch (choice.kind) {
    case OutputChoice::Kind::kInput:
      return input;
    case OutputChoice::Kind::kFamily:
      return row_of(input).family == row_of(choice.format).family ? input : choice.format;
    case OutputChoice::Kind::kFormat:
      break;
  }
  return choice.format;
}

OutputChoice output_choice_of(const FormatRow &row) {
  OutputChoice choice;
  choice.kind = row.family_option != nullptr ? OutputChoice::Kind::kFamily
                                             : OutputChoice::Kind::kFormat;
  choice.format = row.family_default;
  return choice;
}

std::vector<std::pair<std::string, OutputChoice>> output_format_options() {
  std::vector<std::pair<std::string, OutputChoice>> options = {{"auto", OutputChoice()}};
  for (const FormatRow &row : kTable) {
    if (row.stream == nullptr) {
      continue;
    }
    if (row.family_option != nullptr) {
      options.push_back({row.family_option, output_choice_of(row)});
    }
    for (const FormatEncoding &each : row.encodings) {
      options.push_back({each.option, {OutputChoice::Kind::kFormat, each.format}});
    }
  }
  return options;
}

std::string read_format_names() {
  std::vector<std::string> names;
  for (const FormatRow &row : kTable) {
    if (row.stream != nullptr) {
      names.push_back(row.name);
    }
  }
  std::string list;
  for (size_t i = 0; i < names.size(); ++i) {
    list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  }
  return list;
}

std::string readable_extensions() {
  std::string list;
  for (const FormatRow &row : kTable) {
    if (row.stream != nullptr) {
      std::istringstream extensions(row.extensions);
      for (std::string each; extensions >> each;) {
        list += (list.empty() ? "" : " ") + each;
      }
    }
  }
  return list;
}

}  // namespace levelling
