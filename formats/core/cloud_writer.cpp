#include "formats/core/cloud_writer.h"

#include <string>

#include "formats/core/format_row.h"
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

std::unique_ptr<CloudWriter> make_cloud_writer(const StreamOptions &options) {
  return options.write.row->write(options.write.format, options.write.out, options);
}

CloudFamily written_family(const WriteSettings &write) { return write.row->family; }

}  // namespace levelling
