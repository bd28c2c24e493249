// The key press that ends a run, on a real pseudo-terminal: the code it returns as the exit
// status, no echo, no bytes left behind, and the terminal's settings put back on every path.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/transcript.h"

namespace levelling::test {
namespace {

const char *const kPrompts[] = {
    "Insert the rotation angle (in degrees) abot x axis:\r\n",
    "Insert the rotation angle (in degrees) abot y axis:\r\n",
    "Insert the rotation angle (in degrees) abot z axis:\r\n",
};
const char *const kAnswers[] = {"45\n", "45\n", "0\n"};

// Settings unlike a fresh terminal's, so that putting back "some default" is caught.
void unusual_settings(termios *settings) {
  settings->c_lflag &= ~tcflag_t(ECHOKE);
  settings->c_cc[VTIME] = 7;
}

// Answers the three questions as a person would, each after its prompt has appeared, and waits
// until the program waits for its key.
void answer_questions(InteractiveSession &session) {
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(session.wait_for_output(kPrompts[i])) << session.output();
    session.type(kAnswers[i]);
  }
  ASSERT_TRUE(session.wait_for_key_wait()) << session.output();
}

// The transcript of 45, 45, 0 as the terminal shows it: line ends as CR LF, each answer echoed
// after its prompt, and nothing echoed after the end.
std::string terminal_transcript() {
  std::string text;
  for (const char c : expected_transcript("answers_45_45_0.txt")) {
    text += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  for (int i = 0; i < 3; ++i) {
    const std::string prompt = kPrompts[i];
    const std::string echo = std::string(kAnswers[i], 0, std::string(kAnswers[i]).size() - 1);
    text.insert(text.find(prompt) + prompt.size(), echo + "\r\n");
  }
  return text;
}

struct KeyCase {
  const char *name;
  const char *bytes;  // what the key sends
  int code;
};

// Test names and failure messages show the case by its name.
void PrintTo(const KeyCase &c, std::ostream *os) { *os << c.name; }

const KeyCase kKeys[] = {
    {"PlainLetter", "q", 113},
    {"Enter", "\r", 13},
    {"CtrlC", "\x03", 3},
    {"EscapeAlone", "\x1b", 27},
    {"ArrowUp", "\x1b[A", 224},
    {"F1", "\x1bOP", 224},
    {"PageDownWithParameter", "\x1b[6~", 224},
    {"ShiftArrowWithParameters", "\x1b[1;2C", 224},
    {"TwoByteCharacter", "\xc3\xa9", 0xc3},
    {"ThreeByteCharacter", "\xe2\x82\xac", 0xe2},
    {"LinuxConsoleF1", "\x1b[[A", 224},
    {"CtrlSIsAKeyNotAStop", "\x13", 19},
    {"AltWithTwoByteCharacter", "\x1b\xc3\xa9", 224},
    {"ShiftF1WithParameter", "\x1bO2P", 224},
};

class KeyPressTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyPressTest, KeyEndsTheRunWithItsCodeAndLeavesNothingBehind) {
  InteractiveSession session(Console::kTerminal, unusual_settings);
  const termios before = session.settings();
  answer_questions(session);

  session.type(GetParam().bytes);
  const ProcessEnd end = session.finish();

  ASSERT_TRUE(end.exited) << "signal " << end.signal << "\n" << session.output();
  EXPECT_EQ(GetParam().code, end.exit_status);
  EXPECT_EQ(0, session.unread_input()) << "bytes of the key were left for the shell";
  EXPECT_TRUE(same_settings(before, session.settings()));
  const std::string expected = terminal_transcript();
  EXPECT_TRUE(session.output() == expected) << describe_difference(expected, session.output());
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyPressTest, ::testing::ValuesIn(kKeys),
                         [](const auto &info) { return std::string(info.param.name); });

class KeyWaitSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(KeyWaitSignalTest, SignalDuringTheWaitRestoresTheTerminalThenKills) {
  InteractiveSession session(Console::kTerminal, unusual_settings);
  const termios before = session.settings();
  answer_questions(session);
  ASSERT_FALSE(same_settings(before, session.settings())) << "the wait changed nothing";

  session.send_signal(GetParam());
  const ProcessEnd end = session.finish();

  EXPECT_FALSE(end.exited) << "exit status " << end.exit_status;
  EXPECT_EQ(GetParam(), end.signal);
  EXPECT_TRUE(same_settings(before, session.settings()));
}

INSTANTIATE_TEST_SUITE_P(Signals, KeyWaitSignalTest,
                         ::testing::Values(SIGTERM, SIGHUP, SIGQUIT, SIGINT, SIGUSR1, SIGALRM,
                                           SIGPIPE, SIGABRT, SIGXCPU),
                         [](const auto &info) { return std::string(sigabbrev_np(info.param)); });

TEST(KeyWaitTypeaheadTest, WhatIsTypedAfterTheKeyStaysForTheShell) {
  InteractiveSession session(Console::kTerminal, unusual_settings);
  answer_questions(session);
  session.type("qls\n");
  const ProcessEnd end = session.finish();
  ASSERT_TRUE(end.exited) << "signal " << end.signal;
  EXPECT_EQ('q', end.exit_status);
  EXPECT_EQ(3, session.unread_input()) << "the terminal's queue was flushed with the settings";
}

TEST(KeyWaitSignalTest, HangupTheCallerIgnoresStaysIgnored) {
  InteractiveSession session(Console::kTerminal, unusual_settings, SIGHUP);
  const termios before = session.settings();
  answer_questions(session);
  session.send_signal(SIGHUP);
  session.type("q");
  const ProcessEnd end = session.finish();
  ASSERT_TRUE(end.exited) << "killed by signal " << end.signal;
  EXPECT_EQ('q', end.exit_status);
  EXPECT_TRUE(same_settings(before, session.settings()));
}

TEST(KeyWaitTypeaheadTest, WholeTranscriptReachesAPipeBeforeTheKeyIsAwaited) {
  // Answers from the terminal, the transcript into a pipe (`levelling-demo | tee log`): the
  // pipe's buffer must be flushed before the wait, or the user sees nothing to answer.
  InteractiveSession session(Console::kTerminalInput, unusual_settings);
  for (const char axis : {'x', 'y', 'z'}) {
    ASSERT_TRUE(session.wait_for_output(std::string("abot ") + axis + " axis:\n"))
        << session.output();
    session.type(axis == 'z' ? "0\n" : "45\n");
  }
  ASSERT_TRUE(session.wait_for_key_wait()) << session.output();
  const std::string expected = expected_transcript("answers_45_45_0.txt");
  EXPECT_TRUE(session.wait_for_output(expected, 2000))
      << describe_difference(expected, session.output());
  session.type("q");
  const ProcessEnd end = session.finish();
  ASSERT_TRUE(end.exited) << "signal " << end.signal;
  EXPECT_EQ('q', end.exit_status);
}

TEST(KeyWaitJobControlTest, StoppedAndContinuedTheWaitStillTakesOneKey) {
  InteractiveSession session(Console::kTerminal, unusual_settings);
  const termios before = session.settings();
  answer_questions(session);
  session.send_signal(SIGSTOP);
  // While the job is stopped its shell takes the terminal back, with line mode and echo.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  session.set_settings(before);
  session.send_signal(SIGCONT);
  ASSERT_TRUE(session.wait_for_key_wait(2000)) << "continued, the wait stayed in line mode";
  session.type("q");
  const ProcessEnd end = session.finish();
  ASSERT_TRUE(end.exited) << "signal " << end.signal;
  EXPECT_EQ('q', end.exit_status);
  EXPECT_TRUE(same_settings(before, session.settings()));
}

// A terminal already raw: no line mode, no echo, no CR to LF.
void raw_settings(termios *settings) {
  unusual_settings(settings);
  settings->c_lflag &= ~tcflag_t(ICANON | ECHO);
  settings->c_iflag &= ~tcflag_t(ICRNL);
  settings->c_cc[VMIN] = 1;
  settings->c_cc[VTIME] = 0;
}

TEST(KeyWaitTypeaheadTest, RawTerminalKeepsTheKeyPastedWithTheAnswers) {
  InteractiveSession session(Console::kTerminal, raw_settings);
  ASSERT_TRUE(session.wait_for_output(kPrompts[0])) << session.output();
  session.type("10\r20\r30\rq");
  const ProcessEnd end = session.finish(3000);
  ASSERT_TRUE(end.exited) << "the pasted key was lost: the program still waits";
  EXPECT_EQ('q', end.exit_status);
  EXPECT_NE(std::string::npos, session.output().find("a_x:10.000"));
}

}  // namespace
}  // namespace levelling::test
