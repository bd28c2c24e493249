// Whatever the user types, the run finishes, prints every section in order and exits with 255
// (standard input is not a terminal here). Where the answers are finite numbers, the run must
// be the very run of those plain answers.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <cstdint>
#include <random>
#include <string>

#include "app/key_press.h"
#include "app/run.h"
#include "tests/support/process.h"
#include "tests/support/transcript.h"

namespace levelling::test {
namespace {

constexpr size_t kMebibyte = 1 << 20;

struct HostileCase {
  std::string name;
  std::string input;
  // The plain answers the input must be read as, or empty when an angle is not finite.
  std::string same_as;
};

void PrintTo(const HostileCase &c, std::ostream *os) { *os << c.name; }

std::string random_bytes(size_t count) {
  std::mt19937 generator(20261208);  // fixed seed; the engine's output is the same everywhere
  std::string bytes;
  for (size_t i = 0; i < count; ++i) {
    bytes += char(generator() & 0xFF);
  }
  return bytes;
}

std::string many_numbers(int count) {
  std::string numbers;
  for (int i = 1; i <= count; ++i) {
    numbers += std::to_string(i) + "\n";
  }
  return numbers;
}

const std::string kDefaults = "45 45 0";

std::vector<HostileCase> hostile_cases() {
  return {
      {"NaN", "nan\n", ""},
      {"NegativeNaN", "-nan\n", ""},
      {"Infinity", "inf\n", ""},
      {"NegativeInfinity", "-inf\n", ""},
      {"InfinitySpelledOut", "infinity\n", ""},
      {"OverflowToInfinity", "1e400\n", ""},
      {"OverflowToNegativeInfinity", "-1e400\n", ""},
      {"UnderflowToZero", "1e-400\n", "0 45 0"},
      {"HexadecimalEight", "0x1p3\n", "8 45 0"},
      // A lone sign or point is consumed and is no number: every angle keeps its default.
      {"LoneMinus", "-\n", kDefaults},
      {"LonePoint", ".\n", kDefaults},
      {"LonePlus", "+\n", kDefaults},
      // The C library reads a mantissa whose exponent has no digits as the mantissa alone.
      {"ExponentWithoutDigits", "1e\n", "1 45 0"},
      {"ExponentSignWithoutDigits", "1e+\n", "1 45 0"},
      {"TrailingLetters", "45abc\n", kDefaults},
      // "nan" is read; "(12)" is no number, so y and z keep their defaults.
      {"NaNWithPayload", "nan(12)\n", ""},
      {"CarriageReturnLineFeed", "10\r\n20\r\n30\r\n", "10 20 30"},
      {"ByteOrderMarkFirst", "\xEF\xBB\xBF" "10\n20\n30\n", kDefaults},
      {"NulByte", std::string("10\n\0 20\n30\n", 11), "10 45 0"},
      {"TabsAndVerticalTabs", "\t10\v20\t\v30\n", "10 20 30"},
      {"MebibyteOfDigits", std::string(kMebibyte, '7') + "\n", ""},
      {"MebibyteOfBlankLines", std::string(kMebibyte, '\n'), kDefaults},
      {"HundredThousandNumbers", many_numbers(100000), "1 2 3"},
      // The first byte of this sequence is not the start of a number.
      {"RandomBinaryBytes", random_bytes(4096), kDefaults},
      {"NoInput", "", kDefaults},
  };
}

// The length of the printed number ("%f": -12.345678, nan, -inf, ...) at text[i], or 0.
size_t number_length(const std::string &text, size_t i) {
  size_t end = i;
  if (end < text.size() && text[end] == '-') {
    ++end;
  }
  for (const char *word : {"nan", "inf"}) {
    if (text.compare(end, 3, word) == 0) {
      return end + 3 - i;
    }
  }
  const auto digits_from = [&text](size_t at) {
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
      ++at;
    }
    return at;
  };
  const size_t point = digits_from(end);
  if (point == end || point >= text.size() || text[point] != '.') {
    return 0;
  }
  const size_t after = digits_from(point + 1);
  return after == point + 1 ? 0 : after - i;
}

// The transcript with every printed number replaced by '#': the same for every run.
std::string shape_of(const std::string &transcript) {
  std::string shape;
  for (size_t i = 0; i < transcript.size();) {
    const size_t length = number_length(transcript, i);
    if (length > 0) {
      shape += '#';
      i += length;
    } else {
      shape += transcript[i++];
    }
  }
  return shape;
}

class HostileInputTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileInputTest, InProcessRunFinishesWithEverySection) {
  const RunResult run = run_in_process(GetParam().input, kNoConsole);
  const std::string expected_shape = shape_of(expected_transcript("answers_45_45_0.txt"));
  EXPECT_TRUE(shape_of(run.output) == expected_shape)
      << describe_difference(expected_shape, shape_of(run.output));
  EXPECT_EQ(kNoConsole, run.status);
  if (!GetParam().same_as.empty()) {
    const std::string plain = run_in_process(GetParam().same_as, kNoConsole).output;
    EXPECT_TRUE(run.output == plain) << "not read as " << GetParam().same_as << ":\n"
                                     << describe_difference(plain, run.output);
  }
}

TEST_P(HostileInputTest, ProgramFinishesWithEverySectionAndExits255) {
  const ProcessResult run = run_program(GetParam().input);
  const std::string expected_shape = shape_of(expected_transcript("answers_45_45_0.txt"));
  EXPECT_TRUE(shape_of(run.output) == expected_shape)
      << describe_difference(expected_shape, shape_of(run.output));
  ASSERT_TRUE(run.end.exited) << "killed by signal " << run.end.signal;
  EXPECT_EQ(255, run.end.exit_status);
  // The real program reads the same way as the run in this process.
  EXPECT_TRUE(run.output == run_in_process(GetParam().input, kNoConsole).output);
}

INSTANTIATE_TEST_SUITE_P(Answers, HostileInputTest, ::testing::ValuesIn(hostile_cases()),
                         [](const auto &info) { return info.param.name; });

struct BrokenStream {
  const char *shell;  // how the program is run, with $DEMO for it
  int status;
  const char *message;  // what it says on standard error
};

TEST(BrokenStreamTest, FailedWritesAndReadsAreSaidOnceWithTheirStatus) {
  const BrokenStream cases[] = {
      {"printf '10\\n20\\n30\\n' | $DEMO > /dev/full", kTranscriptNotWritten,
       "levelling-demo: cannot write the transcript: No space left on device\n"},
      {"printf '10\\n20\\n30\\n' | $DEMO >&-", kTranscriptNotWritten,
       "levelling-demo: cannot write the transcript: Bad file descriptor\n"},
      {"$DEMO < / > /dev/null", 255, "levelling-demo: cannot read the answers: Is a directory\n"},
  };
  const std::string errors = ::testing::TempDir() + "broken_stream_errors.txt";
  for (const BrokenStream &each : cases) {
    const std::string command = std::string("DEMO='" LEVELLING_DEMO_PATH "'; { ") + each.shell +
                                "; } 2> '" + errors + "'";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw)) << each.shell;
    EXPECT_EQ(each.status, WEXITSTATUS(raw)) << each.shell;
    std::ifstream said(errors);
    const std::string text((std::istreambuf_iterator<char>(said)), std::istreambuf_iterator<char>());
    EXPECT_EQ(each.message, text) << each.shell;
  }
  std::remove(errors.c_str());
}

}  // namespace
}  // namespace levelling::test
