// The modeler interface: read access to the host's 3D model, element by
// element, body by body. Indices handed to these calls start at 1. A Model
// filled by EXPGetModel is a live view of a 3D model: reads made after an
// edit see the edit; an Element, Body or Texture object once read keeps the
// state it was read from, so one element is always read consistently.
//
// Reads with an index out of range leave the out object empty (IsInvalid /
// counts of 0) instead of failing: an add-on walking a model that changed
// under it sees fewer items, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "hostsdk/guid.h"
#include "hostsdk/types.h"
#include "hostsdk/unistring.h"

namespace hostmodel {
struct Project;
struct Element;
struct Body;
struct Polygon;
struct Texture;
struct Material;
}  // namespace hostmodel

namespace Modeler {
class Model3D;
}

namespace ModelerAPI {

struct Vertex {
  double x = 0, y = 0, z = 0;
};
struct Vector {
  double x = 0, y = 0, z = 0;
};
struct TextureCoordinate {
  double u = 0, v = 0;
};

// A host attribute index with its type: 2 material, 4 texture.
class AttributeIndex {
 public:
  enum Type : std::int32_t { UndefinedIndex = 0, MaterialIndex = 2, TextureIndex = 4 };
  AttributeIndex() = default;
  AttributeIndex(Type type, Int32 index) : type_(type), index_(index) {}
  Type GetType() const { return type_; }
  Int32 GetIndex() const { return index_; }
  void Set(Type type, Int32 index) {
    type_ = type;
    index_ = index;
  }

 private:
  Type type_ = UndefinedIndex;
  Int32 index_ = 0;
};

using ProjectSnapshot = std::shared_ptr<const hostmodel::Project>;

class Texture {
 public:
  Texture() = default;
  bool IsInvalid() const { return texture_ == nullptr; }
  Int32 GetPixelType() const;      // 1: 32-bit A,R,G,B pixels
  Int32 GetPixelMapXSize() const;  // pixels
  Int32 GetPixelMapYSize() const;
  Int32 GetPixelMapSize() const;  // pixel count
  // Copies 4 * GetPixelMapSize() bytes (A,R,G,B per pixel) into buffer.
  void GetPixelMap(void* buffer) const;
  // The same, refusing (false, nothing written) a buffer smaller than that.
  bool GetPixelMap(void* buffer, std::size_t bufferBytes) const;
  bool HasAlphaChannel() const;
  bool IsTransparentPattern() const;
  double GetXSize() const;  // one repeat, model units
  double GetYSize() const;
  GS::UniString GetFingerprint() const;
  GS::UniString GetName() const;

 private:
  friend class Model;
  friend class Material;
  friend class Polygon;
  ProjectSnapshot snapshot_;
  const hostmodel::Texture* texture_ = nullptr;
};

class Material {
 public:
  Material() = default;
  bool IsInvalid() const { return material_ == nullptr; }
  bool HasTexture() const;
  void GetTexture(Texture* texture) const;
  GS::UniString GetName() const;

 private:
  friend class Model;
  ProjectSnapshot snapshot_;
  const hostmodel::Material* material_ = nullptr;
};

class ConvexPolygon {
 public:
  ConvexPolygon() = default;
  Int32 GetVertexNum() const;
  // Host vertex index (from 1) at corner position (from 1); 0 when out of range.
  Int32 GetVertexIndex(Int32 position) const;

 private:
  friend class Polygon;
  ProjectSnapshot snapshot_;
  std::span<const std::int32_t> corners_;  // into the snapshot's polygon
};

class Polygon {
 public:
  Polygon() = default;
  bool IsInvalid() const { return polygon_ == nullptr; }
  bool IsInvisible() const;
  bool IsCurved() const;
  void GetMaterialIndex(AttributeIndex& index) const;
  bool HasPolygonTexture() const;
  void GetPolygonTexture(Texture* texture) const;
  // Signed, from 1, into the body's polygon normal vectors; negative means
  // the normal is to be used negated.
  Int32 GetNormalVectorIndex() const;
  Int32 GetConvexPolygonNum() const;
  void GetConvexPolygon(Int32 index, ConvexPolygon* convex) const;
  // The surface normal at a corner of the polygon. The position counts the
  // polygon's corners over its convex pieces in order, from 1.
  void GetNormalVectorByVertex(Int32 position, Vector* normal) const;
  // Texture coordinate (model units) of a body vertex on this polygon; the
  // vertex is found by position among the polygon's corners.
  void GetTextureCoordinate(const Vertex* vertex, TextureCoordinate* uv) const;

 private:
  friend class Body;
  ProjectSnapshot snapshot_;
  const hostmodel::Body* body_ = nullptr;
  const hostmodel::Polygon* polygon_ = nullptr;
};

class Body {
 public:
  Body() = default;
  bool IsInvalid() const { return body_ == nullptr; }
  Int32 GetVertexNum() const;
  void GetVertex(Int32 index, Vertex* vertex) const;
  bool IsClosed() const;
  Int32 GetPolygonVectorNum() const;
  void GetVector(Int32 index, Vector* vector) const;
  Int32 GetPolygonCount() const;
  void GetPolygon(Int32 index, Polygon* polygon) const;

 private:
  friend class Element;
  ProjectSnapshot snapshot_;
  const hostmodel::Body* body_ = nullptr;
};

class Element {
 public:
  Element() = default;
  bool IsInvalid() const { return element_ == nullptr; }
  UInt32 GetGenId() const;
  API_Guid GetElemGuid() const;
  Int32 GetBodyNum() const;
  void GetBody(Int32 index, Body* body) const;

 private:
  friend class Model;
  ProjectSnapshot snapshot_;
  const hostmodel::Element* element_ = nullptr;
};

// A view of a host 3D model; empty (no elements) until EXPGetModel fills it.
class Model {
 public:
  Model() = default;
  Int32 GetElementNum() const;
  void GetElement(Int32 index, Element* element) const;
  Int32 GetMaterialNum() const;
  void GetMaterial(const AttributeIndex& index, Material* material) const;
  Int32 GetTextureNum() const;
  void GetTexture(const AttributeIndex& index, Texture* texture) const;

  // Binds the view to a 3D model (used by EXPGetModel).
  void Attach(std::shared_ptr<const Modeler::Model3D> model);

 private:
  ProjectSnapshot Snapshot() const;
  std::shared_ptr<const Modeler::Model3D> source_;
};

}  // namespace ModelerAPI

// Resolves attributes while a model is read. The host's reader keeps no
// state that an add-on sees; it exists so that reads and attribute lookups
// go through one object as the host's interface has it.
class AttributeReader {
 public:
  AttributeReader() = default;
  virtual ~AttributeReader() = default;
};
