// LAS clouds (ASPRS's lidar format), versions 1.0 to 1.4, point data record formats 0 to 10,
// uncompressed.
//
// X, Y and Z are 32-bit integers, scaled and offset: read as x = X * scale + offset, written
// back as the nearest integer at the input's scale (an error of at most half of it). Written as
// LAS, everything but the coordinates, the waveform packets' directions (turned with the points),
// the header's offsets (kept where the levelled values fit, new ones otherwise) and its bounds
// (those of the points written) comes through byte for byte: VLRs, EVLRs, extra bytes, counts.
#include "formats/las/las_cloud.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"
#include "formats/core/moved_fields.h"
#include "formats/core/number_text.h"
#include "formats/core/ply_values.h"
#include "formats/core/stream_support.h"
#include "formats/las/las_coordinates.h"
#include "formats/las/las_header.h"

namespace levelling {

namespace {

class LasStreamer {
 public:
  LasStreamer(ByteReader *in, const PointVisitor &visit, const StreamOptions &options)
      : in_(in), visit_(visit), options_(options) {}

  StreamResult run();

 private:
  bool prepare();
  void write_header();
  bool records();
  bool fail(StreamFault fault, const std::string &message) {
    result_.fault = fault;
    result_.message = message;
    return false;
  }

  ByteReader *in_;
  const PointVisitor &visit_;
  const StreamOptions &options_;
  StreamResult result_;
  LasHeader header_;
  bool writing_ = false;
  bool picked_ = false;                  // only the points options.pick named were visited
  std::unique_ptr<CloudWriter> writer_;  // for another format
  double offset_[kAxes] = {};            // of the points written as LAS
  int64_t header_at_ = 0;                // where the header written begins in the output
  IntegerBounds bounds_;
  int wave_[kAxes] = {-1, -1, -1};  // the waveform's direction among the fields, when it has one
  PointBlock block_;
  std::vector<int32_t> integers_;
  std::vector<double> values_;
};

void LasStreamer::write_header() {
  // Without a box from an earlier pass, the header's bounds say where the points are, when they
  // can: ordered, and within what the file's own integers reach.
  StreamOptions boxed = options_;
  double header_box[2 * kAxes];
  bool plausible = header_.points > 0;
  for (int k = 0; k < kAxes; ++k) {
    header_box[kAxes + k] = get<double>(header_.bytes.data(), kBounds + 16 * size_t(k));
    header_box[k] = get<double>(header_.bytes.data(), kBounds + 16 * size_t(k) + 8);
    plausible = plausible && header_box[k] <= header_box[kAxes + k] &&
                fits_in_integers(header_box[k], header_box[kAxes + k], header_.scale[k],
                                 header_.offset[k]);
  }
  if (boxed.write.box == nullptr && plausible) {
    boxed.write.box = header_box;
  }
  choose_offsets(boxed, header_.scale, header_.offset, offset_);
  std::vector<char> bytes = header_.bytes;
  for (int k = 0; k < kAxes; ++k) {
    put(bytes.data(), kOffset + 8 * size_t(k), offset_[k]);
  }
  store_box(boxed, header_.scale, offset_, bytes.data() + kBounds);
  header_at_ = options_.write.out->written();
  options_.write.out->write(bytes.data(), bytes.size());
}

bool LasStreamer::prepare() {
  result_.format = CloudFormat::kLas;
  std::string error;
  bool unsupported = false;
  if (!read_las_header(in_, &header_, &error, &unsupported)) {
    return fail(unsupported ? StreamFault::kUnsupported : StreamFault::kMalformed, error);
  }
  writing_ = options_.write.out != nullptr;
  // LAS written as LAS: the header with the offsets and bounds of the points written, then the
  // VLRs as they stream by.
  if (writing_ && options_.write.format == CloudFormat::kLas) {
    write_header();
  }
  if (!read_las_vlrs(in_, &header_, writing_ && options_.write.format == CloudFormat::kLas
                                        ? options_.write.out
                                        : nullptr,
                     &error)) {
    return fail(StreamFault::kMalformed, error);
  }
  result_.geographic = header_.crs.geographic;
  result_.horizontal_unit = header_.crs.horizontal;
  result_.height_unit = header_.crs.vertical != LengthUnit::kUnknown ? header_.crs.vertical
                                                                     : header_.crs.horizontal;
  int decimals = 0;
  result_.text_exponents = !decimals_of_scale(header_.scale, &decimals);
  result_.text_decimals = decimals;
  for (size_t f = 0; f < header_.fields.size(); ++f) {
    const LasField &field = header_.fields[f];
    const bool standard = field.offset < kMinimumRecord[header_.format];
    for (int k = 0; k < kAxes; ++k) {
      if (standard && field.name == moved_fields_of(CloudFamily::kLas).directions[k]) {
        wave_[k] = int(f);
      }
    }
    if (field.wide && result_.unconvertible.empty()) {
      result_.unconvertible = field.name == "wavepacket_offset"
                                  ? std::string("its points' waveform packets")
                                  : "the extra bytes " + field.name + " (64-bit integers)";
    }
  }
  // The waveform's directions turn with the points, as normals do (the cloud has none).
  block_.has_normals = wave_[0] >= 0;
  if (!writing_ || options_.write.format == CloudFormat::kLas) {
    return true;
  }
  const std::string refusal = conversion_refusal(result_, CloudFamily::kLas, written_family(options_.write));
  if (!refusal.empty()) {
    return fail(StreamFault::kUnsupported, refusal);
  }
  CloudSchema schema;
  schema.vertex.name = "vertex";
  schema.vertex.count = header_.points;
  schema.source = CloudFamily::kLas;
  for (int k = 0; k < kAxes; ++k) {
    schema.vertex.properties.push_back({kCoordinateNames[k], PlyType::kFloat64});
  }
  for (const LasField &field : header_.fields) {
    schema.vertex.properties.push_back({field.name, field.type});
  }
  writer_ = make_cloud_writer(options_);
  make_names_unique(&schema.vertex.properties);
  writer_->begin(schema);
  return true;
}

bool LasStreamer::records() {
  const size_t size = header_.record;
  const size_t per_piece = std::max<size_t>(1, kPiece / size);
  std::vector<double> *columns[kAxes] = {&block_.x, &block_.y, &block_.z};
  std::vector<double> *directions[kAxes] = {&block_.nx, &block_.ny, &block_.nz};
  // Decodes n records at `data`, the first of them point done + 1, into the block.
  const auto decode = [&](const char *data, size_t n, int64_t done) {
    reset_block(&block_, n);
    for (int k = 0; k < kAxes; ++k) {
      load_ply_column(PlyType::kInt32, false, data + 4 * size_t(k), size, n, columns[k]->data());
      double *values = columns[k]->data();
      for (size_t i = 0; i < n; ++i) {
        values[i] = values[i] * header_.scale[k] + header_.offset[k];
      }
      if (block_.has_normals) {
        load_ply_column(PlyType::kFloat32, false, data + header_.fields[size_t(wave_[k])].offset,
                        size, n, directions[k]->data());
      }
    }
    int axis = 0;
    const size_t bad = first_bad_point(block_.x.data(), block_.y.data(), block_.z.data(), n, &axis);
    if (bad < n) {
      return fail(StreamFault::kMalformed, "point " + std::to_string(done + int64_t(bad) + 1) +
                                               ": its " + kCoordinateNames[axis] +
                                               " is beyond a double at the file's scale and "
                                               "offset");
    }
    return true;
  };
  if (can_pick_records(in_, options_, size, header_.points)) {
    picked_ = visit_picked_records(in_, options_, size, header_.points,
                                   [&](const char *data, size_t n) {
                                     if (!decode(data, n, result_.points)) {
                                       return false;
                                     }
                                     visit_(&block_);
                                     result_.points += int64_t(n);
                                     return true;
                                   });
    result_.points = header_.points;
    return picked_;
  }
  if (can_range_records(in_, options_, size, header_.points)) {
    bool go_on = false;
    picked_ = visit_record_range(in_, options_, size, header_.points,
                                 [&](const char *data, size_t n, int64_t first) {
                                   if (!decode(data, n, first)) {
                                     return false;
                                   }
                                   visit_(&block_);
                                   return true;
                                 },
                                 &result_, &go_on);
    return picked_ || go_on;
  }
  for (int64_t done = 0; done < header_.points;) {
    const size_t wanted = size_t(std::min<int64_t>(header_.points - done, int64_t(per_piece)));
    const size_t n = std::min(wanted, in_->fill(wanted * size) / size);
    if (n == 0) {
      return fail(StreamFault::kMalformed, "truncated: the file ends inside point " +
                                               std::to_string(done + 1) + " of " +
                                               std::to_string(header_.points));
    }
    const char *data = in_->data();
    if (!decode(data, n, done)) {
      return false;
    }
    visit_(&block_);
    result_.points += int64_t(n);
    if (writer_ != nullptr) {
      for (size_t i = 0; i < n; ++i) {
        const char *record = data + i * size;
        values_.resize(kAxes + header_.fields.size());
        for (int k = 0; k < kAxes; ++k) {
          values_[size_t(k)] = (*columns[k])[i];
        }
        for (size_t f = 0; f < header_.fields.size(); ++f) {
          const LasField &field = header_.fields[f];
          double value = load_ply_value(field.type, false, record + field.offset);
          if (field.bits > 0) {
            value = double((unsigned(value) >> field.shift) & ((1u << field.bits) - 1));
          }
          values_[kAxes + f] = value;
        }
        for (int k = 0; k < kAxes && block_.has_normals; ++k) {
          values_[kAxes + size_t(wave_[k])] = (*directions[k])[i];
        }
        writer_->vertex(values_.data());
      }
    } else if (writing_) {
      // The records as they came, with the new coordinates (and directions) stored into them.
      char *copy = options_.write.out->append_space(n * size);
      std::memcpy(copy, data, n * size);
      integers_.resize(n);
      for (int k = 0; k < kAxes; ++k) {
        const size_t bad =
            quantise(columns[k]->data(), n, header_.scale[k], offset_[k], integers_.data());
        if (bad < n) {
          return fail(StreamFault::kUnsupported,
                      beyond_integers(result_.points - int64_t(n - bad) + 1, k, header_.scale[k],
                                      offset_[k]));
        }
        bounds_.add(integers_.data(), n, k);
        for (size_t i = 0; i < n; ++i) {
          put(copy, i * size + 4 * size_t(k), integers_[i]);
        }
        if (block_.has_normals) {
          store_ply_column(PlyType::kFloat32, false, directions[k]->data(), n,
                           copy + header_.fields[size_t(wave_[k])].offset, size);
        }
      }
    }
    in_->consume(n * size);
    done += int64_t(n);
    if (options_.progress) {
      options_.progress(in_->offset());
    }
  }
  return true;
}

StreamResult LasStreamer::run() {
  if (!prepare() || !records() || picked_) {
    return result_;  // (having picked records, nothing after them is read)
  }
  if (writer_ != nullptr) {
    finish_writer(writer_.get(), &result_);
    return result_;  // what follows the points (EVLRs) has no place in another format
  }
  // What follows the points (EVLRs, a waveform) comes through as it was: its offsets hold. Up
  // to where the header says that begins, no whole record may follow: the count would leave
  // points out.
  const int64_t points_end = in_->offset();
  const int64_t named = header_.after_points >= uint64_t(points_end) &&
                                header_.after_points <= uint64_t(INT64_MAX)
                            ? int64_t(header_.after_points)
                            : INT64_MAX;
  for (size_t available; (available = in_->fill(kPiece)) > 0;) {
    if (std::min(in_->offset() + int64_t(available), named) - points_end >=
        int64_t(header_.record)) {
      fail(StreamFault::kMalformed, "byte " + std::to_string(points_end) +
                                        ": more point records than the " +
                                        std::to_string(header_.points) + " its header counts");
      return result_;
    }
    if (writing_) {
      options_.write.out->write(in_->data(), available);
    }
    in_->consume(available);
  }
  if (writing_) {
    patch_bounds(options_.write.out, header_at_, bounds_, header_.scale, offset_);
  }
  return result_;
}

}  // namespace

StreamResult stream_las_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options) {
  LasStreamer streamer(in, visit, options);
  return streamer.run();
}

}  // namespace levelling
