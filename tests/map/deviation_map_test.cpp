// The deviation map as a reader sees it: a slab with a bump, a dip and a hole drawn, written as
// PNG and read back.
#include "map/deviation_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "map/bitmap_font.h"
#include "map/png_file.h"

namespace levelling {
namespace {

TEST(DeviationMapTest, ABumpADipAndAHoleShowWhereTheyAre) {
  // A slab 10 x 6 with 1 mm of noise, a bump 5 cm up around (2.5, 3), a dip 5 cm down around
  // (6, 4), and no points over [7, 8] x [1, 2].
  std::mt19937_64 random(3);
  std::normal_distribution<double> noise(0.0, 0.001);
  std::vector<double> x, y, height, inliers;
  for (double px = 0.0; px <= 10.0; px += 0.05) {
    for (double py = 0.0; py <= 6.0; py += 0.05) {
      if (px >= 7.0 && px <= 8.0 && py >= 1.0 && py <= 2.0) {
        continue;
      }
      double h = noise(random);
      h += std::hypot(px - 2.5, py - 3.0) < 0.5 ? 0.05 : 0.0;
      h -= std::hypot(px - 6.0, py - 4.0) < 0.5 ? 0.05 : 0.0;
      x.push_back(px);
      y.push_back(py);
      height.push_back(h);
      if (std::fabs(h) <= 0.003) {
        inliers.push_back(h);
      }
    }
  }
  const double range = robust_height_range(inliers);
  EXPECT_NEAR(0.002, range, 3e-4);  // about two deviations: the bump and dip are far beyond
  DeviationGrid grid;
  ASSERT_TRUE(deviation_grid_start(0.0, 0.0, 10.0, 6.0, 0.1, range, &grid));
  EXPECT_EQ(101, grid.columns);
  EXPECT_EQ(61, grid.rows);
  deviation_grid_add(&grid, 0, int64_t(x.size()), x.data(), y.data(), height.data());
  // The inliers' histogram over their band: its mode is the bin about 0.
  HeightHistogram histogram;
  height_histogram_start(0.003, 61, &histogram);
  height_histogram_add(&histogram, int64_t(inliers.size()), inliers.data());
  size_t mode = 0;
  for (size_t b = 1; b < histogram.bins.size(); ++b) {
    mode = histogram.bins[b] > histogram.bins[mode] ? b : mode;
  }
  EXPECT_NEAR(30.0, double(mode), 1.0);
  // With a limit, heights beyond it are no inliers: the bump and dip are not counted.
  HeightHistogram limited;
  height_histogram_start(0.003, 61, &limited);
  limited.limit = 0.003;
  height_histogram_add(&limited, int64_t(height.size()), height.data());
  uint64_t counted = 0;
  for (uint64_t bin : limited.bins) {
    counted += bin;
  }
  EXPECT_EQ(inliers.size(), counted);

  DeviationMapLayout layout;
  const RgbImage drawn =
      render_deviation_map(grid, histogram, range, {"a slab", "metres", "m"}, &layout);
  std::FILE *file = std::tmpfile();
  std::string error;
  ASSERT_TRUE(write_png(drawn, file, &error)) << error;
  std::rewind(file);
  RgbImage image(1, 1, Rgb());
  ASSERT_TRUE(read_png(file, &image, &error)) << error;
  std::fclose(file);
  ASSERT_EQ(drawn.width, image.width);
  // The colour at the cell of (px, py): north up, one pixel a cell.
  const auto colour_at = [&](double px, double py) {
    const int column = int(std::floor(px / grid.cell));
    const int row = int(std::floor(py / grid.cell));
    return image.at(layout.map_x + column * layout.cell_pixels,
                    layout.map_y + (grid.rows - 1 - row) * layout.cell_pixels);
  };
  EXPECT_EQ(diverging_colour(1.0), colour_at(2.52, 3.03));    // the bump: the warm end
  EXPECT_EQ(diverging_colour(-1.0), colour_at(6.03, 4.02));   // the dip: the cool end
  EXPECT_EQ(kMapBackground, colour_at(7.5, 1.5));             // the hole: blank
  const Rgb flat = colour_at(9.0, 5.5);                       // the slab: near the middle grey
  EXPECT_LT(std::abs(int(flat.r) - int(flat.b)), 140) << int(flat.r) << " " << int(flat.b);
  EXPECT_NE(kMapBackground, flat);
  // The colour bar: warm at its top, cool at its bottom.
  const Rgb top = image.at(layout.bar_x + 2, layout.bar_y + 1);
  const Rgb bottom = image.at(layout.bar_x + 2, layout.bar_y + layout.bar_height - 2);
  EXPECT_GT(top.r, top.b);
  EXPECT_GT(bottom.b, bottom.r);
}

TEST(DeviationMapTest, CellsTakeTheMedianOfTheirHeights) {
  DeviationGrid grid;
  ASSERT_TRUE(deviation_grid_start(0.0, 0.0, 1.0, 1.0, 1.0, 1000.0, &grid));
  const double x[] = {0.2, 0.3, 0.4}, y[] = {0.2, 0.3, 0.4}, h[] = {1.0, 5.0, 2.0};
  deviation_grid_add(&grid, 0, 3, x, y, h);
  EXPECT_NEAR(2.0, deviation_cell_median(grid, 0, 0), 1000.0 / 32767);
  EXPECT_TRUE(std::isnan(deviation_cell_median(grid, 1, 1)));
  // An even count: the mean of the middle two.
  DeviationGrid even;
  ASSERT_TRUE(deviation_grid_start(0.0, 0.0, 1.0, 1.0, 1.0, 1000.0, &even));
  const double ex[] = {0.1, 0.2, 0.3, 0.4}, ey[] = {0.1, 0.2, 0.3, 0.4}, eh[] = {8.0, 1.0, 4.0, 2.0};
  deviation_grid_add(&even, 0, 4, ex, ey, eh);
  EXPECT_NEAR(3.0, deviation_cell_median(even, 0, 0), 1000.0 / 32767);
  // Many heights in one cell: memory stays kCellSamples a cell, the median stays in the middle.
  std::vector<double> many_x(10001, 1.5), many_y(10001, 1.5), many_h(10001);
  for (size_t i = 0; i < many_h.size(); ++i) {
    many_h[i] = i % 2 == 0 ? 0.0 : 100.0 * double(i % 7);
  }
  deviation_grid_add(&grid, 0, int64_t(many_h.size()), many_x.data(), many_y.data(), many_h.data());
  EXPECT_EQ(4u, grid.cells.size());
  EXPECT_GE(deviation_cell_median(grid, 1, 1), 0.0);
  EXPECT_LE(deviation_cell_median(grid, 1, 1), 600.0);
  // A grid that would be too fine is made coarser; an empty extent has none.
  EXPECT_TRUE(deviation_grid_start(0.0, 0.0, 1e6, 1e6, 1e-3, 1.0, &grid));
  EXPECT_LE(size_t(grid.columns) * size_t(grid.rows), kMostCells);
  EXPECT_FALSE(deviation_grid_start(0.0, 0.0, NAN, 1.0, 0.0, 1.0, &grid));
  EXPECT_FALSE(deviation_grid_start(0.0, 0.0, 1.0, 1.0, 0.0, 0.0, &grid));
}

// Whether `value` is 1, 2 or 5 times a power of ten.
bool is_round(double value) {
  const double mantissa = value / std::pow(10.0, std::floor(std::log10(value)));
  return std::fabs(mantissa - 1.0) < 1e-9 || std::fabs(mantissa - 2.0) < 1e-9 ||
         std::fabs(mantissa - 5.0) < 1e-9;
}

bool is_ink(const RgbImage &image, int x, int y) { return image.at(x, y) == Rgb{0, 0, 0}; }

// Whether `label` is drawn at (x, y): its glyphs' pixels ink, those around them not.
bool shows_label(const RgbImage &image, const std::string &label, int x, int y) {
  const int width = text_width(label, 2), height = kGlyphHeight * 2;
  RgbImage expected(x + width + 1, y + height + 1, kMapBackground);
  draw_text(label, x, y, 2, Rgb{0, 0, 0}, &expected);
  for (int row = y; row < y + height; ++row) {
    for (int column = std::max(0, x); column < x + width; ++column) {
      if (is_ink(expected, column, row) != is_ink(image, column, row)) {
        return false;
      }
    }
  }
  return true;
}

TEST(DeviationMapTest, TicksAndTheScaleBarMeasureTheMapInThePicture) {
  // An aerial tile's extent in feet, far from the origin: cells of 0.75 ft, 3 pixels each.
  DeviationGrid grid;
  ASSERT_TRUE(deviation_grid_start(636123.4, 849012.6, 636423.4, 849112.6, 0.75, 1.0, &grid));
  const double x[] = {636200.0}, y[] = {849050.0}, h[] = {0.5};
  deviation_grid_add(&grid, 0, 1, x, y, h);
  HeightHistogram histogram;
  height_histogram_start(1.0, 10, &histogram);
  DeviationMapLayout at;
  const RgbImage image = render_deviation_map(grid, histogram, 1.0, {"a tile", "feet", "ft"}, &at);
  const double feet_per_pixel = grid.cell / at.cell_pixels;
  const int map_bottom = at.map_y + grid.rows * at.cell_pixels;
  // The scale bar: a round length, as long in pixels as the cells it spans, labelled.
  ASSERT_TRUE(is_round(at.scale_bar_length));
  int bar = 0;
  while (is_ink(image, at.scale_bar_x + bar, at.scale_bar_y + 2)) {
    ++bar;
  }
  EXPECT_NEAR(at.scale_bar_length, bar * feet_per_pixel, feet_per_pixel);
  EXPECT_GE(bar, 80);
  std::string length = std::to_string(int(at.scale_bar_length)) + " FT";
  int label_x = at.scale_bar_x + bar;
  while (label_x < image.width && !shows_label(image, length, label_x, at.scale_bar_y - 4)) {
    ++label_x;
  }
  EXPECT_LT(label_x, at.scale_bar_x + bar + 20) << "no label " << length;
  // The bottom edge's ticks, found in the picture: at round coordinates, labelled with them.
  ASSERT_TRUE(is_round(at.tick_step));
  std::vector<int> found;
  for (int column = at.map_x; column < at.map_x + grid.columns * at.cell_pixels; ++column) {
    if (is_ink(image, column, map_bottom + 3)) {
      found.push_back(column);
    }
  }
  ASSERT_GE(found.size(), 2u);
  ASSERT_EQ(at.x_ticks.size(), found.size());
  for (size_t t = 0; t < found.size(); ++t) {
    const double coordinate = grid.x0 + (found[t] + 0.5 - at.map_x) * feet_per_pixel;
    const double value = at.x_ticks[t].value;
    EXPECT_NEAR(value, coordinate, feet_per_pixel);
    EXPECT_NEAR(0.0, std::remainder(value, at.tick_step), 1e-6);
    const std::string label = std::to_string(int(value));
    const int label_y = map_bottom + 1 + 6 + 4;
    EXPECT_TRUE(shows_label(image, label, found[t] - text_width(label, 2) / 2, label_y))
        << label;
  }
  // The left edge's: the same step, +y up.
  found.clear();
  for (int row = map_bottom; row >= at.map_y; --row) {
    if (is_ink(image, at.map_x - 4, row)) {
      found.push_back(row);
    }
  }
  ASSERT_EQ(at.y_ticks.size(), found.size());
  ASSERT_GE(found.size(), 1u);
  for (size_t t = 0; t < found.size(); ++t) {
    EXPECT_NEAR(at.y_ticks[t].value, grid.y0 + (map_bottom - found[t] - 0.5) * feet_per_pixel,
                feet_per_pixel);
  }
  EXPECT_TRUE(is_ink(image, at.up_x, at.up_y + 1));  // the +y arrow's tip
  EXPECT_TRUE(shows_label(image, "+Y", at.up_x + 9, at.up_y));
}

// The colour bar's five values, from +range at its top to -range at its bottom, each drawn
// beside its tick with the digits a reader needs.
TEST(DeviationMapTest, TheColourBarIsLabelledWithItsValues) {
  DeviationGrid grid;
  ASSERT_TRUE(deviation_grid_start(0.0, 0.0, 10.0, 10.0, 0.5, 0.125, &grid));
  HeightHistogram histogram;
  height_histogram_start(0.125, 10, &histogram);
  DeviationMapLayout at;
  const RgbImage image =
      render_deviation_map(grid, histogram, 0.125, {"a floor", "metres", "m"}, &at);
  const char *const labels[] = {"+0.125", "+0.0625", "+0", "-0.0625", "-0.125"};
  for (int tick = 0; tick <= 4; ++tick) {
    const int y = at.bar_y + tick * (at.bar_height - 1) / 4;
    bool shown = false;
    for (int x = at.bar_x + at.bar_width; x < at.bar_x + at.bar_width + 30 && !shown; ++x) {
      for (int top = y - kGlyphHeight * 2; top <= y && !shown; ++top) {
        shown = shows_label(image, labels[tick], x, top);
      }
    }
    EXPECT_TRUE(shown) << labels[tick];
  }
}

TEST(DeviationMapTest, AToleranceMapShowsWhereAFloorFailsAndCountsIt) {
  // A floor 10 x 10 at 0 with a bump of 8 mm over [2, 4] x [2, 4] and a dip of 8 mm over
  // [6, 7] x [6, 9], against +-5 mm: 4 and 3 square metres beyond, of 100 (cells of 0.5).
  std::vector<double> x, y, height;
  for (double px = 0.125; px < 10.0; px += 0.25) {
    for (double py = 0.125; py < 10.0; py += 0.25) {
      const bool bump = px >= 2 && px < 4 && py >= 2 && py < 4;
      const bool dip = px >= 6 && px < 7 && py >= 6 && py < 9;
      x.push_back(px);
      y.push_back(py);
      height.push_back(bump ? 0.008 : dip ? -0.008 : 0.001);
    }
  }
  DeviationGrid grid;
  ASSERT_TRUE(deviation_grid_start(0.0, 0.0, 9.99, 9.99, 0.5, 0.02, &grid));
  deviation_grid_add(&grid, 0, int64_t(x.size()), x.data(), y.data(), height.data());
  HeightHistogram histogram;
  height_histogram_start(0.02, 21, &histogram);
  height_histogram_add(&histogram, int64_t(height.size()), height.data());
  DeviationMapText text{"a floor", "metres", "m"};
  text.tolerance = 0.005;
  DeviationMapLayout at;
  const RgbImage image = render_deviation_map(grid, histogram, 0.02, text, &at);
  EXPECT_EQ(16, at.counts.above);
  EXPECT_EQ(12, at.counts.below);
  EXPECT_EQ(400 - 28, at.counts.within);
  const auto colour_at = [&](double px, double py) {
    return image.at(at.map_x + int(px / grid.cell) * at.cell_pixels,
                    at.map_y + (grid.rows - 1 - int(py / grid.cell)) * at.cell_pixels);
  };
  EXPECT_EQ(tolerance_colour(1.0, 0.0), colour_at(3, 3));
  EXPECT_EQ(tolerance_colour(-1.0, 0.0), colour_at(6.5, 8));
  EXPECT_EQ(kWithinTolerance, colour_at(8, 2));
  EXPECT_NE(tolerance_colour(1.0, 0.0), kWithinTolerance);
  EXPECT_NE(tolerance_colour(-1.0, 0.0), kWithinTolerance);
  // The legend: a swatch of each colour, labelled with its count and share.
  EXPECT_EQ(tolerance_colour(1.0, 0.0), image.at(at.legend_x + 2, at.legend_y[0] + 2));
  EXPECT_EQ(kWithinTolerance, image.at(at.legend_x + 2, at.legend_y[1] + 2));
  EXPECT_EQ(tolerance_colour(-1.0, 0.0), image.at(at.legend_x + 2, at.legend_y[2] + 2));
  const char *const lines[] = {"ABOVE +0.005: 16 CELLS (4.0%)", "WITHIN +-0.005: 372 CELLS (93.0%)",
                               "BELOW -0.005: 12 CELLS (3.0%)"};
  for (int k = 0; k < 3; ++k) {
    bool shown = false;
    for (int top = at.legend_y[k]; top < at.legend_y[k] + kSwatchPixels && !shown; ++top) {
      shown = shows_label(image, lines[k], at.legend_x + kSwatchPixels + 4, top);
    }
    EXPECT_TRUE(shown) << lines[k];
  }
}

TEST(DeviationMapTest, RoundLengthsAndTicksStayBoundedAnywhere) {
  const struct {
    double length, at_least, at_most;
  } lengths[] = {{3.0, 5.0, 2.0}, {0.0137, 0.02, 0.01}, {200.0, 200.0, 200.0}, {7e9, 1e10, 5e9},
                 {-1.0, 1.0, 1.0}, {NAN, 1.0, 1.0}};
  for (const auto &each : lengths) {
    EXPECT_DOUBLE_EQ(each.at_least, round_length_at_least(each.length)) << each.length;
    EXPECT_DOUBLE_EQ(each.at_most, round_length_at_most(each.length)) << each.length;
  }
  EXPECT_EQ("-0.50", tick_label(-0.5, 0.01));
  EXPECT_EQ("0", tick_label(-1e-12, 100.0));
  // Far from the origin, where a step is below a double's spacing: a bounded list, ascending.
  const std::vector<MapTick> far = edge_ticks(1e20, 1e20 + 1e5, 1.0, 0.0, 1e-3);
  EXPECT_LE(far.size(), size_t(kMostTicks) + 1);
  for (size_t t = 1; t < far.size(); ++t) {
    EXPECT_GT(far[t].value, far[t - 1].value);
  }
  EXPECT_TRUE(edge_ticks(0.0, 1e9, 1.0, 0.0, 1.0).empty());  // too many to draw
  // A grid there is drawn, with labels that fit beside it.
  DeviationGrid grid;
  ASSERT_TRUE(deviation_grid_start(1e17, -1e17, 1e17 + 4096, -1e17 + 4096, 0.0, 1.0, &grid));
  HeightHistogram histogram;
  height_histogram_start(1.0, 10, &histogram);
  DeviationMapLayout at;
  const RgbImage image = render_deviation_map(grid, histogram, 1.0, {"far", "metres", "m"}, &at);
  EXPECT_GT(at.map_x, text_width("-100000000000000000", 2));
  EXPECT_LT(at.scale_bar_x + at.scale_bar_pixels, image.width);
}

}  // namespace
}  // namespace levelling
