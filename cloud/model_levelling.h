// A COLMAP model folder levelled as photogrammetry users train from it: its points' plane found
// with its images' cameras as the witness of up, then its points and poses moved and written as
// a model of the same kind (binary or text) into the output folder, its cameras (intrinsics),
// tracks, errors and colours as they were.
#ifndef LEVELLING_CLOUD_MODEL_LEVELLING_H
#define LEVELLING_CLOUD_MODEL_LEVELLING_H

#include "cloud/cloud_levelling.h"
#include "scene/colmap_model.h"

namespace levelling {

// Levels the model in `files` (the request's one input, a folder) into the folder the request's
// output names (none: only the report): up from its images' cameras (or --cameras, or --up), or
// by a saved transform. Every file is read and checked before anything is written; each is put
// in place whole. Never throws for a fault of the input or output.
LevellingOutcome level_colmap_model(const LevellingRequest &request,
                                    const ColmapModelFiles &files);

}  // namespace levelling

#endif
