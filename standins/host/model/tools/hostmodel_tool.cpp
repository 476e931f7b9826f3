// hostmodel-tool: writes the shipped sample files, converts between the
// native project file and model files, and summarises a file.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "hostmodel/export.h"
#include "hostmodel/image.h"
#include "hostmodel/import.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"

namespace {

namespace fs = std::filesystem;
using namespace hostmodel;

int Usage() {
  std::fprintf(stderr,
               "usage: hostmodel-tool sample DIR        write house.pln, brick.png, house.obj/.mtl into DIR\n"
               "       hostmodel-tool convert IN OUT    read a project or model file, write OUT by its extension\n"
               "       hostmodel-tool info FILE         summarise a project or model file\n");
  return 2;
}

bool IsNative(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  return ext == ".pln" || ext == ".json";
}

Status Write(const Project& p, const std::string& path) {
  return IsNative(path) ? SaveProjectFile(p, path) : ExportModel(p, path);
}

int Sample(const std::string& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  Project p = SampleBuilding();
  std::string png = (fs::path(dir) / "brick.png").string();
  if (Status s = WritePng(p.textures[0], png); !s) {
    std::fprintf(stderr, "hostmodel-tool: %s\n", s.error().c_str());
    return 1;
  }
  p.textures[0].filePath = png;
  for (const std::string& out : {(fs::path(dir) / "house.pln").string(), (fs::path(dir) / "house.obj").string()}) {
    if (Status s = Write(p, out); !s) {
      std::fprintf(stderr, "hostmodel-tool: %s\n", s.error().c_str());
      return 1;
    }
    std::printf("wrote %s\n", out.c_str());
  }
  return 0;
}

int Convert(const std::string& in, const std::string& out) {
  auto p = LoadAnyFile(in);
  if (!p) {
    std::fprintf(stderr, "hostmodel-tool: %s\n", p.error().c_str());
    return 1;
  }
  if (Status s = Write(p.value(), out); !s) {
    std::fprintf(stderr, "hostmodel-tool: %s\n", s.error().c_str());
    return 1;
  }
  std::printf("wrote %s\n", out.c_str());
  return 0;
}

int Info(const std::string& path) {
  auto r = LoadAnyFile(path);
  if (!r) {
    std::fprintf(stderr, "hostmodel-tool: %s\n", r.error().c_str());
    return 1;
  }
  const Project& p = r.value();
  std::printf("%s: %zu elements, %zu materials, %zu textures\n", path.c_str(), p.elements.size(), p.materials.size(),
              p.textures.size());
  for (std::size_t i = 0; i < p.materials.size(); ++i) {
    const Material& m = p.materials[i];
    std::printf("  material %zu \"%s\" %s colour %.3f %.3f %.3f transparency %d texture %d stamp %lld\n", i + 1,
                m.name.c_str(), m.guid.ToString().c_str(), m.surfaceColor.r, m.surfaceColor.g, m.surfaceColor.b,
                m.transparency, m.textureIndex, static_cast<long long>(m.stamp));
  }
  for (std::size_t i = 0; i < p.textures.size(); ++i) {
    const Texture& t = p.textures[i];
    std::printf("  texture %zu %dx%d alpha %d pattern %d size %.3f x %.3f %s\n", i + 1, t.width, t.height,
                t.hasAlphaChannel, t.transparentPattern, t.xSize, t.ySize, t.fingerprint.c_str());
  }
  Vec3 lo{1e300, 1e300, 1e300}, hi{-1e300, -1e300, -1e300};
  for (const Element& e : p.elements)
    for (const Body& b : e.bodies)
      for (const Vec3& v : b.vertices) {
        lo = {std::min(lo.x, v.x), std::min(lo.y, v.y), std::min(lo.z, v.z)};
        hi = {std::max(hi.x, v.x), std::max(hi.y, v.y), std::max(hi.z, v.z)};
      }
  if (lo.x <= hi.x)
    std::printf("  extent x %.3f .. %.3f, y %.3f .. %.3f, z %.3f .. %.3f\n", lo.x, hi.x, lo.y, hi.y, lo.z, hi.z);
  for (std::size_t i = 0; i < p.elements.size(); ++i) {
    const Element& e = p.elements[i];
    std::size_t vertices = 0, polygons = 0;
    for (const Body& b : e.bodies) {
      vertices += b.vertices.size();
      polygons += b.polygons.size();
    }
    std::printf("  element %zu \"%s\" %s gen %u: %zu bodies, %zu vertices, %zu polygons\n", i + 1, e.name.c_str(),
                e.guid.ToString().c_str(), e.genId, e.bodies.size(), vertices, polygons);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "sample") return Sample(argv[2]);
  if (argc == 4 && std::string(argv[1]) == "convert") return Convert(argv[2], argv[3]);
  if (argc == 3 && std::string(argv[1]) == "info") return Info(argv[2]);
  return Usage();
}
