#include "formats/ptx/ptx_scan.h"

#include <cmath>
#include <vector>

#include "formats/core/number_text.h"
#include "formats/core/stream_support.h"

namespace levelling {

namespace {

// The numbers on each header line.
constexpr int kNumbersOn[kPtxHeaderLines] = {1, 1, 3, 3, 3, 3, 4, 4, 4, 4};

}  // namespace

bool read_ptx_header_line(std::string_view line, int index, PtxScan *scan, std::string *message) {
  std::vector<std::pair<size_t, size_t>> tokens;
  split_tokens(line, &tokens);
  const int want = kNumbersOn[index];
  if (int(tokens.size()) != want) {
    *message = "a PTX scan's header line " + std::to_string(index + 1) + " holds " +
               std::to_string(want) + (want == 1 ? " number" : " numbers") + ", not " +
               std::to_string(tokens.size());
    return false;
  }
  double values[4];
  for (int k = 0; k < want; ++k) {
    const std::string_view token = line.substr(tokens[size_t(k)].first,
                                               tokens[size_t(k)].second - tokens[size_t(k)].first);
    if (index < 2) {
      int64_t count = 0;
      if (!parse_integer(token, &count) || count < 0) {
        *message = std::string("a PTX scan's ") + (index == 0 ? "column" : "row") +
                   " count that is no count: '" + std::string(token) + "'";
        return false;
      }
      (index == 0 ? scan->columns : scan->rows) = count;
      return true;
    }
    if (!parse_number(token, &values[k]) || !std::isfinite(values[k])) {
      *message = "a PTX scan's header line " + std::to_string(index + 1) +
                 " holds what is no finite number: '" + std::string(token) + "'";
      return false;
    }
  }
  for (int k = 0; k < want; ++k) {
    if (index == 2) {
      scan->position[k] = values[k];
    } else if (index < 6) {
      scan->axes[index - 3][k] = values[k];
    } else {
      scan->transform[index - 6][k] = values[k];
    }
  }
  return true;
}

int64_t ptx_point_count(const PtxScan &scan) {
  if (scan.rows != 0 && scan.columns > INT64_MAX / scan.rows) {
    return -1;
  }
  return scan.columns * scan.rows;
}

void ptx_to_world(const PtxScan &scan, const double local[3], double world[3]) {
  const double(&m)[4][4] = scan.transform;
  for (int j = 0; j < 3; ++j) {
    world[j] = local[0] * m[0][j] + local[1] * m[1][j] + local[2] * m[2][j] + m[3][j];
  }
}

PtxScan moved_ptx_scan(const PtxScan &scan, const double (*motion)[4]) {
  PtxScan moved = scan;
  // [p 1] * M * L^T: M' = M L^T.
  for (int i = 0; i < 4; ++i) {
    const double *row = scan.transform[i];
    for (int j = 0; j < 4; ++j) {
      moved.transform[i][j] = row[0] * motion[j][0] + row[1] * motion[j][1] +
                              row[2] * motion[j][2] + row[3] * motion[j][3];
    }
  }
  for (int j = 0; j < 3; ++j) {
    moved.position[j] = motion[j][0] * scan.position[0] + motion[j][1] * scan.position[1] +
                        motion[j][2] * scan.position[2] + motion[j][3];
    for (int a = 0; a < 3; ++a) {
      moved.axes[a][j] = motion[j][0] * scan.axes[a][0] + motion[j][1] * scan.axes[a][1] +
                         motion[j][2] * scan.axes[a][2];
    }
  }
  return moved;
}

std::string ptx_header_text(const PtxScan &scan, const char *line_end) {
  char number[kNumberTextSize];
  std::string text =
      std::to_string(scan.columns) + line_end + std::to_string(scan.rows) + line_end;
  const auto line = [&](const double *values, int n) {
    for (int k = 0; k < n; ++k) {
      if (k > 0) {
        text += ' ';
      }
      text.append(number, format_number(values[k], number));
    }
    text += line_end;
  };
  line(scan.position, 3);
  for (const double *axis : scan.axes) {
    line(axis, 3);
  }
  for (const double *row : scan.transform) {
    line(row, 4);
  }
  return text;
}

}  // namespace levelling
