// PCD written from another format (formats/core/cloud_writer.h): each property a field (normals named
// as PCL names them), red, green and blue of 8 bits packed into one rgb (rgba with alpha) field.
#include "formats/pcd/pcd_cloud.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/core/cloud_writer.h"
#include "formats/core/moved_fields.h"
#include "formats/core/ply_values.h"
#include "formats/core/stream_support.h"
#include "formats/pcd/pcd_data.h"
#include "formats/pcd/pcd_header.h"

namespace levelling {

namespace {

// PCD written from another format: a field a property (normals named as PCL names them), red,
// green and blue bytes packed into one rgb field (rgba with alpha), WIDTH the point count and
// HEIGHT 1, the sensor at the origin.
class PcdCloudWriter : public CloudWriter {
 public:
  PcdCloudWriter(ByteWriter *out, PcdData data, int64_t points)
      : out_(out), data_(data), points_(points) {}

  void begin(const CloudSchema &schema) override {
    vertex_ = schema.vertex;
    const std::vector<PlyProperty> &properties = schema.vertex.properties;
    const int colour[4] = {schema.vertex.find("red"), schema.vertex.find("green"),
                           schema.vertex.find("blue"), schema.vertex.find("alpha")};
    bool packed = true;
    for (int c = 0; c < 3; ++c) {
      packed = packed && colour[c] >= 0 && properties[size_t(colour[c])].type == PlyType::kUint8;
    }
    packed_alpha_ = packed && colour[3] >= 0 &&
                    properties[size_t(colour[3])].type == PlyType::kUint8;
    size_t offset = 0;
    for (size_t p = 0; p < properties.size(); ++p) {
      const PlyProperty &property = properties[p];
      const bool is_colour = packed && (int(p) == colour[0] || int(p) == colour[1] ||
                                        int(p) == colour[2] || (packed_alpha_ && int(p) == colour[3]));
      if (is_colour) {
        if (int(p) == colour[0]) {
          for (int c = 0; c < 4; ++c) {
            colour_[c] = c < 3 || packed_alpha_ ? colour[c] : -1;
          }
          colour_field_ = fields_.size();
          fields_.push_back({packed_alpha_ ? "rgba" : "rgb", packed_alpha_ ? 'U' : 'F', 4, 1,
                             offset});
          offset += 4;
        }
        continue;
      }
      std::string name = property.name;
      for (int k = 0; k < kAxes; ++k) {
        name = name == ply_normal_names()[k] ? pcd_normal_names()[k] : name;
      }
      const size_t size = ply_type_size(property.type);
      const char type = property.type == PlyType::kFloat32 || property.type == PlyType::kFloat64
                            ? 'F'
                        : property.type == PlyType::kInt8 || property.type == PlyType::kInt16 ||
                                property.type == PlyType::kInt32
                            ? 'I'
                            : 'U';
      fields_.push_back({name, type, size, 1, offset});
      from_.push_back({p, fields_.size() - 1});
      offset += size;
    }
    record_.resize(offset);
    std::string lines = "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS";
    for (const PcdField &field : fields_) {
      lines += " " + field.name;
    }
    lines += "\nSIZE";
    for (const PcdField &field : fields_) {
      lines += " " + std::to_string(field.size);
    }
    lines += "\nTYPE";
    for (const PcdField &field : fields_) {
      lines += std::string(" ") + field.type;
    }
    lines += "\nCOUNT";
    for (size_t f = 0; f < fields_.size(); ++f) {
      lines += " 1";
    }
    const std::string points = std::to_string(points_);
    lines += "\nWIDTH " + points + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + points + "\n";
    data_out_ = std::make_unique<PcdDataWriter>(out_, fields_, offset, points_, data_);
    if (!data_out_->ready()) {
      fault_ = "no memory for the whole cloud, which binary_compressed data needs; write binary";
    }
    data_out_->header({lines});
  }

  void vertex(const double *values) override {
    if (!check_vertex(vertex_, values)) {
      return;
    }
    char *record = record_.data();
    for (const auto &[property, field] : from_) {
      PlyType type;
      ply_type_of(fields_[field], &type);
      store_ply_value(type, false, values[property], record + fields_[field].offset);
    }
    if (colour_[0] >= 0) {
      const int shifts[4] = {kRedShift, kGreenShift, kBlueShift, kAlphaShift};
      uint32_t packed = 0;
      for (int c = 0; c < 4; ++c) {
        if (colour_[c] >= 0) {
          packed |= uint32_t(values[colour_[c]]) << shifts[c];
        }
      }
      std::memcpy(record + fields_[colour_field_].offset, &packed, sizeof packed);
    }
    if (!data_out_->records(record, 1) && fault_.empty()) {
      fault_ = "more points than the count given";
    }
  }

  void record(const PlyElement &, const std::vector<double> &) override {}

  void finish() override {
    const std::string unfinished = data_out_->finish();
    if (fault_.empty()) {
      fault_ = unfinished;
    }
  }

 private:
  ByteWriter *out_;
  PcdData data_;
  int64_t points_;
  PlyElement vertex_;
  std::vector<PcdField> fields_;
  std::vector<std::pair<size_t, size_t>> from_;  // property -> field, for plain values
  int colour_[4] = {-1, -1, -1, -1};             // properties of red, green, blue, alpha
  size_t colour_field_ = 0;
  bool packed_alpha_ = false;
  std::vector<char> record_;
  std::unique_ptr<PcdDataWriter> data_out_;
};

}  // namespace

std::unique_ptr<CloudWriter> make_pcd_cloud_writer(CloudFormat format, ByteWriter *out,
                                                   const StreamOptions &options) {
  return std::make_unique<PcdCloudWriter>(out, pcd_data_of(format),
                                          std::max<int64_t>(options.write.points, 0));
}

}  // namespace levelling
