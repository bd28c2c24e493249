#include "linalg/point_count.h"

#include <limits>

namespace levelling {

int whole_point_count(float count) {
  constexpr int kMaxCount = std::numeric_limits<int>::max();
  // 2^31 exactly: every float below it converts to int without overflow.
  constexpr float kFirstOutOfRange = float(kMaxCount);
  if (!(count > 0.0f)) {
    return 0;
  }
  if (count >= kFirstOutOfRange) {
    return kMaxCount;
  }
  return int(count);
}

}  // namespace levelling
