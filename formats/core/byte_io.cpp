#include "formats/core/byte_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace levelling {

namespace {

// Bytes read or written at a time: large pieces keep the calls into the C library rare.
constexpr size_t kPiece = size_t(1) << 20;

}  // namespace

ByteReader::ByteReader(std::FILE *in) : in_(in), buffer_(kPiece) {}

ByteReader::ByteReader(ByteSource *source) : in_(nullptr), source_(source), buffer_(kPiece) {}

ByteReader::ByteReader(const char *mapped, size_t size, int64_t offset)
    : in_(nullptr), mapped_(mapped), mapped_size_(size), offset_(offset), ended_(true) {}

ByteReader::~ByteReader() {
#ifndef _WIN32
  if (mapped_ != nullptr) {
    munmap(const_cast<char *>(mapped_), mapped_size_);
  }
#endif
}

ByteReader *ByteReader::map_file(std::FILE *in) {
#ifdef _WIN32
  (void)in;
  return nullptr;
#else
  const int descriptor = fileno(in);
  struct stat status;
  const long position = std::ftell(in);
  if (descriptor < 0 || fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
      position < 0 || status.st_size <= position) {
    return nullptr;
  }
  const size_t size = size_t(status.st_size);
  void *mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0);
  if (mapped == MAP_FAILED) {
    return nullptr;
  }
  madvise(mapped, size, MADV_SEQUENTIAL);
  // The window starts at the stream's position; begin_ skips what came before it.
  ByteReader *reader = new ByteReader(static_cast<const char *>(mapped), size, 0);
  reader->begin_ = reader->end_ = size_t(position);
  return reader;
#endif
}

void ByteReader::release() {
#ifndef _WIN32
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  const size_t until = begin_ / page * page;
  if (until > released_) {
    madvise(const_cast<char *>(mapped_) + released_, until - released_, MADV_DONTNEED);
    released_ = until;
  }
#endif
}

void ByteReader::release_range(size_t from, size_t to) {
#ifndef _WIN32
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  const size_t begin = (begin_ + from) / page * page;
  const size_t end = std::min(mapped_size_, begin_ + to);
  if (mapped_ != nullptr && end > begin) {
    madvise(const_cast<char *>(mapped_) + begin, end - begin, MADV_DONTNEED);
  }
#else
  (void)from;
  (void)to;
#endif
}

size_t ByteReader::fill(size_t want) {
  if (mapped_ != nullptr) {
    // The window over the mapping grows as a buffer would, a piece at a time, so that callers
    // that work on all that is available work on pieces of a bounded size.
    if (available() < want) {
      const size_t wanted_end = begin_ + (want > kPiece ? want : kPiece);
      end_ = wanted_end < mapped_size_ ? wanted_end : mapped_size_;
    }
    return available();
  }
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
      // Grown by doubling, so that a piece asked for but never there (a header's size or count
      // past the end of a short input) costs no more than twice what the input holds.
      buffer_.resize(std::min(want, std::max(buffer_.size() * 2, kPiece)));
    }
    errno = 0;
    const size_t room = buffer_.size() - end_;
    const size_t got = source_ != nullptr ? source_->read(buffer_.data() + end_, room)
                                          : std::fread(buffer_.data() + end_, 1, room, in_);
    end_ += got;
    if (got == 0) {
      ended_ = true;
      if (source_ == nullptr && std::ferror(in_)) {
        error_ = errno != 0 ? errno : EIO;
      }
    }
  }
  return available();
}

ByteWriter::ByteWriter(std::FILE *out) : out_(out), buffer_(kPiece) {
#ifndef _WIN32
  const int fd = fileno(out);
  struct stat status;
  if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
      (fcntl(fd, F_GETFL) & O_APPEND) == 0) {
    start_ = int64_t(ftello(out));
  }
#endif
}

ByteWriter::ByteWriter(ByteSink *sink) : out_(nullptr), sink_(sink), buffer_(kPiece) {}

bool ByteWriter::patchable() const { return sink_ == nullptr && start_ >= 0; }

bool ByteWriter::can_patch(int64_t at) {
  if (at >= drained_) {
    return true;
  }
  if (sink_ == nullptr) {
    return patchable();
  }
  wait_handed();
  return sink_->can_patch(at);
}

bool ByteWriter::patch(int64_t at, const char *bytes, size_t n) {
  if (at >= drained_) {
    std::memcpy(buffer_.data() + (at - drained_), bytes, n);
    return true;
  }
  if (!can_patch(at)) {
    error_ = error_ != 0 ? error_ : ESPIPE;
    return false;
  }
  if (!flush()) {
    return false;
  }
  if (sink_ != nullptr) {
    error_ = sink_->patch(at, bytes, n);
    return error_ == 0;
  }
#ifndef _WIN32
  if (pwrite(fileno(out_), bytes, n, off_t(start_ + at)) != ssize_t(n)) {
    error_ = errno != 0 ? errno : EIO;
    return false;
  }
#endif
  return true;
}

ByteWriter::~ByteWriter() {
  drain();
  if (hand_over_.joinable()) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
    }
    changed_.notify_all();
    hand_over_.join();
  }
}

void ByteWriter::write(const char *bytes, size_t n) {
  if (n == 0) {
    return;  // (bytes may then be null, as an empty vector's are)
  }
  if (n > buffer_.size() - used_) {
    drain();
    if (n > buffer_.size()) {
      buffer_.resize(n);
    }
  }
  std::memcpy(buffer_.data() + used_, bytes, n);
  used_ += n;
}

char *ByteWriter::append_space(size_t n) {
  if (n > buffer_.size() - used_) {
    drain();
    if (n > buffer_.size()) {
      buffer_.resize(n);
    }
  }
  char *space = buffer_.data() + used_;
  used_ += n;
  return space;
}

void ByteWriter::hand_over_work() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return handed_ > 0 || stopping_; });
    if (handed_ == 0) {
      return;
    }
    const size_t n = handed_;
    hold.unlock();
    errno = 0;
    int error = 0;
    if (sink_ != nullptr) {
      error = sink_->write(handed_buffer_.data(), n);
    } else if (std::fwrite(handed_buffer_.data(), 1, n, out_) != n) {
      error = errno != 0 ? errno : EIO;
    }
    hold.lock();
    handed_error_ = error;
    handed_ = 0;
    changed_.notify_all();
  }
}

void ByteWriter::wait_handed() {
  if (!hand_over_.joinable()) {
    return;
  }
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return handed_ == 0; });
  if (handed_error_ != 0 && error_ == 0) {
    error_ = handed_error_;
  }
}

void ByteWriter::drain() {
  wait_handed();
  if (used_ > 0 && error_ == 0) {
    if (!hand_over_.joinable()) {
      hand_over_ = std::thread([this] { hand_over_work(); });
    }
    std::lock_guard<std::mutex> hold(lock_);
    std::swap(buffer_, handed_buffer_);
    handed_ = used_;
    if (buffer_.size() < handed_buffer_.size()) {
      buffer_.resize(handed_buffer_.size());
    }
    changed_.notify_all();
  }
  drained_ += int64_t(used_);
  used_ = 0;
}

bool ByteWriter::flush() {
  drain();
  wait_handed();
  if (error_ == 0 && out_ != nullptr) {
    errno = 0;
    if (std::fflush(out_) != 0 || std::ferror(out_)) {
      error_ = errno != 0 ? errno : EIO;
    }
  }
  return error_ == 0;
}

}  // namespace levelling
