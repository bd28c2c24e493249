// The entropy coding of LAZ (compressed LAS): an adaptive range coder over 32-bit intervals, its
// symbol and bit models, and the integer coder that codes a value as a corrector to a prediction.
// The LAZ reference library defines the bitstream by its behaviour: every constant here (the
// models' update cycles, the lengths discarded before a product, the corrector's split) is its
// format, and a change in any of them makes files no other reader decodes.
#ifndef LEVELLING_LAZ_LAZ_CODER_H
#define LEVELLING_LAZ_LAZ_CODER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace levelling {

// The coder's constants that the decoder's inline hot paths below share.
namespace laz_coding {
constexpr uint32_t kMinLength = 0x01000000u;  // below it the interval is renormalised
constexpr uint32_t kBitShift = 13;            // length bits a bit model's product discards
constexpr uint32_t kSymbolShift = 15;         // length bits a symbol model's product discards
}  // namespace laz_coding


// An adaptive model of `symbols` symbols (2 to 2048), its counts halved as they grow.
class SymbolModel {
 public:
  explicit SymbolModel(uint32_t symbols);
  // Back to every symbol equally likely.
  void reset();
  void update();

  uint32_t symbols;
  uint32_t last_symbol;
  std::vector<uint32_t> distribution;  // cumulative, scaled to 2^15
  std::vector<uint32_t> count;
  // For the decoder of a model of many symbols: table[t] is the first symbol whose interval
  // may hold a value whose top bits are t (table_shift bits dropped), narrowing its search.
  std::vector<uint32_t> table;
  uint32_t table_shift = 0;
  uint32_t total_count = 0, update_cycle = 0, until_update = 0;
};

// An adaptive model of one bit.
class BitModel {
 public:
  BitModel() { reset(); }
  void reset();
  void update();

  uint32_t zero_probability = 0, zero_count = 0, bit_count = 0;
  uint32_t update_cycle = 0, until_update = 0;
};

// Decodes from the bytes [data, end). Reading past the end gives zeros and sets overran(): the
// coded bytes lied about their length.
class RangeDecoder {
 public:
  // Starts at `data`: reads the first four bytes of the interval's value.
  void start(const uint8_t *data, const uint8_t *end);
  // Only hands over the bytes (for coders that read their own start).
  void attach(const uint8_t *data, const uint8_t *end) {
    next_ = data;
    end_ = end;
  }
  uint32_t decode_bit(BitModel *model);
  uint32_t decode_symbol(SymbolModel *model);
  // `bits` (1 to 32) raw bits.
  uint32_t read_bits(uint32_t bits);
  uint32_t read_int() { return read_bits(32); }
  bool overran() const { return overran_; }
  const uint8_t *position() const { return next_; }

 private:
  uint8_t next_byte() {
    if (next_ < end_) {
      return *next_++;
    }
    overran_ = true;
    return 0;
  }
  void renormalise();
  uint32_t raw(uint32_t bits);

  const uint8_t *next_ = nullptr, *end_ = nullptr;
  uint32_t value_ = 0, length_ = 0;
  bool overran_ = false;
};

// Encodes into a growing byte vector (whose size, until finish(), runs ahead of the bytes coded).
class RangeEncoder {
 public:
  // Starts a new interval, appending to *out.
  void start(std::vector<uint8_t> *out);
  void encode_bit(BitModel *model, uint32_t bit);
  void encode_symbol(SymbolModel *model, uint32_t symbol);
  void write_bits(uint32_t bits, uint32_t value);
  void write_int(uint32_t value) { write_bits(32, value); }
  // Ends the interval: the last bytes, and the zeros the decoder reads ahead.
  void finish();

 private:
  void carry();
  void renormalise();
  void raw(uint32_t bits, uint32_t value);
  // Makes room for `bytes` more bytes after the used ones.
  void make_room(size_t bytes) {
    if (out_->size() - used_ < bytes) {
      out_->resize(used_ + bytes + out_->size());
    }
  }

  std::vector<uint8_t> *out_ = nullptr;
  size_t begin_ = 0;  // where this interval's bytes begin in *out_
  size_t used_ = 0;   // and where they end
  uint32_t base_ = 0, length_ = 0;
};

// Codes integers of `bits` bits as correctors to predictions, in `contexts` contexts: the
// corrector's magnitude class k by a model per context, its place in the class by a model per k
// (the `high_bits` highest bits of it, the rest raw). k of the last value is kept for callers
// that choose the next context by it.
class IntegerCoder {
 public:
  explicit IntegerCoder(uint32_t bits = 16, uint32_t contexts = 1, uint32_t high_bits = 8,
                        uint32_t range = 0);
  void reset();
  int32_t decode(RangeDecoder *decoder, int32_t prediction, uint32_t context = 0);
  void encode(RangeEncoder *encoder, int32_t prediction, int32_t real, uint32_t context = 0);
  uint32_t k() const { return k_; }

 private:
  int32_t read_corrector(RangeDecoder *decoder, SymbolModel *classes);
  void write_corrector(RangeEncoder *encoder, int32_t corrector, SymbolModel *classes);

  uint32_t high_bits_;
  uint32_t corrector_bits_ = 0, corrector_range_ = 0;
  int32_t corrector_min_ = 0, corrector_max_ = 0;
  std::vector<SymbolModel> classes_;   // a model of k per context
  BitModel zero_or_one_;               // the corrector of class 0
  std::vector<SymbolModel> in_class_;  // [k - 1]: the corrector's place in class k
  uint32_t k_ = 0;
};

// The decoder's hot paths, inline where the items call them (a tenth of the decoding time).

inline uint32_t RangeDecoder::decode_bit(BitModel *model) {
  const uint32_t x = model->zero_probability * (length_ >> laz_coding::kBitShift);
  const uint32_t bit = value_ >= x ? 1 : 0;
  if (bit == 0) {
    length_ = x;
    ++model->zero_count;
  } else {
    value_ -= x;
    length_ -= x;
  }
  if (length_ < laz_coding::kMinLength) {
    renormalise();
  }
  if (--model->until_update == 0) {
    model->update();
  }
  return bit;
}

inline uint32_t RangeDecoder::decode_symbol(SymbolModel *model) {
  uint32_t y = length_;
  length_ >>= laz_coding::kSymbolShift;
  // The last symbol whose interval starts at or below the value: searched between the bounds
  // the table gives, or among all.
  uint32_t symbol = 0, past = model->symbols;
  if (!model->table.empty()) {
    const uint32_t table_size = uint32_t(model->table.size()) - 2;
    const uint32_t scaled = value_ / length_;
    const uint32_t t = std::min(scaled >> model->table_shift, table_size);
    symbol = model->table[t];
    past = model->table[t + 1] + 1;
    while (past - symbol > 1) {
      const uint32_t middle = (symbol + past) >> 1;
      if (model->distribution[middle] > scaled) {
        past = middle;
      } else {
        symbol = middle;
      }
    }
  } else {
    while (past - symbol > 1) {
      const uint32_t middle = (symbol + past) >> 1;
      if (model->distribution[middle] * length_ > value_) {
        past = middle;
      } else {
        symbol = middle;
      }
    }
  }
  const uint32_t x = model->distribution[symbol] * length_;
  if (symbol != model->last_symbol) {
    y = model->distribution[symbol + 1] * length_;
  }
  value_ -= x;
  length_ = y - x;
  if (length_ < laz_coding::kMinLength) {
    renormalise();
  }
  ++model->count[symbol];
  if (--model->until_update == 0) {
    model->update();
  }
  return symbol;
}

inline void RangeDecoder::renormalise() {
  do {
    value_ = (value_ << 8) | next_byte();
  } while ((length_ <<= 8) < laz_coding::kMinLength);
}

}  // namespace levelling

#endif
