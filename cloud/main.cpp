// levelling-cloud: finds the plane of a point cloud file (the largest plane near the up
// direction, robustly), prints it with the turn that brings it level, and writes the cloud
// turned level, every point keeping its height above the plane. The work is the library's
// (cloud/cloud_levelling.h), and so is the reading of its command line (cloud/command_line.h);
// this file installs the signal handlers and prints the outcome.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "cloud/cloud_levelling.h"
#include "cloud/command_line.h"
#include "cloud/output_file.h"

namespace {

using namespace levelling;

// Removes an unfinished output on a signal that ends the program, then ends it as the signal
// would have.
extern "C" void remove_unfinished_output(int signal_number) {
  OutputFile::remove_unfinished();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Installs the handler for `signal_number`, unless the caller ignores it (as nohup ignores
// SIGHUP): an ignored signal stays ignored.
void handle_unless_ignored(int signal_number) {
  if (std::signal(signal_number, remove_unfinished_output) == SIG_IGN) {
    std::signal(signal_number, SIG_IGN);
  }
}

// Blocks of this size or more (LAZ's chunks, the I/O buffers) are mapped apart and handed back
// to the system when freed. Left to itself, glibc raises the threshold after the first such free
// and keeps later ones in the arena of the thread that freed them: with the coding threads of
// many files one after another, memory held grew by 17 MB over sixteen LAZ tiles.
constexpr size_t kMappedBlock = size_t(1) << 20;

int fail(const std::string &message, int status) {
  std::fprintf(stderr, "%s: %s\n", kCommandLineProgram, message.c_str());
  return status;
}

}  // namespace

int main(int argc, char **argv) {
#ifdef __GLIBC__
  mallopt(M_MMAP_THRESHOLD, int(kMappedBlock));
#endif
  const CommandLine line =
      parse_command_line(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  if (line.finished) {
    std::fputs(line.out.c_str(), stdout);
    return line.error.empty() ? line.status : fail(line.error, line.status);
  }
  const LevellingRequest &request = line.request;
  // SIGBUS: the input, read from memory, shrank under the program.
  for (int signal_number : {SIGINT, SIGTERM, SIGBUS}) {
    handle_unless_ignored(signal_number);
  }
#ifdef SIGHUP
  handle_unless_ignored(SIGHUP);
#endif
  try {
    const LevellingOutcome outcome = level_cloud(request);
    // With several inputs some may have failed while the others were levelled: the report of
    // those, then a line for each failure; the status is the first failure's.
    std::FILE *to = outcome.report_to_stderr ? stderr : stdout;
    std::fputs(outcome.report.c_str(), to);
    if (std::fflush(to) != 0 || std::ferror(to)) {
      return fail(std::string("cannot write the report: ") + std::strerror(errno),
                  kUnwritableOutput);
    }
    if (outcome.status != kLevelled) {
      fail(outcome.message, outcome.status);
      for (const std::string &message : outcome.more_messages) {
        fail(message, outcome.status);
      }
    }
    return outcome.status;
  } catch (const std::exception &e) {
    return fail(std::string("unexpected fault: ") + e.what(), kInternalFault);
  }
}
