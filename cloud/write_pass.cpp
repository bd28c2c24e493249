#include "cloud/write_pass.h"

#include <cstring>
#include <memory>
#include <string>

#include "cloud/run_fault.h"
#include "formats/core/byte_io.h"
#include "formats/core/moved_fields.h"

namespace levelling {

bool write_levelled(Run *run, Source *source, const double (&motion)[4][4], MapState *map) {
  const LevellingRequest &request = run->request;
  const StreamResult &read = source->read;
  const CloudFormat out_format = output_format(source->choice, read.format);
  source->written = out_format;
  std::string refusal = conversion_refusal(read, family_of(read.format), family_of(out_format));
  if (refusal.empty() && family_of(out_format) == CloudFamily::kLas && source->empty > 0) {
    refusal = "has " + std::to_string(source->empty) +
              " empty points (no return), which LAS cannot hold; write " +
              cloud_family_name(family_of(read.format)) + " instead";
  }
  if (!refusal.empty()) {
    source->out.abandon();
    source->fault = failure(source->shown, refusal, kUnsupportedInput);
    return false;
  }
  StreamResult written;
  bool flushed = false;
  int write_error = 0;
  {
    ByteWriter writer(source->out.stream());
    StreamOptions writing;
    writing.write.out = &writer;
    writing.write.format = out_format;
    writing.write.text_separator = is_csv(source->output) ? ',' : ' ';
    writing.write.points = read.points;
    const bool decimals_known =
        (read.format == CloudFormat::kText || family_of(read.format) == CloudFamily::kLas) &&
        !read.text_exponents;
    writing.write.decimals = request.precision >= 0 ? request.precision
                       : decimals_known       ? read.text_decimals
                                              : -1;
    writing.write.motion = motion;
    writing.write.box = source->box[0] <= source->box[3] ? source->box : nullptr;
    writing.write.las_scale = request.las_scale;
    std::vector<size_t> empties;
    std::vector<double> kept;
    std::unique_ptr<MapFeeder> feeder(map != nullptr ? new MapFeeder(map) : nullptr);
    int64_t index = source->first_point;
    written = stream_source(
        run, source, "levelling",
        [&](PointBlock *block) {
          move_block(motion, block, &empties, &kept);
          if (feeder != nullptr) {
            feeder->add(*block, index);
            index += int64_t(block->count);
          }
        },
        writing);
    source->decoded.reset();
    if (written.fault == StreamFault::kNone) {
      flushed = writer.flush();
      write_error = writer.error();
    } else {
      writer.discard();  // the stream is abandoned below: nothing more goes into it
    }
  }
  if (written.fault != StreamFault::kNone) {
    source->out.abandon();
    source->fault = failure(
        written.fault == StreamFault::kWrite ? source->output_shown : source->shown,
        written.message, status_of(written.fault));
    return false;
  }
  if (!flushed) {
    source->out.abandon();
    source->fault = failure(source->output_shown,
                            write_error != 0 ? std::strerror(write_error) : "a write failed",
                            kUnwritableOutput);
    return false;
  }
  // (A saved transform applied in one pass learns the count here.)
  source->read.points = written.points;
  source->read.has_normals = written.has_normals;
  return true;
}

void map_levelled(Run *run, const double (&motion)[4][4], MapState *map) {
  const std::vector<Source *> sources = live(*run);
  on_each(sources.size(), run->jobs, [&](size_t i) {
    std::vector<size_t> empties;
    std::vector<double> kept;
    MapFeeder feeder(map);
    int64_t index = sources[i]->first_point;
    stream_source(run, sources[i], "mapping",
                  [&](PointBlock *block) {
                    move_block(motion, block, &empties, &kept);
                    feeder.add(*block, index);
                    index += int64_t(block->count);
                  },
                  StreamOptions());
  });
}

}  // namespace levelling
