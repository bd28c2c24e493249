// E57's reader and writer, the format table's entries for ASTM's scan exchange format.
#ifndef LEVELLING_FORMATS_E57_E57_CLOUD_H
#define LEVELLING_FORMATS_E57_E57_CLOUD_H

#include <memory>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/cloud_writer.h"

namespace levelling {

// Streams an E57 file from `in`, positioned at its start (see stream_cloud): every page's
// checksum checked as it is read, every scan of data3D (cartesian or spherical coordinates;
// floats, integers and scaled integers, bit-packed) with each point moved into the world by
// its scan's pose, a point whose invalid state says it has no position an empty point in its
// place. Written as E57, every pose (the scans' and the images') is composed with the motion
// and every binary section kept byte for byte: only the XML is rewritten, with the checksums of
// the pages it lies in. Converted, the points are x, y, z in the world and each other field of
// the first scan's prototype (colorRed, colorGreen, colorBlue named red, green, blue).
StreamResult stream_e57_cloud(ByteReader *in, const PointVisitor &visit,
                              const StreamOptions &options);

// The writer of conversions into E57: one scan (no pose), its points x, y, z as doubles and
// each other property a field of its type's range (red, green, blue named colorRed, colorGreen,
// colorBlue), bit-packed.
std::unique_ptr<CloudWriter> make_e57_cloud_writer(CloudFormat format, ByteWriter *out,
                                                   const StreamOptions &options);

}  // namespace levelling

#endif
