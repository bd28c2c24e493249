// Opening a cloud's input so that it can be read more than once: a regular file as it is;
// standard input ("-"), a pipe, a device or anything else that is no regular file copied first
// into an anonymous temporary file (in $TMPDIR, or /tmp; unlinked at once, so nothing is left
// whatever happens). The copy stops at the first failed write (a full disk, a file size limit):
// an endless input such as /dev/zero ends there with an error. POSIX only.
#ifndef LEVELLING_FORMATS_CORE_INPUT_FILE_H
#define LEVELLING_FORMATS_CORE_INPUT_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace levelling {

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(InputFile &&other) noexcept;
  InputFile(const InputFile &) = delete;
  InputFile &operator=(const InputFile &) = delete;
  InputFile &operator=(InputFile &&) = delete;

  // Opens `name` ("-": standard input). False with the reason in *error ("No such file or
  // directory", "cannot spool the input: File too large"...).
  bool open(const std::string &name, std::string *error);
  // The stream, at its start; rewind it for each further pass.
  std::FILE *stream() const { return stream_; }
  // Its size in bytes.
  int64_t size() const { return size_; }

 private:
  std::FILE *stream_ = nullptr;
  int64_t size_ = 0;
};

// A new anonymous temporary file open for reading and writing, in $TMPDIR (or /tmp), or nullptr
// with the system's reason in *error.
std::FILE *anonymous_temporary_file(std::string *error);

}  // namespace levelling

#endif
