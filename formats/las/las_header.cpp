#include "formats/las/las_header.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace levelling {

std::vector<LasField> standard_fields(int format) {
  using T = PlyType;
  std::vector<LasField> fields = {{"intensity", 12, T::kUint16}};
  size_t next = 0;
  if (format <= 5) {
    fields.insert(fields.end(), {{"return_number", 14, T::kUint8, 0, 3},
                                 {"number_of_returns", 14, T::kUint8, 3, 3},
                                 {"scan_direction_flag", 14, T::kUint8, 6, 1},
                                 {"edge_of_flight_line", 14, T::kUint8, 7, 1},
                                 {"classification", 15, T::kUint8, 0, 5},
                                 {"synthetic", 15, T::kUint8, 5, 1},
                                 {"key_point", 15, T::kUint8, 6, 1},
                                 {"withheld", 15, T::kUint8, 7, 1},
                                 {"scan_angle_rank", 16, T::kInt8},
                                 {"user_data", 17, T::kUint8},
                                 {"point_source_id", 18, T::kUint16}});
    next = 20;
    if (format == 1 || format >= 3) {
      fields.push_back({"gps_time", next, T::kFloat64});
      next += 8;
    }
  } else {
    fields.insert(fields.end(), {{"return_number", 14, T::kUint8, 0, 4},
                                 {"number_of_returns", 14, T::kUint8, 4, 4},
                                 {"synthetic", 15, T::kUint8, 0, 1},
                                 {"key_point", 15, T::kUint8, 1, 1},
                                 {"withheld", 15, T::kUint8, 2, 1},
                                 {"overlap", 15, T::kUint8, 3, 1},
                                 {"scanner_channel", 15, T::kUint8, 4, 2},
                                 {"scan_direction_flag", 15, T::kUint8, 6, 1},
                                 {"edge_of_flight_line", 15, T::kUint8, 7, 1},
                                 {"classification", 16, T::kUint8},
                                 {"user_data", 17, T::kUint8},
                                 {"scan_angle", 18, T::kInt16},
                                 {"point_source_id", 20, T::kUint16},
                                 {"gps_time", 22, T::kFloat64}});
    next = 30;
  }
  if (format == 2 || format == 3 || format == 5 || format == 7 || format == 8 || format == 10) {
    fields.insert(fields.end(), {{"red", next, T::kUint16},
                                 {"green", next + 2, T::kUint16},
                                 {"blue", next + 4, T::kUint16}});
    next += 6;
  }
  if (format == 8 || format == 10) {
    fields.push_back({"nir", next, T::kUint16});
    next += 2;
  }
  if (format == 4 || format == 5 || format == 9 || format == 10) {
    fields.insert(fields.end(), {{"wavepacket_index", next, T::kUint8},
                                 {"wavepacket_offset", next + 1, T::kFloat64, 0, 0, true},
                                 {"wavepacket_size", next + 9, T::kUint32},
                                 {"return_point_wave_location", next + 13, T::kFloat32},
                                 {"x_t", next + 17, T::kFloat32},
                                 {"y_t", next + 21, T::kFloat32},
                                 {"z_t", next + 25, T::kFloat32}});
  }
  return fields;
}

int extra_type_of(PlyType type) {
  switch (type) {
    case PlyType::kUint8:
      return 1;
    case PlyType::kInt8:
      return 2;
    case PlyType::kUint16:
      return 3;
    case PlyType::kInt16:
      return 4;
    case PlyType::kUint32:
      return 5;
    case PlyType::kInt32:
      return 6;
    case PlyType::kFloat32:
      return 9;
    case PlyType::kFloat64:
      return 10;
  }
  return 10;
}

namespace {

// The coordinate system's VLRs: GeoTIFF's key directory and OGC WKT.
constexpr int kGeoKeyRecord = 34735, kWktRecord = 2112;
// The most a kept VLR may hold: all that its 16-bit length can say.
constexpr size_t kLongestVlr = 65535;

// Copies (when `copy` is given) and consumes n bytes of `in`, keeping them in *kept when it is
// given. False when the file ends first.
bool pass_bytes(ByteReader *in, size_t n, ByteWriter *copy, std::vector<char> *kept) {
  while (n > 0) {
    const size_t available = std::min(n, in->fill(std::min(n, kPiece)));
    if (available == 0) {
      return false;
    }
    if (copy != nullptr) {
      copy->write(in->data(), available);
    }
    if (kept != nullptr) {
      kept->insert(kept->end(), in->data(), in->data() + available);
    }
    in->consume(available);
    n -= available;
  }
  return true;
}

void add_extra_fields(LasHeader *header) {
  std::vector<LasField> described;
  size_t next = kMinimumRecord[header->format];
  for (const std::vector<char> &vlr : header->extra_bytes_vlrs) {
    const size_t length = vlr.size();
    for (size_t d = 0; d + kExtraDescriptor <= length; d += kExtraDescriptor) {
      const char *descriptor = vlr.data() + d;
      const int type = static_cast<unsigned char>(descriptor[kExtraType]);
      const size_t size = type == 0 ? size_t(static_cast<unsigned char>(descriptor[kExtraOptions]))
                          : type <= kExtraTypes ? kExtraSize[type]
                                                : 0;
      std::string name(descriptor + kExtraName, strnlen(descriptor + kExtraName, kNameBytes));
      if (size == 0 || next + size > header->record) {
        break;  // an array type (deprecated), or more than the record holds: bytes below
      }
      if (type == 0 || name.empty()) {
        break;
      }
      described.push_back({name, next, kExtraPlyType[type], 0, 0, type == 7 || type == 8});
      next += size;
    }
  }
  header->fields.insert(header->fields.end(), described.begin(), described.end());
  for (size_t b = next; b < header->record; ++b) {
    header->fields.push_back({"extra_byte_" + std::to_string(b - kMinimumRecord[header->format]),
                              b, PlyType::kUint8});
  }
}

}  // namespace

LasVlr las_vlr_at(const char *head, uint64_t at, uint64_t first_point) {
  LasVlr vlr;
  vlr.at = at;
  vlr.user.assign(head + kVlrUser, strnlen(head + kVlrUser, kUserBytes));
  vlr.record = get<uint16_t>(head, kVlrRecord);
  vlr.length = get<uint16_t>(head, kVlrLength);
  vlr.size = std::min<uint64_t>(kVlrHeader + vlr.length, first_point - at);
  return vlr;
}

bool read_las_vlrs(ByteReader *in, LasHeader *header, ByteWriter *copy, std::string *error) {
  const std::string truncated = "truncated: the file ends before its first point (byte " +
                                std::to_string(header->first_point) + ")";
  size_t at = header->header_size;
  const size_t end = header->first_point;
  LasCrs keys, wkt;  // what each kind of record says: WKT's units over the keys'
  for (uint32_t v = 0; v < header->vlr_count && at + kVlrHeader <= end; ++v) {
    std::vector<char> head;
    if (!pass_bytes(in, kVlrHeader, copy, &head)) {
      *error = truncated;
      return false;
    }
    const LasVlr vlr = las_vlr_at(head.data(), at, end);
    const size_t length = vlr.length, inside = size_t(vlr.size) - kVlrHeader;
    const int record = vlr.record;
    const bool extra = vlr.user == "LASF_Spec" && record == kExtraBytesRecord;
    const bool crs =
        vlr.user == "LASF_Projection" && (record == kGeoKeyRecord || record == kWktRecord);
    std::vector<char> payload;
    const bool keep = (extra || crs) && inside == length && length <= kLongestVlr;
    if (!pass_bytes(in, inside, copy, keep ? &payload : nullptr)) {
      *error = truncated;
      return false;
    }
    if (keep && extra) {
      header->extra_bytes_vlrs.push_back(std::move(payload));
    } else if (keep && record == kGeoKeyRecord) {
      read_geokey_crs(payload.data(), payload.size(), &keys);
    } else if (keep) {
      read_wkt_crs(payload.data(), payload.size(), &wkt);
    }
    at += kVlrHeader + inside;
  }
  if (!pass_bytes(in, end - at, copy, nullptr)) {
    *error = truncated;
    return false;
  }
  header->crs.geographic = keys.geographic || wkt.geographic;
  const auto first_known = [](LengthUnit a, LengthUnit b) {
    return a != LengthUnit::kUnknown ? a : b;
  };
  header->crs.horizontal = first_known(wkt.horizontal, keys.horizontal);
  header->crs.vertical = first_known(wkt.vertical, keys.vertical);
  header->fields = standard_fields(header->format);
  add_extra_fields(header);
  return true;
}

bool is_las_bytes(const unsigned char *bytes, size_t n) {
  return n >= 4 && std::memcmp(bytes, "LASF", 4) == 0 &&
         (n <= kPointFormat || !is_compressed_format(bytes[kPointFormat]));
}

bool is_laz_bytes(const unsigned char *bytes, size_t n) {
  return n > kPointFormat && std::memcmp(bytes, "LASF", 4) == 0 &&
         is_compressed_format(bytes[kPointFormat]);
}

bool parse_las_header(const char *bytes, size_t n, LasHeader *header, std::string *error,
                      bool *unsupported) {
  *unsupported = false;
  if (n < kHeader10) {
    *error = "truncated: the file ends inside the LAS header";
    return false;
  }
  header->major = static_cast<unsigned char>(bytes[kVersionMajor]);
  header->minor = static_cast<unsigned char>(bytes[kVersionMinor]);
  header->header_size = get<uint16_t>(bytes, kHeaderSize);
  const size_t first_point = get<uint32_t>(bytes, kPointOffset);
  const uint32_t vlr_count = get<uint32_t>(bytes, kVlrCount);
  const unsigned format = point_format_of(static_cast<unsigned char>(bytes[kPointFormat]));
  header->record = get<uint16_t>(bytes, kRecordLength);
  const std::string version = std::to_string(header->major) + "." + std::to_string(header->minor);
  if (header->major != 1 || header->minor > 4) {
    *unsupported = true;
    *error = "LAS " + version + " (versions 1.0 to 1.4 are read)";
    return false;
  }
  if (format > unsigned(kLastFormat)) {
    *unsupported = true;
    *error = "point data record format " + std::to_string(format) + " (0 to 10 are read)";
    return false;
  }
  header->format = int(format);
  const size_t least = header->minor >= 4 ? kHeader14 : header->minor == 3 ? kHeader13 : kHeader10;
  if (header->header_size < least || first_point < header->header_size) {
    *error = "LAS " + version + " header of " + std::to_string(header->header_size) +
             " bytes with its points at byte " + std::to_string(first_point) +
             " (the header takes " + std::to_string(least) + " at least, before the points)";
    return false;
  }
  if (header->record < kMinimumRecord[format]) {
    *error = "point records of " + std::to_string(header->record) + " bytes, fewer than format " +
             std::to_string(format) + "'s " + std::to_string(kMinimumRecord[format]);
    return false;
  }
  if (n < header->header_size) {
    *error = "truncated: the file ends inside the LAS header";
    return false;
  }
  header->bytes.assign(bytes, bytes + header->header_size);
  header->first_point = first_point;
  header->vlr_count = vlr_count;
  header->after_points = header->minor >= 4   ? get<uint64_t>(bytes, kFirstEvlr)
                         : header->minor == 3 ? get<uint64_t>(bytes, kWaveformStart)
                                              : 0;
  header->evlr_count = header->minor >= 4 ? get<uint32_t>(bytes, kEvlrCount) : 0;
  const uint32_t legacy = get<uint32_t>(bytes, kLegacyCount);
  header->points = header->minor >= 4 ? int64_t(get<uint64_t>(bytes, kCount)) : int64_t(legacy);
  if (header->points < 0) {
    *error = "a point count beyond 2^63";
    return false;
  }
  for (int k = 0; k < kAxes; ++k) {
    header->scale[k] = get<double>(bytes, kScale + 8 * size_t(k));
    header->offset[k] = get<double>(bytes, kOffset + 8 * size_t(k));
    if (!(header->scale[k] > 0.0) || !std::isfinite(header->scale[k]) ||
        !std::isfinite(header->offset[k])) {
      *error = std::string("the ") + kCoordinateNames[k] + " scale or offset is not a positive " +
               "and a finite number";
      return false;
    }
  }
  return true;
}

bool read_las_header(ByteReader *in, LasHeader *header, std::string *error, bool *unsupported) {
  size_t available = in->fill(kHeader10);
  if (available >= kHeader10) {
    available = in->fill(std::max<size_t>(kHeader10, get<uint16_t>(in->data(), kHeaderSize)));
  }
  if (!parse_las_header(in->data(), available, header, error, unsupported)) {
    return false;
  }
  in->consume(header->header_size);
  return true;
}

}  // namespace levelling
