// A publisher of hand-made scenes for velmar's tests, as a separate process.
// It creates a link and writes surfaces, geometry and texture blocks, the
// camera and the status through the real LiveConnection, as the add-on
// does, one command per input line (answer on its output):
//
//   surface KEY TYPE RRGGBB OPACITY NAME...  -> "surface KEY ID"
//   box KEY X0 Y0 Z0 X1 Y1 Z1      adds a box (renderer frame) to KEY's pending triangles
//   quad KEY X0 Y0 Z0 ... X3 Y3 Z3 adds a quad, corners in order (normal from them)
//   double KEY                     the pending triangles get a back copy too
//   geometry KEY                   writes the pending triangles -> "geometry KEY BLOCK"
//   clear KEY                      forgets the pending triangles
//   texture KEY W H SEED           a memory bitmap -> "texture KEY BLOCK"
//   texfile KEY PATH               a texture file path instead of a block -> "texfile KEY"
//   material KEY RRGGBB            new colour, counted as a material change -> "material KEY"
//   retire KEY                     "SRFI" -> "retired KEY"
//   camera EX EY EZ TX TY TZ FOV   followed camera -> "camera"; "nocamera" ends following
//   status KEY=VALUE...            text values -> "status"; "statusraw TEXT" writes TEXT as is
//   poke KEY OFFSET VALUE          u32 into the record -> "poked"
//   pokeblock KEY geometry|texture OFFSET VALUE   u32 into the block -> "poked"
//   publish                        changed flag, announce, wake-up -> "published RC"
//   destroy, quit
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "livelink/live_connection.h"

using namespace CorvantaAPI;

namespace {

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }
void Say(const std::string& line) { std::cout << line << std::endl; }

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
void AddQuad(Surface& s, const float q[4][3]) {
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

void AddBox(Surface& s, const float a[3], const float b[3]) {
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

void WriteText(char16_t* field, const std::string& text) {
  std::memset(field, 0, kSurfaceTextUnits * 2);
  for (std::size_t i = 0; i < text.size() && i < kSurfaceTextUnits; ++i)
    field[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
}

class Publisher {
 public:
  explicit Publisher(LiveConnection& connection) : c_(connection) {}
  void Serve();

 private:
  void WriteGeometry(Surface& s, const std::string& key);
  void WriteTexture(Surface& s, const std::string& key, int w, int h, unsigned seed);
  std::uint8_t* BlockOf(Surface& s, const std::string& which);

  LiveConnection& c_;
  std::map<std::string, Surface> surfaces_;
};

void Publisher::WriteGeometry(Surface& s, const std::string& key) {
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
    c_.ReleaseBlock(r.geometryBlockId);
    r.geometryBlockId = r.geometryBlockCapacity = 0;
  } else {
    const GeometryBlockLayout layout = GeometryLayout(v, n, 1);
    const auto size = static_cast<std::uint32_t>(layout.totalBytes);
    if (r.geometryBlockCapacity < size) {
      c_.ReleaseBlock(r.geometryBlockId);
      r.geometryBlockCapacity = 2 * size;
      r.geometryBlockId = c_.CreateBlock(r.head.id, 2 * size);
    }
    auto* block = static_cast<std::uint8_t*>(c_.OpenBlock(r.geometryBlockId));
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
  c_.SetRecordFlags(&r.head, 1);
  Say("geometry " + key + " " + std::to_string(r.geometryBlockId));
}

void Publisher::WriteTexture(Surface& s, const std::string& key, int w, int h, unsigned seed) {
  SurfaceRecord& r = *s.record;
  const std::uint32_t bytes = 54 + 4u * static_cast<std::uint32_t>(w * h);
  if (r.textureBlockCapacity < bytes) {
    c_.ReleaseBlock(r.textureBlockId);
    r.textureBlockId = c_.CreateBlock(r.head.id, bytes);
    r.textureBlockCapacity = bytes;
  }
  auto* block = static_cast<std::uint8_t*>(c_.OpenBlock(r.textureBlockId));
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
    // Pixel (x, y) of the picture: blue, green, red, alpha from the seed.
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        std::uint8_t* p = block + 54 + 4 * (y * w + x);
        p[0] = static_cast<std::uint8_t>(seed + 3 * x);
        p[1] = static_cast<std::uint8_t>(seed * 7 + 5 * y);
        p[2] = static_cast<std::uint8_t>(seed * 13 + x * y);
        p[3] = 255;
      }
  }
  std::memset(r.texturePath, 0, sizeof r.texturePath);
  r.textureStamp = ++s.textureCounter;
  r.colour = kTexturedColour;
  c_.SetRecordFlags(&r.head, 0x201);
  Say("texture " + key + " " + std::to_string(r.textureBlockId));
}

std::uint8_t* Publisher::BlockOf(Surface& s, const std::string& which) {
  const std::uint32_t id = which == "geometry" ? s.record->geometryBlockId : s.record->textureBlockId;
  return static_cast<std::uint8_t*>(c_.OpenBlock(id));
}

void Publisher::Serve() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string verb, key;
    in >> verb;
    if (verb == "quit") break;
    if (verb == "destroy") {
      c_.Destroy();
      Say("destroyed");
      continue;
    }
    if (verb == "publish") {
      const bool locked = c_.Lock(10000);
      c_.SetFlags(1);
      if (locked) c_.Unlock();
      c_.Announce();
      Say("published " + std::to_string(c_.Notify(kNotifyChanged, 0)));
      continue;
    }
    if (verb == "camera" || verb == "nocamera") {
      CameraViewData data{};
      if (verb == "camera") {
        float e[3], t[3], fov;
        in >> e[0] >> e[1] >> e[2] >> t[0] >> t[1] >> t[2] >> fov;
        float f[3] = {t[0] - e[0], t[1] - e[1], t[2] - e[2]};
        const float lf = std::sqrt(f[0] * f[0] + f[1] * f[1] + f[2] * f[2]);
        for (float& x : f) x /= lf;
        const float u[3] = {0, 1, 0};
        float r[3] = {u[1] * f[2] - u[2] * f[1], u[2] * f[0] - u[0] * f[2], u[0] * f[1] - u[1] * f[0]};
        const float lr = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
        for (float& x : r) x /= lr;
        const float up[3] = {f[1] * r[2] - f[2] * r[1], f[2] * r[0] - f[0] * r[2], f[0] * r[1] - f[1] * r[0]};
        for (int i = 0; i < 3; ++i) {
          data.cameraToWorld[0][i] = r[i];
          data.cameraToWorld[1][i] = up[i];
          data.cameraToWorld[2][i] = f[i];
          data.cameraToWorld[3][i] = e[i];
          data.position[i] = e[i];
          data.backward[i] = -f[i];
          data.up[i] = up[i];
        }
        data.cameraToWorld[3][3] = 1;
        data.kind = kCameraPerspective;
        data.fieldOfView = fov;
      }
      c_.UpdateView(verb == "camera", &data);
      Say("camera");
      continue;
    }
    if (verb == "status") {
      StatusMap values;
      std::string pair;
      while (in >> pair) {
        const auto eq = pair.find('=');
        if (eq != std::string::npos) values[Widen(pair.substr(0, eq))] = {0, Widen(pair.substr(eq + 1))};
      }
      c_.UpdateStatus(values);
      Say("status");
      continue;
    }
    if (verb == "statusraw") {
      std::string text;
      std::getline(in >> std::ws, text);
      auto* stat = reinterpret_cast<StatRecord*>(c_.OwnStatRecord());
      const auto bytes = static_cast<std::uint32_t>((text.size() + 1) * 2);
      c_.ReleaseBlock(stat->blockId);
      stat->blockId = c_.CreateBlock(stat->head.id, bytes);
      stat->blockCapacity = bytes;
      auto* block = static_cast<char16_t*>(c_.OpenBlock(stat->blockId));
      if (block != nullptr)
        for (std::size_t i = 0; i <= text.size(); ++i) block[i] = i < text.size() ? static_cast<char16_t>(text[i]) : 0;
      c_.SetRecordFlags(&stat->head, 1);
      Say("status");
      continue;
    }
    in >> key;
    if (verb == "surface") {
      int type = 0;
      std::string colour, name;
      float opacity = 1;
      in >> type >> colour >> opacity;
      std::getline(in >> std::ws, name);
      auto* record = reinterpret_cast<SurfaceRecord*>(c_.CreateRecord(kTypeSurface));
      if (record == nullptr) {
        Say("surface " + key + " 0");
        continue;
      }
      Surface& s = surfaces_[key];
      s = Surface();
      s.record = record;
      WriteText(record->name, name);
      record->surfaceType = type;
      record->colour = 0xFF000000u | static_cast<std::uint32_t>(std::stoul(colour, nullptr, 16));
      record->fixedA = 0.5f;
      record->shine = 1;
      record->opacity = opacity;
      record->fixedD = 1;
      record->allOnes = kSurfaceAllOnes;
      record->materialChangeCount = 1;
      c_.SetRecordFlags(&record->head, 0x101);
      Say("surface " + key + " " + std::to_string(record->head.id));
      continue;
    }
    auto found = surfaces_.find(key);
    if (found == surfaces_.end()) {
      Say("unknown " + key);
      continue;
    }
    Surface& s = found->second;
    if (verb == "box") {
      float a[3], b[3];
      in >> a[0] >> a[1] >> a[2] >> b[0] >> b[1] >> b[2];
      AddBox(s, a, b);
    } else if (verb == "quad") {
      float q[4][3];
      for (auto& corner : q) in >> corner[0] >> corner[1] >> corner[2];
      AddQuad(s, q);
    } else if (verb == "double") {
      s.doubleSided = true;
    } else if (verb == "clear") {
      s.vertices.clear();
      s.indices.clear();
    } else if (verb == "geometry") {
      WriteGeometry(s, key);
      continue;
    } else if (verb == "texture") {
      int w = 0, h = 0;
      unsigned seed = 0;
      in >> w >> h >> seed;
      WriteTexture(s, key, w, h, seed);
      continue;
    } else if (verb == "texfile") {
      std::string path;
      std::getline(in >> std::ws, path);
      c_.ReleaseBlock(s.record->textureBlockId);
      s.record->textureBlockId = s.record->textureBlockCapacity = 0;
      WriteText(s.record->texturePath, path);
      s.record->textureStamp = ++s.textureCounter;
      s.record->colour = kTexturedColour;
      c_.SetRecordFlags(&s.record->head, 0x201);
      Say("texfile " + key);
      continue;
    } else if (verb == "material") {
      std::string colour;
      in >> colour;
      s.record->colour = 0xFF000000u | static_cast<std::uint32_t>(std::stoul(colour, nullptr, 16));
      ++s.record->materialChangeCount;
      c_.SetRecordFlags(&s.record->head, 0x101);
      Say("material " + key);
      continue;
    } else if (verb == "retire") {
      c_.ReleaseBlock(s.record->geometryBlockId);
      s.record->geometryBlockId = s.record->geometryBlockCapacity = 0;
      s.record->head.type = kTypeRetiredSurface;
      c_.SetRecordFlags(&s.record->head, 1);
      surfaces_.erase(found);
      Say("retired " + key);
      continue;
    } else if (verb == "poke" || verb == "pokeblock") {
      std::string which = "record";
      if (verb == "pokeblock") in >> which;
      std::size_t offset = 0;
      std::uint32_t value = 0;
      in >> offset >> value;
      std::uint8_t* base = verb == "poke" ? reinterpret_cast<std::uint8_t*>(s.record) : BlockOf(s, which);
      if (base != nullptr) std::memcpy(base + offset, &value, 4);
      if (verb == "poke") c_.SetRecordFlags(&s.record->head, 1);
      Say("poked");
      continue;
    } else {
      Say("unknown command " + verb);
      continue;
    }
    Say("ok");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: velmar_test_publisher NAME [CAPACITY]\n");
    return 2;
  }
  LiveConnection connection;
  const int rc = connection.Create(Widen(argv[1]), argc > 2 ? static_cast<std::uint32_t>(std::stoul(argv[2])) : 64);
  Say("created " + std::to_string(rc));
  if (rc != 0) return 1;
  Publisher(connection).Serve();
  return 0;
}
