#include "app/run.h"

#include <cerrno>
#include <cstring>

#include "app/angles.h"
#include "app/levelling_projection_phase.h"
#include "app/plane_estimation_phase.h"
#include "app/point_set.h"
#include "app/xyz_transformation_phase.h"
#include "linalg/matrix.h"
#include "plane/plane_forms.h"

namespace levelling {

namespace {

constexpr const char *kProgram = "levelling-demo";

// What went wrong with the run's streams so far: the first write error's errno (0: none) and
// whether a read error has been reported.
struct StreamFaults {
  int write_error = 0;
  bool read_error_reported = false;
};

// Flushes `out`, keeping the errno of the first failure.
void flush(std::FILE *out, StreamFaults *faults) {
  errno = 0;
  if ((std::fflush(out) != 0 || std::ferror(out)) && faults->write_error == 0) {
    faults->write_error = errno != 0 ? errno : EIO;
  }
}

// Asks for the angle about `axis` and returns it in radians. An answer that is not a number,
// or no answer at all, keeps `default_degrees`; text that is not a number stays unread, so the
// later questions keep their defaults too.
double read_angle(std::FILE *in, std::FILE *out, char axis, double default_degrees,
                  StreamFaults *faults) {
  double degrees = default_degrees;
  std::fprintf(out, "Insert the rotation angle (in degrees) abot %c axis:\n", axis);
  flush(out, faults);
  errno = 0;
  if (std::fscanf(in, "%lf", &degrees) != 1) {
    degrees = default_degrees;
    if (std::ferror(in) && !faults->read_error_reported) {
      std::fprintf(stderr, "%s: cannot read the answers: %s\n", kProgram,
                   std::strerror(errno != 0 ? errno : EIO));
      faults->read_error_reported = true;
    }
  }
  return degrees * kDegreesToRadians;
}

}  // namespace

int run_demonstration(std::FILE *in, std::FILE *out, const KeyReader &read_key) {
  PointSet points = kStartingPoints;
  PlaneSlope plane = {0.0f, 0.0f, 0.0f};
  PointSet projected;
  float estimated_angle_y;
  float estimated_angle_x;

  std::fprintf(out,
               "Demo software - calculation of rotation angles about x and y axes for "
               "orthographic projection.\n");
  std::fprintf(out, "\nOriginal coordinates of 3D points:\n");
  print_points(out, "%f  %f  %f\n", points);
  std::fprintf(out, "\n");

  RunMatrices matrices;
  matrices.rx = matrix_alloc(kRunMatrixSide, kRunMatrixSide);
  matrices.ry = matrix_alloc(kRunMatrixSide, kRunMatrixSide);
  matrices.rxry = matrix_alloc(kRunMatrixSide, kRunMatrixSide);
  matrices.rz = matrix_alloc(kRunMatrixSide, kRunMatrixSide);
  matrices.m = matrix_alloc(kRunMatrixSide, kRunMatrixSide);

  std::fprintf(out, "\nRotation angles for surface points in the range [-90 to 90] degrees!\n");
  std::fprintf(out, "\n");
  StreamFaults faults;
  const double angle_x = read_angle(in, out, 'x', kDefaultAngleX, &faults);
  const double angle_y = read_angle(in, out, 'y', kDefaultAngleY, &faults);
  const double angle_z = read_angle(in, out, 'z', kDefaultAngleZ, &faults);
  std::fprintf(out, "\n");

  xyz_transformation_phase(out, angle_x, angle_y, angle_z, matrices, &points);
  plane_estimation_phase(out, points, &plane);
  levelling_projection_phase(out, points, plane, angle_z, matrices.rz, &projected,
                             &estimated_angle_y, &estimated_angle_x);
  std::fprintf(out, "\n");

  matrix_free(kRunMatrixSide, matrices.rx);
  matrix_free(kRunMatrixSide, matrices.ry);
  matrix_free(kRunMatrixSide, matrices.rz);
  matrix_free(kRunMatrixSide, matrices.rxry);
  matrix_free(kRunMatrixSide, matrices.m);

  flush(out, &faults);
  if (faults.write_error != 0) {
    std::fprintf(stderr, "%s: cannot write the transcript: %s\n", kProgram,
                 std::strerror(faults.write_error));
    return kTranscriptNotWritten;
  }
  return read_key();
}

}  // namespace levelling
