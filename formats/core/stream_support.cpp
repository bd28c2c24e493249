#include "formats/core/stream_support.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>

namespace levelling {

const char *const kCoordinateNames[kAxes] = {"x", "y", "z"};

namespace {

// The index of the first NaN or infinity among values[0, n), or n. The scan has no branch
// but the last, so it vectorises.
size_t first_non_finite(const double *values, size_t n) {
  constexpr size_t kLanes = 4;
  double lanes[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (size_t l = 0; l < kLanes; ++l) {
      lanes[l] += values[i + l] * 0.0;  // 0 for a finite value, NaN otherwise
    }
  }
  for (; i < n; ++i) {
    lanes[0] += values[i] * 0.0;
  }
  if (lanes[0] + lanes[1] + lanes[2] + lanes[3] == 0.0) {
    return n;
  }
  i = 0;
  while (i < n && std::isfinite(values[i])) {
    ++i;
  }
  return i;
}

}  // namespace

size_t first_bad_point(const double *x, const double *y, const double *z, size_t n, int *axis) {
  const double *columns[kAxes] = {x, y, z};
  size_t bad = n;
  for (int k = 0; k < kAxes; ++k) {
    for (size_t from = 0; from < bad;) {
      const size_t at = from + first_non_finite(columns[k] + from, bad - from);
      if (at < bad && !is_empty_point(x[at], y[at], z[at])) {
        bad = at;
        *axis = k;
        break;
      }
      from = at + 1;
    }
  }
  return bad;
}

size_t first_beyond_float(const double *values, size_t n) {
  constexpr double kLargest = double(std::numeric_limits<float>::max());
  double largest = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double magnitude = std::fabs(values[i]);
    largest = magnitude > largest ? magnitude : largest;  // NaN (an empty point) passed over
  }
  if (largest <= kLargest) {
    return n;
  }
  size_t i = 0;
  while (i < n && !(std::fabs(values[i]) > kLargest)) {
    ++i;
  }
  return i;
}

void split_tokens(std::string_view line, std::vector<std::pair<size_t, size_t>> *tokens) {
  tokens->clear();
  size_t p = 0;
  for (;;) {
    while (p < line.size() && is_blank(line[p])) {
      ++p;
    }
    if (p == line.size()) {
      return;
    }
    const size_t begin = p;
    while (p < line.size() && !is_blank(line[p])) {
      ++p;
    }
    tokens->push_back({begin, p});
  }
}

void reset_block(PointBlock *block, size_t n) {
  block->count = n;
  for (std::vector<double> *values : {&block->x, &block->y, &block->z}) {
    values->resize(n);
  }
  if (block->has_normals) {
    for (std::vector<double> *values : {&block->nx, &block->ny, &block->nz}) {
      values->resize(n);
    }
  }
}

size_t first_beyond_float_property(const PlyElement &vertex, const double *values) {
  for (size_t p = 0; p < vertex.properties.size(); ++p) {
    if (vertex.properties[p].type == PlyType::kFloat32 && first_beyond_float(values + p, 1) == 0) {
      return p;
    }
  }
  return vertex.properties.size();
}

void make_names_unique(std::vector<PlyProperty> *properties) {
  std::set<std::string> taken;
  for (const PlyProperty &property : *properties) {
    taken.insert(property.name);
  }
  std::set<std::string> seen;
  for (PlyProperty &property : *properties) {
    if (seen.insert(property.name).second) {
      continue;
    }
    for (int n = 2;; ++n) {
      const std::string name = property.name + "_" + std::to_string(n);
      if (taken.insert(name).second) {
        property.name = name;
        seen.insert(name);
        break;
      }
    }
  }
}

bool keep_first_fault(StreamResult *result, StreamFault fault, const std::string &message) {
  if (result->fault == StreamFault::kNone) {
    result->fault = fault;
    result->message = message;
  }
  return false;
}

bool finish_writer(CloudWriter *writer, StreamResult *result) {
  writer->finish();
  if (writer->fault().empty()) {
    return true;
  }
  result->fault = StreamFault::kUnsupported;
  result->message = writer->fault();
  return false;
}

namespace {

// Records gathered from a mapped file before they are visited and their pages handed back, and
// the most bytes of the file they may span (the system maps pages around each one touched).
constexpr size_t kPickedBlock = 4096;
constexpr size_t kPickedSpan = size_t(8) << 20;
// Bytes of records a range visits at a time.
constexpr size_t kRangeBlock = size_t(1) << 20;

// Whether a pass without output reads all `records` of `size` bytes from memory.
bool holds_records_mapped(ByteReader *in, const StreamOptions &options, size_t size,
                          int64_t records) {
  if (options.write.out != nullptr || !in->mapped() || size == 0 || records <= 0 ||
      uint64_t(records) > SIZE_MAX / size) {
    return false;
  }
  const size_t bytes = size_t(records) * size;
  return in->fill(bytes) >= bytes;
}

}  // namespace

bool can_pick_records(ByteReader *in, const StreamOptions &options, size_t size,
                      int64_t records) {
  return options.shortcuts.pick && holds_records_mapped(in, options, size, records);
}

bool can_range_records(ByteReader *in, const StreamOptions &options, size_t size,
                       int64_t records) {
  return (options.shortcuts.range_first > 0 || options.shortcuts.range_end >= 0) &&
         holds_records_mapped(in, options, size, records);
}

bool visit_record_range(ByteReader *in, const StreamOptions &options, size_t size,
                        int64_t records,
                        const std::function<bool(const char *records, size_t n,
                                                 int64_t first)> &visit,
                        StreamResult *result, bool *go_on) {
  const int64_t from = std::clamp<int64_t>(options.shortcuts.range_first, 0, records);
  const int64_t end = options.shortcuts.range_end;
  const int64_t to = end < 0 ? records : std::clamp(end, from, records);
  const size_t per_block = std::max<size_t>(1, kRangeBlock / size);
  const char *data = in->data();
  *go_on = false;
  // (From the block before: the system maps pages around each one touched, those just before a
  // block's first among them.)
  size_t released_from = size_t(from) * size;
  for (int64_t done = from; done < to;) {
    const size_t n = size_t(std::min<int64_t>(to - done, int64_t(per_block)));
    if (!visit(data + size_t(done) * size, n, done)) {
      return false;
    }
    in->release_range(released_from, (size_t(done) + n) * size);
    released_from = size_t(done) * size;
    done += int64_t(n);
  }
  result->points = records;
  result->ranged = true;
  if (options.shortcuts.range_end < 0) {
    in->consume(size_t(records) * size);
    *go_on = true;
    return false;
  }
  return true;
}

bool visit_picked_records(ByteReader *in, const StreamOptions &options, size_t size,
                          int64_t records,
                          const std::function<bool(const char *records, size_t n)> &visit) {
  const char *data = in->data();
  std::vector<int64_t> indices;
  std::vector<char> gathered(kPickedBlock * size);
  while (options.shortcuts.pick(records, &indices)) {
    // (From the span before, as visit_record_range does.)
    size_t released_from = 0;
    for (size_t done = 0; done < indices.size();) {
      size_t n = 0;
      const int64_t from = std::clamp<int64_t>(indices[done], 0, records - 1);
      int64_t to = from;
      for (; n < kPickedBlock && done + n < indices.size(); ++n) {
        const int64_t index = std::clamp<int64_t>(indices[done + n], from, records - 1);
        if (n > 0 && uint64_t(index - from) * size > kPickedSpan) {
          break;
        }
        std::memcpy(gathered.data() + n * size, data + size_t(index) * size, size);
        to = index + 1;
      }
      in->release_range(std::min(released_from, size_t(from) * size), size_t(to) * size);
      released_from = size_t(from) * size;
      if (!visit(gathered.data(), n)) {
        return false;
      }
      done += n;
    }
  }
  return true;
}

}  // namespace levelling
