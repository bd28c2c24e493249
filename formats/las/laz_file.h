// Whole LAZ files to LAS and back: the header and VLRs rewritten around the LASzip VLR, the
// chunks decoded or encoded side by side on several threads, a batch of chunks at a time (memory
// bounded by the batch, never by the file), what follows the points (EVLRs) carried over with
// its offset mended. Internal to formats/.
#ifndef LEVELLING_FORMATS_LAS_LAZ_FILE_H
#define LEVELLING_FORMATS_LAS_LAZ_FILE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "laz/laz_chunks.h"

namespace levelling {

// Told, as a file is coded, that its bytes before `upto` will not be read again (for a mapped
// file to hand their pages back, so that memory stays bounded by the chunks in flight).
using LazBytesDone = std::function<void(size_t upto)>;

// Decodes the LAZ file at [data, data + size) into LAS written to `out`: the same header, VLRs
// and EVLRs but the LASzip VLR (and a COPC file's octree: its info VLR and hierarchy EVLR, which
// no longer describe the points once they move; *dropped says so, "" otherwise), the points'
// records exactly. `threads` >= 1. kNone, or the fault with one line in *message (kUnsupported
// for a coding this program does not read, kMalformed for a damaged file).
StreamFault decode_laz_file(const char *data, size_t size, ByteWriter *out, int threads,
                            std::string *dropped, std::string *message,
                            const LazBytesDone &done = LazBytesDone());

// How LAZ is written: chunks of `chunk_points` points; `variable`: the chunk table holds each
// chunk's count (as COPC and other writers of chunks of their own sizes do).
struct LazChunking {
  uint32_t chunk_points = kDefaultChunk;
  bool variable = false;
};

// Encodes the LAS file at [data, data + size) as LAZ (point formats 0 to 3 and 6 to 8 with any
// extra bytes, a chunk table) written to `out`. EVLRs need an output that can be patched (a regular
// file). kNone, or the fault with one line in *message.
StreamFault encode_laz_file(const char *data, size_t size, ByteWriter *out, int threads,
                            std::string *message, LazChunking chunking = LazChunking(),
                            const LazBytesDone &done = LazBytesDone());

// The threads to code chunks on: the cores this process may use.
int laz_threads();

}  // namespace levelling

#endif
