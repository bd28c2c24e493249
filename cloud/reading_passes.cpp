#include "cloud/reading_passes.h"

#include <algorithm>
#include <cmath>

#include "cloud/run_fault.h"
#include "formats/format_table.h"

namespace levelling {

void add_to_box(int64_t n, const double *x, const double *y, const double *z, double (&box)[6]) {
  const double *columns[3] = {x, y, z};
  for (int k = 0; k < 3; ++k) {
    double low = box[k], high = box[3 + k];
    for (int64_t i = 0; i < n; ++i) {
      low = columns[k][i] < low ? columns[k][i] : low;
      high = columns[k][i] > high ? columns[k][i] : high;
    }
    box[k] = low;
    box[3 + k] = high;
  }
}

namespace {

// A geographic tile's x and y span degrees (0.01 degree is about a kilometre) while its heights
// span metres or feet: x and y spanning less than this share of the heights' span give it away.
constexpr double kDegreeSpanShare = 1e-2;

// Whether a LAS input's coordinates are longitude and latitude: its coordinate system says so,
// or x and y lie in the ranges of degrees while its heights span far more than they do.
bool is_geographic(const Source &source) {
  if (source.read.format != CloudFormat::kLas) {
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
  return row != nullptr && row->stream != nullptr && row->stream != stream_text_cloud;
}

}  // namespace

bool read_first_pass(Run *run, FirstPass *pass, LevellingOutcome *fault) {
  const bool fit_all = run->request.fit == FitMethod::kAll;
  for (;;) {
    point_sample_start(&pass->sample, kDefaultSampleSize, run->request.seed);
    pass->all = CloudFit();
    const std::vector<Source *> sources = live(*run);
    if (sources.empty()) {
      *fault = run->sources.front()->fault;
      return false;
    }
    bool restart = false;
    for (Source *source : sources) {
      source->empty = 0;
      std::fill(source->box, source->box + 3, HUGE_VAL);
      std::fill(source->box + 3, source->box + 6, -HUGE_VAL);
      source->spool.reset();
      if (!fit_all && written_as_text(source->input.stream())) {
        source->spool.reset(new PointSpool());
      }
      ValidPoints valid;
      source->read = stream_source(
          run, source, "reading",
          [&](PointBlock *block) {
            valid.visit(*block, &source->empty, [&](int64_t n, const double *x, const double *y,
                                                    const double *z) {
              point_sample_add(&pass->sample, n, x, y, z);
              if (fit_all) {
                cloud_fit_add(&pass->all, n, x, y, z);
              }
              if (source->spool != nullptr) {
                source->spool->add(n, x, y, z);
              }
              add_to_box(n, x, y, z, source->box);
            });
          },
          StreamOptions());
      if (source->read.fault != StreamFault::kNone) {
        source->fault =
            failure(source->shown, source->read.message, status_of(source->read.fault));
        if (run->sources.size() == 1) {
          *fault = source->fault;
          return false;
        }
        restart = true;
        break;
      }
      if (source->input.size() == 0 && has_header_by_name(source->name)) {
        source->fault = failure(source->shown, "is empty: no header, no points", kMalformedInput);
        if (run->sources.size() == 1) {
          *fault = source->fault;
          return false;
        }
        restart = true;
        break;
      }
      if (!run->given && is_geographic(*source)) {
        source->fault = failure(source->shown,
                                "its coordinates are longitude and latitude degrees, in which no "
                                "plane is level; reproject it to a projected coordinate system "
                                "(metres or feet) first",
                                kUnsupportedInput);
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

// The inliers of `band` among a source's points (from its kept points of a text input, else
// from the input again) into *inliers; false with the fault.
bool source_inliers(Run *run, Source *source, const PlaneBand &band, CloudFit *inliers,
                    int64_t *counted, LevellingOutcome *fault) {
  const auto refit = [&](int64_t n, const double *x, const double *y, const double *z) {
    *counted += plane_band_fit_add(inliers, band, n, x, y, z);
  };
  if (source->spool != nullptr && source->spool->replay(refit)) {
    run->pass_done(source);
    return true;
  }
  *inliers = CloudFit();
  *counted = 0;
  const StreamResult again = stream_source(
      run, source, "fitting",
      [&](PointBlock *block) {
        refit(int64_t(block->count), block->x.data(), block->y.data(), block->z.data());
      },
      StreamOptions());
  if (again.fault != StreamFault::kNone) {
    *fault = failure(source->shown, again.message, status_of(again.fault));
    return false;
  }
  return true;
}

}  // namespace

bool fit_inliers(Run *run, const PlaneBand &band, CloudFit *inliers, int64_t *counted,
                 LevellingOutcome *fault) {
  const std::vector<Source *> sources = live(*run);
  std::vector<CloudFit> fits(sources.size());
  std::vector<int64_t> counts(sources.size(), 0);
  std::vector<LevellingOutcome> faults(sources.size());
  on_each(sources.size(), run->jobs, [&](size_t i) {
    source_inliers(run, sources[i], band, &fits[i], &counts[i], &faults[i]);
  });
  *inliers = CloudFit();
  *counted = 0;
  for (size_t i = 0; i < sources.size(); ++i) {
    if (faults[i].status != kLevelled) {
      *fault = faults[i];
      return false;
    }
    cloud_fit_merge(inliers, fits[i]);
    *counted += counts[i];
  }
  return true;
}

}  // namespace levelling
