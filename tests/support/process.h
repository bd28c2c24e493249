// Running the real levelling-demo program: with piped input, and on a pseudo-terminal.
#ifndef LEVELLING_TESTS_SUPPORT_PROCESS_H
#define LEVELLING_TESTS_SUPPORT_PROCESS_H

#include <sys/types.h>
#include <termios.h>

#include <string>

namespace levelling::test {

// How a process ended: its exit status, or the signal that killed it.
struct ProcessEnd {
  bool exited = false;
  int exit_status = -1;
  int signal = 0;
};

struct ProcessResult {
  std::string output;
  ProcessEnd end;
};

// Runs levelling-demo with `input` as its standard input (not a terminal) and collects its
// standard output.
ProcessResult run_program(const std::string &input);

// levelling-demo running on a fresh pseudo-terminal as its controlling terminal, with standard
// input, output and error all on it. The session keeps its own descriptor of the terminal, so
// the terminal's settings and input queue can be read before, during and after the run.
class TerminalSession {
 public:
  // Opens the terminal, applies `adjust` to its settings, then starts the program on it.
  explicit TerminalSession(void (*adjust)(termios *) = nullptr);
  ~TerminalSession();
  TerminalSession(const TerminalSession &) = delete;
  TerminalSession &operator=(const TerminalSession &) = delete;

  // Reads what the program writes until `text` has appeared; false after the timeout.
  bool wait_for_output(const std::string &text, int timeout_ms = 10000);
  // Types `keys` at the terminal.
  void type(const std::string &keys);
  // Waits until the terminal has left canonical mode (the program waits for its key).
  bool wait_for_key_wait(int timeout_ms = 10000);
  // Sends `signal_number` to the program.
  void send_signal(int signal_number);
  // Waits for the program to end and collects the rest of its output.
  ProcessEnd finish(int timeout_ms = 10000);

  termios settings() const;
  // Bytes typed at the terminal that nobody has read.
  int unread_input() const;
  const std::string &output() const { return output_; }

 private:
  void drain(int timeout_ms);

  int master_ = -1;
  int slave_ = -1;
  pid_t child_ = -1;
  std::string output_;
};

// True when two terminal settings are the same in every field the terminal driver uses.
bool same_settings(const termios &a, const termios &b);

}  // namespace levelling::test

#endif
