#include "formats/core/ordered_work.h"

#include <utility>

namespace levelling {

OrderedWork::OrderedWork(int threads, size_t window, uint64_t most_weight, Make make)
    : window_(window), most_weight_(most_weight), make_(std::move(make)), ready_(window, 0) {
  for (int t = 0; t < threads; ++t) {
    threads_.emplace_back([this, t] { work(t); });
  }
}

OrderedWork::~OrderedWork() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread &each : threads_) {
    each.join();
  }
}

void OrderedWork::work(int thread) {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] {
      return stopping_ || (next_ < offered_ && (in_flight_ == 0 ||
                                                in_flight_ + weights_[next_] <= most_weight_));
    });
    if (stopping_) {
      return;
    }
    const size_t i = next_++;
    in_flight_ += weights_[i];
    hold.unlock();
    make_(thread, i % window_, i);
    hold.lock();
    ready_[i % window_] = 1;
    changed_.notify_all();
  }
}

void OrderedWork::offer(uint64_t weight) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    weights_.push_back(weight);
    ++offered_;
  }
  changed_.notify_all();
}

bool OrderedWork::made(bool wait) {
  std::unique_lock<std::mutex> hold(lock_);
  const size_t slot = taken_ % window_;
  if (wait) {
    changed_.wait(hold, [&] { return ready_[slot] != 0; });
  }
  return ready_[slot] != 0;
}

void OrderedWork::take() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ready_[taken_ % window_] = 0;
    in_flight_ -= weights_[taken_];
    ++taken_;
  }
  changed_.notify_all();
}

}  // namespace levelling
