// A run's outputs as one commit: checked apart from its inputs and from each other before
// anything is read, and put in place together once every one of them is ready.
#ifndef LEVELLING_CLOUD_RUN_OUTPUTS_H
#define LEVELLING_CLOUD_RUN_OUTPUTS_H

#include <string>
#include <vector>

#include "cloud/cloud_levelling.h"
#include "cloud/output_file.h"

namespace levelling {

// A path a run reads or writes, with the option that names it (for messages). `own_input`: the
// one input an output may name (--in-place levels each input into itself), or "".
struct NamedPath {
  std::string path;
  std::string option;
  std::string own_input;
};

// False with the fault (status 7) when an output names one of the inputs or two outputs name
// one file: paths compared as the files they name (links followed; for a file not there yet,
// its absolute path with the links of its folders resolved); "-" is standard output. Devices,
// pipes and other targets that are no regular files or folders (/dev/null) may be named by
// several outputs. Empty paths are ignored.
bool check_distinct_outputs(const std::vector<NamedPath> &outputs,
                            const std::vector<NamedPath> &inputs, LevellingOutcome *fault);

// An output written, waiting to be put in place, and its name as messages show it.
struct PendingOutput {
  OutputFile *file;
  std::string shown;
};

// Puts every output in place once all are ready: each is prepared (flushed and, with `sync`, on
// disk), then each is committed. When one fails, every output not yet in place is abandoned:
// false with the fault (status 6).
bool commit_outputs(const std::vector<PendingOutput> &outputs, bool sync,
                    LevellingOutcome *fault);

}  // namespace levelling

#endif
