// LAS's and LAZ's readers and LAS's writer, the format table's entries for the LAS family.
#ifndef LEVELLING_FORMATS_LAS_LAS_CLOUD_H
#define LEVELLING_FORMATS_LAS_LAS_CLOUD_H

#include <memory>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"

namespace levelling {

// Streams a LAS cloud from `in`, positioned at its start (see stream_cloud).
StreamResult stream_las_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options);

// Streams a LAZ cloud from `in`: decoded into LAS as it is read, chunk by chunk, and streamed as
// that LAS.
StreamResult stream_laz_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options);

// The writer of conversions into LAS (which LAZ is encoded from).
std::unique_ptr<CloudWriter> make_las_cloud_writer(CloudFormat format, ByteWriter *out,
                                                   const StreamOptions &options);

}  // namespace levelling

#endif
