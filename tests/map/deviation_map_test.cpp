// The deviation map as a reader sees it: a slab with a bump, a dip and a hole drawn, written as
// PNG and read back.
#include "map/deviation_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

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
  const RgbImage drawn = render_deviation_map(grid, histogram, range, "a slab", "m", &layout);
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

}  // namespace
}  // namespace levelling
