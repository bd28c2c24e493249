// Saved transforms: a rigid motion as four lines of four numbers.
#ifndef LEVELLING_CLOUD_TRANSFORM_FILE_H
#define LEVELLING_CLOUD_TRANSFORM_FILE_H

#include <string>
#include <vector>

#include "cloud/cloud_levelling.h"
#include "cloud/output_file.h"

namespace levelling {

// Reads a saved transform: four lines of four numbers (blank lines and '#' comments aside), a
// rigid motion. False with the fault.
bool read_transform(const std::string &name, double (&matrix)[4][4], LevellingOutcome *fault);

// The saved transform a run applies: the file's matrix, or its inverse. False with the fault.
bool read_applied_transform(const std::string &name, bool inverse, double (&matrix)[4][4],
                            LevellingOutcome *fault);

// The 16 numbers (row-major) of a 4 x 4 matrix as `matrix`, checked to be a rigid motion as a
// saved transform is; false with the fault (named `name`, status kMalformedInput).
bool rigid_motion_of(const std::string &name, const std::vector<double> &values,
                     double (&matrix)[4][4], LevellingOutcome *fault);

// The matrix as a saved transform: four lines of four numbers, each with the digits that read
// back the same double.
std::string transform_text(const double (&matrix)[4][4]);

// Writes the matrix as a saved transform into `out` (opened for `name`) and puts it in place
// (flushed to the disk first when `sync`). False with the fault.
bool save_transform(const double (&matrix)[4][4], const std::string &name, bool sync,
                    OutputFile *out, LevellingOutcome *fault);

// The whole of a small file (a camera file, a model's), into *bytes. False with the fault
// (status 3).
bool read_whole_file(const std::string &name, std::string *bytes, LevellingOutcome *fault);

// Writes the bytes into `out` (opened for `name`), to be put in place with the run's other
// outputs (commit_outputs). False with the fault (status 6).
bool stage_bytes(const std::string &bytes, const std::string &name, OutputFile *out,
                 LevellingOutcome *fault);

}  // namespace levelling

#endif
