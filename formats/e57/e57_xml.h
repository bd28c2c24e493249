// E57's XML section read into a tree of elements (with expat), each with where it lies in the
// text, so that a rewrite can replace one element and leave every other byte as it was.
// Internal to formats/.
#ifndef LEVELLING_FORMATS_E57_E57_XML_H
#define LEVELLING_FORMATS_E57_E57_XML_H

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace levelling {

// The limits a hostile XML section meets before it costs more: its size (checked before it is
// read), its depth and its elements.
constexpr size_t kLargestE57Xml = size_t(256) << 20;
constexpr int kDeepestE57Xml = 64;
constexpr size_t kMostE57Elements = size_t(4) << 20;

struct E57Element {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string text;  // its character data, CDATA's included
  std::vector<std::unique_ptr<E57Element>> children;
  // Where it lies in the XML: its start tag's '<', the byte after its start tag, the byte after
  // its end tag.
  size_t begin = 0, content = 0, end = 0;

  // The attribute's value, or nullptr.
  const std::string *attribute(const char *key) const;
  // The first child of that name, or nullptr.
  const E57Element *child(const char *child_name) const;
};

// Parses the XML section. nullptr with *message (one line) when it is not well formed, has a
// document type, or goes beyond the limits above.
std::unique_ptr<E57Element> parse_e57_xml(const std::string &xml, std::string *message);

}  // namespace levelling

#endif
