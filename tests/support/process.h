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

// Runs levelling-demo with its standard input closed.
ProcessResult run_program_without_input();

// What the program of an InteractiveSession has for its standard input and output.
enum class Console {
  kTerminal,  // a fresh pseudo-terminal, its controlling terminal, for input, output and errors
  kPipes,     // two pipes: what the session types, and what the program prints
  kTerminalInput,  // the pseudo-terminal for input only; output and errors go to a pipe
};

// levelling-demo running while the test types at it and reads what it prints, as a person
// would. On a terminal the session keeps its own descriptor of the terminal, so the terminal's
// settings and input queue can be read before, during and after the run.
class InteractiveSession {
 public:
  // Opens the console (applying `adjust` to a terminal's settings), then starts the program,
  // with `ignored_signal` (when not 0) ignored, as a caller such as nohup ignores SIGHUP.
  explicit InteractiveSession(Console console, void (*adjust)(termios *) = nullptr,
                              int ignored_signal = 0);
  ~InteractiveSession();
  InteractiveSession(const InteractiveSession &) = delete;
  InteractiveSession &operator=(const InteractiveSession &) = delete;

  // Reads what the program writes until `text` has appeared; false after the timeout.
  bool wait_for_output(const std::string &text, int timeout_ms = 10000);
  // Types `keys`.
  void type(const std::string &keys);
  // Ends the program's input (pipes only).
  void close_input();
  // Waits until the terminal has left canonical mode (the program waits for its key).
  bool wait_for_key_wait(int timeout_ms = 10000);
  // Sends `signal_number` to the program.
  void send_signal(int signal_number);
  // Waits for the program to end and collects the rest of its output.
  ProcessEnd finish(int timeout_ms = 10000);

  // The terminal's settings and the number of typed bytes nobody has read (terminal only).
  termios settings() const;
  // Changes the terminal's settings, as a shell does when a job stops (terminal only).
  void set_settings(const termios &settings);
  int unread_input() const;
  const std::string &output() const { return output_; }

 private:
  void drain(int timeout_ms);

  int typing_ = -1;    // where typed keys go: the terminal's master side, or the input pipe
  int reading_ = -1;   // where the program's output arrives
  int terminal_ = -1;  // the terminal's own side, kept open by the session (terminal only)
  pid_t child_ = -1;
  std::string output_;
};

// True when two terminal settings are the same in every field the terminal driver uses.
bool same_settings(const termios &a, const termios &b);

}  // namespace levelling::test

#endif
