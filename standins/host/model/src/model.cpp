#include "hostmodel/model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/parallel_for.h"

#include "content_hash.h"

namespace hostmodel {

bool Guid::IsNull() const {
  for (auto b : bytes)
    if (b != 0) return false;
  return true;
}

std::string Guid::ToString() const {
  const auto& g = bytes;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return buf;
}

std::optional<Guid> Guid::Parse(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  // Text position of each byte's high nibble, in text order.
  static constexpr int kPos[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
  // Byte that each text-order pair lands in (Data1..3 are little-endian).
  static constexpr int kByte[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int dash : {8, 13, 18, 23})
    if (text[static_cast<std::size_t>(dash)] != '-') return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Guid g;
  for (int i = 0; i < 16; ++i) {
    int hi = nibble(text[static_cast<std::size_t>(kPos[i])]);
    int lo = nibble(text[static_cast<std::size_t>(kPos[i]) + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    g.bytes[static_cast<std::size_t>(kByte[i])] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return g;
}

Guid Guid::FromName(std::string_view name) {
  detail::ContentHash h(0x6775696400000001ull);
  h.Text(name);
  std::uint64_t lo = h.Low(), hi = h.High();
  Guid g;
  for (int i = 0; i < 8; ++i) {
    g.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(lo >> (8 * i));
    g.bytes[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(hi >> (8 * i));
  }
  // Mark it as a name-based (version 5 style) identifier so it never reads
  // as null and is recognisable in dumps.
  g.bytes[7] = static_cast<std::uint8_t>((g.bytes[7] & 0x0F) | 0x50);
  g.bytes[8] = static_cast<std::uint8_t>((g.bytes[8] & 0x3F) | 0x80);
  return g;
}

const Material* Project::MaterialAt(std::int32_t i) const {
  if (i < 1 || static_cast<std::size_t>(i) > materials.size()) return nullptr;
  const Material& m = materials[static_cast<std::size_t>(i - 1)];
  return m.deleted ? nullptr : &m;
}

const Texture* Project::TextureAt(std::int32_t i) const {
  if (i < 1 || static_cast<std::size_t>(i) > textures.size()) return nullptr;
  return &textures[static_cast<std::size_t>(i - 1)];
}

const Element* Project::ElementAt(std::int32_t i) const {
  if (i < 1 || static_cast<std::size_t>(i) > elements.size()) return nullptr;
  return &elements[static_cast<std::size_t>(i - 1)];
}

std::int32_t Project::FindElement(const Guid& guid) const {
  for (std::size_t i = 0; i < elements.size(); ++i)
    if (elements[i].guid == guid) return static_cast<std::int32_t>(i);
  return -1;
}

Vec3 PolygonNormal(const Body& body, const Polygon& polygon) {
  std::int64_t k = polygon.normalIndex;
  std::int64_t idx = (k < 0 ? -k : k) - 1;
  if (idx < 0 || static_cast<std::size_t>(idx) >= body.polygonNormals.size()) return {};
  Vec3 n = body.polygonNormals[static_cast<std::size_t>(idx)];
  if (k < 0) n = {-n.x, -n.y, -n.z};
  return n;
}

Vec3 VertexNormal(const Body& body, const Polygon& polygon, std::int32_t vertex) {
  if (vertex >= 0 && body.vertexNormals.size() == body.vertices.size() &&
      static_cast<std::size_t>(vertex) < body.vertexNormals.size() &&
      !(body.vertexNormals[static_cast<std::size_t>(vertex)] == Vec3{}))
    return body.vertexNormals[static_cast<std::size_t>(vertex)];
  return PolygonNormal(body, polygon);
}

namespace {
double Dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 Sub(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
}  // namespace

const TextureMapping& MappingOf(const Body& body, const Polygon& polygon) {
  static const TextureMapping kDefault;
  const auto k = static_cast<std::size_t>(polygon.mappingIndex);
  return polygon.mappingIndex > 0 && k <= body.mappings.size() ? body.mappings[k - 1] : kDefault;
}

std::int32_t InternMapping(std::vector<TextureMapping>& table, const TextureMapping& mapping) {
  if (mapping == TextureMapping{}) return 0;
  // Neighbouring polygons share their mapping: the last few entries find
  // it. A body whose every polygon has a mapping of its own gets a table
  // as long as its polygons, never a search through all of it.
  constexpr std::size_t kRecent = 8;
  for (std::size_t k = table.size(); k > 0 && k + kRecent > table.size(); --k)
    if (table[k - 1] == mapping) return static_cast<std::int32_t>(k);
  table.push_back(mapping);
  return static_cast<std::int32_t>(table.size());
}

void SetMapping(Body& body, Polygon& polygon, const TextureMapping& mapping) {
  polygon.mappingIndex = InternMapping(body.mappings, mapping);
}

bool operator==(const Body& a, const Body& b) {
  if (a.closed != b.closed || a.vertices != b.vertices || a.polygonNormals != b.polygonNormals ||
      a.vertexNormals != b.vertexNormals || a.texCoords != b.texCoords || a.polygons.size() != b.polygons.size())
    return false;
  for (std::size_t i = 0; i < a.polygons.size(); ++i) {
    const Polygon& p = a.polygons[i];
    const Polygon& q = b.polygons[i];
    if (p.invisible != q.invisible || p.curved != q.curved || p.materialIndex != q.materialIndex ||
        p.textureIndex != q.textureIndex || p.normalIndex != q.normalIndex || !(p.convexPieces == q.convexPieces) ||
        !(MappingOf(a, p) == MappingOf(b, q)))
      return false;
  }
  return true;
}

Vec2 TextureCoordinate(const Body& body, const Polygon& polygon, std::int32_t vertex) {
  if (vertex < 0 || static_cast<std::size_t>(vertex) >= body.vertices.size()) return {};
  const Vec3& p = body.vertices[static_cast<std::size_t>(vertex)];
  const TextureMapping& m = MappingOf(body, polygon);
  switch (m.projection) {
    case TextureProjection::Vertex:
      if (body.texCoords.size() == body.vertices.size()) return body.texCoords[static_cast<std::size_t>(vertex)];
      break;  // no coordinates stored: fall back to box mapping
    case TextureProjection::Planar: {
      Vec3 d = Sub(p, m.origin);
      return {Dot(d, m.uAxis), Dot(d, m.vAxis)};
    }
    case TextureProjection::Box: break;
  }
  // Box mapping: project onto the plane across the normal's dominant axis,
  // keeping the image upright on walls.
  Vec3 n = PolygonNormal(body, polygon);
  double ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
  if (az >= ax && az >= ay) return {p.x, p.y};
  if (ax >= ay) return {n.x >= 0 ? p.y : -p.y, p.z};
  return {n.y >= 0 ? -p.x : p.x, p.z};
}

namespace {

std::string Where(std::size_t e, std::size_t b) {
  return "element " + std::to_string(e + 1) + " body " + std::to_string(b + 1);
}

// The indices 1..n that may be named, for messages.
std::string Range(std::int64_t n) { return n == 0 ? std::string("(none defined)") : "1.." + std::to_string(n); }

bool Finite(const Vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// What is wrong with the bodies of element e (counted from 0), or nothing.
std::string BodiesProblem(const Element& el, std::size_t e, std::int64_t nMat, std::int64_t nTex) {
  for (std::size_t b = 0; b < el.bodies.size(); ++b) {
    const Body& body = el.bodies[b];
    const auto nV = static_cast<std::int64_t>(body.vertices.size());
    const auto nN = static_cast<std::int64_t>(body.polygonNormals.size());
    for (const Vec3& v : body.vertices)
      if (!Finite(v)) return Where(e, b) + ": vertex coordinate is not a finite number";
    if (!body.vertexNormals.empty() && body.vertexNormals.size() != body.vertices.size())
      return Where(e, b) + ": " + std::to_string(body.vertexNormals.size()) + " vertex normals for " +
             std::to_string(nV) + " vertices";
    if (!body.texCoords.empty() && body.texCoords.size() != body.vertices.size())
      return Where(e, b) + ": " + std::to_string(body.texCoords.size()) + " texture coordinates for " +
             std::to_string(nV) + " vertices";
    for (std::size_t p = 0; p < body.polygons.size(); ++p) {
      const Polygon& poly = body.polygons[p];
      // Named only on failure: a large model has millions of polygons.
      auto where = [&] { return Where(e, b) + " polygon " + std::to_string(p + 1); };
      // A deleted material's index stays taken and may still be used: its
      // users show the host's default until they are given another.
      if (poly.materialIndex < 1 || poly.materialIndex > nMat)
        return where() + ": material index " + std::to_string(poly.materialIndex) + " out of range " + Range(nMat);
      if (poly.textureIndex < 0 || poly.textureIndex > nTex)
        return where() + ": texture index " + std::to_string(poly.textureIndex) + " out of range " + Range(nTex);
      std::int64_t k = poly.normalIndex;
      if (k == 0 || (k < 0 ? -k : k) > nN)
        return where() + ": normal index " + std::to_string(k) + " out of range ±" + Range(nN);
      if (poly.mappingIndex < 0 || static_cast<std::size_t>(poly.mappingIndex) > body.mappings.size())
        return where() + ": mapping index " + std::to_string(poly.mappingIndex) + " out of range 0.." +
               std::to_string(body.mappings.size());
      if (poly.convexPieces.empty()) return where() + ": no convex pieces";
      for (std::size_t c = 0; c < poly.convexPieces.size(); ++c) {
        const auto& piece = poly.convexPieces[c];
        if (piece.size() < 3)
          return where() + " piece " + std::to_string(c + 1) + ": " + std::to_string(piece.size()) +
                 " corners, at least 3 needed";
        for (std::int32_t v : piece)
          if (v < 0 || v >= nV)
            return where() + " piece " + std::to_string(c + 1) + ": vertex index " + std::to_string(v) +
                   " out of range 0.." + std::to_string(nV - 1);
      }
    }
  }
  return {};
}

}  // namespace

std::string Validate(const Project& project) {
  const auto nMat = static_cast<std::int64_t>(project.materials.size());
  const auto nTex = static_cast<std::int64_t>(project.textures.size());

  for (std::size_t i = 0; i < project.textures.size(); ++i) {
    const Texture& t = project.textures[i];
    std::string where = "texture " + std::to_string(i + 1);
    if (t.width <= 0 || t.height <= 0)
      return where + ": pixel map size " + std::to_string(t.width) + "x" + std::to_string(t.height) + " is empty";
    std::uint64_t need = static_cast<std::uint64_t>(t.width) * static_cast<std::uint64_t>(t.height) * 4u;
    if (t.pixels.size() != need)
      return where + ": pixel map holds " + std::to_string(t.pixels.size()) + " bytes, " + std::to_string(need) +
             " expected";
    if (!(t.xSize > 0) || !(t.ySize > 0) || !std::isfinite(t.xSize) || !std::isfinite(t.ySize))
      return where + ": size in model units must be positive";
  }
  for (std::size_t i = 0; i < project.materials.size(); ++i) {
    const Material& m = project.materials[i];
    std::string where = "material " + std::to_string(i + 1) + " (" + m.name + ")";
    if (m.textureIndex < 0 || m.textureIndex > nTex)
      return where + ": texture index " + std::to_string(m.textureIndex) + " out of range " + Range(nTex);
    if (m.transparency < 0 || m.transparency > 100)
      return where + ": transparency " + std::to_string(m.transparency) + " outside 0..100";
  }
  // The bodies, nearly all of a large model, are checked on all cores; the
  // problem reported is still the first in element order.
  const std::size_t n = project.elements.size();
  std::vector<std::string> problems(n);
  const auto polygons = [&](std::size_t e) {
    std::uint64_t count = 0;
    for (const Body& body : project.elements[e].bodies) count += body.polygons.size();
    return count;
  };
  base::ParallelForLargestFirst(n, polygons, [&](std::size_t e) {
    try {
      problems[e] = BodiesProblem(project.elements[e], e, nMat, nTex);
    } catch (const std::exception&) {
      problems[e] = "element " + std::to_string(e + 1) + ": cannot be checked (out of memory)";
    }
  });
  // Each element whose GUID an earlier one has, with that earlier one.
  std::vector<std::pair<Guid, std::size_t>> byGuid(n);
  for (std::size_t e = 0; e < n; ++e) byGuid[e] = {project.elements[e].guid, e};
  std::sort(byGuid.begin(), byGuid.end());
  std::vector<std::size_t> repeats(n, n);
  for (std::size_t k = 1, first = 0; k < n; ++k) {
    if (byGuid[k].first == byGuid[first].first) repeats[byGuid[k].second] = byGuid[first].second;
    else first = k;
  }
  for (std::size_t e = 0; e < n; ++e) {
    const Element& el = project.elements[e];
    if (el.guid.IsNull()) return "element " + std::to_string(e + 1) + ": null GUID";
    if (repeats[e] != n)
      return "element " + std::to_string(e + 1) + ": GUID " + el.guid.ToString() + " repeats element " +
             std::to_string(repeats[e] + 1);
    if (!problems[e].empty()) return problems[e];
  }
  return {};
}

}  // namespace hostmodel
