// Work fanned out over threads: the one way every stage of a run (files read at once, text
// parsed in parts, LAZ's chunks, arrays in parts) spreads over cores, within the budget it is
// given.
#ifndef LEVELLING_FORMATS_CORE_FAN_OUT_H
#define LEVELLING_FORMATS_CORE_FAN_OUT_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace levelling {

// The machine's cores, at least 1.
inline int core_count() {
  return std::max(1, int(std::thread::hardware_concurrency()));
}

// The threads a stage may use: `requested` when positive, else one for each core.
inline int thread_budget(int requested) { return requested > 0 ? requested : core_count(); }

// Runs work(i) for each i in [0, count) on at most `threads` threads (the calling one among
// them), each taking the next i as it finishes one; in order on the calling thread when
// `threads` is 1 or less or there is one item. Returns when every work(i) has.
template <typename Work>
void on_each(size_t count, int threads, const Work &work) {
  const size_t used = std::min(count, size_t(std::max(1, threads)));
  if (used <= 1) {
    for (size_t i = 0; i < count; ++i) {
      work(i);
    }
    return;
  }
  std::atomic<size_t> next{0};
  const auto take = [&] {
    for (size_t i; (i = next++) < count;) {
      work(i);
    }
  };
  std::vector<std::thread> others;
  for (size_t t = 1; t < used; ++t) {
    others.emplace_back(take);
  }
  take();
  for (std::thread &other : others) {
    other.join();
  }
}

}  // namespace levelling

#endif
