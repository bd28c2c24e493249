// PTX written from another format: one scan, the identity its transform.
#include "formats/ptx/ptx_cloud.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/core/cloud_writer.h"
#include "formats/core/number_text.h"
#include "formats/ptx/ptx_scan.h"

namespace levelling {

namespace {

// PTX's intensity is a fraction; an integer intensity is a fraction of its type's range (LAS's
// 16 bits). A point without one, or an empty point, gets the intensity PTX writers give no
// return.
constexpr double kNoIntensity = 0.5;
constexpr const char *kEmptyPoint = "0 0 0 0.5";
constexpr double kLasColour = 257.0;  // LAS's 16-bit colour over 8 bits
constexpr double kByteRange = 255.0, kUint16Range = 65535.0;

class PtxCloudWriter : public CloudWriter {
 public:
  PtxCloudWriter(ByteWriter *out, int decimals) : out_(out), decimals_(decimals) {}

  void begin(const CloudSchema &schema) override {
    vertex_ = schema.vertex;
    for (int k = 0; k < 3; ++k) {
      coordinate_[k] = size_t(schema.coordinate[k]);
    }
    for (size_t p = 0; p < vertex_.properties.size(); ++p) {
      const std::string &name = vertex_.properties[p].name;
      if (name == "intensity" || name == "scalar_intensity") {
        intensity_ = int(p);
      }
      for (int c = 0; c < 3; ++c) {
        if (name == kColourNames[c] || name == kShortColourNames[c]) {
          colour_[c] = int(p);
        }
      }
    }
    coloured_ = colour_[0] >= 0 && colour_[1] >= 0 && colour_[2] >= 0;
    PtxScan scan;
    scan.columns = vertex_.count;
    scan.rows = 1;
    const std::string header = ptx_header_text(scan);
    out_->write(header.data(), header.size());
  }

  void vertex(const double *values) override {
    check_vertex(vertex_, values);
    const double x = values[coordinate_[0]], y = values[coordinate_[1]],
                 z = values[coordinate_[2]];
    if (is_empty_point(x, y, z)) {
      out_->write(kEmptyPoint, std::strlen(kEmptyPoint));
      if (coloured_) {
        out_->write(" 0 0 0", 6);
      }
      out_->write('\n');
      return;
    }
    char number[kNumberTextSize];
    for (const double value : {x, y, z}) {
      out_->write(number, decimals_ >= 0 ? format_number_fixed(value, decimals_, number)
                                         : format_number(value, number));
      out_->write(' ');
    }
    out_->write(number, format_number(float(intensity_of(values)), number));
    if (coloured_) {
      for (const int c : colour_) {
        out_->write(' ');
        out_->write(number, format_integer(colour_of(c, values[c]), number));
      }
    }
    out_->write('\n');
  }

  // Other elements have no place in PTX; such a conversion is refused before writing.
  void record(const PlyElement &, const std::vector<double> &) override {}

 private:
  static constexpr const char *kColourNames[3] = {"red", "green", "blue"};
  static constexpr const char *kShortColourNames[3] = {"r", "g", "b"};

  double intensity_of(const double *values) const {
    if (intensity_ < 0) {
      return kNoIntensity;
    }
    const double value = values[intensity_];
    switch (vertex_.properties[size_t(intensity_)].type) {
      case PlyType::kUint8:
        return value / kByteRange;
      case PlyType::kUint16:
        return value / kUint16Range;
      default:
        return value;
    }
  }

  // An 8-bit colour; 16-bit colours (LAS's) are scaled down.
  int64_t colour_of(int property, double value) const {
    if (vertex_.properties[size_t(property)].type == PlyType::kUint16) {
      value /= kLasColour;
    }
    return int64_t(std::lround(std::fmin(std::fmax(value, 0.0), kByteRange)));
  }

  ByteWriter *out_;
  int decimals_;
  PlyElement vertex_;
  size_t coordinate_[3] = {0, 1, 2};
  int intensity_ = -1;
  int colour_[3] = {-1, -1, -1};
  bool coloured_ = false;
};

}  // namespace

std::unique_ptr<CloudWriter> make_ptx_cloud_writer(CloudFormat, ByteWriter *out,
                                                   const StreamOptions &options) {
  return std::make_unique<PtxCloudWriter>(out, options.write.decimals);
}

}  // namespace levelling
