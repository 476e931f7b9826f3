#include "livelink/canonical_scene.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "livelink/block_decode.h"
#include "livelink/control_area.h"
#include "livelink/layout.h"

namespace CorvantaAPI {

namespace {

static_assert(sizeof(CanonicalCorner) == 32 && sizeof(CanonicalTriangle) == 96,
              "corners are compared as bytes: no padding may sit between their floats");

// Any total order serves, as long as both sides use the same one: bytes.
// The canonical form is bit-exact on purpose (0.0 and -0.0 are two values
// here), and the assert above pins the layout that makes bytes the values.
// NOLINTBEGIN(bugprone-suspicious-memory-comparison)
bool Less(const CanonicalCorner& a, const CanonicalCorner& b) { return std::memcmp(&a, &b, sizeof a) < 0; }
bool Less(const CanonicalTriangle& a, const CanonicalTriangle& b) { return std::memcmp(&a, &b, sizeof a) < 0; }
bool Same(const CanonicalTriangle& a, const CanonicalTriangle& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The triangle turned to start at its smallest corner; the winding stays.
CanonicalTriangle Rotated(const CanonicalTriangle& t) {
  std::size_t first = 0;
  if (Less(t[1], t[first])) first = 1;
  if (Less(t[2], t[first])) first = 2;
  return {t[first], t[(first + 1) % 3], t[(first + 2) % 3]};
}

bool Degenerate(const CanonicalTriangle& t) {
  return std::memcmp(&t[0], &t[1], sizeof t[0]) == 0 && std::memcmp(&t[1], &t[2], sizeof t[0]) == 0;
}
// NOLINTEND(bugprone-suspicious-memory-comparison)

std::array<std::uint32_t, 8> FloatBits(const std::array<float, 8>& f) {
  std::array<std::uint32_t, 8> bits{};
  for (std::size_t i = 0; i < 8; ++i) bits[i] = std::bit_cast<std::uint32_t>(f[i]);
  return bits;
}

auto MaterialKey(const CanonicalMaterial& m) {
  return std::tie(m.name, m.surfaceType, m.colour, m.textured, m.texturePath, m.textureDigest);
}

bool MaterialLess(const CanonicalMaterial& a, const CanonicalMaterial& b) {
  if (MaterialKey(a) != MaterialKey(b)) return MaterialKey(a) < MaterialKey(b);
  return FloatBits(a.floats) < FloatBits(b.floats);
}

bool SurfaceLess(const CanonicalSurface& a, const CanonicalSurface& b) {
  if (!SameMaterial(a.material, b.material)) return MaterialLess(a.material, b.material);
  if (a.triangles.size() != b.triangles.size()) return a.triangles.size() < b.triangles.size();
  return std::lexicographical_compare(
      a.triangles.begin(), a.triangles.end(), b.triangles.begin(), b.triangles.end(),
      [](const CanonicalTriangle& x, const CanonicalTriangle& y) { return Less(x, y); });
}

bool SameTriangles(const std::vector<CanonicalTriangle>& a, const std::vector<CanonicalTriangle>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) { return Same(x, y); });
}

// 64-bit FNV-1a: a digest to tell textures apart, not a defence.
struct Digest {
  std::uint64_t value = 0xcbf29ce484222325ull;
  void Add(const void* data, std::size_t n) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < n; ++i) value = (value ^ bytes[i]) * 0x100000001b3ull;
  }
};

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  return out;
}

enum class FileRead { kRead, kNotRegular, kUnreadable };

#ifdef _WIN32
// Windows has no FIFO or endless device behind a path of a file's form: a
// regular file is read up to the size it has.
FileRead DigestRegularFile(const std::string& file, Digest& d) {
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return FileRead::kUnreadable;
  if (!std::filesystem::is_regular_file(file, error)) return FileRead::kNotRegular;
  std::ifstream in(file, std::ios::binary);
  if (!in) return FileRead::kUnreadable;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) d.Add(buffer, static_cast<std::size_t>(in.gcount()));
  return FileRead::kRead;
}
#else
FileRead DigestRegularFile(const std::string& file, Digest& d) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return FileRead::kUnreadable;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return FileRead::kNotRegular;
  }
  char buffer[1 << 16];
  auto left = static_cast<std::uint64_t>(st.st_size);
  while (left > 0) {
    const ssize_t n = ::read(fd, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof buffer)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return FileRead::kUnreadable;
    }
    if (n == 0) break;  // shrunk meanwhile: the digest of what was there
    d.Add(buffer, static_cast<std::size_t>(n));
    left -= static_cast<std::uint64_t>(n);
  }
  ::close(fd);
  return FileRead::kRead;
}
#endif

class SurfaceReader {
 public:
  SurfaceReader(LiveConnection& connection, CanonicalScene& scene) : connection_(connection), scene_(scene) {}

  void Read(std::uint32_t slot, const Record* record) {
    slot_ = slot;
    id_ = LoadShared(record->id);
    const std::uint32_t size = LoadShared(record->size);
    if (size < kSurfaceRecordSize || size > kSlotBytes) {
      Problem("size", "record size " + std::to_string(size) + " cannot hold a surface");
      return;
    }
    // One copy of the record: the fields then belong together even while
    // the publisher writes (a read without the lock).
    SurfaceRecord copy;
    std::memcpy(&copy, record, sizeof copy);
    CanonicalSurface surface;
    surface.slot = slot;
    surface.recordId = id_;
    CanonicalMaterial& m = surface.material;
    m.name = ReadFixedText(copy.name, kSurfaceTextUnits);
    m.surfaceType = copy.surfaceType;
    m.colour = copy.colour;
    m.floats = {copy.fixedA,  copy.shine,       copy.fixedB, copy.fixedC,
                copy.opacity, copy.attenuation, copy.fixedD, copy.percentage};
    m.textured = copy.textureStamp != 0;
    m.texturePath = ReadFixedText(copy.texturePath, kSurfaceTextUnits);
    if (copy.textureBlockId != 0) {
      m.textureDigest = TextureBlockDigest(copy.textureBlockId, copy.textureBlockCapacity);
    } else if (!m.texturePath.empty()) {
      m.textureDigest = TextureFileDigest(m.texturePath);
    }
    if (copy.geometryBlockId != 0) ReadTriangles(copy.geometryBlockId, copy.geometryBlockCapacity, surface.triangles);
    if (scene_.surfaces.empty()) scene_.firstSurface = m.name;
    scene_.surfaces.push_back(std::move(surface));
  }

 private:
  void Problem(const std::string& field, const std::string& message) {
    scene_.problems.push_back("slot " + std::to_string(slot_) + " record " + std::to_string(id_) + " " + field + ": " +
                              message);
  }

  // The readable bytes of a block, handed to decode, then the block is
  // closed again. False when it does not open.
  template <typename Decode>
  bool WithBlock(std::uint32_t blockId, std::uint32_t capacity, const char* idField, Decode decode) {
    const auto* data = static_cast<const std::uint8_t*>(connection_.OpenBlock(blockId));
    if (data == nullptr) {
      Problem(idField, "block " + std::to_string(blockId) + " does not open");
      return false;
    }
    const std::size_t mapped = connection_.GetBlockSize(blockId);
    if (capacity > mapped)
      Problem(idField, "capacity " + std::to_string(capacity) + " past the block's " + std::to_string(mapped) +
                           " mapped bytes; read within those");
    decode(data, std::min<std::size_t>(capacity, mapped));
    connection_.CloseBlock(blockId);
    return true;
  }

  std::uint64_t TextureBlockDigest(std::uint32_t blockId, std::uint32_t capacity) {
    std::uint64_t digest = 0;
    WithBlock(blockId, capacity, "textureBlockId", [&](const std::uint8_t* data, std::size_t bytes) {
      BitmapPixels pixels;
      std::string field, error;
      if (!DecodeBitmapBlock(data, bytes, &pixels, &field, &error)) {
        Problem("texture block " + field, error);
        return;
      }
      Digest d;
      d.Add(&pixels.width, sizeof pixels.width);
      d.Add(&pixels.height, sizeof pixels.height);
      d.Add(pixels.rgba.data(), pixels.rgba.size());
      digest = d.value | 1;  // never 0, which stands for "no texture"
    });
    return digest;
  }

  std::uint64_t TextureFileDigest(const std::u16string& path) {
    std::string file;
    for (char16_t c : path) {
      if (c >= 0x80) {  // the add-on's texture folder is ASCII in every test; others are named, not read
        Problem("texturePath", "not an ASCII path: " + Narrow(path));
        return 0;
      }
      file.push_back(c == u'\\' ? '/' : static_cast<char>(c));
    }
    // The path comes from shared memory: only a regular file is read, and
    // no further than the size it had when opened. A FIFO would block the
    // open or the read for good, a device such as /dev/zero never end.
    Digest d;
    switch (DigestRegularFile(file, d)) {
      case FileRead::kRead: return d.value | 1;
      case FileRead::kNotRegular: Problem("texturePath", "not a regular file: " + file); return 0;
      case FileRead::kUnreadable: break;
    }
    Problem("texturePath", "cannot read " + file);
    return 0;
  }

  void ReadTriangles(std::uint32_t blockId, std::uint32_t capacity, std::vector<CanonicalTriangle>& triangles) {
    WithBlock(blockId, capacity, "geometryBlockId", [&](const std::uint8_t* data, std::size_t bytes) {
      GeometryArrays g;
      std::string field, error;
      std::size_t repaired = 0;
      if (!DecodeGeometryBlock(data, bytes, &g, &field, &error, &repaired)) {
        Problem("geometry block " + field, error);
        return;
      }
      if (repaired != 0) Problem("geometry block normals", std::to_string(repaired) + " values not finite, taken as 0");
      if (const std::size_t stray = CountStrayVertices(g))
        Problem("geometry block vertices", std::to_string(stray) +
                                               " vertices that no index names are not geometry (outside the "
                                               "triangles' bounds, or a normal not of unit length)");
      triangles.resize(g.indices.size() / 3);
      for (std::size_t t = 0; t < triangles.size(); ++t) {
        CanonicalTriangle corners;
        for (std::size_t k = 0; k < 3; ++k) {
          const std::size_t v = g.indices[3 * t + k];  // below the vertex count: checked by the decoder
          CanonicalCorner& c = corners[k];
          std::memcpy(c.position.data(), &g.positions[3 * v], sizeof c.position);
          std::memcpy(c.normal.data(), &g.normals[3 * v], sizeof c.normal);
          std::memcpy(c.texCoord.data(), &g.texCoords[2 * v], sizeof c.texCoord);
        }
        triangles[t] = Rotated(corners);
      }
    });
  }

  LiveConnection& connection_;
  CanonicalScene& scene_;
  std::uint32_t slot_ = 0, id_ = 0;
};

struct Pair {
  const CanonicalSurface* a = nullptr;
  const CanonicalSurface* b = nullptr;
};

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string FieldDifferences(const CanonicalMaterial& a, const CanonicalMaterial& b) {
  static const char* const kFloatNames[8] = {"fixedA",  "shine",       "fixedB", "fixedC",
                                             "opacity", "attenuation", "fixedD", "percentage"};
  std::string out;
  auto add = [&](const std::string& field, const std::string& x, const std::string& y) {
    out += (out.empty() ? "" : ", ") + field + " " + x + " / " + y;
  };
  if (a.surfaceType != b.surfaceType) add("surfaceType", std::to_string(a.surfaceType), std::to_string(b.surfaceType));
  if (a.colour != b.colour) add("colour", Hex(a.colour), Hex(b.colour));
  for (std::size_t i = 0; i < 8; ++i)
    if (std::bit_cast<std::uint32_t>(a.floats[i]) != std::bit_cast<std::uint32_t>(b.floats[i]))
      add(kFloatNames[i], std::to_string(a.floats[i]), std::to_string(b.floats[i]));
  if (a.textured != b.textured) add("textured", a.textured ? "yes" : "no", b.textured ? "yes" : "no");
  if (a.texturePath != b.texturePath) add("texturePath", Narrow(a.texturePath), Narrow(b.texturePath));
  if (a.textureDigest != b.textureDigest) add("texture", Hex(a.textureDigest), Hex(b.textureDigest));
  return out;
}

std::string Example(const CanonicalTriangle& t) {
  std::string text;
  char corner[160];
  for (const auto& c : t) {
    std::snprintf(corner, sizeof corner, "%s(%g %g %g | %g %g %g | %g %g)", text.empty() ? "" : " ", c.position[0],
                  c.position[1], c.position[2], c.normal[0], c.normal[1], c.normal[2], c.texCoord[0], c.texCoord[1]);
    text += corner;
  }
  return text;
}

// The triangles of two sorted lists that only one holds (as multisets).
std::string TriangleDifferences(const CanonicalSurface& a, const CanonicalSurface& b, const std::string& aName,
                                const std::string& bName) {
  std::vector<CanonicalTriangle> onlyA, onlyB;
  auto less = [](const CanonicalTriangle& x, const CanonicalTriangle& y) { return Less(x, y); };
  std::set_difference(a.triangles.begin(), a.triangles.end(), b.triangles.begin(), b.triangles.end(),
                      std::back_inserter(onlyA), less);
  std::set_difference(b.triangles.begin(), b.triangles.end(), a.triangles.begin(), a.triangles.end(),
                      std::back_inserter(onlyB), less);
  if (onlyA.empty() && onlyB.empty()) return {};
  auto side = [](const std::vector<CanonicalTriangle>& only, const std::string& name) {
    const auto degenerate = std::count_if(only.begin(), only.end(), Degenerate);
    std::string text = std::to_string(only.size()) + " only in " + name;
    if (degenerate != 0) text += " (" + std::to_string(degenerate) + " with three equal corners: zeroed data)";
    if (!only.empty()) text += ", e.g. (position | normal | texture coordinate) " + Example(only.front());
    return text;
  };
  return std::to_string(a.triangles.size()) + " / " + std::to_string(b.triangles.size()) + " triangles; " +
         side(onlyA, aName) + "; " + side(onlyB, bName);
}

}  // namespace

std::size_t CanonicalScene::TriangleCount() const {
  std::size_t n = 0;
  for (const auto& s : surfaces) n += s.triangles.size();
  return n;
}

bool SameMaterial(const CanonicalMaterial& a, const CanonicalMaterial& b) {
  return MaterialKey(a) == MaterialKey(b) && FloatBits(a.floats) == FloatBits(b.floats);
}

bool operator==(const CanonicalScene& a, const CanonicalScene& b) {
  if (a.surfaces.size() != b.surfaces.size()) return false;
  for (std::size_t i = 0; i < a.surfaces.size(); ++i)
    if (!SameMaterial(a.surfaces[i].material, b.surfaces[i].material) ||
        !SameTriangles(a.surfaces[i].triangles, b.surfaces[i].triangles))
      return false;
  return true;
}

void Canonicalize(CanonicalScene& scene) {
  for (auto& surface : scene.surfaces) {
    for (auto& t : surface.triangles) t = Rotated(t);
    std::sort(surface.triangles.begin(), surface.triangles.end(),
              [](const CanonicalTriangle& x, const CanonicalTriangle& y) { return Less(x, y); });
  }
  std::sort(scene.surfaces.begin(), scene.surfaces.end(), SurfaceLess);
}

CanonicalScene ReadCanonicalScene(LiveConnection& connection, std::uint32_t lockTimeoutUs) {
  CanonicalScene scene;
  if (!connection.IsOpen()) {
    scene.problems.push_back("the link is not open");
    return scene;
  }
  const bool locked = lockTimeoutUs > 0 && connection.Lock(lockTimeoutUs);
  if (lockTimeoutUs > 0 && !locked) scene.problems.push_back("read without the link's lock");
  const ControlAreaView& area = connection.Area();
  scene.changeCount = LoadShared(area.header()->changeCount);
  SurfaceReader reader(connection, scene);
  const std::uint32_t limit = area.ScanLimit();
  for (std::uint32_t slot = 0; slot < limit; ++slot) {
    const Record* record = area.Slot(slot);
    if (LoadShared(record->type) == kTypeSurface) reader.Read(slot, record);
  }
  if (locked) connection.Unlock();
  Canonicalize(scene);
  return scene;
}

std::string DescribeDifferences(const CanonicalScene& a, const CanonicalScene& b, const std::string& aName,
                                const std::string& bName) {
  if (a == b) return {};
  std::string out = aName + ": " + std::to_string(a.surfaces.size()) + " surfaces, " +
                    std::to_string(a.TriangleCount()) + " triangles; " + bName + ": " +
                    std::to_string(b.surfaces.size()) + " surfaces, " + std::to_string(b.TriangleCount()) +
                    " triangles\n";
  // Pair by the whole material first, then what is left by name.
  std::vector<Pair> pairs;
  std::vector<bool> takenB(b.surfaces.size(), false);
  std::vector<const CanonicalSurface*> leftA;
  for (const auto& s : a.surfaces) {
    bool paired = false;
    for (std::size_t j = 0; j < b.surfaces.size() && !paired; ++j)
      if (!takenB[j] && SameMaterial(s.material, b.surfaces[j].material)) {
        takenB[j] = paired = true;
        pairs.push_back({&s, &b.surfaces[j]});
      }
    if (!paired) leftA.push_back(&s);
  }
  for (const CanonicalSurface* s : leftA) {
    bool paired = false;
    for (std::size_t j = 0; j < b.surfaces.size() && !paired; ++j)
      if (!takenB[j] && s->material.name == b.surfaces[j].material.name) {
        takenB[j] = paired = true;
        pairs.push_back({s, &b.surfaces[j]});
      }
    if (!paired) pairs.push_back({s, nullptr});
  }
  for (std::size_t j = 0; j < b.surfaces.size(); ++j)
    if (!takenB[j]) pairs.push_back({nullptr, &b.surfaces[j]});

  for (const Pair& p : pairs) {
    const CanonicalSurface& any = p.a != nullptr ? *p.a : *p.b;
    const std::string name = "surface \"" + Narrow(any.material.name) + "\"";
    if (p.a == nullptr || p.b == nullptr) {
      out += name + " (" + std::to_string(any.triangles.size()) + " triangles) only in " +
             (p.a != nullptr ? aName : bName) + "\n";
      continue;
    }
    const std::string fields = FieldDifferences(p.a->material, p.b->material);
    const std::string triangles = TriangleDifferences(*p.a, *p.b, aName, bName);
    if (!fields.empty()) out += name + " fields (" + aName + " / " + bName + "): " + fields + "\n";
    if (!triangles.empty()) out += name + ": " + triangles + "\n";
  }
  return out;
}

}  // namespace CorvantaAPI
