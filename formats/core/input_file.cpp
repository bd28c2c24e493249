#include "formats/core/input_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "formats/core/byte_io.h"

namespace levelling {

namespace {

std::string reason(int error_number) {
  return std::strerror(error_number != 0 ? error_number : EIO);
}

}  // namespace

std::FILE *anonymous_temporary_file(std::string *error) {
  const char *folder = std::getenv("TMPDIR");
  std::string pattern = std::string(folder != nullptr && folder[0] != '\0' ? folder : "/tmp") +
                        "/levelling-spool-XXXXXX";
  errno = 0;
  const int descriptor = mkstemp(pattern.data());
  if (descriptor < 0) {
    *error = reason(errno);
    return nullptr;
  }
  unlink(pattern.c_str());
  std::FILE *file = fdopen(descriptor, "w+b");
  if (file == nullptr) {
    *error = reason(errno);
    close(descriptor);
  }
  return file;
}

InputFile::~InputFile() {
  if (stream_ != nullptr) {
    std::fclose(stream_);
  }
}

InputFile::InputFile(InputFile &&other) noexcept : stream_(other.stream_), size_(other.size_) {
  other.stream_ = nullptr;
}

bool InputFile::open(const std::string &name, std::string *error) {
  std::error_code code;
  const bool regular = name != "-" && std::filesystem::is_regular_file(name, code);
  std::FILE *source = stdin;
  if (name != "-") {
    errno = 0;
    source = std::fopen(name.c_str(), "rb");
    if (source == nullptr) {
      *error = reason(errno != 0 ? errno : ENOENT);
      return false;
    }
  }
  if (regular) {
    stream_ = source;
    size_ = int64_t(std::filesystem::file_size(name, code));
    return true;
  }
  std::string why;
  std::FILE *spool = anonymous_temporary_file(&why);
  if (spool == nullptr) {
    *error = "cannot spool the input: " + why;
    if (source != stdin) {
      std::fclose(source);
    }
    return false;
  }
  stream_ = spool;
  int read_error = 0;
  bool written = false;
  int write_error = 0;
  {
    ByteReader reader(source);
    ByteWriter writer(spool);
    // Stops at the first failed write (a full disk): an endless input ends there.
    while (writer.error() == 0 && reader.fill(1) > 0) {
      writer.write(reader.data(), reader.available());
      size_ += int64_t(reader.available());
      reader.consume(reader.available());
    }
    read_error = reader.error();
    written = writer.flush();
    write_error = writer.error();
  }
  if (source != stdin) {
    std::fclose(source);
  }
  if (read_error != 0 || !written) {
    *error = read_error != 0 ? reason(read_error)
                             : "cannot spool the input: " + reason(write_error);
    return false;
  }
  std::rewind(spool);
  return true;
}

}  // namespace levelling
