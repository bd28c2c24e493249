#include "formats/ply/ply_header.h"

#include <cstring>
#include <sstream>

#include "formats/core/number_text.h"

namespace levelling {

namespace {

constexpr size_t kMaxHeaderBytes = size_t(1) << 20;

std::vector<std::string> words_of(std::string_view line) {
  std::vector<std::string> words;
  std::istringstream stream{std::string(line)};
  for (std::string word; stream >> word;) {
    words.push_back(word);
  }
  return words;
}

// Fills in the binary layout of an element whose properties are all known.
void lay_out(PlyElement *element) {
  size_t offset = 0;
  element->offsets.clear();
  for (const PlyProperty &property : element->properties) {
    if (property.is_list) {
      element->fixed_size = 0;
      return;
    }
    element->offsets.push_back(offset);
    offset += ply_type_size(property.type);
  }
  element->fixed_size = offset;
}

}  // namespace

bool read_ply_header(ByteReader *in, PlyHeader *header, std::string *error) {
  *header = PlyHeader();
  bool have_format = false;
  for (size_t line_number = 1;; ++line_number) {
    // The next line, up to and with its '\n'.
    size_t length = 0;
    for (;;) {
      const size_t available = in->fill(length + 1);
      const void *newline = std::memchr(in->data() + length, '\n', available - length);
      if (newline != nullptr) {
        length = size_t(static_cast<const char *>(newline) - in->data()) + 1;
        break;
      }
      if (available == length || header->size + available > kMaxHeaderBytes) {
        *error = header->size + available > kMaxHeaderBytes
                     ? "the header is longer than 1 MiB"
                     : "the header ends before end_header";
        return false;
      }
      length = available;
    }
    std::string line(in->data(), length);
    in->consume(length);
    header->size += length;
    if (header->size > kMaxHeaderBytes) {
      *error = "the header is longer than 1 MiB";
      return false;
    }
    std::string_view text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
      text.remove_suffix(1);
    }
    header->lines.push_back(line);
    const std::vector<std::string> words = words_of(text);
    const std::string where = "header line " + std::to_string(line_number) + ": ";
    if (line_number == 1) {
      if (text != "ply") {
        *error = "the file does not start with \"ply\"";
        return false;
      }
      continue;
    }
    if (words.empty() || words[0] == "comment" || words[0] == "obj_info") {
      continue;
    }
    if (words[0] == "format") {
      if (words.size() != 3 || words[2] != "1.0") {
        *error = where + "expected \"format <encoding> 1.0\"";
        return false;
      }
      if (words[1] == "ascii") {
        header->encoding = PlyEncoding::kAscii;
      } else if (words[1] == "binary_little_endian") {
        header->encoding = PlyEncoding::kBinaryLittleEndian;
      } else if (words[1] == "binary_big_endian") {
        header->encoding = PlyEncoding::kBinaryBigEndian;
      } else {
        *error = where + "unknown encoding '" + words[1] + "'";
        return false;
      }
      have_format = true;
      header->format_line = header->lines.size() - 1;
    } else if (words[0] == "element") {
      int64_t count = 0;
      if (words.size() != 3 || !parse_integer(words[2], &count) || count < 0) {
        *error = where + "expected \"element <name> <count>\" with a count of 0 or more";
        return false;
      }
      for (const PlyElement &earlier : header->elements) {
        if (earlier.name == words[1]) {
          *error = where + "a second element '" + words[1] + "'";
          return false;
        }
      }
      PlyElement element;
      element.name = words[1];
      element.count = count;
      header->elements.push_back(element);
    } else if (words[0] == "property") {
      if (header->elements.empty()) {
        *error = where + "a property before any element";
        return false;
      }
      PlyProperty property;
      bool known = false;
      if (words.size() == 5 && words[1] == "list") {
        property.is_list = true;
        known = parse_ply_type(words[2], &property.count_type) && parse_ply_type(words[3], &property.type);
        property.name = words[4];
        if (known && (property.count_type == PlyType::kFloat32 ||
                      property.count_type == PlyType::kFloat64)) {
          *error = where + "a list count must be an integer type";
          return false;
        }
      } else if (words.size() == 3) {
        known = parse_ply_type(words[1], &property.type);
        property.name = words[2];
      } else {
        *error = where + "expected \"property <type> <name>\" or \"property list <type> <type> <name>\"";
        return false;
      }
      if (!known) {
        *error = where + "unknown property type in '" + std::string(text) + "'";
        return false;
      }
      if (header->elements.back().find(property.name) >= 0) {
        *error = where + "a second property '" + property.name + "' in element '" +
                 header->elements.back().name + "'";
        return false;
      }
      header->elements.back().properties.push_back(property);
    } else if (words[0] == "end_header") {
      break;
    } else {
      *error = where + "unknown keyword '" + words[0] + "'";
      return false;
    }
  }
  if (!have_format) {
    *error = "the header has no format line";
    return false;
  }
  for (PlyElement &element : header->elements) {
    lay_out(&element);
  }
  return true;
}

std::string ply_header_text(const PlyHeader &header, PlyEncoding encoding) {
  std::string text;
  for (size_t i = 0; i < header.lines.size(); ++i) {
    if (i == header.format_line && encoding != header.encoding) {
      const std::string &line = header.lines[i];
      const bool crlf = line.size() >= 2 && line[line.size() - 2] == '\r';
      text += std::string("format ") + ply_encoding_name(encoding) + " 1.0" + (crlf ? "\r\n" : "\n");
    } else {
      text += header.lines[i];
    }
  }
  return text;
}

}  // namespace levelling
