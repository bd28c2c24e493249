#include "laz/laz_coder.h"

#include <algorithm>

namespace levelling {

namespace {

using laz_coding::kMinLength;
constexpr uint32_t kMaxLength = 0xFFFFFFFFu;
using laz_coding::kBitShift;
constexpr uint32_t kBitMaxCount = 1u << kBitShift;
constexpr uint32_t kBitMaxCycle = 64;
using laz_coding::kSymbolShift;
constexpr uint32_t kSymbolMaxCount = 1u << kSymbolShift;
constexpr uint32_t kHalfScale = 0x80000000u;
constexpr uint32_t kLongRaw = 19;  // raw values of more bits go as 16 low bits, then the rest
constexpr uint32_t kRawPiece = 16;
// Models of more symbols than this decode through a table of at least 2^kLeastTableBits rows,
// and of a row a symbol at least, so that most searches end in the row (a reference decoder's
// tables have a row for four symbols: a table narrows the search, never changes its result).
constexpr uint32_t kSearchedSymbols = 16, kLeastTableBits = 3;

}  // namespace

SymbolModel::SymbolModel(uint32_t n) : symbols(n), last_symbol(n - 1), distribution(n), count(n) {
  if (symbols > kSearchedSymbols) {
    uint32_t table_bits = kLeastTableBits;
    while (symbols > (1u << table_bits)) {
      ++table_bits;
    }
    table.resize((1u << table_bits) + 2);
    table_shift = kSymbolShift - table_bits;
  }
  reset();
}

void SymbolModel::reset() {
  total_count = 0;
  update_cycle = symbols;
  for (uint32_t &each : count) {
    each = 1;
  }
  update();
  until_update = update_cycle = (symbols + 6) >> 1;
}

void SymbolModel::update() {
  if ((total_count += update_cycle) > kSymbolMaxCount) {
    total_count = 0;
    for (uint32_t &each : count) {
      total_count += (each = (each + 1) >> 1);
    }
  }
  const uint32_t scale = kHalfScale / total_count;
  uint32_t sum = 0;
  if (table.empty()) {
    for (uint32_t k = 0; k < symbols; ++k) {
      distribution[k] = (scale * sum) >> (31 - kSymbolShift);
      sum += count[k];
    }
  } else {
    const uint32_t table_size = uint32_t(table.size()) - 2;
    uint32_t s = 0;
    for (uint32_t k = 0; k < symbols; ++k) {
      distribution[k] = (scale * sum) >> (31 - kSymbolShift);
      sum += count[k];
      for (const uint32_t w = distribution[k] >> table_shift; s < w;) {
        table[++s] = k - 1;
      }
    }
    table[0] = 0;
    while (s <= table_size) {
      table[++s] = symbols - 1;
    }
  }
  update_cycle = (5 * update_cycle) >> 2;
  const uint32_t max_cycle = (symbols + 6) << 3;
  if (update_cycle > max_cycle) {
    update_cycle = max_cycle;
  }
  until_update = update_cycle;
}

void BitModel::reset() {
  zero_count = 1;
  bit_count = 2;
  zero_probability = 1u << (kBitShift - 1);
  update_cycle = until_update = 4;
}

void BitModel::update() {
  if ((bit_count += update_cycle) > kBitMaxCount) {
    bit_count = (bit_count + 1) >> 1;
    zero_count = (zero_count + 1) >> 1;
    if (zero_count == bit_count) {
      ++bit_count;
    }
  }
  const uint32_t scale = kHalfScale / bit_count;
  zero_probability = (zero_count * scale) >> (31 - kBitShift);
  update_cycle = (5 * update_cycle) >> 2;
  if (update_cycle > kBitMaxCycle) {
    update_cycle = kBitMaxCycle;
  }
  until_update = update_cycle;
}

void RangeDecoder::start(const uint8_t *data, const uint8_t *end) {
  attach(data, end);
  overran_ = false;
  length_ = kMaxLength;
  value_ = 0;
  for (int i = 0; i < 4; ++i) {
    value_ = (value_ << 8) | next_byte();
  }
}




uint32_t RangeDecoder::raw(uint32_t bits) {
  const uint32_t symbol = value_ / (length_ >>= bits);
  value_ -= length_ * symbol;
  if (length_ < kMinLength) {
    renormalise();
  }
  if (bits < 32 && symbol >= (1u << bits)) {
    overran_ = true;  // no encoder writes this: the bytes are damaged
  }
  return symbol;
}

uint32_t RangeDecoder::read_bits(uint32_t bits) {
  if (bits > kLongRaw) {
    const uint32_t low = raw(kRawPiece);
    return (read_bits(bits - kRawPiece) << kRawPiece) | low;
  }
  return raw(bits);
}

void RangeEncoder::start(std::vector<uint8_t> *out) {
  out_ = out;
  begin_ = used_ = out->size();
  base_ = 0;
  length_ = kMaxLength;
}

void RangeEncoder::carry() {
  uint8_t *bytes = out_->data();
  size_t at = used_;
  while (at > begin_ && bytes[at - 1] == 0xFF) {
    bytes[--at] = 0;
  }
  if (at > begin_) {
    ++bytes[at - 1];
  }
}

void RangeEncoder::renormalise() {
  make_room(4);  // (a renormalisation writes four bytes at most)
  uint8_t *next = out_->data() + used_;
  do {
    *next++ = uint8_t(base_ >> 24);
    base_ <<= 8;
  } while ((length_ <<= 8) < kMinLength);
  used_ = size_t(next - out_->data());
}

void RangeEncoder::encode_bit(BitModel *model, uint32_t bit) {
  const uint32_t x = model->zero_probability * (length_ >> kBitShift);
  if (bit == 0) {
    length_ = x;
    ++model->zero_count;
  } else {
    const uint32_t before = base_;
    base_ += x;
    length_ -= x;
    if (before > base_) {
      carry();
    }
  }
  if (length_ < kMinLength) {
    renormalise();
  }
  if (--model->until_update == 0) {
    model->update();
  }
}

void RangeEncoder::encode_symbol(SymbolModel *model, uint32_t symbol) {
  const uint32_t before = base_;
  if (symbol == model->last_symbol) {
    const uint32_t x = model->distribution[symbol] * (length_ >> kSymbolShift);
    base_ += x;
    length_ -= x;
  } else {
    const uint32_t x = model->distribution[symbol] * (length_ >>= kSymbolShift);
    base_ += x;
    length_ = model->distribution[symbol + 1] * length_ - x;
  }
  if (before > base_) {
    carry();
  }
  if (length_ < kMinLength) {
    renormalise();
  }
  ++model->count[symbol];
  if (--model->until_update == 0) {
    model->update();
  }
}

void RangeEncoder::raw(uint32_t bits, uint32_t value) {
  const uint32_t before = base_;
  base_ += value * (length_ >>= bits);
  if (before > base_) {
    carry();
  }
  if (length_ < kMinLength) {
    renormalise();
  }
}

void RangeEncoder::write_bits(uint32_t bits, uint32_t value) {
  if (bits > kLongRaw) {
    raw(kRawPiece, value & 0xFFFFu);
    value >>= kRawPiece;
    bits -= kRawPiece;
  }
  raw(bits, value);
}

void RangeEncoder::finish() {
  const uint32_t before = base_;
  bool another_byte = true;
  if (length_ > 2 * kMinLength) {
    base_ += kMinLength;
    length_ = kMinLength >> 1;
  } else {
    base_ += kMinLength >> 1;
    length_ = kMinLength >> 9;
    another_byte = false;
  }
  if (before > base_) {
    carry();
  }
  renormalise();
  // The decoder reads four bytes ahead of what it decodes.
  out_->resize(used_);
  out_->push_back(0);
  out_->push_back(0);
  if (another_byte) {
    out_->push_back(0);
  }
}

IntegerCoder::IntegerCoder(uint32_t bits, uint32_t contexts, uint32_t high_bits, uint32_t range)
    : high_bits_(high_bits) {
  if (range != 0) {
    corrector_range_ = range;
    while (range != 0) {
      range >>= 1;
      ++corrector_bits_;
    }
    if (corrector_range_ == (1u << (corrector_bits_ - 1))) {
      --corrector_bits_;
    }
    corrector_min_ = -int32_t(corrector_range_ / 2);
    corrector_max_ = int32_t(uint32_t(corrector_min_) + corrector_range_ - 1);
  } else if (bits != 0 && bits < 32) {
    corrector_bits_ = bits;
    corrector_range_ = 1u << bits;
    corrector_min_ = -int32_t(corrector_range_ / 2);
    corrector_max_ = int32_t(uint32_t(corrector_min_) + corrector_range_ - 1);
  } else {
    corrector_bits_ = 32;
    corrector_range_ = 0;
    corrector_min_ = INT32_MIN;
    corrector_max_ = INT32_MAX;
  }
  classes_.assign(contexts, SymbolModel(corrector_bits_ + 1));
  for (uint32_t k = 1; k <= corrector_bits_; ++k) {
    in_class_.emplace_back(k <= high_bits_ ? 1u << k : 1u << high_bits_);
  }
}

void IntegerCoder::reset() {
  for (SymbolModel &model : classes_) {
    model.reset();
  }
  zero_or_one_.reset();
  for (SymbolModel &model : in_class_) {
    model.reset();
  }
  k_ = 0;
}

int32_t IntegerCoder::read_corrector(RangeDecoder *decoder, SymbolModel *classes) {
  k_ = decoder->decode_symbol(classes);
  if (k_ == 0) {
    return int32_t(decoder->decode_bit(&zero_or_one_));
  }
  if (k_ >= 32) {
    return corrector_min_;
  }
  uint32_t c = decoder->decode_symbol(&in_class_[k_ - 1]);
  if (k_ > high_bits_) {
    const uint32_t low_bits = k_ - high_bits_;
    c = (c << low_bits) | decoder->read_bits(low_bits);
  }
  // Back from [0, 2^k) to [-(2^k - 1), -2^(k-1)] and [2^(k-1) + 1, 2^k].
  return c >= (1u << (k_ - 1)) ? int32_t(c + 1) : int32_t(c - ((1u << k_) - 1));
}

void IntegerCoder::write_corrector(RangeEncoder *encoder, int32_t corrector, SymbolModel *classes) {
  uint32_t magnitude = corrector <= 0 ? 0u - uint32_t(corrector) : uint32_t(corrector) - 1;
  k_ = 0;
  while (magnitude != 0) {
    magnitude >>= 1;
    ++k_;
  }
  encoder->encode_symbol(classes, k_);
  if (k_ == 0) {
    encoder->encode_bit(&zero_or_one_, uint32_t(corrector));
    return;
  }
  if (k_ >= 32) {
    return;
  }
  // Into [0, 2^k): the negative correctors below 2^(k-1), the positive ones from it.
  uint32_t c = corrector < 0 ? uint32_t(corrector) + ((1u << k_) - 1) : uint32_t(corrector) - 1;
  if (k_ <= high_bits_) {
    encoder->encode_symbol(&in_class_[k_ - 1], c);
    return;
  }
  const uint32_t low_bits = k_ - high_bits_;
  const uint32_t low = c & ((1u << low_bits) - 1);
  encoder->encode_symbol(&in_class_[k_ - 1], c >> low_bits);
  encoder->write_bits(low_bits, low);
}

int32_t IntegerCoder::decode(RangeDecoder *decoder, int32_t prediction, uint32_t context) {
  int32_t real =
      int32_t(uint32_t(prediction) + uint32_t(read_corrector(decoder, &classes_[context])));
  if (real < 0) {
    real = int32_t(uint32_t(real) + corrector_range_);
  } else if (uint32_t(real) >= corrector_range_) {
    real = int32_t(uint32_t(real) - corrector_range_);
  }
  return real;
}

void IntegerCoder::encode(RangeEncoder *encoder, int32_t prediction, int32_t real,
                          uint32_t context) {
  int32_t corrector = int32_t(uint32_t(real) - uint32_t(prediction));
  if (corrector < corrector_min_) {
    corrector = int32_t(uint32_t(corrector) + corrector_range_);
  } else if (corrector > corrector_max_) {
    corrector = int32_t(uint32_t(corrector) - corrector_range_);
  }
  write_corrector(encoder, corrector, &classes_[context]);
}

}  // namespace levelling
