// The building generator: plain geometry written straight into a buffered
// text file (numbers through std::to_chars; a model of millions of faces is
// tens of megabytes of text).
#include "building_generator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "hostmodel/image.h"
#include "hostmodel/model.h"

namespace bench {

namespace {

constexpr double kBay = 6.0;     // bay width, metres
constexpr double kStorey = 3.2;  // floor to floor
constexpr double kSlab = 0.25;   // slab thickness
constexpr double kWall = 0.3;    // facade wall thickness
constexpr double kSill = 0.9, kLintel = 2.1;
constexpr double kColumnRadius = 0.25;
constexpr double kRepeat = 2.0;  // texture repeat, metres
constexpr double kPi = 3.14159265358979323846;

class ObjWriter {
 public:
  explicit ObjWriter(std::FILE* file) : file_(file) { buffer_.reserve(kFlush + 4096); }
  ~ObjWriter() { Flush(); }

  void Text(std::string_view s) {
    buffer_.append(s);
    if (buffer_.size() > kFlush) Flush();
  }
  void Number(double x) {
    char tmp[32];
    // Millimetre-level values; float precision keeps the file short.
    auto [end, ec] = std::to_chars(tmp, tmp + sizeof tmp, static_cast<float>(x));
    (void)ec;
    buffer_.append(tmp, end);
  }
  void Integer(std::uint64_t x) {
    char tmp[24];
    auto [end, ec] = std::to_chars(tmp, tmp + sizeof tmp, x);
    (void)ec;
    buffer_.append(tmp, end);
  }

  void Object(const std::string& name) {
    Text("o ");
    Text(name);
    Text("\n");
    ++objects;
  }
  void Use(std::string_view material) {
    Text("usemtl ");
    Text(material);
    Text("\n");
  }
  std::uint64_t V(double x, double y, double z) { return Triple("v ", x, y, z), ++v; }
  std::uint64_t VN(double x, double y, double z) { return Triple("vn ", x, y, z), ++vn; }
  std::uint64_t VT(double s, double t) {
    Text("vt ");
    Number(s);
    Text(" ");
    Number(t);
    Text("\n");
    return ++vt;
  }
  // A face of m corners; tex and nrm may be null.
  void Face(const std::uint64_t* pos, const std::uint64_t* tex, const std::uint64_t* nrm, int m) {
    Text("f");
    for (int i = 0; i < m; ++i) {
      Text(" ");
      Integer(pos[i]);
      if (tex || nrm) {
        Text("/");
        if (tex) Integer(tex[i]);
        if (nrm) {
          Text("/");
          Integer(nrm[i]);
        }
      }
    }
    Text("\n");
    triangles += static_cast<std::uint64_t>(m - 2);
  }

  bool Flush() {
    if (buffer_.empty()) return ok_;
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) ok_ = false;
    buffer_.clear();
    return ok_;
  }

  std::uint64_t v = 0, vt = 0, vn = 0, triangles = 0, objects = 0;

 private:
  static constexpr std::size_t kFlush = 1 << 22;
  void Triple(const char* tag, double x, double y, double z) {
    Text(tag);
    Number(x);
    Text(" ");
    Number(y);
    Text(" ");
    Number(z);
    Text("\n");
  }
  std::FILE* file_;
  std::string buffer_;
  bool ok_ = true;
};

// An axis-aligned box (OBJ frame: y up), faces counter-clockwise seen from
// outside; textured boxes get per-face coordinates in texture repeats.
void Box(ObjWriter& w, double x0, double y0, double z0, double x1, double y1, double z1, bool textured) {
  std::uint64_t p[8];
  for (int i = 0; i < 8; ++i) p[i] = w.V(i & 1 ? x1 : x0, i & 2 ? y1 : y0, i & 4 ? z1 : z0);
  auto at = [&](int x, int y, int z) { return p[x | (y << 1) | (z << 2)]; };
  struct FaceCorners {
    int c[4][3];
    int axisU, axisV;  // 0 x, 1 y, 2 z: texture axes of the face
  };
  static constexpr FaceCorners faces[6] = {
      {{{0, 0, 0}, {0, 0, 1}, {0, 1, 1}, {0, 1, 0}}, 2, 1},  // -x
      {{{1, 0, 0}, {1, 1, 0}, {1, 1, 1}, {1, 0, 1}}, 2, 1},  // +x
      {{{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1}}, 0, 2},  // -y
      {{{0, 1, 0}, {0, 1, 1}, {1, 1, 1}, {1, 1, 0}}, 0, 2},  // +y
      {{{0, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}}, 0, 1},  // -z
      {{{0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}}, 0, 1},  // +z
  };
  const double lo[3] = {x0, y0, z0}, hi[3] = {x1, y1, z1};
  for (const FaceCorners& f : faces) {
    std::uint64_t pos[4], tex[4];
    for (int k = 0; k < 4; ++k) {
      pos[k] = at(f.c[k][0], f.c[k][1], f.c[k][2]);
      if (textured) {
        const double u = f.c[k][f.axisU] ? hi[f.axisU] : lo[f.axisU];
        const double v = f.c[k][f.axisV] ? hi[f.axisV] : lo[f.axisV];
        tex[k] = w.VT(u / kRepeat, v / kRepeat);
      }
    }
    w.Face(pos, textured ? tex : nullptr, nullptr, 4);
  }
}

// A round column with smooth sides (per-corner normals) and flat caps.
void Column(ObjWriter& w, double cx, double cz, double y0, double y1, int segments) {
  std::vector<std::uint64_t> bottom(segments), top(segments), normal(segments);
  for (int i = 0; i < segments; ++i) {
    const double a = 2 * kPi * i / segments;
    bottom[i] = w.V(cx + kColumnRadius * std::cos(a), y0, cz + kColumnRadius * std::sin(a));
    top[i] = w.V(cx + kColumnRadius * std::cos(a), y1, cz + kColumnRadius * std::sin(a));
    normal[i] = w.VN(std::cos(a), 0, std::sin(a));
  }
  const std::uint64_t up = w.VN(0, 1, 0), down = w.VN(0, -1, 0);
  for (int i = 0; i < segments; ++i) {
    const int j = (i + 1) % segments;
    const std::uint64_t pos[4] = {bottom[i], top[i], top[j], bottom[j]};
    const std::uint64_t nrm[4] = {normal[i], normal[i], normal[j], normal[j]};
    w.Face(pos, nullptr, nrm, 4);
  }
  std::vector<std::uint64_t> cap(segments), capNormal(segments);
  for (int i = 0; i < segments; ++i) {
    cap[i] = bottom[i];
    capNormal[i] = down;
  }
  w.Face(cap.data(), nullptr, capNormal.data(), segments);
  for (int i = 0; i < segments; ++i) {
    cap[i] = top[segments - 1 - i];
    capNormal[i] = up;
  }
  w.Face(cap.data(), nullptr, capNormal.data(), segments);
}

// A glass pane: one open quad. Along x at depth z (outward -z or +z), or
// along z at x (outward -x or +x).
void PaneAlongX(ObjWriter& w, double a0, double a1, double y0, double y1, double z, bool outwardPlus) {
  const std::uint64_t p00 = w.V(a0, y0, z), p01 = w.V(a0, y1, z), p11 = w.V(a1, y1, z), p10 = w.V(a1, y0, z);
  const std::uint64_t minus[4] = {p00, p01, p11, p10}, plus[4] = {p00, p10, p11, p01};
  w.Face(outwardPlus ? plus : minus, nullptr, nullptr, 4);
}
void PaneAlongZ(ObjWriter& w, double a0, double a1, double y0, double y1, double x, bool outwardPlus) {
  const std::uint64_t p00 = w.V(x, y0, a0), p01 = w.V(x, y0, a1), p11 = w.V(x, y1, a1), p10 = w.V(x, y1, a0);
  const std::uint64_t minus[4] = {p00, p01, p11, p10}, plus[4] = {p00, p10, p11, p01};
  w.Face(outwardPlus ? plus : minus, nullptr, nullptr, 4);
}

std::uint64_t FloorTriangles(std::uint64_t bays, int segments) {
  const std::uint64_t column = 4 * std::uint64_t(segments) - 4;
  const std::uint64_t interior = bays > 0 ? (bays - 1) * (bays - 1) : 0;
  return 12 + 4 * bays * (48 + 12 + 2) + interior * column;
}

// A paved ground grid of exactly `triangles` triangles (quads, plus one
// triangle for an odd count) around the plan.
void Ground(ObjWriter& w, std::uint64_t triangles, double planSide) {
  if (triangles == 0) return;
  w.Object("Ground");
  w.Use("Paving");
  const std::uint64_t quads = triangles / 2;
  const double y = -0.02;
  const double x0 = -20, span = planSide + 40;
  if (quads > 0) {
    const std::uint64_t cols = std::max<std::uint64_t>(1, std::uint64_t(std::ceil(std::sqrt(double(quads)))));
    const std::uint64_t rows = (quads + cols - 1) / cols;
    const double cell = span / double(cols);
    std::vector<std::uint64_t> previous(cols + 1), current(cols + 1);
    for (std::uint64_t c = 0; c <= cols; ++c) previous[c] = w.V(x0 + cell * double(c), y, x0);
    std::uint64_t left = quads;
    for (std::uint64_t r = 0; r < rows; ++r) {
      const std::uint64_t here = std::min(cols, left);
      for (std::uint64_t c = 0; c <= here; ++c) current[c] = w.V(x0 + cell * double(c), y, x0 + cell * double(r + 1));
      for (std::uint64_t c = 0; c < here; ++c) {
        const std::uint64_t pos[4] = {previous[c], current[c], current[c + 1], previous[c + 1]};
        w.Face(pos, nullptr, nullptr, 4);
      }
      left -= here;
      std::swap(previous, current);
    }
  }
  if (triangles % 2 == 1) {
    const std::uint64_t pos[3] = {w.V(x0 - 2, y, x0 - 2), w.V(x0 - 2, y, x0 - 1), w.V(x0 - 1, y, x0 - 1)};
    w.Face(pos, nullptr, nullptr, 3);
  }
}

hostmodel::Texture BrickImage() {
  hostmodel::Texture t;
  t.width = t.height = 256;
  t.pixels.resize(256 * 256 * 4);
  for (int y = 0; y < 256; ++y) {
    for (int x = 0; x < 256; ++x) {
      const int row = y / 32;
      const int shifted = (x + (row % 2) * 32) % 64;
      const bool mortar = (y % 32) < 3 || shifted < 3;
      const int grain = ((x * 7 + y * 13) ^ (x * y)) & 15;
      std::uint8_t* px = &t.pixels[std::size_t(4 * (y * 256 + x))];
      px[0] = 255;
      px[1] = static_cast<std::uint8_t>(mortar ? 200 : 150 + grain);
      px[2] = static_cast<std::uint8_t>(mortar ? 195 : 60 + grain);
      px[3] = static_cast<std::uint8_t>(mortar ? 185 : 40 + grain);
    }
  }
  return t;
}

hostmodel::Texture OakImage() {
  hostmodel::Texture t;
  t.width = t.height = 256;
  t.pixels.resize(256 * 256 * 4);
  for (int y = 0; y < 256; ++y) {
    for (int x = 0; x < 256; ++x) {
      const double ring = std::sin((x + 12 * std::sin(y / 23.0)) / 5.0);
      const int shade = static_cast<int>(20 * ring);
      std::uint8_t* px = &t.pixels[std::size_t(4 * (y * 256 + x))];
      px[0] = 255;
      px[1] = static_cast<std::uint8_t>(150 + shade);
      px[2] = static_cast<std::uint8_t>(100 + shade);
      px[3] = static_cast<std::uint8_t>(55 + shade / 2);
    }
  }
  return t;
}

constexpr const char* kMtl =
    "# Materials of the generated building\n"
    "newmtl Concrete\nKd 0.62 0.62 0.6\nKs 0.2 0.2 0.2\nd 1\nNs 80\nillum 2\n\n"
    "newmtl Brick\nKd 0.62 0.3 0.22\nKs 0.1 0.1 0.1\nd 1\nNs 30\nillum 2\nmap_Kd brick.png\n\n"
    "newmtl Oak\nKd 0.55 0.38 0.22\nKs 0.3 0.3 0.3\nd 1\nNs 200\nillum 2\nmap_Kd oak.jpg\n\n"
    "newmtl Glass\nKd 0.7 0.85 0.9\nKs 0.9 0.9 0.9\nd 0.35\nNs 950\nillum 2\n\n"
    "newmtl Plaster\nKd 0.93 0.92 0.88\nKs 0.1 0.1 0.1\nd 1\nNs 40\nillum 2\n\n"
    "newmtl Roof\nKd 0.3 0.3 0.32\nKs 0.1 0.1 0.1\nd 1\nNs 20\nillum 2\n\n"
    "newmtl Paving\nKd 0.5 0.48 0.45\nKs 0.05 0.05 0.05\nd 1\nNs 10\nillum 2\n";

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

bool WriteBuilding(const std::string& objPath, const BuildingOptions& options, BuildingSummary* summary,
                   std::string* error) {
  auto fail = [&](const std::string& text) {
    if (error) *error = text;
    return false;
  };
  const std::uint64_t wanted = std::max<std::uint64_t>(options.triangles, 2);
  const int segments = std::clamp(options.columnSegments, 3, 256);

  // Plan: about as many floors as the cube root suggests, then the widest
  // square plan that fits 90 % of the count; the ground takes the rest.
  int floors = std::clamp(static_cast<int>(std::lround(std::cbrt(double(wanted) / 1200.0))), 1, 60);
  std::uint64_t bays = 0;
  for (int attempt = 0; attempt < 2 && bays == 0; ++attempt) {
    if (attempt == 1) floors = 1;
    std::uint64_t lo = 0, hi = 100000;
    while (lo < hi) {  // largest bay count whose building fits
      const std::uint64_t mid = (lo + hi + 1) / 2;
      if (std::uint64_t(floors) * FloorTriangles(mid, segments) + 12 <= wanted * 9 / 10) lo = mid;
      else hi = mid - 1;
    }
    bays = lo;
  }
  if (bays == 0) floors = 0;

  const std::filesystem::path obj(objPath);
  const std::filesystem::path dir = obj.has_parent_path() ? obj.parent_path() : std::filesystem::path(".");
  std::filesystem::path mtl = obj;
  mtl.replace_extension(".mtl");
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);

  {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(mtl.c_str(), "wb"));
    if (!f || std::fputs(kMtl, f.get()) < 0) return fail("cannot write " + mtl.string());
  }
  if (!hostmodel::WritePng(BrickImage(), (dir / "brick.png").string()))
    return fail("cannot write " + (dir / "brick.png").string());
  if (!hostmodel::WriteJpeg(OakImage(), (dir / "oak.jpg").string(), 90))
    return fail("cannot write " + (dir / "oak.jpg").string());

  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(obj.c_str(), "wb"));
  if (!file) return fail("cannot write " + obj.string());
  ObjWriter w(file.get());
  w.Text("# Generated building\nmtllib ");
  w.Text(mtl.filename().string());
  w.Text("\n");

  const double side = double(bays) * kBay;
  const double open0 = 0.25 * kBay, open1 = 0.75 * kBay;
  char name[64];
  for (int f = 0; f < floors; ++f) {
    const double base = f * kStorey;
    const double floor = base + kSlab, ceiling = base + kStorey;
    std::snprintf(name, sizeof name, "Slab_F%02d", f);
    w.Object(name);
    w.Use("Concrete");
    Box(w, 0, base, 0, side, floor, side, false);

    // Four facades, each bay a wall with a window opening, a sill and a pane.
    static constexpr char kSides[4] = {'S', 'N', 'W', 'E'};
    for (int s = 0; s < 4; ++s) {
      const bool alongX = s < 2;
      const double line = (s == 0 || s == 2) ? kWall / 2 : side - kWall / 2;
      const bool outwardPlus = (s == 1 || s == 3);
      for (std::uint64_t b = 0; b < bays; ++b) {
        const double a0 = double(b) * kBay, a1 = a0 + kBay;
        const double c0 = a0 + open0, c1 = a0 + open1;
        const double sill = floor + kSill, lintel = floor + kLintel;
        auto box = [&](double u0, double v0, double u1, double v1, double across, bool textured) {
          if (alongX) Box(w, u0, v0, line - across, u1, v1, line + across, textured);
          else Box(w, line - across, v0, u0, line + across, v1, u1, textured);
        };
        std::snprintf(name, sizeof name, "Wall_F%02d_%c%03llu", f, kSides[s], static_cast<unsigned long long>(b));
        w.Object(name);
        w.Use("Brick");
        box(a0, floor, a1, sill, kWall / 2, true);
        box(a0, lintel, a1, ceiling, kWall / 2, true);
        box(a0, sill, c0, lintel, kWall / 2, true);
        box(c1, sill, a1, lintel, kWall / 2, true);
        std::snprintf(name, sizeof name, "Sill_F%02d_%c%03llu", f, kSides[s], static_cast<unsigned long long>(b));
        w.Object(name);
        w.Use("Oak");
        box(c0, sill - 0.05, c1, sill, kWall / 2 + 0.05, true);
        std::snprintf(name, sizeof name, "Pane_F%02d_%c%03llu", f, kSides[s], static_cast<unsigned long long>(b));
        w.Object(name);
        w.Use("Glass");
        if (alongX) PaneAlongX(w, c0, c1, sill, lintel, line, outwardPlus);
        else PaneAlongZ(w, c0, c1, sill, lintel, line, outwardPlus);
      }
    }
    for (std::uint64_t i = 1; i < bays; ++i) {
      for (std::uint64_t j = 1; j < bays; ++j) {
        std::snprintf(name, sizeof name, "Column_F%02d_%03llu_%03llu", f, static_cast<unsigned long long>(i),
                      static_cast<unsigned long long>(j));
        w.Object(name);
        w.Use("Plaster");
        Column(w, double(i) * kBay, double(j) * kBay, floor, ceiling, segments);
      }
    }
  }
  if (floors > 0) {
    w.Object("Roof");
    w.Use("Roof");
    Box(w, 0, floors * kStorey, 0, side, floors * kStorey + 0.3, side, false);
  }
  Ground(w, wanted > w.triangles ? wanted - w.triangles : 0, side);
  if (!w.Flush()) return fail("cannot write " + obj.string());

  if (summary) {
    summary->triangles = w.triangles;
    summary->vertices = w.v;
    summary->objects = w.objects;
    summary->floors = floors;
    summary->bays = static_cast<int>(bays);
    summary->objPath = obj.string();
    summary->mtlPath = mtl.string();
  }
  return true;
}

}  // namespace bench
