// The text cloud's reader and writer, the format table's entries for text.
#ifndef LEVELLING_FORMATS_TEXT_TEXT_CLOUD_H
#define LEVELLING_FORMATS_TEXT_TEXT_CLOUD_H

#include <memory>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"

namespace levelling {

// Streams a text cloud from `in`, positioned at its start (see stream_cloud).
StreamResult stream_text_cloud(ByteReader *in, const PointVisitor &visit,
                               const StreamOptions &options);

// The writer of conversions into text, with the options' separator and digits after the
// point (-1: the shortest that read back).
std::unique_ptr<CloudWriter> make_text_cloud_writer(CloudFormat format, ByteWriter *out,
                                                    const StreamOptions &options);

}  // namespace levelling

#endif
