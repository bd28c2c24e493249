#include "formats/core/moved_fields.h"

#include "projection/rigid_levelling.h"

namespace levelling {

namespace {

const MovedFields kTextFields = {{"x", "y", "z"}, {nullptr, nullptr, nullptr}, nullptr};
const MovedFields kPlyFields = {{"x", "y", "z"}, {"nx", "ny", "nz"}, nullptr};
const MovedFields kPcdFields = {
    {"x", "y", "z"}, {"normal_x", "normal_y", "normal_z"}, "VIEWPOINT"};
const MovedFields kLasFields = {{"X", "Y", "Z"}, {"x_t", "y_t", "z_t"}, nullptr};
const MovedFields kPtxFields = {{"x", "y", "z"}, {nullptr, nullptr, nullptr}, "transform"};
const MovedFields kE57Fields = {
    {"cartesianX", "cartesianY", "cartesianZ"}, {nullptr, nullptr, nullptr}, "pose"};

}  // namespace

const MovedFields &moved_fields_of(CloudFamily family) {
  switch (family) {
    case CloudFamily::kPly:
      return kPlyFields;
    case CloudFamily::kPcd:
      return kPcdFields;
    case CloudFamily::kLas:
      return kLasFields;
    case CloudFamily::kPtx:
      return kPtxFields;
    case CloudFamily::kE57:
      return kE57Fields;
    case CloudFamily::kText:
      break;
  }
  return kTextFields;
}

void move_block(const double (&motion)[4][4], PointBlock *block, std::vector<size_t> *empties,
                std::vector<double> *kept) {
  const int64_t n = int64_t(block->count);
  empties->clear();
  kept->clear();
  for (size_t i = 0; i < block->count; ++i) {
    if (block->x[i] != block->x[i]) {
      empties->push_back(i);
      kept->insert(kept->end(), {block->x[i], block->y[i], block->z[i]});
      if (block->has_normals) {
        kept->insert(kept->end(), {block->nx[i], block->ny[i], block->nz[i]});
      }
    }
  }
  move_points(motion, n, block->x.data(), block->y.data(), block->z.data(), block->x.data(),
              block->y.data(), block->z.data());
  if (block->has_normals) {
    turn_directions(motion, n, block->nx.data(), block->ny.data(), block->nz.data(),
                    block->nx.data(), block->ny.data(), block->nz.data());
  }
  const double *from = kept->data();
  for (size_t i : *empties) {
    block->x[i] = *from++;
    block->y[i] = *from++;
    block->z[i] = *from++;
    if (block->has_normals) {
      block->nx[i] = *from++;
      block->ny[i] = *from++;
      block->nz[i] = *from++;
    }
  }
}

}  // namespace levelling
