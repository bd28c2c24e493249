// Streaming a cloud file of any format the table reads: its format recognised by its first
// bytes, its reader and the writer of its output found by their rows.
#ifndef LEVELLING_FORMATS_STREAM_CLOUD_H
#define LEVELLING_FORMATS_STREAM_CLOUD_H

#include <cstdio>

#include "formats/core/cloud_stream.h"

namespace levelling {

// Reads the cloud on `in` (from its current position, which should be its start; a regular file
// is read from memory), recognising its format by the format table (formats/format_table.h:
// formats known but not read are refused with kUnsupported, saying what they are), visits every
// point and writes the cloud to options.out, whose flush is left to the caller. Stops at the
// first fault. Memory is bounded by a few MiB and the longest line, whatever the file's size,
// but for PCD's binary_compressed data, which is one block of the whole cloud. LAZ, read or
// written, takes its chunks in flight in memory (a few a thread) and no temporary file.
StreamResult stream_cloud(std::FILE *in, const PointVisitor &visit, const StreamOptions &options);

}  // namespace levelling

#endif
