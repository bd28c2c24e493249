// PTX's reader and writer, the format table's entries for Leica's text scans.
#ifndef LEVELLING_FORMATS_PTX_PTX_CLOUD_H
#define LEVELLING_FORMATS_PTX_PTX_CLOUD_H

#include <memory>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"

namespace levelling {

// Streams a PTX file from `in`, positioned at its start (see stream_cloud): every scan, each
// point moved into the world by its scan's transform, a point at 0 0 0 (the scanner saw nothing)
// handed on as an empty point in its place. Written as PTX, each scan's header takes the
// motion (its position, axes and transform) and every point line stays as it was; converted,
// the points are x, y, z in the world, intensity and, where the lines have them, red, green and
// blue.
StreamResult stream_ptx_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options);

// The writer of conversions into PTX: one scan of the cloud's points (its columns the point
// count, one row, the identity transform), each point x y z intensity and, where the cloud has
// red, green and blue, its colour; an empty point written as PTX writes no return (0 0 0 0.5).
std::unique_ptr<CloudWriter> make_ptx_cloud_writer(CloudFormat format, ByteWriter *out,
                                                   const StreamOptions &options);

}  // namespace levelling

#endif
