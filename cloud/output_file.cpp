#include "cloud/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>

namespace levelling {

namespace {

// Links followed before a target counts as a loop, as the system counts them.
constexpr int kMaxLinks = 40;
constexpr int kNameAttempts = 100;
// The named file being written, for remove_unfinished (a signal handler may not allocate, so
// it lives in fixed storage).
// A slot an output, so that the outputs of a run written side by side are all removed.
constexpr size_t kNameCapacity = 64;
constexpr int kSlots = 64;
struct Unfinished {
  std::atomic<int> folder{-1};  // -1 while the slot holds no file (or its name is changing)
  char name[kNameCapacity] = "";
};
Unfinished unfinished[kSlots];
std::atomic<bool> claimed[kSlots];

int sync_descriptor(int descriptor) { return fsync(descriptor); }

std::string reason(int error_number) {
  return std::strerror(error_number != 0 ? error_number : EIO);
}

// Says that `name` in `folder` is being written, in the output's slot (claimed on first use).
void set_unfinished(int *slot, int folder, const std::string &name) {
  for (int s = 0; *slot < 0 && s < kSlots; ++s) {
    bool free = false;
    if (claimed[s].compare_exchange_strong(free, true)) {
      *slot = s;
    }
  }
  if (*slot < 0 || name.size() >= kNameCapacity) {
    return;  // more outputs at once than slots: this one is left to the caller's cleanup
  }
  Unfinished &each = unfinished[*slot];
  each.folder = -1;
  std::memcpy(each.name, name.c_str(), name.size() + 1);
  each.folder = folder;
}

void clear_unfinished(int *slot) {
  if (*slot < 0) {
    return;
  }
  unfinished[*slot].folder = -1;
  claimed[*slot] = false;
  *slot = -1;
}

// The folder part and the name part of a path ("a/b" -> "a", "b"; "b" -> ".", "b").
void split_path(const std::string &path, std::string *folder, std::string *name) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    *folder = ".";
    *name = path;
  } else {
    *folder = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

// Follows the symbolic links of `path` as far as they go: where the file they lead to is, or
// would be created. False with ELOOP in *error_number for a loop.
bool follow_links(std::string path, std::string *resolved, int *error_number) {
  for (int links = 0; links <= kMaxLinks; ++links) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      *resolved = path;
      return true;
    }
    std::string destination(size_t(PATH_MAX), '\0');
    const ssize_t length = readlink(path.c_str(), destination.data(), destination.size());
    if (length < 0) {
      *error_number = errno;
      return false;
    }
    destination.resize(size_t(length));
    if (!destination.empty() && destination[0] != '/') {
      std::string folder, name;
      split_path(path, &folder, &name);
      destination = folder + "/" + destination;
    }
    path = destination;
  }
  *error_number = ELOOP;
  return false;
}

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

OutputFile::SystemCalls &OutputFile::system_calls() {
  static SystemCalls calls{sync_descriptor, sync_descriptor, true};
  return calls;
}

OutputFile::~OutputFile() { abandon(); }

bool OutputFile::open(const std::string &target, std::string *error) {
  if (target == "-") {
    stream_ = stdout;
    direct_ = true;
    return true;
  }
  if (target.empty()) {
    *error = reason(ENOENT);
    return false;
  }
  struct stat status, standard_output;
  const bool exists = stat(target.c_str(), &status) == 0;
  if (exists && (!S_ISREG(status.st_mode) ||
                 (fstat(STDOUT_FILENO, &standard_output) == 0 &&
                  same_file(status, standard_output)))) {
    // A device, a pipe, or the process's own standard output: written as it is.
    if (S_ISDIR(status.st_mode)) {
      *error = reason(EISDIR);
      return false;
    }
    if (S_ISREG(status.st_mode)) {
      std::fflush(stdout);
      stream_ = stdout;
      direct_ = true;
      return true;
    }
    errno = 0;
    stream_ = std::fopen(target.c_str(), "wb");
    if (stream_ == nullptr) {
      *error = reason(errno);
      return false;
    }
    direct_ = owns_stream_ = true;
    return true;
  }
  std::string path;
  int link_error = 0;
  if (!follow_links(target, &path, &link_error)) {
    *error = reason(link_error);
    return false;
  }
  std::string folder;
  split_path(path, &folder, &name_);
  folder_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_ < 0) {
    *error = reason(errno);
    return false;
  }
  replaces_ = exists;
  const mode_t umask_now = umask(0);
  umask(umask_now);
  permissions_ = exists ? unsigned(status.st_mode & 07777) : unsigned(0666 & ~umask_now);
  const mode_t create_mode = mode_t(permissions_ & 0777);
  int descriptor = -1;
#ifdef O_TMPFILE
  if (system_calls().anonymous_files) {
    descriptor = openat(folder_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, create_mode);
    anonymous_ = descriptor >= 0;
  }
#endif
  if (descriptor < 0) {
    std::random_device entropy;
    std::mt19937_64 generator(entropy());
    for (int attempt = 0; attempt < kNameAttempts && descriptor < 0; ++attempt) {
      aside_ = ".levelling-" + std::to_string(generator() % 1000000000000ull) + ".tmp";
      descriptor = openat(folder_, aside_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC,
                          create_mode);
      if (descriptor < 0 && errno != EEXIST) {
        break;
      }
    }
    if (descriptor < 0) {
      *error = reason(errno);
      aside_.clear();
      return false;
    }
    set_unfinished(&slot_, folder_, aside_);
  }
  // The umask may have narrowed the mode; widen it back to what the replaced file had (never
  // beyond it).
  fchmod(descriptor, mode_t(permissions_));
  stream_ = fdopen(descriptor, "wb");
  if (stream_ == nullptr) {
    *error = reason(errno);
    ::close(descriptor);
    abandon();
    return false;
  }
  owns_stream_ = true;
  return true;
}

bool OutputFile::prepare(std::string *error, bool sync) {
  if (prepared_) {
    return true;
  }
  errno = 0;
  bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
  int failure = ok ? 0 : errno;
  const bool aside = anonymous_ || !aside_.empty();
  if (ok && sync && aside && system_calls().sync_file(fileno(stream_)) != 0) {
    ok = false;
    failure = errno;
  }
  if (!ok) {
    *error = reason(failure);
    abandon();
    return false;
  }
  prepared_ = true;
  return true;
}

bool OutputFile::commit(std::string *error, bool sync) {
  if (!prepare(error, sync)) {
    return false;
  }
  bool ok = true;
  int failure = 0;
  if (ok && anonymous_) {
    // The anonymous file gets a name in the folder, then takes the target's.
    const std::string descriptor_path = "/proc/self/fd/" + std::to_string(fileno(stream_));
    std::random_device entropy;
    std::mt19937_64 generator(entropy());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      aside_ = ".levelling-" + std::to_string(generator() % 1000000000000ull) + ".tmp";
      set_unfinished(&slot_, folder_, aside_);
      if (linkat(AT_FDCWD, descriptor_path.c_str(), folder_, aside_.c_str(),
                 AT_SYMLINK_FOLLOW) == 0) {
        failure = 0;
        break;
      }
      failure = errno;
      clear_unfinished(&slot_);
      aside_.clear();
      if (failure != EEXIST) {
        break;
      }
    }
    ok = !aside_.empty();
  }
  if (owns_stream_) {
    errno = 0;
    if (std::fclose(stream_) != 0 && ok) {
      ok = false;
      failure = errno;
    }
    owns_stream_ = false;
  }
  stream_ = nullptr;
  if (ok && !aside_.empty()) {
    if (renameat(folder_, aside_.c_str(), folder_, name_.c_str()) != 0) {
      ok = false;
      failure = errno;
    } else {
      aside_.clear();
      clear_unfinished(&slot_);
      if (sync && system_calls().sync_folder(folder_) != 0) {
        // The file is in place; only its folder's entry may not have reached the disk.
        ok = false;
        failure = errno;
      }
    }
  }
  if (!ok) {
    *error = reason(failure);
    abandon();
    return false;
  }
  abandon();  // closes the folder
  return true;
}

void OutputFile::abandon() {
  if (owns_stream_ && stream_ != nullptr) {
    std::fclose(stream_);
  }
  owns_stream_ = false;
  stream_ = nullptr;
  if (!aside_.empty()) {
    unlinkat(folder_, aside_.c_str(), 0);
    aside_.clear();
  }
  clear_unfinished(&slot_);
  if (folder_ >= 0) {
    ::close(folder_);
    folder_ = -1;
  }
  anonymous_ = false;
  prepared_ = false;
}

void OutputFile::remove_unfinished() {
  for (Unfinished &each : unfinished) {
    const int folder = each.folder;
    if (folder >= 0 && each.name[0] != '\0') {
      unlinkat(folder, each.name, 0);
    }
  }
}

}  // namespace levelling
