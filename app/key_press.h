// The single key press that ends a run.
#ifndef LEVELLING_APP_KEY_PRESS_H
#define LEVELLING_APP_KEY_PRESS_H

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
// settings are put back exactly as they were before it returns, and also when SIGTERM, SIGHUP,
// SIGQUIT or SIGINT arrives meanwhile (the process then dies of that signal as it would have).
// Returns kNoConsole at once when standard input is not a terminal (a pipe, a file, closed) and
// when the terminal's input ends before a key arrives.
int read_key_press();

}  // namespace levelling

#endif
