// Buffered reading and writing of a C stream, with the position and the first error kept, for the
// cloud formats. Both work on a caller's std::FILE, which they never close.
#ifndef LEVELLING_FORMATS_BYTE_IO_H
#define LEVELLING_FORMATS_BYTE_IO_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace levelling {

// Reads a stream through a buffer that grows only as far as the longest piece asked for.
class ByteReader {
 public:
  explicit ByteReader(std::FILE *in);

  // Makes at least `want` bytes available, unless the stream ends (or fails) first; returns the
  // bytes available then. Reads ahead in large pieces.
  size_t fill(size_t want);
  const char *data() const { return buffer_.data() + begin_; }
  size_t available() const { return end_ - begin_; }
  // Drops the first n available bytes (n <= available()).
  void consume(size_t n) { begin_ += n; }
  // The offset in the stream of data()[0].
  int64_t offset() const { return offset_ + int64_t(begin_); }
  // True once the stream has ended (or failed) and everything read has been consumed.
  bool at_end() { return fill(1) == 0; }
  // The errno of a failed read, 0 while none failed.
  int error() const { return error_; }

 private:
  std::FILE *in_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  int64_t offset_ = 0;  // stream offset of buffer_[0]
  bool ended_ = false;
  int error_ = 0;
};

// Writes a stream through a buffer. After the first failed write nothing more is written and
// error() keeps its errno.
class ByteWriter {
 public:
  explicit ByteWriter(std::FILE *out);
  ~ByteWriter();
  ByteWriter(const ByteWriter &) = delete;
  ByteWriter &operator=(const ByteWriter &) = delete;

  void write(const char *bytes, size_t n);
  void write(char byte) { write(&byte, 1); }
  // Hands the buffer to the stream and flushes the stream; returns false on any failure so far.
  bool flush();
  // Drops what the buffer holds without writing it (before the stream is closed or abandoned,
  // so that the destructor does not write into it).
  void discard() { used_ = 0; }
  int error() const { return error_; }

 private:
  void drain();

  std::FILE *out_;
  std::vector<char> buffer_;
  size_t used_ = 0;
  int error_ = 0;
};

}  // namespace levelling

#endif
