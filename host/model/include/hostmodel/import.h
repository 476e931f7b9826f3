// Real 3D model files through assimp: OBJ+MTL, glTF/GLB, FBX, 3DS, PLY, STL,
// COLLADA and whatever else assimp reads. Identities are content-derived so
// that reloading the same file yields the same GUIDs, generation ids and
// material stamps, and a changed object alone gets a new generation id.
#pragma once

#include <string>

#include "hostmodel/model.h"
#include "hostmodel/result.h"

namespace hostmodel {

struct ImportOptions {
  // Metres per file unit when the file does not state its unit.
  double defaultUnitScale = 1.0;
};

// Imports a model file into a new project (untitled, 3D window current, one
// reference level at 0). Errors name the file and the problem.
Result<Project> ImportModel(const std::string& path, const ImportOptions& options = {});

// Loads either a native project file (".pln", ".json") or a model file.
Result<Project> LoadAnyFile(const std::string& path, const ImportOptions& options = {});

}  // namespace hostmodel
