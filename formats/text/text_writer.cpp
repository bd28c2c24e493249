#include "formats/text/text_cloud.h"

#include <memory>
#include <string>
#include <vector>

#include "formats/core/cloud_writer.h"
#include "formats/core/number_text.h"
#include "formats/core/ply_values.h"

namespace levelling {

namespace {

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

std::unique_ptr<CloudWriter> make_text_cloud_writer(CloudFormat, ByteWriter *out,
                                                    const StreamOptions &options) {
  return std::make_unique<TextCloudWriter>(out, options.write.text_separator,
                                           options.write.decimals);
}

}  // namespace levelling
