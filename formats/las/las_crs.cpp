#include "formats/las/las_crs.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/las/las_header.h"

namespace levelling {

namespace {

constexpr uint16_t kModelTypeKey = 1024, kModelGeographic = 2;
constexpr uint16_t kProjLinearUnitsKey = 3076, kVerticalUnitsKey = 4099;
// EPSG's codes of the three length units.
constexpr uint16_t kEpsgMetre = 9001, kEpsgFoot = 9002, kEpsgUsSurveyFoot = 9003;
constexpr size_t kGeoKeyEntry = 8;  // key, location, count, value: four uint16

constexpr double kMetresPerFoot = 0.3048;
constexpr double kMetresPerUsSurveyFoot = 1200.0 / 3937.0;
// How close a unit's factor to metres must be to a known unit's (relative): WKT writers print
// the US survey foot with 8 to 17 digits.
constexpr double kFactorTolerance = 1e-7;

LengthUnit unit_of_epsg(uint16_t code) {
  return code == kEpsgMetre          ? LengthUnit::kMetre
         : code == kEpsgFoot         ? LengthUnit::kFoot
         : code == kEpsgUsSurveyFoot ? LengthUnit::kUsSurveyFoot
                                     : LengthUnit::kUnknown;
}

bool near(double factor, double metres) {
  return std::fabs(factor - metres) <= kFactorTolerance * metres;
}

// Whether `name` is one of `names`.
template <size_t N>
bool one_of(const std::string &name, const char *const (&names)[N]) {
  for (const char *known : names) {
    if (name == known) {
      return true;
    }
  }
  return false;
}

// The kinds of WKT node a unit may sit in.
enum class Node { kHorizontal, kVertical, kTransparent, kOther };

Node node_kind(const std::string &name) {
  static const char *const kHorizontal[] = {"PROJCS",  "PROJCRS", "PROJECTEDCRS",
                                            "LOCAL_CS", "ENGCRS", "ENGINEERINGCRS"};
  static const char *const kVertical[] = {"VERTCS", "VERTCRS", "VERTICALCRS"};
  if (one_of(name, kHorizontal)) {
    return Node::kHorizontal;
  }
  if (one_of(name, kVertical)) {
    return Node::kVertical;
  }
  // A unit in a coordinate system's axis or its CS is the system's.
  return name == "AXIS" || name == "CS" ? Node::kTransparent : Node::kOther;
}

// Reads a WKT quoted string starting at text[*at] (a '"'; "" inside is one quote), leaving *at
// after it; *closed tells whether its closing quote came before the text's end.
std::string quoted(const char *text, size_t size, size_t *at, bool *closed) {
  std::string value;
  *closed = false;
  size_t i = *at + 1;
  for (; i < size; ++i) {
    if (text[i] == '"') {
      if (i + 1 < size && text[i + 1] == '"') {
        value += '"';
        ++i;
        continue;
      }
      ++i;
      *closed = true;
      break;
    }
    value += text[i];
  }
  *at = i;
  return value;
}

// The name and factor of the unit node whose '[' is at text[open - 1].
LengthUnit unit_at(const char *text, size_t size, size_t open) {
  constexpr size_t kLongestNumber = 40;
  size_t at = open;
  while (at < size && std::isspace(static_cast<unsigned char>(text[at]))) {
    ++at;
  }
  if (at >= size || text[at] != '"') {
    return LengthUnit::kUnknown;
  }
  bool closed = false;
  const std::string name = quoted(text, size, &at, &closed);
  if (!closed) {
    return LengthUnit::kUnknown;
  }
  while (at < size && (text[at] == ',' || std::isspace(static_cast<unsigned char>(text[at])))) {
    ++at;
  }
  char number[kLongestNumber + 1] = {};
  std::memcpy(number, text + at, std::min(kLongestNumber, size - at));
  return length_unit_of(name, std::strtod(number, nullptr));
}

}  // namespace

LengthUnit length_unit_of(const std::string &name, double metres) {
  std::string key;
  for (char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      key += char(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  static const char *const kMetreNames[] = {"metre", "meter", "metres", "meters", "m"};
  static const char *const kFootNames[] = {"foot", "feet", "ft", "internationalfoot",
                                           "footinternational", "intlfoot"};
  static const char *const kSurveyNames[] = {"ussurveyfoot", "ussurveyfeet", "footus", "ftus",
                                             "usfoot", "usft", "footsurveyus", "usfeet"};
  if (one_of(key, kMetreNames)) {
    return LengthUnit::kMetre;
  }
  if (one_of(key, kFootNames)) {
    return LengthUnit::kFoot;
  }
  if (one_of(key, kSurveyNames)) {
    return LengthUnit::kUsSurveyFoot;
  }
  return near(metres, 1.0)                      ? LengthUnit::kMetre
         : near(metres, kMetresPerFoot)         ? LengthUnit::kFoot
         : near(metres, kMetresPerUsSurveyFoot) ? LengthUnit::kUsSurveyFoot
                                                : LengthUnit::kUnknown;
}

void read_geokey_crs(const char *keys, size_t size, LasCrs *crs) {
  if (size < kGeoKeyEntry) {
    return;
  }
  const size_t count = get<uint16_t>(keys, 6);
  for (size_t k = 1; k <= count && (k + 1) * kGeoKeyEntry <= size; ++k) {
    const char *entry = keys + k * kGeoKeyEntry;
    if (get<uint16_t>(entry, 2) != 0) {
      continue;  // a value held elsewhere (doubles, ASCII): none of the keys read here
    }
    const uint16_t key = get<uint16_t>(entry, 0), value = get<uint16_t>(entry, 6);
    if (key == kModelTypeKey) {
      crs->geographic = crs->geographic || value == kModelGeographic;
    } else if (key == kProjLinearUnitsKey && crs->horizontal == LengthUnit::kUnknown) {
      crs->horizontal = unit_of_epsg(value);
    } else if (key == kVerticalUnitsKey && crs->vertical == LengthUnit::kUnknown) {
      crs->vertical = unit_of_epsg(value);
    }
  }
}

void read_wkt_crs(const char *text, size_t size, LasCrs *crs) {
  size_t at = 0;
  while (at < size && std::isspace(static_cast<unsigned char>(text[at]))) {
    ++at;
  }
  const std::string top(text + at, std::min<size_t>(8, size - at));
  crs->geographic = crs->geographic || top.rfind("GEOGCS", 0) == 0 ||
                    top.rfind("GEOGCRS", 0) == 0;
  std::vector<std::string> open;  // the names of the nodes around `at`, outermost first
  std::string word;
  for (; at < size && text[at] != '\0'; ++at) {
    const char c = text[at];
    if (c == '"') {
      bool closed = false;
      quoted(text, size, &at, &closed);
      --at;
      word.clear();
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      word += char(std::toupper(static_cast<unsigned char>(c)));
    } else if (c == '[' || c == '(') {
      if (word == "UNIT" || word == "LENGTHUNIT") {
        Node kind = Node::kOther;
        for (size_t n = open.size(); n-- > 0;) {
          kind = node_kind(open[n]);
          if (kind != Node::kTransparent) {
            break;
          }
        }
        LengthUnit *unit = kind == Node::kHorizontal ? &crs->horizontal
                           : kind == Node::kVertical ? &crs->vertical
                                                     : nullptr;
        if (unit != nullptr && *unit == LengthUnit::kUnknown) {
          *unit = unit_at(text, size, at + 1);
        }
      }
      open.push_back(word);
      word.clear();
    } else if (c == ']' || c == ')') {
      if (!open.empty()) {
        open.pop_back();
      }
      word.clear();
    } else {
      word.clear();
    }
  }
}

}  // namespace levelling
