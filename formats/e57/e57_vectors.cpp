#include "formats/e57/e57_vectors.h"

#include <algorithm>
#include <cstring>

#include "laz/byte_order.h"

namespace levelling {

namespace {

constexpr size_t kSectionHeader = 32, kPacketHead = 4, kDataPacketHead = 6;
constexpr int kCompressedVectorSection = 1;
constexpr int kIndexPacket = 0, kDataPacket = 1, kEmptyPacket = 2;
constexpr size_t kPadding = 16;           // zeros after a stream's bytes, for whole-word reads
constexpr size_t kCompactAfter = 1 << 16;  // bytes decoded before a stream's are moved down
// The most values of one field decoded ahead of the records handed on (32 MiB of them; a
// packet holds at most half a million of a one-bit field's).
constexpr size_t kMostAhead = size_t(1) << 22;
constexpr int kWordBits = 64;

// The `bits` bits (1 to 64) at bit `bit` of `bytes`, least significant first; the bytes hold
// at least 9 after the one the bit is in.
uint64_t read_bits(const unsigned char *bytes, uint64_t bit, int bits) {
  const unsigned char *at = bytes + bit / 8;
  const int shift = int(bit % 8);
  uint64_t word = 0;
  std::memcpy(&word, at, sizeof word);
  uint64_t value = word >> shift;
  if (shift + bits > kWordBits) {
    value |= uint64_t(at[8]) << (kWordBits - shift);
  }
  return bits == kWordBits ? value : value & ((uint64_t(1) << bits) - 1);
}

// An integer field's value of the raw bits above its minimum (a scaled integer's scaled).
double integer_value(const E57Field &field, uint64_t raw) {
  const double value = double(int64_t(uint64_t(field.minimum) + raw));
  return field.kind == E57FieldKind::kScaledInteger ? value * field.scale + field.offset : value;
}

}  // namespace

bool E57VectorReader::open(std::string *message) {
  opened_ = true;
  streams_.resize(scan_.fields.size());
  char head[kSectionHeader];
  const uint64_t start = e57_logical(scan_.offset);
  if (scan_.offset % kE57Page >= kE57PageContent) {
    *message = "damaged: a compressed vector at byte " + std::to_string(scan_.offset) +
               ", on a page's checksum";
    return false;
  }
  if (!pages_->read(start, kSectionHeader, head, message)) {
    return false;
  }
  const uint64_t length = get<uint64_t>(head, 8), data = get<uint64_t>(head, 16);
  if (head[0] != kCompressedVectorSection || length < kSectionHeader ||
      length > pages_->logical_size() - start) {
    *message = "damaged: no compressed vector section at byte " + std::to_string(scan_.offset);
    return false;
  }
  end_ = start + length;
  at_ = e57_logical(data);
  if (data % kE57Page >= kE57PageContent || at_ < start + kSectionHeader || at_ > end_) {
    *message = "damaged: a compressed vector whose packets lie outside its section";
    return false;
  }
  return true;
}

bool E57VectorReader::read_packet(std::string *message) {
  char head[kPacketHead];
  if (end_ - at_ < kPacketHead || !pages_->read(at_, kPacketHead, head, message)) {
    if (message->empty()) {
      *message = "damaged: the points end after " + std::to_string(handed_ + int64_t(ready())) +
                 " of " + std::to_string(scan_.records) + " records";
    }
    return false;
  }
  const int type = static_cast<unsigned char>(head[0]);
  const size_t length = size_t(get<uint16_t>(head, 2)) + 1;
  if (length > end_ - at_ || length < kPacketHead) {
    *message = "damaged: a packet that runs past its section";
    return false;
  }
  packet_.resize(length);
  if (!pages_->read(at_, length, packet_.data(), message)) {
    return false;
  }
  at_ += length;
  if (type == kIndexPacket || type == kEmptyPacket) {
    return true;
  }
  const size_t count = length >= kDataPacketHead ? get<uint16_t>(packet_.data(), 4) : 0;
  if (type != kDataPacket || count != streams_.size() ||
      kDataPacketHead + 2 * count > length) {
    *message = "damaged: a packet of type " + std::to_string(type) + " with " +
               std::to_string(count) + " bytestreams for " + std::to_string(streams_.size()) +
               " fields";
    return false;
  }
  size_t from = kDataPacketHead + 2 * count;
  for (size_t f = 0; f < count; ++f) {
    const size_t n = get<uint16_t>(packet_.data(), kDataPacketHead + 2 * f);
    if (n > length - from) {
      *message = "damaged: a packet whose bytestreams run past it";
      return false;
    }
    if (!wanted_[f]) {
      from += n;
      continue;
    }
    Stream &stream = streams_[f];
    stream.bytes.resize(stream.valid + n + kPadding);
    std::memcpy(stream.bytes.data() + stream.valid, packet_.data() + from, n);
    std::fill(stream.bytes.begin() + long(stream.valid + n), stream.bytes.end(), 0);
    stream.valid += n;
    from += n;
    decode(f);
    // Writers fill every field's stream packet by packet: a field whose values run far ahead
    // of another's would only hold them in memory.
    if (stream.values.size() - stream.taken > kMostAhead) {
      *message = "damaged: the field " + scan_.fields[f].name + "'s values run more than " +
                 std::to_string(kMostAhead) + " ahead of the other fields'";
      return false;
    }
  }
  return true;
}

// Decodes every whole value the field's stream holds.
void E57VectorReader::decode(size_t f) {
  const E57Field &field = scan_.fields[f];
  Stream &stream = streams_[f];
  const uint64_t bits = uint64_t(field.bits), end = uint64_t(stream.valid) * 8;
  if (bits == 0) {
    return;
  }
  const size_t count = size_t((end - stream.bit) / bits), first = stream.values.size();
  stream.values.resize(first + count);
  double *out = stream.values.data() + first;
  const unsigned char *at = stream.bytes.data() + stream.bit / 8;
  if (stream.bit % 8 == 0 && field.kind == E57FieldKind::kFloat) {
    // Whole floats, a byte apart: copied (the common layout, and the fast one).
    for (size_t i = 0; i < count && field.single; ++i) {
      float single;
      std::memcpy(&single, at + i * sizeof single, sizeof single);
      out[i] = single;
    }
    if (!field.single && count > 0) {  // (no values: `out` may be null)
      std::memcpy(out, at, count * sizeof(double));
    }
  } else {
    for (size_t i = 0; i < count; ++i) {
      const uint64_t raw = read_bits(stream.bytes.data(), stream.bit + i * bits, field.bits);
      if (field.kind == E57FieldKind::kFloat && field.single) {
        float single;
        const uint32_t word = uint32_t(raw);
        std::memcpy(&single, &word, sizeof single);
        out[i] = single;
      } else if (field.kind == E57FieldKind::kFloat) {
        std::memcpy(&out[i], &raw, sizeof raw);
      } else {
        out[i] = integer_value(field, raw);
      }
    }
  }
  stream.bit += uint64_t(count) * bits;
  const size_t whole = size_t(stream.bit / 8);
  if (whole >= kCompactAfter) {
    stream.bytes.erase(stream.bytes.begin(), stream.bytes.begin() + long(whole));
    stream.valid -= whole;
    stream.bit -= uint64_t(whole) * 8;
  }
}

// The records every stream has a value for (a field of no bits has all of them).
size_t E57VectorReader::ready() const {
  size_t ready = SIZE_MAX;
  for (size_t f = 0; f < streams_.size(); ++f) {
    if (wanted_[f] && scan_.fields[f].bits > 0) {
      ready = std::min(ready, streams_[f].values.size() - streams_[f].taken);
    }
  }
  const size_t left = size_t(scan_.records - handed_);
  return std::min(ready, left);
}

bool E57VectorReader::next(size_t most, std::vector<std::vector<double>> *values, size_t *n,
                           std::string *message) {
  if (!opened_ && !open(message)) {
    return false;
  }
  while (ready() < most && handed_ + int64_t(ready()) < scan_.records) {
    if (!read_packet(message)) {
      return false;
    }
  }
  *n = std::min(most, ready());
  values->resize(streams_.size());
  for (size_t f = 0; f < streams_.size(); ++f) {
    std::vector<double> &out = (*values)[f];
    Stream &stream = streams_[f];
    if (!wanted_[f]) {
      out.clear();
      continue;
    }
    if (scan_.fields[f].bits == 0) {
      out.assign(*n, integer_value(scan_.fields[f], 0));
      continue;
    }
    const auto from = stream.values.begin() + long(stream.taken);
    out.assign(from, from + long(*n));
    stream.taken += *n;
    if (stream.taken == stream.values.size() || stream.taken >= kCompactAfter) {
      stream.values.erase(stream.values.begin(), stream.values.begin() + long(stream.taken));
      stream.taken = 0;
    }
  }
  handed_ += int64_t(*n);
  return true;
}

}  // namespace levelling
