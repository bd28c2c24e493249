// Items made side by side on threads of their own, a window ahead of the one thread that takes
// them in their order (LAZ's chunks decoded ahead of the reader, or encoded behind the writer).
#ifndef LEVELLING_FORMATS_CORE_ORDERED_WORK_H
#define LEVELLING_FORMATS_CORE_ORDERED_WORK_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace levelling {

// Items 0, 1, 2... offered one by one and each made by make(thread, slot, i) into slot
// i % window on one of `threads` threads: an item is begun once offered and, but for the first in
// flight, while the items in flight weigh at most `most_weight`. Only the taker's thread calls
// the methods. Destroying it drops the items offered and not yet begun and waits for the rest.
class OrderedWork {
 public:
  using Make = std::function<void(int thread, size_t slot, size_t i)>;
  OrderedWork(int threads, size_t window, uint64_t most_weight, Make make);
  ~OrderedWork();
  OrderedWork(const OrderedWork &) = delete;
  OrderedWork &operator=(const OrderedWork &) = delete;

  size_t window() const { return window_; }
  size_t offered() const { return offered_; }
  size_t taken() const { return taken_; }
  // Whether the next item's slot is free (offered() < taken() + window()).
  bool can_offer() const { return offered_ < taken_ + window_; }
  // Offers the next item, weighing `weight` (its slot free: can_offer()).
  void offer(uint64_t weight);
  // Whether the next item to take (offered) is made, waiting for it when `wait`.
  bool made(bool wait);
  // Takes the next item (made): its slot may be made again.
  void take();

 private:
  void work(int thread);

  const size_t window_;
  const uint64_t most_weight_;
  const Make make_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<uint64_t> weights_;  // of the items offered
  std::vector<char> ready_;        // by slot
  size_t offered_ = 0, next_ = 0, taken_ = 0;
  uint64_t in_flight_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace levelling

#endif
