// The layered LAZ items of point formats 6 to 10 at item version 3: POINT14 (the 30 bytes every
// such record begins with), RGB14, RGBNIR14 and BYTE14. Each attribute is coded in a layer of
// its own (a layer that never changes in a chunk is left out), each in four contexts, one for
// each scanner channel, the channel's last point the prediction. As the reference library's
// coder does, the items after POINT14 take the context POINT14 hands them (the new channel on a
// record that changes channel, 0 on every other record but a chunk's first), and a context met
// again keeps predicting from the item of the context before it.
#ifndef LEVELLING_LAZ_LAZ_LAYERED_H
#define LEVELLING_LAZ_LAZ_LAYERED_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "laz/laz_coder.h"
#include "laz/laz_items.h"

namespace levelling {

// One layer of a chunk: its decoder over its bytes, or its encoder into them; `changed` says
// whether it is coded at all (a decoded layer of no bytes, an encoded one whose value never
// changed).
struct LazLayer {
  RangeDecoder decoder;
  RangeEncoder encoder;
  std::vector<uint8_t> bytes;
  bool changed = false;
};

// A format 6 to 10 record's first 30 bytes as the coder sees them.
struct Point14 {
  int32_t x = 0, y = 0, z = 0;
  uint16_t intensity = 0;
  unsigned return_number = 0, returns = 0;  // 4 bits each
  unsigned class_flags = 0, channel = 0, scan_direction = 0, edge = 0;
  unsigned classification = 0, user_data = 0;
  int16_t scan_angle = 0;
  uint16_t source = 0;
  uint64_t time = 0;  // the GPS time's bits
  bool time_change = false;
};

class Point14Coder {
 public:
  static constexpr size_t kSize = 30;
  static constexpr size_t kLayers = 9;
  // Its first layers, which code X, Y and Z (and the returns they are coded by).
  static constexpr size_t kCoordinateLayers = 2;
  Point14Coder();
  ~Point14Coder();
  Point14Coder(const Point14Coder &) = delete;
  Point14Coder &operator=(const Point14Coder &) = delete;
  // Starts a chunk at its first item; *channel: its scanner channel (the context of the items
  // after it).
  void start(const uint8_t *first, unsigned *channel);
  // Codes one record's POINT14 in its layers; *channel: the context of the items after it.
  void decode(LazLayer *layers, uint8_t *out, unsigned *channel);
  void encode(LazLayer *layers, const uint8_t *in, unsigned *channel);

 private:
  struct Context;
  void init_context(unsigned channel, const Point14 &from);
  unsigned items_context(uint32_t changed) const;
  uint64_t decode_time(Context *c, RangeDecoder *decoder);
  void encode_time(Context *c, RangeEncoder *encoder, uint64_t time);

  std::array<std::unique_ptr<Context>, 4> contexts_;
  unsigned current_ = 0;
};

// RGB14 (6 bytes) and RGBNIR14 (8 bytes: colour, then near infrared in a layer of its own).
class Rgb14Coder {
 public:
  explicit Rgb14Coder(bool nir) : nir_(nir) {}
  size_t layers() const { return nir_ ? 2 : 1; }
  void start(const uint8_t *first, unsigned channel);
  void decode(LazLayer *layers, uint8_t *out, unsigned channel);
  void encode(LazLayer *layers, const uint8_t *in, unsigned channel);

 private:
  struct Context {
    bool used = false;
    uint16_t last[4] = {};
    ColourModels colour;
    SymbolModel used_nir{4};
    std::array<SymbolModel, 2> nir{SymbolModel(256), SymbolModel(256)};
  };
  uint16_t *enter(unsigned channel);
  void init_context(unsigned channel, const uint16_t *from);

  bool nir_;
  std::array<Context, 4> contexts_;
  unsigned current_ = 0;
};

// BYTE14: each extra byte in a layer of its own.
class Bytes14Coder {
 public:
  explicit Bytes14Coder(size_t count) : count_(count) {}
  size_t layers() const { return count_; }
  void start(const uint8_t *first, unsigned channel);
  void decode(LazLayer *layers, uint8_t *out, unsigned channel);
  void encode(LazLayer *layers, const uint8_t *in, unsigned channel);

 private:
  struct Context {
    bool used = false;
    std::vector<uint8_t> last;
    std::vector<SymbolModel> models;
  };
  uint8_t *enter(unsigned channel);
  void init_context(unsigned channel, const uint8_t *from);

  size_t count_;
  std::array<Context, 4> contexts_;
  unsigned current_ = 0;
};

}  // namespace levelling

#endif
