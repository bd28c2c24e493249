// LAZ files to LAS and back as they stream: a LAZ file decoded into the bytes of its LAS as
// those are read (LazDecoder), and the bytes of a LAS encoded into LAZ as they are written
// (LazEncoder); each codes its chunks side by side on threads of their own, a few chunks ahead
// (memory bounded by those in flight, never by the file). Internal to formats/.
#ifndef LEVELLING_FORMATS_LAS_LAZ_FILE_H
#define LEVELLING_FORMATS_LAS_LAZ_FILE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/las/las_header.h"
#include "laz/laz_chunks.h"

namespace levelling {

class OrderedWork;

// Told, as a file is decoded, that its bytes before `upto` will not be read again (for a mapped
// file to hand their pages back).
using LazBytesDone = std::function<void(size_t upto)>;

// The LAS of the LAZ file at [data, data + size) (which must outlive it), made as it is read:
// the same header, VLRs and EVLRs but the LASzip VLR (and a COPC file's octree: its info VLR and
// hierarchy EVLR, which no longer describe the points once they move), the points' records
// exactly. Read after open() returned kNone, up to the end or a fault (then fault() and
// message() say which).
class LazDecoder : public ByteSource {
 public:
  // `threads` >= 1 decode the chunks. `coordinates_only`: chunks of point formats 6 to 10 decode
  // only each record's X, Y and Z (and the returns they are coded by); its other fields keep the
  // chunk's first record's values, and their layers go unchecked.
  LazDecoder(const char *data, size_t size, int threads, bool coordinates_only,
             LazBytesDone done = LazBytesDone());
  ~LazDecoder() override;
  // Reads and checks the file's header, VLRs, chunk table and EVLRs. kNone (*dropped: what
  // the LAS leaves out, "" for nothing), or the fault with one line in *message (kUnsupported
  // for a coding this program does not read, kMalformed for a damaged file).
  StreamFault open(std::string *dropped, std::string *message);
  size_t read(char *to, size_t n) override;
  // kMalformed once a chunk did not decode (the bytes stop before it), else kNone.
  StreamFault fault() const { return fault_; }
  const std::string &message() const { return message_; }

 private:
  // Offers the chunks whose slots are free to the threads.
  void offer_chunks();

  const char *data_;
  size_t size_;
  int threads_;
  bool coordinates_only_;
  LazBytesDone done_;
  LasHeader layout_;
  LazSchema schema_;
  std::vector<LazChunk> chunks_;
  std::vector<char> head_;  // the LAS's header and VLRs
  size_t head_read_ = 0;
  std::vector<LasVlr> tail_;  // the EVLRs kept
  size_t tail_evlr_ = 0, tail_read_ = 0;
  size_t chunk_ = 0, chunk_read_ = 0;  // the chunk being read, and its bytes read
  bool holding_ = false;               // whether chunk_ is made and held
  std::vector<std::unique_ptr<ChunkCoder>> coders_;
  std::vector<std::vector<uint8_t>> records_;  // by slot
  std::vector<char> good_;                     // by slot
  StreamFault fault_ = StreamFault::kNone;
  std::string message_;
  std::unique_ptr<OrderedWork> work_;  // (last: its threads stop before what they use goes)
};

// How LAZ is written: chunks of `chunk_points` points; `variable`: the chunk table holds each
// chunk's count (as COPC and other writers of chunks of their own sizes do).
struct LazChunking {
  uint32_t chunk_points = kDefaultChunk;
  bool variable = false;
};

// LAS bytes, as a ByteWriter hands them on, encoded into LAZ written to `out` (point formats 0
// to 3 and 6 to 8 with any extra bytes; a chunk table): the header and VLRs as they were but
// for an older LASzip VLR, the new one after them, the chunks encoded as their records come,
// what follows the points (EVLRs) after the chunk table, its offset mended. Patches reach the
// header's fields (bounds, counts) but those LAZ rewrites. EVLRs need an output that can be
// patched (a regular file).
class LazEncoder : public ByteSink {
 public:
  LazEncoder(ByteWriter *out, int threads, LazChunking chunking = LazChunking());
  ~LazEncoder() override;
  int write(const char *bytes, size_t n) override;
  bool can_patch(int64_t at) const override;
  int patch(int64_t at, const char *bytes, size_t n) override;
  // Ends the LAZ once every byte of the LAS has been written into it: the last chunks, the chunk
  // table, what followed the points. kNone, or the first fault met with one line in *message.
  StreamFault finish(std::string *message);

 private:
  enum class Part { kHead, kPoints, kTail, kDone };
  // The bytes of the LAS's header and VLRs known to be wanted so far.
  size_t head_wanted() const;
  // The LAS's header and VLRs complete: the LAZ's written.
  bool begin();
  // Writes the chunks made, in order, waiting for them until at most `in_flight` are left.
  void write_chunks(size_t in_flight);
  // The points complete: every chunk written, then the chunk table.
  void end_points();
  int fail(StreamFault fault, const std::string &message);

  ByteWriter *out_;
  int threads_;
  LazChunking chunking_;
  Part part_ = Part::kHead;
  std::vector<char> head_;  // the LAS's header and VLRs, until complete
  LasHeader layout_;
  LazSchema schema_;
  uint64_t received_ = 0;   // LAS bytes taken
  uint64_t points_end_ = 0;  // where the LAS's points end
  int64_t header_at_ = 0, table_offset_at_ = 0, table_at_ = 0, tail_at_ = 0;
  bool patching_ = false;
  std::vector<LazChunk> chunks_;
  size_t filled_ = 0;  // bytes of the next chunk's records in its slot
  std::vector<std::unique_ptr<ChunkCoder>> coders_;
  std::vector<std::vector<uint8_t>> raw_, coded_;  // by slot
  StreamFault fault_ = StreamFault::kNone;
  std::string message_;
  std::unique_ptr<OrderedWork> work_;  // (last: its threads stop before what they use goes)
};

// Decodes the LAZ file at [data, data + size) whole into LAS written to `out` (LazDecoder).
StreamFault decode_laz_file(const char *data, size_t size, ByteWriter *out, int threads,
                            std::string *dropped, std::string *message);

// Encodes the LAS file at [data, data + size) whole as LAZ written to `out` (LazEncoder).
StreamFault encode_laz_file(const char *data, size_t size, ByteWriter *out, int threads,
                            std::string *message, LazChunking chunking = LazChunking());

// The threads to code chunks on: the cores this process may use.
int laz_threads();

}  // namespace levelling

#endif
