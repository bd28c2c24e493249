#include "formats/ply/ply_cloud.h"

#include <memory>
#include <string>
#include <vector>

#include "formats/core/cloud_writer.h"
#include "formats/core/number_text.h"
#include "formats/core/ply_values.h"
#include "formats/ply/ply_header.h"

namespace levelling {

namespace {

// PLY in any encoding: the input's header (with its format line rewritten) or, from text, one
// of its own; then every value in its property's type.
class PlyCloudWriter : public CloudWriter {
 public:
  PlyCloudWriter(ByteWriter *out, PlyEncoding encoding) : out_(out), encoding_(encoding) {}

  void begin(const CloudSchema &schema) override {
    vertex_ = schema.vertex;
    std::string header;
    if (schema.ply_header != nullptr) {
      header = ply_header_text(*schema.ply_header, encoding_);
    } else {
      header = std::string("ply\nformat ") + ply_encoding_name(encoding_) +
               " 1.0\ncomment written by levelling-cloud from " +
               cloud_family_name(schema.source) + "\nelement vertex " +
               std::to_string(schema.vertex.count) + "\n";
      for (const PlyProperty &property : schema.vertex.properties) {
        header += std::string("property ") + ply_type_name(property.type) + " " +
                  property.name + "\n";
      }
      header += "end_header\n";
    }
    out_->write(header.data(), header.size());
  }

  void vertex(const double *values) override {
    check_vertex(vertex_, values);
    first_ = true;
    for (size_t p = 0; p < vertex_.properties.size(); ++p) {
      put(vertex_.properties[p].type, values[p]);
    }
    end_record();
  }

  void record(const PlyElement &element, const std::vector<double> &values) override {
    first_ = true;
    size_t v = 0;
    for (const PlyProperty &property : element.properties) {
      if (!property.is_list) {
        put(property.type, values[v++]);
        continue;
      }
      const int64_t count = int64_t(values[v]);
      put(property.count_type, values[v++]);
      for (int64_t i = 0; i < count; ++i) {
        put(property.type, values[v++]);
      }
    }
    end_record();
  }

 private:
  void put(PlyType type, double value) {
    if (encoding_ == PlyEncoding::kAscii) {
      if (!first_) {
        out_->write(' ');
      }
      write_ply_token(type, value, out_);
    } else {
      char bytes[sizeof(double)];
      store_ply_value(type, encoding_ == PlyEncoding::kBinaryBigEndian, value, bytes);
      out_->write(bytes, ply_type_size(type));
    }
    first_ = false;
  }

  void end_record() {
    if (encoding_ == PlyEncoding::kAscii) {
      out_->write('\n');
    }
  }

  ByteWriter *out_;
  PlyEncoding encoding_;
  PlyElement vertex_;
  bool first_ = true;
};

}  // namespace

std::unique_ptr<CloudWriter> make_ply_cloud_writer(CloudFormat format, ByteWriter *out,
                                                   const StreamOptions &) {
  return std::make_unique<PlyCloudWriter>(out, ply_encoding_of(format));
}

PlyEncoding ply_encoding_of(CloudFormat format) {
  switch (format) {
    case CloudFormat::kPlyBinaryLittleEndian:
      return PlyEncoding::kBinaryLittleEndian;
    case CloudFormat::kPlyBinaryBigEndian:
      return PlyEncoding::kBinaryBigEndian;
    default:
      break;
  }
  return PlyEncoding::kAscii;
}


}  // namespace levelling
