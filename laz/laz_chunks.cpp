#include "laz/laz_chunks.h"

#include <algorithm>
#include <cstring>

#include "laz/byte_order.h"

namespace levelling {

const char *const kLaszipUser = "laszip encoded";

namespace {

constexpr uint16_t kPointWise = 2, kLayered = 3;
// The LASzip VLR's fields: where each is in its payload, and in each item's six bytes.
constexpr size_t kCompressorAt = 0, kCoderAt = 2, kMajorAt = 4, kMinorAt = 5, kRevisionAt = 6;
constexpr size_t kOptionsAt = 8, kChunkSizeAt = 12, kSpecialCountAt = 16, kSpecialOffsetAt = 24;
constexpr size_t kItemCountAt = 32, kItemTypeAt = 0, kItemSizeAt = 2, kItemVersionAt = 4;
constexpr uint16_t kItemVersion = 2;
// What this program writes in the VLR: the reference library's version it codes as.
constexpr uint8_t kCoderMajor = 3, kCoderMinor = 4;
constexpr uint16_t kCoderRevision = 3;
// The chunk table's coder: 32-bit values in two contexts (counts, sizes).
constexpr uint32_t kTableBits = 32, kTableContexts = 2;
constexpr uint32_t kTableVersion = 0;
constexpr size_t kTableHead = 8;

constexpr uint16_t kLayeredVersion = 3;
constexpr size_t kPoint10 = 20, kGpsTime = 8, kRgb = 6, kPoint14 = 30, kRgbNir = 8;
constexpr int kFirstLayeredFormat = 6, kLastLayeredFormat = 10;
constexpr size_t kCountBytes = 4, kLayerSizeBytes = 4;
constexpr size_t kSlack = 4096;  // bytes reserved beyond half a chunk's records for its coding
// Records decoded between the checks that the chunk's bytes still hold them: a chunk that
// claims more points than it holds runs out of bytes long before its claim is allocated.
constexpr size_t kDecodeStep = 4096;
// The bytes a decoder may leave unread at the end of its stream: none for the reference's
// encoder (the zeros it ends with are the decoder's read-ahead), a few for any other.
constexpr size_t kUnreadSlack = 4;
// The most bytes after a one-point chunk's raw record and its layers' sizes (the reference writes
// 4 point-wise, 16 layered).
constexpr size_t kOnePointEnd = 32;

// Whether `decoder` read its stream to within kUnreadSlack of `end`: a chunk or layer that
// holds more than was decoded of it is damaged, or claims fewer points than it holds.
bool read_whole(const RangeDecoder &decoder, const uint8_t *end) {
  return size_t(end - decoder.position()) <= kUnreadSlack;
}

// Formats 0 to 5: whether they hold a GPS time, colour and a waveform, and their records' least
// size.
struct PointFormat10 {
  bool time, rgb, wave;
  size_t size;
};
constexpr PointFormat10 kFormats[kFirstLayeredFormat] = {
    {false, false, false, 20}, {true, false, false, 28}, {false, true, false, 26},
    {true, true, false, 34},   {true, false, true, 57},  {true, true, true, 63}};
constexpr PointFormat10 kFormats14[kLastLayeredFormat - kFirstLayeredFormat + 1] = {
    {true, false, false, 30},
    {true, true, false, 36},
    {true, true, false, 38},
    {true, false, true, 59},
    {true, true, true, 67}};

const char *item_name(LazItemType type) {
  switch (type) {
    case LazItemType::kByte:
      return "BYTE";
    case LazItemType::kPoint10:
      return "POINT10";
    case LazItemType::kGpsTime11:
      return "GPSTIME11";
    case LazItemType::kRgb12:
      return "RGB12";
    case LazItemType::kWavePacket13:
      return "WAVEPACKET13";
    case LazItemType::kPoint14:
      return "POINT14";
    case LazItemType::kRgb14:
      return "RGB14";
    case LazItemType::kRgbNir14:
      return "RGBNIR14";
    case LazItemType::kWavePacket14:
      return "WAVEPACKET14";
    case LazItemType::kByte14:
      return "BYTE14";
  }
  return "unknown";
}

size_t extra_item_size(const std::vector<LazItem> &items) {
  for (const LazItem &item : items) {
    if (item.type == LazItemType::kByte || item.type == LazItemType::kByte14) {
      return item.size;
    }
  }
  return 0;
}

bool has_item(const std::vector<LazItem> &items, LazItemType type) {
  for (const LazItem &item : items) {
    if (item.type == type) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool read_laz_schema(const char *payload, size_t n, size_t record, LazSchema *schema,
                     std::string *error, bool *unsupported) {
  *unsupported = false;
  if (n < kLaszipFixed) {
    *error = "a LASzip VLR of " + std::to_string(n) + " bytes (" + std::to_string(kLaszipFixed) +
             " at least)";
    return false;
  }
  schema->compressor = get<uint16_t>(payload, kCompressorAt);
  schema->chunk_size = get<uint32_t>(payload, kChunkSizeAt);
  const size_t count = get<uint16_t>(payload, kItemCountAt);
  if (n < kLaszipFixed + count * kLaszipItem) {
    *error =
        "a LASzip VLR of " + std::to_string(n) + " bytes for " + std::to_string(count) + " items";
    return false;
  }
  schema->items.clear();
  size_t sum = 0;
  for (size_t i = 0; i < count; ++i) {
    const char *at = payload + kLaszipFixed + i * kLaszipItem;
    schema->items.push_back(
        {LazItemType(get<uint16_t>(at, 0)), get<uint16_t>(at, 2), get<uint16_t>(at, 4)});
    sum += schema->items.back().size;
  }
  if (sum != record) {
    *error = "LASzip items of " + std::to_string(sum) + " bytes for point records of " +
             std::to_string(record);
    return false;
  }
  *unsupported = true;
  if (schema->compressor != kPointWise && schema->compressor != kLayered) {
    *error = "LAZ of compressor " + std::to_string(schema->compressor) +
             " (the chunked compressors 2 and 3 are read)";
    return false;
  }
  if (schema->chunk_size == 0) {
    *unsupported = false;
    *error = "a LASzip chunk size of 0 points";
    return false;
  }
  // Point-wise: POINT10 first, then the time, colour and extra bytes, each once, at version 2.
  // Layered: POINT14, then colour (with or without near infrared) and extra bytes, at version 3.
  const bool layered = schema->compressor == kLayered;
  const std::vector<LazItemType> order =
      layered ? std::vector<LazItemType>{LazItemType::kPoint14, LazItemType::kRgb14,
                                         LazItemType::kRgbNir14, LazItemType::kByte14}
              : std::vector<LazItemType>{LazItemType::kPoint10, LazItemType::kGpsTime11,
                                         LazItemType::kRgb12, LazItemType::kByte};
  const std::vector<size_t> sizes = layered ? std::vector<size_t>{kPoint14, kRgb, kRgbNir, 0}
                                            : std::vector<size_t>{kPoint10, kGpsTime, kRgb, 0};
  const uint16_t version = layered ? kLayeredVersion : kItemVersion;
  size_t next = 0;
  for (size_t i = 0; i < schema->items.size(); ++i) {
    const LazItem &item = schema->items[i];
    size_t at = next;
    while (at < order.size() && order[at] != item.type) {
      ++at;
    }
    if (at == order.size() || (i == 0) != (at == 0)) {
      *error =
          std::string("LAZ items with ") + item_name(item.type) +
          (item.type == LazItemType::kWavePacket13 || item.type == LazItemType::kWavePacket14
               ? " (waveforms)"
               : "") +
          " at place " + std::to_string(i + 1) + " (this program reads " +
          (layered ? "POINT14, RGB14, RGBNIR14 and BYTE14" : "POINT10, GPSTIME11, RGB12 and BYTE") +
          ")";
      return false;
    }
    if (item.version != version) {
      *error = std::string("LAZ items of version ") + std::to_string(item.version) + " (" +
               item_name(item.type) + "; version " + std::to_string(version) + " is read)";
      return false;
    }
    if ((sizes[at] != 0 && item.size != sizes[at]) || item.size == 0) {
      *unsupported = false;
      *error = std::string("a LAZ item ") + item_name(item.type) + " of " +
               std::to_string(item.size) + " bytes";
      return false;
    }
    // RGB14 and RGBNIR14 are one place: after either, only the extra bytes.
    next = layered && (at == 1 || at == 2) ? 3 : at + 1;
  }
  *unsupported = false;
  return true;
}

bool laz_schema_for(int format, size_t record, LazSchema *schema, std::string *error) {
  if (format < 0 || format > kLastLayeredFormat) {
    *error = "LAZ of point format " + std::to_string(format) + " (0 to 10 are written)";
    return false;
  }
  const bool layered = format >= kFirstLayeredFormat;
  const PointFormat10 shape = layered ? kFormats14[format - kFirstLayeredFormat] : kFormats[format];
  if (shape.wave) {
    *error = "LAZ of point format " + std::to_string(format) +
             " (waveform packets) is not written; write LAS";
    return false;
  }
  if (record < shape.size) {
    *error = "point records of " + std::to_string(record) + " bytes for format " +
             std::to_string(format);
    return false;
  }
  schema->compressor = layered ? kLayered : kPointWise;
  schema->chunk_size = kDefaultChunk;
  const uint16_t version = layered ? kLayeredVersion : kItemVersion;
  if (layered) {
    schema->items = {{LazItemType::kPoint14, uint16_t(kPoint14), version}};
    if (shape.rgb) {
      const bool nir = format == 8 || format == 10;
      schema->items.push_back({nir ? LazItemType::kRgbNir14 : LazItemType::kRgb14,
                               uint16_t(nir ? kRgbNir : kRgb), version});
    }
  } else {
    schema->items = {{LazItemType::kPoint10, uint16_t(kPoint10), version}};
    if (shape.time) {
      schema->items.push_back({LazItemType::kGpsTime11, uint16_t(kGpsTime), version});
    }
    if (shape.rgb) {
      schema->items.push_back({LazItemType::kRgb12, uint16_t(kRgb), version});
    }
  }
  if (record > shape.size) {
    schema->items.push_back({layered ? LazItemType::kByte14 : LazItemType::kByte,
                             uint16_t(record - shape.size), version});
  }
  return true;
}

std::vector<char> laz_schema_payload(const LazSchema &schema) {
  std::vector<char> bytes(kLaszipFixed + schema.items.size() * kLaszipItem, 0);
  char *b = bytes.data();
  put(b, kCompressorAt, schema.compressor);
  put(b, kCoderAt, uint16_t(0));  // the arithmetic coder
  put(b, kMajorAt, kCoderMajor);
  put(b, kMinorAt, kCoderMinor);
  put(b, kRevisionAt, kCoderRevision);
  put(b, kOptionsAt, uint32_t(0));
  put(b, kChunkSizeAt, schema.chunk_size);
  put(b, kSpecialCountAt, int64_t(-1));  // no special EVLRs
  put(b, kSpecialOffsetAt, int64_t(-1));
  put(b, kItemCountAt, uint16_t(schema.items.size()));
  for (size_t i = 0; i < schema.items.size(); ++i) {
    char *at = b + kLaszipFixed + i * kLaszipItem;
    put(at, kItemTypeAt, uint16_t(schema.items[i].type));
    put(at, kItemSizeAt, schema.items[i].size);
    put(at, kItemVersionAt, schema.items[i].version);
  }
  return bytes;
}

ChunkCoder::ChunkCoder(const LazSchema &schema, size_t record)
    : record_(record),
      layered_(schema.compressor == kLayered),
      items_(schema.items),
      bytes_(extra_item_size(schema.items)),
      colour14_(has_item(schema.items, LazItemType::kRgbNir14)),
      bytes14_(extra_item_size(schema.items)) {
  size_t at = 0, layers = 0;
  for (const LazItem &item : items_) {
    offsets_.push_back(at);
    at += item.size;
    first_layer_.push_back(layers);
    layers += item.type == LazItemType::kPoint14  ? Point14Coder::kLayers
              : item.type == LazItemType::kByte14 ? item.size
                                                  : colour14_.layers();
  }
  layers_.resize(layered_ ? layers : 0);
}

void ChunkCoder::start(const uint8_t *first) {
  for (size_t i = 0; i < items_.size(); ++i) {
    const uint8_t *item = first + offsets_[i];
    switch (items_[i].type) {
      case LazItemType::kPoint14:
        point14_.start(item, &channel_);
        break;
      case LazItemType::kRgb14:
      case LazItemType::kRgbNir14:
        colour14_.start(item, channel_);
        break;
      case LazItemType::kByte14:
        bytes14_.start(item, channel_);
        break;
      case LazItemType::kPoint10:
        point_.start(item);
        break;
      case LazItemType::kGpsTime11:
        time_.start(item);
        break;
      case LazItemType::kRgb12:
        colour_.start(item);
        break;
      default:
        bytes_.start(item);
        break;
    }
  }
}

bool ChunkCoder::decode(const uint8_t *bytes, size_t size, size_t points,
                        std::vector<uint8_t> *records) {
  records->clear();
  if (points == 0) {
    return true;
  }
  if (size < record_) {
    return false;
  }
  records->assign(bytes, bytes + record_);  // the first point, raw
  if (points == 1) {  // then at most the count, the layers' sizes and an empty coder's end
    return size - record_ <= (layered_ ? kCountBytes + kLayerSizeBytes * layers_.size() : 0) +
                                 kOnePointEnd;
  }
  if (layered_) {
    return decode_layered(bytes, size, points, records);
  }
  start(records->data());
  decoder_.start(bytes + record_, bytes + size);
  for (size_t p = 1; p < points && !decoder_.overran(); ++p) {
    grow(records, p, points);
    code_record(records->data() + p * record_, true);
  }
  return !decoder_.overran() && read_whole(decoder_, bytes + size);
}

void ChunkCoder::grow(std::vector<uint8_t> *records, size_t p, size_t points) const {
  if (p * record_ == records->size()) {
    records->resize(std::min(points, p + kDecodeStep) * record_);
  }
}

void ChunkCoder::encode(const uint8_t *records, size_t points, std::vector<uint8_t> *out) {
  if (layered_) {
    encode_layered(records, points, out);
    return;
  }
  out->reserve(out->size() + points * record_ / 2 + kSlack);
  out->insert(out->end(), records, records + record_);
  start(records);
  encoder_.start(out);
  std::vector<uint8_t> record(record_);
  for (size_t p = 1; p < points; ++p) {
    std::memcpy(record.data(), records + p * record_, record_);
    code_record(record.data(), false);
  }
  encoder_.finish();
}

void ChunkCoder::code_record(uint8_t *record, bool decoding) {
  for (size_t i = 0; i < items_.size(); ++i) {
    uint8_t *item = record + offsets_[i];
    LazLayer *layers = layers_.data() + (layered_ ? first_layer_[i] : 0);
    switch (items_[i].type) {
      case LazItemType::kPoint10:
        decoding ? point_.decode(&decoder_, item) : point_.encode(&encoder_, item);
        break;
      case LazItemType::kGpsTime11:
        decoding ? time_.decode(&decoder_, item) : time_.encode(&encoder_, item);
        break;
      case LazItemType::kRgb12:
        decoding ? colour_.decode(&decoder_, item) : colour_.encode(&encoder_, item);
        break;
      case LazItemType::kByte:
        decoding ? bytes_.decode(&decoder_, item) : bytes_.encode(&encoder_, item);
        break;
      case LazItemType::kPoint14:
        decoding ? point14_.decode(layers, item, &channel_)
                 : point14_.encode(layers, item, &channel_);
        break;
      case LazItemType::kByte14:
        decoding ? bytes14_.decode(layers, item, channel_)
                 : bytes14_.encode(layers, item, channel_);
        break;
      default:  // RGB14, RGBNIR14
        decoding ? colour14_.decode(layers, item, channel_)
                 : colour14_.encode(layers, item, channel_);
        break;
    }
  }
}

bool ChunkCoder::decode_layered(const uint8_t *bytes, size_t size, size_t points,
                                std::vector<uint8_t> *records) {
  // After the first point: the count, each layer's size, then the layers, to the chunk's end.
  size_t at = record_;
  if (size - at < kCountBytes + kLayerSizeBytes * layers_.size() ||
      get<uint32_t>(reinterpret_cast<const char *>(bytes), at) != points) {
    return false;
  }
  at += kCountBytes;
  const size_t sizes_at = at;
  at += kLayerSizeBytes * layers_.size();
  std::vector<const uint8_t *> ends(layers_.size());
  for (size_t l = 0; l < layers_.size(); ++l) {
    const uint32_t n = get<uint32_t>(reinterpret_cast<const char *>(bytes), sizes_at + 4 * l);
    if (n > size - at) {
      return false;
    }
    // (POINT14's first layer, returns and X and Y, is always coded; POINT14 is the first item.)
    layers_[l].changed =
        (n > 0 || l == 0) && (!coordinates_only_ || l < Point14Coder::kCoordinateLayers);
    layers_[l].decoder.start(bytes + at, bytes + at + n);
    at += n;
    ends[l] = bytes + at;
  }
  if (at != size) {
    return false;  // layers that leave bytes of the chunk over
  }
  start(records->data());
  const auto overran = [&] {
    return std::any_of(layers_.begin(), layers_.end(), [](const LazLayer &layer) {
      return layer.changed && layer.decoder.overran();
    });
  };
  for (size_t p = 1; p < points; ++p) {
    if (p * record_ == records->size() && overran()) {
      return false;
    }
    grow(records, p, points);
    uint8_t *record = records->data() + p * record_;
    std::memcpy(record, record - record_, record_);
    code_record(record, true);
  }
  for (size_t l = 0; l < layers_.size(); ++l) {
    if (layers_[l].changed && (layers_[l].decoder.overran() ||
                               !read_whole(layers_[l].decoder, ends[l]))) {
      return false;
    }
  }
  return true;
}

void ChunkCoder::encode_layered(const uint8_t *records, size_t points, std::vector<uint8_t> *out) {
  out->insert(out->end(), records, records + record_);
  for (LazLayer &layer : layers_) {
    layer.bytes.clear();
    layer.encoder.start(&layer.bytes);
    layer.changed = false;
  }
  std::vector<uint8_t> record(records, records + record_);
  start(record.data());
  for (size_t p = 1; p < points; ++p) {
    std::memcpy(record.data(), records + p * record_, record_);
    code_record(record.data(), false);
  }
  const size_t at = out->size();
  out->resize(at + kCountBytes + kLayerSizeBytes * layers_.size());
  put(reinterpret_cast<char *>(out->data()), at, uint32_t(points));
  for (size_t l = 0; l < layers_.size(); ++l) {
    LazLayer &layer = layers_[l];
    layer.encoder.finish();
    // POINT14's first two layers (returns, X and Y; Z) are written always, the rest only when
    // their value changed in the chunk.
    const bool kept = layer.changed || l < first_layer_[0] + 2;
    put(reinterpret_cast<char *>(out->data()), at + kCountBytes + kLayerSizeBytes * l,
        uint32_t(kept ? layer.bytes.size() : 0));
  }
  for (size_t l = 0; l < layers_.size(); ++l) {
    if (layers_[l].changed || l < first_layer_[0] + 2) {
      out->insert(out->end(), layers_[l].bytes.begin(), layers_[l].bytes.end());
    }
  }
}

bool read_chunk_table(const uint8_t *data, const uint8_t *end, uint32_t count, uint32_t chunk_size,
                      uint64_t first, uint64_t limit, uint64_t points,
                      std::vector<LazChunk> *chunks, std::string *error) {
  chunks->clear();
  const bool variable = chunk_size == kVariableChunks;
  if (!variable && count != (points + chunk_size - 1) / chunk_size) {
    *error = "a chunk table of " + std::to_string(count) + " chunks for " + std::to_string(points) +
             " points in chunks of " + std::to_string(chunk_size);
    return false;
  }
  // Each chunk takes a byte at least (its first point's, raw): a table that claims more chunks
  // than the points' bytes hold lies.
  if (count > limit - first) {
    *error = "a chunk table of " + std::to_string(count) + " chunks in " +
             std::to_string(limit - first) + " bytes of points";
    return false;
  }
  RangeDecoder decoder;
  IntegerCoder coder(kTableBits, kTableContexts);
  decoder.start(data, end);
  uint32_t last_count = 0, last_bytes = 0;
  uint64_t at = first, total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    LazChunk chunk;
    if (variable) {
      last_count = uint32_t(coder.decode(&decoder, int32_t(last_count), 0));
      chunk.points = last_count;
    } else {
      chunk.points = std::min<uint64_t>(chunk_size, points - total);
    }
    last_bytes = uint32_t(coder.decode(&decoder, int32_t(last_bytes), 1));
    chunk.start = at;
    chunk.bytes = last_bytes;
    if (decoder.overran() || chunk.bytes > limit - at || chunk.points == 0) {
      *error = "chunk " + std::to_string(i + 1) + " of " + std::to_string(count) +
               " in the chunk table is damaged or runs past the points";
      return false;
    }
    at += chunk.bytes;
    total += chunk.points;
    chunks->push_back(chunk);
  }
  if (total != points) {
    *error = "chunks of " + std::to_string(total) + " points in all for a header's " +
             std::to_string(points);
    return false;
  }
  return true;
}

void write_chunk_table(const std::vector<LazChunk> &chunks, uint32_t chunk_size,
                       std::vector<uint8_t> *out) {
  const size_t at = out->size();
  out->resize(at + kTableHead);
  put(reinterpret_cast<char *>(out->data()), at, kTableVersion);
  put(reinterpret_cast<char *>(out->data()), at + 4, uint32_t(chunks.size()));
  if (chunks.empty()) {
    return;
  }
  RangeEncoder encoder;
  IntegerCoder coder(kTableBits, kTableContexts);
  encoder.start(out);
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (chunk_size == kVariableChunks) {
      coder.encode(&encoder, i > 0 ? int32_t(chunks[i - 1].points) : 0, int32_t(chunks[i].points),
                   0);
    }
    coder.encode(&encoder, i > 0 ? int32_t(chunks[i - 1].bytes) : 0, int32_t(chunks[i].bytes), 1);
  }
  encoder.finish();
}

}  // namespace levelling
