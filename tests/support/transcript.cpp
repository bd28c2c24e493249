#include "tests/support/transcript.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/run.h"

namespace levelling::test {

namespace {

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

RunResult run_in_process(const std::string &input, int key) {
  std::FILE *in = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in);
  std::rewind(in);
  char *buffer = nullptr;
  size_t size = 0;
  std::FILE *out = open_memstream(&buffer, &size);
  RunResult result;
  result.status = run_demonstration(in, out, [key] { return key; });
  std::fclose(out);
  std::fclose(in);
  result.output.assign(buffer, size);
  std::free(buffer);
  return result;
}

std::string expected_transcript(const std::string &name) {
  const std::string path = std::string(LEVELLING_TRANSCRIPT_DIR) + "/" + name;
  std::ifstream file(path, std::ios::binary);
  EXPECT_TRUE(file.good()) << "cannot read " << path;
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::string describe_difference(const std::string &expected, const std::string &actual) {
  if (expected == actual) {
    return "";
  }
  const std::vector<std::string> want = split_lines(expected);
  const std::vector<std::string> got = split_lines(actual);
  std::ostringstream report;
  const size_t lines = want.size() > got.size() ? want.size() : got.size();
  for (size_t i = 0; i < lines; ++i) {
    const std::string *w = i < want.size() ? &want[i] : nullptr;
    const std::string *g = i < got.size() ? &got[i] : nullptr;
    if (w && g && *w == *g) {
      continue;
    }
    report << "line " << i + 1 << ":\n";
    report << "  expected: " << (w ? "\"" + *w + "\"" : "(no line)") << "\n";
    report << "  actual:   " << (g ? "\"" + *g + "\"" : "(no line)") << "\n";
  }
  if (report.str().empty()) {  // same lines, different line ends or final newline
    report << "the texts differ only in line breaks (expected " << expected.size()
           << " bytes, actual " << actual.size() << ")\n";
  }
  return report.str();
}

LevelledResult parse_levelled_result(const std::string &transcript) {
  LevelledResult result = {};
  const std::vector<std::string> lines = split_lines(transcript);
  size_t i = 0;
  while (i < lines.size() && lines[i].rfind("a_x:", 0) != 0) {
    ++i;
  }
  EXPECT_LT(i, lines.size()) << "no angle line in:\n" << transcript;
  if (i >= lines.size()) {
    return result;
  }
  EXPECT_EQ(2, std::sscanf(lines[i].c_str(), "a_x:%f   a_y:%f", &result.angle_x,
                           &result.angle_y));
  const size_t first_point = i + 3;  // blank line and heading in between
  EXPECT_GE(lines.size(), first_point + 6) << transcript;
  for (size_t p = 0; p < 6 && first_point + p < lines.size(); ++p) {
    EXPECT_EQ(3, std::sscanf(lines[first_point + p].c_str(), "%f  %f   %f", &result.x[p],
                             &result.y[p], &result.z[p]))
        << lines[first_point + p];
  }
  return result;
}

}  // namespace levelling::test
