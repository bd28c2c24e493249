#include "cloud/point_spool.h"

#include <string>

#include "formats/core/cloud_stream.h"
#include "formats/core/input_file.h"
#include "formats/format_table.h"

namespace levelling {

bool written_as_text(std::FILE *input) {
  CloudFormat format = CloudFormat::kText;
  const FormatRow *row = nullptr;
  return sniff_cloud_format(input, &format, &row) &&
         (format == CloudFormat::kText || format == CloudFormat::kPlyAscii ||
          format == CloudFormat::kPcdAscii);
}

PointSpool::PointSpool() {
  std::string error;
  file_ = anonymous_temporary_file(&error);
  if (file_ != nullptr) {
    writer_.reset(new ByteWriter(file_));
  }
}

PointSpool::~PointSpool() {
  writer_.reset();
  if (file_ != nullptr) {
    std::fclose(file_);
  }
}

void PointSpool::add(int64_t n, const double *x, const double *y, const double *z) {
  if (writer_ == nullptr) {
    return;
  }
  for (int64_t i = 0; i < n; ++i) {
    const double point[3] = {x[i], y[i], z[i]};
    writer_->write(reinterpret_cast<const char *>(point), sizeof point);
  }
}

bool PointSpool::finish() {
  usable_ = writer_ != nullptr && writer_->flush();
  writer_.reset();
  return usable_;
}

}  // namespace levelling
