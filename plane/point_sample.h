// A seeded uniform sample of a cloud that every split of it draws alike. Each point's key is a
// hash of the seed and the point's index in the whole cloud (its files in their order, every
// record counted, empty ones too); the sample is the `capacity` valid points of the smallest
// keys. So a file, its blocks, or a worker holding some of its files each sample their part
// alone, and the parts merge into the sample of the whole (the smallest keys of a union are
// among the smallest keys of each part). Where a file's records have a fixed size, the indices
// of the keys that can be sampled are known before a record is read (point_sample_candidates).
#ifndef LEVELLING_PLANE_POINT_SAMPLE_H
#define LEVELLING_PLANE_POINT_SAMPLE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace levelling {

struct PointSample {
  size_t capacity = 0;
  uint64_t seed = 0;
  int64_t seen = 0;  // valid points offered so far
  // The points kept, with their keys and indices: in no order while points are offered, in
  // the order of their keys once finished (point_sample_finish).
  std::vector<double> x, y, z;
  std::vector<uint64_t> key;
  std::vector<int64_t> index;
  std::vector<uint32_t> heap;  // the kept points' slots, the largest key first
};

// The sample size the levelling program uses: enough for the plane's inliers to be found
// among a few per cent of outliers, small enough to score thousands of hypotheses quickly.
constexpr size_t kDefaultSampleSize = 16384;

// The key of the point of index `index` (>= 0) in the whole cloud under `seed`: the same on
// every platform.
uint64_t point_sample_key(uint64_t seed, int64_t index);

// Starts an empty sample of up to `capacity` points under `seed`.
void point_sample_start(PointSample *sample, size_t capacity, uint64_t seed);

// Offers the n points (xs[i], ys[i], zs[i]) of indices first_index + i. A point whose x is NaN
// (an empty point) is passed over: it is neither kept nor counted in `seen`. Time linear in n.
void point_sample_add(PointSample *sample, int64_t first_index, int64_t n, const double *xs,
                      const double *ys, const double *zs);

// Offers one point of index `index` (none of the sample's points may have it already).
void point_sample_add_one(PointSample *sample, int64_t index, double x, double y, double z);

// Adds the sample of another part of the cloud (disjoint indices, the same seed and capacity):
// the result is the sample of the two parts together.
void point_sample_merge(PointSample *sample, const PointSample &part);

// Orders the kept points by key (ties by index), as a search over the sample takes them; the
// sample may be offered more points afterwards, and finished again.
void point_sample_finish(PointSample *sample);

// The indices, ascending, of the `count` smallest keys among those of [first, first + n) that
// come after (key, index) `after` in the keys' order (after_index -1: from the smallest): the
// records a sample can take from a file of n fixed-size records starting at index `first`,
// read in rounds while empty records leave it short. Fewer when the range holds fewer.
void point_sample_candidates(uint64_t seed, int64_t first, int64_t n, size_t count,
                             uint64_t after_key, int64_t after_index,
                             std::vector<int64_t> *indices);

}  // namespace levelling

#endif
