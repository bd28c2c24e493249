#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "formats/core/ordered_work.h"
#include "formats/las/laz_file.h"
#include "formats/las/laz_layout.h"

namespace levelling {

LazDecoder::LazDecoder(const char *data, size_t size, int threads, bool coordinates_only,
                       LazBytesDone done)
    : data_(data),
      size_(size),
      threads_(std::max(1, threads)),
      coordinates_only_(coordinates_only),
      done_(std::move(done)) {}

LazDecoder::~LazDecoder() = default;

StreamFault LazDecoder::open(std::string *dropped, std::string *message) {
  dropped->clear();
  bool unsupported = false;
  if (!read_layout(data_, size_, &layout_, message, &unsupported)) {
    return unsupported ? StreamFault::kUnsupported : StreamFault::kMalformed;
  }
  const std::vector<LasVlr> vlrs = vlrs_of(data_, layout_);
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
  if (!read_laz_schema(data_ + laszip->at + kVlrHeader, laszip->size - kVlrHeader,
                       layout_.record, &schema_, message, &unsupported)) {
    return unsupported ? StreamFault::kUnsupported : StreamFault::kMalformed;
  }
  int64_t table_at = 0;
  if (!find_chunks(data_, size_, layout_, schema_, &chunks_, &table_at, message)) {
    return StreamFault::kMalformed;
  }
  std::vector<LasVlr> evlrs;
  const uint64_t evlr_start = evlr_start_of(layout_);
  if (evlr_start != 0 &&
      (evlr_start < uint64_t(table_at) + kTableHead ||
       !evlrs_of(data_, size_, evlr_start, layout_.evlr_count, &evlrs, message))) {
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
  head_ = rewritten_header(data_, layout_, vlrs, dropped_vlr, 0, unsigned(layout_.format),
                           &first_point);
  for (LasVlr &evlr : evlrs) {
    if (!(copc && evlr.user == "copc" && evlr.record == kCopcHierarchyRecord)) {
      tail_.push_back(std::move(evlr));
    }
  }
  if (evlr_start != 0) {
    put(head_.data(), kFirstEvlr,
        !tail_.empty() ? first_point + uint64_t(layout_.points) * layout_.record : uint64_t(0));
    put(head_.data(), kEvlrCount, uint32_t(tail_.size()));
  }
  if (copc) {
    *dropped = "the COPC octree (its info VLR and hierarchy EVLR), which no longer describes "
               "the points";
  }
  append_vlrs(data_, layout_, vlrs, dropped_vlr, {}, &head_);
  for (int t = 0; t < threads_; ++t) {
    coders_.emplace_back(new ChunkCoder(schema_, layout_.record));
    coders_.back()->decode_coordinates_only(coordinates_only_);
  }
  const size_t window = kChunksPerThread * size_t(threads_);
  records_.resize(window);
  good_.assign(window, 0);
  const auto *bytes = reinterpret_cast<const uint8_t *>(data_);
  work_.reset(new OrderedWork(threads_, window, kBatchBytes,
                              [this, bytes](int thread, size_t slot, size_t c) {
                                good_[slot] = coders_[size_t(thread)]->decode(
                                    bytes + chunks_[c].start, size_t(chunks_[c].bytes),
                                    size_t(chunks_[c].points), &records_[slot]);
                              }));
  offer_chunks();
  return StreamFault::kNone;
}

void LazDecoder::offer_chunks() {
  while (work_->offered() < chunks_.size() && work_->can_offer()) {
    work_->offer(chunks_[work_->offered()].points * layout_.record);
  }
}

size_t LazDecoder::read(char *to, size_t n) {
  size_t got = 0;
  const auto copy = [&](const char *from, size_t available, size_t *read) {
    const size_t k = std::min(n - got, available - *read);
    std::memcpy(to + got, from + *read, k);
    *read += k;
    got += k;
  };
  while (got < n && fault_ == StreamFault::kNone) {
    if (head_read_ < head_.size()) {
      copy(head_.data(), head_.size(), &head_read_);
    } else if (chunk_ < chunks_.size()) {
      const size_t slot = chunk_ % work_->window();
      if (!holding_) {
        work_->made(true);
        if (!good_[slot]) {
          fault_ = StreamFault::kMalformed;
          message_ = "chunk " + std::to_string(chunk_ + 1) + " of " +
                     std::to_string(chunks_.size()) + " is damaged (it does not decode to its " +
                     std::to_string(chunks_[chunk_].points) + " points)";
          break;
        }
        holding_ = true;
        chunk_read_ = 0;
      }
      const std::vector<uint8_t> &records = records_[slot];
      copy(reinterpret_cast<const char *>(records.data()), records.size(), &chunk_read_);
      if (chunk_read_ == records.size()) {
        holding_ = false;
        work_->take();
        if (done_) {
          done_(size_t(chunks_[chunk_].start + chunks_[chunk_].bytes));
        }
        ++chunk_;
        offer_chunks();
      }
    } else if (tail_evlr_ < tail_.size()) {
      const LasVlr &evlr = tail_[tail_evlr_];
      copy(data_ + evlr.at, size_t(evlr.size), &tail_read_);
      if (tail_read_ == evlr.size) {
        ++tail_evlr_;
        tail_read_ = 0;
      }
    } else {
      break;
    }
  }
  return got;
}

}  // namespace levelling
