// A PTX scan's header (Leica's text scans): its columns and rows, the scanner's registered
// position and axes, and the 4 x 4 transform of its points into the world, ten lines:
//   columns / rows / position (3) / axis x, y, z (3 each) / transform rows (4 each)
// A point [x y z] of the scan lies at [x y z 1] * transform in the world (the last row is the
// translation). Internal to formats/.
#ifndef LEVELLING_FORMATS_PTX_PTX_SCAN_H
#define LEVELLING_FORMATS_PTX_PTX_SCAN_H

#include <cstdint>
#include <string>
#include <string_view>

namespace levelling {

constexpr int kPtxHeaderLines = 10;

struct PtxScan {
  int64_t columns = 0, rows = 0;
  double position[3] = {0, 0, 0};
  double axes[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  double transform[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
};

// Reads header line `index` (0 to 9) of a scan into *scan. False with *message (without the
// line's number) when the line does not hold the numbers that line holds: two non-negative
// integers first, then three numbers a line, then four; every number finite.
bool read_ptx_header_line(std::string_view line, int index, PtxScan *scan, std::string *message);

// The scan's points: columns times rows, or -1 when that overflows 63 bits.
int64_t ptx_point_count(const PtxScan &scan);

// Moves the point (scan coordinates) into the world by the scan's transform.
void ptx_to_world(const PtxScan &scan, const double local[3], double world[3]);

// The scan with a rigid motion (a 4 x 4 matrix, column vectors, last row 0 0 0 1) applied after
// its transform: the position moved, the axes turned, the transform composed, so that each
// point's world position is moved by the motion while its line stays as it was.
PtxScan moved_ptx_scan(const PtxScan &scan, const double (*motion)[4]);

// The ten header lines of the scan, each number the shortest that reads back to it, each line
// ended by `line_end` ("\n", or "\r\n" as the input's lines end).
std::string ptx_header_text(const PtxScan &scan, const char *line_end = "\n");

}  // namespace levelling

#endif
