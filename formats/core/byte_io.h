// Buffered reading and writing of a C stream, with the position and the first error kept, for the
// cloud formats. Both work on a caller's std::FILE, which they never close.
#ifndef LEVELLING_FORMATS_CORE_BYTE_IO_H
#define LEVELLING_FORMATS_CORE_BYTE_IO_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "laz/byte_order.h"  // get<T> and put<T>, the values at an offset

namespace levelling {

// Bytes made as they are read (a compressed file decoded on the way), for a ByteReader.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Copies up to n (n > 0) of the next bytes to `to`; returns how many, 0 at the end (or once
  // the source has failed: it says why itself).
  virtual size_t read(char *to, size_t n) = 0;
};

// Where a ByteWriter's bytes go instead of a C stream (a file encoded on the way).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes the next n bytes; 0, or the errno of a failure (the sink says more itself).
  virtual int write(const char *bytes, size_t n) = 0;
  // Whether the bytes taken at `at` (an offset in what was taken) can still be written again,
  // and writing them again; 0 or an errno.
  virtual bool can_patch(int64_t at) const = 0;
  virtual int patch(int64_t at, const char *bytes, size_t n) = 0;
};

// Reads a stream through a buffer that grows only as far as the longest piece asked for; or,
// for a regular file, straight from the file mapped into memory (no copy at all).
class ByteReader {
 public:
  explicit ByteReader(std::FILE *in);
  // A reader of what `source` makes (which must outlive it), through a buffer.
  explicit ByteReader(ByteSource *source);
  ~ByteReader();
  ByteReader(const ByteReader &) = delete;
  ByteReader &operator=(const ByteReader &) = delete;

  // A reader of the regular file open on `in` from its current position to its end, mapped into
  // memory; nullptr when it cannot be mapped (not a regular file, empty, no mmap on this system),
  // for the caller to read the stream instead. The file must not shrink while it is read (the
  // system would end the program with SIGBUS).
  static ByteReader *map_file(std::FILE *in);

  // Makes at least `want` bytes available, unless the stream ends (or fails) first; returns the
  // bytes available then. Reads ahead in large pieces.
  size_t fill(size_t want);
  const char *data() const { return (mapped_ != nullptr ? mapped_ : buffer_.data()) + begin_; }
  size_t available() const { return end_ - begin_; }
  // Drops the first n available bytes (n <= available()). From a mapped file, the pages read
  // are handed back now and then, so the memory the program holds stays bounded.
  void consume(size_t n) {
    begin_ += n;
    if (mapped_ != nullptr && begin_ - released_ >= kReleaseBytes) {
      release();
    }
  }
  // The offset in the stream of data()[0].
  int64_t offset() const { return offset_ + int64_t(begin_); }
  // True once the stream has ended (or failed) and everything read has been consumed.
  bool at_end() { return fill(1) == 0; }
  // Whether the bytes come from the file mapped into memory: fill() then makes everything up to
  // the file's end available at once, without reading it.
  bool mapped() const { return mapped_ != nullptr; }
  // Hands back the pages of the mapping over data()[from, to) (a mapped reader; they are read
  // again from the file when touched again): bounds the memory of reads at random offsets.
  void release_range(size_t from, size_t to);
  // The errno of a failed read, 0 while none failed.
  int error() const { return error_; }

 private:
  ByteReader(const char *mapped, size_t size, int64_t offset);
  void release();
  static constexpr size_t kReleaseBytes = size_t(32) << 20;

  std::FILE *in_;
  ByteSource *source_ = nullptr;
  const char *mapped_ = nullptr;  // the mapping (with buffer_ unused), or nullptr
  size_t mapped_size_ = 0;
  size_t released_ = 0;  // bytes of the mapping handed back
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  int64_t offset_ = 0;  // stream offset of buffer_[0]
  bool ended_ = false;
  int error_ = 0;
};

// Writes a stream through a buffer, handed to the stream by a thread of its own while the next
// one fills (so the system's copy of the bytes overlaps the work that makes them). After the
// first failed write nothing more is written and error() keeps its errno (a failure of the
// buffer being handed over is known from the next drain or flush on).
class ByteWriter {
 public:
  explicit ByteWriter(std::FILE *out);
  // A writer into `sink` (which must outlive it); flush() hands it every byte written.
  explicit ByteWriter(ByteSink *sink);
  ~ByteWriter();
  ByteWriter(const ByteWriter &) = delete;
  ByteWriter &operator=(const ByteWriter &) = delete;

  void write(const char *bytes, size_t n);
  void write(char byte) { write(&byte, 1); }
  // Room for the next n bytes, written in place by the caller: they count as written.
  char *append_space(size_t n);
  // Hands the buffer to the stream and flushes the stream; returns false on any failure so far.
  bool flush();
  // Drops what the buffer holds without writing it (before the stream is closed or abandoned,
  // so that the destructor does not write into it).
  void discard() { used_ = 0; }
  int error() const { return error_; }
  // The bytes written so far, buffered ones included.
  int64_t written() const { return drained_ + int64_t(used_); }
  // Whether bytes already written can be written again in place (patch): true for a regular
  // file not opened for appending, false for pipes and terminals.
  bool patchable() const;
  // Whether the bytes written at `at` can still be written again: still buffered, or patchable.
  // (A sink is asked once it has taken every byte handed over.)
  bool can_patch(int64_t at);
  // Writes n bytes again over those written at `at` (a written() of earlier, at + n at most
  // written() now), for a header completed after the data it describes. False, with error()
  // set, when the stream cannot be written in place.
  bool patch(int64_t at, const char *bytes, size_t n);

 private:
  void drain();
  // Waits until the buffer handed over is written, taking its error.
  void wait_handed();
  void hand_over_work();

  std::FILE *out_;
  ByteSink *sink_ = nullptr;
  std::vector<char> buffer_;
  // The buffer being written by the thread (handed_ bytes of it), the thread and its signals.
  std::vector<char> handed_buffer_;
  size_t handed_ = 0;
  bool stopping_ = false;
  int handed_error_ = 0;
  std::mutex lock_;
  std::condition_variable changed_;
  std::thread hand_over_;
  size_t used_ = 0;
  int64_t drained_ = 0;  // bytes handed to the stream
  int64_t start_ = -1;   // the stream's offset when this writer began, -1 if it has none
  int error_ = 0;
};

}  // namespace levelling

#endif
