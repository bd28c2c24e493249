// libFuzzer target: the whole run in this process, with the fuzzer's bytes as what the user
// types and a scripted key press. Besides the sanitizers' checks, every run must print the same
// number of lines (every section, whatever the answers) and return the scripted key.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/run.h"

namespace {

constexpr int kScriptedKey = 'q';
constexpr size_t kTranscriptLines = 47;

size_t count_lines(const char *text, size_t length) {
  size_t lines = 0;
  for (size_t i = 0; i < length; ++i) {
    lines += text[i] == '\n' ? 1 : 0;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // fmemopen refuses an empty buffer; an empty file is the same input.
  std::FILE *in = size > 0 ? fmemopen(const_cast<uint8_t *>(data), size, "r")
                           : std::fopen("/dev/null", "r");
  char *text = nullptr;
  size_t length = 0;
  std::FILE *out = open_memstream(&text, &length);
  if (in == nullptr || out == nullptr) {
    std::abort();
  }
  const int status = levelling::run_demonstration(in, out, [] { return kScriptedKey; });
  std::fclose(out);
  std::fclose(in);
  const size_t lines = count_lines(text, length);
  std::free(text);
  if (status != kScriptedKey || lines != kTranscriptLines) {
    std::fprintf(stderr, "run returned %d and printed %zu lines\n", status, lines);
    std::abort();
  }
  return 0;
}
