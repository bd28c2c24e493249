#include "formats/las/laz_file.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "formats/core/fan_out.h"
#include "formats/las/las_header.h"
#include "laz/laz_chunks.h"

namespace levelling {

namespace {

constexpr size_t kEvlrHeader = 60, kEvlrLength = 20;
constexpr size_t kTableOffsetBytes = 8, kTableHead = 8;
constexpr int kCopcInfoRecord = 1, kCopcHierarchyRecord = 1000;
// Chunks decoded or encoded side by side: this many a thread in flight, and no more records
// than kBatchBytes (one chunk at least).
constexpr size_t kChunksPerThread = 2;
constexpr size_t kBatchBytes = size_t(64) << 20;
// The most bytes of records one chunk may decode to: a chunk table that claims more lies, or
// asks for more memory than a chunk should take.
constexpr uint64_t kLargestChunk = uint64_t(1) << 30;
constexpr int kMostThreads = 64;

// The header of a LAS or LAZ file in memory, checked (parse_las_header) and its points' start
// within the file. False with *message.
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

// Where LAS 1.4's EVLRs begin (0: none, or an earlier version).
uint64_t evlr_start_of(const LasHeader &layout) {
  return layout.minor >= 4 ? layout.after_points : 0;
}

// The VLRs between the header and the first point.
std::vector<LasVlr> vlrs_of(const char *data, const LasHeader &layout) {
  std::vector<LasVlr> vlrs;
  uint64_t at = layout.header_size;
  for (uint32_t v = 0; v < layout.vlr_count && at + kVlrHeader <= layout.first_point; ++v) {
    vlrs.push_back(las_vlr_at(data + at, at, layout.first_point));
    at += vlrs.back().size;
  }
  return vlrs;
}

// The EVLRs from `start` to the file's end; false with *message when one runs past it.
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

// Makes the items [0, n) on `threads` threads of their own, each into slot i % window, and takes
// them on the calling thread in their order as each is made: an item is begun once the one
// `window` before it is taken and, but for the first in flight, while the items in flight
// weigh (by `weights`) at most kBatchBytes. A take that returns false stops the rest; returns
// whether every take returned true.
bool in_order(size_t n, int threads, size_t window, const std::vector<uint64_t> &weights,
              const std::function<void(int thread, size_t slot, size_t i)> &make,
              const std::function<bool(size_t slot, size_t i)> &take) {
  std::mutex lock;
  std::condition_variable changed;
  size_t next = 0, taken = 0;
  uint64_t in_flight = 0;
  bool stop = false;
  std::vector<char> ready(window, 0);
  const auto may_begin = [&] {
    return stop || next >= n ||
           (next < taken + window && (in_flight == 0 || in_flight + weights[next] <= kBatchBytes));
  };
  const auto worker = [&](int thread) {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
      changed.wait(hold, may_begin);
      if (stop || next >= n) {
        return;
      }
      const size_t i = next++;
      in_flight += weights[i];
      hold.unlock();
      make(thread, i % window, i);
      hold.lock();
      ready[i % window] = 1;
      changed.notify_all();
    }
  };
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back(worker, t);
  }
  bool good = true;
  for (size_t i = 0; i < n && good; ++i) {
    {
      std::unique_lock<std::mutex> hold(lock);
      changed.wait(hold, [&] { return ready[i % window] != 0; });
      ready[i % window] = 0;
    }
    good = take(i % window, i);
    {
      std::lock_guard<std::mutex> hold(lock);
      taken = i + 1;
      in_flight -= weights[i];
      stop = !good;
    }
    changed.notify_all();
  }
  for (std::thread &each : pool) {
    each.join();
  }
  return good;
}

// Whether a VLR (or EVLR) is one a rewritten file leaves out.
using DroppedRecord = std::function<bool(const LasVlr &)>;

// The public header block rewritten for the VLRs kept and `added_bytes` of one VLR added (0:
// none): its point offset (*first_point) and VLR count mended, its point format byte set to
// `format_byte`.
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

// Writes the VLRs kept, as they were (and any bytes between them), then `added`, then the bytes
// between the last VLR and the first point.
void write_vlrs(const char *data, const LasHeader &layout, const std::vector<LasVlr> &vlrs,
                const DroppedRecord &dropped, const std::vector<char> &added, ByteWriter *out) {
  uint64_t at = layout.header_size;
  for (const LasVlr &vlr : vlrs) {
    if (vlr.at > at) {
      out->write(data + at, size_t(vlr.at - at));
    }
    if (!dropped(vlr)) {
      out->write(data + vlr.at, size_t(vlr.size));
    }
    at = vlr.at + vlr.size;
  }
  out->write(added.data(), added.size());
  out->write(data + at, size_t(layout.first_point - at));
}

// The chunks of a LAZ file, from its chunk table: its offset in the 8 bytes before the chunks,
// or (-1) in the file's last 8. *table_at: where the table begins. False with *message.
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
                        schema.chunk_size, chunks_start, uint64_t(*table_at), uint64_t(layout.points),
                        chunks, message)) {
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

// Decodes the chunks to their records, in order, onto `out` on `threads` threads; false with
// *message for the first chunk that does not decode.
bool decode_chunks(const char *data, const LazSchema &schema, size_t record,
                   const std::vector<LazChunk> &chunks, int threads, ByteWriter *out,
                   std::string *message, const LazBytesDone &done) {
  std::vector<uint64_t> decoded(chunks.size());
  for (size_t c = 0; c < chunks.size(); ++c) {
    decoded[c] = chunks[c].points * record;
  }
  std::vector<std::unique_ptr<ChunkCoder>> coders;
  for (int t = 0; t < threads; ++t) {
    coders.emplace_back(new ChunkCoder(schema, record));
  }
  const auto *bytes = reinterpret_cast<const uint8_t *>(data);
  const size_t window = kChunksPerThread * size_t(threads);
  std::vector<std::vector<uint8_t>> records(window);
  std::vector<char> good(window, 0);
  return in_order(
      chunks.size(), threads, window, decoded,
      [&](int thread, size_t slot, size_t c) {
        good[slot] = coders[size_t(thread)]->decode(bytes + chunks[c].start,
                                                    size_t(chunks[c].bytes),
                                                    size_t(chunks[c].points), &records[slot]);
      },
      [&](size_t slot, size_t c) {
        if (!good[slot]) {
          *message = "chunk " + std::to_string(c + 1) + " of " + std::to_string(chunks.size()) +
                     " is damaged (it does not decode to its " +
                     std::to_string(chunks[c].points) + " points)";
          return false;
        }
        out->write(reinterpret_cast<const char *>(records[slot].data()), records[slot].size());
        if (done) {
          done(size_t(chunks[c].start + chunks[c].bytes));
        }
        return true;
      });
}

// Encodes the records of `layout` into chunks of `chunk_points` on `threads` threads, each
// written to `out` in order as soon as its batch is done; returns the chunks, where each went.
std::vector<LazChunk> encode_chunks(const char *data, const LasHeader &layout,
                                    const LazSchema &schema, uint32_t chunk_points, int threads,
                                    ByteWriter *out, const LazBytesDone &done) {
  std::vector<LazChunk> chunks;
  std::vector<uint64_t> raw;
  for (uint64_t first = 0; first < uint64_t(layout.points); first += chunk_points) {
    const uint64_t n = std::min<uint64_t>(chunk_points, uint64_t(layout.points) - first);
    chunks.push_back({0, 0, n});
    raw.push_back(n * layout.record);
  }
  std::vector<std::unique_ptr<ChunkCoder>> coders;
  for (int t = 0; t < threads; ++t) {
    coders.emplace_back(new ChunkCoder(schema, layout.record));
  }
  const size_t window = kChunksPerThread * size_t(threads);
  std::vector<std::vector<uint8_t>> coded(window);
  const auto *records = reinterpret_cast<const uint8_t *>(data + layout.first_point);
  in_order(
      chunks.size(), threads, window, raw,
      [&](int thread, size_t slot, size_t c) {
        coded[slot].clear();
        coders[size_t(thread)]->encode(records + c * uint64_t(chunk_points) * layout.record,
                                       size_t(chunks[c].points), &coded[slot]);
      },
      [&](size_t slot, size_t c) {
        chunks[c].start = uint64_t(out->written());
        chunks[c].bytes = coded[slot].size();
        out->write(reinterpret_cast<const char *>(coded[slot].data()), coded[slot].size());
        if (done) {
          done(size_t(layout.first_point + (c + 1) * uint64_t(chunk_points) * layout.record));
        }
        return true;
      });
  return chunks;
}

}  // namespace

int laz_threads() {
  return std::min(kMostThreads, core_count());
}

StreamFault decode_laz_file(const char *data, size_t size, ByteWriter *out, int threads,
                            std::string *dropped, std::string *message,
                            const LazBytesDone &done) {
  dropped->clear();
  LasHeader layout;
  bool unsupported = false;
  if (!read_layout(data, size, &layout, message, &unsupported)) {
    return unsupported ? StreamFault::kUnsupported : StreamFault::kMalformed;
  }
  const std::vector<LasVlr> vlrs = vlrs_of(data, layout);
  const LasVlr *laszip = nullptr;
  bool copc = false;
  for (const LasVlr &vlr : vlrs) {
    if (vlr.user == kLaszipUser && vlr.record == kLaszipRecord) {
      laszip = &vlr;
    }
    copc = copc || (vlr.user == "copc" && vlr.record == kCopcInfoRecord);
  }
  if (laszip == nullptr) {
    *message = "LAZ without its LASzip VLR (user \"laszip encoded\", record 22204)";
    return StreamFault::kMalformed;
  }
  LazSchema schema;
  if (!read_laz_schema(data + laszip->at + kVlrHeader, laszip->size - kVlrHeader, layout.record,
                       &schema, message, &unsupported)) {
    return unsupported ? StreamFault::kUnsupported : StreamFault::kMalformed;
  }
  std::vector<LazChunk> chunks;
  int64_t table_at = 0;
  if (!find_chunks(data, size, layout, schema, &chunks, &table_at, message)) {
    return StreamFault::kMalformed;
  }
  std::vector<LasVlr> evlrs;
  const uint64_t evlr_start = evlr_start_of(layout);
  if (evlr_start != 0 && (evlr_start < uint64_t(table_at) + kTableHead ||
                          !evlrs_of(data, size, evlr_start, layout.evlr_count, &evlrs, message))) {
    if (message->empty()) {
      *message = "EVLRs at byte " + std::to_string(evlr_start) + ", inside the points";
    }
    return StreamFault::kMalformed;
  }
  // The header, with the LASzip VLR (and a COPC file's info VLR) taken out.
  const DroppedRecord dropped_vlr = [&](const LasVlr &vlr) {
    return &vlr == laszip || (copc && vlr.user == "copc" && vlr.record == kCopcInfoRecord);
  };
  uint64_t first_point = 0;
  std::vector<char> header = rewritten_header(data, layout, vlrs, dropped_vlr, 0,
                                              unsigned(layout.format), &first_point);
  uint32_t kept_evlrs = 0;
  for (const LasVlr &evlr : evlrs) {
    kept_evlrs += copc && evlr.user == "copc" && evlr.record == kCopcHierarchyRecord ? 0 : 1;
  }
  if (evlr_start != 0) {
    put(header.data(), kFirstEvlr,
        kept_evlrs > 0 ? first_point + uint64_t(layout.points) * layout.record : uint64_t(0));
    put(header.data(), kEvlrCount, kept_evlrs);
  }
  if (copc) {
    *dropped = "the COPC octree (its info VLR and hierarchy EVLR), which no longer describes "
               "the points";
  }
  out->write(header.data(), header.size());
  write_vlrs(data, layout, vlrs, dropped_vlr, {}, out);
  if (!decode_chunks(data, schema, layout.record, chunks, threads, out, message, done)) {
    return StreamFault::kMalformed;
  }
  for (const LasVlr &evlr : evlrs) {
    if (!(copc && evlr.user == "copc" && evlr.record == kCopcHierarchyRecord)) {
      out->write(data + evlr.at, size_t(evlr.size));
    }
  }
  return StreamFault::kNone;
}

StreamFault encode_laz_file(const char *data, size_t size, ByteWriter *out, int threads,
                            std::string *message, LazChunking chunking,
                            const LazBytesDone &done) {
  LasHeader layout;
  bool unsupported = false;
  if (!read_layout(data, size, &layout, message, &unsupported)) {
    return unsupported ? StreamFault::kUnsupported : StreamFault::kMalformed;
  }
  LazSchema schema;
  if (!laz_schema_for(layout.format, layout.record, &schema, message)) {
    return StreamFault::kUnsupported;
  }
  const uint32_t chunk_points = std::max<uint32_t>(1, chunking.chunk_points);
  schema.chunk_size = chunking.variable ? kVariableChunks : chunk_points;
  const uint64_t points_end = layout.first_point + uint64_t(layout.points) * layout.record;
  if (uint64_t(layout.points) > (size - layout.first_point) / layout.record) {
    *message = "truncated: the LAS to compress ends inside its points";
    return StreamFault::kMalformed;
  }
  const bool has_evlrs = evlr_start_of(layout) != 0;
  if (!out->patchable() && has_evlrs) {
    *message = "LAZ with EVLRs is written to a file, not to a stream";
    return StreamFault::kUnsupported;
  }
  // The header and VLRs as they were, but for an older LASzip VLR; the new one after them.
  const std::vector<LasVlr> vlrs = vlrs_of(data, layout);
  const std::vector<char> payload = laz_schema_payload(schema);
  std::vector<char> vlr(kVlrHeader, 0);
  std::memcpy(vlr.data() + kVlrUser, kLaszipUser, std::strlen(kLaszipUser));
  put(vlr.data(), kVlrRecord, uint16_t(kLaszipRecord));
  put(vlr.data(), kVlrLength, uint16_t(payload.size()));
  const char description[] = "by laszip of levelling-cloud";
  std::memcpy(vlr.data() + kVlrHeader - kDescriptionBytes, description, sizeof description - 1);
  vlr.insert(vlr.end(), payload.begin(), payload.end());
  const DroppedRecord older_laszip = [](const LasVlr &each) {
    return each.user == kLaszipUser && each.record == kLaszipRecord;
  };
  uint64_t first_point = 0;
  const std::vector<char> header =
      rewritten_header(data, layout, vlrs, older_laszip, vlr.size(),
                       unsigned(layout.format) | kLazBit, &first_point);
  if (first_point > UINT32_MAX) {
    *message = "VLRs too long for LAZ's header";
    return StreamFault::kUnsupported;
  }
  const int64_t header_at = out->written();
  out->write(header.data(), header.size());
  write_vlrs(data, layout, vlrs, older_laszip, vlr, out);
  // Where the chunk table will be: patched in once known, or -1 and the offset at the end.
  const bool patching = out->patchable();
  const int64_t table_offset_at = out->written();
  char placeholder[kTableOffsetBytes];
  put(placeholder, 0, int64_t(-1));
  out->write(placeholder, sizeof placeholder);
  // The chunks, a batch at a time, each written as soon as its batch is done.
  const std::vector<LazChunk> chunks =
      encode_chunks(data, layout, schema, chunk_points, threads, out, done);
  const int64_t table_at = out->written();
  std::vector<uint8_t> table;
  write_chunk_table(chunks, schema.chunk_size, &table);
  out->write(reinterpret_cast<const char *>(table.data()), table.size());
  char offset[kTableOffsetBytes];
  put(offset, 0, int64_t(table_at - header_at));
  if (patching) {
    out->patch(table_offset_at, offset, sizeof offset);
  }
  // What followed the points (EVLRs), its offset mended.
  const int64_t tail_at = out->written();
  if (points_end < size) {
    out->write(data + points_end, size_t(size - points_end));
  }
  if (!patching) {
    out->write(offset, sizeof offset);
  }
  if (has_evlrs && evlr_start_of(layout) >= points_end) {
    char evlr_start[8];
    put(evlr_start, 0, uint64_t(evlr_start_of(layout) - points_end) + uint64_t(tail_at - header_at));
    out->patch(header_at + int64_t(kFirstEvlr), evlr_start, sizeof evlr_start);
  }
  if (out->error() != 0) {
    *message = std::strerror(out->error());
    return StreamFault::kWrite;
  }
  return StreamFault::kNone;
}

}  // namespace levelling
