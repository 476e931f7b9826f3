#include "hostmodel/import.h"

#include <assimp/material.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>

#include "base/parallel_for.h"

#include "content_hash.h"
#include "hostmodel/geometry.h"
#include "hostmodel/image.h"
#include "hostmodel/project_file.h"
#include "model_importer.h"
#include "native_path.h"
#include "obj_reader.h"

namespace hostmodel {

namespace {

namespace fs = std::filesystem;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Row-major 4x4 affine transform in doubles (assimp's own is float).
struct Xform {
  double m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};

  static Xform From(const aiMatrix4x4& a) {
    Xform x;
    const ai_real* r[3] = {a[0], a[1], a[2]};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 4; ++j) x.m[i][j] = r[i][j];
    return x;
  }
  Xform operator*(const Xform& b) const {
    Xform c;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 4; ++j) {
        double s = j == 3 ? m[i][3] : 0.0;
        for (int k = 0; k < 3; ++k) s += m[i][k] * b.m[k][j];
        c.m[i][j] = s;
      }
    return c;
  }
  Vec3 Point(const aiVector3D& p) const {
    return {m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z + m[0][3],
            m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z + m[1][3],
            m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z + m[2][3]};
  }
  double Det() const {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  }
  // Normals transform by the inverse transpose; the cofactor matrix is that
  // up to a positive or negative scale, which normalising removes (the sign
  // is fixed by the determinant). Found once per transform, not per normal.
  struct NormalMap {
    double c[3][3];
    double s;
    Vec3 operator()(const aiVector3D& n) const {
      Vec3 r{s * (c[0][0] * n.x + c[0][1] * n.y + c[0][2] * n.z), s * (c[1][0] * n.x + c[1][1] * n.y + c[1][2] * n.z),
             s * (c[2][0] * n.x + c[2][1] * n.y + c[2][2] * n.z)};
      double len = std::sqrt(r.x * r.x + r.y * r.y + r.z * r.z);
      if (!(len > 0) || !std::isfinite(len)) return {};
      return {r.x / len, r.y / len, r.z / len};
    }
  };
  NormalMap Normals() const {
    NormalMap map;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
        map.c[i][j] = m[i1][j1] * m[i2][j2] - m[i1][j2] * m[i2][j1];
      }
    map.s = Det() < 0 ? -1.0 : 1.0;
    return map;
  }
};

double Dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

std::int16_t Clamp16(double v, double lo, double hi) {
  if (!std::isfinite(v)) v = lo;
  return static_cast<std::int16_t>(std::lround(std::clamp(v, lo, hi)));
}

double Clamp01(double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; }

// How a file format places its axes and units, after assimp's own
// conversions: it turns COLLADA documents and 3DS files Y-up (and COLLADA
// into metres) itself. PLY and STL carry no convention; CAD tools write
// them Z-up.
struct FileConvention {
  bool yUp = true;
  double scale = 1.0;  // metres per file unit; 0 = use the caller's default
};

// The file name's extension in lower case ("" for none).
std::string Extension(const std::string& path) { return Lower(detail::Utf8Path(detail::NativePath(path).extension())); }

FileConvention ConventionFor(const std::string& path, const aiScene* scene) {
  std::string ext = Extension(path);
  FileConvention c;
  if (ext == ".gltf" || ext == ".glb" || ext == ".dae") return c;  // metres by definition or by assimp
  c.scale = 0;
  if (ext == ".stl" || ext == ".ply") c.yUp = false;
  if (ext == ".fbx" && scene->mMetaData) {
    std::int32_t up = 1;
    if (scene->mMetaData->Get("UpAxis", up)) c.yUp = up != 2;
    // FBX states its unit as centimetres per file unit.
    float f = 0;
    double d = 0;
    if (scene->mMetaData->Get("UnitScaleFactor", f) && f > 0) c.scale = f / 100.0;
    else if (scene->mMetaData->Get("UnitScaleFactor", d) && d > 0) c.scale = d / 100.0;
  }
  return c;
}

Xform UnitAndAxis(const FileConvention& c, double defaultScale) {
  double s = c.scale > 0 ? c.scale : (defaultScale > 0 && std::isfinite(defaultScale) ? defaultScale : 1.0);
  Xform x;
  if (c.yUp) {
    // (x, y, z) Y-up becomes (x, -z, y) Z-up: a rotation, so handedness and
    // winding stay as they are.
    x.m[0][0] = s;
    x.m[0][1] = 0;
    x.m[0][2] = 0;
    x.m[1][0] = 0;
    x.m[1][1] = 0;
    x.m[1][2] = -s;
    x.m[2][0] = 0;
    x.m[2][1] = s;
    x.m[2][2] = 0;
  } else {
    x.m[0][0] = x.m[1][1] = x.m[2][2] = s;
  }
  return x;
}

class Importer {
 public:
  Importer(const std::string& path, const ImportOptions& options) : path_(path), options_(options) {}

  Result<Project> Run() {
    std::error_code ec;
    if (!fs::is_regular_file(detail::NativePath(path_), ec)) return Fail("cannot open model file");
    const aiScene* scene = nullptr;
    std::string declined;
    const bool obj = Extension(path_) == ".obj";
    if (obj && options_.directObj) {
      direct_ = detail::ReadObj(path_, &declined, options_.objParts, options_.ownMaterialReader);
      if (direct_) scene = direct_->scene();
      if (options_.objFallback) *options_.objFallback = direct_ ? std::string() : declined;
    } else if (obj) {
      declined = "the caller asked for the model importer";
    }
    if (!scene) {
      // Every other file goes to the model importer (model_importer.h).
      std::string error;
      imported_ = detail::ImportWithModelImporter(path_, declined, &error);
      if (!imported_) return Fail(error);
      scene = imported_->scene();
    }
    if (!scene->mRootNode) return Fail("model has no scene graph");
    if (scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) return Fail("model file is incomplete");
    scene_ = scene;
    WarnDroppedPrimitives();

    FileConvention conv = ConventionFor(path_, scene);
    root_ = UnitAndAxis(conv, options_.defaultUnitScale);

    project_.state.untitled = true;
    project_.state.currentWindow = WindowType::ThreeD;
    project_.state.referenceLevels = {{"Ground Floor", 0.0}};
    if (!Walk(scene->mRootNode, Xform::From(scene->mRootNode->mTransformation), "")) return Fail(error_);
    if (!error_.empty()) return Fail(error_);
    BuildBodies();
    std::string problem = Validate(project_);
    if (!problem.empty()) return Fail("import produced an inconsistent model: " + problem);
    return Result<Project>::Ok(std::move(project_));
  }

 private:
  Result<Project> Fail(const std::string& what) { return Result<Project>::Fail(path_ + ": " + what); }

  void WarnDroppedPrimitives() {
    // The direct reader counts them instead of keeping them.
    std::uint64_t lines = direct_ ? direct_->lines() : 0, points = direct_ ? direct_->points() : 0;
    for (unsigned i = 0; i < scene_->mNumMeshes; ++i) {
      const aiMesh* mesh = scene_->mMeshes[i];
      // The validated primitive types say which meshes hold any: most of a
      // large model's faces need not be looked at.
      if (!mesh || !mesh->mFaces || !(mesh->mPrimitiveTypes & (aiPrimitiveType_LINE | aiPrimitiveType_POINT))) continue;
      for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
        if (mesh->mFaces[f].mNumIndices == 2) ++lines;
        else if (mesh->mFaces[f].mNumIndices == 1) ++points;
      }
    }
    if (lines == 0 && points == 0) return;
    Warn("left out " + std::to_string(lines) + (lines == 1 ? " line" : " lines") + " and " + std::to_string(points) +
         (points == 1 ? " point" : " points") + ": the host's bodies are made of polygons");
  }

  // Host material index for an assimp material, created on first use.
  std::int32_t MaterialFor(unsigned aiIndex) {
    auto it = materialMap_.find(aiIndex);
    if (it != materialMap_.end()) return it->second;
    Material m;
    const aiMaterial* am = aiIndex < scene_->mNumMaterials ? scene_->mMaterials[aiIndex] : nullptr;
    aiString name;
    if (am && am->Get(AI_MATKEY_NAME, name) == AI_SUCCESS && !Trim(name.C_Str()).empty()) m.name = Trim(name.C_Str());
    else m.name = "Material " + std::to_string(aiIndex + 1);
    if (am) FillMaterial(*am, m);
    // Names identify materials across reloads; repeated names get a suffix.
    std::string key = m.name;
    for (int n = 2; usedMaterialNames_.count(key); ++n) key = m.name + "#" + std::to_string(n);
    usedMaterialNames_.insert(key);
    m.guid = Guid::FromName("material:" + key);
    project_.materials.push_back(std::move(m));
    auto idx = static_cast<std::int32_t>(project_.materials.size());
    materialMap_.emplace(aiIndex, idx);
    return idx;
  }

  void FillMaterial(const aiMaterial& am, Material& m) {
    aiColor3D c(0.8f, 0.8f, 0.8f);
    aiColor4D base;
    if (am.Get(AI_MATKEY_BASE_COLOR, base) == AI_SUCCESS) c = aiColor3D(base.r, base.g, base.b);
    else am.Get(AI_MATKEY_COLOR_DIFFUSE, c);
    m.surfaceColor = {Clamp01(c.r), Clamp01(c.g), Clamp01(c.b)};
    aiColor3D specular;
    m.secondColor = am.Get(AI_MATKEY_COLOR_SPECULAR, specular) == AI_SUCCESS && !specular.IsBlack()
                        ? ColorRGB{Clamp01(specular.r), Clamp01(specular.g), Clamp01(specular.b)}
                        : m.surfaceColor;
    float opacity = 1.0f;
    if (am.Get(AI_MATKEY_OPACITY, opacity) != AI_SUCCESS) opacity = 1.0f;
    float transparencyFactor = 0.0f;
    if (am.Get(AI_MATKEY_TRANSPARENCYFACTOR, transparencyFactor) == AI_SUCCESS && transparencyFactor > 0 &&
        opacity >= 1.0f)
      opacity = 1.0f - transparencyFactor;
    m.transparency = Clamp16((1.0 - opacity) * 100.0, 0, 100);
    // Phong exponents run to about 1000 (OBJ "Ns"); the host's scale to 10000.
    // A PBR roughness is the file's own statement; assimp derives a Phong
    // exponent from it too, so it is asked first.
    float shininess = 0, roughness = 0;
    if (am.Get(AI_MATKEY_ROUGHNESS_FACTOR, roughness) == AI_SUCCESS)
      m.shininess = Clamp16((1.0 - roughness) * 10000.0, 0, 10000);
    else if (am.Get(AI_MATKEY_SHININESS, shininess) == AI_SUCCESS) m.shininess = Clamp16(shininess * 10.0, 0, 10000);
    if (m.transparency > 0) m.percentage = 0;

    aiString tex;
    if (am.GetTexture(aiTextureType_BASE_COLOR, 0, &tex) != AI_SUCCESS &&
        am.GetTexture(aiTextureType_DIFFUSE, 0, &tex) != AI_SUCCESS)
      return;
    m.textureIndex = TextureFor(tex.C_Str(), m.name);
  }

  // Host texture index for a texture reference; 0 when it cannot be loaded
  // (the material then goes without texture and a warning says why).
  std::int32_t TextureFor(const std::string& rawRef, const std::string& materialName) {
    auto it = textureMap_.find(rawRef);
    if (it != textureMap_.end()) return it->second;
    const std::string ref = Trim(rawRef);
    Result<Texture> decoded = Result<Texture>::Fail("");
    if (const aiTexture* emb = scene_->GetEmbeddedTexture(rawRef.c_str())) {
      decoded = Embedded(*emb, rawRef);
    } else if (ref.empty()) {
      decoded = Result<Texture>::Fail("the texture file name is empty");
    } else {
      decoded = DecodeImageFile(LocateTexture(ref));
    }
    if (!decoded) {
      Warn("material \"" + materialName + "\" goes without its texture \"" + ref + "\": " + decoded.error());
      textureMap_.emplace(rawRef, 0);
      return 0;
    }
    Texture t = std::move(decoded).value();
    // Imported texture coordinates count image repeats; one repeat is one
    // model unit, so the host's coordinates equal the file's.
    t.xSize = 1.0;
    t.ySize = 1.0;
    std::int32_t idx = 0;
    for (std::size_t i = 0; i < project_.textures.size(); ++i)
      if (project_.textures[i].fingerprint == t.fingerprint) idx = static_cast<std::int32_t>(i + 1);
    if (!idx) {
      project_.textures.push_back(std::move(t));
      idx = static_cast<std::int32_t>(project_.textures.size());
    }
    textureMap_.emplace(rawRef, idx);
    return idx;
  }

  // The image file a texture reference names: the written path (relative to
  // the model's folder unless absolute) when it exists, else the file of the
  // same name beside the model, which is where a model copied from another
  // machine keeps its images. Either way a path that the decoder can report.
  std::string LocateTexture(const std::string& ref) const {
    std::string rel = ref;
    std::replace(rel.begin(), rel.end(), '\\', '/');
    const fs::path folder = detail::NativePath(path_).parent_path();
    const fs::path relative = detail::NativePath(rel);
    // "C:/..." is absolute on the machine that wrote it, not here.
    const bool drive =
        rel.size() > 2 && std::isalpha(static_cast<unsigned char>(rel[0])) && rel[1] == ':' && rel[2] == '/';
    const fs::path written = drive ? relative : relative.is_absolute() ? relative : folder / relative;
    std::error_code ec;
    if (!drive && fs::is_regular_file(written, ec)) return detail::Utf8Path(written.lexically_normal());
    const fs::path beside = folder / relative.filename();
    if (!relative.filename().empty() && fs::is_regular_file(beside, ec))
      return detail::Utf8Path(beside.lexically_normal());
    return detail::Utf8Path(written.lexically_normal());
  }

  static std::string Trim(const std::string& s) {
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
  }

  void Warn(const std::string& text) {
    if (options_.warnings) options_.warnings->push_back(path_ + ": " + text);
  }

  Result<Texture> Embedded(const aiTexture& emb, const std::string& ref) {
    std::string name = path_ + " (embedded texture " + ref + ")";
    if (emb.mHeight == 0) {
      // Compressed image bytes (PNG/JPEG) of mWidth bytes.
      if (!emb.pcData) return Result<Texture>::Fail(name + ": no data");
      auto r = DecodeImage({reinterpret_cast<const std::uint8_t*>(emb.pcData), emb.mWidth}, name);
      // The texture's own name must not depend on where the file lies.
      if (r) r->name = "embedded texture " + ref;
      return r;
    }
    if (static_cast<std::uint64_t>(emb.mWidth) * emb.mHeight > kMaxImagePixels || !emb.pcData)
      return Result<Texture>::Fail(name + ": pixel map too large or missing");
    Texture t;
    t.name = "embedded texture " + ref;
    t.width = static_cast<std::int32_t>(emb.mWidth);
    t.height = static_cast<std::int32_t>(emb.mHeight);
    t.pixels.resize(static_cast<std::size_t>(emb.mWidth) * emb.mHeight * 4);
    for (std::size_t i = 0, n = static_cast<std::size_t>(emb.mWidth) * emb.mHeight; i < n; ++i) {
      const aiTexel& px = emb.pcData[i];
      t.pixels[4 * i] = px.a;
      t.pixels[4 * i + 1] = px.r;
      t.pixels[4 * i + 2] = px.g;
      t.pixels[4 * i + 3] = px.b;
    }
    for (std::size_t i = 0; i < t.pixels.size(); i += 4)
      if (t.pixels[i] != 255) t.hasAlphaChannel = t.transparentPattern = true;
    t.fingerprint = PixelFingerprint(t.width, t.height, t.pixels);
    return Result<Texture>::Ok(std::move(t));
  }

  bool Walk(const aiNode* node, const Xform& local, const std::string& path, int depth = 0) {
    // Real scene graphs are shallow; a hostile one must not exhaust the stack.
    if (depth > kMaxDepth) {
      error_ = "scene graph nested deeper than " + std::to_string(kMaxDepth) + " levels";
      return false;
    }
    Xform world = root_ * local;
    if (node->mNumMeshes > 0) {
      // The walk finds the element's path and makes its materials in file
      // order (so host indices follow the file); its name, identity and
      // body come later, with the other nodes', in parallel.
      NodeJob job;
      job.node = node;
      job.world = world;
      job.path = path;
      for (unsigned k = 0; k < node->mNumMeshes; ++k) {
        const unsigned mi = node->mMeshes[k];
        if (mi < scene_->mNumMeshes && scene_->mMeshes[mi] && Polygonal(*scene_->mMeshes[mi]))
          MaterialFor(scene_->mMeshes[mi]->mMaterialIndex);
      }
      if (!error_.empty()) return false;
      jobs_.push_back(std::move(job));
    }
    const std::vector<unsigned> ordinal = SiblingOrdinals(*node);
    for (unsigned i = 0; i < node->mNumChildren; ++i) {
      const aiNode* child = node->mChildren[i];
      if (!child) continue;
      std::string name(ChildName(*child));
      if (ordinal[i] > 1) name += "#" + std::to_string(ordinal[i]);
      if (!Walk(child, local * Xform::From(child->mTransformation), path + "/" + name, depth + 1)) return false;
    }
    return true;
  }

  static std::string_view ChildName(const aiNode& child) {
    return child.mName.length ? std::string_view(child.mName.C_Str()) : std::string_view("node");
  }

  // Sibling names need not be unique in a file; the order among equal names
  // makes the path unique and stays stable across reloads: the k-th child
  // of a name (k from 1) is told apart by "#k" from the second on. Counted
  // in one pass through a table of the names, without a copy of each: a
  // model of many objects has them all under one node.
  static std::vector<unsigned> SiblingOrdinals(const aiNode& node) {
    std::unordered_map<std::string_view, unsigned> seen;
    seen.reserve(node.mNumChildren);
    std::vector<unsigned> ordinal(node.mNumChildren, 0);
    for (unsigned i = 0; i < node.mNumChildren; ++i)
      if (node.mChildren[i]) ordinal[i] = ++seen[ChildName(*node.mChildren[i])];
    return ordinal;
  }

  static bool Polygonal(const aiMesh& mesh) {
    return (mesh.mPrimitiveTypes & (aiPrimitiveType_POLYGON | aiPrimitiveType_TRIANGLE)) != 0;
  }

  // Bodies of every node the walk found, in parallel, each with its
  // element's identity found while its data is at hand; elements in walk
  // order.
  void BuildBodies() {
    const std::vector<std::uint64_t> matHash = StampMaterials();
    // A body is built in time with its faces; the large ones go first.
    const auto faces = [&](std::size_t i) {
      std::uint64_t n = 0;
      const aiNode* node = jobs_[i].node;
      for (unsigned k = 0; k < node->mNumMeshes; ++k)
        if (node->mMeshes[k] < scene_->mNumMeshes && scene_->mMeshes[node->mMeshes[k]] != nullptr)
          n += scene_->mMeshes[node->mMeshes[k]]->mNumFaces;
      return n;
    };
    base::ParallelForLargestFirst(jobs_.size(), faces, [&](std::size_t i) {
      NodeJob& job = jobs_[i];
      const aiNode& node = *job.node;
      job.element.name = job.path.empty() ? (node.mName.length ? node.mName.C_Str() : "Model") : job.path;
      job.element.guid = Guid::FromName("node:" + (job.path.empty() ? std::string("/") : job.path));
      job.path = std::string();
      job.body = BuildBody(job.node, job.world);
      // The direct reader's meshes belong to one node each: once its body
      // is built they are spent, and the bodies still to come reuse their
      // memory instead of asking the system for more.
      if (direct_)
        for (unsigned k = 0; k < node.mNumMeshes; ++k) direct_->ReleaseMesh(node.mMeshes[k]);
      if (job.body.polygons.empty()) return;
      job.body.closed = IsClosed(job.body);
      job.element.genId = GenerationId(job.body, matHash);
    });
    project_.elements.reserve(jobs_.size());
    for (NodeJob& job : jobs_) {
      if (job.body.polygons.empty()) continue;
      job.element.bodies.push_back(std::move(job.body));
      project_.elements.push_back(std::move(job.element));
    }
    jobs_.clear();
  }

  // Runs on parallel threads: reads the scene and the materials the walk
  // made, changes nothing shared.
  Body BuildBody(const aiNode* node, const Xform& world) const {
    BodyMaker maker(true);
    const bool mirrored = world.Det() < 0;
    const Xform::NormalMap normalOf = world.Normals();
    std::vector<Vec3> normals;
    std::vector<std::int32_t> loop;
    for (unsigned k = 0; k < node->mNumMeshes; ++k) {
      unsigned mi = node->mMeshes[k];
      if (mi >= scene_->mNumMeshes) continue;
      const aiMesh* mesh = scene_->mMeshes[mi];
      if (!mesh || !(mesh->mPrimitiveTypes & (aiPrimitiveType_POLYGON | aiPrimitiveType_TRIANGLE))) continue;
      const auto found = materialMap_.find(mesh->mMaterialIndex);
      if (found == materialMap_.end()) continue;
      const std::int32_t material = found->second;
      const bool hasNormals = mesh->HasNormals();
      const bool hasUV = mesh->HasTextureCoords(0);
      const auto base = static_cast<std::int32_t>(maker.body().vertices.size());
      maker.Reserve(mesh->mNumVertices, mesh->mNumFaces, hasNormals || hasUV);
      normals.assign(hasNormals ? mesh->mNumVertices : 0, Vec3{});
      for (unsigned v = 0; v < mesh->mNumVertices; ++v) {
        Vec3 p = world.Point(mesh->mVertices[v]);
        if (hasNormals || hasUV) {
          const Vec3 n = hasNormals ? normalOf(mesh->mNormals[v]) : Vec3{};
          if (hasNormals) normals[v] = n;
          Vec2 uv = hasUV ? Vec2{mesh->mTextureCoords[0][v].x, mesh->mTextureCoords[0][v].y} : Vec2{};
          maker.AddVertex(p, n, uv);
        } else {
          maker.AddVertex(p);
        }
      }
      BodyMaker::FaceOptions o;
      o.materialIndex = material;
      o.mapping.projection = hasUV ? TextureProjection::Vertex : TextureProjection::Box;
      const auto& verts = maker.body().vertices;
      for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
        const aiFace& face = mesh->mFaces[f];
        if (face.mNumIndices < 3) continue;
        loop.clear();
        bool bad = false;
        for (unsigned c = 0; c < face.mNumIndices; ++c) {
          if (face.mIndices[c] >= mesh->mNumVertices) bad = true;
          loop.push_back(base + static_cast<std::int32_t>(face.mIndices[c]));
        }
        if (bad) continue;
        if (mirrored) std::reverse(loop.begin(), loop.end());
        // A face is part of a smooth surface when its corners carry normals
        // that differ from the face's own (more than about 2 degrees).
        o.curved = false;
        if (hasNormals) {
          Vec3 fn = LoopNormal(verts, loop);
          for (unsigned c = 0; c < face.mNumIndices && !o.curved; ++c) {
            const Vec3& vn = normals[face.mIndices[c]];
            if (!(vn == Vec3{}) && Dot(vn, fn) < 0.9994) o.curved = true;
          }
        }
        maker.AddFace(loop, o);
      }
    }
    // Whether it is closed is found by the caller, with its identity.
    return maker.Take();
  }

  // Each vertex's first vertex at the same position (-0 the same as 0),
  // through an open-addressing table of positions.
  static std::vector<std::uint32_t> PositionIds(const std::vector<Vec3>& vertices) {
    const std::size_t n = vertices.size();
    std::size_t size = 16;
    while (size < 2 * n) size <<= 1;
    std::vector<std::uint32_t> slots(size, 0);  // vertex + 1, 0 empty
    std::vector<std::uint32_t> id(n);
    for (std::size_t i = 0; i < n; ++i) {
      const Vec3& v = vertices[i];
      std::size_t slot = static_cast<std::size_t>(VectorHash(v)) & (size - 1);
      while (slots[slot] != 0 && !(vertices[slots[slot] - 1] == v)) slot = (slot + 1) & (size - 1);
      if (slots[slot] == 0) slots[slot] = static_cast<std::uint32_t>(i + 1);
      id[i] = slots[slot] - 1;
    }
    return id;
  }

  // Closed when every edge (by position) is used exactly once in each
  // direction: a watertight, consistently oriented surface. A sorted array
  // rather than a tree: a large body has hundreds of thousands of edges.
  static bool IsClosed(const Body& body) {
    if (body.polygons.empty()) return false;
    const std::vector<std::uint32_t> id = PositionIds(body.vertices);
    // Each edge as its two ends, lower first, and its direction in the
    // lowest bit (vertex indices are below 2^31): sorted, the two uses of
    // an edge lie side by side, the forward one first. Edges between convex
    // pieces of one polygon cancel out as well, so the pieces can be
    // counted like separate faces.
    std::vector<std::uint64_t> edges;
    for (const Polygon& p : body.polygons)
      for (const auto& piece : p.convexPieces)
        for (std::size_t i = 0; i < piece.size(); ++i) {
          const std::uint64_t a = id[static_cast<std::size_t>(piece[i])];
          const std::uint64_t b = id[static_cast<std::size_t>(piece[(i + 1) % piece.size()])];
          if (a != b) edges.push_back(std::min(a, b) << 33 | std::max(a, b) << 1 | (a > b ? 1 : 0));
        }
    if (edges.size() % 2 != 0) return false;
    std::sort(edges.begin(), edges.end());
    // Exactly a forward and a backward use of every edge: an edge used
    // twice the same way, or only one way, breaks the pairs.
    for (std::size_t k = 0; k < edges.size(); k += 2)
      if ((edges[k] & 1) != 0 || edges[k + 1] != edges[k] + 1) return false;
    return true;
  }

  // Stamps and generation ids come from content, so a reload of an
  // unchanged file reproduces them and a changed object alone gets new
  // ones. Each material's stamp, and the hash its users' ids take in.
  std::vector<std::uint64_t> StampMaterials() {
    std::vector<std::uint64_t> matHash(project_.materials.size());
    for (std::size_t i = 0; i < project_.materials.size(); ++i) {
      Material& m = project_.materials[i];
      detail::ContentHash h(0x6d6174657269616cull);
      h.Text(m.name);
      for (double d :
           {m.surfaceColor.r, m.surfaceColor.g, m.surfaceColor.b, m.secondColor.r, m.secondColor.g, m.secondColor.b})
        h.Double(d);
      for (std::int64_t v : {std::int64_t{m.materialType}, std::int64_t{m.transparency}, std::int64_t{m.shininess},
                             std::int64_t{m.attenuation}, std::int64_t{m.percentage}})
        h.Mix64(static_cast<std::uint64_t>(v));
      if (const Texture* t = project_.TextureAt(m.textureIndex)) h.Text(t->fingerprint);
      matHash[i] = h.Low();
      // Positive and well inside 63 bits so that later bumps never wrap.
      m.stamp = static_cast<std::int64_t>((h.Low() >> 2) | 1);
    }
    return matHash;
  }

  // The generation id of an element made of body b (closedness found).
  static std::uint32_t GenerationId(const Body& b, const std::vector<std::uint64_t>& matHash) {
    detail::ContentHash h(0x67656e6964000001ull);
    h.Word(b.closed);
    h.Word(b.vertices.size());
    for (const Vec3& v : b.vertices) {
      h.WordDouble(v.x);
      h.WordDouble(v.y);
      h.WordDouble(v.z);
    }
    for (const Vec3& v : b.vertexNormals) {
      h.WordDouble(v.x);
      h.WordDouble(v.y);
      h.WordDouble(v.z);
    }
    for (const Vec2& t : b.texCoords) {
      h.WordDouble(t.u);
      h.WordDouble(t.v);
    }
    for (const Polygon& p : b.polygons) {
      h.Word(matHash[static_cast<std::size_t>(p.materialIndex - 1)]);
      h.Word((p.curved ? 2u : 0u) | (p.invisible ? 1u : 0u));
      h.Word(static_cast<std::uint64_t>(MappingOf(b, p).projection));
      for (const auto& piece : p.convexPieces) {
        h.Word(piece.size());
        for (std::int32_t v : piece) h.Word(static_cast<std::uint64_t>(v));
      }
    }
    const auto id = static_cast<std::uint32_t>(h.Low() ^ (h.Low() >> 32));
    return id ? id : 1;
  }

  static constexpr int kMaxDepth = 256;
  std::string path_;
  std::unique_ptr<detail::ImportedScene> imported_;
  std::unique_ptr<detail::DirectScene> direct_;
  ImportOptions options_;
  const aiScene* scene_ = nullptr;
  Xform root_;
  Project project_;
  std::string error_;
  std::map<unsigned, std::int32_t> materialMap_;
  struct NodeJob {
    const aiNode* node = nullptr;
    Xform world;
    std::string path;  // in the scene graph, "" for the root
    Element element;
    Body body;
  };
  std::vector<NodeJob> jobs_;
  std::map<std::string, std::int32_t> textureMap_;
  std::set<std::string> usedMaterialNames_;
};

}  // namespace

Result<Project> ImportModel(const std::string& path, const ImportOptions& options) {
  try {
    return Importer(path, options).Run();
  } catch (const std::exception& e) {
    // assimp and the standard library may throw on hostile input or memory
    // exhaustion; callers get a message, never an exception.
    return Result<Project>::Fail(path + ": cannot import model (" + e.what() + ")");
  }
}

bool ModelImporterAvailable() { return detail::HasModelImporter(); }

Result<Project> LoadAnyFile(const std::string& path, const ImportOptions& options) {
  std::string ext = Extension(path);
  if (ext == ".pln" || ext == ".json") return LoadProjectFile(path);
  return ImportModel(path, options);
}

}  // namespace hostmodel
