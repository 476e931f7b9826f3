#include "mtl_reader.h"

#include <assimp/ObjMaterial.h>
#include <assimp/material.h>
#include <assimp/scene.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>

#include "assimp_numbers.h"
#include "material_library_guard.h"
#include "native_path.h"

namespace hostmodel::detail {

namespace {

// No material library is this large; a larger file is not one.
constexpr std::uintmax_t kMaxLibraryBytes = std::uintmax_t{64} << 20;

// One material as assimp's OBJ import holds it before it becomes an
// aiMaterial, with assimp's defaults.
struct Definition {
  std::string name;
  int illum = 1;
  aiColor3D ambient{0, 0, 0}, diffuse{0.6f, 0.6f, 0.6f}, specular{0, 0, 0}, emissive{0, 0, 0};
  aiColor3D transparent{1, 1, 1};
  float shininess = 0, opacity = 1, anisotropy = 0, refraction = 1;
  std::optional<float> roughness, metallic;
  std::optional<std::string> diffuseTexture;
};

aiMaterial* Make(const Definition& d) {
  auto* m = new aiMaterial();
  aiString name(d.name);
  m->AddProperty(&name, AI_MATKEY_NAME);
  // assimp's shading model for the illumination model: 0 none, 2 Phong,
  // any other Gouraud.
  const int shading = d.illum == 0   ? aiShadingMode_NoShading
                      : d.illum == 2 ? aiShadingMode_Phong
                                     : aiShadingMode_Gouraud;
  m->AddProperty(&shading, 1, AI_MATKEY_SHADING_MODEL);
  m->AddProperty(&d.illum, 1, AI_MATKEY_OBJ_ILLUM);
  m->AddProperty(&d.ambient, 1, AI_MATKEY_COLOR_AMBIENT);
  m->AddProperty(&d.diffuse, 1, AI_MATKEY_COLOR_DIFFUSE);
  m->AddProperty(&d.specular, 1, AI_MATKEY_COLOR_SPECULAR);
  m->AddProperty(&d.emissive, 1, AI_MATKEY_COLOR_EMISSIVE);
  m->AddProperty(&d.shininess, 1, AI_MATKEY_SHININESS);
  m->AddProperty(&d.opacity, 1, AI_MATKEY_OPACITY);
  m->AddProperty(&d.transparent, 1, AI_MATKEY_COLOR_TRANSPARENT);
  m->AddProperty(&d.anisotropy, 1, AI_MATKEY_ANISOTROPY_FACTOR);
  if (d.roughness) m->AddProperty(&*d.roughness, 1, AI_MATKEY_ROUGHNESS_FACTOR);
  if (d.metallic) m->AddProperty(&*d.metallic, 1, AI_MATKEY_METALLIC_FACTOR);
  m->AddProperty(&d.refraction, 1, AI_MATKEY_REFRACTI);
  if (d.diffuseTexture) {
    aiString file(*d.diffuseTexture);
    m->AddProperty(&file, AI_MATKEY_TEXTURE_DIFFUSE(0));
    const int channel = 0;
    m->AddProperty(&channel, 1, AI_MATKEY_UVWSRC_DIFFUSE(0));
  }
  return m;
}

class LibraryReader {
 public:
  LibraryReader(std::vector<Definition>& materials, std::size_t& current) : materials_(materials), current_(current) {}

  // Empty when every statement was taken, else why the file is declined.
  std::string Read(std::string_view text, const std::string& library) {
    const std::string unsafe = UnsafeMaterialLibrary(text);
    if (!unsafe.empty()) return "a material library that cannot be read safely: " + library + ": " + unsafe;
    std::size_t number = 0;
    while (!text.empty()) {
      ++number;
      const std::size_t end = text.find('\n');
      std::string_view line = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      const std::string problem = Statement(line);
      if (!problem.empty()) return library + " line " + std::to_string(number) + ": " + problem;
    }
    return {};
  }

 private:
  static std::string_view TrimStart(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
  }

  // Exactly `count` numbers as assimp reads them.
  static bool Numbers(std::string_view rest, float* out, int count) {
    const char* p = rest.data();
    const char* end = p + rest.size();
    for (int i = 0; i < count; ++i) {
      p = SkipBlanks(p, end);
      p = ParseNumber(p, end, out[i]);
      if (p == nullptr) return false;
    }
    return SkipBlanks(p, end) == end;
  }

  std::string Statement(std::string_view line) {
    line = TrimStart(line);
    if (line.empty() || line.front() == '#') return {};
    std::size_t cut = 0;
    while (cut < line.size() && !IsBlank(line[cut])) ++cut;
    const std::string_view keyword = line.substr(0, cut);
    const std::string_view rest = TrimStart(line.substr(cut));
    if (keyword == "newmtl") {
      // The name is the rest of the line; assimp drops blanks around it.
      std::string_view name = rest;
      while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
      if (name.empty()) return "a material without a name";
      for (std::size_t i = 0; i < materials_.size(); ++i)
        if (materials_[i].name == name) {
          current_ = i;  // defined again: the first definition changes
          return {};
        }
      materials_.push_back(Definition{});
      materials_.back().name = std::string(name);
      current_ = materials_.size() - 1;
      return {};
    }
    // Before a library's first newmtl a statement changes the material
    // current then, as in assimp: the default one, or the last one the
    // libraries before defined.
    Definition& m = materials_[current_];
    aiColor3D* colour = keyword == "Ka"   ? &m.ambient
                        : keyword == "Kd" ? &m.diffuse
                        : keyword == "Ks" ? &m.specular
                        : keyword == "Ke" ? &m.emissive
                        : keyword == "Tf" ? &m.transparent
                                          : nullptr;
    if (colour != nullptr) {
      // assimp reads a single value as red alone; only three are taken here.
      float v[3];
      if (!Numbers(rest, v, 3)) return "\"" + std::string(keyword) + "\" without three plain numbers";
      *colour = aiColor3D(v[0], v[1], v[2]);
      return {};
    }
    if (keyword == "Ns" || keyword == "Ni" || keyword == "d" || keyword == "Tr" || keyword == "Pr" || keyword == "Pm") {
      float value = 0;
      if (!Numbers(rest, &value, 1)) return "\"" + std::string(keyword) + "\" without one plain number";
      if (keyword == "Ns") m.shininess = value;
      else if (keyword == "Ni") m.refraction = value;
      else if (keyword == "d") m.opacity = value;
      else if (keyword == "Tr") m.opacity = 1.0f - value;
      else if (keyword == "Pr") m.roughness = value;
      else m.metallic = value;
      return {};
    }
    if (keyword == "illum") {
      int illum = 0;
      if (rest.empty() || rest.size() > 3) return "\"illum\" without a small number";
      for (char c : rest) {
        if (!IsDigit(c)) return "\"illum\" without a small number";
        illum = illum * 10 + (c - '0');
      }
      m.illum = illum;
      return {};
    }
    if (keyword == "map_Kd") {
      // Options (-s, -o, -clamp, ...) are assimp's to read.
      if (rest.empty() || rest.front() == '-') return "\"map_Kd\" with options";
      m.diffuseTexture = std::string(rest);
      return {};
    }
    // Other maps name images the host does not use: a material's texture
    // is its diffuse map.
    for (std::string_view other : {"map_Ka", "map_Ks", "map_Ke", "map_Ns", "map_d", "map_bump", "map_Bump", "bump",
                                   "map_disp", "disp", "norm", "refl"})
      if (keyword == other) {
        if (rest.empty() || rest.front() == '-') return "\"" + std::string(keyword) + "\" with options";
        return {};
      }
    return "\"" + std::string(keyword) + "\" in a material library";
  }

  std::vector<Definition>& materials_;
  std::size_t& current_;
};

// The whole library when it is a regular file of a sane size; nullopt when
// there is no file of that name, or with *problem set when there is one
// that cannot be read.
std::optional<std::string> ReadLibrary(const std::filesystem::path& path, std::string* problem) {
  std::error_code failure;
  const auto status = std::filesystem::status(path, failure);
  if (failure || !std::filesystem::exists(status)) return std::nullopt;
  if (!std::filesystem::is_regular_file(status)) {
    *problem = "a material library that is not a regular file";
    return std::nullopt;
  }
  const std::uintmax_t size = std::filesystem::file_size(path, failure);
  if (failure || size > kMaxLibraryBytes) {
    *problem = "a material library that cannot be read or is too large";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::string text(static_cast<std::size_t>(size), '\0');
  if (!in || !in.read(text.data(), static_cast<std::streamsize>(size))) {
    *problem = "a material library that cannot be read";
    return std::nullopt;
  }
  return text;
}

}  // namespace

std::string ReadMaterialLibraries(const std::string& objPath, const std::vector<std::string>& libraries,
                                  const std::vector<std::string>& unknown, ObjMaterials* out) {
  std::vector<Definition> materials(1);
  materials[0].name = AI_DEFAULT_MATERIAL_NAME;
  std::size_t current = 0;
  LibraryReader reader(materials, current);
  const std::filesystem::path obj = NativePath(objPath);
  for (const std::string& line : libraries) {
    // "mtllib", blanks, and the name: the rest of the line.
    std::string_view name(line);
    if (name.substr(0, 6) != "mtllib") return "a material library line assimp reads its own way";
    name.remove_prefix(6);
    if (name.empty() || !IsBlank(name.front())) return "a material library line assimp reads its own way";
    while (!name.empty() && IsBlank(name.front())) name.remove_prefix(1);
    if (name.empty() || IsBlank(name.back())) return "a material library name assimp reads its own way";
    const std::filesystem::path written = NativePath(name);
    const std::filesystem::path path = written.is_absolute() ? written : obj.parent_path() / written;
    std::string problem;
    std::optional<std::string> text = ReadLibrary(path, &problem);
    if (!text && problem.empty() && objPath.size() >= 3) {
      // As assimp does, a library that is not there is looked for as the
      // model's own name with ".mtl"; when that is missing too, the file
      // has no materials from this line.
      text = ReadLibrary(NativePath(objPath.substr(0, objPath.size() - 3) + "mtl"), &problem);
    }
    if (!problem.empty()) return problem + ": " + std::string(name);
    if (!text) continue;
    std::string why = reader.Read(*text, std::string(name));
    if (!why.empty()) return why;
  }
  for (const std::string& name : unknown) {
    bool known = false;
    for (const Definition& d : materials) known = known || d.name == name;
    if (known) continue;
    materials.push_back(Definition{});
    materials.back().name = name;
  }
  out->scene = std::make_unique<aiScene>();
  aiScene& scene = *out->scene;
  scene.mMaterials = new aiMaterial*[materials.size()]();
  for (const Definition& d : materials) scene.mMaterials[scene.mNumMaterials++] = Make(d);
  out->current = static_cast<unsigned>(current);
  return {};
}

}  // namespace hostmodel::detail
