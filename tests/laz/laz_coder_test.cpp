#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <vector>

#include "laz/laz_coder.h"

namespace levelling {
namespace {

// One coded value: which coder, its model or width, the value.
struct Coded {
  int kind;  // 0 symbol, 1 bit, 2 raw bits, 3 integer
  uint32_t which;
  int64_t value;
};

// Long runs of every kind of value (skewed, uniform, the extremes of each width, correctors
// of every class up to 32 bits) decode to what was encoded: carries through runs of 0xFF,
// models halving their counts, raw values of more than 19 bits split in two.
TEST(LazCoder, DecodesWhatItEncoded) {
  std::mt19937_64 random(5);
  std::vector<SymbolModel> models = {SymbolModel(2), SymbolModel(13), SymbolModel(17),
                                     SymbolModel(256), SymbolModel(2048)};
  std::vector<SymbolModel> decoding = models;
  BitModel bit, decoding_bit;
  // Integers of 8, 16 and 32 bits and of a range of 1000, each predicted from its last value.
  const int64_t domains[] = {256, 65536, 0, 1000};
  std::vector<IntegerCoder> integers = {IntegerCoder(8, 2), IntegerCoder(16, 4),
                                        IntegerCoder(32, 3), IntegerCoder(16, 1, 8, 1000)};
  std::vector<IntegerCoder> decoding_integers = integers;
  const auto context = [](uint32_t which) { return which == 1 ? 1u : 0u; };  // within each's
  std::vector<Coded> sequence;
  for (int i = 0; i < 200000; ++i) {
    const int kind = int(random() % 4);
    const bool skewed = (i / 5000) % 2 == 0;  // long runs of one value, then noise
    Coded coded{kind, 0, 0};
    if (kind == 0) {
      coded.which = uint32_t(random() % models.size());
      coded.value = skewed ? 0 : int64_t(random() % models[coded.which].symbols);
    } else if (kind == 1) {
      coded.value = skewed ? 1 : int64_t(random() % 2);
    } else if (kind == 2) {
      coded.which = uint32_t(1 + random() % 32);
      coded.value = int64_t(random() & ((uint64_t(1) << coded.which) - 1));
    } else {
      coded.which = uint32_t(random() % integers.size());
      const int32_t extremes[] = {INT32_MIN, INT32_MAX, 0, -1, 1};
      const int64_t domain = domains[coded.which];
      const int32_t any = random() % 7 == 0 ? extremes[random() % 5]
                                             : int32_t(random() >> (random() % 64));
      coded.value = domain == 0 ? any : (int64_t(any) % domain + domain) % domain;
    }
    sequence.push_back(coded);
  }
  std::vector<uint8_t> bytes;
  RangeEncoder encoder;
  encoder.start(&bytes);
  int32_t last[4] = {};
  for (const Coded &c : sequence) {
    if (c.kind == 0) {
      encoder.encode_symbol(&models[c.which], uint32_t(c.value));
    } else if (c.kind == 1) {
      encoder.encode_bit(&bit, uint32_t(c.value));
    } else if (c.kind == 2) {
      encoder.write_bits(c.which, uint32_t(c.value));
    } else {
      integers[c.which].encode(&encoder, last[c.which], int32_t(c.value), context(c.which));
      last[c.which] = int32_t(c.value);
    }
  }
  encoder.finish();
  RangeDecoder decoder;
  decoder.start(bytes.data(), bytes.data() + bytes.size());
  int32_t decoded_last[4] = {};
  size_t wrong = 0;
  for (const Coded &c : sequence) {
    int64_t value;
    if (c.kind == 0) {
      value = decoder.decode_symbol(&decoding[c.which]);
    } else if (c.kind == 1) {
      value = decoder.decode_bit(&decoding_bit);
    } else if (c.kind == 2) {
      value = decoder.read_bits(c.which);
    } else {
      value = decoding_integers[c.which].decode(&decoder, decoded_last[c.which], context(c.which));
      decoded_last[c.which] = int32_t(value);
    }
    wrong += value != c.value;
  }
  EXPECT_EQ(0u, wrong);
  EXPECT_FALSE(decoder.overran());
  EXPECT_LT(bytes.size(), sequence.size() * 3);
}

}  // namespace
}  // namespace levelling
