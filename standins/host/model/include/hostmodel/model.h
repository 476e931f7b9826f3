// The host's in-memory project: project state, material attributes, textures
// and 3D elements with their bodies. Plain copyable values: the runtime keeps
// one Project, edits return a new one or change it in place (see edit.h),
// and every file format (project.h, import.h) produces one.
//
// Index conventions (the runtime serves the modeler reads from these):
//   - materials[i] is the material attribute with host index i + 1;
//     textures[i] is the model texture with host index i + 1;
//     elements[i] is the model element with host index i + 1.
//   - Polygon::materialIndex and Polygon::textureIndex are host indices
//     (1-based, 0 = none); Material::textureIndex likewise.
//   - Polygon::normalIndex is signed and 1-based into Body::polygonNormals;
//     a negative value means "use that normal negated"; 0 is invalid.
//   - Every vertex index inside a body (convex pieces) is 0-based into
//     Body::vertices; the modeler interface adds 1 when it hands them out.
//   - Coordinates are metres, Z up.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hostmodel/convex_pieces.h"

namespace hostmodel {

struct Vec3 {
  double x = 0, y = 0, z = 0;
  friend bool operator==(const Vec3&, const Vec3&) = default;
};

struct Vec2 {
  double u = 0, v = 0;
  friend bool operator==(const Vec2&, const Vec2&) = default;
};

// 128-bit identifier with the memory layout of the host's API_Guid on a
// little-endian machine: bytes 0-3 Data1 (LE), 4-5 Data2 (LE), 6-7 Data3
// (LE), 8-15 Data4. memcpy into an API_Guid is therefore exact.
struct Guid {
  std::array<std::uint8_t, 16> bytes{};

  bool IsNull() const;
  // "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", upper case, Data1..3 read LE.
  std::string ToString() const;
  // Accepts the form above (either case, optional braces); nullopt otherwise.
  static std::optional<Guid> Parse(std::string_view text);
  // Deterministic GUID from arbitrary text (content-derived identities).
  static Guid FromName(std::string_view name);

  friend auto operator<=>(const Guid&, const Guid&) = default;
};

struct ColorRGB {
  double r = 0.667, g = 0.667, b = 0.667;  // 0..1 each
  friend bool operator==(const ColorRGB&, const ColorRGB&) = default;
};

// The host's window types as its database 'GWIN' request reports them.
enum class WindowType : std::int32_t {
  FloorPlan = 1,
  Section = 2,
  Detail = 3,
  ThreeD = 4,
  Layout = 5,
};

// The host's working length units (preferences type 0, first field); values
// below 3 are metric.
enum class LengthUnit : std::int32_t {
  Metre = 0,
  Centimetre = 1,
  Millimetre = 2,
  FootInch = 3,
  Inch = 4,
};

// Camera of the 3D window. projection 1 is perspective; anything else is a
// parallel projection. drawRect holds the window's drawing rectangle members
// in order (the aspect factor is member 3 / member 4).
struct Camera {
  std::int32_t projection = 1;
  Vec3 viewPoint{-8.0, -10.0, 6.0};
  Vec3 targetPoint{3.0, 3.0, 1.5};
  double rollAngle = 0.0;   // degrees
  double viewAngle = 60.0;  // degrees
  std::array<std::int16_t, 4> drawRect{0, 0, 1024, 768};
  friend bool operator==(const Camera&, const Camera&) = default;
};

struct ReferenceLevel {
  std::string name;
  double height = 0.0;  // metres above project zero
  friend bool operator==(const ReferenceLevel&, const ReferenceLevel&) = default;
};

// A project auto-text as the host lists it: name, key, value.
struct AutoText {
  std::string name;
  std::string key;
  std::string value;
  friend bool operator==(const AutoText&, const AutoText&) = default;
};

struct ProjectState {
  bool untitled = true;
  bool teamwork = false;
  std::string soloPath;     // file path of a saved solo project
  std::string teamworkUrl;  // location URL of a teamwork project
  WindowType currentWindow = WindowType::FloorPlan;
  Camera camera;
  std::vector<ReferenceLevel> referenceLevels;  // first, second, ...
  double seaLevelAltitude = 0.0;                // metres
  LengthUnit workingLengthUnit = LengthUnit::Metre;
  std::vector<AutoText> customAutoTexts;
  std::string hostVersion = "21.0.0";
  friend bool operator==(const ProjectState&, const ProjectState&) = default;
};

// A material attribute. Its host index is its position in Project::materials
// plus one.
struct Material {
  std::int64_t stamp = 1;  // modification stamp; bumped by every change
  std::string name;        // UTF-8
  Guid guid;
  // The attribute header's 16-bit field before the name; 0 marks a material
  // without a usable GUID (readers then key it by name).
  std::uint16_t headerFlags = 1;
  std::int16_t materialType = 0;  // 5 = glass
  std::int16_t transparency = 0;  // percent, 0..100
  std::int16_t shininess = 0;     // 0..10000
  std::uint16_t attenuation = 0;  // 0..65535
  std::int16_t percentage = 0;    // percent, 0..100
  ColorRGB surfaceColor;
  ColorRGB secondColor;
  std::int32_t textureIndex = 0;  // host texture index, 0 = none
  // The attribute was deleted: its index stays taken (host indices never
  // move) but there is no material at it. Polygons that still use it (a
  // deletion without replacement) have no attribute to read; edits cannot
  // give it to a polygon again.
  bool deleted = false;
  friend bool operator==(const Material&, const Material&) = default;
};

// A texture: an A,R,G,B pixel map plus what the modeler interface reports.
struct Texture {
  std::string name;
  std::int32_t pixelType = 1;  // 1 = 32-bit A,R,G,B pixel map
  std::int32_t width = 0;      // pixels
  std::int32_t height = 0;
  std::vector<std::uint8_t> pixels;  // width*height*4 bytes: A,R,G,B
  bool hasAlphaChannel = false;
  bool transparentPattern = false;
  std::string fingerprint;  // identity of the image content
  std::string filePath;     // image file it came from; empty when embedded
  double xSize = 1.0;       // size of one repeat in model units (metres)
  double ySize = 1.0;
  friend bool operator==(const Texture&, const Texture&) = default;
};

// How a polygon's texture coordinates are computed for a vertex. The host
// reports texture coordinates in model units; readers divide by the
// texture's X/Y size.
enum class TextureProjection : std::int32_t {
  Box = 0,     // planar along the polygon normal's dominant axis
  Planar = 1,  // u = (p - origin)·uAxis, v = (p - origin)·vAxis
  Vertex = 2,  // Body::texCoords[vertex]
};

struct TextureMapping {
  TextureProjection projection = TextureProjection::Box;
  Vec3 origin{};
  Vec3 uAxis{1, 0, 0};
  Vec3 vAxis{0, 1, 0};
  friend bool operator==(const TextureMapping&, const TextureMapping&) = default;
};

// A polygon's texture mapping lives in its body's table (see MappingOf,
// SetMapping): the polygons of a body nearly always share one or two, and
// a mapping in every polygon made polygons two and a half times larger,
// which a model of millions of them paid for in memory and time.
struct Polygon {
  bool invisible = false;
  bool curved = false;             // part of a smooth surface
  std::int32_t materialIndex = 0;  // host material index (1-based)
  std::int32_t textureIndex = 0;   // polygon texture of its own, 0 = none
  std::int32_t normalIndex = 1;    // signed, 1-based into polygonNormals
  std::int32_t mappingIndex = 0;   // 1-based into Body::mappings, 0 = TextureMapping{}
  // Convex pieces, each a list of 0-based vertex indices in order
  // (counter-clockwise seen from the side the normal points to).
  ConvexPieces convexPieces;
};

struct Body {
  bool closed = true;
  std::vector<Vec3> vertices;
  std::vector<Vec3> polygonNormals;  // unit vectors
  std::vector<Vec3> vertexNormals;   // empty, or one per vertex ((0,0,0): none)
  std::vector<Vec2> texCoords;       // empty, or one per vertex (model units)
  std::vector<Polygon> polygons;
  std::vector<TextureMapping> mappings;  // what polygons' mapping indices name
  // Equal when everything a reader sees is equal: each polygon's mapping
  // is compared by value, however the tables are laid out.
  friend bool operator==(const Body& a, const Body& b);
};

// The texture mapping of a polygon of the body: TextureMapping{} for index
// 0, and for an index the table does not hold.
const TextureMapping& MappingOf(const Body& body, const Polygon& polygon);
// Gives the polygon the mapping, taking an equal entry of the body's table
// when a recent one matches, else adding one. The polygon need not be in
// the body yet.
void SetMapping(Body& body, Polygon& polygon, const TextureMapping& mapping);
// The same for a table being built apart from its body: the index to give
// the polygon.
std::int32_t InternMapping(std::vector<TextureMapping>& table, const TextureMapping& mapping);

struct Element {
  Guid guid;
  std::uint32_t genId = 1;  // never 0 for a built element
  std::string name;         // display name (node path for imported models)
  std::vector<Body> bodies;
  friend bool operator==(const Element&, const Element&) = default;
};

struct Project {
  ProjectState state;
  std::vector<Material> materials;
  std::vector<Texture> textures;
  std::vector<Element> elements;
  friend bool operator==(const Project&, const Project&) = default;

  // Lookups by host index (1-based); null when out of range (and for a
  // deleted material).
  const Material* MaterialAt(std::int32_t hostIndex) const;
  const Texture* TextureAt(std::int32_t hostIndex) const;
  const Element* ElementAt(std::int32_t hostIndex) const;
  // Position in elements, or -1.
  std::int32_t FindElement(const Guid& guid) const;
};

// The normal the host reports for a polygon (negated for a negative index);
// (0,0,0) when the index is out of range.
Vec3 PolygonNormal(const Body& body, const Polygon& polygon);
// The normal at a vertex of a polygon: the per-vertex normal when the body
// has them, otherwise the polygon normal.
Vec3 VertexNormal(const Body& body, const Polygon& polygon, std::int32_t vertex);
// Texture coordinate (model units) of a vertex of a polygon by its mapping;
// (0,0) when the vertex is out of range.
Vec2 TextureCoordinate(const Body& body, const Polygon& polygon, std::int32_t vertex);

// Structural checks shared by every loader and by edits: indices in range,
// sizes consistent. Returns an empty string when sound, else the first
// problem found, phrased for a user ("element 3 body 1 polygon 7: material
// index 12 out of range 1..5").
std::string Validate(const Project& project);

}  // namespace hostmodel
