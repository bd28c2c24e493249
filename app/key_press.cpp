#include "app/key_press.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace levelling {

namespace {

constexpr int kWaitForever = -1;
// The bytes of one key's escape sequence arrive together; a lone Escape is followed by nothing
// for at least this long (milliseconds).
constexpr int kSequenceGapMs = 100;
constexpr int kTerminal = STDIN_FILENO;
// Every signal whose default action ends the process: each puts the terminal back first.
constexpr int kRestoringSignals[] = {
    SIGTERM, SIGHUP,  SIGQUIT, SIGINT,  SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE,   SIGABRT,
    SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS, SIGTRAP, SIGBUS, SIGFPE, SIGILL, SIGSEGV,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};
constexpr int kSignalCount = sizeof kRestoringSignals / sizeof kRestoringSignals[0];
// The stop and continue signals, handled while a key is awaited so that the terminal is the
// shell's while the program is stopped and the key mode's again when it continues.
constexpr int kJobSignals[] = {SIGTSTP, SIGCONT};
constexpr int kJobSignalCount = sizeof kJobSignals / sizeof kJobSignals[0];

// The settings to put back, and the key mode's. A signal handler cannot be given arguments, so
// these copies live at file scope while a key is awaited.
termios saved_settings;
termios key_settings;

void restore_and_reraise(int signal_number) {
  tcsetattr(kTerminal, TCSANOW, &saved_settings);
  // The handler was installed with SA_RESETHAND, so the signal's own action is back in place;
  // it is delivered when this handler returns.
  raise(signal_number);
}

// Puts the key mode back, unless the program now runs in the background (where changing the
// terminal would stop it again): it gets another SIGCONT when it is brought to the foreground.
void resume_key_mode() {
  if (tcgetpgrp(kTerminal) == getpgrp()) {
    tcsetattr(kTerminal, TCSANOW, &key_settings);
  }
}

void on_job_signal(int signal_number) {
  const int saved_errno = errno;
  if (signal_number == SIGTSTP) {
    // Stop as the signal would have, with the terminal as it was before the wait.
    tcsetattr(kTerminal, TCSANOW, &saved_settings);
    struct sigaction stop = {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    struct sigaction handler;
    sigaction(SIGTSTP, &stop, &handler);
    sigset_t tstp;
    sigemptyset(&tstp);
    sigaddset(&tstp, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &tstp, nullptr);
    raise(SIGTSTP);  // stops here until SIGCONT
    sigaction(SIGTSTP, &handler, nullptr);
  }
  resume_key_mode();
  errno = saved_errno;
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
    // ESC O final, or ESC O parameters final (Shift+F1 on some terminals: ESC O 2 P).
    int byte = read_byte(kSequenceGapMs);
    while (byte >= kFirstIntermediateByte && byte <= kLastParameterByte) {
      byte = read_byte(kSequenceGapMs);
    }
  } else {
    // A key pressed with Alt, sent as Escape and the key: all of the key's character.
    finish_utf8_character(second);
  }
  return kKeyWithoutCharacter;
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

void keep_typeahead_for_key(std::FILE *in) {
  if (isatty(fileno(in))) {
    std::setvbuf(in, nullptr, _IONBF, 0);
  }
}

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
  key_settings = saved_settings;
  key_settings.c_lflag &= ~tcflag_t(ICANON | ECHO | ISIG | IEXTEN);
  key_settings.c_iflag &= ~tcflag_t(IXON | ICRNL | INLCR | IGNCR);
  key_settings.c_cc[VMIN] = 1;
  key_settings.c_cc[VTIME] = 0;

  // Stopped and continued, the terminal goes back and forth with the program (a stop the
  // caller ignores stays ignored).
  struct sigaction job = {};
  job.sa_handler = on_job_signal;
  sigemptyset(&job.sa_mask);
  for (int i = 0; i < kJobSignalCount; ++i) {
    sigaddset(&job.sa_mask, kJobSignals[i]);
  }
  struct sigaction previous_job[kJobSignalCount];
  for (int i = 0; i < kJobSignalCount; ++i) {
    sigaction(kJobSignals[i], nullptr, &previous_job[i]);
    if (previous_job[i].sa_handler != SIG_IGN) {
      sigaction(kJobSignals[i], &job, nullptr);
    }
  }

  int key = kNoConsole;
  if (tcsetattr(kTerminal, TCSANOW, &key_settings) == 0) {
    key = read_one_key();
  }

  tcsetattr(kTerminal, TCSANOW, &saved_settings);
  for (int i = 0; i < kJobSignalCount; ++i) {
    sigaction(kJobSignals[i], &previous_job[i], nullptr);
  }
  for (int i = 0; i < kSignalCount; ++i) {
    sigaction(kRestoringSignals[i], &previous[i], nullptr);
  }
  return key;
}

}  // namespace levelling
