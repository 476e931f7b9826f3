#include "hostmodel/project_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <nlohmann/json.hpp>

#include "base/base64.h"
#include "element_text.h"
#include "hostmodel/image.h"
#include "native_path.h"

namespace hostmodel {

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

constexpr const char* kFormat = "host-project";
constexpr int kVersion = 1;

// Thrown inside the reader only; ParseProject turns it into a Result.
struct FormatError {
  std::string where;
  std::string what;
};

// A position in the document for messages, e.g. "elements[2].bodies[0]".
class Path {
 public:
  Path(std::string s) : s_(std::move(s)) {}
  Path operator/(std::string_view key) const {
    return Path(s_.empty() ? std::string(key) : s_ + "." + std::string(key));
  }
  Path operator[](std::size_t i) const { return Path(s_ + "[" + std::to_string(i) + "]"); }
  const std::string& str() const { return s_; }

 private:
  std::string s_;
};

[[noreturn]] void Fail(const Path& p, std::string what) { throw FormatError{p.str(), std::move(what)}; }

const char* TypeName(const Json& j) {
  switch (j.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::object: return "an object";
    case Json::value_t::array: return "an array";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return "a number";
    default: return "an unexpected value";
  }
}

const Json& Obj(const Json& j, const Path& p) {
  if (!j.is_object()) Fail(p, std::string("expected an object, found ") + TypeName(j));
  return j;
}

const Json& Arr(const Json& j, const Path& p) {
  if (!j.is_array()) Fail(p, std::string("expected an array, found ") + TypeName(j));
  return j;
}

// Member access: required members fail when absent, optional ones yield null.
const Json* Member(const Json& obj, std::string_view key) {
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

const Json& Required(const Json& obj, const Path& p, std::string_view key) {
  const Json* m = Member(obj, key);
  if (!m) Fail(p, "missing member \"" + std::string(key) + "\"");
  return *m;
}

double Num(const Json& j, const Path& p) {
  if (!j.is_number()) Fail(p, std::string("expected a number, found ") + TypeName(j));
  double d = j.get<double>();
  if (!std::isfinite(d)) Fail(p, "number is not finite");
  return d;
}

std::int64_t Int(const Json& j, const Path& p, std::int64_t lo, std::int64_t hi) {
  std::int64_t v = 0;
  if (j.is_number_integer()) {
    if (j.is_number_unsigned() && j.get<std::uint64_t>() > static_cast<std::uint64_t>(hi))
      Fail(p, "value " + j.dump() + " outside " + std::to_string(lo) + ".." + std::to_string(hi));
    v = j.get<std::int64_t>();
  } else {
    Fail(p, std::string("expected an integer, found ") + TypeName(j));
  }
  if (v < lo || v > hi)
    Fail(p, "value " + std::to_string(v) + " outside " + std::to_string(lo) + ".." + std::to_string(hi));
  return v;
}

bool Bool(const Json& j, const Path& p) {
  if (!j.is_boolean()) Fail(p, std::string("expected true or false, found ") + TypeName(j));
  return j.get<bool>();
}

std::string Str(const Json& j, const Path& p) {
  if (!j.is_string()) Fail(p, std::string("expected a string, found ") + TypeName(j));
  return j.get<std::string>();
}

template <typename T, typename F>
T Opt(const Json& obj, const Path& p, std::string_view key, T fallback, F read) {
  const Json* m = Member(obj, key);
  return m ? read(*m, p / key) : fallback;
}

double OptNum(const Json& o, const Path& p, std::string_view k, double d) {
  return Opt(o, p, k, d, [](const Json& j, const Path& q) { return Num(j, q); });
}
std::int64_t OptInt(const Json& o, const Path& p, std::string_view k, std::int64_t d, std::int64_t lo,
                    std::int64_t hi) {
  return Opt(o, p, k, d, [&](const Json& j, const Path& q) { return Int(j, q, lo, hi); });
}
bool OptBool(const Json& o, const Path& p, std::string_view k, bool d) {
  return Opt(o, p, k, d, [](const Json& j, const Path& q) { return Bool(j, q); });
}
std::string OptStr(const Json& o, const Path& p, std::string_view k, std::string d) {
  return Opt(o, p, k, std::move(d), [](const Json& j, const Path& q) { return Str(j, q); });
}

Vec3 ReadVec3(const Json& j, const Path& p) {
  if (!j.is_array() || j.size() != 3) Fail(p, "expected an array of 3 numbers");
  return {Num(j[0], p[0]), Num(j[1], p[1]), Num(j[2], p[2])};
}

Vec2 ReadVec2(const Json& j, const Path& p) {
  if (!j.is_array() || j.size() != 2) Fail(p, "expected an array of 2 numbers");
  return {Num(j[0], p[0]), Num(j[1], p[1])};
}

ColorRGB ReadColor(const Json& j, const Path& p) {
  Vec3 v = ReadVec3(j, p);
  for (double c : {v.x, v.y, v.z})
    if (c < 0.0 || c > 1.0) Fail(p, "colour component " + std::to_string(c) + " outside 0..1");
  return {v.x, v.y, v.z};
}

Guid ReadGuid(const Json& j, const Path& p) {
  std::string s = Str(j, p);
  auto g = Guid::Parse(s);
  if (!g) Fail(p, "\"" + s + "\" is not a GUID");
  return *g;
}

constexpr std::pair<WindowType, const char*> kWindows[] = {
    {WindowType::FloorPlan, "floorPlan"}, {WindowType::Section, "section"}, {WindowType::Detail, "detail"},
    {WindowType::ThreeD, "3d"},           {WindowType::Layout, "layout"},
};
constexpr std::pair<LengthUnit, const char*> kUnits[] = {
    {LengthUnit::Metre, "m"},        {LengthUnit::Centimetre, "cm"}, {LengthUnit::Millimetre, "mm"},
    {LengthUnit::FootInch, "ft-in"}, {LengthUnit::Inch, "in"},
};
constexpr std::pair<TextureProjection, const char*> kProjections[] = {
    {TextureProjection::Box, "box"}, {TextureProjection::Planar, "planar"}, {TextureProjection::Vertex, "vertex"}};

template <typename E, std::size_t N>
E ReadEnum(const Json& j, const Path& p, const std::pair<E, const char*> (&table)[N]) {
  std::string s = Str(j, p);
  for (const auto& [e, name] : table)
    if (s == name) return e;
  std::string allowed;
  for (const auto& entry : table) allowed += std::string(allowed.empty() ? "" : ", ") + "\"" + entry.second + "\"";
  Fail(p, "\"" + s + "\" is not one of " + allowed);
}

template <typename E, std::size_t N>
const char* EnumName(E e, const std::pair<E, const char*> (&table)[N]) {
  for (const auto& [v, name] : table)
    if (v == e) return name;
  return table[0].second;
}

Camera ReadCamera(const Json& j, const Path& p) {
  Obj(j, p);
  Camera c;
  c.projection = static_cast<std::int32_t>(OptInt(j, p, "projection", c.projection, INT32_MIN, INT32_MAX));
  if (auto* m = Member(j, "viewPoint")) c.viewPoint = ReadVec3(*m, p / "viewPoint");
  if (auto* m = Member(j, "targetPoint")) c.targetPoint = ReadVec3(*m, p / "targetPoint");
  c.rollAngle = OptNum(j, p, "rollAngle", c.rollAngle);
  c.viewAngle = OptNum(j, p, "viewAngle", c.viewAngle);
  if (auto* m = Member(j, "drawRect")) {
    Path q = p / "drawRect";
    if (!m->is_array() || m->size() != 4) Fail(q, "expected an array of 4 integers");
    for (std::size_t i = 0; i < 4; ++i)
      c.drawRect[i] = static_cast<std::int16_t>(Int((*m)[i], q[i], INT16_MIN, INT16_MAX));
  }
  return c;
}

ProjectState ReadState(const Json& j, const Path& p) {
  Obj(j, p);
  ProjectState s;
  s.untitled = OptBool(j, p, "untitled", s.untitled);
  s.teamwork = OptBool(j, p, "teamwork", s.teamwork);
  s.soloPath = OptStr(j, p, "soloPath", "");
  s.teamworkUrl = OptStr(j, p, "teamworkUrl", "");
  if (auto* m = Member(j, "currentWindow")) s.currentWindow = ReadEnum(*m, p / "currentWindow", kWindows);
  if (auto* m = Member(j, "camera")) s.camera = ReadCamera(*m, p / "camera");
  if (auto* m = Member(j, "referenceLevels")) {
    Path q = p / "referenceLevels";
    for (std::size_t i = 0; i < Arr(*m, q).size(); ++i) {
      const Json& lv = Obj((*m)[i], q[i]);
      s.referenceLevels.push_back(
          {Str(Required(lv, q[i], "name"), q[i] / "name"), Num(Required(lv, q[i], "height"), q[i] / "height")});
    }
  }
  s.seaLevelAltitude = OptNum(j, p, "seaLevelAltitude", 0.0);
  if (auto* m = Member(j, "workingLengthUnit")) s.workingLengthUnit = ReadEnum(*m, p / "workingLengthUnit", kUnits);
  if (auto* m = Member(j, "customAutoTexts")) {
    Path q = p / "customAutoTexts";
    for (std::size_t i = 0; i < Arr(*m, q).size(); ++i) {
      const Json& at = Obj((*m)[i], q[i]);
      s.customAutoTexts.push_back({Str(Required(at, q[i], "name"), q[i] / "name"),
                                   Str(Required(at, q[i], "key"), q[i] / "key"), OptStr(at, q[i], "value", "")});
    }
  }
  s.hostVersion = OptStr(j, p, "hostVersion", s.hostVersion);
  if (s.teamwork && s.teamworkUrl.empty()) Fail(p, "a teamwork project needs a \"teamworkUrl\"");
  if (!s.untitled && !s.teamwork && s.soloPath.empty()) Fail(p, "a saved solo project needs a \"soloPath\"");
  return s;
}

Texture ReadTexture(const Json& j, const Path& p, const fs::path& baseDir) {
  Obj(j, p);
  Texture t;
  const Json* file = Member(j, "file");
  const Json* pixels = Member(j, "pixels");
  if ((file != nullptr) == (pixels != nullptr)) Fail(p, "needs exactly one of \"file\" and \"pixels\"");
  if (file) {
    std::string name = Str(*file, p / "file");
    if (name.empty()) Fail(p / "file", "empty file name");
    const fs::path written = detail::NativePath(name);
    const fs::path path = written.is_absolute() ? written : baseDir / written;
    auto decoded = DecodeImageFile(detail::Utf8Path(path.lexically_normal()));
    if (!decoded) Fail(p / "file", decoded.error());
    t = std::move(decoded).value();
  } else {
    Path q = p / "pixels";
    Obj(*pixels, q);
    t.width = static_cast<std::int32_t>(Int(Required(*pixels, q, "width"), q / "width", 1, 65535));
    t.height = static_cast<std::int32_t>(Int(Required(*pixels, q, "height"), q / "height", 1, 65535));
    if (static_cast<std::uint64_t>(t.width) * static_cast<std::uint64_t>(t.height) > kMaxImagePixels)
      Fail(q, "pixel map too large");
    std::string data = Str(Required(*pixels, q, "argb"), q / "argb");
    auto bytes = base::Base64Decode(data);
    if (!bytes) Fail(q / "argb", "not valid base64");
    std::size_t need = static_cast<std::size_t>(t.width) * static_cast<std::size_t>(t.height) * 4;
    if (bytes->size() != need)
      Fail(q / "argb", "holds " + std::to_string(bytes->size()) + " bytes, " + std::to_string(need) + " expected for " +
                           std::to_string(t.width) + "x" + std::to_string(t.height) + " pixels");
    t.pixels = std::move(*bytes);
    t.fingerprint = PixelFingerprint(t.width, t.height, t.pixels);
  }
  t.name = OptStr(j, p, "name", t.name);
  t.pixelType = static_cast<std::int32_t>(OptInt(j, p, "pixelType", 1, INT32_MIN, INT32_MAX));
  t.hasAlphaChannel = OptBool(j, p, "hasAlphaChannel", t.hasAlphaChannel);
  t.transparentPattern = OptBool(j, p, "transparentPattern", t.transparentPattern);
  t.fingerprint = OptStr(j, p, "fingerprint", t.fingerprint);
  t.xSize = OptNum(j, p, "xSize", 1.0);
  t.ySize = OptNum(j, p, "ySize", 1.0);
  if (!(t.xSize > 0) || !(t.ySize > 0)) Fail(p, "\"xSize\" and \"ySize\" must be positive");
  return t;
}

Material ReadMaterial(const Json& j, const Path& p) {
  Obj(j, p);
  Material m;
  m.name = Str(Required(j, p, "name"), p / "name");
  if (auto* g = Member(j, "guid")) m.guid = ReadGuid(*g, p / "guid");
  else m.guid = Guid::FromName("material:" + m.name);
  m.stamp = OptInt(j, p, "stamp", 1, INT64_MIN, INT64_MAX);
  m.headerFlags = static_cast<std::uint16_t>(OptInt(j, p, "headerFlags", 1, 0, UINT16_MAX));
  m.materialType = static_cast<std::int16_t>(OptInt(j, p, "materialType", 0, INT16_MIN, INT16_MAX));
  m.transparency = static_cast<std::int16_t>(OptInt(j, p, "transparency", 0, 0, 100));
  m.shininess = static_cast<std::int16_t>(OptInt(j, p, "shininess", 0, 0, 10000));
  m.attenuation = static_cast<std::uint16_t>(OptInt(j, p, "attenuation", 0, 0, UINT16_MAX));
  m.percentage = static_cast<std::int16_t>(OptInt(j, p, "percentage", 0, 0, 100));
  if (auto* c = Member(j, "surfaceColor")) m.surfaceColor = ReadColor(*c, p / "surfaceColor");
  m.secondColor = m.surfaceColor;
  if (auto* c = Member(j, "secondColor")) m.secondColor = ReadColor(*c, p / "secondColor");
  m.textureIndex = static_cast<std::int32_t>(OptInt(j, p, "texture", 0, 0, INT32_MAX));
  m.deleted = OptBool(j, p, "deleted", false);
  return m;
}

std::vector<Vec3> ReadVec3List(const Json& j, const Path& p) {
  Arr(j, p);
  std::vector<Vec3> out;
  out.reserve(j.size());
  for (std::size_t i = 0; i < j.size(); ++i) out.push_back(ReadVec3(j[i], p[i]));
  return out;
}

// A polygon of body b: its mapping goes into b's table.
Polygon ReadPolygon(const Json& j, const Path& p, Body& b) {
  Obj(j, p);
  Polygon poly;
  poly.invisible = OptBool(j, p, "invisible", false);
  poly.curved = OptBool(j, p, "curved", false);
  poly.materialIndex = static_cast<std::int32_t>(Int(Required(j, p, "material"), p / "material", INT32_MIN, INT32_MAX));
  poly.textureIndex = static_cast<std::int32_t>(OptInt(j, p, "texture", 0, INT32_MIN, INT32_MAX));
  poly.normalIndex = static_cast<std::int32_t>(Int(Required(j, p, "normal"), p / "normal", INT32_MIN + 1, INT32_MAX));
  if (auto* m = Member(j, "mapping")) {
    Path q = p / "mapping";
    Obj(*m, q);
    TextureMapping mapping;
    if (auto* pr = Member(*m, "projection")) mapping.projection = ReadEnum(*pr, q / "projection", kProjections);
    if (auto* v = Member(*m, "origin")) mapping.origin = ReadVec3(*v, q / "origin");
    if (auto* v = Member(*m, "u")) mapping.uAxis = ReadVec3(*v, q / "u");
    if (auto* v = Member(*m, "v")) mapping.vAxis = ReadVec3(*v, q / "v");
    SetMapping(b, poly, mapping);
  }
  Path q = p / "pieces";
  const Json& pieces = Arr(Required(j, p, "pieces"), q);
  std::vector<std::int32_t> corners;
  std::vector<std::uint32_t> ends;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const Json& piece = Arr(pieces[i], q[i]);
    for (std::size_t k = 0; k < piece.size(); ++k)
      corners.push_back(static_cast<std::int32_t>(Int(piece[k], q[i][k], INT32_MIN, INT32_MAX)));
    ends.push_back(static_cast<std::uint32_t>(corners.size()));
  }
  poly.convexPieces.Assign(corners, ends);
  return poly;
}

Body ReadBody(const Json& j, const Path& p) {
  Obj(j, p);
  Body b;
  b.closed = OptBool(j, p, "closed", true);
  b.vertices = ReadVec3List(Required(j, p, "vertices"), p / "vertices");
  b.polygonNormals = ReadVec3List(Required(j, p, "polygonNormals"), p / "polygonNormals");
  if (auto* m = Member(j, "vertexNormals")) b.vertexNormals = ReadVec3List(*m, p / "vertexNormals");
  if (auto* m = Member(j, "texCoords")) {
    Path q = p / "texCoords";
    for (std::size_t i = 0; i < Arr(*m, q).size(); ++i) b.texCoords.push_back(ReadVec2((*m)[i], q[i]));
  }
  Path q = p / "polygons";
  const Json& polys = Arr(Required(j, p, "polygons"), q);
  b.polygons.reserve(polys.size());
  for (std::size_t i = 0; i < polys.size(); ++i) b.polygons.push_back(ReadPolygon(polys[i], q[i], b));
  return b;
}

Element ReadElement(const Json& j, const Path& p) {
  Obj(j, p);
  Element e;
  e.guid = ReadGuid(Required(j, p, "guid"), p / "guid");
  e.genId = static_cast<std::uint32_t>(OptInt(j, p, "genId", 1, 0, UINT32_MAX));
  e.name = OptStr(j, p, "name", "");
  if (auto* m = Member(j, "bodies")) {
    Path q = p / "bodies";
    for (std::size_t i = 0; i < Arr(*m, q).size(); ++i) e.bodies.push_back(ReadBody((*m)[i], q[i]));
  }
  return e;
}

Project ReadProject(const Json& root, const fs::path& baseDir) {
  Path p("");
  Obj(root, Path("(document)"));
  std::string format = Str(Required(root, Path("(document)"), "format"), Path("format"));
  if (format != kFormat)
    Fail(Path("format"), "\"" + format + "\" is not a host project (\"" + kFormat + "\" expected)");
  std::int64_t version = Int(Required(root, Path("(document)"), "version"), Path("version"), 0, INT32_MAX);
  if (version != kVersion)
    Fail(Path("version"), "version " + std::to_string(version) + " is not supported (1 expected)");
  Project project;
  if (auto* m = Member(root, "state")) project.state = ReadState(*m, Path("state"));
  if (auto* m = Member(root, "textures")) {
    Path q("textures");
    for (std::size_t i = 0; i < Arr(*m, q).size(); ++i) project.textures.push_back(ReadTexture((*m)[i], q[i], baseDir));
  }
  if (auto* m = Member(root, "materials")) {
    Path q("materials");
    for (std::size_t i = 0; i < Arr(*m, q).size(); ++i) project.materials.push_back(ReadMaterial((*m)[i], q[i]));
  }
  if (auto* m = Member(root, "elements")) {
    Path q("elements");
    for (std::size_t i = 0; i < Arr(*m, q).size(); ++i) project.elements.push_back(ReadElement((*m)[i], q[i]));
  }
  return project;
}

Json WriteVec3(const Vec3& v) { return Json::array({v.x, v.y, v.z}); }
Json WriteColor(const ColorRGB& c) { return Json::array({c.r, c.g, c.b}); }

std::string RelativeIfBelow(const std::string& file, const std::string& baseDir) {
  if (baseDir.empty()) return file;
  fs::path f = detail::NativePath(file).lexically_normal();
  fs::path rel = f.lexically_relative(detail::NativePath(baseDir).lexically_normal());
  if (rel.empty() || *rel.begin() == "..") return file;
  // Written with "/" on every platform, so that a project saved on one
  // reads on the other.
  return detail::Utf8GenericPath(rel);
}

bool Scalar(const Json& j) { return !j.is_object() && !j.is_array(); }

// Names may come from model files in any 8-bit encoding; text that is not
// UTF-8 is written with replacement characters instead of failing the save.
std::string Dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

bool ScalarArray(const Json& j) {
  return j.is_array() && std::all_of(j.begin(), j.end(), [](const Json& e) { return Scalar(e); });
}

// Indented like a document, but arrays of scalars (points, colours, corner
// lists) stay on one line so that geometry remains readable and diffable.
void Pretty(const Json& j, int depth, std::string& out) {
  auto newline = [&](int d) {
    out += '\n';
    out.append(static_cast<std::size_t>(d), ' ');
  };
  if (Scalar(j)) {
    out += Dump(j);
  } else if (ScalarArray(j)) {
    out += '[';
    for (std::size_t i = 0; i < j.size(); ++i) {
      if (i) out += ", ";
      out += Dump(j[i]);
    }
    out += ']';
  } else if (j.is_array()) {
    out += '[';
    bool first = true;
    for (const Json& e : j) {
      if (!first) out += ',';
      first = false;
      newline(depth + 1);
      Pretty(e, depth + 1, out);
    }
    if (!j.empty()) newline(depth);
    out += ']';
  } else {
    out += '{';
    bool first = true;
    for (auto it = j.begin(); it != j.end(); ++it) {
      if (!first) out += ',';
      first = false;
      newline(depth + 1);
      out += Dump(Json(it.key()));
      out += ": ";
      Pretty(it.value(), depth + 1, out);
    }
    if (!j.empty()) newline(depth);
    out += '}';
  }
}

}  // namespace

namespace {

Result<Project> Finish(Project project, const std::string& origin) {
  std::string problem = Validate(project);
  if (!problem.empty()) return Result<Project>::Fail(origin + ": " + problem);
  return Result<Project>::Ok(std::move(project));
}

// Reads the head of the document (or all of it) from its tree; the failure
// message names the origin and where in the document the problem is.
Result<Project> ReadTree(const Json& root, const std::string& origin, Project& project) {
  fs::path baseDir = detail::NativePath(origin).parent_path();
  try {
    project = ReadProject(root, baseDir);
  } catch (const FormatError& e) {
    return Result<Project>::Fail(origin + ": " + (e.where.empty() ? "" : e.where + ": ") + e.what);
  } catch (const std::exception& e) {
    return Result<Project>::Fail(origin + ": " + e.what());
  }
  return Result<Project>::Ok({});
}

// The fast reading: the document's small members through a tree each, the
// elements straight into the project (see element_text.h). nullopt when
// the document is not one this reading takes; the tree reader then reads
// it, to the same project or with the same message.
std::optional<Result<Project>> ReadParts(const detail::TextSource& text, const std::string& origin,
                                         const detail::ProjectReading& tuning, detail::ProjectReadReport* report) {
  std::optional<detail::DocumentParts> parts = detail::ReadDocumentParts(text, {tuning.pieceBytes, tuning.windowBytes});
  if (!parts) return std::nullopt;
  Json root = Json::object();
  for (auto& [key, value] : parts->members) {
    if (root.contains(key) || (parts->hasElements && key == "elements")) return std::nullopt;
    try {
      root[key] = Json::parse(value);
    } catch (const std::exception&) {
      return std::nullopt;
    }
    std::string().swap(value);
  }
  if (report) {
    report->treeRead = false;
    report->pieces = parts->pieces;
    report->piecesRedone = parts->piecesRedone;
  }
  // The whole document is sound JSON and its elements read, so a problem
  // in the head is the first the tree reader would name too.
  Project project;
  if (Result<Project> head = ReadTree(root, origin, project); !head.ok()) return head;
  project.elements = std::move(parts->elements);
  return Finish(std::move(project), origin);
}

}  // namespace

namespace detail {

Result<Project> ParseProjectTree(std::string_view json, const std::string& origin) {
  Json root;
  try {
    root = Json::parse(json.begin(), json.end());
  } catch (const Json::parse_error& e) {
    // The library's message already carries line and column.
    std::string what = e.what();
    if (auto pos = what.find("] "); pos != std::string::npos) what = what.substr(pos + 2);
    return Result<Project>::Fail(origin + ": not valid JSON: " + what);
  } catch (const std::exception& e) {
    return Result<Project>::Fail(origin + ": cannot parse: " + e.what());
  }
  Project project;
  if (Result<Project> read = ReadTree(root, origin, project); !read.ok()) return read;
  root = Json();
  return Finish(std::move(project), origin);
}

Result<Project> ParseProject(std::string_view json, const std::string& origin, const ProjectReading& tuning,
                             ProjectReadReport* report) {
  if (report) *report = {};
  try {
    if (auto read = ReadParts(MemoryText(json), origin, tuning, report)) return std::move(*read);
  } catch (const std::bad_alloc&) {
    return Result<Project>::Fail(origin + ": not enough memory to read the project");
  } catch (const TextReadError&) {
    // Memory is always readable; not reached.
  }
  if (report) report->treeRead = true;
  return ParseProjectTree(json, origin);
}

Result<Project> LoadProjectFile(const std::string& path, const ProjectReading& tuning, ProjectReadReport* report) {
  if (report) *report = {};
  ProjectInput file(path);
  if (!file.error().empty()) return Result<Project>::Fail(path + ": cannot open project file (" + file.error() + ")");
  auto readFailure = [&](const std::string& error) {
    return Result<Project>::Fail(path + ": cannot read project file" +
                                 (error.empty() ? std::string() : " (" + error + ")"));
  };
  if (file.regular() && file.size() > 0) {
    // Read a window at a time, never whole.
    try {
      std::optional<Result<Project>> read = ReadParts(FileText(file, file.size()), path, tuning, report);
      if (read) return std::move(*read);
    } catch (const TextReadError& e) {
      return readFailure(e.what);
    } catch (const std::bad_alloc&) {
      return Result<Project>::Fail(path + ": not enough memory to read the project");
    }
  }
  // Everything else (an unusual document, or one with a problem to name,
  // and what is not a plain file) is read whole and through the tree.
  std::string text;
  char buffer[1 << 16];
  for (;;) {
    std::string error;
    const std::int64_t n = file.Read(buffer, sizeof buffer, &error);
    if (n < 0) return readFailure(error);
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  if (text.empty()) return Result<Project>::Fail(path + ": project file is empty");
  if (report) report->treeRead = true;
  return ParseProjectTree(text, path);
}

}  // namespace detail

Result<Project> ParseProject(std::string_view json, const std::string& origin) {
  return detail::ParseProject(json, origin, {}, nullptr);
}

Result<Project> LoadProjectFile(const std::string& path) { return detail::LoadProjectFile(path, {}, nullptr); }

namespace {

// The document up to its last member's value: the elements, which follow.
std::string DocumentHead(const Project& project, const ProjectState& s, const std::string& baseDir) {
  Json root;
  root["format"] = kFormat;
  root["version"] = kVersion;

  Json st;
  st["untitled"] = s.untitled;
  st["teamwork"] = s.teamwork;
  st["soloPath"] = s.soloPath;
  st["teamworkUrl"] = s.teamworkUrl;
  st["currentWindow"] = EnumName(s.currentWindow, kWindows);
  const Camera& c = s.camera;
  st["camera"] = {{"projection", c.projection},
                  {"viewPoint", WriteVec3(c.viewPoint)},
                  {"targetPoint", WriteVec3(c.targetPoint)},
                  {"rollAngle", c.rollAngle},
                  {"viewAngle", c.viewAngle},
                  {"drawRect", c.drawRect}};
  Json levels = Json::array();
  for (const auto& lv : s.referenceLevels) levels.push_back({{"name", lv.name}, {"height", lv.height}});
  st["referenceLevels"] = std::move(levels);
  st["seaLevelAltitude"] = s.seaLevelAltitude;
  st["workingLengthUnit"] = EnumName(s.workingLengthUnit, kUnits);
  Json texts = Json::array();
  for (const auto& at : s.customAutoTexts) texts.push_back({{"name", at.name}, {"key", at.key}, {"value", at.value}});
  st["customAutoTexts"] = std::move(texts);
  st["hostVersion"] = s.hostVersion;
  root["state"] = std::move(st);

  Json textures = Json::array();
  for (const Texture& t : project.textures) {
    Json jt;
    jt["name"] = t.name;
    if (!t.filePath.empty()) jt["file"] = RelativeIfBelow(t.filePath, baseDir);
    else jt["pixels"] = {{"width", t.width}, {"height", t.height}, {"argb", base::Base64Encode(t.pixels)}};
    jt["pixelType"] = t.pixelType;
    jt["hasAlphaChannel"] = t.hasAlphaChannel;
    jt["transparentPattern"] = t.transparentPattern;
    jt["fingerprint"] = t.fingerprint;
    jt["xSize"] = t.xSize;
    jt["ySize"] = t.ySize;
    textures.push_back(std::move(jt));
  }
  root["textures"] = std::move(textures);

  Json materials = Json::array();
  for (const Material& m : project.materials) {
    materials.push_back({{"name", m.name},
                         {"guid", m.guid.ToString()},
                         {"stamp", m.stamp},
                         {"headerFlags", m.headerFlags},
                         {"materialType", m.materialType},
                         {"transparency", m.transparency},
                         {"shininess", m.shininess},
                         {"attenuation", m.attenuation},
                         {"percentage", m.percentage},
                         {"surfaceColor", WriteColor(m.surfaceColor)},
                         {"secondColor", WriteColor(m.secondColor)},
                         {"texture", m.textureIndex}});
    if (m.deleted) materials.back()["deleted"] = true;
  }
  root["materials"] = std::move(materials);

  // The elements, nearly all of a large project's text, are written
  // straight to text in place of the empty array the document ends with.
  root["elements"] = Json::array();
  std::string out;
  Pretty(root, 0, out);
  constexpr std::string_view kEmptyEnd = "[]\n}";
  if (out.size() < kEmptyEnd.size() || out.compare(out.size() - kEmptyEnd.size(), kEmptyEnd.size(), kEmptyEnd) != 0)
    throw std::logic_error("the document does not end with its elements");
  out.resize(out.size() - kEmptyEnd.size());
  return out;
}

constexpr std::string_view kDocumentTail = "\n}\n";

}  // namespace

std::string SerializeProject(const Project& project, const std::string& baseDir) {
  std::string out = DocumentHead(project, project.state, baseDir);
  detail::AppendElements(project, 1, out);
  out += kDocumentTail;
  return out;
}

Status SaveProjectFile(const Project& project, const std::string& path) {
  return SaveProjectFile(project, project.state, path);
}

Status SaveProjectFile(const Project& project, const ProjectState& state, const std::string& path) {
  return detail::SaveProjectFile(project, state, path, detail::ProjectWriting{});
}

Status detail::SaveProjectFile(const Project& project, const ProjectState& state, const std::string& path,
                               const ProjectWriting& how) {
  std::string problem = Validate(project);
  if (!problem.empty()) return Status::Fail(path + ": refusing to save an inconsistent project: " + problem);
  const fs::path target = detail::NativePath(path);
  std::string baseDir = detail::Utf8Path(target.parent_path());
  // The text goes to a file beside the target as it is made, is flushed to
  // the disk, and only then takes the target's name: a failed or
  // interrupted save leaves the earlier file as it was.
  std::string head;
  try {
    head = DocumentHead(project, state, baseDir.empty() ? "." : baseDir);
  } catch (const std::exception& e) {
    return Status::Fail(path + ": cannot serialise project (" + e.what() + ")");
  }
  const std::string tmp = detail::TemporarySibling(path);
  detail::ProjectOutput file(tmp, how.direct);
  if (!file.error().empty()) return Status::Fail(path + ": cannot create file (" + file.error() + ")");
  bool ok = false;
  std::string failure;
  try {
    auto write = [&](std::string_view text) { return file.Write(text); };
    ok = write(head) && detail::WriteElements(project, 1, write) && write(kDocumentTail);
  } catch (const std::exception& e) {
    failure = std::string("cannot serialise project (") + e.what() + ")";
  }
  ok = ok && file.Finish();
  if (!ok) {
    detail::RemoveFile(tmp);
    if (!failure.empty()) return Status::Fail(path + ": " + failure);
    return Status::Fail(path + ": cannot write file (" + file.error() + ")");
  }
  std::string error;
  if (!detail::RenameOver(tmp, path, &error)) {
    detail::RemoveFile(tmp);
    return Status::Fail(path + ": cannot replace file (" + error + ")");
  }
  return Status::Ok();
}

}  // namespace hostmodel
