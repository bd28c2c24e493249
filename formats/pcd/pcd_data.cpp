#include "formats/pcd/pcd_data.h"

#include <lzf.h>
#include <sys/mman.h>

namespace levelling {

CloudBuffer::CloudBuffer(size_t size) : size_(size) {
  if (size_ == 0) {
    return;
  }
  void *memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) {
    return;
  }
  data_ = static_cast<char *>(memory);
#ifdef MADV_HUGEPAGE
  madvise(data_, size_, MADV_HUGEPAGE);
#endif
}

CloudBuffer::~CloudBuffer() {
  if (data_ != nullptr) {
    munmap(data_, size_);
  }
}

namespace {

template <size_t kWidth>
void copy_items(const char *from, size_t from_stride, char *to, size_t to_stride, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(to + i * to_stride, from + i * from_stride, kWidth);
  }
}

}  // namespace

void copy_strided(const char *from, size_t from_stride, char *to, size_t to_stride, size_t width,
                  size_t n) {
  switch (width) {
    case 1:
      return copy_items<1>(from, from_stride, to, to_stride, n);
    case 2:
      return copy_items<2>(from, from_stride, to, to_stride, n);
    case 4:
      return copy_items<4>(from, from_stride, to, to_stride, n);
    case 8:
      return copy_items<8>(from, from_stride, to, to_stride, n);
    case 12:
      return copy_items<12>(from, from_stride, to, to_stride, n);
    default:
      for (size_t i = 0; i < n; ++i) {
        std::memcpy(to + i * to_stride, from + i * from_stride, width);
      }
  }
}

void PcdDataWriter::header(const std::vector<std::string> &lines) {
  for (const std::string &line : lines) {
    out_->write(line.data(), line.size());
  }
  const std::string data = std::string("DATA ") + pcd_data_name(data_) + "\n";
  out_->write(data.data(), data.size());
}

StreamFault decompress_cloud(const char *data, uint32_t compressed, size_t raw,
                             std::unique_ptr<DecompressedCloud> *cloud, std::string *error) {
  auto decompressed = std::make_unique<DecompressedCloud>(raw, compressed);
  if (decompressed->fields.data() == nullptr) {
    *error = "no memory for the " + std::to_string(raw) + " bytes of the decompressed cloud";
    return StreamFault::kUnsupported;
  }
  if (raw > 0 &&
      lzf_decompress(data, compressed, decompressed->fields.data(), unsigned(raw)) != raw) {
    *error = "the compressed data does not decompress to POINTS records";
    return StreamFault::kMalformed;
  }
  *cloud = std::move(decompressed);
  return StreamFault::kNone;
}

char *PcdDataWriter::binary_space(size_t n) {
  if (data_ != PcdData::kBinary || written_ + int64_t(n) > points_) {
    return nullptr;
  }
  written_ += int64_t(n);
  return out_->append_space(n * record_);
}

bool PcdDataWriter::records(const char *bytes, size_t n) {
  if (written_ + int64_t(n) > points_) {
    return false;
  }
  if (data_ == PcdData::kBinary) {
    out_->write(bytes, n * record_);
  } else if (data_ == PcdData::kAscii) {
    for (size_t i = 0; i < n; ++i) {
      line(bytes + i * record_);
    }
  } else {
    // Gathered field by field, each field's values of every point together.
    for (const PcdField &field : fields_) {
      const size_t width = field.size * field.count;
      char *const gathered = target_ != nullptr ? target_ : gathered_.data();
      char *run = gathered + size_t(points_) * field.offset;
      copy_strided(bytes + field.offset, record_, run + size_t(written_) * width, width, width,
                   n);
    }
  }
  written_ += int64_t(n);
  return true;
}

std::string PcdDataWriter::finish() {
  if (written_ != points_) {
    return "fewer points than POINTS says";
  }
  if (data_ != PcdData::kBinaryCompressed) {
    return "";
  }
  const size_t raw = gathered_.size();
  if (raw > UINT32_MAX / 2) {
    return "binary_compressed data holds at most 2 GiB; write binary instead";
  }
  // Incompressible data grows a little: LZF adds a byte every 32 and a few at the end.
  CloudBuffer compressed(raw + raw / 16 + 64);
  const unsigned size =
      raw == 0 || compressed.data() == nullptr
          ? 0
          : lzf_compress(target_ != nullptr ? target_ : gathered_.data(), unsigned(raw),
                         compressed.data(),
                         unsigned(compressed.size()));
  if (raw > 0 && size == 0) {
    return "the cloud could not be compressed (out of memory?)";
  }
  const uint32_t sizes[2] = {uint32_t(size), uint32_t(raw)};
  out_->write(reinterpret_cast<const char *>(sizes), sizeof sizes);
  out_->write(compressed.data(), size);
  return "";
}

void PcdDataWriter::line(const char *record) {
  bool first = true;
  for (const PcdField &field : fields_) {
    for (size_t v = 0; v < field.count; ++v) {
      if (!first) {
        out_->write(' ');
      }
      first = false;
      write_pcd_token(field, record + field.offset + v * field.size, out_);
    }
  }
  out_->write('\n');
}

}  // namespace levelling
