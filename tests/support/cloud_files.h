// Cloud files for the tests: one writer of PLY (any encoding, any vertex properties) and text
// files from columns of values, and one reader of the points of any cloud file, so no test
// builds file bytes by hand.
#ifndef LEVELLING_TESTS_SUPPORT_CLOUD_FILES_H
#define LEVELLING_TESTS_SUPPORT_CLOUD_FILES_H

#include <string>
#include <vector>

#include "formats/ply_header.h"

namespace levelling::test {

// One vertex property: its name, type and a value for each vertex.
struct Column {
  std::string name;
  PlyType type;
  std::vector<double> values;
};

// The bytes of a PLY file of `encoding` whose vertex element has the columns (all of one
// length); `extra_header` (lines of further elements) goes before end_header and `extra_data`
// (their records, already encoded) after the vertices.
std::string ply_bytes(PlyEncoding encoding, const std::vector<Column> &columns,
                      const std::string &extra_header = "", const std::string &extra_data = "");

// The bytes of a text cloud: one line a point, the columns' values separated by blanks, with
// the shortest digits that read back (NaN as "nan").
std::string text_bytes(const std::vector<Column> &columns, const std::string &header = "");

// x, y, z columns of doubles.
std::vector<Column> xyz_columns(const std::vector<double> &x, const std::vector<double> &y,
                                const std::vector<double> &z);

// A new empty folder for the running test: under the test temporary folder, named after the
// test and this process (so that suites run side by side never share one). The caller removes it.
std::string fresh_test_folder(const std::string &prefix);

void write_bytes(const std::string &path, const std::string &bytes);
std::string read_bytes(const std::string &path);

// The points of a cloud file as its reader gives them (empty points included); false with the
// reader's message in *error when it cannot be read.
struct CloudPointsRead {
  std::vector<double> x, y, z;
  std::string error;
};
CloudPointsRead read_cloud_points(const std::string &path);

}  // namespace levelling::test

#endif
