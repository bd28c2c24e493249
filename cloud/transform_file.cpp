#include "cloud/transform_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "cloud/run_fault.h"
#include "formats/core/number_text.h"
#include "projection/rigid_levelling.h"

namespace levelling {

namespace {

// How far a saved transform's rotation may be from orthonormal: far above the rounding of 17
// printed digits, far below any scale or shear a user would mean.
constexpr double kRigidTolerance = 1e-9;

// False with the fault (status 3) when `name` is a folder: a stream opens one, then fails.
bool not_a_folder(const std::string &name, LevellingOutcome *fault) {
  std::error_code code;
  if (std::filesystem::is_directory(name, code)) {
    *fault = failure(name, "is a folder, not a file", kUnreadableInput);
    return false;
  }
  return true;
}

}  // namespace

bool read_transform(const std::string &name, double (&matrix)[4][4], LevellingOutcome *fault) {
  if (!not_a_folder(name, fault)) {
    return false;
  }
  std::ifstream file(name);
  if (!file) {
    *fault = failure(name, std::strerror(errno != 0 ? errno : ENOENT), kUnreadableInput);
    return false;
  }
  std::vector<double> values;
  bool first = true;
  for (std::string line; std::getline(file, line);) {
    // A UTF-8 byte order mark, which some editors write, is no part of the first number.
    if (first && line.rfind("\xef\xbb\xbf", 0) == 0) {
      line.erase(0, 3);
    }
    first = false;
    const size_t hash = line.find('#');
    std::istringstream words(line.substr(0, hash));
    for (std::string word; words >> word;) {
      double value = 0.0;
      if (!parse_number(word, &value)) {
        *fault = failure(name, "'" + word.substr(0, 40) + "' is not a number", kMalformedInput);
        return false;
      }
      values.push_back(value);
    }
  }
  return rigid_motion_of(name, values, matrix, fault);
}

bool read_applied_transform(const std::string &name, bool inverse, double (&matrix)[4][4],
                            LevellingOutcome *fault) {
  double saved[4][4];
  if (!read_transform(name, saved, fault)) {
    return false;
  }
  if (inverse) {
    invert_rigid_motion(saved, matrix);
  } else {
    std::copy(&saved[0][0], &saved[0][0] + 16, &matrix[0][0]);
  }
  return true;
}

bool read_whole_file(const std::string &name, std::string *bytes, LevellingOutcome *fault) {
  if (!not_a_folder(name, fault)) {
    return false;
  }
  std::ifstream in(name, std::ios::binary);
  if (in) {
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (!in.is_open() || in.bad()) {
    *fault = failure(name, std::strerror(errno != 0 ? errno : EIO), kUnreadableInput);
    return false;
  }
  return true;
}

bool rigid_motion_of(const std::string &name, const std::vector<double> &values,
                     double (&matrix)[4][4], LevellingOutcome *fault) {
  if (values.size() != 16) {
    *fault = failure(name, "holds " + std::to_string(values.size()) +
                               " numbers, not the 16 of a 4 x 4 matrix",
                     kMalformedInput);
    return false;
  }
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      matrix[r][c] = values[size_t(4 * r + c)];
    }
  }
  const char *why = "";
  if (!is_rigid_motion(matrix, kRigidTolerance, &why)) {
    *fault = failure(name, std::string("is not a rigid motion (a rotation and a translation): ") +
                               why,
                     kMalformedInput);
    return false;
  }
  return true;
}

std::string transform_text(const double (&matrix)[4][4]) {
  std::string text;
  char number[kNumberTextSize];
  for (const auto &row : matrix) {
    for (int c = 0; c < 4; ++c) {
      text.append(number, format_number(row[c], number));
      text += c < 3 ? " " : "\n";
    }
  }
  return text;
}

bool save_transform(const double (&matrix)[4][4], const std::string &name, bool sync,
                    OutputFile *out, LevellingOutcome *fault) {
  std::string error;
  if (!stage_bytes(transform_text(matrix), name, out, fault)) {
    return false;
  }
  if (!out->commit(&error, sync)) {
    *fault = failure(name, error, kUnwritableOutput);
    return false;
  }
  return true;
}

bool stage_bytes(const std::string &bytes, const std::string &name, OutputFile *out,
                 LevellingOutcome *fault) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), out->stream()) != bytes.size()) {
    const int error = errno;
    out->abandon();
    *fault = failure(name, std::strerror(error), kUnwritableOutput);
    return false;
  }
  return true;
}

}  // namespace levelling
