// What a LAS file's coordinate system says that matters to levelling: whether it is geographic
// (longitude and latitude, which no rigid motion levels) and the units of its coordinates, from
// its GeoTIFF key directory or its OGC WKT (1 or 2).
#ifndef LEVELLING_FORMATS_LAS_LAS_CRS_H
#define LEVELLING_FORMATS_LAS_LAS_CRS_H

#include <cstddef>
#include <string>

#include "formats/core/cloud_stream.h"

namespace levelling {

struct LasCrs {
  bool geographic = false;
  LengthUnit horizontal = LengthUnit::kUnknown;  // of x and y
  LengthUnit vertical = LengthUnit::kUnknown;    // of z (a vertical system's own, when named)
};

// Reads a GeoTIFF key directory (the payload of LASF_Projection record 34735, `size` bytes):
// GTModelTypeGeoKey 2 is geographic; ProjLinearUnitsGeoKey and VerticalUnitsGeoKey of EPSG
// 9001, 9002 or 9003 name metres, feet or US survey feet. Sets only what the keys say; a
// directory too short for its count is read as far as it goes.
void read_geokey_crs(const char *keys, size_t size, LasCrs *crs);

// Reads OGC WKT (record 2112): GEOGCS or GEOGCRS at the top is geographic; the unit of a
// projected, local or engineering system (PROJCS, PROJCRS...) is the horizontal one, that of a
// vertical system (VERTCS, VERTCRS) the vertical one, known by its name or else by its factor to
// metres; units of parameters, datums and base systems are not the coordinates'. Sets only what
// the text says, the first of each kind; text that is not WKT says nothing.
void read_wkt_crs(const char *text, size_t size, LasCrs *crs);

// The unit a length unit's WKT name and factor to metres denote (kUnknown for any other).
LengthUnit length_unit_of(const std::string &name, double metres);

}  // namespace levelling

#endif
