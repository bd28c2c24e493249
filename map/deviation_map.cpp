#include "map/deviation_map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "map/bitmap_font.h"

namespace levelling {

namespace {

// Moreland's smooth cool-warm map at 33 evenly spaced values from -1 to 1.
constexpr int kScalePoints = 33;
const Rgb kCoolWarm[kScalePoints] = {
    {59, 76, 192},   {68, 90, 204},   {77, 104, 215},  {87, 117, 225},  {98, 130, 234},
    {108, 142, 241}, {119, 154, 247}, {130, 165, 251}, {141, 176, 254}, {152, 185, 255},
    {163, 194, 255}, {174, 201, 253}, {184, 208, 249}, {194, 213, 244}, {204, 217, 238},
    {213, 219, 230}, {221, 221, 221}, {229, 216, 209}, {236, 211, 197}, {241, 204, 185},
    {245, 196, 173}, {247, 187, 160}, {247, 177, 148}, {247, 166, 135}, {244, 154, 123},
    {241, 141, 111}, {236, 127, 99},  {229, 112, 88},  {222, 96, 77},   {213, 80, 66},
    {203, 62, 56},   {192, 40, 47},   {180, 4, 38}};

constexpr Rgb kInk = {0, 0, 0};
constexpr Rgb kFrame = {120, 120, 120};
constexpr Rgb kBars = {90, 90, 90};
constexpr int kMargin = 16;
constexpr int kTextScale = 2;
constexpr int kLineHeight = (kGlyphHeight + 3) * kTextScale;
constexpr int kBarWidth = 24, kBarHeight = 256;
constexpr int kHistogramWidth = 220, kHistogramHeight = 120;
constexpr int kLabelWidth = 120;
// The edges' ticks: their length, the gap to their labels, the least spacing tried first and
// how many coarser steps are tried while labels would touch.
constexpr int kTickLength = 6, kTickGap = 4;
constexpr int kTickSpacing = 100;
constexpr int kTickAttempts = 4;
// The arrows of +x and +y, and the scale bar: at most this long, as thick as this.
constexpr int kArrowLength = 40, kArrowHead = 5;
constexpr int kScaleBarPixels = 200, kScaleBarThickness = 5;

// A height kept in a cell is a share of the grid's range in these steps.
constexpr double kSteps = 32767.0;

// 2^64 over the golden ratio: the multiplier of the keys of points' heights in their cells.
constexpr uint64_t kGoldenRatio = 0x9e3779b97f4a7c15ull;
// A gate's count of heights.
constexpr unsigned kCountBits = 0xffu;

// The key of the point of index `index`: Fibonacci hashing, the top bits of the index times
// 2^64 over the golden ratio.
uint16_t key_of(int64_t index) { return uint16_t((uint64_t(index) * kGoldenRatio) >> 48); }

// Whether a point of `key` goes past its cell (full, its keys all before it) by the gate alone.
bool passes_gate(uint16_t gate, uint16_t key) {
  return (gate & kCountBits) >= unsigned(kCellSamples) && (key >> 8) > (gate >> 8);
}

std::string number_label(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%+.3g", value);
  return text;
}

}  // namespace

bool deviation_grid_start(double min_x, double min_y, double max_x, double max_y, double cell,
                          double range, DeviationGrid *grid) {
  if (!(std::isfinite(min_x) && std::isfinite(min_y) && std::isfinite(max_x) &&
        std::isfinite(max_y)) ||
      max_x < min_x || max_y < min_y || !(cell >= 0.0) || !(range > 0.0)) {
    return false;
  }
  grid->range = range;
  const double side = std::max(max_x - min_x, max_y - min_y);
  if (!std::isfinite(side) || !std::isfinite(cell)) {
    return false;  // an extent beyond a double: no cell can be counted across it
  }
  if (cell == 0.0) {
    cell = side > 0.0 ? side / kMapWidthCells : 1.0;
  }
  for (;;) {
    const double columns = std::floor((max_x - min_x) / cell) + 1;
    const double rows = std::floor((max_y - min_y) / cell) + 1;
    if (!(columns * rows <= double(kMostCells)) && !std::isfinite(cell * 1.25)) {
      return false;
    }
    if (columns * rows <= double(kMostCells)) {
      grid->columns = int(columns);
      grid->rows = int(rows);
      break;
    }
    cell *= 1.25;
  }
  grid->x0 = min_x;
  grid->y0 = min_y;
  grid->cell = cell;
  grid->cells.assign(size_t(grid->columns) * size_t(grid->rows), GridCell());
  grid->gates.assign(grid->cells.size(), 0);
  return true;
}

void deviation_grid_add(DeviationGrid *grid, int64_t first_index, int64_t n, const double *x,
                        const double *y, const double *height) {
  // The cell of each point first; then each point's gate is fetched a few points ahead, so that
  // the misses of a grid larger than the caches overlap rather than follow one another.
  constexpr int64_t kAhead = 16;
  constexpr size_t kOutside = SIZE_MAX;
  const double scale = 1.0 / grid->cell;
  std::vector<size_t> &at = grid->scratch;
  at.resize(size_t(n));
  // (Within the grid a cell's column and row are not negative: truncation is their floor.)
  const double columns = grid->columns, rows = grid->rows;
  for (int64_t i = 0; i < n; ++i) {
    const double column = (x[i] - grid->x0) * scale;
    const double row = (y[i] - grid->y0) * scale;
    const bool inside = column >= 0 && column < columns && row >= 0 && row < rows;
    at[size_t(i)] = inside ? size_t(int64_t(row)) * size_t(grid->columns) + size_t(int64_t(column))
                           : kOutside;
  }
  GridCell *cells = grid->cells.data();
  uint16_t *gates = grid->gates.data();
  const double to_steps = kSteps / grid->range;
  for (int64_t i = 0; i < n; ++i) {
    if (i + kAhead < n && at[size_t(i + kAhead)] != kOutside) {
      __builtin_prefetch(&gates[at[size_t(i + kAhead)]], 1);
    }
    const size_t index = at[size_t(i)];
    if (index == kOutside) {
      continue;
    }
    const uint16_t key = key_of(first_index + i);
    uint16_t &gate = gates[index];
    const unsigned count = gate & kCountBits;
    const int kept = std::min<int>(int(count), kCellSamples);
    if (passes_gate(gate, key)) {
      gate = uint16_t(gate + (count < kCountBits ? 1 : 0));
      continue;  // the common case in a full cell: a key beyond those kept
    }
    GridCell &cell = cells[index];
    const double share = height[i] * to_steps;  // NaN never comes: empty points are outside
    const double clipped = share > kSteps ? kSteps : share < -kSteps ? -kSteps : share;
    const int16_t value = int16_t(clipped + (clipped < 0.0 ? -0.5 : 0.5));
    const auto before = [&](int slot) {
      return key < cell.keys[slot] || (key == cell.keys[slot] && value < cell.samples[slot]);
    };
    int slot = kept;
    if (slot == kCellSamples && before(kCellSamples - 1)) {
      slot = kCellSamples - 1;  // the largest kept gives way
    }
    if (slot < kCellSamples) {
      for (; slot > 0 && before(slot - 1); --slot) {
        cell.keys[slot] = cell.keys[slot - 1];
        cell.samples[slot] = cell.samples[slot - 1];
      }
      cell.keys[slot] = key;
      cell.samples[slot] = value;
    }
    const unsigned counted = count + (count < kCountBits ? 1 : 0);
    gate = uint16_t(counted >= unsigned(kCellSamples)
                        ? ((unsigned(cell.keys[kCellSamples - 1]) >> 8) << 8) | counted
                        : counted);
  }
}

double deviation_cell_median(const DeviationGrid &grid, int column, int row) {
  const size_t at = size_t(row) * size_t(grid.columns) + size_t(column);
  const GridCell &cell = grid.cells[at];
  const size_t kept = std::min<size_t>(grid.gates[at] & kCountBits, kCellSamples);
  if (kept == 0) {
    return NAN;
  }
  // At most five values: sorted by insertion.
  int16_t values[kCellSamples];
  for (size_t i = 0; i < kept; ++i) {
    size_t j = i;
    for (; j > 0 && values[j - 1] > cell.samples[i]; --j) {
      values[j] = values[j - 1];
    }
    values[j] = cell.samples[i];
  }
  const double steps = kept % 2 == 1
                           ? double(values[kept / 2])
                           : (double(values[kept / 2 - 1]) + double(values[kept / 2])) / 2.0;
  return steps / kSteps * grid.range;
}

void height_histogram_start(double range, int bins, HeightHistogram *histogram) {
  histogram->range = range;
  histogram->bins.assign(size_t(std::max(1, bins)), 0);
}

void height_histogram_add(HeightHistogram *histogram, int64_t n, const double *heights) {
  const double last = double(histogram->bins.size()) - 1.0;
  const double scale = double(histogram->bins.size()) / (2.0 * histogram->range);
  const double limit = histogram->limit > 0.0 ? histogram->limit : HUGE_VAL;
  uint64_t *bins = histogram->bins.data();
  for (int64_t i = 0; i < n; ++i) {
    if (!(std::fabs(heights[i]) <= limit)) {
      continue;  // beyond the limit, or NaN
    }
    const double place = (heights[i] + histogram->range) * scale;
    ++bins[size_t(place < 0.0 ? 0.0 : place > last ? last : place)];
  }
}

double robust_height_range(std::vector<double> heights) {
  if (heights.empty()) {
    return 1.0;
  }
  std::sort(heights.begin(), heights.end());
  const auto at = [&](double share) {
    return heights[size_t(share * double(heights.size() - 1) + 0.5)];
  };
  const double range = std::max(std::fabs(at(0.02)), std::fabs(at(0.98)));
  if (range > 0.0) {
    return range;
  }
  const double largest = std::max(std::fabs(heights.front()), std::fabs(heights.back()));
  return largest > 0.0 ? 1e-9 * largest : 1.0;
}

Rgb diverging_colour(double value) {
  const double clipped = std::min(1.0, std::max(-1.0, value == value ? value : 0.0));
  const double place = (clipped + 1.0) / 2.0 * (kScalePoints - 1);
  const int below = std::min(kScalePoints - 2, int(place));
  const double t = place - below;
  const Rgb &a = kCoolWarm[below], &b = kCoolWarm[below + 1];
  const auto mixed = [t](uint8_t from, uint8_t to) {
    return uint8_t(std::lround(double(from) + t * (double(to) - double(from))));
  };
  return {mixed(a.r, b.r), mixed(a.g, b.g), mixed(a.b, b.b)};
}

namespace {

// The ticks of both edges at one round step, spaced so that their labels stand apart.
void choose_ticks(const DeviationGrid &grid, DeviationMapLayout *at) {
  const double units_per_pixel = grid.cell / at->cell_pixels;
  const double width = grid.columns * grid.cell, height = grid.rows * grid.cell;
  const int map_bottom = at->map_y + grid.rows * at->cell_pixels;
  double step = round_length_at_least(kTickSpacing * units_per_pixel);
  for (int attempt = 0; attempt < kTickAttempts; ++attempt) {
    at->tick_step = step;
    at->x_ticks = edge_ticks(grid.x0, grid.x0 + width, step, at->map_x, 1.0 / units_per_pixel);
    at->y_ticks = edge_ticks(grid.y0, grid.y0 + height, step, map_bottom, -1.0 / units_per_pixel);
    int widest = 0;
    for (const MapTick &tick : at->x_ticks) {
      widest = std::max(widest, text_width(tick_label(tick.value, step), kTextScale));
    }
    const double needed = (widest + kTickSpacing / 4) * units_per_pixel;
    if (step >= needed) {
      return;
    }
    step = round_length_at_least(needed);
  }
}

// An arrow from (x, y), `length` pixels long, rightwards or upwards, with its head.
void draw_arrow(int x, int y, int length, bool up, RgbImage *image) {
  for (int i = 0; i < length; ++i) {
    image->fill(up ? x - 1 : x + i, up ? y - i : y - 1, up ? 3 : 1, up ? 1 : 3, kInk);
  }
  for (int i = 0; i < kArrowHead; ++i) {
    const int tip = length - 1 - kArrowHead + i;
    if (up) {
      image->fill(x - (kArrowHead - i), y - tip, 2 * (kArrowHead - i) + 1, 1, kInk);
    } else {
      image->fill(x + tip, y - (kArrowHead - i), 1, 2 * (kArrowHead - i) + 1, kInk);
    }
  }
}

}  // namespace

Rgb tolerance_colour(double height, double tolerance) {
  return height > tolerance    ? diverging_colour(1.0)
         : height < -tolerance ? diverging_colour(-1.0)
                               : kWithinTolerance;
}

ToleranceCounts tolerance_counts(const DeviationGrid &grid, double tolerance) {
  ToleranceCounts counts;
  for (int row = 0; row < grid.rows; ++row) {
    for (int column = 0; column < grid.columns; ++column) {
      const double median = deviation_cell_median(grid, column, row);
      if (median == median) {
        counts.above += median > tolerance ? 1 : 0;
        counts.below += median < -tolerance ? 1 : 0;
        counts.within += std::fabs(median) <= tolerance ? 1 : 0;
      }
    }
  }
  return counts;
}

namespace {

// The legend's line of class k (0 above, 1 within, 2 below) of a tolerance map.
std::string legend_line(const DeviationMapText &text, const ToleranceCounts &counts, int k) {
  const char *what[3] = {"ABOVE +", "WITHIN +-", "BELOW -"};
  const int64_t count[3] = {counts.above, counts.within, counts.below};
  const int64_t cells = counts.above + counts.within + counts.below;
  char share[32];
  std::snprintf(share, sizeof share, " (%.1f%%)",
                cells > 0 ? 100.0 * double(count[k]) / double(cells) : 0.0);
  char bound[32];
  std::snprintf(bound, sizeof bound, "%.3g", text.tolerance);
  return what[k] + std::string(bound) + ": " + std::to_string(count[k]) + " CELLS" + share;
}

// The legend of a tolerance map at (x, y): a swatch and its count for each class
// (at->counts).
void draw_tolerance_legend(const DeviationMapText &text, int x, int y, DeviationMapLayout *at,
                           RgbImage *image) {
  const ToleranceCounts &counts = at->counts;
  const Rgb colours[3] = {tolerance_colour(1.0, 0.0), kWithinTolerance,
                          tolerance_colour(-1.0, 0.0)};
  at->legend_x = x;
  for (int k = 0; k < 3; ++k) {
    at->legend_y[k] = y + k * (kSwatchPixels + kLineHeight);
    image->fill(x, at->legend_y[k], kSwatchPixels, kSwatchPixels, colours[k]);
    draw_text(legend_line(text, counts, k), x + kSwatchPixels + kTickGap,
              at->legend_y[k] + kSwatchPixels / 2 - kGlyphHeight * kTextScale / 2, kTextScale,
              kInk, image);
  }
}

}  // namespace

RgbImage render_deviation_map(const DeviationGrid &grid, const HeightHistogram &histogram,
                              double range, const DeviationMapText &text,
                              DeviationMapLayout *layout) {
  DeviationMapLayout at;
  const bool tolerance = text.tolerance > 0.0;
  if (tolerance) {
    at.counts = tolerance_counts(grid, text.tolerance);
  }
  // A cell's or a bar's colour for a height.
  const auto colour_of = [&](double height) {
    return tolerance ? tolerance_colour(height, text.tolerance) : diverging_colour(height / range);
  };
  at.map_y = kMargin + 2 * kLineHeight;
  at.cell_pixels = std::max(1, kMapWidthPixels / std::max(grid.columns, grid.rows));
  const int map_width = grid.columns * at.cell_pixels, map_height = grid.rows * at.cell_pixels;
  // The left edge's labels first: they set where the map begins.
  choose_ticks(grid, &at);
  int left_labels = 0;
  for (const MapTick &tick : at.y_ticks) {
    left_labels = std::max(left_labels, text_width(tick_label(tick.value, at.tick_step),
                                                   kTextScale));
  }
  at.map_x = kMargin + left_labels + kTickGap + kTickLength;
  for (MapTick &tick : at.x_ticks) {
    tick.pixel += at.map_x;
  }
  const int panel_x = at.map_x + map_width + 2 * kMargin;
  at.bar_x = panel_x;
  at.bar_y = at.map_y + 2 * kLineHeight;
  at.bar_width = kBarWidth;
  at.bar_height = kBarHeight;
  at.histogram_x = panel_x;
  at.histogram_y = at.bar_y + kBarHeight + 3 * kLineHeight;
  at.histogram_width = kHistogramWidth;
  at.histogram_height = kHistogramHeight;
  // Below the map: its bottom edge's labels, then the directions and the scale bar.
  const int labels_y = at.map_y + map_height + 1 + kTickLength + kTickGap;
  const int band_y = labels_y + kLineHeight + kMargin;
  at.up_x = at.map_x + kArrowHead + 1;
  at.up_y = band_y;
  const int origin_y = band_y + kArrowLength;
  const int x_label_x = at.up_x + kArrowLength + kTickGap;
  const double units_per_pixel = grid.cell / at.cell_pixels;
  at.scale_bar_length = round_length_at_most(kScaleBarPixels * units_per_pixel);
  at.scale_bar_pixels = int(std::lround(at.scale_bar_length / units_per_pixel));
  at.scale_bar_x = x_label_x + text_width("+X", kTextScale) + 3 * kMargin;
  at.scale_bar_y = origin_y - kScaleBarThickness;
  const std::string scale_label =
      tick_label(at.scale_bar_length, at.scale_bar_length) + " " + text.length_unit;
  const int scale_label_x = at.scale_bar_x + at.scale_bar_pixels + kTickGap * 2;

  const std::string bar_title = (tolerance ? "TOLERANCE (" : "HEIGHT (") + text.height_unit + ")";
  int legend_width = 0;
  for (int k = 0; k < 3 && tolerance; ++k) {
    legend_width = std::max(legend_width, kSwatchPixels + kTickGap +
                                              text_width(legend_line(text, at.counts, k),
                                                         kTextScale));
  }
  const int panel_width = std::max({kHistogramWidth, kBarWidth + kLabelWidth,
                                    text_width(bar_title, kTextScale), legend_width});
  const int width = std::max({panel_x + panel_width + kMargin,
                              kMargin * 2 + text_width(text.title, kTextScale),
                              scale_label_x + text_width(scale_label, kTextScale) + kMargin});
  const int height = std::max(origin_y + kLineHeight, at.histogram_y + kHistogramHeight +
                                                          2 * kLineHeight) + kMargin;
  RgbImage image(width, height, kMapBackground);
  draw_text(text.title, kMargin, kMargin, kTextScale, kInk, &image);

  // The grid, +y up, framed, with its ticks and their coordinates.
  for (int row = 0; row < grid.rows; ++row) {
    for (int column = 0; column < grid.columns; ++column) {
      const double median = deviation_cell_median(grid, column, row);
      if (median == median) {
        image.fill(at.map_x + column * at.cell_pixels,
                   at.map_y + (grid.rows - 1 - row) * at.cell_pixels, at.cell_pixels,
                   at.cell_pixels, colour_of(median));
      }
    }
  }
  image.fill(at.map_x - 1, at.map_y - 1, map_width + 2, 1, kFrame);
  image.fill(at.map_x - 1, at.map_y + map_height, map_width + 2, 1, kFrame);
  image.fill(at.map_x - 1, at.map_y - 1, 1, map_height + 2, kFrame);
  image.fill(at.map_x + map_width, at.map_y - 1, 1, map_height + 2, kFrame);
  const int label_half = kGlyphHeight * kTextScale / 2;
  for (const MapTick &tick : at.x_ticks) {
    image.fill(tick.pixel, at.map_y + map_height + 1, 1, kTickLength, kInk);
    const std::string label = tick_label(tick.value, at.tick_step);
    draw_text(label, tick.pixel - text_width(label, kTextScale) / 2, labels_y, kTextScale, kInk,
              &image);
  }
  for (const MapTick &tick : at.y_ticks) {
    image.fill(at.map_x - 1 - kTickLength, tick.pixel, kTickLength, 1, kInk);
    const std::string label = tick_label(tick.value, at.tick_step);
    draw_text(label, at.map_x - 1 - kTickLength - kTickGap - text_width(label, kTextScale),
              tick.pixel - label_half, kTextScale, kInk, &image);
  }

  // The directions of +x and +y, and the scale bar with its end marks and length.
  draw_arrow(at.up_x, origin_y, kArrowLength, true, &image);
  draw_arrow(at.up_x, origin_y, kArrowLength, false, &image);
  draw_text("+Y", at.up_x + kArrowHead + kTickGap, at.up_y, kTextScale, kInk, &image);
  draw_text("+X", x_label_x, origin_y - kArrowHead - 2 * label_half - kTickGap, kTextScale, kInk,
            &image);
  image.fill(at.scale_bar_x, at.scale_bar_y, at.scale_bar_pixels, kScaleBarThickness, kInk);
  image.fill(at.scale_bar_x, at.scale_bar_y - kTickLength, 1, kTickLength, kInk);
  image.fill(at.scale_bar_x + at.scale_bar_pixels - 1, at.scale_bar_y - kTickLength, 1,
             kTickLength, kInk);
  draw_text(scale_label, scale_label_x, origin_y - kScaleBarThickness / 2 - label_half,
            kTextScale, kInk, &image);

  // The colour bar, +range at the top, with its values and unit (or the tolerance's legend).
  draw_text(bar_title, panel_x, at.map_y, kTextScale, kInk, &image);
  if (tolerance) {
    draw_tolerance_legend(text, at.bar_x, at.bar_y, &at, &image);
  }
  for (int y = 0; y < kBarHeight && !tolerance; ++y) {
    const double value = 1.0 - 2.0 * (y + 0.5) / kBarHeight;
    image.fill(at.bar_x, at.bar_y + y, kBarWidth, 1, diverging_colour(value));
  }
  for (int tick = 0; tick <= 4 && !tolerance; ++tick) {
    const int y = at.bar_y + tick * (kBarHeight - 1) / 4;
    image.fill(at.bar_x + kBarWidth, y, 6, 1, kInk);
    draw_text(number_label(range * (1.0 - tick / 2.0)), at.bar_x + kBarWidth + 10,
              y - label_half, kTextScale, kInk, &image);
  }
  // The histogram of the heights, -range at the left.
  draw_text("INLIERS BY HEIGHT", panel_x, at.histogram_y - kLineHeight - 4, kTextScale, kInk,
            &image);
  const uint64_t most =
      histogram.bins.empty() ? 0 : *std::max_element(histogram.bins.begin(), histogram.bins.end());
  const int bins = int(histogram.bins.size());
  for (int b = 0; b < bins && most > 0; ++b) {
    const int left = at.histogram_x + b * kHistogramWidth / bins;
    const int right = at.histogram_x + (b + 1) * kHistogramWidth / bins;
    const int tall = int(std::lround(double(histogram.bins[size_t(b)]) / double(most) *
                                     kHistogramHeight));
    const double middle = (-1.0 + 2.0 * (b + 0.5) / bins) * histogram.range;
    image.fill(left, at.histogram_y + kHistogramHeight - tall, std::max(1, right - left), tall,
               colour_of(middle));
  }
  image.fill(at.histogram_x, at.histogram_y + kHistogramHeight, kHistogramWidth, 1, kBars);
  draw_text(number_label(-histogram.range), at.histogram_x,
            at.histogram_y + kHistogramHeight + 6, kTextScale, kInk, &image);
  const std::string top = number_label(histogram.range);
  draw_text(top, at.histogram_x + kHistogramWidth - text_width(top, kTextScale),
            at.histogram_y + kHistogramHeight + 6, kTextScale, kInk, &image);
  if (layout != nullptr) {
    *layout = at;
  }
  return image;
}

}  // namespace levelling
