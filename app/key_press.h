// The single key press that ends a run.
#ifndef LEVELLING_APP_KEY_PRESS_H
#define LEVELLING_APP_KEY_PRESS_H

#include <cstdio>

namespace levelling {

// What read_key_press returns when standard input is not a terminal.
constexpr int kNoConsole = -1;
// What it returns for the Escape key pressed alone.
constexpr int kEscapeKey = 27;
// What it returns for a key that sends an escape sequence (arrows, function keys, Home, ...).
constexpr int kKeyWithoutCharacter = 224;

// Waits for one key press on the terminal at standard input, without echo and without Enter,
// and returns its code: the byte of a plain character key (13 for Enter, 3 for Ctrl-C, the first
// byte of a multi-byte UTF-8 character), kEscapeKey or kKeyWithoutCharacter. Every byte of the
// key is consumed, so nothing of it is left for the shell.
//
// While it waits, the terminal is non-canonical, without echo and without signal keys; its
// settings are put back exactly as they were before it returns, and also when any signal whose
// default action ends the process arrives meanwhile (SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGUSR1,
// SIGALRM, SIGPIPE, SIGABRT, SIGXCPU and the rest; the process then dies of that signal as it
// would have). Stopped by SIGTSTP, it puts the settings back and stops; continued (SIGCONT,
// also after SIGSTOP), it takes the key mode again once it is in the foreground. Signals the
// caller ignores stay ignored. Returns kNoConsole at once when standard input is not a terminal
// (a pipe, a file, closed) and when the terminal's input ends before a key arrives.
int read_key_press();

// When `in` is the terminal, makes it unbuffered, so that reading the answers from it takes no
// byte beyond them: a key typed ahead (in a terminal that delivers everything typed at once, as
// a raw one does) is left for read_key_press. Call it before the first read.
void keep_typeahead_for_key(std::FILE *in);

}  // namespace levelling

#endif
