#include "formats/e57/e57_xml.h"

#include <expat.h>

#include <cstring>

namespace levelling {

namespace {

struct Parse {
  XML_Parser parser;
  std::unique_ptr<E57Element> root;
  std::vector<E57Element *> open;  // from the root to the element being read
  size_t elements = 0;
  std::string fault;
};

void stop(Parse *parse, const std::string &fault) {
  if (parse->fault.empty()) {
    parse->fault = fault;
  }
  XML_StopParser(parse->parser, XML_FALSE);
}

void XMLCALL start_element(void *data, const XML_Char *name, const XML_Char **attributes) {
  auto *parse = static_cast<Parse *>(data);
  if (int(parse->open.size()) >= kDeepestE57Xml) {
    stop(parse, "an XML section deeper than " + std::to_string(kDeepestE57Xml) + " elements");
    return;
  }
  if (++parse->elements > kMostE57Elements) {
    stop(parse, "an XML section of more than " + std::to_string(kMostE57Elements) + " elements");
    return;
  }
  auto element = std::make_unique<E57Element>();
  element->name = name;
  for (const XML_Char **a = attributes; a[0] != nullptr; a += 2) {
    element->attributes.emplace_back(a[0], a[1]);
  }
  element->begin = size_t(XML_GetCurrentByteIndex(parse->parser));
  element->content = element->begin + size_t(XML_GetCurrentByteCount(parse->parser));
  E57Element *raw = element.get();
  if (parse->open.empty()) {
    parse->root = std::move(element);
  } else {
    parse->open.back()->children.push_back(std::move(element));
  }
  parse->open.push_back(raw);
}

void XMLCALL end_element(void *data, const XML_Char *) {
  auto *parse = static_cast<Parse *>(data);
  E57Element *element = parse->open.back();
  const int count = XML_GetCurrentByteCount(parse->parser);
  // An empty-element tag (<a/>) ends where its start tag does.
  element->end = count > 0 ? size_t(XML_GetCurrentByteIndex(parse->parser)) + size_t(count)
                           : element->content;
  parse->open.pop_back();
}

void XMLCALL character_data(void *data, const XML_Char *text, int length) {
  auto *parse = static_cast<Parse *>(data);
  if (!parse->open.empty()) {
    parse->open.back()->text.append(text, size_t(length));
  }
}

void XMLCALL document_type(void *data, const XML_Char *, const XML_Char *, const XML_Char *,
                           int) {
  stop(static_cast<Parse *>(data), "an XML document type, which E57 has none of");
}

}  // namespace

const std::string *E57Element::attribute(const char *key) const {
  for (const auto &[name, value] : attributes) {
    if (name == key) {
      return &value;
    }
  }
  return nullptr;
}

const E57Element *E57Element::child(const char *child_name) const {
  for (const auto &each : children) {
    if (each->name == child_name) {
      return each.get();
    }
  }
  return nullptr;
}

std::unique_ptr<E57Element> parse_e57_xml(const std::string &xml, std::string *message) {
  if (xml.size() > kLargestE57Xml) {
    *message = "an XML section of " + std::to_string(xml.size()) + " bytes";
    return nullptr;
  }
  Parse parse;
  parse.parser = XML_ParserCreate("UTF-8");
  if (parse.parser == nullptr) {
    *message = "no memory for the XML parser";
    return nullptr;
  }
  XML_SetUserData(parse.parser, &parse);
  XML_SetElementHandler(parse.parser, start_element, end_element);
  XML_SetCharacterDataHandler(parse.parser, character_data);
  XML_SetStartDoctypeDeclHandler(parse.parser, document_type);
  const XML_Status status =
      XML_Parse(parse.parser, xml.data(), int(xml.size()), XML_TRUE);
  if (status != XML_STATUS_OK && parse.fault.empty()) {
    parse.fault = std::string("XML not well formed at line ") +
                  std::to_string(XML_GetCurrentLineNumber(parse.parser)) + ": " +
                  XML_ErrorString(XML_GetErrorCode(parse.parser));
  }
  XML_ParserFree(parse.parser);
  if (!parse.fault.empty() || parse.root == nullptr) {
    *message = parse.fault.empty() ? "an empty XML section" : parse.fault;
    return nullptr;
  }
  return std::move(parse.root);
}

}  // namespace levelling
