// PLY's reader and writer, the format table's entries for its three encodings.
#ifndef LEVELLING_FORMATS_PLY_PLY_CLOUD_H
#define LEVELLING_FORMATS_PLY_PLY_CLOUD_H

#include <memory>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"
#include "formats/core/ply_types.h"

namespace levelling {

// Streams a PLY cloud from `in`, positioned at its start (see stream_cloud).
StreamResult stream_ply_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options);

// The writer of conversions into PLY, in `format`'s encoding.
std::unique_ptr<CloudWriter> make_ply_cloud_writer(CloudFormat format, ByteWriter *out,
                                                   const StreamOptions &options);

// The PLY encoding of a PLY format (ascii for the other formats, which have none).
PlyEncoding ply_encoding_of(CloudFormat format);

}  // namespace levelling

#endif
