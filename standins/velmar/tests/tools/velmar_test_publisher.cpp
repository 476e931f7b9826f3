// A publisher of hand-made scenes for velmar's tests, as a separate process:
// a link written through the real LiveConnection as the add-on writes it,
// one command a line, one answer line each ("unknown ..." for a key or verb
// it does not know). KEY names a surface made by "surface"; a box or quad
// adds to its pending triangles, "geometry" writes them.
//   surface KEY TYPE RRGGBB OPACITY NAME... -> "surface KEY ID" (0: area full)
//   box KEY X0 Y0 Z0 X1 Y1 Z1 | quad KEY X0 Y0 Z0 ... X3 Y3 Z3 | double KEY -> "ok"
//   boxes KEY N (a row of unit boxes) | move KEY DX DY DZ (the last box) -> "ok"
//   geometry KEY | texture KEY W H SEED | texfile KEY PATH | material KEY RRGGBB | retire KEY
//   camera EX EY EZ TX TY TZ FOV | nocamera | status KEY=VALUE... ("+" a blank) | statusraw TEXT
//   poke KEY[.geometry|.texture]|view|stat OFFSET U32: a u32 into a record or block
//   shrinkarea: the control area truncated to 0 bytes under its readers -> "shrunk RC"
//   publish -> "published RC" (the wake-up's result) | destroy | quit
//   restart: the link destroyed and created again under its name -> "restarted RC"
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "area_shrink.h"
#include "link_writer.h"
#include "livelink/live_connection.h"

using namespace CorvantaAPI;
using namespace velmar_test;

namespace {

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }
std::uint32_t Rgb(const std::string& hex) { return static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16)); }

// A followed perspective camera at eye looking at target, y up.
CameraViewData LookAt(const float eye[3], const float target[3], float fieldOfView) {
  // Each vector normalized: forward, right = y x forward, up = forward x right.
  auto unit = [](float x, float y, float z) {
    const float l = std::sqrt(x * x + y * y + z * z);
    return std::array<float, 3>{x / l, y / l, z / l};
  };
  const auto f = unit(target[0] - eye[0], target[1] - eye[1], target[2] - eye[2]);
  const auto r = unit(f[2], 0, -f[0]);
  const auto up = unit(f[1] * r[2] - f[2] * r[1], f[2] * r[0] - f[0] * r[2], f[0] * r[1] - f[1] * r[0]);
  CameraViewData data{};
  for (int i = 0; i < 3; ++i) {
    data.cameraToWorld[0][i] = r[i];
    data.cameraToWorld[1][i] = data.up[i] = up[i];
    data.cameraToWorld[2][i] = f[i];
    data.cameraToWorld[3][i] = data.position[i] = eye[i];
    data.backward[i] = -f[i];
  }
  data.cameraToWorld[3][3] = 1;
  data.kind = kCameraPerspective;
  data.fieldOfView = fieldOfView;
  return data;
}

class Publisher {
 public:
  explicit Publisher(LiveConnection& connection) : c_(connection) {}
  // One command; its answer, empty for quit.
  std::string Run(const std::string& line);

 private:
  std::string Edit(std::istringstream& in, const std::string& verb, velmar_test::Surface& s, const std::string& key);
  std::string Poke(const std::string& where, std::size_t offset, std::uint32_t value);

  LiveConnection& c_;
  std::map<std::string, velmar_test::Surface> surfaces_;
};

std::string Publisher::Run(const std::string& line) {
  std::istringstream in(line);
  std::string verb, key, text;
  in >> verb;
  if (verb == "quit") return {};
  if (verb == "destroy") {
    c_.Destroy();
    return "destroyed";
  }
  if (verb == "restart") {
    // The link stopped and started again by the same process, as a host's
    // Stop then Start: a new area under the same name.
    const std::u16string name = c_.GetName();
    const std::uint32_t capacity = c_.Area().slotCount();
    c_.Destroy();
    surfaces_.clear();
    return "restarted " + std::to_string(static_cast<int>(c_.Create(name, capacity)));
  }
  if (verb == "shrinkarea") {
    // Never touched here afterwards: this process would meet the same
    // zeros (its views are guarded as any reader's).
    return ShrinkArea(c_.GetName());
  }
  if (verb == "publish") {
    const bool locked = c_.Lock(10000);
    c_.SetFlags(1);
    if (locked) c_.Unlock();
    // Announced once per start; a repeat is a no-op that also answers 0.
    (void)c_.Announce();
    return "published " + std::to_string(c_.Notify(kNotifyChanged, 0));
  }
  if (verb == "camera" || verb == "nocamera") {
    float eye[3] = {}, target[3] = {}, fieldOfView = 0;
    in >> eye[0] >> eye[1] >> eye[2] >> target[0] >> target[1] >> target[2] >> fieldOfView;
    CameraViewData data = verb == "camera" ? LookAt(eye, target, fieldOfView) : CameraViewData{};
    c_.UpdateView(verb == "camera", &data);
    return "camera";
  }
  if (verb == "status") {
    StatusMap values;
    for (std::string pair; in >> pair;) {
      const auto eq = pair.find('=');
      std::string value = pair.substr(eq == std::string::npos ? pair.size() : eq + 1);
      std::replace(value.begin(), value.end(), '+', ' ');  // a blank inside one word
      if (eq != std::string::npos) values[Widen(pair.substr(0, eq))] = {0, Widen(value)};
    }
    c_.UpdateStatus(values);
    return "status";
  }
  if (verb == "statusraw") {
    std::getline(in >> std::ws, text);
    auto* stat = reinterpret_cast<StatRecord*>(c_.OwnStatRecord());
    const auto bytes = static_cast<std::uint32_t>((text.size() + 1) * 2);
    c_.ReleaseBlock(stat->blockId);
    stat->blockId = c_.CreateBlock(stat->head.id, bytes);
    stat->blockCapacity = bytes;
    if (auto* block = static_cast<char16_t*>(c_.OpenBlock(stat->blockId)))
      for (std::size_t i = 0; i <= text.size(); ++i) block[i] = i < text.size() ? static_cast<char16_t>(text[i]) : 0;
    c_.SetRecordFlags(&stat->head, 1);
    return "status";
  }
  in >> key;
  if (verb == "poke") {
    std::size_t offset = 0;
    std::uint32_t value = 0;
    in >> offset >> value;
    return Poke(key, offset, value);
  }
  if (verb == "surface") {
    int type = 0;
    std::string colour;
    float opacity = 1;
    in >> type >> colour >> opacity;
    std::getline(in >> std::ws, text);
    velmar_test::Surface fresh;
    SurfaceRecord* record = NewSurface(c_, fresh, type, Rgb(colour), opacity, text);
    if (record == nullptr) return "surface " + key + " 0";
    surfaces_[key] = fresh;
    return "surface " + key + " " + std::to_string(record->head.id);
  }
  auto found = surfaces_.find(key);
  if (found == surfaces_.end()) return "unknown " + key;
  const std::string answer = Edit(in, verb, found->second, key);
  if (verb == "retire") surfaces_.erase(found);
  return answer;
}

std::string Publisher::Edit(std::istringstream& in, const std::string& verb, velmar_test::Surface& s,
                            const std::string& key) {
  SurfaceRecord& r = *s.record;
  if (verb == "box") {
    float a[3], b[3];
    in >> a[0] >> a[1] >> a[2] >> b[0] >> b[1] >> b[2];
    AddBox(s, a, b);
  } else if (verb == "boxes") {
    // A row of unit boxes: a surface as large as a test needs.
    std::size_t count = 0;
    in >> count;
    for (std::size_t i = 0; i < count; ++i) {
      const float a[3] = {2.0f * static_cast<float>(i % 1000), 0, 2.0f * static_cast<float>(i / 1000)};
      const float b[3] = {a[0] + 1, 1, a[2] + 1};
      AddBox(s, a, b);
    }
  } else if (verb == "move") {
    // The last box added, moved: an edit that keeps the counts.
    float d[3] = {0, 0, 0};
    in >> d[0] >> d[1] >> d[2];
    const std::size_t from = s.vertices.size() - std::min<std::size_t>(24, s.vertices.size());
    for (std::size_t i = from; i < s.vertices.size(); ++i)
      for (int k = 0; k < 3; ++k) s.vertices[i].p[k] += d[k];
  } else if (verb == "quad") {
    float q[4][3];
    for (auto& corner : q) in >> corner[0] >> corner[1] >> corner[2];
    AddQuad(s, q);
  } else if (verb == "double") {
    s.doubleSided = true;
  } else if (verb == "geometry") {
    WriteGeometry(c_, s);
    return "geometry " + key + " " + std::to_string(r.geometryBlockId);
  } else if (verb == "texture") {
    int w = 0, h = 0;
    unsigned seed = 0;
    in >> w >> h >> seed;
    WriteTexture(c_, s, w, h, seed);
    return "texture " + key + " " + std::to_string(r.textureBlockId);
  } else if (verb == "texfile") {
    std::string path;
    std::getline(in >> std::ws, path);
    c_.ReleaseBlock(r.textureBlockId);
    r.textureBlockId = r.textureBlockCapacity = 0;
    WriteText(r.texturePath, path);
    r.textureStamp = ++s.textureCounter;
    r.colour = kTexturedColour;
    c_.SetRecordFlags(&r.head, 0x201);
    return "texfile " + key;
  } else if (verb == "material") {
    std::string colour;
    in >> colour;
    r.colour = 0xFF000000u | Rgb(colour);
    ++r.materialChangeCount;
    c_.SetRecordFlags(&r.head, 0x101);
    return "material " + key;
  } else if (verb == "retire") {
    c_.ReleaseBlock(r.geometryBlockId);
    r.geometryBlockId = r.geometryBlockCapacity = 0;
    r.head.type = kTypeRetiredSurface;
    c_.SetRecordFlags(&r.head, 1);
    return "retired " + key;
  } else {
    return "unknown command " + verb;
  }
  return "ok";
}

std::string Publisher::Poke(const std::string& where, std::size_t offset, std::uint32_t value) {
  const std::string key = where.substr(0, where.find('.'));
  const std::string part = where.size() > key.size() ? where.substr(key.size() + 1) : "";
  Record* record = where == "view" ? c_.OwnViewRecord() : where == "stat" ? c_.OwnStatRecord() : nullptr;
  std::uint8_t* target = reinterpret_cast<std::uint8_t*>(record);
  if (auto found = surfaces_.find(key); record == nullptr && found != surfaces_.end()) {
    SurfaceRecord* s = found->second.record;
    record = &s->head;
    target =
        part.empty()
            ? reinterpret_cast<std::uint8_t*>(s)
            : static_cast<std::uint8_t*>(c_.OpenBlock(part == "geometry" ? s->geometryBlockId : s->textureBlockId));
  }
  if (target == nullptr) return "unknown " + where;
  if (part.empty() && offset + 4 > kSlotBytes) return "past the record";
  std::memcpy(target + offset, &value, 4);
  if (part.empty()) c_.SetRecordFlags(record, 1);
  return "poked";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: velmar_test_publisher NAME [CAPACITY]\n");
    return 2;
  }
  LiveConnection connection;
  const int rc = static_cast<int>(
      connection.Create(Widen(argv[1]), argc > 2 ? static_cast<std::uint32_t>(std::stoul(argv[2])) : 64));
  std::cout << "created " << rc << std::endl;
  if (rc != 0) return 1;
  Publisher publisher(connection);
  for (std::string line; std::getline(std::cin, line);) {
    const std::string answer = publisher.Run(line);
    if (answer.empty()) break;
    std::cout << answer << std::endl;
  }
  return 0;
}
