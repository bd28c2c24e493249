#include "cloud/reading_passes.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <thread>

#include "cloud/run_fault.h"
#include "formats/core/fan_out.h"
#include "formats/format_table.h"
#include "formats/stream_cloud.h"

namespace levelling {

void add_to_box(int64_t n, const double *x, const double *y, const double *z, double (&box)[6]) {
  // Four lanes each, so that no comparison waits for the one before.
  constexpr int kLanes = 4;
  const double *columns[3] = {x, y, z};
  for (int k = 0; k < 3; ++k) {
    const double *values = columns[k];
    double low[kLanes], high[kLanes];
    std::fill(low, low + kLanes, box[k]);
    std::fill(high, high + kLanes, box[3 + k]);
    int64_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
      for (int lane = 0; lane < kLanes; ++lane) {
        const double value = values[i + lane];
        low[lane] = value < low[lane] ? value : low[lane];
        high[lane] = value > high[lane] ? value : high[lane];
      }
    }
    for (; i < n; ++i) {
      low[0] = values[i] < low[0] ? values[i] : low[0];
      high[0] = values[i] > high[0] ? values[i] : high[0];
    }
    box[k] = std::min({low[0], low[1], low[2], low[3]});
    box[3 + k] = std::max({high[0], high[1], high[2], high[3]});
  }
}

namespace {

// A geographic tile's x and y span degrees (0.01 degree is about a kilometre) while its heights
// span metres or feet: x and y spanning less than this share of the heights' span give it away.
constexpr double kDegreeSpanShare = 1e-2;

// Whether a LAS input's coordinates are longitude and latitude: its coordinate system says so,
// or x and y lie in the ranges of degrees while its heights span far more than they do.
bool is_geographic(const Source &source) {
  if (family_of(source.read.format) != CloudFamily::kLas) {
    return false;
  }
  if (source.read.geographic) {
    return true;
  }
  const double *box = source.box;
  const double span = std::max(box[3] - box[0], box[4] - box[1]);
  return box[0] >= -180.0 && box[3] <= 360.0 && box[1] >= -90.0 && box[4] <= 90.0 &&
         box[5] - box[2] > 0.0 && span < kDegreeSpanShare * (box[5] - box[2]);
}

// Whether the file's name is of a format that starts with a header (PLY, PCD, LAS), which an
// empty file lacks.
bool has_header_by_name(const std::string &name) {
  bool has_extension = false;
  const FormatRow *row = format_of_name(name, &has_extension);
  return row != nullptr && row->stream != nullptr && row->family != CloudFamily::kText;
}

// A file of fewer records than this many times the sample is sampled from all its records (as
// picked ones, in one round): reading it at random saves nothing.
constexpr int64_t kPickFromSamples = 4;
// A later round, while empty records left the sample short, asks for this share more records
// than the valid ones missing would need at the share of valid records seen, and this many more.
constexpr double kRoundMargin = 1.25;
constexpr size_t kRoundExtra = 64;

// A file of fixed-size records at least this long has the keys of its two halves looked
// through side by side for the records its sample can take, and, alone in its run, is
// refitted in two halves side by side (at the middle record: the same halves, and the same
// bits, on every run).
constexpr int64_t kSplitRecords = int64_t(1) << 20;

// point_sample_candidates, the range's two halves looked through side by side and merged.
void candidates_side_by_side(uint64_t seed, int64_t first, int64_t n, size_t count,
                             uint64_t after_key, int64_t after_index,
                             std::vector<int64_t> *indices) {
  if (n < kSplitRecords) {
    point_sample_candidates(seed, first, n, count, after_key, after_index, indices);
    return;
  }
  const int64_t half = n / 2;
  std::vector<int64_t> second;
  std::thread other([&] {
    point_sample_candidates(seed, first + half, n - half, count, after_key, after_index, &second);
  });
  point_sample_candidates(seed, first, half, count, after_key, after_index, indices);
  other.join();
  // The smallest keys of the whole are the smallest among those of its halves.
  std::vector<std::pair<uint64_t, int64_t>> keyed;
  for (const std::vector<int64_t> *part : {indices, &second}) {
    for (const int64_t index : *part) {
      keyed.emplace_back(point_sample_key(seed, index), index);
    }
  }
  if (keyed.size() > count) {
    std::nth_element(keyed.begin(), keyed.begin() + std::ptrdiff_t(count), keyed.end());
    keyed.resize(count);
  }
  indices->clear();
  for (const auto &each : keyed) {
    indices->push_back(each.second);
  }
  std::sort(indices->begin(), indices->end());
}

// The records of one file the first pass samples, where they have a fixed size (see
// PassShortcuts::pick): in rounds, the records of the smallest keys, until they hold as many
// valid points as the sample or the file holds no more. The sample of the whole cloud takes
// from the file only among those, so reading them is as reading the file. The file's first
// record is of index `first` in the whole cloud.
class SamplePicker {
 public:
  SamplePicker(PointSample *sample, int64_t first) : sample_(sample), first_(first) {}

  // PassShortcuts::pick.
  bool next(int64_t records, std::vector<int64_t> *indices) {
    if (!picking_) {
      picking_ = true;
      records_ = records;
      if (records <= kPickFromSamples * int64_t(sample_->capacity)) {
        round_.resize(size_t(records));
        std::iota(round_.begin(), round_.end(), int64_t(0));
        return start_round(indices);
      }
    }
    if (taken_ >= records_ || valid_ >= int64_t(sample_->capacity)) {
      return false;
    }
    size_t count = sample_->capacity;
    if (taken_ > 0) {
      const double missing = double(int64_t(sample_->capacity) - valid_);
      const double share = double(taken_) / double(std::max<int64_t>(valid_, 1));
      count = size_t(missing * share * kRoundMargin) + kRoundExtra;
    }
    candidates_side_by_side(sample_->seed, first_, records_, count, last_key_, last_index_,
                            &round_);
    for (int64_t &index : round_) {
      const uint64_t key = point_sample_key(sample_->seed, index);
      if (last_index_ < 0 || key > last_key_ || (key == last_key_ && index > last_index_)) {
        last_key_ = key;
        last_index_ = index;
      }
      index -= first_;
    }
    return start_round(indices);
  }

  // Offers a block of the picked records, in the order they were named.
  void visit(const PointBlock &block, double (&box)[6]) {
    for (size_t i = 0; i < block.count && cursor_ < round_.size(); ++i) {
      const int64_t index = first_ + round_[cursor_++];
      if (is_empty_point(block.x[i], block.y[i], block.z[i])) {
        continue;
      }
      ++valid_;
      point_sample_add_one(sample_, index, block.x[i], block.y[i], block.z[i]);
      add_to_box(1, &block.x[i], &block.y[i], &block.z[i], box);
    }
  }

  bool picking() const { return picking_; }

 private:
  bool start_round(std::vector<int64_t> *indices) {
    cursor_ = 0;
    taken_ += int64_t(round_.size());
    *indices = round_;
    if (taken_ >= records_) {
      last_index_ = INT64_MAX;  // every record named: no further round
    }
    return !round_.empty();
  }

  PointSample *sample_;
  int64_t first_;
  bool picking_ = false;
  int64_t records_ = 0;
  std::vector<int64_t> round_;  // the current round's records, relative to the file's first
  size_t cursor_ = 0;           // of the current round's records, those visited
  int64_t taken_ = 0, valid_ = 0;
  uint64_t last_key_ = 0;  // the largest (key, index) named so far
  int64_t last_index_ = -1;
};

// Resets what the first pass learns of the source.
void start_counting(Source *source) {
  source->empty = 0;
  source->counted = true;
  std::fill(source->box, source->box + 3, HUGE_VAL);
  std::fill(source->box + 3, source->box + 6, -HUGE_VAL);
}

// The first pass over one source, its first point of index source->first_point: its points
// offered to the sample (only its sampled records read, where it has records of a fixed size
// and may pick them), counted, boxed, and for a text input kept in binary.
void read_source_first(Run *run, Source *source, bool may_pick, FirstPass *pass) {
  const bool fit_all = run->request.fit == FitMethod::kAll;
  const int64_t first = source->first_point;
  PointSample before;
  SamplePicker picker(&pass->sample, first);
  StreamOptions options;
  if (may_pick && source->spool == nullptr) {
    before = pass->sample;
    options.shortcuts.pick = [&picker](int64_t records, std::vector<int64_t> *indices) {
      return picker.next(records, indices);
    };
  }
  // (The first pass reads the sources one after another: each has every core.)
  options.threads = core_count();
  // The moments of its own points, merged into the whole's after it: the same whether the
  // sources are read in one run or apart (cloud/site_levelling.h).
  CloudFit own;
  for (bool again = true; again;) {
    again = false;
    start_counting(source);
    ValidPoints valid;
    int64_t index = first;
    source->read = stream_source(
        run, source, "reading",
        [&](PointBlock *block) {
          if (picker.picking()) {
            picker.visit(*block, source->box);
            return;
          }
          point_sample_add(&pass->sample, index, int64_t(block->count), block->x.data(),
                           block->y.data(), block->z.data());
          index += int64_t(block->count);
          valid.visit(*block, &source->empty,
                      [&](int64_t n, const double *x, const double *y, const double *z) {
                        if (fit_all) {
                          cloud_fit_add(&own, n, x, y, z);
                        }
                        if (source->spool != nullptr) {
                          source->spool->add(n, x, y, z);
                        }
                        add_to_box(n, x, y, z, source->box);
                      });
        },
        options);
    source->counted = !picker.picking();
    if (picker.picking() && source->read.fault != StreamFault::kNone) {
      // A fault among the picked records: the whole file read says where the first is.
      pass->sample = before;
      options.shortcuts.pick = nullptr;
      picker = SamplePicker(&pass->sample, first);
      again = true;
    }
  }
  cloud_fit_merge(&pass->all, own);
}

// What the first pass found wrong with the source (status kLevelled when nothing): its read's
// fault, an empty file of a format with a header, LAS in longitude and latitude.
LevellingOutcome first_pass_fault(const Run &run, const Source &source) {
  if (source.read.fault != StreamFault::kNone) {
    return failure(source.shown, source.read.message, status_of(source.read.fault));
  }
  if (source.input.size() == 0 && has_header_by_name(source.name)) {
    return failure(source.shown, "is empty: no header, no points", kMalformedInput);
  }
  if (!run.given && is_geographic(source)) {
    return failure(source.shown,
                   "its coordinates are longitude and latitude degrees, in which no plane is "
                   "level; reproject it to a projected coordinate system (metres or feet) first",
                   kUnsupportedInput);
  }
  return LevellingOutcome();
}

}  // namespace

bool read_first_pass(Run *run, FirstPass *pass, LevellingOutcome *fault) {
  const bool fit_all = run->request.fit == FitMethod::kAll;
  // Only a fit of a sample, whose refit's pass counts every point, may pick the records read.
  const bool may_pick = !fit_all && !run->given;
  for (;;) {
    point_sample_start(&pass->sample, kDefaultSampleSize, run->request.seed);
    pass->all = CloudFit();
    const std::vector<Source *> sources = live(*run);
    if (sources.empty()) {
      *fault = run->sources.front()->fault;
      return false;
    }
    bool restart = false;
    int64_t first = run->first_point;  // the index of the source's first point in the whole
    for (Source *source : sources) {
      source->spool.reset();
      if (!fit_all && written_as_text(source->input.stream())) {
        source->spool.reset(new PointSpool());
      }
      source->first_point = first;
      read_source_first(run, source, may_pick, pass);
      first += source->read.points;
      source->fault = first_pass_fault(*run, *source);
      if (source->failed()) {
        if (run->sources.size() == 1) {
          *fault = source->fault;
          return false;
        }
        restart = true;
        break;
      }
      if (source->spool != nullptr && !source->spool->finish()) {
        source->spool.reset();
      }
    }
    if (!restart) {
      point_sample_finish(&pass->sample);
      return true;
    }
  }
}

void read_boxes(Run *run) {
  // One pass writes a cloud in its own family of formats; a conversion is decided, LAS written
  // from another format chooses its offsets, and a text cloud's decimals are known, from a first
  // pass.
  const std::vector<Source *> sources = live(*run);
  on_each(sources.size(), run->jobs, [&](size_t i) {
    Source *source = sources[i];
    const FormatRow *row = nullptr;
    if (sniff_cloud_format(source->input.stream(), &source->read.format, &row) &&
        source->read.format != CloudFormat::kText &&
        family_of(output_format(source->choice, source->read.format)) ==
            family_of(source->read.format)) {
      return;
    }
    ValidPoints valid;
    source->read = stream_source(
        run, source, "reading",
        [&](PointBlock *block) {
          valid.visit(*block, &source->empty,
                      [&](int64_t n, const double *x, const double *y, const double *z) {
                        add_to_box(n, x, y, z, source->box);
                      });
        },
        StreamOptions());
  });
  for (Source *source : sources) {
    if (source->read.fault != StreamFault::kNone) {
      source->out.abandon();
      source->fault =
          failure(source->shown, source->read.message, status_of(source->read.fault));
    }
  }
}

namespace {

// What a pass over (part of) a source learns of the inliers of a band, and of the points when
// counting them.
struct InlierPart {
  CloudFit fit;
  int64_t counted = 0, empty = 0;
  double box[6] = {HUGE_VAL, HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  StreamResult read;
};

// The visitor of a pass over the inliers of `band` into *part.
PointVisitor inlier_visitor(const PlaneBand &band, bool counting, InlierPart *part) {
  return [&band, counting, part, valid = std::make_shared<ValidPoints>()](PointBlock *block) {
    part->counted += plane_band_fit_add(&part->fit, band, int64_t(block->count), block->x.data(),
                                        block->y.data(), block->z.data());
    if (counting) {
      valid->visit(*block, &part->empty,
                   [&](int64_t n, const double *x, const double *y, const double *z) {
                     add_to_box(n, x, y, z, part->box);
                   });
    }
  };
}

// Whether the source's refit reads it in two halves side by side: alone in its run, of records
// of a fixed size, many of them.
bool refit_in_halves(const Run &run, const Source &source) {
  const CloudFormat format = source.read.format;
  const bool fixed = format == CloudFormat::kPlyBinaryLittleEndian ||
                     format == CloudFormat::kPlyBinaryBigEndian ||
                     format == CloudFormat::kPcdBinary || format == CloudFormat::kLas;
  return run.sources.size() == 1 && source.spool == nullptr && fixed &&
         source.read.points >= kSplitRecords;
}

// The pass over the source's inliers: the whole file, or its two halves side by side (merged in
// their order), into *whole.
void read_inliers(Run *run, Source *source, const PlaneBand &band, bool counting,
                  InlierPart *whole) {
  if (!refit_in_halves(*run, *source)) {
    whole->read = stream_source(run, source, "fitting", inlier_visitor(band, counting, whole),
                                StreamOptions());
    return;
  }
  InlierPart second;
  StreamOptions first_half, second_half;
  first_half.shortcuts.range_end = second_half.shortcuts.range_first = source->read.points / 2;
  std::rewind(source->input.stream());
  std::thread other([&] {
    second.read =
        stream_cloud(source->input.stream(), inlier_visitor(band, counting, &second), second_half);
  });
  whole->read =
      stream_cloud(source->input.stream(), inlier_visitor(band, counting, whole), first_half);
  other.join();
  run->pass_done(source);
  if (!whole->read.ranged || whole->read.fault != StreamFault::kNone) {
    return;  // read whole by the first (or failed in its half, before the second's)
  }
  cloud_fit_merge(&whole->fit, second.fit);
  whole->counted += second.counted;
  whole->empty += second.empty;
  for (int k = 0; k < 3; ++k) {
    whole->box[k] = std::min(whole->box[k], second.box[k]);
    whole->box[3 + k] = std::max(whole->box[3 + k], second.box[3 + k]);
  }
  whole->read = second.read;
}

// The inliers of `band` among a source's points (from its kept points of a text input, else
// from the input again) into *inliers; false with the fault. A source whose first pass read
// only its sampled records has its empty points and box counted here.
bool source_inliers(Run *run, Source *source, const PlaneBand &band, CloudFit *inliers,
                    int64_t *counted, LevellingOutcome *fault) {
  const auto refit = [&](int64_t n, const double *x, const double *y, const double *z) {
    *counted += plane_band_fit_add(inliers, band, n, x, y, z);
  };
  if (source->spool != nullptr && source->spool->replay(refit)) {
    run->pass_done(source);
    return true;
  }
  const bool counting = !source->counted;
  InlierPart part;
  read_inliers(run, source, band, counting, &part);
  if (part.read.fault != StreamFault::kNone) {
    *fault = failure(source->shown, part.read.message, status_of(part.read.fault));
    return false;
  }
  *inliers = part.fit;
  *counted = part.counted;
  if (counting) {
    source->empty = part.empty;
    std::copy(part.box, part.box + 6, source->box);
    source->counted = true;
  }
  return true;
}

}  // namespace

bool fit_inliers(Run *run, const PlaneBand &band, CloudFit *inliers, int64_t *counted,
                 int64_t *valid, LevellingOutcome *fault) {
  const std::vector<Source *> sources = live(*run);
  std::vector<CloudFit> fits(sources.size());
  std::vector<int64_t> counts(sources.size(), 0);
  std::vector<LevellingOutcome> faults(sources.size());
  on_each(sources.size(), run->jobs, [&](size_t i) {
    source_inliers(run, sources[i], band, &fits[i], &counts[i], &faults[i]);
  });
  *inliers = CloudFit();
  *counted = 0;
  *valid = 0;
  bool fitted = true;
  for (size_t i = 0; i < sources.size(); ++i) {
    if (faults[i].status != kLevelled) {
      // With several inputs, the file is set aside (and the caller starts again without it).
      if (run->sources.size() > 1) {
        sources[i]->fault = faults[i];
      }
      if (fitted) {
        *fault = faults[i];
      }
      fitted = false;
      continue;
    }
    cloud_fit_merge(inliers, fits[i]);
    *counted += counts[i];
    *valid += sources[i]->read.points - sources[i]->empty;
  }
  return fitted;
}

}  // namespace levelling
