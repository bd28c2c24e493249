#include "cloud/run_outputs.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "cloud/run_fault.h"

namespace levelling {

namespace {

namespace fs = std::filesystem;

// The file `path` names, as a key equal for every name of it; "" for a target that may be
// named more than once (a device, a pipe).
std::string file_key(const std::string &path) {
  if (path == "-") {
    return "-";
  }
  struct stat status = {};
  if (::stat(path.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
      return "";
    }
    return "file " + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  }
  std::error_code code;
  const fs::path absolute = fs::absolute(path, code);
  const fs::path resolved = code ? fs::path(path) : fs::weakly_canonical(absolute, code);
  return "path " + (code ? absolute.lexically_normal() : resolved).string();
}

}  // namespace

bool check_distinct_outputs(const std::vector<NamedPath> &outputs,
                            const std::vector<NamedPath> &inputs, LevellingOutcome *fault) {
  const auto keys_of = [](const std::vector<NamedPath> &paths) {
    std::vector<std::string> keys;
    for (const NamedPath &each : paths) {
      keys.push_back(each.path.empty() ? "" : file_key(each.path));
    }
    return keys;
  };
  const std::vector<std::string> output_keys = keys_of(outputs), input_keys = keys_of(inputs);
  for (size_t o = 0; o < outputs.size(); ++o) {
    const std::string &key = output_keys[o];
    if (key.empty() || key == "-") {
      continue;
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
      const NamedPath &input = inputs[i];
      if (input_keys[i] != key || input.path == outputs[o].own_input) {
        continue;
      }
      *fault = outputs[o].option == "-o"
                   ? failure(outputs[o].path,
                             "is the input; use --in-place to level the input itself",
                             kWouldOverwriteInput)
                   : failure(outputs[o].path,
                             outputs[o].option + " names an input (" + input.option +
                                 "): give the output a path of its own",
                             kWouldOverwriteInput);
      return false;
    }
  }
  for (size_t o = 0; o < outputs.size(); ++o) {
    for (size_t p = 0; p < o; ++p) {
      if (!output_keys[o].empty() && output_keys[o] == output_keys[p]) {
        const std::string shown = outputs[o].path == "-" ? "standard output" : outputs[o].path;
        *fault = failure(shown,
                         "named by both " + outputs[p].option + " and " + outputs[o].option +
                             ": give each output a path of its own",
                         kWouldOverwriteInput);
        return false;
      }
    }
  }
  return true;
}

bool commit_outputs(const std::vector<PendingOutput> &outputs, bool sync,
                    LevellingOutcome *fault) {
  std::string error;
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (!outputs[i].file->prepare(&error, sync)) {
      for (const PendingOutput &other : outputs) {
        other.file->abandon();
      }
      *fault = failure(outputs[i].shown, error, kUnwritableOutput);
      return false;
    }
  }
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (!outputs[i].file->commit(&error, sync)) {
      for (size_t j = i + 1; j < outputs.size(); ++j) {
        outputs[j].file->abandon();
      }
      *fault = failure(outputs[i].shown, error, kUnwritableOutput);
      return false;
    }
  }
  return true;
}

}  // namespace levelling
