// Writing surfaces the way the add-on does, through a real LiveConnection:
// records, merged geometry blocks (capacity twice the need, reused while it
// fits), memory-bitmap texture blocks. Shared by the test publisher program
// and the tests that write a link in their own process.
#pragma once

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "livelink/live_connection.h"

namespace velmar_test {

using namespace CorvantaAPI;

struct Vertex {
  float p[3], n[3], t[2];
};

struct Surface {
  SurfaceRecord* record = nullptr;
  std::vector<Vertex> vertices;
  std::vector<std::uint32_t> indices;
  bool doubleSided = false;
  std::uint32_t textureCounter = 0;
};

// Corners in order, front faces as the link writes them: the triangle
// (a, b, c) with (b - a) x (c - a) along the normal.
inline void AddQuad(Surface& s, const float q[4][3]) {
  const float e1[3] = {q[1][0] - q[0][0], q[1][1] - q[0][1], q[1][2] - q[0][2]};
  const float e2[3] = {q[2][0] - q[0][0], q[2][1] - q[0][1], q[2][2] - q[0][2]};
  float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
  const float l = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  for (float& x : n) x = l > 0 ? x / l : 0;
  const float uv[4][2] = {{0, 1}, {1, 1}, {1, 0}, {0, 0}};
  const auto base = static_cast<std::uint32_t>(s.vertices.size());
  for (int i = 0; i < 4; ++i) {
    Vertex v;
    std::memcpy(v.p, q[i], sizeof v.p);
    std::memcpy(v.n, n, sizeof v.n);
    std::memcpy(v.t, uv[i], sizeof v.t);
    s.vertices.push_back(v);
  }
  for (std::uint32_t k : {0u, 1u, 2u, 0u, 2u, 3u}) s.indices.push_back(base + k);
}

inline void AddBox(Surface& s, const float a[3], const float b[3]) {
  const float x0 = a[0], y0 = a[1], z0 = a[2], x1 = b[0], y1 = b[1], z1 = b[2];
  // Each face's corners turn so that the normal points out of the box.
  const float faces[6][4][3] = {
      {{x0, y0, z0}, {x0, y1, z0}, {x1, y1, z0}, {x1, y0, z0}},  // -z
      {{x1, y0, z1}, {x1, y1, z1}, {x0, y1, z1}, {x0, y0, z1}},  // +z
      {{x0, y0, z1}, {x0, y1, z1}, {x0, y1, z0}, {x0, y0, z0}},  // -x
      {{x1, y0, z0}, {x1, y1, z0}, {x1, y1, z1}, {x1, y0, z1}},  // +x
      {{x0, y1, z0}, {x0, y1, z1}, {x1, y1, z1}, {x1, y1, z0}},  // +y
      {{x0, y0, z1}, {x0, y0, z0}, {x1, y0, z0}, {x1, y0, z1}},  // -y
  };
  for (const auto& face : faces) AddQuad(s, face);
}

inline void WriteText(char16_t* field, const std::string& text) {
  std::memset(field, 0, kSurfaceTextUnits * 2);
  for (std::size_t i = 0; i < text.size() && i < kSurfaceTextUnits; ++i)
    field[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
}

// Writes the pending triangles (with their back copy when double-sided)
// into the surface's geometry block and counts a geometry change.
inline void WriteGeometry(LiveConnection& c, Surface& s) {
  SurfaceRecord& r = *s.record;
  std::vector<Vertex> vertices = s.vertices;
  std::vector<std::uint32_t> indices = s.indices;
  if (s.doubleSided) {
    // The back copy: negated normals and the other winding.
    const auto offset = static_cast<std::uint32_t>(vertices.size());
    for (Vertex v : s.vertices) {
      for (float& x : v.n) x = -x;
      vertices.push_back(v);
    }
    for (std::size_t i = 0; i < s.indices.size(); i += 3)
      for (std::size_t k : {0, 2, 1}) indices.push_back(s.indices[i + k] + offset);
  }
  const auto v = static_cast<std::uint32_t>(vertices.size());
  const auto n = static_cast<std::uint32_t>(indices.size());
  if (v == 0) {
    c.ReleaseBlock(r.geometryBlockId);
    r.geometryBlockId = r.geometryBlockCapacity = 0;
  } else {
    const GeometryBlockLayout layout = GeometryLayout(v, n, 1);
    const auto size = static_cast<std::uint32_t>(layout.totalBytes);
    if (r.geometryBlockCapacity < size) {
      c.ReleaseBlock(r.geometryBlockId);
      r.geometryBlockCapacity = 2 * size;
      r.geometryBlockId = c.CreateBlock(r.head.id, 2 * size);
    }
    auto* block = static_cast<std::uint8_t*>(c.OpenBlock(r.geometryBlockId));
    if (block != nullptr) {
      const GeometryBlockHeader header{v, n, 1};
      std::memcpy(block, &header, sizeof header);
      for (std::uint32_t i = 0; i < v; ++i) {
        std::memcpy(block + layout.positions + 12 * i, vertices[i].p, 12);
        std::memcpy(block + layout.normals + 12 * i, vertices[i].n, 12);
        std::memcpy(block + layout.texCoords + 8 * i, vertices[i].t, 8);
      }
      std::memcpy(block + layout.indices, indices.data(), 4 * n);
    }
  }
  ++r.geometryChangeCount;
  c.SetRecordFlags(&r.head, 1);
}

// The texel (x, y) of test texture `seed` as blue, green, red, alpha.
inline void TestTexel(unsigned seed, int x, int y, std::uint8_t* bgra) {
  bgra[0] = static_cast<std::uint8_t>(seed + 3 * static_cast<unsigned>(x));
  bgra[1] = static_cast<std::uint8_t>(seed * 7 + 5 * static_cast<unsigned>(y));
  bgra[2] = static_cast<std::uint8_t>(seed * 13 + static_cast<unsigned>(x * y));
  bgra[3] = 255;
}

// A w x h memory texture of test texels in the surface's texture block.
inline void WriteTexture(LiveConnection& c, Surface& s, int w, int h, unsigned seed) {
  SurfaceRecord& r = *s.record;
  const std::uint32_t bytes = 54 + 4u * static_cast<std::uint32_t>(w * h);
  if (r.textureBlockCapacity < bytes) {
    c.ReleaseBlock(r.textureBlockId);
    r.textureBlockId = c.CreateBlock(r.head.id, bytes);
    r.textureBlockCapacity = bytes;
  }
  auto* block = static_cast<std::uint8_t*>(c.OpenBlock(r.textureBlockId));
  if (block != nullptr) {
    BitmapHeader header{};
    header.magic[0] = 'B';
    header.magic[1] = 'M';
    header.fileSize = bytes;
    header.pixelOffset = kBitmapHeaderBytes;
    header.infoSize = kBitmapInfoBytes;
    header.width = w;
    header.height = -h;
    header.planes = 1;
    header.bitsPerPixel = 32;
    header.imageSize = bytes - 54;
    std::memcpy(block, &header, sizeof header);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) TestTexel(seed, x, y, block + 54 + 4 * (y * w + x));
  }
  std::memset(r.texturePath, 0, sizeof r.texturePath);
  r.textureStamp = ++s.textureCounter;
  r.colour = kTexturedColour;
  c.SetRecordFlags(&r.head, 0x201);
}

// A new "SRFC" record with its material fields; null when the area is full.
inline SurfaceRecord* NewSurface(LiveConnection& c, Surface& s, int type, std::uint32_t rgb, float opacity,
                                 const std::string& name) {
  auto* record = reinterpret_cast<SurfaceRecord*>(c.CreateRecord(kTypeSurface));
  if (record == nullptr) return nullptr;
  s = Surface();
  s.record = record;
  WriteText(record->name, name);
  record->surfaceType = type;
  record->colour = 0xFF000000u | rgb;
  record->fixedA = 0.5f;
  record->shine = 1;
  record->opacity = opacity;
  record->fixedD = 1;
  record->allOnes = kSurfaceAllOnes;
  record->materialChangeCount = 1;
  c.SetRecordFlags(&record->head, 0x101);
  return record;
}

}  // namespace velmar_test
