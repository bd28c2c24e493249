// The point-wise LAZ items of point formats 0 to 5 at item version 2: POINT10 (the 20 bytes every
// LAS record begins with), GPSTIME11 (the GPS time), RGB12 (colour) and BYTE (extra bytes). Each
// codes a record's item against the last one, in models the reference library's decoder keeps
// alike: the same coder decodes and encodes, so both sides hold the same state by construction.
#ifndef LEVELLING_LAZ_LAZ_ITEMS_H
#define LEVELLING_LAZ_LAZ_ITEMS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "laz/laz_coder.h"

namespace levelling {

// The median of the last five values added (all 0 at first).
class Median5 {
 public:
  void add(int32_t value);
  int32_t get() const { return values_[2]; }

 private:
  int32_t values_[5] = {};
  bool high_ = true;
};

// Every coder: start(first) with a chunk's first item, which is stored raw; then, item by item,
// decode(decoder, out) or encode(encoder, in), `in`/`out` the item's bytes in the record.
class Point10Coder {
 public:
  static constexpr size_t kSize = 20;
  Point10Coder();
  void start(const uint8_t *first);
  void decode(RangeDecoder *decoder, uint8_t *out);
  void encode(RangeEncoder *encoder, const uint8_t *in);

 private:
  SymbolModel *byte_model(std::unique_ptr<SymbolModel> (&models)[256], uint8_t last);

  uint8_t last_[kSize] = {};
  uint16_t last_intensity_[16] = {};
  int32_t last_height_[8] = {};
  Median5 x_median_[16], y_median_[16];
  SymbolModel changed_{64};
  IntegerCoder intensity_{16, 4};
  SymbolModel scan_angle_[2] = {SymbolModel(256), SymbolModel(256)};
  IntegerCoder source_{16};
  std::unique_ptr<SymbolModel> flags_[256], classification_[256], user_data_[256];
  IntegerCoder dx_{32, 2}, dy_{32, 22}, z_{32, 20};
};

// The GPS time: in sequences (up to four: flight lines interleaved), each coded as its last
// difference times a multiplier plus a corrector. Point-wise (GPSTIME11) it codes "unchanged"
// too; layered (inside POINT14) it is coded only when it changed, and its codes shift by one.
class GpsTimeCoder {
 public:
  static constexpr size_t kSize = 8;
  explicit GpsTimeCoder(bool layered = false);
  void start(const uint8_t *first) { start_time(get_time(first)); }
  void decode(RangeDecoder *decoder, uint8_t *out) { put_time(out, decode_time(decoder)); }
  void encode(RangeEncoder *encoder, const uint8_t *in) { encode_time(encoder, get_time(in)); }
  // The same on the time's 64 bits.
  void start_time(uint64_t first);
  uint64_t decode_time(RangeDecoder *decoder);
  void encode_time(RangeEncoder *encoder, uint64_t time);

 private:
  static uint64_t get_time(const uint8_t *bytes);
  static void put_time(uint8_t *bytes, uint64_t time);
  // A new time, too far from every sequence's last for 32 bits: starts a sequence.
  void begin_sequence(int64_t time);

  int last_ = 0, next_ = 0;
  int64_t last_time_[4] = {};
  int32_t last_diff_[4] = {};
  int extremes_[4] = {};
  uint32_t diff_code_, full_code_;  // after a zero difference: a 32-bit one, a new sequence
  uint32_t multi_full_code_;        // after another: a new sequence (then the switches)
  SymbolModel multiplier_;
  SymbolModel zero_diff_;
  IntegerCoder difference_{32, 9};
};

// A colour's models (RGB12's, and RGB14's in each channel): which of its six bytes changed,
// and each byte's corrector.
struct ColourModels {
  void reset();
  SymbolModel used{128};
  std::array<SymbolModel, 6> diff{SymbolModel(256), SymbolModel(256), SymbolModel(256),
                                  SymbolModel(256), SymbolModel(256), SymbolModel(256)};
};

// Decodes a colour (red, green, blue, 16 bits each) into rgb[0, 3), predicted from last[0, 3): each
// byte the last one's, or a corrector to it; green and blue from red's change when they differ.
void decode_colour(RangeDecoder *decoder, ColourModels *models, const uint16_t *last,
                   uint16_t *rgb);
// Encodes rgb after `last`; whether any byte changed.
bool encode_colour(RangeEncoder *encoder, ColourModels *models, const uint16_t *last,
                   const uint16_t *rgb);

class Rgb12Coder {
 public:
  static constexpr size_t kSize = 6;
  void start(const uint8_t *first);
  void decode(RangeDecoder *decoder, uint8_t *out);
  void encode(RangeEncoder *encoder, const uint8_t *in);

 private:
  uint16_t last_[3] = {};
  ColourModels models_;
};

class BytesCoder {
 public:
  explicit BytesCoder(size_t count) : last_(count), models_(count, SymbolModel(256)) {}
  void start(const uint8_t *first);
  void decode(RangeDecoder *decoder, uint8_t *out);
  void encode(RangeEncoder *encoder, const uint8_t *in);

 private:
  std::vector<uint8_t> last_;
  std::vector<SymbolModel> models_;
};

}  // namespace levelling

#endif
