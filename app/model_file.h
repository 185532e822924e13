#pragma once
// A model file of any format into a mesh: OBJ text through the program's own reader,
// everything else through the import helper, with the textures either way.

#include <string>

#include "app/import_helper.h"
#include "geometry/mesh.h"

// Fills mesh (its previous contents are not released) from the model file at path,
// chosen by content (vyxDetectModelKind). OBJ text is read by vyxLoadMeshFromObj, whose
// messages it keeps; its textures are left to the caller (materials' textureFile). Any
// other file is read by the import helper as run describes, its stream decoded
// (vyxDecodeImportStream) and built into a mesh like an OBJ model; its textures are loaded
// here (external ones found from the model's folder with vyxFindPath, embedded ones
// decoded from memory), the base colour factor and alpha mode baked into their texels;
// the helper's notes and skipped points and lines get one line each on stderr naming
// path. Returns false, with mesh empty (nothing to release) and why holding one line
// ("it is a PNG image, not a model", "the importer crashed (segmentation fault)"), when
// the file is not a regular file of at most half the memory, is not a model, or cannot
// be read. With run.confine, every file the model names (libraries, textures, buffers)
// must lie in its folder and others are refused with a line naming them. Main thread
// only (SDL_image).
bool vyxLoadModelFile(const char* path, const vyxImportHelperRun& run, vyxMesh& mesh, std::string& why);
