// LAS written from another format (formats/core/cloud_writer.h).
#include "formats/las/las_cloud.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"
#include "formats/core/moved_fields.h"
#include "formats/core/number_text.h"
#include "formats/core/ply_values.h"
#include "formats/core/stream_support.h"
#include "formats/las/las_coordinates.h"
#include "formats/las/las_header.h"

namespace levelling {

namespace {

// LAS written for LAZ's point-wise coding: point format 1, or 3 with colour. From 6 on, the
// return numbers take 4 bits each.
constexpr int kLegacyPlain = 1, kLegacyColour = 3, kFirstWideFormat = 6;

// Whether every value of `type` has a place in the field: any in a double (GPS time), an
// integer in a bit field (each value checked as it is written) or in an integer type that holds
// its whole range.
bool holds(const LasField &field, PlyType type) {
  const bool integral = type != PlyType::kFloat32 && type != PlyType::kFloat64;
  if (field.type == PlyType::kFloat64) {
    return true;
  }
  if (!integral) {
    return false;
  }
  if (field.bits > 0) {
    return true;
  }
  const auto low = [](PlyType t) {
    return t == PlyType::kInt8 ? -128.0 : t == PlyType::kInt16 ? -32768.0
                                        : t == PlyType::kInt32 ? -2147483648.0 : 0.0;
  };
  const auto high = [&low](PlyType t) {
    return std::ldexp(1.0, int(8 * ply_type_size(t))) / (low(t) < 0 ? 2.0 : 1.0) - 1.0;
  };
  return low(field.type) <= low(type) && high(type) <= high(field.type);
}

// LAS 1.4 written from another format, in point format 6, 7 (with colour) or 8 (with colour and
// near infrared); for LAZ, 1 or 3 (with colour; near infrared as extra bytes). Properties named
// as LAS's attributes, of a type that fits them, fill them (8-bit colours scaled to 16 bits);
// every other property is kept as extra bytes of its type, described in an extra bytes VLR. A point without return numbers is its pulse's only return.
// Coordinates are quantised at options.las_scale, with offsets chosen from options.box.
class LasCloudWriter : public CloudWriter {
 public:
  LasCloudWriter(ByteWriter *out, const StreamOptions &options)
      : out_(out), options_(options) {}

  void begin(const CloudSchema &schema) override {
    const std::vector<PlyProperty> &properties = schema.vertex.properties;
    const auto colour_type = [&](const char *name) {
      const int p = schema.vertex.find(name);
      return p >= 0 && (properties[size_t(p)].type == PlyType::kUint8 ||
                        properties[size_t(p)].type == PlyType::kUint16);
    };
    const bool colour = colour_type("red") && colour_type("green") && colour_type("blue");
    format_ = options_.write.las_point_wise ? (colour ? kLegacyColour : kLegacyPlain)
              : colour                 ? (colour_type("nir") ? 8 : 7)
                                       : 6;
    record_ = kMinimumRecord[format_];
    const std::vector<LasField> standard = standard_fields(format_);
    for (size_t p = 0; p < properties.size(); ++p) {
      const PlyProperty &property = properties[p];
      if (int(p) == schema.coordinate[0] || int(p) == schema.coordinate[1] ||
          int(p) == schema.coordinate[2]) {
        continue;
      }
      const auto match = std::find_if(standard.begin(), standard.end(), [&](const LasField &f) {
        return f.name == property.name;
      });
      if (match != standard.end() && holds(*match, property.type)) {
        const bool scaled = colour && property.type == PlyType::kUint8 &&
                            (property.name == "red" || property.name == "green" ||
                             property.name == "blue" || property.name == "nir");
        mapped_.push_back({p, *match, scaled});
        if (match->name == "return_number" || match->name == "number_of_returns") {
          has_returns_ = true;
        }
        continue;
      }
      // Kept as extra bytes, under a name of its own when LAS has the name for another type.
      const std::string name = match != standard.end()
                                   ? property.name + "_" + ply_type_name(property.type)
                                   : property.name;
      extras_.push_back({p, {name, record_, property.type}, false});
      record_ += ply_type_size(property.type);
    }
    for (int k = 0; k < kAxes; ++k) {
      coordinate_[k] = size_t(schema.coordinate[k]);
      scale_[k] = options_.write.las_scale;
    }
    choose_offsets(options_, scale_, nullptr, offset_);

    // What the header's 16-bit lengths can say: nothing is written past them.
    if (record_ > UINT16_MAX || kExtraDescriptor * extras_.size() > UINT16_MAX) {
      fault_ = std::to_string(extras_.size()) + " properties past LAS's own attributes (" +
               std::to_string(record_) + "-byte records), more than LAS holds: at most " +
               std::to_string(UINT16_MAX / kExtraDescriptor) +
               " described extra bytes and 65535-byte records";
      return;
    }
    const size_t vlr = extras_.empty() ? 0 : kVlrHeader + kExtraDescriptor * extras_.size();
    std::vector<char> header(kHeader14 + vlr, 0);
    char *bytes = header.data();
    std::memcpy(bytes, "LASF", 4);
    put<uint16_t>(bytes, kGlobalEncoding, uint16_t(kWktBit));
    bytes[kVersionMajor] = 1;
    bytes[kVersionMinor] = 4;
    std::strncpy(bytes + kSystemIdentifier, "OTHER", kNameBytes);
    std::strncpy(bytes + kGeneratingSoftware, "levelling-cloud", kNameBytes);
    put<uint16_t>(bytes, kHeaderSize, uint16_t(kHeader14));
    put<uint32_t>(bytes, kPointOffset, uint32_t(header.size()));
    put<uint32_t>(bytes, kVlrCount, extras_.empty() ? 0 : 1);
    bytes[kPointFormat] = char(format_);
    put<uint16_t>(bytes, kRecordLength, uint16_t(record_));
    for (int k = 0; k < kAxes; ++k) {
      put(bytes, kScale + 8 * size_t(k), scale_[k]);
      put(bytes, kOffset + 8 * size_t(k), offset_[k]);
    }
    store_box(options_, scale_, offset_, bytes + kBounds);
    put<uint64_t>(bytes, kCount, uint64_t(std::max<int64_t>(options_.write.points, 0)));
    const int64_t points = options_.write.points;
    if (format_ < kFirstWideFormat && points >= 0 && points <= UINT32_MAX) {
      put<uint32_t>(bytes, kLegacyCount, uint32_t(points));
    }
    if (!extras_.empty()) {
      char *record = bytes + kHeader14;
      std::strncpy(record + kVlrUser, "LASF_Spec", kUserBytes);
      put<uint16_t>(record, kVlrRecord, uint16_t(kExtraBytesRecord));
      put<uint16_t>(record, kVlrLength, uint16_t(kExtraDescriptor * extras_.size()));
      std::strncpy(record + kVlrRecord + 4, "the input's other attributes", kDescriptionBytes);
      for (size_t e = 0; e < extras_.size(); ++e) {
        char *descriptor = record + kVlrHeader + e * kExtraDescriptor;
        descriptor[kExtraType] = char(extra_type_of(extras_[e].field.type));
        std::strncpy(descriptor + kExtraName, extras_[e].field.name.c_str(), kNameBytes);
        std::strncpy(descriptor + kExtraDescription, "from the input", kDescriptionBytes);
      }
    }
    header_at_ = out_->written();
    out_->write(header.data(), header.size());
    record_bytes_.assign(record_, 0);
  }

  void vertex(const double *values) override {
    ++written_;
    if (!fault_.empty()) {
      return;
    }
    char *record = record_bytes_.data();
    std::fill(record_bytes_.begin(), record_bytes_.end(), 0);
    const double coordinates[kAxes] = {values[coordinate_[0]], values[coordinate_[1]],
                                       values[coordinate_[2]]};
    if (is_empty_point(coordinates[0], coordinates[1], coordinates[2])) {
      fault_ = "point " + std::to_string(written_) + " is empty (no return), which LAS cannot hold";
      return;
    }
    for (int k = 0; k < kAxes; ++k) {
      int32_t integer = 0;
      if (quantise(&coordinates[k], 1, scale_[k], offset_[k], &integer) == 0) {
        fault_ = beyond_integers(written_, k, scale_[k], offset_[k]);
        return;
      }
      bounds_.add(&integer, 1, k);
      put(record, 4 * size_t(k), integer);
    }
    if (!has_returns_) {
      record[14] = format_ < kFirstWideFormat ? 0x09 : 0x11;  // return 1 of 1
    }
    for (const Mapping &mapping : mapped_) {
      const LasField &field = mapping.field;
      double value = values[mapping.property] * (mapping.scaled ? kColourScale : 1.0);
      if (field.bits > 0) {
        const double largest = double((1u << field.bits) - 1);
        if (!(value >= 0.0 && value <= largest)) {
          fault_ = "point " + std::to_string(written_) + ": " + field.name + " " +
                   std::to_string(int64_t(value)) + " does not fit LAS's " +
                   std::to_string(field.bits) + " bits";
          return;
        }
        record[field.offset] = char(static_cast<unsigned char>(record[field.offset]) |
                                    (unsigned(value) << field.shift));
        continue;
      }
      store_ply_value(field.type, false, value, record + field.offset);
    }
    for (const Mapping &extra : extras_) {
      store_ply_value(extra.field.type, false, values[extra.property], record + extra.field.offset);
    }
    const unsigned return_number =
        static_cast<unsigned char>(record[14]) & (format_ < kFirstWideFormat ? 0x07u : 0x0fu);
    if (return_number >= 1 && return_number <= unsigned(kReturns)) {
      ++by_return_[return_number - 1];
    }
    out_->write(record, record_);
  }

  void record(const PlyElement &, const std::vector<double> &) override {}

  void finish() override {
    if (!fault_.empty()) {
      return;
    }
    if (written_ != options_.write.points) {
      fault_ = "the point count given was not the count written";
      return;
    }
    patch_bounds(out_, header_at_, bounds_, scale_, offset_);
    if (out_->can_patch(header_at_ + int64_t(kByReturn))) {
      out_->patch(header_at_ + int64_t(kByReturn), reinterpret_cast<const char *>(by_return_),
                  sizeof by_return_);
    }
  }

 private:
  struct Mapping {
    size_t property;
    LasField field;
    bool scaled;  // an 8-bit colour, scaled to 16 bits
  };

  ByteWriter *out_;
  const StreamOptions &options_;
  int format_ = 6;
  size_t record_ = 0;
  std::vector<Mapping> mapped_, extras_;
  bool has_returns_ = false;
  size_t coordinate_[kAxes] = {0, 1, 2};
  double scale_[kAxes] = {}, offset_[kAxes] = {};
  int64_t header_at_ = 0;
  int64_t written_ = 0;
  uint64_t by_return_[kReturns] = {};
  IntegerBounds bounds_;
  std::vector<char> record_bytes_;
};

}  // namespace

std::unique_ptr<CloudWriter> make_las_cloud_writer(CloudFormat, ByteWriter *out,
                                                   const StreamOptions &options) {
  return std::make_unique<LasCloudWriter>(out, options);
}

}  // namespace levelling
