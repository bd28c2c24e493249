// What LAZ's decoder and encoder share of a file's layout: its header and VLRs checked and
// rewritten around the LASzip VLR, its EVLRs, its chunk table. Internal to formats/.
#ifndef LEVELLING_FORMATS_LAS_LAZ_LAYOUT_H
#define LEVELLING_FORMATS_LAS_LAZ_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "formats/las/las_header.h"
#include "laz/laz_chunks.h"

namespace levelling {

constexpr size_t kEvlrHeader = 60, kEvlrLength = 20;
// The chunk table's offset before the first chunk (or, -1 there, in the file's last 8 bytes),
// and the table's version and count.
constexpr size_t kTableOffsetBytes = 8, kTableHead = 8;
constexpr int kCopcInfoRecord = 1, kCopcHierarchyRecord = 1000;
// Chunks decoded or encoded side by side: this many a thread in flight, and no more bytes of
// records than kBatchBytes (one chunk at least).
constexpr size_t kChunksPerThread = 2;
constexpr uint64_t kBatchBytes = uint64_t(64) << 20;

// The header of a LAS or LAZ file in memory (size bytes of it at least up to its first point),
// checked (parse_las_header). False with *message.
bool read_layout(const char *data, size_t size, LasHeader *layout, std::string *message,
                 bool *unsupported);

// Where LAS 1.4's EVLRs begin (0: none, or an earlier version).
uint64_t evlr_start_of(const LasHeader &layout);

// The VLRs between the header and the first point.
std::vector<LasVlr> vlrs_of(const char *data, const LasHeader &layout);

// The EVLRs from `start` to the file's end; false with *message when one runs past it.
bool evlrs_of(const char *data, size_t size, uint64_t start, uint32_t count,
              std::vector<LasVlr> *evlrs, std::string *message);

// Whether a VLR (or EVLR) is one a rewritten file leaves out.
using DroppedRecord = std::function<bool(const LasVlr &)>;

// The public header block rewritten for the VLRs kept and `added_bytes` of one VLR added (0:
// none): its point offset (*first_point) and VLR count mended, its point format byte set to
// `format_byte`.
std::vector<char> rewritten_header(const char *data, const LasHeader &layout,
                                   const std::vector<LasVlr> &vlrs, const DroppedRecord &dropped,
                                   size_t added_bytes, unsigned format_byte,
                                   uint64_t *first_point);

// Appends to *out the VLRs kept, as they were (and any bytes between them), then `added`, then
// the bytes between the last VLR and the first point.
void append_vlrs(const char *data, const LasHeader &layout, const std::vector<LasVlr> &vlrs,
                 const DroppedRecord &dropped, const std::vector<char> &added,
                 std::vector<char> *out);

// The chunks of a LAZ file, from its chunk table. *table_at: where the table begins. False with
// *message.
bool find_chunks(const char *data, size_t size, const LasHeader &layout, const LazSchema &schema,
                 std::vector<LazChunk> *chunks, int64_t *table_at, std::string *message);

}  // namespace levelling

#endif
