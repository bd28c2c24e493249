// LAZ clouds (compressed LAS), read by decoding them into LAS as they are read and streaming that
// as LAS (so every LAS promise holds: VLRs and EVLRs kept, records checked), each pass decoding
// the chunks anew on every core a few chunks ahead of the reader: nothing decoded is kept on
// disk or in memory beyond the chunks in flight. A pass that writes nothing decodes only the
// coordinates of formats 6 to 10. The compressed file is read from its mapping, its pages handed
// back chunk by chunk (a stream that cannot be mapped, which the program never hands over, is
// read whole into memory).
#include "formats/las/las_cloud.h"

#include <string>

#include "formats/core/cloud_stream.h"
#include "formats/las/laz_file.h"

namespace levelling {

StreamResult stream_laz_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options) {
  const size_t size = in->fill(SIZE_MAX);
  size_t released = 0;
  LazDecoder decoder(in->data(), size, options.threads > 0 ? options.threads : laz_threads(),
                     options.write.out == nullptr, [in, &released](size_t upto) {
                       in->release_range(released, upto);
                       released = upto;
                     });
  StreamResult result;
  const StreamFault opened = decoder.open(&result.dropped, &result.message);
  if (opened != StreamFault::kNone) {
    result.format = CloudFormat::kLaz;
    result.fault = opened;
    return result;
  }
  ByteReader las(&decoder);
  const std::string dropped = result.dropped;
  // Progress in the compressed file's bytes: up to the last chunk decoded and taken.
  StreamOptions as_las = options;
  if (options.progress) {
    as_las.progress = [&options, &released](int64_t) { options.progress(int64_t(released)); };
  }
  result = stream_las_cloud(&las, visit, as_las);
  result.format = CloudFormat::kLaz;
  result.dropped = dropped;
  if (decoder.fault() != StreamFault::kNone) {
    result.fault = decoder.fault();
    result.message = decoder.message();
  }
  in->consume(size);
  return result;
}

}  // namespace levelling
