// Writing a file so that a failure never leaves a partial file behind and never harms what the
// target held: a regular-file target is written as a temporary file beside it and renamed into
// place only once complete and on disk; a target that is no regular file (a device such as
// /dev/null, a pipe, a terminal, or "-" for standard output) is written directly, since a rename
// would replace the device itself.
#ifndef LEVELLING_FORMATS_OUTPUT_FILE_H
#define LEVELLING_FORMATS_OUTPUT_FILE_H

#include <cstdio>
#include <string>

namespace levelling {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // abandons an output not committed
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

  // Opens the output for `target` ("-": standard output). False with the system's reason in
  // *error when it cannot be created.
  bool open(const std::string &target, std::string *error);
  std::FILE *stream() const { return stream_; }
  // True when the target is written directly (no temporary file, no rename).
  bool direct() const { return direct_; }

  // Completes the output: flushes it and, for a temporary file, puts it on disk (unless `sync`
  // is false: faster, but a system crash soon after may leave the target empty), gives it the
  // permissions of the file it replaces and renames it onto the target. False with the system's
  // reason in *error; the temporary file is then removed and the target left as it was.
  bool commit(std::string *error, bool sync = true);
  // Removes the temporary file, leaving the target as it was; closes a direct target.
  void abandon();

  // The temporary file being written, or "" (for a signal handler that must remove it).
  static const char *unfinished_path();

 private:
  std::FILE *stream_ = nullptr;
  bool direct_ = false;
  bool owns_stream_ = false;
  std::string target_;
  std::string temporary_;
};

}  // namespace levelling

#endif
