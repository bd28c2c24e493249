// A deviation map: the heights of a levelled cloud above its plane, seen from above, cell by
// cell, as a picture with a colour bar and a histogram of the heights. Memory is bounded by the
// grid (a few heights a cell), whatever the cloud's size.
#ifndef LEVELLING_MAP_DEVIATION_MAP_H
#define LEVELLING_MAP_DEVIATION_MAP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "map/map_axes.h"
#include "map/rgb_image.h"

namespace levelling {

// Heights kept a cell (those of the smallest keys), whose median is the cell's.
constexpr int kCellSamples = 5;
// The default grid is this many cells across its larger side, drawn kMapWidthPixels wide (a
// cell a square of pixels): most points look only at a cell's 2-byte gate, and those gates fit
// in a processor's cache, so that the points of a cloud in any order fill the grid fast. No grid
// holds more than kMostCells cells.
constexpr int kMapWidthCells = 400;
constexpr int kMapWidthPixels = 1200;
constexpr size_t kMostCells = size_t(3) << 20;

// One cell's sample of its heights, each as a share of the grid's range clipped to [-1, 1] in
// steps of 1/32767 (what a colour scale over that range can show): those of the kCellSamples
// smallest keys, a hash of each point's index in the whole cloud, so that the sample is the
// same in whatever order the points come (files side by side).
struct GridCell {
  uint16_t keys[kCellSamples] = {};  // of the kept heights, ascending (ties by height)
  int16_t samples[kCellSamples] = {};
};

struct DeviationGrid {
  double x0 = 0.0, y0 = 0.0;  // the corner of cell (0, 0): least x, least y
  double cell = 1.0;          // the cells' side, in the cloud's units
  double range = 1.0;         // heights are kept to +-range
  int columns = 0, rows = 0;  // x across, y up
  // Row after row, each cell's count of heights (up to 255) in the low 8 bits of its gate and,
  // once it keeps kCellSamples, the top 8 bits of the largest key kept in the high 8: a point
  // whose key is beyond those touches only the gates (2 bytes a cell, which a core's cache
  // holds), not the cell.
  std::vector<uint16_t> gates;
  std::vector<GridCell> cells;
  std::vector<size_t> scratch;  // the cells of the points being added
};

// Starts a grid over [min_x, max_x] x [min_y, max_y] with cells `cell` wide (0: the extent's
// larger side over kMapWidthCells), made coarser while it would hold more than kMostCells
// cells, keeping heights to +-range (beyond, they count as +-range). False for an extent that
// is empty or not finite (or whose sides are beyond a double), a negative or infinite cell or a
// range that is not positive.
bool deviation_grid_start(double min_x, double min_y, double max_x, double max_y, double cell,
                          double range, DeviationGrid *grid);

// Adds the heights of n points at (x[i], y[i]), of indices first_index + i in the whole cloud;
// a point outside the grid is passed over. The grid is the same whatever the order in which
// points are added.
void deviation_grid_add(DeviationGrid *grid, int64_t first_index, int64_t n, const double *x,
                        const double *y, const double *height);

// The median of a cell's heights (of its kept sample when it has more, clipped to the grid's
// range); NaN when it has none.
double deviation_cell_median(const DeviationGrid &grid, int column, int row);

// Counts of heights in equal bins over [-range, range]; heights beyond fall in the end bins,
// heights beyond `limit` (when positive) and NaN are not counted.
struct HeightHistogram {
  double range = 1.0;
  double limit = 0.0;
  std::vector<uint64_t> bins;
};
void height_histogram_start(double range, int bins, HeightHistogram *histogram);
void height_histogram_add(HeightHistogram *histogram, int64_t n, const double *heights);

// The range a colour scale of these heights spans: the larger magnitude of their 2nd and 98th
// percentiles (symmetric about 0); 1e-9 of the largest magnitude, or 1, when that is 0.
double robust_height_range(std::vector<double> heights);

// The diverging colour of `value` in [-1, 1] (clipped): Moreland's cool-warm scale, blue below,
// grey at 0, red above, perceptually uniform in lightness from the ends to the middle.
Rgb diverging_colour(double value);

// A tolerance map's colours: cells within +-tolerance of the plane pass; beyond, above or
// below (the ends of the diverging scale, so that a map with and one without a tolerance read
// alike).
constexpr Rgb kWithinTolerance = {120, 190, 110};
Rgb tolerance_colour(double height, double tolerance);

// The cells with points of a grid by their median against a tolerance.
struct ToleranceCounts {
  int64_t within = 0, above = 0, below = 0;
};
ToleranceCounts tolerance_counts(const DeviationGrid &grid, double tolerance);

// The background, also of cells without points.
constexpr Rgb kMapBackground = {255, 255, 255};

// Where a map's parts are drawn, for a reader of the picture.
struct DeviationMapLayout {
  int map_x = 0, map_y = 0;  // the top left pixel of the grid (+y up)
  int cell_pixels = 1;       // the side of a cell's square of pixels
  int bar_x = 0, bar_y = 0, bar_width = 0, bar_height = 0;  // the colour bar, +range at top
  int histogram_x = 0, histogram_y = 0, histogram_width = 0, histogram_height = 0;
  // The ticks of the bottom edge (pixel columns, x) and of the left edge (pixel rows, y), at
  // multiples of tick_step, each labelled with its coordinate beside the edge.
  std::vector<MapTick> x_ticks, y_ticks;
  double tick_step = 0.0;
  // The scale bar: scale_bar_pixels long from (scale_bar_x, scale_bar_y), scale_bar_length in
  // the cloud's units, labelled with its length and unit.
  int scale_bar_x = 0, scale_bar_y = 0, scale_bar_pixels = 0;
  double scale_bar_length = 0.0;
  int up_x = 0, up_y = 0;  // the tip of the arrow marked +Y
  // With a tolerance: the legend's swatches (above, within, below) in place of the colour bar,
  // each kSwatchPixels square from (legend_x, legend_y[k]), and the cells counted.
  int legend_x = 0, legend_y[3] = {};
  ToleranceCounts counts;
};

constexpr int kSwatchPixels = 24;

// What a map says in words: its title and its units.
struct DeviationMapText {
  std::string title;
  std::string height_unit = "cloud units";  // the colour bar's, in full
  std::string length_unit = "units";        // the scale bar's, short ("m", "ft")
  // Heights within +-tolerance of the plane (cloud units) pass: the cells are coloured by
  // tolerance_colour and the legend counts them (0: the diverging scale and its colour bar).
  double tolerance = 0.0;
};

// The picture: a title line, the grid from above (+y up; a cell's colour its median height
// over `range`, blank cells white) with ticks at round coordinates on its bottom and left
// edges, the +x and +y directions and a scale bar of a round length below it, the colour bar
// labelled in the height unit from -range to +range, and the histogram over its own range, its
// bars coloured as the map. With a tolerance, the cells and bars take its three colours and a
// legend of them with the cells' counts and shares replaces the colour bar. *layout (when
// given) says where each part is.
RgbImage render_deviation_map(const DeviationGrid &grid, const HeightHistogram &histogram,
                              double range, const DeviationMapText &text,
                              DeviationMapLayout *layout = nullptr);

}  // namespace levelling

#endif
