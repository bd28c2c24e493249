#include "formats/output_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace levelling {

namespace {

namespace fs = std::filesystem;

constexpr int kNameAttempts = 100;
constexpr size_t kPathCapacity = 4096;
// The temporary file now being written, for unfinished_path (a signal handler may not
// allocate, so it lives in a fixed buffer).
char unfinished[kPathCapacity] = "";

// Puts what the stream holds on the disk, as far as the system says it does.
bool sync_to_disk(std::FILE *stream) {
#ifdef _WIN32
  return _commit(_fileno(stream)) == 0;
#else
  return fsync(fileno(stream)) == 0;
#endif
}

std::string reason(int error_number) {
  return std::strerror(error_number != 0 ? error_number : EIO);
}

}  // namespace

OutputFile::~OutputFile() { abandon(); }

bool OutputFile::open(const std::string &target, std::string *error) {
  target_ = target;
  if (target == "-") {
    stream_ = stdout;
    direct_ = true;
    return true;
  }
  std::error_code code;
  fs::path path(target);
  // Through a symbolic link: the file it names is the one replaced, the link stays.
  if (fs::is_symlink(fs::symlink_status(path, code))) {
    const fs::path resolved = fs::canonical(path, code);
    if (!code) {
      path = resolved;
    }
  }
  const fs::file_status status = fs::status(path, code);
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    errno = 0;
    stream_ = std::fopen(target.c_str(), "wb");
    if (stream_ == nullptr) {
      *error = reason(errno);
      return false;
    }
    direct_ = owns_stream_ = true;
    return true;
  }
  std::random_device entropy;
  std::mt19937 generator(entropy());
  for (int attempt = 0; attempt < kNameAttempts && stream_ == nullptr; ++attempt) {
    temporary_ = path.string() + ".levelling-" + std::to_string(generator() % 1000000000u);
    errno = 0;
    stream_ = std::fopen(temporary_.c_str(), "wbx");
    if (stream_ == nullptr && errno != EEXIST) {
      break;
    }
  }
  if (stream_ == nullptr) {
    *error = reason(errno);
    temporary_.clear();
    return false;
  }
  target_ = path.string();
  owns_stream_ = true;
  if (temporary_.size() < kPathCapacity) {
    std::memcpy(unfinished, temporary_.c_str(), temporary_.size() + 1);
  }
  return true;
}

bool OutputFile::commit(std::string *error, bool sync) {
  errno = 0;
  bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
  if (ok && sync && !temporary_.empty()) {
    ok = sync_to_disk(stream_);
  }
  int failure = ok ? 0 : errno;
  if (owns_stream_) {
    errno = 0;
    if (std::fclose(stream_) != 0 && ok) {
      ok = false;
      failure = errno;
    }
    owns_stream_ = false;
  }
  stream_ = nullptr;
  if (ok && !temporary_.empty()) {
    std::error_code code;
    const fs::file_status old = fs::status(target_, code);
    if (fs::is_regular_file(old)) {
      fs::permissions(temporary_, old.permissions(), code);  // best effort
    }
    fs::rename(temporary_, target_, code);
    if (code) {
      ok = false;
      failure = code.value();
      *error = code.message();
    }
  }
  if (!ok) {
    if (error->empty()) {
      *error = reason(failure);
    }
    abandon();
    return false;
  }
  temporary_.clear();
  unfinished[0] = '\0';
  return true;
}

void OutputFile::abandon() {
  if (owns_stream_ && stream_ != nullptr) {
    std::fclose(stream_);
  }
  owns_stream_ = false;
  stream_ = nullptr;
  if (!temporary_.empty()) {
    std::remove(temporary_.c_str());
    temporary_.clear();
    unfinished[0] = '\0';
  }
}

const char *OutputFile::unfinished_path() { return unfinished; }

}  // namespace levelling
