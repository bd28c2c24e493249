// Writing a file so that a failure never leaves a partial file behind and never harms what the
// target held.
//
// A regular-file target (new, or a file to replace) is written as an anonymous file in the
// target's folder (O_TMPFILE, where the file system has it), linked into place only once complete
// and on disk: even SIGKILL or a power cut leaves no trace. Where the file system has no
// anonymous files, a named temporary file (".levelling-<random>.tmp", short enough for any
// target name the system allows) beside the target is renamed into place instead, and removed
// on any failure. Either is created with no wider permissions than it ends with: those of the
// file it replaces, or the usual ones (0666 less the umask) for a new file. Every step after
// opening works through a descriptor of the target's folder, so a folder renamed meanwhile
// changes nothing.
//
// Through a symbolic link the file linked to is replaced and the link stays; a dangling link
// creates the file it names; a loop of links is an error (ELOOP). A target that is no regular
// file (a device such as /dev/null, a pipe, a terminal) is written directly, since a rename would
// replace the device itself; so is "-", and any name for the process's own standard output
// (/dev/stdout, /proc/self/fd/1) even when that is a regular file, which is then written, not
// replaced. POSIX only.
#ifndef LEVELLING_CLOUD_OUTPUT_FILE_H
#define LEVELLING_CLOUD_OUTPUT_FILE_H

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
  // True when the output is an anonymous file (nothing to remove should the program die).
  bool anonymous() const { return anonymous_; }

  // Completes the output: flushes it and, for a file written aside, puts it on disk (unless
  // `sync` is false: faster, but a system crash soon after may leave the target empty), then
  // puts it in place of the target (and the folder's entry on disk). False with the system's
  // reason in *error; the file written aside is then removed and the target left as it was.
  bool commit(std::string *error, bool sync = true);
  // Commit's first half: flushes the output and puts the file written aside on disk, without
  // putting it in place, so that a run with several outputs can have them all ready before it
  // puts any in place. False with the system's reason in *error; the output is then abandoned.
  bool prepare(std::string *error, bool sync = true);
  // Removes the file written aside, leaving the target as it was; closes a direct target.
  void abandon();

  // Removes the named files being written (of every output open), with async-signal-safe
  // calls only: for a handler of a signal that ends the program.
  static void remove_unfinished();

  // The calls commit makes to put the file on disk, replaceable by a test to see them made
  // (or to make them fail). Each returns 0 or -1 with errno set, as the system's do. With
  // `anonymous_files` false, a named file is written aside even where anonymous ones exist.
  struct SystemCalls {
    int (*sync_file)(int descriptor);
    int (*sync_folder)(int descriptor);
    bool anonymous_files;
  };
  static SystemCalls &system_calls();

 private:
  std::FILE *stream_ = nullptr;
  bool direct_ = false;
  bool owns_stream_ = false;
  bool anonymous_ = false;
  bool prepared_ = false;  // flushed (and on disk) for a commit
  int folder_ = -1;       // the target's folder
  std::string name_;      // the target's name in its folder
  std::string aside_;     // the named temporary file in the folder, or ""
  unsigned permissions_ = 0;
  bool replaces_ = false;  // a file stands at the target
  int slot_ = -1;          // where remove_unfinished finds the named temporary file
};

}  // namespace levelling

#endif
