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

// How far beyond the expected share of the smallest keys point_sample_candidates looks first.
constexpr double kMargin = 1.5;

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
  indices->clear();
  if (count == 0 || n <= 0) {
    return;
  }
  const uint64_t mixed = mix(seed);
  const bool after_any = after_index >= 0;
  const auto after = [&](uint64_t key, int64_t index) {
    return !after_any || before(after_key, after_index, key, index);
  };
  // The keys are uniform: the count smallest of n above `low` lie below low plus count / n of
  // the whole range, nearly always below kMargin times that. Those below it are kept, then the
  // count smallest of them; were they too few, every key is looked at again through a heap.
  const uint64_t low = after_any ? after_key : 0;
  const double share = kMargin * double(count) / double(n);
  const double reach = share * 18446744073709551616.0;  // of 2^64
  const uint64_t bound = share >= 1.0 || reach >= double(UINT64_MAX - low)
                             ? UINT64_MAX
                             : low + uint64_t(reach);
  std::vector<Keyed> kept;
  kept.reserve(size_t(std::min<double>(double(n), 2.0 * kMargin * double(count))));
  for (int64_t index = first; index < first + n; ++index) {
    const uint64_t key = key_of(mixed, index);
    if (key <= bound && after(key, index)) {
      kept.emplace_back(key, index);
    }
  }
  if (kept.size() < count && bound != UINT64_MAX) {
    // Too few below the bound (or the range holds fewer): the smallest of all, through a heap.
    kept.clear();
    for (int64_t index = first; index < first + n; ++index) {
      const uint64_t key = key_of(mixed, index);
      if (!after(key, index)) {
        continue;
      }
      if (kept.size() < count) {
        kept.emplace_back(key, index);
        std::push_heap(kept.begin(), kept.end());
      } else if (before(key, index, kept.front().first, kept.front().second)) {
        std::pop_heap(kept.begin(), kept.end());
        kept.back() = Keyed(key, index);
        std::push_heap(kept.begin(), kept.end());
      }
    }
  }
  if (kept.size() > count) {
    std::nth_element(kept.begin(), kept.begin() + std::ptrdiff_t(count), kept.end());
    kept.resize(count);
  }
  for (const Keyed &each : kept) {
    indices->push_back(each.second);
  }
  std::sort(indices->begin(), indices->end());
}

}  // namespace levelling
