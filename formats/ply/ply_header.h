// The header of a PLY file read and written again: its lines as they stood, so that a file can
// be written back with the same header.
#ifndef LEVELLING_FORMATS_PLY_PLY_HEADER_H
#define LEVELLING_FORMATS_PLY_PLY_HEADER_H

#include <string>

#include "formats/core/byte_io.h"
#include "formats/core/ply_types.h"

namespace levelling {

// Reads a PLY header from the start of `in` and consumes it. On a fault returns false and says
// what is wrong in *error (for example "line 4: unknown property type 'flaot'"). Accepts
// comment and obj_info lines anywhere, LF or CR LF line ends, and the types' both spellings
// (char/int8 ... double/float64). A header longer than 1 MiB is refused.
bool read_ply_header(ByteReader *in, PlyHeader *header, std::string *error);

// The header's lines again, with the format line saying `encoding`.
std::string ply_header_text(const PlyHeader &header, PlyEncoding encoding);

}  // namespace levelling

#endif
