// Running levelling-cloud as a user does, for the process tests: a shell command in a fresh
// folder, its status, output and error, the files it leaves, its peak memory.
#ifndef LEVELLING_TESTS_SUPPORT_CLOUD_RUNS_H
#define LEVELLING_TESTS_SUPPORT_CLOUD_RUNS_H

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/cloud_files.h"

namespace levelling::test {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path &path) { return read_bytes(path.string()); }

inline void write_file(const fs::path &path, const std::string &bytes) {
  write_bytes(path.string(), bytes);
}

// The number after "key": in a JSON report (NaN when the key is missing).
inline double json_number(const std::string &json, const std::string &key) {
  const size_t at = json.find("\"" + key + "\": ");
  return at == std::string::npos ? NAN : std::stod(json.substr(at + key.size() + 4));
}

// A command expected to fail: its exit status and a part of its one line on standard error.
struct Fault {
  std::string command;
  int status;
  std::string message;
};

struct Ended {
  int status = -1;
  std::string out, err;
};

// Seconds a run may take before it counts as hung.
constexpr int kTimeLimitSeconds = 60;

class LevellingCloudTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_folder("levelling_cloud");
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path file(const std::string &name) const { return dir_ / name; }

  // Runs `command` through the shell in the test's directory, with levelling-cloud as $L (run
  // under a time limit, so that a fault that hangs fails the test) and as $P (bare).
  Ended run(const std::string &command) const {
    const std::string line = "cd '" + dir_.string() + "' && P='" LEVELLING_CLOUD_PATH
                             "' && L=\"timeout -k 5 " + std::to_string(kTimeLimitSeconds) +
                             " $P\" && { " + command + "; } > stdout.txt 2> stderr.txt";
    Ended result;
    const int raw = std::system(line.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = read_file(file("stdout.txt"));
    result.err = read_file(file("stderr.txt"));
    return result;
  }

  // The peak resident memory, in KiB, of levelling-cloud run with `arguments` in the test's
  // directory (its output discarded), and its exit status.
  long peak_kib(const std::string &arguments, int *status) const {
    const pid_t child = fork();
    if (child == 0) {
      if (chdir(dir_.c_str()) != 0) {
        _exit(127);
      }
      const std::string line = "exec '" LEVELLING_CLOUD_PATH "' " + arguments + " > /dev/null 2>&1";
      execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    int raw = 0;
    struct rusage usage = {};
    wait4(child, &raw, 0, &usage);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return usage.ru_maxrss;
  }

  // The files in the directory besides the run's own two.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name != "stdout.txt" && name != "stderr.txt") {
        names.push_back(name);
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // Runs each fault's command and expects its status, its message as the one line on standard
  // error (no terminal escape in it), nothing on standard output and no file left behind but
  // those named in `written`.
  void expect_refused(const std::vector<Fault> &faults,
                      const std::vector<std::string> &written = {}) const {
    const std::vector<std::string> before = files();
    for (const Fault &fault : faults) {
      const Ended ended = run(fault.command);
      EXPECT_EQ(fault.status, ended.status) << fault.command << "\n" << ended.err;
      EXPECT_NE(std::string::npos, ended.err.find(fault.message)) << fault.command << "\n"
                                                                 << ended.err;
      EXPECT_EQ(1, std::count(ended.err.begin(), ended.err.end(), '\n')) << ended.err;
      EXPECT_EQ(std::string::npos, ended.err.find('\x1b')) << fault.command;
      EXPECT_EQ("", ended.out) << fault.command;
      std::vector<std::string> after = files();
      for (const std::string &name : written) {
        after.erase(std::remove(after.begin(), after.end(), name), after.end());
      }
      EXPECT_EQ(before, after) << fault.command;
    }
  }

  fs::path dir_;
};


}  // namespace levelling::test

#endif
