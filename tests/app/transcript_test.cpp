// The whole transcript of a run, byte for byte, for typed answers: in-process and as the real
// program with piped input. The expected files were computed independently of this program and
// checked against the known values of each case.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/key_press.h"
#include "tests/support/process.h"
#include "tests/support/transcript.h"

namespace levelling::test {
namespace {

struct TranscriptCase {
  const char *name;
  const char *input;       // what the user types
  const char *transcript;  // file under tests/transcripts
  bool as_process = false;  // also run the real program (the in-process run is the same code)
};

// Test names and failure messages show the case by its name.
void PrintTo(const TranscriptCase &c, std::ostream *os) { *os << c.name; }

// The answers `abc`, an empty input and no answer for y and z all keep the default angles, so
// they share the transcript of 45, 45, 0.
// The transcripts were computed by tests/transcripts/model.py, an independent model of the
// arithmetic, and checked by hand where a value is known (the slopes -tan(y) and
// tan(x) / cos(y), the estimated angles, the starting points coming back).
const TranscriptCase kCases[] = {
    {"Identity", "0\n0\n0\n", "answers_0_0_0.txt", true},
    {"Defaults", "45\n45\n0\n", "answers_45_45_0.txt", true},
    {"AllThreeAxes", "10\n20\n30\n", "answers_10_20_30.txt", true},
    {"NegativeY", "30\n-20\n0\n", "answers_30_-20_0.txt"},
    {"XBeyondQuarterTurn", "120\n0\n0\n", "answers_120_0_0.txt"},
    {"VerticalPlane", "90\n0\n0\n", "answers_90_0_0.txt"},
    {"YBeyondQuarterTurn", "45\n100\n0\n", "answers_45_100_0.txt"},
    {"BothBeyondQuarterTurn", "100\n100\n0\n", "answers_100_100_0.txt"},
    {"TextKeepsAllDefaults", "abc\n", "answers_45_45_0.txt"},
    {"TextAfterFirstAnswerIsNeverRead", "45\nabc\n7\n", "answers_45_45_0.txt"},
    {"EmptyInput", "", "answers_45_45_0.txt"},
    {"AnswersOnOneLineWithBlanks", "  \n\n10 20\t30", "answers_10_20_30.txt", true},
    // Negative pivots in the least-squares elimination.
    {"NegativePivots", "-180\n-160\n-135\n", "answers_-180_-160_-135.txt"},
    // The three-point normal's products, each kept in double until stored.
    {"ThreePointProducts", "-180\n-80\n7\n", "answers_-180_-80_7.txt"},
    // A vertical plane whose C is -0.0: no slope form, the zeros stay.
    {"VerticalPlaneWithNegativeZero", "-180\n-90\n0\n", "answers_-180_-90_0.txt"},
    // M = Rz * (Rx * Ry), not (Rz * Rx) * Ry.
    {"ProductOrderOfM", "-170\n-150\n-135\n", "answers_-170_-150_-135.txt"},
    {"NormsInDouble", "-170\n-130\n30\n", "answers_-170_-130_30.txt"},
    // Nearly vertical: the lifted z summed as (a*x + b*y) + c.
    {"NearlyVertical", "89.999\n90\n12\n", "answers_89.999_90_12.txt"},
    {"FractionalAnglesOnAllAxes", "12.5\n-33.25\n71.125\n", "answers_12.5_-33.25_71.125.txt"},
    {"NegativeXPositiveYNegativeZ", "-45\n30\n-60\n", "answers_-45_30_-60.txt"},
    {"TinyXNearlyVerticalY", "0.001\n-89.99\n45\n", "answers_0.001_-89.99_45.txt"},
};

class TranscriptTest : public ::testing::TestWithParam<TranscriptCase> {};

TEST_P(TranscriptTest, InProcessRunPrintsTheExpectedTranscript) {
  const RunResult run = run_in_process(GetParam().input, kNoConsole);
  const std::string expected = expected_transcript(GetParam().transcript);
  EXPECT_TRUE(run.output == expected) << describe_difference(expected, run.output);
  EXPECT_EQ(kNoConsole, run.status);
}

// The cases run as the real program too.
std::vector<TranscriptCase> process_cases() {
  std::vector<TranscriptCase> cases;
  for (const TranscriptCase &each : kCases) {
    if (each.as_process) {
      cases.push_back(each);
    }
  }
  return cases;
}

class ProgramTranscriptTest : public ::testing::TestWithParam<TranscriptCase> {};

TEST_P(ProgramTranscriptTest, ProgramWithPipedInputPrintsTheExpectedTranscriptAndExits255) {
  const ProcessResult run = run_program(GetParam().input);
  const std::string expected = expected_transcript(GetParam().transcript);
  EXPECT_TRUE(run.output == expected) << describe_difference(expected, run.output);
  ASSERT_TRUE(run.end.exited) << "killed by signal " << run.end.signal;
  EXPECT_EQ(255, run.end.exit_status);
}

INSTANTIATE_TEST_SUITE_P(Answers, TranscriptTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Answers, ProgramTranscriptTest, ::testing::ValuesIn(process_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(TranscriptTest, EachPromptReachesAPipeBeforeItsAnswerIsRead) {
  // As in `levelling-demo | tee log`: each question must be readable before it is answered.
  InteractiveSession session(Console::kPipes);
  const char *const answers[] = {"45\n", "45\n", "0\n"};
  const char axes[] = {'x', 'y', 'z'};
  for (int i = 0; i < 3; ++i) {
    const std::string prompt =
        std::string("Insert the rotation angle (in degrees) abot ") + axes[i] + " axis:\n";
    ASSERT_TRUE(session.wait_for_output(prompt)) << "no prompt for " << axes[i] << " in:\n"
                                                 << session.output();
    session.type(answers[i]);
  }
  session.close_input();
  const ProcessEnd end = session.finish();
  const std::string expected = expected_transcript("answers_45_45_0.txt");
  EXPECT_TRUE(session.output() == expected) << describe_difference(expected, session.output());
  EXPECT_EQ(255, end.exit_status);
}

TEST(TranscriptTest, ClosedInputKeepsTheDefaultsAndExits255) {
  const ProcessResult run = run_program_without_input();
  const std::string expected = expected_transcript("answers_45_45_0.txt");
  EXPECT_TRUE(run.output == expected) << describe_difference(expected, run.output);
  EXPECT_EQ(255, run.end.exit_status);
}

TEST(TranscriptTest, RunReturnsWhatTheKeyReaderReturned) {
  EXPECT_EQ(113, run_in_process("0 0 0\n", 'q').status);
  EXPECT_EQ(224, run_in_process("0 0 0\n", kKeyWithoutCharacter).status);
}

TEST(TranscriptTest, DifferenceReportNamesTheLine) {
  EXPECT_EQ("", describe_difference("a\nb\n", "a\nb\n"));
  const std::string report = describe_difference("a\nb\nc\n", "a\nB\nc\n");
  EXPECT_NE(std::string::npos, report.find("line 2:")) << report;
  EXPECT_NE(std::string::npos, report.find("\"B\"")) << report;
  EXPECT_NE(std::string::npos, describe_difference("a\n", "a").find("line breaks"));
}

}  // namespace
}  // namespace levelling::test
