// Real 3D model files: OBJ+MTL through the host's own reader, and on Linux
// glTF/GLB, FBX, 3DS, PLY, STL, COLLADA and whatever else assimp reads. Identities are content-derived so
// that reloading the same file yields the same GUIDs, generation ids and
// material stamps, and a changed object alone gets a new generation id.
#pragma once

#include <string>
#include <vector>

#include "hostmodel/model.h"
#include "hostmodel/result.h"

namespace hostmodel {

struct ImportOptions {
  // Metres per file unit when the file does not state its unit.
  double defaultUnitScale = 1.0;
  // Receives what the import left out but a user should know: a texture
  // image that is missing or unreadable (its material comes without
  // texture), line and point primitives dropped. Null: not reported.
  std::vector<std::string>* warnings = nullptr;
  // OBJ files are read by the host's own reader, which builds the model
  // that assimp's import builds, several times faster; a file that uses
  // what it does not handle goes to assimp. False: always assimp.
  bool directObj = true;
  // For an OBJ file: receives why the direct reader left it to assimp
  // (empty when it read the file itself). Null: not reported.
  std::string* objFallback = nullptr;
  // How many parts the direct reader cuts an OBJ file's text into, to read
  // them on several threads: 0 lets the file's size and the machine's
  // cores decide (a small file is read on one thread). The model is the
  // same whatever the number.
  int objParts = 0;
  // The direct reader reads an OBJ file's material libraries with the
  // host's own reader, as the Windows build always does, instead of
  // through assimp (for tests that compare the two; ignored on Windows).
  bool ownMaterialReader = false;
};

// Whether this build has the model importer (assimp) for the formats and
// OBJ files the host's own OBJ reader does not read. The Windows build has
// none: such a file is refused with that reason.
bool ModelImporterAvailable();

// Imports a model file into a new project (untitled, 3D window current, one
// reference level at 0). Errors name the file and the problem.
//
// Texture references are read as users' files are written: surrounding
// blanks are trimmed, a backslash separates folders too, and a reference whose written
// path does not exist (a folder of another machine, say) is looked up beside
// the model by its last path component. A texture that still cannot be
// decoded is a warning, not a failure.
Result<Project> ImportModel(const std::string& path, const ImportOptions& options = {});

// Loads either a native project file (".pln", ".json") or a model file.
Result<Project> LoadAnyFile(const std::string& path, const ImportOptions& options = {});

}  // namespace hostmodel
