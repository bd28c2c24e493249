// Running the demonstration in-process, reading its expected transcripts and comparing them.
#ifndef LEVELLING_TESTS_SUPPORT_TRANSCRIPT_H
#define LEVELLING_TESTS_SUPPORT_TRANSCRIPT_H

#include <string>

namespace levelling::test {

// What one run gave: everything it printed and what it returned.
struct RunResult {
  std::string output;
  int status;
};

// Runs the demonstration in this process with `input` as what the user types and a key reader
// that returns `key`.
RunResult run_in_process(const std::string &input, int key);

// The contents of tests/transcripts/<name>.
std::string expected_transcript(const std::string &name);

// Empty when the two texts are equal; otherwise a line-by-line account of where they differ.
std::string describe_difference(const std::string &expected, const std::string &actual);

// The numbers at the end of a transcript: the two estimated angles (degrees) and the six final
// points. Fails the current test when the transcript does not have them.
struct LevelledResult {
  float angle_x;
  float angle_y;
  float x[6];
  float y[6];
  float z[6];
};
LevelledResult parse_levelled_result(const std::string &transcript);

}  // namespace levelling::test

#endif
