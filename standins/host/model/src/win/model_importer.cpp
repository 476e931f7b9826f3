// No model importer on Windows: Debian packages no MinGW build of assimp.
// The host's own OBJ reader reads what it reproduces; every other file (an
// OBJ file it declines, glTF, FBX, 3DS, PLY, STL, COLLADA, ...) is refused
// saying why, never read half.
#include "model_importer.h"

namespace hostmodel::detail {

bool HasModelImporter() { return false; }

std::unique_ptr<ImportedScene> ImportWithModelImporter(const std::string& /*path*/, const std::string& declined,
                                                       std::string* error) {
  if (declined.empty())
    *error = "cannot read model (its format needs the model importer, which the Windows build does not include)";
  else
    *error = "cannot read model (the host's OBJ reader does not read it: " + declined +
             "; such a file needs the model importer, which the Windows build does not include)";
  return nullptr;
}

}  // namespace hostmodel::detail
