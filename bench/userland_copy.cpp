// The least a program that changes a cloud's bytes must do, as a floor for the cloud benchmark:
// maps the input, touches every byte (adds one to each) and writes them through a 1 MiB buffer.
// `cat` copies inside the kernel (copy_file_range), which no such program can.
//
// Usage: userland_copy IN OUT
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kBuffer = size_t(1) << 20;

bool write_all(int fd, const char *bytes, size_t n) {
  while (n > 0) {
    const ssize_t wrote = write(fd, bytes, n);
    if (wrote <= 0) {
      return false;
    }
    bytes += wrote;
    n -= size_t(wrote);
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: userland_copy IN OUT\n");
    return 2;
  }
  const int in = open(argv[1], O_RDONLY);
  struct stat status;
  if (in < 0 || fstat(in, &status) != 0) {
    std::perror(argv[1]);
    return 3;
  }
  const size_t size = size_t(status.st_size);
  const char *mapped = static_cast<const char *>(
      size > 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, in, 0) : nullptr);
  if (size > 0 && mapped == MAP_FAILED) {
    std::perror(argv[1]);
    return 3;
  }
  const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    std::perror(argv[2]);
    return 6;
  }
  std::vector<char> buffer(kBuffer);
  for (size_t at = 0; at < size; at += kBuffer) {
    const size_t n = size - at < kBuffer ? size - at : kBuffer;
    for (size_t i = 0; i < n; ++i) {
      buffer[i] = char(mapped[at + i] + 1);
    }
    if (!write_all(out, buffer.data(), n)) {
      std::perror(argv[2]);
      return 6;
    }
  }
  return close(out) == 0 ? 0 : 6;
}
