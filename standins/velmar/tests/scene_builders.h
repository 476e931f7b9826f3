// Hand-made scenes for the picture and glTF tests, in the renderer's frame
// (y up): quads with the link's front winding, boxes, checker textures.
#pragma once

#include <cmath>
#include <memory>

#include "scene.h"

namespace velmar_test {

using velmar::Geometry;
using velmar::Surface;

// Corners in order; the triangles (0, 1, 2) and (0, 2, 3), normal from the
// corners' turn, texture coordinates (0,1) (1,1) (1,0) (0,0).
inline void AddQuad(Geometry& g, const float q[4][3]) {
  const float e1[3] = {q[1][0] - q[0][0], q[1][1] - q[0][1], q[1][2] - q[0][2]};
  const float e2[3] = {q[2][0] - q[0][0], q[2][1] - q[0][1], q[2][2] - q[0][2]};
  float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
  const float l = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  const float uv[4][2] = {{0, 1}, {1, 1}, {1, 0}, {0, 0}};
  const auto base = static_cast<std::uint32_t>(g.vertexCount());
  for (int i = 0; i < 4; ++i) {
    for (int k = 0; k < 3; ++k) g.positions.push_back(q[i][k]);
    for (int k = 0; k < 3; ++k) g.normals.push_back(n[k] / l);
    g.texCoords.push_back(uv[i][0]);
    g.texCoords.push_back(uv[i][1]);
  }
  for (std::uint32_t k : {0u, 1u, 2u, 0u, 2u, 3u}) g.indices.push_back(base + k);
}

// An upright rectangle facing -z (towards a viewer looking along +z).
inline void AddWall(Geometry& g, float x0, float y0, float x1, float y1, float z) {
  const float q[4][3] = {{x0, y0, z}, {x0, y1, z}, {x1, y1, z}, {x1, y0, z}};
  AddQuad(g, q);
}

inline void AddBox(Geometry& g, const float a[3], const float b[3]) {
  const float x0 = a[0], y0 = a[1], z0 = a[2], x1 = b[0], y1 = b[1], z1 = b[2];
  const float faces[6][4][3] = {
      {{x0, y0, z0}, {x0, y1, z0}, {x1, y1, z0}, {x1, y0, z0}}, {{x1, y0, z1}, {x1, y1, z1}, {x0, y1, z1}, {x0, y0, z1}},
      {{x0, y0, z1}, {x0, y1, z1}, {x0, y1, z0}, {x0, y0, z0}}, {{x1, y0, z0}, {x1, y1, z0}, {x1, y1, z1}, {x1, y0, z1}},
      {{x0, y1, z0}, {x0, y1, z1}, {x1, y1, z1}, {x1, y1, z0}}, {{x0, y0, z1}, {x0, y0, z0}, {x1, y0, z0}, {x1, y0, z1}},
  };
  for (const auto& face : faces) AddQuad(g, face);
}

// size x size texels in squares of `cell`, colours a and b (0xRRGGBB).
inline std::shared_ptr<velmar::Texture> Checker(int size, int cell, std::uint32_t a, std::uint32_t b) {
  auto texture = std::make_shared<velmar::Texture>();
  velmar::Image& image = texture->image;
  image.width = image.height = size;
  image.rgba.resize(static_cast<std::size_t>(size) * size * 4);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      const std::uint32_t c = ((x / cell + y / cell) % 2 == 0) ? a : b;
      std::uint8_t* p = image.At(x, y);
      p[0] = static_cast<std::uint8_t>(c >> 16);
      p[1] = static_cast<std::uint8_t>(c >> 8);
      p[2] = static_cast<std::uint8_t>(c);
      p[3] = 255;
    }
  texture->source = "checker";
  return texture;
}

inline Surface MakeSurface(const char* name, std::uint32_t colour, Geometry g) {
  Surface s;
  s.name = name;
  s.colour = colour;
  g.bounds = UsedBounds(g);
  s.geometry = std::make_shared<Geometry>(std::move(g));
  return s;
}

}  // namespace velmar_test
