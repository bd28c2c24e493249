#include "plane/point_sample.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace levelling {

namespace {

// The finaliser of splitmix64: a bijection of 64-bit words that mixes every bit into every bit.
uint64_t mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;

// Whether (key a, index i) comes before (key b, index j) in the keys' order.
bool before(uint64_t a, int64_t i, uint64_t b, int64_t j) { return a < b || (a == b && i < j); }

struct SlotOrder {
  const PointSample *sample;
  bool operator()(uint32_t a, uint32_t b) const {
    return before(sample->key[a], sample->index[a], sample->key[b], sample->index[b]);
  }
};

// Keeps the point when the sample has room or its key comes before the largest kept.
void offer(PointSample *sample, uint64_t key, int64_t index, double x, double y, double z) {
  if (sample->x.size() < sample->capacity) {
    const uint32_t slot = uint32_t(sample->x.size());
    sample->x.push_back(x);
    sample->y.push_back(y);
    sample->z.push_back(z);
    sample->key.push_back(key);
    sample->index.push_back(index);
    sample->heap.push_back(slot);
    std::push_heap(sample->heap.begin(), sample->heap.end(), SlotOrder{sample});
    return;
  }
  const uint32_t top = sample->heap.front();
  if (!before(key, index, sample->key[top], sample->index[top])) {
    return;
  }
  std::pop_heap(sample->heap.begin(), sample->heap.end(), SlotOrder{sample});
  sample->x[top] = x;
  sample->y[top] = y;
  sample->z[top] = z;
  sample->key[top] = key;
  sample->index[top] = index;
  std::push_heap(sample->heap.begin(), sample->heap.end(), SlotOrder{sample});
}

// The key of `index` under the mixed seed.
uint64_t key_of(uint64_t mixed_seed, int64_t index) {
  return mix(mixed_seed + uint64_t(index) * kGolden);
}

}  // namespace

uint64_t point_sample_key(uint64_t seed, int64_t index) { return key_of(mix(seed), index); }

void point_sample_start(PointSample *sample, size_t capacity, uint64_t seed) {
  *sample = PointSample();
  sample->capacity = capacity;
  sample->seed = seed;
  sample->x.reserve(capacity);
  sample->y.reserve(capacity);
  sample->z.reserve(capacity);
  sample->key.reserve(capacity);
  sample->index.reserve(capacity);
  sample->heap.reserve(capacity);
}

void point_sample_add(PointSample *sample, int64_t first_index, int64_t n, const double *xs,
                      const double *ys, const double *zs) {
  if (sample->capacity == 0) {
    for (int64_t i = 0; i < n; ++i) {
      sample->seen += xs[i] == xs[i] ? 1 : 0;
    }
    return;
  }
  const uint64_t mixed = mix(sample->seed);
  for (int64_t i = 0; i < n; ++i) {
    if (xs[i] != xs[i]) {
      continue;  // an empty point
    }
    ++sample->seen;
    const int64_t index = first_index + i;
    const uint64_t key = key_of(mixed, index);
    if (sample->x.size() == sample->capacity && sample->key[sample->heap.front()] < key) {
      continue;  // the common case, decided without the heap
    }
    offer(sample, key, index, xs[i], ys[i], zs[i]);
  }
}

void point_sample_add_one(PointSample *sample, int64_t index, double x, double y, double z) {
  point_sample_add(sample, index, 1, &x, &y, &z);
}

void point_sample_merge(PointSample *sample, const PointSample &part) {
  for (size_t i = 0; i < part.x.size() && sample->capacity > 0; ++i) {
    offer(sample, part.key[i], part.index[i], part.x[i], part.y[i], part.z[i]);
  }
  sample->seen += part.seen;
}

void point_sample_finish(PointSample *sample) {
  const size_t n = sample->x.size();
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), uint32_t(0));
  std::sort(order.begin(), order.end(), SlotOrder{sample});
  const auto permuted = [&](auto *column) {
    auto copy = *column;
    for (size_t i = 0; i < n; ++i) {
      (*column)[i] = copy[order[i]];
    }
  };
  permuted(&sample->x);
  permuted(&sample->y);
  permuted(&sample->z);
  permuted(&sample->key);
  permuted(&sample->index);
  // The slots in descending order of their keys: a heap of the largest key first.
  sample->heap.resize(n);
  for (size_t i = 0; i < n; ++i) {
    sample->heap[i] = uint32_t(n - 1 - i);
  }
}

void point_sample_candidates(uint64_t seed, int64_t first, int64_t n, size_t count,
                             uint64_t after_key, int64_t after_index,
                             std::vector<int64_t> *indices) {
  using Keyed = std::pair<uint64_t, int64_t>;
  std::vector<Keyed> heap;  // the smallest so far, the largest first
  heap.reserve(count);
  const uint64_t mixed = mix(seed);
  const bool after_any = after_index >= 0;
  uint64_t bound = UINT64_MAX;  // no key above it can be taken (the largest kept, once full)
  for (int64_t index = first; index < first + n && count > 0; ++index) {
    const uint64_t key = key_of(mixed, index);
    if (key > bound || (after_any && !before(after_key, after_index, key, index))) {
      continue;
    }
    if (heap.size() < count) {
      heap.emplace_back(key, index);
      std::push_heap(heap.begin(), heap.end());
    } else if (before(key, index, heap.front().first, heap.front().second)) {
      std::pop_heap(heap.begin(), heap.end());
      heap.back() = Keyed(key, index);
      std::push_heap(heap.begin(), heap.end());
    }
    if (heap.size() == count) {
      bound = heap.front().first;
    }
  }
  indices->clear();
  for (const Keyed &each : heap) {
    indices->push_back(each.second);
  }
  std::sort(indices->begin(), indices->end());
}

}  // namespace levelling
