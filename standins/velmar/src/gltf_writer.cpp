#include "gltf_writer.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "picture.h"

using nlohmann::json;

namespace velmar {

namespace {

constexpr std::uint32_t kUnused = 0xFFFFFFFFu;

constexpr std::uint32_t kGlbMagic = 0x46546C67;  // "glTF"
constexpr std::uint32_t kChunkJson = 0x4E4F534A;
constexpr std::uint32_t kChunkBin = 0x004E4942;
constexpr int kFloat = 5126, kUnsignedInt = 5125;
constexpr int kArrayBuffer = 34962, kElementArrayBuffer = 34963;

class Builder {
 public:
  // Appends bytes 4-aligned and returns the buffer view's index.
  std::size_t View(const void* data, std::size_t bytes, int target) {
    while (bin_.size() % 4 != 0) bin_.push_back(0);
    json view = {{"buffer", 0}, {"byteOffset", bin_.size()}, {"byteLength", bytes}};
    if (target != 0) view["target"] = target;
    const auto* p = static_cast<const std::uint8_t*>(data);
    bin_.insert(bin_.end(), p, p + bytes);
    views_.push_back(std::move(view));
    return views_.size() - 1;
  }
  std::size_t Accessor(std::size_t view, int componentType, std::size_t count, const char* type,
                       const json& extra = json::object()) {
    json accessor = {{"bufferView", view}, {"componentType", componentType}, {"count", count}, {"type", type}};
    accessor.update(extra);
    accessors_.push_back(std::move(accessor));
    return accessors_.size() - 1;
  }

  std::vector<std::uint8_t> bin_;
  json views_ = json::array();
  json accessors_ = json::array();
};

float Linear(std::uint32_t channel) {
  // glTF colour factors are linear; the link's colours are sRGB bytes.
  const float c = static_cast<float>(channel & 0xFF) / 255.0f;
  return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

json MaterialOf(const Surface& surface, int textureIndex) {
  const DrawStyle style = StyleOf(surface);
  json pbr = {{"metallicFactor", 0.0}, {"roughnessFactor", 0.8}};
  if (textureIndex >= 0) {
    pbr["baseColorFactor"] = {1.0, 1.0, 1.0, style.alpha};
    pbr["baseColorTexture"] = {{"index", textureIndex}};
  } else {
    pbr["baseColorFactor"] = {Linear(surface.colour >> 16), Linear(surface.colour >> 8), Linear(surface.colour),
                              style.alpha};
  }
  json material = {{"name", surface.name}, {"pbrMetallicRoughness", pbr}, {"doubleSided", true}};
  if (style.alpha < 1) material["alphaMode"] = "BLEND";
  return material;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string* error) {
  const std::string temporary = path + ".part";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  bool ok = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (file != nullptr && std::fclose(file) != 0) ok = false;
  std::error_code failure;
  if (ok) std::filesystem::rename(temporary, path, failure);
  if (!ok || failure) {
    std::remove(temporary.c_str());
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

void Append32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

bool WriteGlb(const Scene& scene, const std::string& path, std::string* error, GltfSummary* summary) {
  GltfSummary counted;
  Builder b;
  json meshes = json::array(), nodes = json::array(), materials = json::array();
  json images = json::array(), textures = json::array();
  std::map<const Texture*, int> textureIndex;

  for (const Surface& surface : scene.surfaces) {
    if (!surface.geometry || surface.geometry->triangleCount() == 0) continue;
    const Geometry& g = *surface.geometry;
    const std::size_t n = g.vertexCount();

    // Only the vertices the triangles use, in their order: a link's block
    // keeps room (zero vertices no triangle names), which would otherwise
    // stretch the positions' bounds to the origin and a viewer's framing
    // with them.
    std::vector<std::uint32_t> to(n, kUnused);
    std::size_t used = 0;
    for (std::uint32_t i : g.indices)
      if (i < n) to[i] = 0;
    for (std::uint32_t& t : to)
      if (t == 0) t = static_cast<std::uint32_t>(used++);
    std::vector<float> positions, normals, texCoords;
    positions.reserve(3 * used);
    normals.reserve(3 * used);
    texCoords.reserve(2 * used);
    float low[3] = {0, 0, 0}, high[3] = {0, 0, 0};
    for (std::size_t v = 0; v < n; ++v) {
      if (to[v] == kUnused) continue;
      const float p[3] = {g.positions[3 * v], g.positions[3 * v + 1], -g.positions[3 * v + 2]};
      for (int k = 0; k < 3; ++k) {
        low[k] = positions.empty() ? p[k] : std::min(low[k], p[k]);
        high[k] = positions.empty() ? p[k] : std::max(high[k], p[k]);
      }
      positions.insert(positions.end(), p, p + 3);
      normals.insert(normals.end(), {g.normals[3 * v], g.normals[3 * v + 1], -g.normals[3 * v + 2]});
      texCoords.insert(texCoords.end(), {g.texCoords[2 * v], g.texCoords[2 * v + 1]});
    }
    // Triangles with a corner past the vertices are left out, as drawn.
    std::vector<std::uint32_t> indices;
    indices.reserve(g.indices.size());
    for (std::size_t t = 0; t + 2 < g.indices.size(); t += 3) {
      const std::uint32_t a = g.indices[t], c = g.indices[t + 1], d = g.indices[t + 2];
      if (a >= n || c >= n || d >= n) continue;
      indices.insert(indices.end(), {to[a], to[d], to[c]});
    }
    if (indices.empty()) continue;

    int texture = -1;
    if (surface.texture && !surface.texture->image.empty()) {
      auto found = textureIndex.find(surface.texture.get());
      if (found != textureIndex.end()) {
        texture = found->second;
      } else {
        std::vector<std::uint8_t> png;
        std::string ignored;
        if (EncodePng(surface.texture->image, &png, &ignored)) {
          const std::size_t view = b.View(png.data(), png.size(), 0);
          images.push_back({{"bufferView", view}, {"mimeType", "image/png"}});
          textures.push_back({{"source", images.size() - 1}, {"sampler", 0}});
          texture = static_cast<int>(textures.size() - 1);
          textureIndex[surface.texture.get()] = texture;
        }
      }
    }

    const std::size_t position =
        b.Accessor(b.View(positions.data(), positions.size() * 4, kArrayBuffer), kFloat, used, "VEC3",
                   {{"min", {low[0], low[1], low[2]}}, {"max", {high[0], high[1], high[2]}}});
    const std::size_t normal =
        b.Accessor(b.View(normals.data(), normals.size() * 4, kArrayBuffer), kFloat, used, "VEC3");
    const std::size_t uv = b.Accessor(b.View(texCoords.data(), used * 8, kArrayBuffer), kFloat, used, "VEC2");
    const std::size_t index = b.Accessor(b.View(indices.data(), indices.size() * 4, kElementArrayBuffer), kUnsignedInt,
                                         indices.size(), "SCALAR");

    materials.push_back(MaterialOf(surface, texture));
    json primitive = {{"attributes", {{"POSITION", position}, {"NORMAL", normal}, {"TEXCOORD_0", uv}}},
                      {"indices", index},
                      {"material", materials.size() - 1},
                      {"mode", 4}};
    meshes.push_back({{"name", surface.name}, {"primitives", json::array({primitive})}});
    nodes.push_back({{"name", surface.name}, {"mesh", meshes.size() - 1}});
    ++counted.meshes;
    counted.vertices += used;
    counted.triangles += indices.size() / 3;
  }
  counted.images = images.size();

  json sceneNodes = json::array();
  for (std::size_t i = 0; i < nodes.size(); ++i) sceneNodes.push_back(i);
  json document = {{"asset", {{"version", "2.0"}, {"generator", "velmar"}}},
                   {"scene", 0},
                   {"scenes", json::array({{{"name", "link"}, {"nodes", sceneNodes}}})},
                   {"nodes", nodes},
                   {"meshes", meshes},
                   {"materials", materials},
                   {"accessors", b.accessors_},
                   {"bufferViews", b.views_},
                   {"buffers", json::array({{{"byteLength", b.bin_.size()}}})}};
  if (!images.empty()) {
    document["images"] = images;
    document["textures"] = textures;
    document["samplers"] =
        json::array({{{"magFilter", 9729}, {"minFilter", 9987}, {"wrapS", 10497}, {"wrapT", 10497}}});
  }
  View followed;
  std::string whyNot;
  if (FollowedView(scene.camera, &followed, &whyNot)) {
    // The followed camera as a node: glTF cameras look down their -z, with
    // +y up and +x right, so the rotation's columns are right, up and
    // backward, each with z negated into the file's frame.
    const auto& m = scene.camera.cameraToWorld;
    const float fov = followed.verticalFov;
    document["cameras"] = json::array(
        {{{"type", "perspective"}, {"perspective", {{"yfov", fov * 3.14159265 / 180.0}, {"znear", 0.05}}}}});
    json matrix = {m[0], m[1], -m[2], 0, m[4], m[5], -m[6], 0, -m[8], -m[9], m[10], 0, m[12], m[13], -m[14], 1};
    document["nodes"].push_back({{"name", "followed camera"}, {"camera", 0}, {"matrix", matrix}});
    document["scenes"][0]["nodes"].push_back(document["nodes"].size() - 1);
  }
  if (b.bin_.empty()) document.erase("buffers");

  std::string text = document.dump(-1, ' ', false, json::error_handler_t::replace);
  while (text.size() % 4 != 0) text.push_back(' ');
  while (b.bin_.size() % 4 != 0) b.bin_.push_back(0);
  std::vector<std::uint8_t> glb;
  glb.reserve(12 + 8 + text.size() + 8 + b.bin_.size());
  const std::size_t total = 12 + 8 + text.size() + (b.bin_.empty() ? 0 : 8 + b.bin_.size());
  Append32(glb, kGlbMagic);
  Append32(glb, 2);
  Append32(glb, static_cast<std::uint32_t>(total));
  Append32(glb, static_cast<std::uint32_t>(text.size()));
  Append32(glb, kChunkJson);
  glb.insert(glb.end(), text.begin(), text.end());
  if (!b.bin_.empty()) {
    Append32(glb, static_cast<std::uint32_t>(b.bin_.size()));
    Append32(glb, kChunkBin);
    glb.insert(glb.end(), b.bin_.begin(), b.bin_.end());
  }
  if (!WriteFile(path, glb, error)) return false;
  if (summary != nullptr) *summary = counted;
  return true;
}

}  // namespace velmar
