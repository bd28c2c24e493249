#include "formats/cloud_writer.h"

#include <string>

#include "formats/number_text.h"
#include "formats/ply_values.h"
#include "formats/stream_support.h"

namespace levelling {

bool CloudWriter::check_vertex(const PlyElement &vertex, const double *values) {
  ++vertices_;
  const size_t beyond = first_beyond_float_property(vertex, values);
  if (beyond < vertex.properties.size() && fault_.empty()) {
    fault_ = "point " + std::to_string(vertices_) + ": the levelled " +
             vertex.properties[beyond].name + " is beyond the range of its float property";
  }
  return fault_.empty();
}

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
               cloud_family_name(family_of(schema.source)) + "\nelement vertex " +
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

// Text: a '#' line naming the columns (x y z, then the vertex's other properties), then one
// line a vertex.
class TextCloudWriter : public CloudWriter {
 public:
  TextCloudWriter(ByteWriter *out, char separator, int decimals)
      : out_(out), separator_(separator), decimals_(decimals) {}

  void begin(const CloudSchema &schema) override {
    vertex_ = schema.vertex;
    for (int k = 0; k < 3; ++k) {
      coordinate_[k] = size_t(schema.coordinate[k]);
    }
    std::string names = std::string("# x") + separator_ + "y" + separator_ + "z";
    for (size_t p = 0; p < vertex_.properties.size(); ++p) {
      if (!is_coordinate(p)) {
        names += separator_ + vertex_.properties[p].name;
      }
    }
    names += '\n';
    out_->write(names.data(), names.size());
  }

  void vertex(const double *values) override {
    char number[kNumberTextSize];
    for (int k = 0; k < 3; ++k) {
      if (k > 0) {
        out_->write(separator_);
      }
      const double value = values[coordinate_[k]];
      out_->write(number, decimals_ >= 0 ? format_number_fixed(value, decimals_, number)
                                         : format_number(value, number));
    }
    for (size_t p = 0; p < vertex_.properties.size(); ++p) {
      if (!is_coordinate(p)) {
        out_->write(separator_);
        write_ply_token(vertex_.properties[p].type, values[p], out_);
      }
    }
    out_->write('\n');
  }

  // Other elements have no place in a text cloud; such a conversion is refused before writing.
  void record(const PlyElement &, const std::vector<double> &) override {}

 private:
  bool is_coordinate(size_t p) const {
    return p == coordinate_[0] || p == coordinate_[1] || p == coordinate_[2];
  }

  ByteWriter *out_;
  char separator_;
  int decimals_;
  PlyElement vertex_;
  size_t coordinate_[3] = {0, 1, 2};
};

}  // namespace

std::unique_ptr<CloudWriter> make_cloud_writer(CloudFormat format, ByteWriter *out,
                                               const StreamOptions &options) {
  switch (family_of(format)) {
    case CloudFamily::kText:
      return std::make_unique<TextCloudWriter>(out, options.text_separator, options.decimals);
    case CloudFamily::kPly:
      break;
    case CloudFamily::kPcd:
      return make_pcd_cloud_writer(format, out, options);
    case CloudFamily::kLas:
      return make_las_cloud_writer(out, options);
  }
  return std::make_unique<PlyCloudWriter>(out, ply_encoding_of(format));
}

}  // namespace levelling
