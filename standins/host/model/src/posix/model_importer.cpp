// The model importer on Linux: assimp.
#include "model_importer.h"

#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "guarded_io.h"

namespace hostmodel::detail {

namespace {

class AssimpScene final : public ImportedScene {
 public:
  const aiScene* scene() const override { return scene_; }
  Assimp::Importer importer;
  const aiScene* scene_ = nullptr;
};

}  // namespace

bool HasModelImporter() { return true; }

std::unique_ptr<ImportedScene> ImportWithModelImporter(const std::string& path, const std::string& /*declined*/,
                                                       std::string* error) {
  auto result = std::make_unique<AssimpScene>();
  Assimp::Importer& importer = result->importer;
  importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
  // Degenerate polygons go; lines and points the file really holds stay in
  // meshes of their own (sorted by primitive type), so they can be counted
  // and then left out: the host's bodies are made of polygons. Removing
  // them inside assimp would refuse a file that holds nothing else.
  importer.SetPropertyBool(AI_CONFIG_PP_FD_REMOVE, true);
  // An OBJ file's material libraries go through the guard
  // (material_library_guard.h); other formats open what they open.
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  GuardedIO* guard = nullptr;
  if (ext == ".obj") importer.SetIOHandler(guard = new GuardedIO(path));
  result->scene_ =
      importer.ReadFile(path, aiProcess_JoinIdenticalVertices | aiProcess_ValidateDataStructure |
                                  aiProcess_SortByPType | aiProcess_FindDegenerates | aiProcess_FindInvalidData);
  if (guard != nullptr && !guard->refused().empty()) {
    *error = "cannot read model (a material library assimp cannot read safely: " + guard->refused() + ")";
    return nullptr;
  }
  if (!result->scene_) {
    *error = std::string("cannot read model (") + importer.GetErrorString() + ")";
    return nullptr;
  }
  return result;
}

}  // namespace hostmodel::detail
