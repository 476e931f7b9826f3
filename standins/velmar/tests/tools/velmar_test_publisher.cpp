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
//   texture KEY W H SEED           a memory bitmap -> "texture KEY BLOCK"
//   texfile KEY PATH               a texture file path instead of a block -> "texfile KEY"
//   material KEY RRGGBB            new colour, counted as a material change -> "material KEY"
//   retire KEY                     "SRFI" -> "retired KEY"
//   camera EX EY EZ TX TY TZ FOV   followed camera -> "camera"; "nocamera" ends following
//   status KEY=VALUE...            text values ("+" for a blank) -> "status"; "statusraw TEXT" writes TEXT as is
//   poke KEY OFFSET VALUE          u32 into the record -> "poked"
//   pokeblock KEY geometry|texture OFFSET VALUE   u32 into the block -> "poked"
//   shrinkarea                     truncates the control area's object to 0 bytes
//                                  under its readers, as a hostile peer may -> "shrunk RC"
//   publish                        changed flag, announce, wake-up -> "published RC"
//   destroy, quit
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "link_writer.h"
#include "livelink/live_connection.h"

using namespace CorvantaAPI;
using namespace velmar_test;

namespace {

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }
void Say(const std::string& line) { std::cout << line << std::endl; }

class Publisher {
 public:
  explicit Publisher(LiveConnection& connection) : c_(connection) {}
  void Serve();

 private:
  std::uint8_t* BlockOf(Surface& s, const std::string& which);

  LiveConnection& c_;
  std::map<std::string, Surface> surfaces_;
};

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
    if (verb == "shrinkarea") {
      // Never touched here afterwards: this process would meet the same
      // zeros (its views are guarded as any reader's).
      const int fd = ::shm_open(platform::ShmObjectName(MappingNameFor(c_.GetName())).c_str(), O_RDWR, 0);
      const int rc = fd >= 0 ? ::ftruncate(fd, 0) : -1;
      if (fd >= 0) ::close(fd);
      Say("shrunk " + std::to_string(rc));
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
        std::string value = pair.substr(eq == std::string::npos ? pair.size() : eq + 1);
        std::replace(value.begin(), value.end(), '+', ' ');  // a blank inside one word
        if (eq != std::string::npos) values[Widen(pair.substr(0, eq))] = {0, Widen(value)};
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
    if (verb == "pokeview" || verb == "pokestat") {
      // A word of the connection's own camera or status record.
      std::size_t offset = 0;
      std::uint32_t value = 0;
      in >> offset >> value;
      Record* record = verb == "pokeview" ? c_.OwnViewRecord() : c_.OwnStatRecord();
      if (record != nullptr && offset + 4 <= kSlotBytes) std::memcpy(reinterpret_cast<std::uint8_t*>(record) + offset, &value, 4);
      if (record != nullptr) c_.SetRecordFlags(record, 1);
      Say("poked");
      continue;
    }
    in >> key;
    if (verb == "surface") {
      int type = 0;
      std::string colour, name;
      float opacity = 1;
      in >> type >> colour >> opacity;
      std::getline(in >> std::ws, name);
      Surface fresh;
      SurfaceRecord* record =
          NewSurface(c_, fresh, type, static_cast<std::uint32_t>(std::stoul(colour, nullptr, 16)), opacity, name);
      if (record == nullptr) {
        Say("surface " + key + " 0");
        continue;
      }
      surfaces_[key] = fresh;
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
    } else if (verb == "geometry") {
      WriteGeometry(c_, s);
      Say("geometry " + key + " " + std::to_string(s.record->geometryBlockId));
      continue;
    } else if (verb == "texture") {
      int w = 0, h = 0;
      unsigned seed = 0;
      in >> w >> h >> seed;
      WriteTexture(c_, s, w, h, seed);
      Say("texture " + key + " " + std::to_string(s.record->textureBlockId));
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
