// The modeler interface over the host's model snapshots. Every object keeps
// the snapshot it was read from alive, so pointers into it stay valid however
// the live model changes meanwhile.
#include "hostsdk/modeler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "hostmodel/model.h"
#include "hostsdk/sight.h"

namespace ModelerAPI {

namespace {
template <typename T>
bool InRange(Int32 index, const T& v) {
  return index >= 1 && static_cast<std::size_t>(index) <= v.size();
}
}  // namespace

// ---- Texture ------------------------------------------------------------------
Int32 Texture::GetPixelType() const { return texture_ ? texture_->pixelType : 0; }
Int32 Texture::GetPixelMapXSize() const { return texture_ ? std::max(texture_->width, 0) : 0; }
Int32 Texture::GetPixelMapYSize() const { return texture_ ? std::max(texture_->height, 0) : 0; }

// The pixel count never exceeds what the pixel buffer holds, whatever the
// recorded size says, so a reader sized by it cannot read past the buffer.
Int32 Texture::GetPixelMapSize() const {
  if (!texture_ || texture_->width <= 0 || texture_->height <= 0) return 0;
  const std::uint64_t declared = std::uint64_t(texture_->width) * std::uint64_t(texture_->height);
  const std::uint64_t held = texture_->pixels.size() / 4;
  return static_cast<Int32>(std::min<std::uint64_t>({declared, held, 0x7fffffffu}));
}

void Texture::GetPixelMap(void* buffer) const {
  if (buffer == nullptr || !texture_) return;
  std::memcpy(buffer, texture_->pixels.data(), std::size_t(GetPixelMapSize()) * 4);
}

bool Texture::GetPixelMap(void* buffer, std::size_t bufferBytes) const {
  const std::size_t needed = std::size_t(GetPixelMapSize()) * 4;
  if (buffer == nullptr || bufferBytes < needed) return false;
  if (needed > 0) std::memcpy(buffer, texture_->pixels.data(), needed);
  return true;
}

bool Texture::HasAlphaChannel() const { return texture_ && texture_->hasAlphaChannel; }
bool Texture::IsTransparentPattern() const { return texture_ && texture_->transparentPattern; }
double Texture::GetXSize() const { return texture_ ? texture_->xSize : 1.0; }
double Texture::GetYSize() const { return texture_ ? texture_->ySize : 1.0; }
GS::UniString Texture::GetFingerprint() const {
  return texture_ ? GS::UniString::FromUtf8(texture_->fingerprint) : GS::UniString();
}
GS::UniString Texture::GetName() const { return texture_ ? GS::UniString::FromUtf8(texture_->name) : GS::UniString(); }

// ---- Material -----------------------------------------------------------------
bool Material::HasTexture() const {
  return material_ && snapshot_ && snapshot_->TextureAt(material_->textureIndex) != nullptr;
}

void Material::GetTexture(Texture* texture) const {
  if (texture == nullptr) return;
  *texture = Texture();
  if (!HasTexture()) return;
  texture->snapshot_ = snapshot_;
  texture->texture_ = snapshot_->TextureAt(material_->textureIndex);
}

GS::UniString Material::GetName() const {
  return material_ ? GS::UniString::FromUtf8(material_->name) : GS::UniString();
}

// ---- ConvexPolygon ------------------------------------------------------------
Int32 ConvexPolygon::GetVertexNum() const { return Int32(corners_.size()); }

Int32 ConvexPolygon::GetVertexIndex(Int32 position) const {
  if (!InRange(position, corners_)) return 0;
  return corners_[std::size_t(position - 1)] + 1;
}

// ---- Polygon ------------------------------------------------------------------
bool Polygon::IsInvisible() const { return polygon_ && polygon_->invisible; }
bool Polygon::IsCurved() const { return polygon_ && polygon_->curved; }

void Polygon::GetMaterialIndex(AttributeIndex& index) const {
  index.Set(AttributeIndex::MaterialIndex, polygon_ ? polygon_->materialIndex : 0);
}

bool Polygon::HasPolygonTexture() const {
  return polygon_ && snapshot_ && snapshot_->TextureAt(polygon_->textureIndex) != nullptr;
}

void Polygon::GetPolygonTexture(Texture* texture) const {
  if (texture == nullptr) return;
  *texture = Texture();
  if (!HasPolygonTexture()) return;
  texture->snapshot_ = snapshot_;
  texture->texture_ = snapshot_->TextureAt(polygon_->textureIndex);
}

Int32 Polygon::GetNormalVectorIndex() const { return polygon_ ? polygon_->normalIndex : 0; }

Int32 Polygon::GetConvexPolygonNum() const { return polygon_ ? Int32(polygon_->convexPieces.size()) : 0; }

void Polygon::GetConvexPolygon(Int32 index, ConvexPolygon* convex) const {
  if (convex == nullptr) return;
  *convex = ConvexPolygon();
  if (!polygon_ || !InRange(index, polygon_->convexPieces)) return;
  convex->snapshot_ = snapshot_;
  convex->corners_ = polygon_->convexPieces[std::size_t(index - 1)];
}

void Polygon::GetNormalVectorByVertex(Int32 position, Vector* normal) const {
  if (normal == nullptr) return;
  *normal = Vector();
  if (!polygon_ || position < 1) return;
  Int32 remaining = position - 1;
  for (const auto& piece : polygon_->convexPieces) {
    if (static_cast<std::size_t>(remaining) < piece.size()) {
      const hostmodel::Vec3 n = hostmodel::VertexNormal(*body_, *polygon_, piece[std::size_t(remaining)]);
      *normal = Vector{n.x, n.y, n.z};
      return;
    }
    remaining -= Int32(piece.size());
  }
}

void Polygon::GetTextureCoordinate(const Vertex* vertex, TextureCoordinate* uv) const {
  if (uv == nullptr) return;
  *uv = TextureCoordinate();
  if (vertex == nullptr || !polygon_) return;
  // The host maps by position: find the polygon's corner at that point.
  for (const auto& piece : polygon_->convexPieces) {
    for (std::int32_t v : piece) {
      if (v < 0 || static_cast<std::size_t>(v) >= body_->vertices.size()) continue;
      const hostmodel::Vec3& p = body_->vertices[std::size_t(v)];
      if (p.x == vertex->x && p.y == vertex->y && p.z == vertex->z) {
        const hostmodel::Vec2 t = hostmodel::TextureCoordinate(*body_, *polygon_, v);
        *uv = TextureCoordinate{t.u, t.v};
        return;
      }
    }
  }
}

// ---- Body ---------------------------------------------------------------------
Int32 Body::GetVertexNum() const { return body_ ? Int32(body_->vertices.size()) : 0; }

void Body::GetVertex(Int32 index, Vertex* vertex) const {
  if (vertex == nullptr) return;
  *vertex = Vertex();
  if (!body_ || !InRange(index, body_->vertices)) return;
  const hostmodel::Vec3& p = body_->vertices[std::size_t(index - 1)];
  *vertex = Vertex{p.x, p.y, p.z};
}

bool Body::IsClosed() const { return body_ && body_->closed; }

Int32 Body::GetPolygonVectorNum() const { return body_ ? Int32(body_->polygonNormals.size()) : 0; }

void Body::GetVector(Int32 index, Vector* vector) const {
  if (vector == nullptr) return;
  *vector = Vector();
  if (!body_ || !InRange(index, body_->polygonNormals)) return;
  const hostmodel::Vec3& n = body_->polygonNormals[std::size_t(index - 1)];
  *vector = Vector{n.x, n.y, n.z};
}

Int32 Body::GetPolygonCount() const { return body_ ? Int32(body_->polygons.size()) : 0; }

void Body::GetPolygon(Int32 index, Polygon* polygon) const {
  if (polygon == nullptr) return;
  *polygon = Polygon();
  if (!body_ || !InRange(index, body_->polygons)) return;
  polygon->snapshot_ = snapshot_;
  polygon->body_ = body_;
  polygon->polygon_ = &body_->polygons[std::size_t(index - 1)];
}

// ---- Element ------------------------------------------------------------------
UInt32 Element::GetGenId() const { return element_ ? element_->genId : 0; }

API_Guid Element::GetElemGuid() const {
  API_Guid guid{};
  if (element_) std::memcpy(&guid, element_->guid.bytes.data(), sizeof(guid));
  return guid;
}

Int32 Element::GetBodyNum() const { return element_ ? Int32(element_->bodies.size()) : 0; }

void Element::GetBody(Int32 index, Body* body) const {
  if (body == nullptr) return;
  *body = Body();
  if (!element_ || !InRange(index, element_->bodies)) return;
  body->snapshot_ = snapshot_;
  body->body_ = &element_->bodies[std::size_t(index - 1)];
}

// ---- Model --------------------------------------------------------------------
void Model::Attach(std::shared_ptr<const Modeler::Model3D> model) { source_ = std::move(model); }

ProjectSnapshot Model::Snapshot() const { return source_ ? source_->Snapshot() : nullptr; }

Int32 Model::GetElementNum() const {
  const ProjectSnapshot s = Snapshot();
  return s ? Int32(s->elements.size()) : 0;
}

void Model::GetElement(Int32 index, Element* element) const {
  if (element == nullptr) return;
  *element = Element();
  ProjectSnapshot s = Snapshot();
  if (!s || !InRange(index, s->elements)) return;
  element->element_ = &s->elements[std::size_t(index - 1)];
  element->snapshot_ = std::move(s);
}

Int32 Model::GetMaterialNum() const {
  const ProjectSnapshot s = Snapshot();
  return s ? Int32(s->materials.size()) : 0;
}

void Model::GetMaterial(const AttributeIndex& index, Material* material) const {
  if (material == nullptr) return;
  *material = Material();
  ProjectSnapshot s = Snapshot();
  if (!s || index.GetType() != AttributeIndex::MaterialIndex) return;
  const hostmodel::Material* m = s->MaterialAt(index.GetIndex());
  if (m == nullptr) return;
  material->material_ = m;
  material->snapshot_ = std::move(s);
}

Int32 Model::GetTextureNum() const {
  const ProjectSnapshot s = Snapshot();
  return s ? Int32(s->textures.size()) : 0;
}

void Model::GetTexture(const AttributeIndex& index, Texture* texture) const {
  if (texture == nullptr) return;
  *texture = Texture();
  ProjectSnapshot s = Snapshot();
  if (!s || index.GetType() != AttributeIndex::TextureIndex) return;
  const hostmodel::Texture* t = s->TextureAt(index.GetIndex());
  if (t == nullptr) return;
  texture->texture_ = t;
  texture->snapshot_ = std::move(s);
}

}  // namespace ModelerAPI
