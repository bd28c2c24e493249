// LAZ's file layer: a file's header, VLRs, EVLRs and chunk table read and rewritten around the
// LASzip VLR (laz_layout.h), and whole files decoded and encoded through LazDecoder and
// LazEncoder.
#include "formats/las/laz_file.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "formats/core/fan_out.h"
#include "formats/las/las_header.h"
#include "formats/las/laz_layout.h"
#include "laz/laz_chunks.h"

namespace levelling {

namespace {

// The most bytes of records one chunk may decode to: a chunk table that claims more lies, or
// asks for more memory than a chunk should take.
constexpr uint64_t kLargestChunk = uint64_t(1) << 30;
constexpr int kMostThreads = 64;

}  // namespace

bool read_layout(const char *data, size_t size, LasHeader *layout, std::string *message,
                 bool *unsupported) {
  if (!parse_las_header(data, size, layout, message, unsupported)) {
    return false;
  }
  if (layout->first_point > size) {
    *message = "truncated: the file ends before its first point (byte " +
               std::to_string(layout->first_point) + ")";
    return false;
  }
  return true;
}

uint64_t evlr_start_of(const LasHeader &layout) {
  return layout.minor >= 4 ? layout.after_points : 0;
}

std::vector<LasVlr> vlrs_of(const char *data, const LasHeader &layout) {
  std::vector<LasVlr> vlrs;
  uint64_t at = layout.header_size;
  for (uint32_t v = 0; v < layout.vlr_count && at + kVlrHeader <= layout.first_point; ++v) {
    vlrs.push_back(las_vlr_at(data + at, at, layout.first_point));
    at += vlrs.back().size;
  }
  return vlrs;
}

bool evlrs_of(const char *data, size_t size, uint64_t start, uint32_t count,
              std::vector<LasVlr> *evlrs, std::string *message) {
  uint64_t at = start;
  for (uint32_t e = 0; e < count; ++e) {
    if (at > size || size - at < kEvlrHeader ||
        get<uint64_t>(data + at, kEvlrLength) > size - at - kEvlrHeader) {
      *message = "EVLR " + std::to_string(e + 1) + " of " + std::to_string(count) +
                 " runs past the file's end";
      return false;
    }
    const uint64_t length = kEvlrHeader + get<uint64_t>(data + at, kEvlrLength);
    LasVlr evlr = las_vlr_at(data + at, at, UINT64_MAX);
    evlr.length = size_t(length - kEvlrHeader);  // (a VLR's length has 16 bits, an EVLR's 64)
    evlr.size = length;
    evlrs->push_back(std::move(evlr));
    at += length;
  }
  return true;
}

std::vector<char> rewritten_header(const char *data, const LasHeader &layout,
                                   const std::vector<LasVlr> &vlrs, const DroppedRecord &dropped,
                                   size_t added_bytes, unsigned format_byte,
                                   uint64_t *first_point) {
  uint64_t removed = 0;
  uint32_t removed_vlrs = 0;
  for (const LasVlr &vlr : vlrs) {
    if (dropped(vlr)) {
      removed += vlr.size;
      ++removed_vlrs;
    }
  }
  *first_point = layout.first_point - removed + added_bytes;
  std::vector<char> header(data, data + layout.header_size);
  put(header.data(), kPointOffset, uint32_t(*first_point));
  put(header.data(), kVlrCount, layout.vlr_count - removed_vlrs + (added_bytes > 0 ? 1 : 0));
  header[kPointFormat] = char(format_byte);
  return header;
}

void append_vlrs(const char *data, const LasHeader &layout, const std::vector<LasVlr> &vlrs,
                 const DroppedRecord &dropped, const std::vector<char> &added,
                 std::vector<char> *out) {
  uint64_t at = layout.header_size;
  for (const LasVlr &vlr : vlrs) {
    if (vlr.at > at) {
      out->insert(out->end(), data + at, data + vlr.at);
    }
    if (!dropped(vlr)) {
      out->insert(out->end(), data + vlr.at, data + vlr.at + vlr.size);
    }
    at = vlr.at + vlr.size;
  }
  out->insert(out->end(), added.begin(), added.end());
  out->insert(out->end(), data + at, data + layout.first_point);
}

bool find_chunks(const char *data, size_t size, const LasHeader &layout, const LazSchema &schema,
                 std::vector<LazChunk> *chunks, int64_t *table_at, std::string *message) {
  const uint64_t chunks_start = layout.first_point + kTableOffsetBytes;
  if (chunks_start > size) {
    *message = "truncated: the file ends before its first chunk";
    return false;
  }
  *table_at = get<int64_t>(data, layout.first_point);
  if (*table_at == -1 && size >= chunks_start + kTableOffsetBytes) {
    *table_at = get<int64_t>(data, size - kTableOffsetBytes);
  }
  if (*table_at < int64_t(chunks_start) || uint64_t(*table_at) > size - kTableHead) {
    *message = "no chunk table where the file says (byte " + std::to_string(*table_at) +
               ": truncated, or its writing was interrupted)";
    return false;
  }
  const char *table = data + *table_at;
  if (get<uint32_t>(table, 0) != 0) {
    *message = "a chunk table of version " + std::to_string(get<uint32_t>(table, 0));
    return false;
  }
  const auto *bytes = reinterpret_cast<const uint8_t *>(data);
  if (!read_chunk_table(bytes + *table_at + kTableHead, bytes + size, get<uint32_t>(table, 4),
                        schema.chunk_size, chunks_start, uint64_t(*table_at),
                        uint64_t(layout.points), chunks, message)) {
    return false;
  }
  for (size_t c = 0; c < chunks->size(); ++c) {
    if ((*chunks)[c].points > kLargestChunk / layout.record) {
      *message = "chunk " + std::to_string(c + 1) + " of " + std::to_string((*chunks)[c].points) +
                 " points (more than a chunk should hold)";
      return false;
    }
  }
  return true;
}


int laz_threads() {
  return std::min(kMostThreads, core_count());
}

StreamFault decode_laz_file(const char *data, size_t size, ByteWriter *out, int threads,
                            std::string *dropped, std::string *message) {
  LazDecoder decoder(data, size, threads, false);
  const StreamFault fault = decoder.open(dropped, message);
  if (fault != StreamFault::kNone) {
    return fault;
  }
  std::vector<char> piece(size_t(1) << 20);
  for (size_t n; (n = decoder.read(piece.data(), piece.size())) > 0;) {
    out->write(piece.data(), n);
  }
  *message = decoder.message();
  return decoder.fault();
}

StreamFault encode_laz_file(const char *data, size_t size, ByteWriter *out, int threads,
                            std::string *message, LazChunking chunking) {
  LazEncoder encoder(out, threads, chunking);
  if (size > 0) {
    encoder.write(data, size);
  }
  return encoder.finish(message);
}

}  // namespace levelling
