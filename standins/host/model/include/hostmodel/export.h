// Writes a project's 3D model to an interchange file through assimp (OBJ with
// MTL, glTF/GLB, FBX, 3DS, PLY, STL, COLLADA), the inverse of ImportModel:
// one node per element named after it, one material per used host material,
// textures as PNG files beside the model. Axes and units follow the same
// conventions ImportModel assumes for the format, so that importing the
// result gives back the geometry.
#pragma once

#include <string>

#include "hostmodel/model.h"
#include "hostmodel/result.h"

namespace hostmodel {

// The format comes from the extension of `path`.
Status ExportModel(const Project& project, const std::string& path);

}  // namespace hostmodel
