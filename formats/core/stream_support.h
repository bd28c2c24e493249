// What the cloud readers share: checks of a block's coordinates, the tokens of an ASCII line,
// sizing a block. Internal to formats/.
#ifndef LEVELLING_FORMATS_CORE_STREAM_SUPPORT_H
#define LEVELLING_FORMATS_CORE_STREAM_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"

namespace levelling {

constexpr int kAxes = 3;
extern const char *const kCoordinateNames[kAxes];  // "x", "y", "z"

inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The first point among [0, n) with a coordinate that is not finite, other than an empty point
// (all three NaN), or n; *axis says which coordinate.
size_t first_bad_point(const double *x, const double *y, const double *z, size_t n, int *axis);

// The first of values[0, n) whose magnitude is beyond the largest float (it would be written
// as an infinity), or n. NaN is passed over.
size_t first_beyond_float(const double *values, size_t n);

// The first of the vertex's properties that is a float whose value (values[p] for property p) is
// beyond the largest float, or the number of properties.
size_t first_beyond_float_property(const PlyElement &vertex, const double *values);

// Renames every property after the first of its name to name_2, name_3... (the first of those
// not taken), so that a conversion never writes two properties of one name.
void make_names_unique(std::vector<PlyProperty> *properties);

// The blank-separated tokens of an ASCII line, as [begin, end) offsets into it.
void split_tokens(std::string_view line, std::vector<std::pair<size_t, size_t>> *tokens);

// Sizes the block's columns (normals too when it has them) for n points.
void reset_block(PointBlock *block, size_t n);

// Whether a reader at the first of `records` records of `size` bytes visits only those
// options.pick names: a pass without output, from a mapped file that holds them all.
bool can_pick_records(ByteReader *in, const StreamOptions &options, size_t size, int64_t records);

// Visits, round after round, the records options.pick names among the `records` records of
// `size` bytes at in->data(): gathered in blocks, handed to visit(first record, count), which
// returns false to stop (with its fault). The pages touched are handed back as it goes.
bool visit_picked_records(ByteReader *in, const StreamOptions &options, size_t size,
                          int64_t records,
                          const std::function<bool(const char *records, size_t n)> &visit);

// Whether a reader at the first of `records` records of `size` bytes visits only the range of
// records options names: a range asked, a pass without output, from a mapped file that holds
// them all.
bool can_range_records(ByteReader *in, const StreamOptions &options, size_t size,
                       int64_t records);

// Visits the records of options' range among the `records` records of `size` bytes at
// in->data(), in blocks of about a MiB handed to visit(first record, count, index of the first),
// which returns false to stop (with its fault); the pages of each block are handed back after
// it. Sets result->ranged and counts every record in result->points. True when the reader
// stops there (a range that ends before the last record); false with visit's fault, or, for a
// range to the last record, with *go_on set: the reader goes on past the records as ever.
bool visit_record_range(ByteReader *in, const StreamOptions &options, size_t size,
                        int64_t records,
                        const std::function<bool(const char *records, size_t n,
                                                 int64_t first)> &visit,
                        StreamResult *result, bool *go_on);

// Ends a conversion's writer: true when it wrote everything, else the fault in *result.
bool finish_writer(CloudWriter *writer, StreamResult *result);

// Says the fault in *result unless one (the first, more precise) was said already. False, for
// a reader to return.
bool keep_first_fault(StreamResult *result, StreamFault fault, const std::string &message);

}  // namespace levelling

#endif
