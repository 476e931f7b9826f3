// An OBJ file's materials on Windows, where there is no assimp: the host's
// own reader of MTL libraries (mtl_reader.h).
#include "obj_materials.h"

#include "mtl_reader.h"

namespace hostmodel::detail {

std::string ReadObjMaterials(const std::string& objPath, const std::vector<std::string>& libraries,
                             const std::vector<std::string>& unknown, ObjMaterials* out) {
  return ReadMaterialLibraries(objPath, libraries, unknown, out);
}

}  // namespace hostmodel::detail
