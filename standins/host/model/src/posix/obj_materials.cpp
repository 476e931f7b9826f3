// An OBJ file's materials on Linux: read by assimp from a stand-in of the
// file that holds only the libraries, one face and the unknown names, so
// that they are exactly the materials its own import makes.
#include "obj_materials.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/Importer.hpp>
#include <assimp/MemoryIOWrapper.h>
#include <assimp/scene.h>

#include "guarded_io.h"

namespace hostmodel::detail {

namespace {

// A file that holds only the MTL libraries of the real one; every other
// file (the libraries themselves) comes from the disk through the guard.
class StandInIO : public GuardedIO {
 public:
  StandInIO(std::string path, std::string text) : GuardedIO(path), path_(std::move(path)), text_(std::move(text)) {}
  bool Exists(const char* file) const override { return path_ == file || Assimp::DefaultIOSystem::Exists(file); }
  Assimp::IOStream* Open(const char* file, const char* mode) override {
    if (path_ == file)
      return new Assimp::MemoryIOStream(reinterpret_cast<const std::uint8_t*>(text_.data()), text_.size(), false);
    return GuardedIO::Open(file, mode);
  }

 private:
  std::string path_, text_;
};

}  // namespace

std::string ReadObjMaterials(const std::string& objPath, const std::vector<std::string>& libraries,
                             const std::vector<std::string>& unknown, ObjMaterials* out) {
  // The face comes before the unknown names, so that it is made of the
  // material the libraries leave current.
  std::string standIn;
  for (const std::string& line : libraries) standIn += line + "\n";
  standIn += "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
  for (const std::string& name : unknown) standIn += "usemtl " + name + "\n";
  Assimp::Importer importer;
  auto* io = new StandInIO(objPath, std::move(standIn));
  importer.SetIOHandler(io);  // the importer owns it
  const bool read = importer.ReadFile(objPath, 0) != nullptr;
  if (!io->refused().empty()) return "a material library assimp cannot read safely: " + io->refused();
  if (!read) return std::string("assimp cannot read the materials: ") + importer.GetErrorString();
  out->scene.reset(importer.GetOrphanedScene());
  if (!out->scene || out->scene->mNumMaterials == 0) return "assimp gives no materials";
  // The face's mesh; the unknown names, used after it, may add others.
  if (out->scene->mNumMeshes == 0 || (unknown.empty() && out->scene->mNumMeshes != 1))
    return "assimp gives no mesh for a face";
  out->current = out->scene->mMeshes[0]->mMaterialIndex;
  return {};
}

}  // namespace hostmodel::detail
