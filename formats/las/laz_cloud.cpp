// LAZ clouds (compressed LAS), read by decoding them whole into an anonymous temporary LAS file
// and streaming that as LAS (so every LAS promise holds: records picked for the sample, passes
// in halves, VLRs and EVLRs kept), and written by encoding the LAS a writer made.
//
// The decoded file is kept for the next pass over the same input where the caller keeps what a
// reader decoded (PassShortcuts::decoded): a file is decoded once a run, its chunks on every
// core, and its passes read LAS at LAS's speed. It takes the uncompressed size in $TMPDIR. The
// compressed file is read from its mapping (a stream that cannot be mapped, which the program
// never hands over, is read whole into memory).
#include "formats/las/las_cloud.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "formats/core/cloud_stream.h"
#include "formats/core/input_file.h"
#include "formats/las/laz_file.h"

namespace levelling {

namespace {

// A LAZ file decoded into LAS, kept between passes.
struct DecodedLaz : DecodedData {
  ~DecodedLaz() override {
    if (file != nullptr) {
      std::fclose(file);
    }
  }
  std::FILE *file = nullptr;
  std::string dropped;
};

StreamResult failed(StreamFault fault, const std::string &message) {
  StreamResult result;
  result.format = CloudFormat::kLaz;
  result.fault = fault;
  result.message = message;
  return result;
}

}  // namespace

StreamResult stream_laz_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options) {
  std::unique_ptr<DecodedData> *decoded = options.shortcuts.decoded;
  auto *kept = decoded != nullptr ? dynamic_cast<DecodedLaz *>(decoded->get()) : nullptr;
  std::unique_ptr<DecodedLaz> owned;
  if (kept == nullptr) {
    owned.reset(new DecodedLaz);
    std::string error;
    owned->file = anonymous_temporary_file(&error);
    if (owned->file == nullptr) {
      return failed(StreamFault::kRead, "cannot decode LAZ: " + error);
    }
    const size_t size = in->fill(SIZE_MAX);
    StreamFault fault;
    {
      ByteWriter writer(owned->file);
      size_t released = 0;
      const int threads = options.threads > 0 ? options.threads : laz_threads();
      fault = decode_laz_file(in->data(), size, &writer, threads, &owned->dropped, &error,
                              [in, &released](size_t upto) {
                                in->release_range(released, upto);
                                released = upto;
                              });
      if (fault == StreamFault::kNone && !writer.flush()) {
        fault = StreamFault::kRead;
        error = std::string("cannot decode LAZ: ") + std::strerror(writer.error());
      }
      if (fault != StreamFault::kNone) {
        writer.discard();
      }
    }
    if (fault != StreamFault::kNone) {
      return failed(fault, error);
    }
    in->consume(size);
    kept = owned.get();
  } else {
    in->consume(in->fill(SIZE_MAX));  // (the file is read from what the first pass decoded)
  }
  std::rewind(kept->file);
  std::unique_ptr<ByteReader> las(ByteReader::map_file(kept->file));
  if (!las) {
    return failed(StreamFault::kRead, "cannot map the decoded LAZ");
  }
  StreamResult result = stream_las_cloud(las.get(), visit, options);
  result.format = CloudFormat::kLaz;
  result.dropped = kept->dropped;
  if (las->error() != 0) {
    result.fault = StreamFault::kRead;
    result.message = std::strerror(las->error());
  }
  if (owned && options.shortcuts.decoded != nullptr) {
    *options.shortcuts.decoded = std::move(owned);
  }
  return result;
}

}  // namespace levelling
