// The demonstration run: the whole console dialogue, from the banner to the final key press.
#ifndef LEVELLING_APP_RUN_H
#define LEVELLING_APP_RUN_H

#include <cstdio>
#include <functional>

namespace levelling {

// Waits for the key press that ends the run and returns its code (see read_key_press).
using KeyReader = std::function<int()>;

// The exit status of a run whose transcript could not be written (EX_IOERR of sysexits.h).
constexpr int kTranscriptNotWritten = 74;

// Runs the demonstration once: prints the starting points, reads the x, y and z angles (degrees)
// from `in`, turns the points by them, fits the plane, levels it and prints every step to `out`.
// `out` is flushed before every read. Answers that are not numbers keep their default angles;
// nothing read from `in` can stop the run early. A read error on `in` keeps the defaults too, as
// the end of the input does, but is reported once on standard error. Returns what `read_key`
// returned, the program's exit status; when any write to `out` failed, says so on standard
// error instead, does not wait for the key (the transcript never reached the user) and returns
// kTranscriptNotWritten.
int run_demonstration(std::FILE *in, std::FILE *out, const KeyReader &read_key);

}  // namespace levelling

#endif
