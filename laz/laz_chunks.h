// LAZ's layout around the coded points: the LASzip VLR that says how the records are coded
// (compressor, items and their versions, chunk size), the chunks of points coded apart, and the
// chunk table that says where each begins and how many points it holds.
#ifndef LEVELLING_LAZ_LAZ_CHUNKS_H
#define LEVELLING_LAZ_LAZ_CHUNKS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "laz/laz_items.h"
#include "laz/laz_layered.h"

namespace levelling {

// The LASzip VLR: its user and record id, the size of its payload before the items.
extern const char *const kLaszipUser;
constexpr int kLaszipRecord = 22204;
constexpr size_t kLaszipFixed = 34, kLaszipItem = 6;
// Chunks of this many points, unless the VLR says otherwise; kVariableChunks: the chunk table
// holds each chunk's count.
constexpr uint32_t kDefaultChunk = 50000;
constexpr uint32_t kVariableChunks = 0xFFFFFFFFu;

enum class LazItemType : uint16_t {
  kByte = 0,
  kPoint10 = 6,
  kGpsTime11 = 7,
  kRgb12 = 8,
  kWavePacket13 = 9,
  kPoint14 = 10,
  kRgb14 = 11,
  kRgbNir14 = 12,
  kWavePacket14 = 13,
  kByte14 = 14,
};

struct LazItem {
  LazItemType type;
  uint16_t size;
  uint16_t version;
};

// What the LASzip VLR says.
struct LazSchema {
  uint16_t compressor = 2;  // 2: point-wise chunks; 3: layered chunks (formats 6 to 10)
  uint32_t chunk_size = kDefaultChunk;
  std::vector<LazItem> items;
};

// Reads the VLR's payload (n bytes) into *schema, and checks that this program decodes it for
// records of `record` bytes. False with *error saying why; *unsupported when the payload is well
// formed but its coding is one this program does not take (and which).
bool read_laz_schema(const char *payload, size_t n, size_t record, LazSchema *schema,
                     std::string *error, bool *unsupported);

// The schema this program writes for LAS point format `format` with records of `record` bytes,
// chunks of kDefaultChunk points; false with *error when it writes no LAZ of that format.
bool laz_schema_for(int format, size_t record, LazSchema *schema, std::string *error);

// The VLR's payload for `schema`.
std::vector<char> laz_schema_payload(const LazSchema &schema);

// Decodes and encodes whole chunks of records with a schema read_laz_schema accepted. One coder
// a thread: it keeps the items' models between chunks (reset at each chunk's start).
class ChunkCoder {
 public:
  ChunkCoder(const LazSchema &schema, size_t record);
  // Decodes the chunk at [bytes, bytes + size), `points` records, into *records (resized as the
  // decoding goes: to points * record bytes at the end). False when the bytes run out, are left
  // over, or hold what no encoder writes.
  bool decode(const uint8_t *bytes, size_t size, size_t points, std::vector<uint8_t> *records);
  // Whether decode() decodes of layered chunks (point formats 6 to 10) only X, Y and Z: the
  // records' other fields then keep their first record's values, their layers unchecked.
  void decode_coordinates_only(bool only) { coordinates_only_ = only; }
  // Appends the chunk of `points` records (points >= 1) to *out.
  void encode(const uint8_t *records, size_t points, std::vector<uint8_t> *out);

 private:
  void start(const uint8_t *first);
  bool decode_layered(const uint8_t *bytes, size_t size, size_t points,
                      std::vector<uint8_t> *records);
  // Makes room in *records for the records from p on, a step at a time up to `points`.
  void grow(std::vector<uint8_t> *records, size_t p, size_t points) const;
  void encode_layered(const uint8_t *records, size_t points, std::vector<uint8_t> *out);
  // One record after a chunk's first: its items decoded into it from the coder (or the layers),
  // or encoded from it.
  void code_record(uint8_t *record, bool decoding);

  size_t record_;
  bool layered_;
  bool coordinates_only_ = false;
  std::vector<LazItem> items_;
  std::vector<size_t> offsets_;  // each item's offset in the record
  std::vector<size_t> first_layer_;  // layered: each item's first layer
  Point10Coder point_;
  GpsTimeCoder time_;
  Rgb12Coder colour_;
  BytesCoder bytes_;
  Point14Coder point14_;
  Rgb14Coder colour14_;
  Bytes14Coder bytes14_;
  RangeDecoder decoder_;
  RangeEncoder encoder_;
  std::vector<LazLayer> layers_;
  unsigned channel_ = 0;
};

// A chunk: where it begins in the file, its bytes and points.
struct LazChunk {
  uint64_t start;
  uint64_t bytes;
  uint64_t points;
};

// Reads the chunk table of `count` chunks coded at [data, end), the first chunk at `first`:
// each chunk's points (from the table for kVariableChunks, else chunk_size, the last one the
// rest of `points`) and bytes. False with *error when it is damaged or disagrees with the file:
// counts that do not add up to `points`, chunks that run past `limit`.
bool read_chunk_table(const uint8_t *data, const uint8_t *end, uint32_t count,
                      uint32_t chunk_size, uint64_t first, uint64_t limit, uint64_t points,
                      std::vector<LazChunk> *chunks, std::string *error);

// Appends the chunk table (version, count, the coded counts and sizes) of `chunks` to *out.
void write_chunk_table(const std::vector<LazChunk> &chunks, uint32_t chunk_size,
                       std::vector<uint8_t> *out);

}  // namespace levelling

#endif
