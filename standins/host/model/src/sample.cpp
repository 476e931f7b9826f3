#include "hostmodel/sample.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "hostmodel/geometry.h"
#include "hostmodel/image.h"

namespace hostmodel {

namespace {

enum SampleMaterial : std::int32_t { kConcrete = 1, kPlaster, kBrick, kRoofTiles, kGlass, kOak };

Vec3 Add(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 Mul(const Vec3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double Dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// Brick courses with offset joints and a little per-brick variation, so the
// texture looks like masonry and is not trivially compressible.
Texture BrickTexture() {
  Texture t;
  t.name = "Brick";
  t.width = 64;
  t.height = 64;
  t.pixels.resize(64 * 64 * 4);
  for (int y = 0; y < 64; ++y) {
    int course = y / 16;
    for (int x = 0; x < 64; ++x) {
      int shifted = (x + (course % 2) * 16) % 64;
      bool mortar = (y % 16) < 2 || (shifted % 32) < 2;
      int brick = course * 2 + shifted / 32;
      std::uint32_t h =
          static_cast<std::uint32_t>(brick * 2654435761u) ^ static_cast<std::uint32_t>(x * 40503 + y * 9973);
      int grain = static_cast<int>((h >> 7) % 17) - 8;
      int shade = static_cast<int>((static_cast<std::uint32_t>(brick) * 2246822519u >> 11) % 31) - 15;
      std::uint8_t* p = &t.pixels[(static_cast<std::size_t>(y) * 64 + static_cast<std::size_t>(x)) * 4];
      auto clamp = [](int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); };
      p[0] = 255;
      if (mortar) {
        p[1] = clamp(196 + grain);
        p[2] = clamp(190 + grain);
        p[3] = clamp(178 + grain);
      } else {
        p[1] = clamp(158 + shade + grain);
        p[2] = clamp(74 + shade / 2 + grain);
        p[3] = clamp(52 + shade / 2 + grain);
      }
    }
  }
  t.pixelType = 1;
  t.fingerprint = PixelFingerprint(t.width, t.height, t.pixels);
  t.xSize = 1.0;  // one 64-pixel repeat: 1 m wide, four courses 0.5 m high
  t.ySize = 0.5;
  return t;
}

Material MakeMaterial(const char* name, ColorRGB color, std::int16_t shininess) {
  Material m;
  m.name = name;
  m.guid = Guid::FromName(std::string("sample material:") + name);
  m.stamp = 1;
  m.surfaceColor = color;
  m.secondColor = color;
  m.shininess = shininess;
  return m;
}

// Shares vertices by position so that adjoining faces meet exactly.
class SharedBody {
 public:
  explicit SharedBody(bool closed) : maker_(closed) {}
  std::int32_t V(const Vec3& p) {
    auto key = std::make_tuple(p.x, p.y, p.z);
    auto it = index_.find(key);
    if (it != index_.end()) return it->second;
    std::int32_t i = maker_.AddVertex(p);
    index_.emplace(key, i);
    return i;
  }
  // A face of rectangular pieces given by corner positions; each piece is
  // turned to face `outward`.
  void Face(const std::vector<std::array<Vec3, 4>>& rects, const Vec3& outward, std::int32_t material) {
    std::vector<std::vector<std::int32_t>> pieces;
    for (const auto& r : rects) {
      std::vector<std::int32_t> loop{V(r[0]), V(r[1]), V(r[2]), V(r[3])};
      if (Dot(LoopNormal(maker_.body().vertices, loop), outward) < 0) std::reverse(loop.begin(), loop.end());
      pieces.push_back(std::move(loop));
    }
    BodyMaker::FaceOptions o;
    o.materialIndex = material;
    maker_.AddPiecedFace(pieces, o);
  }
  void Loop(const std::vector<Vec3>& corners, const Vec3& outward, std::int32_t material) {
    std::vector<std::int32_t> loop;
    for (const Vec3& c : corners) loop.push_back(V(c));
    if (Dot(LoopNormal(maker_.body().vertices, loop), outward) < 0) std::reverse(loop.begin(), loop.end());
    BodyMaker::FaceOptions o;
    o.materialIndex = material;
    maker_.AddFace(loop, o);
  }
  BodyMaker& maker() { return maker_; }
  Body Take() {
    Body b = maker_.Take();
    CloseTJunctions(b);
    return b;
  }

 private:
  BodyMaker maker_;
  std::map<std::tuple<double, double, double>, std::int32_t> index_;
};

struct Opening {
  double s0, s1, z0, z1;  // along the wall, and heights
};

// A straight wall of thickness T and height H from `origin` along `dir`,
// with `inward` pointing into the house. The outer face is brick, every
// other face plaster; openings cut through the whole thickness.
Body MakeWall(Vec3 origin, Vec3 dir, Vec3 inward, double L, double T, double H, std::vector<Opening> openings) {
  std::sort(openings.begin(), openings.end(), [](const Opening& a, const Opening& b) { return a.s0 < b.s0; });
  auto P = [&](double s, double t, double z) {
    return Add(Add(Add(origin, Mul(dir, s)), Mul(inward, t)), Vec3{0, 0, z});
  };
  SharedBody b(true);

  // Vertical strips between opening edges; a strip over an opening leaves
  // the parts below and above it.
  std::vector<double> cuts{0.0, L};
  for (const auto& o : openings) {
    cuts.push_back(o.s0);
    cuts.push_back(o.s1);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  for (double t : {0.0, T}) {
    std::vector<std::array<Vec3, 4>> rects;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
      double a = cuts[i], c = cuts[i + 1];
      const Opening* hole = nullptr;
      for (const auto& o : openings)
        if (o.s0 <= a && c <= o.s1) hole = &o;
      std::vector<std::pair<double, double>> spans;
      if (!hole) {
        spans.push_back({0, H});
      } else {
        if (hole->z0 > 0) spans.push_back({0, hole->z0});
        if (hole->z1 < H) spans.push_back({hole->z1, H});
      }
      for (auto [z0, z1] : spans) rects.push_back({P(a, t, z0), P(c, t, z0), P(c, t, z1), P(a, t, z1)});
    }
    b.Face(rects, t == 0.0 ? Mul(inward, -1) : inward, t == 0.0 ? kBrick : kPlaster);
  }
  // Top, bottom (broken by door openings), the two ends.
  b.Face({{P(0, 0, H), P(L, 0, H), P(L, T, H), P(0, T, H)}}, {0, 0, 1}, kPlaster);
  {
    std::vector<std::array<Vec3, 4>> rects;
    double s = 0;
    for (const auto& o : openings)
      if (o.z0 <= 0) {
        if (o.s0 > s) rects.push_back({P(s, 0, 0), P(o.s0, 0, 0), P(o.s0, T, 0), P(s, T, 0)});
        s = o.s1;
      }
    if (s < L) rects.push_back({P(s, 0, 0), P(L, 0, 0), P(L, T, 0), P(s, T, 0)});
    b.Face(rects, {0, 0, -1}, kPlaster);
  }
  b.Face({{P(0, 0, 0), P(0, T, 0), P(0, T, H), P(0, 0, H)}}, Mul(dir, -1), kPlaster);
  b.Face({{P(L, 0, 0), P(L, T, 0), P(L, T, H), P(L, 0, H)}}, dir, kPlaster);
  // Reveals of each opening, facing into the opening.
  for (const auto& o : openings) {
    b.Face({{P(o.s0, 0, o.z0), P(o.s0, T, o.z0), P(o.s0, T, o.z1), P(o.s0, 0, o.z1)}}, dir, kPlaster);
    b.Face({{P(o.s1, 0, o.z0), P(o.s1, T, o.z0), P(o.s1, T, o.z1), P(o.s1, 0, o.z1)}}, Mul(dir, -1), kPlaster);
    b.Face({{P(o.s0, 0, o.z1), P(o.s1, 0, o.z1), P(o.s1, T, o.z1), P(o.s0, T, o.z1)}}, {0, 0, -1}, kPlaster);
    if (o.z0 > 0)
      b.Face({{P(o.s0, 0, o.z0), P(o.s1, 0, o.z0), P(o.s1, T, o.z0), P(o.s0, T, o.z0)}}, {0, 0, 1}, kPlaster);
  }
  return b.Take();
}

// A single glass sheet in the middle of an opening: an open body, seen from
// both sides.
Body MakePane(Vec3 origin, Vec3 dir, Vec3 inward, double T, const Opening& o) {
  auto P = [&](double s, double z) { return Add(Add(Add(origin, Mul(dir, s)), Mul(inward, T / 2)), Vec3{0, 0, z}); };
  SharedBody b(false);
  b.Loop({P(o.s0, o.z0), P(o.s1, o.z0), P(o.s1, o.z1), P(o.s0, o.z1)}, Mul(inward, -1), kGlass);
  return b.Take();
}

Body MakeRoof() {
  SharedBody b(true);
  const double x0 = -0.5, x1 = 10.5, y0 = -0.5, y1 = 8.5, ym = 4.0, ze = 3.0, zr = 5.5;
  b.Loop({{x0, y0, ze}, {x1, y0, ze}, {x1, ym, zr}, {x0, ym, zr}}, {0, -1, 1}, kRoofTiles);
  b.Loop({{x1, y1, ze}, {x0, y1, ze}, {x0, ym, zr}, {x1, ym, zr}}, {0, 1, 1}, kRoofTiles);
  b.Loop({{x0, y0, ze}, {x0, y1, ze}, {x1, y1, ze}, {x1, y0, ze}}, {0, 0, -1}, kPlaster);
  b.Loop({{x0, y0, ze}, {x0, ym, zr}, {x0, y1, ze}}, {-1, 0, 0}, kPlaster);
  b.Loop({{x1, y0, ze}, {x1, y1, ze}, {x1, ym, zr}}, {1, 0, 0}, kPlaster);
  return b.Take();
}

// The barrel's directions around its axis, cos and sin of 2 pi i / 16 as
// glibc gives them (correctly rounded). The sample building must be the same
// bits on every platform, and MinGW's cos and sin (the x87 instructions)
// differ in the last bits, cos(pi / 2) by 2e-21.
constexpr int kBarrelSegments = 16;
constexpr double kBarrelDirections[kBarrelSegments][2] = {{0x1p+0, 0x0p+0},
                                                          {0x1.d906bcf328d46p-1, 0x1.87de2a6aea963p-2},
                                                          {0x1.6a09e667f3bcdp-1, 0x1.6a09e667f3bccp-1},
                                                          {0x1.87de2a6aea964p-2, 0x1.d906bcf328d46p-1},
                                                          {0x1.1a62633145c07p-54, 0x1p+0},
                                                          {-0x1.87de2a6aea962p-2, 0x1.d906bcf328d46p-1},
                                                          {-0x1.6a09e667f3bccp-1, 0x1.6a09e667f3bcdp-1},
                                                          {-0x1.d906bcf328d46p-1, 0x1.87de2a6aea965p-2},
                                                          {-0x1p+0, 0x1.1a62633145c07p-53},
                                                          {-0x1.d906bcf328d47p-1, -0x1.87de2a6aea961p-2},
                                                          {-0x1.6a09e667f3bcep-1, -0x1.6a09e667f3bccp-1},
                                                          {-0x1.87de2a6aea96dp-2, -0x1.d906bcf328d44p-1},
                                                          {-0x1.a79394c9e8a0ap-53, -0x1p+0},
                                                          {0x1.87de2a6aea967p-2, -0x1.d906bcf328d45p-1},
                                                          {0x1.6a09e667f3bcbp-1, -0x1.6a09e667f3bcep-1},
                                                          {0x1.d906bcf328d44p-1, -0x1.87de2a6aea96ep-2}};

// A round rain barrel: a smooth side (curved polygons with radial vertex
// normals) between flat lids.
Body MakeBarrel(Vec3 c, double r, double h) {
  constexpr int segments = kBarrelSegments;
  BodyMaker m(true);
  std::vector<std::int32_t> bottom, top;
  for (int i = 0; i < segments; ++i) {
    Vec3 n{kBarrelDirections[i][0], kBarrelDirections[i][1], 0};
    bottom.push_back(m.AddVertex({c.x + r * n.x, c.y + r * n.y, c.z}, n, {}));
    top.push_back(m.AddVertex({c.x + r * n.x, c.y + r * n.y, c.z + h}, n, {}));
  }
  BodyMaker::FaceOptions side;
  side.materialIndex = kOak;
  side.curved = true;
  for (int i = 0; i < segments; ++i) {
    int j = (i + 1) % segments;
    m.AddFace({bottom[static_cast<std::size_t>(i)], bottom[static_cast<std::size_t>(j)],
               top[static_cast<std::size_t>(j)], top[static_cast<std::size_t>(i)]},
              side);
  }
  BodyMaker::FaceOptions lid;
  lid.materialIndex = kOak;
  m.AddFace(top, lid);
  std::vector<std::int32_t> down(bottom.rbegin(), bottom.rend());
  m.AddFace(down, lid);
  return m.Take();
}

Element MakeElement(const char* name, std::vector<Body> bodies) {
  Element e;
  e.guid = Guid::FromName(std::string("sample element:") + name);
  e.genId = 1;
  e.name = name;
  e.bodies = std::move(bodies);
  return e;
}

}  // namespace

Project SampleBuilding() {
  Project p;
  ProjectState& s = p.state;
  s.untitled = true;
  s.currentWindow = WindowType::FloorPlan;
  s.camera.projection = 1;
  s.camera.viewPoint = {-9.0, -12.0, 7.0};
  s.camera.targetPoint = {5.0, 4.0, 1.8};
  s.referenceLevels = {{"Ground Floor", 0.0}, {"Eaves", 3.0}};
  s.seaLevelAltitude = 112.5;
  s.workingLengthUnit = LengthUnit::Metre;
  s.customAutoTexts = {{"Client", "autotext-" + Guid::FromName("sample autotext:Client").ToString(), "Brimsel family"}};
  s.hostVersion = "21.0.0";

  p.textures.push_back(BrickTexture());

  p.materials.push_back(MakeMaterial("Concrete", {0.62, 0.62, 0.60}, 800));
  p.materials.push_back(MakeMaterial("Plaster", {0.93, 0.92, 0.88}, 400));
  Material brick = MakeMaterial("Brick facade", {0.62, 0.30, 0.22}, 300);
  brick.textureIndex = 1;
  p.materials.push_back(brick);
  p.materials.push_back(MakeMaterial("Roof tiles", {0.45, 0.18, 0.12}, 1500));
  Material glass = MakeMaterial("Glass", {0.70, 0.85, 0.90}, 9500);
  glass.materialType = 5;
  glass.transparency = 70;
  glass.percentage = 10;
  glass.attenuation = 2000;
  p.materials.push_back(glass);
  p.materials.push_back(MakeMaterial("Oak", {0.55, 0.38, 0.22}, 2000));

  const double T = 0.3, H = 3.0, L = 10.0, W = 8.0;
  const Opening door{4.5, 5.5, 0.0, 2.1};
  const std::vector<Opening> southOpenings{{1.5, 3.5, 0.9, 2.1}, door, {6.5, 8.5, 0.9, 2.1}};
  const std::vector<Opening> northOpenings{{2.0, 5.0, 0.9, 2.1}};
  const std::vector<Opening> sideOpenings{{2.7, 4.7, 0.9, 2.1}};
  struct WallPlan {
    const char* name;
    Vec3 origin, dir, inward;
    double length;
    std::vector<Opening> openings;
  };
  const std::vector<WallPlan> walls{
      {"South wall", {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, L, southOpenings},
      {"North wall", {L, W, 0}, {-1, 0, 0}, {0, -1, 0}, L, northOpenings},
      {"West wall", {0, W - T, 0}, {0, -1, 0}, {1, 0, 0}, W - 2 * T, sideOpenings},
      {"East wall", {L, T, 0}, {0, 1, 0}, {-1, 0, 0}, W - 2 * T, sideOpenings},
  };

  p.elements.push_back(MakeElement("Floor slab", {MakeBox({-0.2, -0.2, -0.3}, {L + 0.2, W + 0.2, 0.0}, kConcrete)}));
  std::vector<Body> panes;
  for (const auto& w : walls) {
    p.elements.push_back(MakeElement(w.name, {MakeWall(w.origin, w.dir, w.inward, w.length, T, H, w.openings)}));
    for (const auto& o : w.openings)
      if (o.z0 > 0) panes.push_back(MakePane(w.origin, w.dir, w.inward, T, o));
  }
  p.elements.push_back(MakeElement("Roof", {MakeRoof()}));
  p.elements.push_back(MakeElement("Glazing", std::move(panes)));
  p.elements.push_back(MakeElement(
      "Door", {MakeBox({door.s0 + 0.02, T / 2 - 0.025, 0.0}, {door.s1 - 0.02, T / 2 + 0.025, door.z1 - 0.01}, kOak)}));
  p.elements.push_back(MakeElement("Rain barrel", {MakeBarrel({L + 0.6, 0.8, 0.0}, 0.3, 0.9)}));
  return p;
}

}  // namespace hostmodel
