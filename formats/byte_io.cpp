#include "formats/byte_io.h"

#include <cerrno>
#include <cstring>

namespace levelling {

namespace {

// Bytes read or written at a time: large pieces keep the calls into the C library rare.
constexpr size_t kPiece = size_t(1) << 20;

}  // namespace

ByteReader::ByteReader(std::FILE *in) : in_(in), buffer_(kPiece) {}

size_t ByteReader::fill(size_t want) {
  while (available() < want && !ended_) {
    if (begin_ > 0) {
      // Move what is left (less than is wanted) to the front, so the buffer grows only for
      // pieces longer than itself.
      std::memmove(buffer_.data(), buffer_.data() + begin_, available());
      offset_ += int64_t(begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (buffer_.size() < want) {
      buffer_.resize(want);
    }
    errno = 0;
    const size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, in_);
    end_ += got;
    if (got == 0) {
      ended_ = true;
      if (std::ferror(in_)) {
        error_ = errno != 0 ? errno : EIO;
      }
    }
  }
  return available();
}

ByteWriter::ByteWriter(std::FILE *out) : out_(out), buffer_(kPiece) {}

ByteWriter::~ByteWriter() { drain(); }

void ByteWriter::write(const char *bytes, size_t n) {
  if (n > buffer_.size() - used_) {
    drain();
    if (n > buffer_.size()) {
      buffer_.resize(n);
    }
  }
  std::memcpy(buffer_.data() + used_, bytes, n);
  used_ += n;
}

void ByteWriter::drain() {
  if (used_ > 0 && error_ == 0) {
    errno = 0;
    if (std::fwrite(buffer_.data(), 1, used_, out_) != used_) {
      error_ = errno != 0 ? errno : EIO;
    }
  }
  used_ = 0;
}

bool ByteWriter::flush() {
  drain();
  if (error_ == 0) {
    errno = 0;
    if (std::fflush(out_) != 0 || std::ferror(out_)) {
      error_ = errno != 0 ? errno : EIO;
    }
  }
  return error_ == 0;
}

}  // namespace levelling
