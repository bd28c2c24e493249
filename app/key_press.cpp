#include "app/key_press.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace levelling {

namespace {

constexpr int kWaitForever = -1;
// The bytes of one key's escape sequence arrive together; a lone Escape is followed by nothing
// for at least this long (milliseconds).
constexpr int kSequenceGapMs = 100;
constexpr int kTerminal = STDIN_FILENO;
constexpr int kRestoringSignals[] = {SIGTERM, SIGHUP, SIGQUIT, SIGINT};
constexpr int kSignalCount = sizeof kRestoringSignals / sizeof kRestoringSignals[0];

// The settings to put back. A signal handler cannot be given arguments, so this one copy lives
// at file scope while a key is awaited.
termios saved_settings;

void restore_and_reraise(int signal_number) {
  tcsetattr(kTerminal, TCSANOW, &saved_settings);
  // The handler was installed with SA_RESETHAND, so the signal's own action is back in place;
  // it is delivered when this handler returns.
  raise(signal_number);
}

// Reads one byte, waiting at most timeout_ms (kWaitForever: no limit). Returns the byte, or -1
// when none arrived in time or the input ended.
int read_byte(int timeout_ms) {
  pollfd ready = {kTerminal, POLLIN, 0};
  int polled;
  do {
    polled = poll(&ready, 1, timeout_ms);
  } while (polled < 0 && errno == EINTR);
  if (polled <= 0) {
    return -1;
  }
  unsigned char byte;
  ssize_t got;
  do {
    got = read(kTerminal, &byte, 1);
  } while (got < 0 && errno == EINTR);
  return got == 1 ? byte : -1;
}

// Consumes the rest of a key that began with Escape and returns its code.
int finish_escape_sequence() {
  constexpr int kControlSequence = '[';  // ESC [ parameters final
  constexpr int kSingleShift = 'O';      // ESC O final
  constexpr int kLastParameterByte = 0x3F;
  constexpr int kFirstIntermediateByte = 0x20;

  const int second = read_byte(kSequenceGapMs);
  if (second < 0) {
    return kEscapeKey;
  }
  if (second == kControlSequence) {
    int byte = read_byte(kSequenceGapMs);
    if (byte == kControlSequence) {  // the Linux console's F1 to F5: ESC [ [ letter
      byte = read_byte(kSequenceGapMs);
    }
    while (byte >= kFirstIntermediateByte && byte <= kLastParameterByte) {
      byte = read_byte(kSequenceGapMs);
    }
  } else if (second == kSingleShift) {
    read_byte(kSequenceGapMs);
  }
  // Any other second byte is a key pressed with Alt, sent as Escape and the key.
  return kKeyWithoutCharacter;
}

// Consumes the continuation bytes of a UTF-8 character whose first byte is `lead`.
void finish_utf8_character(int lead) {
  constexpr int kTwoByteLead = 0xC0;
  constexpr int kThreeByteLead = 0xE0;
  constexpr int kFourByteLead = 0xF0;
  int remaining = lead >= kFourByteLead ? 3 : lead >= kThreeByteLead ? 2 : lead >= kTwoByteLead ? 1 : 0;
  while (remaining > 0 && read_byte(kSequenceGapMs) >= 0) {
    --remaining;
  }
}

int read_one_key() {
  const int first = read_byte(kWaitForever);
  if (first < 0) {
    return kNoConsole;
  }
  if (first == kEscapeKey) {
    return finish_escape_sequence();
  }
  finish_utf8_character(first);
  return first;
}

}  // namespace

int read_key_press() {
  if (!isatty(kTerminal) || tcgetattr(kTerminal, &saved_settings) != 0) {
    return kNoConsole;
  }

  struct sigaction restoring = {};
  restoring.sa_handler = restore_and_reraise;
  restoring.sa_flags = int(SA_RESETHAND);
  sigemptyset(&restoring.sa_mask);
  struct sigaction previous[kSignalCount];
  for (int i = 0; i < kSignalCount; ++i) {
    sigaction(kRestoringSignals[i], nullptr, &previous[i]);
    if (previous[i].sa_handler != SIG_IGN) {  // a signal the caller ignores stays ignored
      sigaction(kRestoringSignals[i], &restoring, nullptr);
    }
  }

  // One key at a time, as it is typed: no line editing, no echo, and Ctrl-C, Ctrl-S, Enter and
  // the like arrive as the bytes they send.
  termios key_at_a_time = saved_settings;
  key_at_a_time.c_lflag &= ~tcflag_t(ICANON | ECHO | ISIG | IEXTEN);
  key_at_a_time.c_iflag &= ~tcflag_t(IXON | ICRNL | INLCR | IGNCR);
  key_at_a_time.c_cc[VMIN] = 1;
  key_at_a_time.c_cc[VTIME] = 0;
  int key = kNoConsole;
  if (tcsetattr(kTerminal, TCSANOW, &key_at_a_time) == 0) {
    key = read_one_key();
  }

  tcsetattr(kTerminal, TCSANOW, &saved_settings);
  for (int i = 0; i < kSignalCount; ++i) {
    sigaction(kRestoringSignals[i], &previous[i], nullptr);
  }
  return key;
}

}  // namespace levelling
