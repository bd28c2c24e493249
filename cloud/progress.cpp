#include "cloud/progress.h"

#include <cstdio>

namespace levelling {

void Progress::report(const char *pass, int64_t done) {
  if (!enabled_ || total_ <= 0) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200)) {
    return;
  }
  last_ = now;
  const int shown = std::fprintf(stderr, "\rlevelling-cloud: %s %3d%%", pass,
                                 int(100.0 * double(done) / double(total_)));
  width_ = shown > width_ ? shown : width_;
  std::fflush(stderr);
}

void Progress::clear() {
  if (width_ > 0) {
    std::fprintf(stderr, "\r%*s\r", width_, "");
    width_ = 0;
  }
}

}  // namespace levelling
