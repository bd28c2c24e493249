#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "formats/core/ordered_work.h"
#include "formats/las/laz_file.h"
#include "formats/las/laz_layout.h"

namespace levelling {

namespace {

// The LASzip VLR's description, naming the writer.
constexpr char kLaszipDescription[] = "by laszip of levelling-cloud";

// The header fields a LAZ rewrites, which a patch of the LAS may not reach: [at, at + size).
struct RewrittenField {
  size_t at, size;
};
constexpr RewrittenField kRewrittenFields[] = {
    {kPointOffset, 4}, {kVlrCount, 4}, {kPointFormat, 1}, {kFirstEvlr, 8}};

// The LASzip VLR of `schema`, its header and payload.
std::vector<char> laszip_vlr(const LazSchema &schema) {
  const std::vector<char> payload = laz_schema_payload(schema);
  std::vector<char> vlr(kVlrHeader + payload.size(), 0);
  std::memcpy(vlr.data() + kVlrUser, kLaszipUser, std::strlen(kLaszipUser));
  put(vlr.data(), kVlrRecord, uint16_t(kLaszipRecord));
  put(vlr.data(), kVlrLength, uint16_t(payload.size()));
  std::memcpy(vlr.data() + kVlrHeader - kDescriptionBytes, kLaszipDescription,
              sizeof kLaszipDescription - 1);
  std::memcpy(vlr.data() + kVlrHeader, payload.data(), payload.size());
  return vlr;
}

}  // namespace

LazEncoder::LazEncoder(ByteWriter *out, int threads, LazChunking chunking)
    : out_(out), threads_(std::max(1, threads)), chunking_(chunking) {
  chunking_.chunk_points = std::max<uint32_t>(1, chunking_.chunk_points);
}

LazEncoder::~LazEncoder() = default;

int LazEncoder::fail(StreamFault fault, const std::string &message) {
  if (fault_ == StreamFault::kNone) {
    fault_ = fault;
    message_ = message;
  }
  part_ = Part::kDone;
  return EIO;
}

bool LazEncoder::begin() {
  bool unsupported = false;
  std::string message;
  if (!read_layout(head_.data(), head_.size(), &layout_, &message, &unsupported)) {
    fail(unsupported ? StreamFault::kUnsupported : StreamFault::kMalformed, message);
    return false;
  }
  if (!laz_schema_for(layout_.format, layout_.record, &schema_, &message)) {
    fail(StreamFault::kUnsupported, message);
    return false;
  }
  schema_.chunk_size = chunking_.variable ? kVariableChunks : chunking_.chunk_points;
  points_end_ = layout_.first_point + uint64_t(layout_.points) * layout_.record;
  if (!out_->patchable() && evlr_start_of(layout_) != 0) {
    fail(StreamFault::kUnsupported, "LAZ with EVLRs is written to a file, not to a stream");
    return false;
  }
  // The header and VLRs as they were, but for an older LASzip VLR; the new one after them.
  const std::vector<LasVlr> vlrs = vlrs_of(head_.data(), layout_);
  const std::vector<char> vlr = laszip_vlr(schema_);
  const DroppedRecord older_laszip = [](const LasVlr &each) {
    return each.user == kLaszipUser && each.record == kLaszipRecord;
  };
  uint64_t first_point = 0;
  std::vector<char> laz = rewritten_header(head_.data(), layout_, vlrs, older_laszip, vlr.size(),
                                           unsigned(layout_.format) | kLazBit, &first_point);
  if (first_point > UINT32_MAX) {
    fail(StreamFault::kUnsupported, "VLRs too long for LAZ's header");
    return false;
  }
  append_vlrs(head_.data(), layout_, vlrs, older_laszip, vlr, &laz);
  header_at_ = out_->written();
  out_->write(laz.data(), laz.size());
  // Where the chunk table will be: patched in once known, or -1 and the offset at the end.
  patching_ = out_->patchable();
  table_offset_at_ = out_->written();
  char placeholder[kTableOffsetBytes];
  put(placeholder, 0, int64_t(-1));
  out_->write(placeholder, sizeof placeholder);
  for (int t = 0; t < threads_; ++t) {
    coders_.emplace_back(new ChunkCoder(schema_, layout_.record));
  }
  const size_t window = kChunksPerThread * size_t(threads_);
  raw_.resize(window);
  coded_.resize(window);
  const auto encode = [this](int thread, size_t slot, size_t) {
    coded_[slot].clear();
    coders_[size_t(thread)]->encode(raw_[slot].data(), raw_[slot].size() / layout_.record,
                                    &coded_[slot]);
  };
  work_.reset(new OrderedWork(threads_, window, kBatchBytes, encode));
  part_ = layout_.points > 0 ? Part::kPoints : Part::kTail;
  if (part_ == Part::kTail) {
    end_points();
  }
  return true;
}

size_t LazEncoder::head_wanted() const {
  // The header's size, then the header, then its VLRs up to the first point.
  size_t wanted = kHeaderSize + 2;
  if (head_.size() >= wanted) {
    wanted = std::max<size_t>(wanted, get<uint16_t>(head_.data(), kHeaderSize));
  }
  if (head_.size() >= wanted && head_.size() >= kPointOffset + 4) {
    wanted = std::max<size_t>(wanted, get<uint32_t>(head_.data(), kPointOffset));
  }
  return wanted;
}

void LazEncoder::write_chunks(size_t in_flight) {
  while (work_->taken() < work_->offered() &&
         work_->made(work_->offered() - work_->taken() > in_flight)) {
    const std::vector<uint8_t> &coded = coded_[work_->taken() % work_->window()];
    chunks_.push_back({uint64_t(out_->written()), coded.size(),
                       raw_[work_->taken() % work_->window()].size() / layout_.record});
    out_->write(reinterpret_cast<const char *>(coded.data()), coded.size());
    work_->take();
  }
}

int LazEncoder::write(const char *bytes, size_t n) {
  while (n > 0 && part_ != Part::kDone) {
    if (part_ == Part::kHead) {
      const size_t k = std::min(n, head_wanted() - head_.size());
      head_.insert(head_.end(), bytes, bytes + k);
      received_ += k;
      bytes += k;
      n -= k;
      if (head_.size() == head_wanted() && !begin()) {
        break;
      }
      continue;
    }
    if (part_ == Part::kTail) {
      out_->write(bytes, n);
      received_ += n;
      break;
    }
    // The points: a chunk's records gathered in its slot, offered once whole.
    const size_t c = work_->offered();
    const uint64_t chunk_points = std::min<uint64_t>(
        chunking_.chunk_points, uint64_t(layout_.points) - uint64_t(c) * chunking_.chunk_points);
    std::vector<uint8_t> &raw = raw_[c % work_->window()];
    if (filled_ == 0) {
      write_chunks(work_->window() - 1);
      raw.resize(size_t(chunk_points * layout_.record));
    }
    const size_t k = std::min(n, raw.size() - filled_);
    std::memcpy(raw.data() + filled_, bytes, k);
    filled_ += k;
    received_ += k;
    bytes += k;
    n -= k;
    if (filled_ == raw.size()) {
      work_->offer(raw.size());
      filled_ = 0;
      write_chunks(work_->window());
      if (received_ == points_end_) {
        end_points();
      }
    }
  }
  return fault_ == StreamFault::kNone ? 0 : EIO;
}

void LazEncoder::end_points() {
  write_chunks(0);
  table_at_ = out_->written();
  std::vector<uint8_t> table;
  write_chunk_table(chunks_, schema_.chunk_size, &table);
  out_->write(reinterpret_cast<const char *>(table.data()), table.size());
  char offset[kTableOffsetBytes];
  put(offset, 0, int64_t(table_at_ - header_at_));
  if (patching_) {
    out_->patch(table_offset_at_, offset, sizeof offset);
  }
  tail_at_ = out_->written();
  part_ = Part::kTail;
}

bool LazEncoder::can_patch(int64_t at) const {
  return part_ == Part::kHead ||
         (at < int64_t(layout_.header_size) && out_->can_patch(header_at_ + at));
}

int LazEncoder::patch(int64_t at, const char *bytes, size_t n) {
  if (part_ == Part::kHead && at >= 0 && uint64_t(at) + n <= head_.size()) {
    std::memcpy(head_.data() + at, bytes, n);
    return 0;
  }
  const bool in_header = at >= 0 && uint64_t(at) + n <= layout_.header_size;
  bool rewritten = false;
  for (const RewrittenField &field : kRewrittenFields) {
    rewritten = rewritten || (uint64_t(at) < field.at + field.size && field.at < uint64_t(at) + n);
  }
  if (!in_header || rewritten || !out_->patch(header_at_ + at, bytes, n)) {
    return out_->error() != 0 ? out_->error() : EINVAL;
  }
  return 0;
}

StreamFault LazEncoder::finish(std::string *message) {
  if (part_ == Part::kHead || part_ == Part::kPoints) {
    fail(StreamFault::kMalformed, part_ == Part::kHead
                                      ? "truncated: the LAS to compress ends inside its header"
                                      : "truncated: the LAS to compress ends inside its points");
  }
  if (fault_ == StreamFault::kNone) {
    if (!patching_) {
      char offset[kTableOffsetBytes];
      put(offset, 0, int64_t(table_at_ - header_at_));
      out_->write(offset, sizeof offset);
    }
    const uint64_t evlr_start = evlr_start_of(layout_);
    if (evlr_start != 0 && evlr_start >= points_end_) {
      char moved[8];
      put(moved, 0, uint64_t(evlr_start - points_end_) + uint64_t(tail_at_ - header_at_));
      out_->patch(header_at_ + int64_t(kFirstEvlr), moved, sizeof moved);
    }
    part_ = Part::kDone;
  }
  if (fault_ == StreamFault::kNone && out_->error() != 0) {
    fail(StreamFault::kWrite, std::strerror(out_->error()));
  }
  *message = message_;
  return fault_;
}

}  // namespace levelling
