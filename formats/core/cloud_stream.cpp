#include "formats/core/cloud_stream.h"

#include <string>

namespace levelling {

namespace {

// The families' names, in the enumeration's order.
constexpr const char *kFamilyNames[] = {"text", "PLY", "PCD", "LAS", "PTX", "E57"};

// Each length unit's name and symbol, in the enumeration's order.
struct UnitWords {
  const char *name, *symbol;
};
constexpr UnitWords kUnitWords[] = {
    {"cloud units", "units"}, {"metres", "m"}, {"feet", "ft"}, {"US survey feet", "US ft"}};

}  // namespace

const char *cloud_family_name(CloudFamily family) { return kFamilyNames[int(family)]; }

const char *length_unit_name(LengthUnit unit) { return kUnitWords[int(unit)].name; }

const char *length_unit_symbol(LengthUnit unit) { return kUnitWords[int(unit)].symbol; }

std::string conversion_refusal(const StreamResult &read, CloudFamily from, CloudFamily to) {
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

}  // namespace levelling
