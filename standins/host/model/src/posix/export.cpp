#include "hostmodel/export.h"

#include <assimp/Exporter.hpp>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "hostmodel/image.h"

namespace hostmodel {

namespace {

namespace fs = std::filesystem;

struct Format {
  const char* ext;
  const char* id;
  bool yUp;
  bool triangles;
};

constexpr Format kFormats[] = {
    {".obj", "obj", true, false}, {".gltf", "gltf2", true, true},  {".glb", "glb2", true, true},
    {".fbx", "fbxa", true, true}, {".3ds", "3ds", false, true},    {".ply", "ply", false, true},
    {".stl", "stl", false, true}, {".dae", "collada", true, true},
};

aiVector3D ToFile(const Vec3& p, bool yUp) {
  // Inverse of the importer's Y-up conversion: (x, y, z) Z-up -> (x, z, -y).
  if (yUp) return aiVector3D(static_cast<ai_real>(p.x), static_cast<ai_real>(p.z), static_cast<ai_real>(-p.y));
  return aiVector3D(static_cast<ai_real>(p.x), static_cast<ai_real>(p.y), static_cast<ai_real>(p.z));
}

}  // namespace

Status ExportModel(const Project& project, const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const Format* format = nullptr;
  for (const Format& f : kFormats)
    if (ext == f.ext) format = &f;
  if (!format) return Status::Fail(path + ": no model format for extension \"" + ext + "\"");
  std::string problem = Validate(project);
  if (!problem.empty()) return Status::Fail(path + ": cannot export an inconsistent model: " + problem);

  auto scene = std::make_unique<aiScene>();
  scene->mRootNode = new aiNode("Project");

  // Textures go beside the model as PNG files named after it.
  fs::path dir = fs::path(path).parent_path();
  std::string stem = fs::path(path).stem().string();
  std::map<std::int32_t, std::string> textureFiles;
  // A binary glTF carries its images inside; other formats reference files.
  const bool embed = std::string(format->id) == "glb2";
  std::vector<aiTexture*> embedded;
  auto textureFile = [&](std::int32_t index) -> Result<std::string> {
    auto it = textureFiles.find(index);
    if (it != textureFiles.end()) return Result<std::string>::Ok(it->second);
    if (embed) {
      auto png = EncodePng(*project.TextureAt(index));
      if (!png) return Result<std::string>::Fail(path + ": " + png.error());
      auto* t = new aiTexture();
      t->mWidth = static_cast<unsigned>(png->size());
      t->mHeight = 0;
      std::snprintf(t->achFormatHint, sizeof t->achFormatHint, "png");
      // aiTexture frees pcData as an aiTexel array: allocate it as one.
      t->pcData = new aiTexel[(png->size() + sizeof(aiTexel) - 1) / sizeof(aiTexel)];
      std::memcpy(t->pcData, png->data(), png->size());
      embedded.push_back(t);
      std::string ref = "*" + std::to_string(embedded.size() - 1);
      textureFiles.emplace(index, ref);
      return Result<std::string>::Ok(ref);
    }
    // An image file already beside the model is referenced, not copied.
    const Texture& source = *project.TextureAt(index);
    std::error_code ec;
    if (!source.filePath.empty() && fs::is_regular_file(source.filePath, ec) &&
        fs::equivalent(fs::path(source.filePath).parent_path(), dir.empty() ? fs::path(".") : dir, ec)) {
      std::string own = fs::path(source.filePath).filename().string();
      textureFiles.emplace(index, own);
      return Result<std::string>::Ok(own);
    }
    std::string name = stem + "_texture" + std::to_string(index) + ".png";
    Status s = WritePng(*project.TextureAt(index), (dir / name).string());
    if (!s) return Result<std::string>::Fail(s.error());
    textureFiles.emplace(index, name);
    return Result<std::string>::Ok(name);
  };

  // Materials that some visible polygon uses, in host order.
  std::set<std::int32_t> used;
  for (const Element& e : project.elements)
    for (const Body& b : e.bodies)
      for (const Polygon& p : b.polygons)
        if (!p.invisible) used.insert(p.materialIndex);
  std::map<std::int32_t, unsigned> materialSlot;
  std::vector<aiMaterial*> materials;
  // A polygon whose material was deleted without replacement shows the
  // host's default material.
  Material deletedMaterial;
  deletedMaterial.name = "Default";
  auto materialAt = [&](std::int32_t mi) -> const Material& {
    const Material* m = project.MaterialAt(mi);
    return m != nullptr ? *m : deletedMaterial;
  };
  for (std::int32_t mi : used) {
    const Material& m = materialAt(mi);
    auto* am = new aiMaterial();
    materials.push_back(am);
    aiString name(m.name);
    am->AddProperty(&name, AI_MATKEY_NAME);
    aiColor3D diffuse(static_cast<float>(m.surfaceColor.r), static_cast<float>(m.surfaceColor.g),
                      static_cast<float>(m.surfaceColor.b));
    am->AddProperty(&diffuse, 1, AI_MATKEY_COLOR_DIFFUSE);
    // Exporters multiply the opacity into the base colour alpha themselves.
    aiColor4D base(diffuse.r, diffuse.g, diffuse.b, 1.0f);
    am->AddProperty(&base, 1, AI_MATKEY_BASE_COLOR);
    aiColor3D specular(static_cast<float>(m.secondColor.r), static_cast<float>(m.secondColor.g),
                       static_cast<float>(m.secondColor.b));
    am->AddProperty(&specular, 1, AI_MATKEY_COLOR_SPECULAR);
    float opacity = static_cast<float>(1.0 - m.transparency / 100.0);
    am->AddProperty(&opacity, 1, AI_MATKEY_OPACITY);
    float shininess = static_cast<float>(m.shininess / 10.0);
    am->AddProperty(&shininess, 1, AI_MATKEY_SHININESS);
    if (m.textureIndex > 0) {
      auto file = textureFile(m.textureIndex);
      if (!file) {
        for (aiMaterial* x : materials) delete x;
        for (aiTexture* x : embedded) delete x;
        return Status::Fail(file.error());
      }
      aiString tex(file.value());
      am->AddProperty(&tex, AI_MATKEY_TEXTURE_DIFFUSE(0));
      am->AddProperty(&tex, AI_MATKEY_TEXTURE(aiTextureType_BASE_COLOR, 0));
    }
    materialSlot.emplace(mi, static_cast<unsigned>(materials.size() - 1));
  }
  if (materials.empty()) {
    auto* am = new aiMaterial();
    aiString name("Default");
    am->AddProperty(&name, AI_MATKEY_NAME);
    materials.push_back(am);
  }
  if (!embedded.empty()) {
    scene->mNumTextures = static_cast<unsigned>(embedded.size());
    scene->mTextures = new aiTexture*[embedded.size()];
    std::copy(embedded.begin(), embedded.end(), scene->mTextures);
  }
  scene->mNumMaterials = static_cast<unsigned>(materials.size());
  scene->mMaterials = new aiMaterial*[materials.size()];
  std::copy(materials.begin(), materials.end(), scene->mMaterials);

  // One mesh per (element, body, material); every corner of every convex
  // piece gets its own vertex carrying the normal and texture coordinate the
  // host reports there (the importer joins equal ones again).
  std::vector<aiMesh*> meshes;
  std::vector<aiNode*> nodes;
  std::map<std::string, int> names;
  for (const Element& e : project.elements) {
    std::vector<unsigned> nodeMeshes;
    for (const Body& b : e.bodies) {
      std::map<std::int32_t, std::vector<const Polygon*>> byMaterial;
      for (const Polygon& p : b.polygons)
        if (!p.invisible) byMaterial[p.materialIndex].push_back(&p);
      for (const auto& [mi, polys] : byMaterial) {
        const Material& mat = materialAt(mi);
        const Texture* tex = project.TextureAt(mat.textureIndex);
        std::size_t corners = 0, faces = 0;
        for (const Polygon* p : polys)
          for (const auto& piece : p->convexPieces) {
            corners += piece.size();
            ++faces;
          }
        auto* mesh = new aiMesh();
        meshes.push_back(mesh);
        mesh->mMaterialIndex = materialSlot[mi];
        mesh->mPrimitiveTypes = aiPrimitiveType_POLYGON | aiPrimitiveType_TRIANGLE;
        mesh->mNumVertices = static_cast<unsigned>(corners);
        mesh->mVertices = new aiVector3D[corners];
        mesh->mNormals = new aiVector3D[corners];
        mesh->mTextureCoords[0] = new aiVector3D[corners];
        mesh->mNumUVComponents[0] = 2;
        mesh->mNumFaces = static_cast<unsigned>(faces);
        mesh->mFaces = new aiFace[faces];
        unsigned v = 0, f = 0;
        for (const Polygon* p : polys)
          for (const auto& piece : p->convexPieces) {
            aiFace& face = mesh->mFaces[f++];
            face.mNumIndices = static_cast<unsigned>(piece.size());
            face.mIndices = new unsigned[piece.size()];
            for (std::size_t k = 0; k < piece.size(); ++k) {
              std::int32_t vi = piece[k];
              mesh->mVertices[v] = ToFile(b.vertices[static_cast<std::size_t>(vi)], format->yUp);
              Vec3 n = p->curved ? VertexNormal(b, *p, vi) : PolygonNormal(b, *p);
              mesh->mNormals[v] = ToFile(n, format->yUp);
              Vec2 uv = TextureCoordinate(b, *p, vi);
              double w = tex ? tex->xSize : 1.0, h = tex ? tex->ySize : 1.0;
              mesh->mTextureCoords[0][v] =
                  aiVector3D(static_cast<ai_real>(uv.u / w), static_cast<ai_real>(uv.v / h), 0);
              face.mIndices[k] = v++;
            }
          }
        nodeMeshes.push_back(static_cast<unsigned>(meshes.size() - 1));
      }
    }
    if (nodeMeshes.empty()) continue;
    std::string name = e.name.empty() ? "Element" : e.name;
    // OBJ group names end at white space.
    if (std::string(format->id) == "obj")
      for (char& c : name)
        if (std::isspace(static_cast<unsigned char>(c))) c = '_';
    // Keep node names unique so the importer's node paths (and so the
    // elements' identities) follow the element names.
    if (int n = ++names[name]; n > 1) name += " " + std::to_string(n);
    auto* node = new aiNode(name);
    for (unsigned mi : nodeMeshes) meshes[mi]->mName = aiString(name);
    node->mParent = scene->mRootNode;
    node->mNumMeshes = static_cast<unsigned>(nodeMeshes.size());
    node->mMeshes = new unsigned[nodeMeshes.size()];
    std::copy(nodeMeshes.begin(), nodeMeshes.end(), node->mMeshes);
    nodes.push_back(node);
  }
  scene->mNumMeshes = static_cast<unsigned>(meshes.size());
  scene->mMeshes = new aiMesh*[meshes.size() ? meshes.size() : 1];
  std::copy(meshes.begin(), meshes.end(), scene->mMeshes);
  scene->mRootNode->mNumChildren = static_cast<unsigned>(nodes.size());
  scene->mRootNode->mChildren = new aiNode*[nodes.size() ? nodes.size() : 1];
  std::copy(nodes.begin(), nodes.end(), scene->mRootNode->mChildren);
  if (std::string(format->id) == "fbxa") {
    // FBX counts centimetres per unit; ours are metres.
    scene->mMetaData = aiMetadata::Alloc(2);
    scene->mMetaData->Set(0, "UnitScaleFactor", 100.0);
    scene->mMetaData->Set(1, "UpAxis", std::int32_t{1});
  }

  Assimp::Exporter exporter;
  unsigned steps = format->triangles ? aiProcess_Triangulate : 0u;
  if (exporter.Export(scene.get(), format->id, path, steps) != AI_SUCCESS) {
    std::string err = exporter.GetErrorString();
    std::error_code ec;
    fs::remove(path, ec);
    return Status::Fail(path + ": cannot write model (" + err + ")");
  }
  return Status::Ok();
}

}  // namespace hostmodel
