// The form of a project as the test add-on's model dump must show it,
// computed from the host's model alone: tests compare a dump with it whole.
#pragma once

#include <nlohmann/json.hpp>

#include "hostmodel/model.h"
#include "hostsdk/acapi.h"

namespace hostrt_test {

using nlohmann::json;

inline json V3(const hostmodel::Vec3& v) { return {v.x, v.y, v.z}; }

// What the add-on must read of a project, in the form of the test add-on's
// model dump: the host's elements with vertices counted from 1, each
// corner's texture coordinate and normal taken from the vertex it stands
// on, the textures with a digest of their pixels, and the materials with
// their textures (a deleted one answers only that it is deleted).
inline json Expected(const hostmodel::Project& p) {
  json elements = json::array(), textures = json::array(), materials = json::array();
  for (const hostmodel::Element& e : p.elements) {
    json bodies = json::array();
    for (const hostmodel::Body& b : e.bodies) {
      json vertices = json::array(), normals = json::array(), polygons = json::array();
      for (const auto& v : b.vertices) vertices.push_back(V3(v));
      for (const auto& n : b.polygonNormals) normals.push_back(V3(n));
      for (const hostmodel::Polygon& poly : b.polygons) {
        json pieces = json::array(), uvs = json::array(), corners = json::array();
        for (const auto& piece : poly.convexPieces) {
          json numbers = json::array();
          for (std::int32_t v : piece) {
            numbers.push_back(v + 1);
            const hostmodel::Vec2 uv = hostmodel::TextureCoordinate(b, poly, v);
            uvs.push_back({uv.u, uv.v});
            corners.push_back(V3(hostmodel::VertexNormal(b, poly, v)));
          }
          pieces.push_back(numbers);
        }
        polygons.push_back({{"invisible", poly.invisible},
                            {"curved", poly.curved},
                            {"material", poly.materialIndex},
                            {"normalIndex", poly.normalIndex},
                            {"hasTexture", poly.textureIndex != 0},
                            {"pieces", pieces},
                            {"uvs", uvs},
                            {"cornerNormals", corners}});
      }
      bodies.push_back({{"closed", b.closed}, {"vertices", vertices}, {"normals", normals}, {"polygons", polygons}});
    }
    elements.push_back({{"guid", e.guid.ToString()}, {"genId", e.genId}, {"bodies", bodies}});
  }
  for (const hostmodel::Texture& t : p.textures) {
    unsigned long long sum = 0;
    for (std::uint8_t byte : t.pixels) sum = sum * 31 + byte;
    textures.push_back({{"pixelType", t.pixelType},
                        {"width", t.width},
                        {"height", t.height},
                        {"pixels", std::int64_t(t.width) * t.height},
                        {"pixelSum", sum},
                        {"alpha", t.hasAlphaChannel},
                        {"transparentPattern", t.transparentPattern},
                        {"xSize", t.xSize},
                        {"ySize", t.ySize},
                        {"fingerprint", t.fingerprint}});
  }
  for (std::size_t i = 0; i < p.materials.size(); ++i) {
    const hostmodel::Material& m = p.materials[i];
    if (m.deleted) {
      materials.push_back({{"result", APIERR_DELETED}});
      continue;
    }
    const hostmodel::Texture* t = p.TextureAt(m.textureIndex);
    json jm = {{"result", NoError},
               {"index", i + 1},
               {"stamp", m.stamp},
               {"guid", m.guid.ToString()},
               {"flags", m.headerFlags},
               {"name", m.name},
               {"type", m.materialType},
               {"transparency", m.transparency},
               {"shine", m.shininess},
               {"attenuation", m.attenuation},
               {"percentage", m.percentage},
               {"surface", {m.surfaceColor.r, m.surfaceColor.g, m.surfaceColor.b}},
               {"second", {m.secondColor.r, m.secondColor.g, m.secondColor.b}},
               {"hasTextureLocation", t != nullptr},
               {"modelerHasTexture", t != nullptr}};
    if (t != nullptr) {
      jm["textureFingerprint"] = t->fingerprint;
      jm["textureEmpty"] = t->filePath.empty();
      if (!t->filePath.empty()) jm["texturePath"] = t->filePath;
    }
    materials.push_back(jm);
  }
  return {{"elements", elements}, {"textures", textures}, {"materialCountResult", NoError}, {"materials", materials}};
}

}  // namespace hostrt_test
