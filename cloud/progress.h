// The progress line of a long run.
#ifndef LEVELLING_CLOUD_PROGRESS_H
#define LEVELLING_CLOUD_PROGRESS_H

#include <chrono>
#include <cstdint>

namespace levelling {

// A line on standard error saying how far the work has come, shown only on a terminal and only
// once the work has taken a second.
class Progress {
 public:
  Progress(bool enabled, int64_t total) : enabled_(enabled), total_(total) {}
  ~Progress() { clear(); }

  // Shows "levelling-cloud: PASS  NN%" for `done` of the total (bytes), at most five times a
  // second.
  void report(const char *pass, int64_t done);
  // Removes the line, if one is shown.
  void clear();

 private:
  bool enabled_;
  int64_t total_;
  int width_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_ = start_;
};

}  // namespace levelling

#endif
