// velmar's glTF file of a scene: a surface's vertices that no triangle uses
// (the room a link's block keeps) stay out of the file, so the positions'
// bounds are those of what is drawn; the triangles keep their corners and
// their turn (the file's z axis is the link's negated).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "gltf_writer.h"
#include "scene.h"

namespace {

using nlohmann::json;

velmar::Surface SurfaceOf(std::string name, std::vector<float> positions, std::vector<std::uint32_t> indices) {
  auto g = std::make_shared<velmar::Geometry>();
  g->positions = std::move(positions);
  const std::size_t n = g->positions.size() / 3;
  for (std::size_t v = 0; v < n; ++v) {
    g->normals.insert(g->normals.end(), {0, 1, float(v)});
    g->texCoords.insert(g->texCoords.end(), {float(v), 0.5f});
  }
  g->indices = std::move(indices);
  velmar::Surface s;
  s.name = std::move(name);
  s.geometry = std::move(g);
  return s;
}

// The JSON chunk of a .glb file and its binary chunk.
struct Glb {
  json document;
  std::vector<std::uint8_t> bin;
};
Glb ReadGlb(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::uint32_t jsonLength = 0, binLength = 0;
  std::memcpy(&jsonLength, &bytes.at(12), 4);
  Glb out;
  out.document = json::parse(bytes.begin() + 20, bytes.begin() + 20 + jsonLength);
  std::memcpy(&binLength, &bytes.at(20 + jsonLength), 4);
  const auto bin = bytes.begin() + 28 + jsonLength;
  out.bin.assign(bin, bin + binLength);
  return out;
}

// Accessor a's elements as floats (or indices), read through its view.
template <class T>
std::vector<T> Elements(const Glb& glb, std::size_t a, std::size_t perElement) {
  const json& accessor = glb.document["accessors"][a];
  const json& view = glb.document["bufferViews"][accessor["bufferView"].get<std::size_t>()];
  std::vector<T> out(accessor["count"].get<std::size_t>() * perElement);
  std::memcpy(out.data(), glb.bin.data() + view.value("byteOffset", 0), out.size() * sizeof(T));
  return out;
}

TEST(GltfWriter, WritesOnlyTheVerticesTheTrianglesUse) {
  velmar::Scene scene;
  // Two triangles over vertices 1, 2, 3 and 5; vertex 0 and 4 are room
  // (zero) or stray, far away.
  scene.surfaces.push_back(
      SurfaceOf("walls", {0, 0, 0, 10, 20, 30, 11, 20, 30, 10, 21, 30, 500, 500, 500, 12, 22, 31}, {1, 2, 3, 3, 2, 5}));
  // A surface whose only triangle names a vertex past its own draws
  // nothing: no mesh.
  scene.surfaces.push_back(SurfaceOf("broken", {1, 1, 1, 2, 2, 2, 3, 3, 3}, {0, 1, 7}));
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("velmar-gltf-" + std::to_string(::getpid()) + ".glb");
  std::string error;
  velmar::GltfSummary summary;
  ASSERT_TRUE(velmar::WriteGlb(scene, path.string(), &error, &summary)) << error;
  const Glb glb = ReadGlb(path);
  std::filesystem::remove(path);

  EXPECT_EQ(std::tuple(summary.meshes, summary.vertices, summary.triangles), std::tuple(1u, 4u, 2u));
  ASSERT_EQ(glb.document["meshes"].size(), 1u);
  const json& primitive = glb.document["meshes"][0]["primitives"][0];
  const std::size_t position = primitive["attributes"]["POSITION"], normal = primitive["attributes"]["NORMAL"];
  const std::size_t uv = primitive["attributes"]["TEXCOORD_0"], index = primitive["indices"];
  const json& accessor = glb.document["accessors"][position];
  EXPECT_EQ(accessor["min"], json({10.0, 20.0, -31.0}));
  EXPECT_EQ(accessor["max"], json({12.0, 22.0, -30.0}));
  EXPECT_EQ(Elements<float>(glb, position, 3),
            (std::vector<float>{10, 20, -30, 11, 20, -30, 10, 21, -30, 12, 22, -31}));
  EXPECT_EQ(Elements<float>(glb, normal, 3), (std::vector<float>{0, 1, -1, 0, 1, -2, 0, 1, -3, 0, 1, -5}));
  EXPECT_EQ(Elements<float>(glb, uv, 2), (std::vector<float>{1, 0.5f, 2, 0.5f, 3, 0.5f, 5, 0.5f}));
  // Each triangle's second and third corners swap with the z axis.
  EXPECT_EQ(Elements<std::uint32_t>(glb, index, 1), (std::vector<std::uint32_t>{0, 2, 1, 2, 3, 1}));
}

}  // namespace
