// PCD's reader and writer, the format table's entries for its three encodings.
#ifndef LEVELLING_FORMATS_PCD_PCD_CLOUD_H
#define LEVELLING_FORMATS_PCD_PCD_CLOUD_H

#include <memory>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"

namespace levelling {

// Streams a PCD cloud from `in`, positioned at its start (see stream_cloud).
StreamResult stream_pcd_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options);

// The writer of conversions into PCD, in `format`'s encoding.
std::unique_ptr<CloudWriter> make_pcd_cloud_writer(CloudFormat format, ByteWriter *out,
                                                   const StreamOptions &options);

}  // namespace levelling

#endif
