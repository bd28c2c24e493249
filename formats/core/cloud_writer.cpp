#include "formats/core/cloud_writer.h"

#include <string>

#include "formats/core/number_text.h"
#include "formats/core/ply_values.h"
#include "formats/core/stream_support.h"

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

std::unique_ptr<CloudWriter> make_cloud_writer(CloudFormat format, ByteWriter *out,
                                               const StreamOptions &options) {
  switch (family_of(format)) {
    case CloudFamily::kText:
      return make_text_cloud_writer(out, options.write.text_separator, options.write.decimals);
    case CloudFamily::kPly:
      break;
    case CloudFamily::kPcd:
      return make_pcd_cloud_writer(format, out, options);
    case CloudFamily::kLas:
      return make_las_cloud_writer(out, options);
  }
  return make_ply_cloud_writer(out, ply_encoding_of(format));
}

}  // namespace levelling
