#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace levelling::test {

namespace {

using Clock = std::chrono::steady_clock;

ProcessEnd decode(int status) {
  ProcessEnd end;
  if (WIFEXITED(status)) {
    end.exited = true;
    end.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    end.signal = WTERMSIG(status);
  }
  return end;
}

[[noreturn]] void exec_demo(int ignored_signal = 0) {
  // A program killed by SIGQUIT in a test leaves no core file behind.
  const rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  // The program starts with SIGPIPE's default action, as under a shell, even after a test of
  // this process ignored it (unless it is the signal to be ignored).
  if (ignored_signal != SIGPIPE) {
    std::signal(SIGPIPE, SIG_DFL);
  }
  execl(LEVELLING_DEMO_PATH, LEVELLING_DEMO_PATH, static_cast<char *>(nullptr));
  std::perror("exec " LEVELLING_DEMO_PATH);
  _exit(127);
}

// Runs levelling-demo with standard input from `input_fd`, or closed when it is -1, and
// collects what it prints.
ProcessResult run_program_reading(int input_fd) {
  ProcessResult result;
  int out_pipe[2];
  if (pipe(out_pipe) != 0) {
    return result;
  }
  const pid_t child = fork();
  if (child == 0) {
    if (input_fd >= 0) {
      dup2(input_fd, STDIN_FILENO);
    } else {
      close(STDIN_FILENO);
    }
    dup2(out_pipe[1], STDOUT_FILENO);
    close(out_pipe[0]);
    close(out_pipe[1]);
    exec_demo();
  }
  close(out_pipe[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = read(out_pipe[0], buffer, sizeof buffer)) > 0) {
    result.output.append(buffer, size_t(got));
  }
  close(out_pipe[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.end = decode(status);
  return result;
}

}  // namespace

ProcessResult run_program(const std::string &input) {
  std::FILE *in = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in);
  std::fflush(in);
  std::rewind(in);
  ProcessResult result = run_program_reading(fileno(in));
  std::fclose(in);
  return result;
}

ProcessResult run_program_without_input() { return run_program_reading(-1); }

InteractiveSession::InteractiveSession(Console console, void (*adjust)(termios *),
                                       int ignored_signal) {
  int program_input = -1;
  int program_output = -1;
  const bool terminal = console != Console::kPipes;
  if (terminal) {
    int master = -1;
    if (openpty(&master, &terminal_, nullptr, nullptr, nullptr) != 0) {
      std::perror("openpty");
      std::abort();
    }
    typing_ = reading_ = master;
    program_input = program_output = terminal_;
    if (console == Console::kTerminalInput) {
      int output_pipe[2];
      if (pipe(output_pipe) != 0) {
        std::perror("pipe");
        std::abort();
      }
      reading_ = output_pipe[0];
      program_output = output_pipe[1];
    }
    if (adjust) {
      termios settings;
      tcgetattr(terminal_, &settings);
      adjust(&settings);
      tcsetattr(terminal_, TCSANOW, &settings);
    }
  } else {
    // Typing at a program that has ended fails instead of killing the test.
    std::signal(SIGPIPE, SIG_IGN);
    int input_pipe[2];
    int output_pipe[2];
    if (pipe(input_pipe) != 0 || pipe(output_pipe) != 0) {
      std::perror("pipe");
      std::abort();
    }
    program_input = input_pipe[0];
    typing_ = input_pipe[1];
    reading_ = output_pipe[0];
    program_output = output_pipe[1];
  }
  child_ = fork();
  if (child_ == 0) {
    if (terminal) {
      setsid();
      ioctl(terminal_, TIOCSCTTY, 0);
    }
    if (ignored_signal != 0) {
      std::signal(ignored_signal, SIG_IGN);
    }
    dup2(program_input, STDIN_FILENO);
    dup2(program_output, STDOUT_FILENO);
    dup2(program_output, STDERR_FILENO);
    for (const int fd : {program_input, program_output, typing_, reading_}) {
      if (fd > STDERR_FILENO) {
        close(fd);
      }
    }
    exec_demo(ignored_signal);
  }
  if (console == Console::kPipes) {
    close(program_input);
  }
  if (program_output != terminal_) {
    close(program_output);
  }
}

InteractiveSession::~InteractiveSession() {
  if (child_ > 0) {
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
  }
  close_input();
  close(reading_);
  if (terminal_ >= 0 && typing_ != reading_) {
    close(typing_);  // the terminal's master side, when the output comes through a pipe
  }
  if (terminal_ >= 0) {
    close(terminal_);
  }
}

void InteractiveSession::close_input() {
  if (terminal_ < 0 && typing_ >= 0) {
    close(typing_);
    typing_ = -1;
  }
}

void InteractiveSession::drain(int timeout_ms) {
  pollfd ready = {reading_, POLLIN, 0};
  while (poll(&ready, 1, timeout_ms) > 0) {
    char buffer[4096];
    const ssize_t got = read(reading_, buffer, sizeof buffer);
    if (got <= 0) {
      return;
    }
    output_.append(buffer, size_t(got));
    timeout_ms = 0;
  }
}

bool InteractiveSession::wait_for_output(const std::string &text, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (output_.find(text) == std::string::npos) {
    if (Clock::now() > deadline) {
      return false;
    }
    drain(10);
  }
  return true;
}

void InteractiveSession::type(const std::string &keys) {
  const ssize_t written = write(typing_, keys.data(), keys.size());
  if (written != ssize_t(keys.size())) {
    std::perror("typing at the terminal");
  }
}

bool InteractiveSession::wait_for_key_wait(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while ((settings().c_lflag & ICANON) != 0) {
    if (Clock::now() > deadline) {
      return false;
    }
    drain(5);
  }
  return true;
}

void InteractiveSession::send_signal(int signal_number) { kill(child_, signal_number); }

void InteractiveSession::set_settings(const termios &settings) {
  tcsetattr(terminal_, TCSANOW, &settings);
}

ProcessEnd InteractiveSession::finish(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  while (waitpid(child_, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      return ProcessEnd{};
    }
    drain(10);
  }
  child_ = -1;
  drain(0);
  return decode(status);
}

termios InteractiveSession::settings() const {
  termios settings;
  std::memset(&settings, 0, sizeof settings);
  tcgetattr(terminal_, &settings);
  return settings;
}

int InteractiveSession::unread_input() const {
  int count = -1;
  ioctl(terminal_, FIONREAD, &count);
  return count;
}

bool same_settings(const termios &a, const termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
         cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace levelling::test
