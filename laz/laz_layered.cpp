#include "laz/laz_layered.h"

#include <cstring>

#include "laz/byte_order.h"

namespace levelling {

namespace {

// POINT14's layers, in their order in a chunk.
enum Layer14 {
  kReturnsXY = 0,
  kZLayer,
  kClassLayer,
  kFlagsLayer,
  kIntensityLayer,
  kScanAngleLayer,
  kUserDataLayer,
  kSourceLayer,
  kTimeLayer
};

constexpr int kChannels = 4;
constexpr int kDxContextCap = 20, kZContextCap = 18;

// The returns' context (6 of them) and level (8) by number of returns n and return number r.
constexpr uint8_t kReturnMap6[16][16] = {{0, 1, 2, 3, 4, 5, 3, 4, 4, 5, 5, 5, 5, 5, 5, 5},
                                         {1, 0, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3},
                                         {2, 1, 2, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3},
                                         {3, 3, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {4, 3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {5, 3, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {3, 3, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {4, 3, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {4, 3, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4},
                                         {5, 3, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4},
                                         {5, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 4, 4, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5}};
constexpr uint8_t kReturnLevel8[16][16] = {{0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7, 7, 7, 7},
                                           {1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7, 7, 7},
                                           {2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7, 7},
                                           {3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7},
                                           {4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7},
                                           {5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7},
                                           {6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7},
                                           {7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7},
                                           {7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7},
                                           {7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6},
                                           {7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5},
                                           {7, 7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4},
                                           {7, 7, 7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3},
                                           {7, 7, 7, 7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2},
                                           {7, 7, 7, 7, 7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1},
                                           {7, 7, 7, 7, 7, 7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0}};

inline int32_t fold(int32_t n) { return n < 0 ? n + 256 : (n > 255 ? n - 256 : n); }
inline int32_t wrap_add(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
inline int32_t wrap_sub(int32_t a, int32_t b) { return int32_t(uint32_t(a) - uint32_t(b)); }

const char *chars(const uint8_t *bytes) { return reinterpret_cast<const char *>(bytes); }
char *chars(uint8_t *bytes) { return reinterpret_cast<char *>(bytes); }

Point14 unpack14(const uint8_t *b) {
  Point14 p;
  p.x = get<int32_t>(chars(b), 0);
  p.y = get<int32_t>(chars(b), 4);
  p.z = get<int32_t>(chars(b), 8);
  p.intensity = get<uint16_t>(chars(b), 12);
  p.return_number = b[14] & 15u;
  p.returns = b[14] >> 4;
  p.class_flags = b[15] & 15u;
  p.channel = (b[15] >> 4) & 3u;
  p.scan_direction = (b[15] >> 6) & 1u;
  p.edge = b[15] >> 7;
  p.classification = b[16];
  p.user_data = b[17];
  p.scan_angle = get<int16_t>(chars(b), 18);
  p.source = get<uint16_t>(chars(b), 20);
  p.time = get<uint64_t>(chars(b), 22);
  return p;
}

void pack14(const Point14 &p, uint8_t *b) {
  put(chars(b), 0, p.x);
  put(chars(b), 4, p.y);
  put(chars(b), 8, p.z);
  put(chars(b), 12, p.intensity);
  b[14] = uint8_t(p.return_number | (p.returns << 4));
  b[15] = uint8_t(p.class_flags | (p.channel << 4) | (p.scan_direction << 6) | (p.edge << 7));
  b[16] = uint8_t(p.classification);
  b[17] = uint8_t(p.user_data);
  put(chars(b), 18, p.scan_angle);
  put(chars(b), 20, p.source);
  put(chars(b), 22, p.time);
}

unsigned flags_of(const Point14 &p) {
  return (p.edge << 5) | (p.scan_direction << 4) | p.class_flags;
}

SymbolModel *lazy(std::unique_ptr<SymbolModel> *model, uint32_t symbols) {
  if (!*model) {
    model->reset(new SymbolModel(symbols));
  }
  return model->get();
}

}  // namespace

struct Point14Coder::Context {
  bool used = false;
  Point14 last;
  uint16_t last_intensity[8] = {};
  Median5 x_median[12], y_median[12];
  int32_t last_z[8] = {};
  std::vector<SymbolModel> changed = std::vector<SymbolModel>(8, SymbolModel(128));
  SymbolModel channel{3};
  std::unique_ptr<SymbolModel> returns[16], return_number[16];
  SymbolModel return_same{13};
  IntegerCoder dx{32, 2}, dy{32, 22}, dz{32, 20};
  std::unique_ptr<SymbolModel> classification[64], flags[64], user_data[64];
  IntegerCoder intensity{16, 4}, scan_angle{16, 2}, source{16};
  GpsTimeCoder time{true};
};

Point14Coder::Point14Coder() = default;
Point14Coder::~Point14Coder() = default;

void Point14Coder::init_context(unsigned channel, const Point14 &from) {
  if (!contexts_[channel]) {
    contexts_[channel].reset(new Context);
  }
  Context &c = *contexts_[channel];
  for (SymbolModel &model : c.changed) {
    model.reset();
  }
  c.channel.reset();
  for (int i = 0; i < 16; ++i) {
    c.returns[i].reset();
    c.return_number[i].reset();
  }
  c.return_same.reset();
  c.dx.reset();
  c.dy.reset();
  for (int i = 0; i < 12; ++i) {
    c.x_median[i] = Median5();
    c.y_median[i] = Median5();
  }
  c.dz.reset();
  for (int i = 0; i < 8; ++i) {
    c.last_z[i] = from.z;
    c.last_intensity[i] = from.intensity;
  }
  for (int i = 0; i < 64; ++i) {
    c.classification[i].reset();
    c.flags[i].reset();
    c.user_data[i].reset();
  }
  c.intensity.reset();
  c.scan_angle.reset();
  c.source.reset();
  c.time.start_time(from.time);
  c.last = from;
  c.last.time_change = false;
  c.used = true;
}

unsigned Point14Coder::items_context(uint32_t changed) const {
  // The reference coder hands the items after POINT14 a context that starts at 0 for every
  // record and is set only where the record changes channel: RGB, NIR and extra bytes code in
  // context 0 on every record but those that switch.
  return (changed & (1u << 6)) ? current_ : 0u;
}

void Point14Coder::start(const uint8_t *first, unsigned *channel) {
  for (auto &context : contexts_) {
    if (context) {
      context->used = false;
    }
  }
  const Point14 p = unpack14(first);
  current_ = p.channel;
  *channel = current_;
  init_context(current_, p);
}

void Point14Coder::decode(LazLayer *layers, uint8_t *out, unsigned *channel) {
  RangeDecoder *xy = &layers[kReturnsXY].decoder;
  Context *c = contexts_[current_].get();
  Point14 *last = &c->last;
  const unsigned lpr = (last->return_number == 1 ? 1u : 0u) +
                       (last->return_number >= last->returns ? 2u : 0u) +
                       (last->time_change ? 4u : 0u);
  const uint32_t changed = xy->decode_symbol(&c->changed[lpr]);
  if (changed & (1u << 6)) {
    const unsigned next = (current_ + xy->decode_symbol(&c->channel) + 1) % kChannels;
    if (!contexts_[next] || !contexts_[next]->used) {
      init_context(next, c->last);
    }
    current_ = next;
    c = contexts_[current_].get();
    last = &c->last;
    last->channel = current_;
  }
  *channel = items_context(changed);
  const bool source_change = (changed & (1u << 5)) != 0;
  const bool time_change = (changed & (1u << 4)) != 0;
  const bool angle_change = (changed & (1u << 3)) != 0;
  const unsigned last_n = last->returns, last_r = last->return_number;
  if (changed & (1u << 2)) {
    last->returns = xy->decode_symbol(lazy(&c->returns[last_n], 16));
  }
  switch (changed & 3u) {
    case 1:
      last->return_number = (last_r + 1) % 16;
      break;
    case 2:
      last->return_number = (last_r + 15) % 16;
      break;
    case 3:
      last->return_number = time_change ? xy->decode_symbol(lazy(&c->return_number[last_r], 16))
                                        : (last_r + xy->decode_symbol(&c->return_same) + 2) % 16;
      break;
    default:
      break;
  }
  const unsigned n = last->returns, r = last->return_number;
  const unsigned m = kReturnMap6[n][r], l = kReturnLevel8[n][r];
  const unsigned cpr = (r == 1 ? 2u : 0u) + (r >= n ? 1u : 0u);
  const unsigned median = (m << 1) | (time_change ? 1u : 0u);
  const int32_t dx = c->dx.decode(xy, c->x_median[median].get(), n == 1);
  last->x = wrap_add(last->x, dx);
  c->x_median[median].add(dx);
  uint32_t k = c->dx.k();
  const int32_t dy = c->dy.decode(xy, c->y_median[median].get(),
                                  (n == 1) + (k < kDxContextCap ? k & ~1u : kDxContextCap));
  last->y = wrap_add(last->y, dy);
  c->y_median[median].add(dy);
  if (layers[kZLayer].changed) {
    k = (c->dx.k() + c->dy.k()) / 2;
    last->z = c->dz.decode(&layers[kZLayer].decoder, c->last_z[l],
                           (n == 1) + (k < kZContextCap ? k & ~1u : kZContextCap));
    c->last_z[l] = last->z;
  }
  if (layers[kClassLayer].changed) {
    const unsigned ccc = ((last->classification & 0x1Fu) << 1) + (cpr == 3 ? 1u : 0u);
    last->classification =
        layers[kClassLayer].decoder.decode_symbol(lazy(&c->classification[ccc], 256));
  }
  if (layers[kFlagsLayer].changed) {
    const unsigned flags =
        layers[kFlagsLayer].decoder.decode_symbol(lazy(&c->flags[flags_of(*last)], 64));
    last->edge = (flags >> 5) & 1u;
    last->scan_direction = (flags >> 4) & 1u;
    last->class_flags = flags & 15u;
  }
  if (layers[kIntensityLayer].changed) {
    const unsigned slot = (cpr << 1) | (time_change ? 1u : 0u);
    last->intensity = uint16_t(
        c->intensity.decode(&layers[kIntensityLayer].decoder, c->last_intensity[slot], cpr));
    c->last_intensity[slot] = last->intensity;
  }
  if (layers[kScanAngleLayer].changed && angle_change) {
    last->scan_angle = int16_t(uint16_t(
        c->scan_angle.decode(&layers[kScanAngleLayer].decoder, last->scan_angle, time_change)));
  }
  if (layers[kUserDataLayer].changed) {
    last->user_data =
        layers[kUserDataLayer].decoder.decode_symbol(lazy(&c->user_data[last->user_data / 4], 256));
  }
  if (layers[kSourceLayer].changed && source_change) {
    last->source = uint16_t(c->source.decode(&layers[kSourceLayer].decoder, last->source));
  }
  if (layers[kTimeLayer].changed && time_change) {
    last->time = c->time.decode_time(&layers[kTimeLayer].decoder);
  }
  pack14(*last, out);
  last->time_change = time_change;
}

void Point14Coder::encode(LazLayer *layers, const uint8_t *in, unsigned *channel) {
  RangeEncoder *xy = &layers[kReturnsXY].encoder;
  Context *c = contexts_[current_].get();
  Point14 *last = &c->last;
  const unsigned lpr = (last->return_number == 1 ? 1u : 0u) +
                       (last->return_number >= last->returns ? 2u : 0u) +
                       (last->time_change ? 4u : 0u);
  const Point14 p = unpack14(in);
  const unsigned next = p.channel;
  if (next != current_ && contexts_[next] && contexts_[next]->used) {
    last = &contexts_[next]->last;
  }
  const bool source_change = p.source != last->source;
  const bool time_change = p.time != last->time;
  const bool angle_change = p.scan_angle != last->scan_angle;
  const unsigned last_n = last->returns, last_r = last->return_number;
  const unsigned n = p.returns, r = p.return_number;
  uint32_t changed = (uint32_t(next != current_) << 6) | (uint32_t(source_change) << 5) |
                     (uint32_t(time_change) << 4) | (uint32_t(angle_change) << 3) |
                     (uint32_t(n != last_n) << 2);
  if (r != last_r) {
    changed |= r == (last_r + 1) % 16 ? 1u : r == (last_r + 15) % 16 ? 2u : 3u;
  }
  xy->encode_symbol(&c->changed[lpr], changed);
  if (changed & (1u << 6)) {
    xy->encode_symbol(&c->channel, (next + kChannels - current_ - 1) % kChannels);
    if (!contexts_[next] || !contexts_[next]->used) {
      init_context(next, c->last);
      last = &contexts_[next]->last;
    }
    current_ = next;
    c = contexts_[current_].get();
  }
  *channel = items_context(changed);
  if (changed & (1u << 2)) {
    xy->encode_symbol(lazy(&c->returns[last_n], 16), n);
  }
  if ((changed & 3u) == 3u) {
    if (time_change) {
      xy->encode_symbol(lazy(&c->return_number[last_r], 16), r);
    } else {
      xy->encode_symbol(&c->return_same, (r + 16 - last_r - 2) % 16);
    }
  }
  const unsigned m = kReturnMap6[n][r], l = kReturnLevel8[n][r];
  const unsigned cpr = (r == 1 ? 2u : 0u) + (r >= n ? 1u : 0u);
  const unsigned median = (m << 1) | (time_change ? 1u : 0u);
  const int32_t dx = wrap_sub(p.x, last->x);
  c->dx.encode(xy, c->x_median[median].get(), dx, n == 1);
  c->x_median[median].add(dx);
  uint32_t k = c->dx.k();
  const int32_t dy = wrap_sub(p.y, last->y);
  c->dy.encode(xy, c->y_median[median].get(), dy,
               (n == 1) + (k < kDxContextCap ? k & ~1u : kDxContextCap));
  c->y_median[median].add(dy);
  k = (c->dx.k() + c->dy.k()) / 2;
  c->dz.encode(&layers[kZLayer].encoder, c->last_z[l], p.z,
               (n == 1) + (k < kZContextCap ? k & ~1u : kZContextCap));
  c->last_z[l] = p.z;
  layers[kClassLayer].changed |= p.classification != last->classification;
  const unsigned ccc = ((last->classification & 0x1Fu) << 1) + (cpr == 3 ? 1u : 0u);
  layers[kClassLayer].encoder.encode_symbol(lazy(&c->classification[ccc], 256), p.classification);
  layers[kFlagsLayer].changed |= flags_of(p) != flags_of(*last);
  layers[kFlagsLayer].encoder.encode_symbol(lazy(&c->flags[flags_of(*last)], 64), flags_of(p));
  layers[kIntensityLayer].changed |= p.intensity != last->intensity;
  const unsigned slot = (cpr << 1) | (time_change ? 1u : 0u);
  c->intensity.encode(&layers[kIntensityLayer].encoder, c->last_intensity[slot], p.intensity, cpr);
  c->last_intensity[slot] = p.intensity;
  if (angle_change) {
    layers[kScanAngleLayer].changed = true;
    c->scan_angle.encode(&layers[kScanAngleLayer].encoder, last->scan_angle, p.scan_angle,
                         time_change);
  }
  layers[kUserDataLayer].changed |= p.user_data != last->user_data;
  layers[kUserDataLayer].encoder.encode_symbol(lazy(&c->user_data[last->user_data / 4], 256),
                                               p.user_data);
  if (source_change) {
    layers[kSourceLayer].changed = true;
    c->source.encode(&layers[kSourceLayer].encoder, last->source, p.source);
  }
  if (time_change) {
    layers[kTimeLayer].changed = true;
    c->time.encode_time(&layers[kTimeLayer].encoder, p.time);
  }
  *last = p;
  last->time_change = time_change;
}

void Rgb14Coder::init_context(unsigned channel, const uint16_t *from) {
  Context &c = contexts_[channel];
  std::memcpy(c.last, from, sizeof c.last);
  c.colour.reset();
  c.used_nir.reset();
  for (SymbolModel &model : c.nir) {
    model.reset();
  }
  c.used = true;
}

void Rgb14Coder::start(const uint8_t *first, unsigned channel) {
  for (Context &c : contexts_) {
    c.used = false;
  }
  uint16_t values[4] = {};
  for (size_t i = 0; i < (nir_ ? 4u : 3u); ++i) {
    values[i] = get<uint16_t>(chars(first), 2 * i);
  }
  current_ = channel;
  init_context(channel, values);
}

uint16_t *Rgb14Coder::enter(unsigned channel) {
  // A channel met again predicts from the last item of the channel before it.
  uint16_t *last = contexts_[current_].last;
  if (channel != current_) {
    current_ = channel;
    if (!contexts_[channel].used) {
      init_context(channel, last);
      last = contexts_[channel].last;
    }
  }
  return last;
}

void Rgb14Coder::decode(LazLayer *layers, uint8_t *out, unsigned channel) {
  uint16_t *last = enter(channel);
  Context &c = contexts_[current_];
  uint16_t rgb[4] = {last[0], last[1], last[2], last[3]};
  if (layers[0].changed) {
    decode_colour(&layers[0].decoder, &c.colour, last, rgb);
    std::memcpy(last, rgb, 3 * sizeof(uint16_t));
  }
  if (nir_ && layers[1].changed) {
    RangeDecoder *d = &layers[1].decoder;
    const uint32_t used = d->decode_symbol(&c.used_nir);
    const int32_t low = (used & 1u) ? fold(int32_t(d->decode_symbol(&c.nir[0])) + (last[3] & 0xFF))
                                    : last[3] & 0xFF;
    const int32_t high =
        (used & 2u) ? fold(int32_t(d->decode_symbol(&c.nir[1])) + (last[3] >> 8)) : last[3] >> 8;
    rgb[3] = last[3] = uint16_t(low | (high << 8));
  }
  for (size_t i = 0; i < (nir_ ? 4u : 3u); ++i) {
    put(chars(out), 2 * i, rgb[i]);
  }
}

void Rgb14Coder::encode(LazLayer *layers, const uint8_t *in, unsigned channel) {
  uint16_t *last = enter(channel);
  Context &c = contexts_[current_];
  uint16_t rgb[4] = {};
  for (size_t i = 0; i < (nir_ ? 4u : 3u); ++i) {
    rgb[i] = get<uint16_t>(chars(in), 2 * i);
  }
  layers[0].changed |= encode_colour(&layers[0].encoder, &c.colour, last, rgb);
  if (nir_) {
    const auto low = [](uint16_t v) { return int32_t(v & 0xFF); };
    const auto high = [](uint16_t v) { return int32_t(v >> 8); };
    const uint32_t nir_used =
        uint32_t(low(last[3]) != low(rgb[3])) | (uint32_t(high(last[3]) != high(rgb[3])) << 1);
    RangeEncoder *n = &layers[1].encoder;
    n->encode_symbol(&c.used_nir, nir_used);
    if (nir_used & 1u) {
      n->encode_symbol(&c.nir[0], uint32_t(fold(low(rgb[3]) - low(last[3]))));
    }
    if (nir_used & 2u) {
      n->encode_symbol(&c.nir[1], uint32_t(fold(high(rgb[3]) - high(last[3]))));
    }
    layers[1].changed |= nir_used != 0;
  }
  std::memcpy(last, rgb, sizeof rgb);
}

void Bytes14Coder::init_context(unsigned channel, const uint8_t *from) {
  Context &c = contexts_[channel];
  c.last.assign(from, from + count_);
  if (c.models.empty()) {
    c.models.assign(count_, SymbolModel(256));
  }
  for (SymbolModel &model : c.models) {
    model.reset();
  }
  c.used = true;
}

void Bytes14Coder::start(const uint8_t *first, unsigned channel) {
  for (Context &c : contexts_) {
    c.used = false;
  }
  current_ = channel;
  init_context(channel, first);
}

uint8_t *Bytes14Coder::enter(unsigned channel) {
  uint8_t *last = contexts_[current_].last.data();
  if (channel != current_) {
    current_ = channel;
    if (!contexts_[channel].used) {
      init_context(channel, last);
      last = contexts_[channel].last.data();
    }
  }
  return last;
}

void Bytes14Coder::decode(LazLayer *layers, uint8_t *out, unsigned channel) {
  uint8_t *last = enter(channel);
  Context &c = contexts_[current_];
  for (size_t i = 0; i < count_; ++i) {
    if (layers[i].changed) {
      last[i] =
          uint8_t(fold(int32_t(last[i]) + int32_t(layers[i].decoder.decode_symbol(&c.models[i]))));
    }
    out[i] = last[i];
  }
}

void Bytes14Coder::encode(LazLayer *layers, const uint8_t *in, unsigned channel) {
  uint8_t *last = enter(channel);
  Context &c = contexts_[current_];
  for (size_t i = 0; i < count_; ++i) {
    layers[i].encoder.encode_symbol(&c.models[i], uint32_t(fold(int32_t(in[i]) - last[i])));
    layers[i].changed |= in[i] != last[i];
    last[i] = in[i];
  }
}

}  // namespace levelling
