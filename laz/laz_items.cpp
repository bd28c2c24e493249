#include "laz/laz_items.h"

#include <cstring>

#include "laz/byte_order.h"

namespace levelling {

namespace {

// POINT10's bytes: X, Y, Z, intensity, the returns' byte, classification, scan angle rank,
// user data, point source ID.
constexpr size_t kX = 0, kY = 4, kZ = 8, kIntensity = 12, kReturns = 14, kClass = 15;
constexpr size_t kScanAngle = 16, kUserData = 17, kSource = 18;
constexpr unsigned kScanDirectionBit = 6;
constexpr int kDxContextCap = 20, kZContextCap = 18;

// The returns' context (return number r, number of returns n, 3 bits each), completed for files
// whose r and n are zero-based, missing or swapped.
constexpr uint8_t kReturnMap[8][8] = {
    {15, 14, 13, 12, 11, 10, 9, 8},  {14, 0, 1, 3, 6, 10, 10, 9},
    {13, 1, 2, 4, 7, 11, 11, 10},    {12, 3, 4, 5, 8, 12, 12, 11},
    {11, 6, 7, 8, 9, 13, 13, 12},    {10, 10, 11, 12, 13, 14, 14, 13},
    {9, 10, 11, 12, 13, 14, 15, 14}, {8, 9, 10, 11, 12, 13, 14, 15}};
// The returns' level: how far r is from n.
constexpr uint8_t kReturnLevel[8][8] = {{0, 1, 2, 3, 4, 5, 6, 7}, {1, 0, 1, 2, 3, 4, 5, 6},
                                        {2, 1, 0, 1, 2, 3, 4, 5}, {3, 2, 1, 0, 1, 2, 3, 4},
                                        {4, 3, 2, 1, 0, 1, 2, 3}, {5, 4, 3, 2, 1, 0, 1, 2},
                                        {6, 5, 4, 3, 2, 1, 0, 1}, {7, 6, 5, 4, 3, 2, 1, 0}};

// GPSTIME11's multipliers of the last difference: up to kMulti coded as themselves, down to
// kMultiMinus as kMulti - m; then "unchanged", "a new sequence" and "switch to sequence +1..3".
constexpr int kMulti = 500, kMultiMinus = -10;
constexpr uint32_t kUnchanged = kMulti - kMultiMinus + 1;
constexpr uint32_t kCodeFull = kMulti - kMultiMinus + 2;
constexpr uint32_t kMultiCodes = kCodeFull + 4, kZeroDiffCodes = 6;
constexpr int kExtremeRuns = 3;  // extreme multipliers in a row after which they become the diff
constexpr int kSequences = 4;

inline int32_t fold(int32_t n) { return n < 0 ? n + 256 : (n > 255 ? n - 256 : n); }
inline int32_t clamp_byte(int32_t n) { return n <= 0 ? 0 : (n >= 255 ? 255 : n); }
inline int32_t wrap_add(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
inline int32_t wrap_sub(int32_t a, int32_t b) { return int32_t(uint32_t(a) - uint32_t(b)); }
inline int32_t wrap_mul(int32_t a, int32_t b) { return int32_t(uint32_t(a) * uint32_t(b)); }

const char *chars(const uint8_t *bytes) { return reinterpret_cast<const char *>(bytes); }
char *chars(uint8_t *bytes) { return reinterpret_cast<char *>(bytes); }

}  // namespace

void Median5::add(int32_t v) {
  int32_t *s = values_;
  if (high_) {
    if (v < s[2]) {
      s[4] = s[3];
      s[3] = s[2];
      if (v < s[0]) {
        s[2] = s[1];
        s[1] = s[0];
        s[0] = v;
      } else if (v < s[1]) {
        s[2] = s[1];
        s[1] = v;
      } else {
        s[2] = v;
      }
    } else {
      if (v < s[3]) {
        s[4] = s[3];
        s[3] = v;
      } else {
        s[4] = v;
      }
      high_ = false;
    }
  } else {
    if (s[2] < v) {
      s[0] = s[1];
      s[1] = s[2];
      if (s[4] < v) {
        s[2] = s[3];
        s[3] = s[4];
        s[4] = v;
      } else if (s[3] < v) {
        s[2] = s[3];
        s[3] = v;
      } else {
        s[2] = v;
      }
    } else {
      if (s[1] < v) {
        s[0] = s[1];
        s[1] = v;
      } else {
        s[0] = v;
      }
      high_ = true;
    }
  }
}

Point10Coder::Point10Coder() = default;

void Point10Coder::start(const uint8_t *first) {
  std::memcpy(last_, first, kSize);
  put(chars(last_), kIntensity, uint16_t(0));
  for (int i = 0; i < 16; ++i) {
    x_median_[i] = Median5();
    y_median_[i] = Median5();
    last_intensity_[i] = 0;
    last_height_[i / 2] = 0;
  }
  changed_.reset();
  intensity_.reset();
  scan_angle_[0].reset();
  scan_angle_[1].reset();
  source_.reset();
  for (int i = 0; i < 256; ++i) {
    flags_[i].reset();
    classification_[i].reset();
    user_data_[i].reset();
  }
  dx_.reset();
  dy_.reset();
  z_.reset();
}

SymbolModel *Point10Coder::byte_model(std::unique_ptr<SymbolModel> (&models)[256], uint8_t last) {
  if (!models[last]) {
    models[last].reset(new SymbolModel(256));
  }
  return models[last].get();
}

void Point10Coder::decode(RangeDecoder *decoder, uint8_t *out) {
  const uint32_t changed = decoder->decode_symbol(&changed_);
  if (changed & 32) {
    last_[kReturns] = uint8_t(decoder->decode_symbol(byte_model(flags_, last_[kReturns])));
  }
  const unsigned r = last_[kReturns] & 7, n = (last_[kReturns] >> 3) & 7;
  const unsigned m = kReturnMap[n][r], l = kReturnLevel[n][r];
  if (changed & 16) {
    last_intensity_[m] = uint16_t(intensity_.decode(decoder, last_intensity_[m], m < 3 ? m : 3));
  }
  put(chars(last_), kIntensity, last_intensity_[m]);
  if (changed & 8) {
    last_[kClass] = uint8_t(decoder->decode_symbol(byte_model(classification_, last_[kClass])));
  }
  if (changed & 4) {
    const int32_t value =
        int32_t(decoder->decode_symbol(&scan_angle_[(last_[kReturns] >> kScanDirectionBit) & 1]));
    last_[kScanAngle] = uint8_t(fold(value + last_[kScanAngle]));
  }
  if (changed & 2) {
    last_[kUserData] = uint8_t(decoder->decode_symbol(byte_model(user_data_, last_[kUserData])));
  }
  if (changed & 1) {
    put(chars(last_), kSource,
        uint16_t(source_.decode(decoder, get<uint16_t>(chars(last_), kSource))));
  }
  const int32_t dx = dx_.decode(decoder, x_median_[m].get(), n == 1);
  put(chars(last_), kX, wrap_add(get<int32_t>(chars(last_), kX), dx));
  x_median_[m].add(dx);
  uint32_t k = dx_.k();
  const int32_t dy = dy_.decode(decoder, y_median_[m].get(),
                                (n == 1) + (k < kDxContextCap ? k & ~1u : kDxContextCap));
  put(chars(last_), kY, wrap_add(get<int32_t>(chars(last_), kY), dy));
  y_median_[m].add(dy);
  k = (dx_.k() + dy_.k()) / 2;
  last_height_[l] =
      z_.decode(decoder, last_height_[l], (n == 1) + (k < kZContextCap ? k & ~1u : kZContextCap));
  put(chars(last_), kZ, last_height_[l]);
  std::memcpy(out, last_, kSize);
}

void Point10Coder::encode(RangeEncoder *encoder, const uint8_t *in) {
  const unsigned r = in[kReturns] & 7, n = (in[kReturns] >> 3) & 7;
  const unsigned m = kReturnMap[n][r], l = kReturnLevel[n][r];
  const uint16_t intensity = get<uint16_t>(chars(in), kIntensity);
  const uint16_t source = get<uint16_t>(chars(in), kSource);
  const uint16_t last_source = get<uint16_t>(chars(last_), kSource);
  const uint32_t changed = (uint32_t(last_[kReturns] != in[kReturns]) << 5) |
                           (uint32_t(last_intensity_[m] != intensity) << 4) |
                           (uint32_t(last_[kClass] != in[kClass]) << 3) |
                           (uint32_t(last_[kScanAngle] != in[kScanAngle]) << 2) |
                           (uint32_t(last_[kUserData] != in[kUserData]) << 1) |
                           uint32_t(last_source != source);
  encoder->encode_symbol(&changed_, changed);
  if (changed & 32) {
    encoder->encode_symbol(byte_model(flags_, last_[kReturns]), in[kReturns]);
  }
  if (changed & 16) {
    intensity_.encode(encoder, last_intensity_[m], intensity, m < 3 ? m : 3);
    last_intensity_[m] = intensity;
  }
  if (changed & 8) {
    encoder->encode_symbol(byte_model(classification_, last_[kClass]), in[kClass]);
  }
  if (changed & 4) {
    encoder->encode_symbol(&scan_angle_[(in[kReturns] >> kScanDirectionBit) & 1],
                           uint32_t(fold(int32_t(in[kScanAngle]) - last_[kScanAngle])));
  }
  if (changed & 2) {
    encoder->encode_symbol(byte_model(user_data_, last_[kUserData]), in[kUserData]);
  }
  if (changed & 1) {
    source_.encode(encoder, last_source, source);
  }
  const int32_t dx = wrap_sub(get<int32_t>(chars(in), kX), get<int32_t>(chars(last_), kX));
  dx_.encode(encoder, x_median_[m].get(), dx, n == 1);
  x_median_[m].add(dx);
  uint32_t k = dx_.k();
  const int32_t dy = wrap_sub(get<int32_t>(chars(in), kY), get<int32_t>(chars(last_), kY));
  dy_.encode(encoder, y_median_[m].get(), dy,
             (n == 1) + (k < kDxContextCap ? k & ~1u : kDxContextCap));
  y_median_[m].add(dy);
  k = (dx_.k() + dy_.k()) / 2;
  const int32_t z = get<int32_t>(chars(in), kZ);
  z_.encode(encoder, last_height_[l], z, (n == 1) + (k < kZContextCap ? k & ~1u : kZContextCap));
  last_height_[l] = z;
  std::memcpy(last_, in, kSize);
}

GpsTimeCoder::GpsTimeCoder(bool layered)
    : diff_code_(layered ? 0 : 1),
      full_code_(layered ? 1 : 2),
      multi_full_code_(layered ? kCodeFull - 1 : kCodeFull),
      multiplier_(layered ? kMultiCodes - 1 : kMultiCodes),
      zero_diff_(layered ? kZeroDiffCodes - 1 : kZeroDiffCodes) {}

uint64_t GpsTimeCoder::get_time(const uint8_t *bytes) { return get<uint64_t>(chars(bytes), 0); }

void GpsTimeCoder::put_time(uint8_t *bytes, uint64_t time) { put(chars(bytes), 0, time); }

void GpsTimeCoder::start_time(uint64_t first) {
  last_ = next_ = 0;
  for (int i = 0; i < kSequences; ++i) {
    last_time_[i] = 0;
    last_diff_[i] = 0;
    extremes_[i] = 0;
  }
  last_time_[0] = int64_t(first);
  multiplier_.reset();
  zero_diff_.reset();
  difference_.reset();
}

void GpsTimeCoder::begin_sequence(int64_t time) {
  next_ = (next_ + 1) & (kSequences - 1);
  last_ = next_;
  last_time_[last_] = time;
  last_diff_[last_] = 0;
  extremes_[last_] = 0;
}

uint64_t GpsTimeCoder::decode_time(RangeDecoder *decoder) {
  for (;;) {
    int64_t &time = last_time_[last_];
    if (last_diff_[last_] == 0) {
      const uint32_t multi = decoder->decode_symbol(&zero_diff_);
      if (multi == diff_code_) {
        last_diff_[last_] = difference_.decode(decoder, 0, 0);
        time = int64_t(uint64_t(time) + uint64_t(int64_t(last_diff_[last_])));
        extremes_[last_] = 0;
      } else if (multi == full_code_) {
        const uint32_t high =
            uint32_t(difference_.decode(decoder, int32_t(uint64_t(time) >> 32), 8));
        const uint32_t low = decoder->read_int();
        begin_sequence(int64_t((uint64_t(high) << 32) | low));
      } else if (multi > full_code_) {
        last_ = (last_ + int(multi - full_code_)) & (kSequences - 1);
        continue;
      }
      break;
    }
    const uint32_t code = decoder->decode_symbol(&multiplier_);
    if (code == 1) {
      time = int64_t(uint64_t(time) +
                     uint64_t(int64_t(difference_.decode(decoder, last_diff_[last_], 1))));
      extremes_[last_] = 0;
    } else if (code < kUnchanged) {  // (a multiplier, in both codings)
      int32_t diff;
      bool extreme = false;
      if (code == 0) {
        diff = difference_.decode(decoder, 0, 7);
        extreme = true;
      } else if (code < uint32_t(kMulti)) {
        diff = difference_.decode(decoder, wrap_mul(int32_t(code), last_diff_[last_]),
                                  code < 10 ? 2 : 3);
      } else if (code == uint32_t(kMulti)) {
        diff = difference_.decode(decoder, wrap_mul(kMulti, last_diff_[last_]), 4);
        extreme = true;
      } else {
        const int multi = kMulti - int(code);
        if (multi > kMultiMinus) {
          diff = difference_.decode(decoder, wrap_mul(multi, last_diff_[last_]), 5);
        } else {
          diff = difference_.decode(decoder, wrap_mul(kMultiMinus, last_diff_[last_]), 6);
          extreme = true;
        }
      }
      if (extreme && ++extremes_[last_] > kExtremeRuns) {
        last_diff_[last_] = diff;
        extremes_[last_] = 0;
      }
      time = int64_t(uint64_t(time) + uint64_t(int64_t(diff)));
    } else if (code == multi_full_code_) {
      const uint32_t high = uint32_t(difference_.decode(decoder, int32_t(uint64_t(time) >> 32), 8));
      const uint32_t low = decoder->read_int();
      begin_sequence(int64_t((uint64_t(high) << 32) | low));
    } else if (code > multi_full_code_) {
      last_ = (last_ + int(code - multi_full_code_)) & (kSequences - 1);
      continue;
    }
    break;
  }
  return uint64_t(last_time_[last_]);
}

void GpsTimeCoder::encode_time(RangeEncoder *encoder, uint64_t time_bits) {
  const int64_t now = int64_t(time_bits);
  for (;;) {
    int64_t &time = last_time_[last_];
    const bool zero = last_diff_[last_] == 0;
    SymbolModel *model = zero ? &zero_diff_ : &multiplier_;
    if (now == time && diff_code_ != 0) {  // (layered, an unchanged time is not coded)
      encoder->encode_symbol(model, zero ? 0 : kUnchanged);
      return;
    }
    const int64_t wide = int64_t(uint64_t(now) - uint64_t(time));
    const int32_t diff = int32_t(wide);
    if (wide != int64_t(diff)) {
      // Too far for 32 bits: another sequence's, or a new one.
      int other = 1;
      for (; other < kSequences; ++other) {
        const int64_t from_other =
            int64_t(uint64_t(now) - uint64_t(last_time_[(last_ + other) & 3]));
        if (from_other == int64_t(int32_t(from_other))) {
          break;
        }
      }
      if (other < kSequences) {
        encoder->encode_symbol(
            model, zero ? full_code_ + uint32_t(other) : multi_full_code_ + uint32_t(other));
        last_ = (last_ + other) & (kSequences - 1);
        continue;
      }
      encoder->encode_symbol(model, zero ? full_code_ : multi_full_code_);
      difference_.encode(encoder, int32_t(uint64_t(time) >> 32), int32_t(uint64_t(now) >> 32), 8);
      encoder->write_int(uint32_t(uint64_t(now)));
      begin_sequence(now);
      return;
    }
    if (zero) {
      encoder->encode_symbol(model, diff_code_);
      difference_.encode(encoder, 0, diff, 0);
      last_diff_[last_] = diff;
      extremes_[last_] = 0;
      time = now;
      return;
    }
    const float ratio = float(diff) / float(last_diff_[last_]);
    // The nearest integer multiplier, held within what the codes say apart.
    const int multi = ratio >= float(kMulti)    ? kMulti
                      : ratio <= -float(kMulti) ? kMultiMinus
                      : ratio >= 0.0f           ? int(double(ratio) + 0.5)
                                                : int(double(ratio) - 0.5);
    bool extreme = false;
    if (multi == 1) {
      encoder->encode_symbol(model, 1);
      difference_.encode(encoder, last_diff_[last_], diff, 1);
      extremes_[last_] = 0;
    } else if (multi > 0 && multi < kMulti) {
      encoder->encode_symbol(model, uint32_t(multi));
      difference_.encode(encoder, wrap_mul(multi, last_diff_[last_]), diff, multi < 10 ? 2 : 3);
    } else if (multi >= kMulti) {
      encoder->encode_symbol(model, uint32_t(kMulti));
      difference_.encode(encoder, wrap_mul(kMulti, last_diff_[last_]), diff, 4);
      extreme = true;
    } else if (multi < 0 && multi > kMultiMinus) {
      encoder->encode_symbol(model, uint32_t(kMulti - multi));
      difference_.encode(encoder, wrap_mul(multi, last_diff_[last_]), diff, 5);
    } else if (multi < 0) {
      encoder->encode_symbol(model, uint32_t(kMulti - kMultiMinus));
      difference_.encode(encoder, wrap_mul(kMultiMinus, last_diff_[last_]), diff, 6);
      extreme = true;
    } else {
      encoder->encode_symbol(model, 0);
      difference_.encode(encoder, 0, diff, 7);
      extreme = true;
    }
    if (extreme && ++extremes_[last_] > kExtremeRuns) {
      last_diff_[last_] = diff;
      extremes_[last_] = 0;
    }
    time = now;
    return;
  }
}

void ColourModels::reset() {
  used.reset();
  for (SymbolModel &model : diff) {
    model.reset();
  }
}

void decode_colour(RangeDecoder *decoder, ColourModels *models, const uint16_t *last,
                   uint16_t *rgb) {
  const uint32_t used = decoder->decode_symbol(&models->used);
  const auto low = [](uint16_t v) { return int32_t(v & 0xFF); };
  const auto high = [](uint16_t v) { return int32_t(v >> 8); };
  // Each byte: the last one's, or a corrector to a prediction from it.
  const auto byte = [&](int bit, int32_t prediction, int32_t kept) {
    return (used & (1u << bit))
               ? fold(int32_t(decoder->decode_symbol(&models->diff[size_t(bit)])) + prediction)
               : kept;
  };
  // (One statement a byte: the symbols are decoded in their order.)
  const int32_t red_low = byte(0, low(last[0]), low(last[0]));
  const int32_t red_high = byte(1, high(last[0]), high(last[0]));
  rgb[0] = uint16_t(red_low | (red_high << 8));
  if (used & (1u << 6)) {
    int32_t diff = low(rgb[0]) - low(last[0]);
    const int32_t green_low = byte(2, clamp_byte(diff + low(last[1])), low(last[1]));
    diff = (diff + green_low - low(last[1])) / 2;
    const int32_t blue_low = byte(4, clamp_byte(diff + low(last[2])), low(last[2]));
    diff = high(rgb[0]) - high(last[0]);
    const int32_t green_high = byte(3, clamp_byte(diff + high(last[1])), high(last[1]));
    diff = (diff + green_high - high(last[1])) / 2;
    const int32_t blue_high = byte(5, clamp_byte(diff + high(last[2])), high(last[2]));
    rgb[1] = uint16_t(green_low | (green_high << 8));
    rgb[2] = uint16_t(blue_low | (blue_high << 8));
  } else {
    rgb[1] = rgb[2] = rgb[0];
  }
}

bool encode_colour(RangeEncoder *encoder, ColourModels *models, const uint16_t *last,
                   const uint16_t *rgb) {
  const auto low = [](uint16_t v) { return int32_t(v & 0xFF); };
  const auto high = [](uint16_t v) { return int32_t(v >> 8); };
  uint32_t used = 0;
  for (int c = 0; c < 3; ++c) {
    used |= uint32_t(low(last[c]) != low(rgb[c])) << (2 * c);
    used |= uint32_t(high(last[c]) != high(rgb[c])) << (2 * c + 1);
  }
  const bool grey = low(rgb[0]) == low(rgb[1]) && low(rgb[0]) == low(rgb[2]) &&
                    high(rgb[0]) == high(rgb[1]) && high(rgb[0]) == high(rgb[2]);
  used |= uint32_t(!grey) << 6;
  encoder->encode_symbol(&models->used, used);
  const auto byte = [&](int bit, int32_t value, int32_t prediction) {
    if (used & (1u << bit)) {
      encoder->encode_symbol(&models->diff[size_t(bit)], uint32_t(fold(value - prediction)));
    }
  };
  int32_t diff_low = low(rgb[0]) - low(last[0]);
  int32_t diff_high = high(rgb[0]) - high(last[0]);
  byte(0, low(rgb[0]), low(last[0]));
  byte(1, high(rgb[0]), high(last[0]));
  if (!grey) {
    byte(2, low(rgb[1]), clamp_byte(diff_low + low(last[1])));
    diff_low = (diff_low + low(rgb[1]) - low(last[1])) / 2;
    byte(4, low(rgb[2]), clamp_byte(diff_low + low(last[2])));
    byte(3, high(rgb[1]), clamp_byte(diff_high + high(last[1])));
    diff_high = (diff_high + high(rgb[1]) - high(last[1])) / 2;
    byte(5, high(rgb[2]), clamp_byte(diff_high + high(last[2])));
  }
  return used != 0;
}

void Rgb12Coder::start(const uint8_t *first) {
  for (int c = 0; c < 3; ++c) {
    last_[c] = get<uint16_t>(chars(first), 2 * size_t(c));
  }
  models_.reset();
}

void Rgb12Coder::decode(RangeDecoder *decoder, uint8_t *out) {
  uint16_t rgb[3];
  decode_colour(decoder, &models_, last_, rgb);
  for (int c = 0; c < 3; ++c) {
    put(chars(out), 2 * size_t(c), rgb[c]);
    last_[c] = rgb[c];
  }
}

void Rgb12Coder::encode(RangeEncoder *encoder, const uint8_t *in) {
  uint16_t rgb[3];
  for (int c = 0; c < 3; ++c) {
    rgb[c] = get<uint16_t>(chars(in), 2 * size_t(c));
  }
  encode_colour(encoder, &models_, last_, rgb);
  for (int c = 0; c < 3; ++c) {
    last_[c] = rgb[c];
  }
}

void BytesCoder::start(const uint8_t *first) {
  std::memcpy(last_.data(), first, last_.size());
  for (SymbolModel &model : models_) {
    model.reset();
  }
}

void BytesCoder::decode(RangeDecoder *decoder, uint8_t *out) {
  for (size_t i = 0; i < last_.size(); ++i) {
    last_[i] = uint8_t(fold(int32_t(last_[i]) + int32_t(decoder->decode_symbol(&models_[i]))));
  }
  std::memcpy(out, last_.data(), last_.size());
}

void BytesCoder::encode(RangeEncoder *encoder, const uint8_t *in) {
  for (size_t i = 0; i < last_.size(); ++i) {
    encoder->encode_symbol(&models_[i], uint32_t(fold(int32_t(in[i]) - last_[i])));
    last_[i] = in[i];
  }
}

}  // namespace levelling
