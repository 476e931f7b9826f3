// What a renderer holds after a link run, against the model itself: hostsim
// with the add-on publishes a project, velmar follows the link as the
// renderer the add-on wakes, and this test mirrors the same link as a second
// renderer. The expectation comes from the host's own data, the project file
// hostsim saves, never from what the add-on sent: per material the surface,
// its parameters and its triangle count, the bounding box in the renderer's
// frame (x, z + offset, y), and the texture pixels byte for byte. After an
// edit only the surfaces it touched are read again.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "base/utf.h"
#include "child_process.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "isolation.h"
#include "livelink/live_connection.h"
#include "platform/win32.h"
#include "scene_mirror.h"
#include "util/text.h"

using namespace velmar;
using livelink_test::ChildProcess;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr int kWaitMs = 30000;
// The vertical model offset the test sets in the add-on's settings, so
// that the frame's up axis is seen to carry it.
constexpr float kOffset = 0.25f;

// One surface as the host's model says it must arrive.
struct Expected {
  std::size_t triangles = 0;
  Bounds bounds;
  std::uint32_t colour = 0;
  std::int32_t surfaceType = 0;
  float opacity = 1, shine = 0, attenuation = 0, percentage = 0;
  const hostmodel::Texture* texture = nullptr;
};

void Grow(Bounds& bounds, const Vec3& p) {
  if (bounds.empty) {
    bounds.min = bounds.max = p;
    bounds.empty = false;
    return;
  }
  for (int i = 0; i < 3; ++i) {
    bounds.min[i] = std::min(bounds.min[i], p[i]);
    bounds.max[i] = std::max(bounds.max[i], p[i]);
  }
}

std::uint8_t Channel(double value) { return static_cast<std::uint8_t>(static_cast<int>(value * 255) & 0xFF); }

// The surfaces of a project by name: the default material, and one per
// material that a visible polygon uses, with the triangles of the polygons'
// convex pieces (a fan of m - 2 per piece; twice for an open body, which
// the renderer gets with both sides).
std::map<std::string, Expected> FromModel(const hostmodel::Project& project) {
  std::map<std::string, Expected> surfaces;
  surfaces["Default material"];
  for (const auto& element : project.elements)
    for (const auto& body : element.bodies)
      for (const auto& polygon : body.polygons) {
        if (polygon.invisible) continue;
        EXPECT_EQ(polygon.textureIndex, 0) << "a polygon texture of its own makes a surface of its own";
        const hostmodel::Material* material = project.MaterialAt(polygon.materialIndex);
        Expected& e = surfaces[material != nullptr ? material->name : "Default material"];
        if (material != nullptr) {
          e.texture = project.TextureAt(material->textureIndex);
          const auto& c = material->surfaceColor;
          e.colour = e.texture != nullptr ? 0x00FFFFFFu
                                          : 0xFF000000u | Channel(c.r) << 16 | Channel(c.g) << 8 | Channel(c.b);
          e.opacity = std::clamp(1.0f - material->transparency / 100.0f, 0.0f, 1.0f);
          e.shine = material->shininess / 10000.0f;
          e.attenuation = material->attenuation / 65535.0f;
          e.percentage = material->percentage / 100.0f;
          e.surfaceType = material->materialType == 5 ? 2 : 0;
        }
        for (const auto& piece : polygon.convexPieces) {
          if (piece.size() < 3) continue;
          e.triangles += (piece.size() - 2) * (body.closed ? 1 : 2);
          for (std::int32_t v : piece) {
            const hostmodel::Vec3& p = body.vertices[static_cast<std::size_t>(v)];
            Grow(e.bounds, Vec3{static_cast<float>(p.x), static_cast<float>(p.z) + kOffset, static_cast<float>(p.y)});
          }
        }
      }
  return surfaces;
}

// The mirror against the model, surface by surface.
void ExpectMirrorEqualsModel(const Scene& scene, const hostmodel::Project& project) {
  const auto expected = FromModel(project);
  std::map<std::string, const Surface*> held;
  for (const Surface& s : scene.surfaces) EXPECT_TRUE(held.emplace(s.name, &s).second) << "two surfaces " << s.name;
  for (const auto& [name, e] : expected) EXPECT_TRUE(held.count(name)) << "no surface " << name;
  for (const auto& [name, s] : held) EXPECT_TRUE(expected.count(name)) << "a surface the model has not: " << name;

  Bounds all;
  std::size_t textures = 0, triangles = 0;
  for (const auto& [name, e] : expected) {
    if (!held.count(name)) continue;
    SCOPED_TRACE(name);
    const Surface& s = *held.at(name);
    triangles += e.triangles;
    if (e.triangles == 0) {
      EXPECT_EQ(s.geometry, nullptr);
    } else {
      ASSERT_NE(s.geometry, nullptr);
      EXPECT_EQ(s.geometry->triangleCount(), e.triangles);
      Bounds b;
      for (std::size_t v = 0; v < s.geometry->vertexCount(); ++v)
        Grow(b, Vec3{s.geometry->positions[3 * v], s.geometry->positions[3 * v + 1], s.geometry->positions[3 * v + 2]});
      for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(b.min[i], e.bounds.min[i], 1e-4) << "axis " << i;
        EXPECT_NEAR(b.max[i], e.bounds.max[i], 1e-4) << "axis " << i;
      }
      Grow(all, e.bounds.min);
      Grow(all, e.bounds.max);
    }
    if (name == "Default material") continue;  // no host attribute behind it
    EXPECT_EQ(s.colour, e.colour);
    EXPECT_EQ(s.surfaceType, e.surfaceType);
    EXPECT_FLOAT_EQ(s.opacity, e.opacity);
    EXPECT_FLOAT_EQ(s.shine, e.shine);
    EXPECT_FLOAT_EQ(s.attenuation, e.attenuation);
    EXPECT_FLOAT_EQ(s.percentage, e.percentage);
    if (e.texture == nullptr) {
      EXPECT_EQ(s.texture, nullptr);
      continue;
    }
    ++textures;
    ASSERT_NE(s.texture, nullptr);
    const Image& image = s.texture->image;
    ASSERT_EQ(image.width, e.texture->width);
    ASSERT_EQ(image.height, e.texture->height);
    // The host's pixels are A, R, G, B; alpha only counts for a cut-out.
    const bool cutOut = e.texture->hasAlphaChannel && e.texture->transparentPattern;
    std::vector<std::uint8_t> host(e.texture->pixels.size());
    for (std::size_t p = 0; p + 3 < host.size(); p += 4) {
      host[p] = e.texture->pixels[p + 1];
      host[p + 1] = e.texture->pixels[p + 2];
      host[p + 2] = e.texture->pixels[p + 3];
      host[p + 3] = cutOut ? e.texture->pixels[p] : 255;
    }
    EXPECT_TRUE(image.rgba == host) << "the texture's pixels differ from the host's";
  }
  EXPECT_EQ(scene.TextureCount(), textures);
  EXPECT_EQ(scene.TriangleCount(), triangles);
  const Bounds bounds = scene.ComputeBounds();
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(bounds.min[i], all.min[i], 1e-4);
    EXPECT_NEAR(bounds.max[i], all.max[i], 1e-4);
  }
}

// velmar's JSON events.
class Events {
 public:
  explicit Events(std::unique_ptr<ChildProcess> child) : child_(std::move(child)) {}
  ChildProcess& child() { return *child_; }
  // The next event of that kind meeting the condition; null after the time.
  template <typename Condition>
  json Next(const std::string& event, Condition condition, int timeoutMs = kWaitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !child_->ReadLine(&line, static_cast<int>(left))) return nullptr;
      json value = json::parse(line, nullptr, false);
      if (!value.is_discarded() && value.value("event", "") == event && condition(value)) return value;
    }
  }

 private:
  std::unique_ptr<ChildProcess> child_;
};

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    livelink_test::Isolated();
    dir_ = fs::temp_directory_path() / ("velmar-model-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    project_ = (dir_ / "House.pln").string();
    ASSERT_TRUE(hostmodel::SaveProjectFile(hostmodel::SampleBuilding(), project_).ok());
    link_ = base::FromUtf8((dir_ / "House.dae").string());

    // The add-on's vertical offset: a custom height.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Torvik\\PluginForArchiCAD", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    const DWORD custom = 0;
    const std::u16string height = u"0.25";
    RegSetValueExW(key, u"OffsetType", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&custom), sizeof custom);
    RegSetValueExW(key, u"CustomOffset", 0, REG_SZ, reinterpret_cast<const BYTE*>(height.c_str()),
                   static_cast<DWORD>((height.size() + 1) * 2));
    RegCloseKey(key);
  }
  void TearDown() override {
    if (host_ != nullptr) {
      host_->Send("quit");
      host_->Wait(15000);
    }
    if (velmar_ != nullptr) {
      velmar_->child().Signal(SIGTERM);
      velmar_->child().Wait(10000);
    }
    fs::remove_all(dir_);
  }

  // Runs one hostsim command and waits until it has run.
  void Host(const std::string& command) {
    const std::string marker = "model test step " + std::to_string(++steps_);
    ASSERT_TRUE(host_->Send(command)) << command;
    ASSERT_TRUE(host_->Send("echo " + marker));
    std::string line;
    for (;;) {
      ASSERT_TRUE(host_->ReadLine(&line, kWaitMs)) << "hostsim did not finish " << command;
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (line.rfind("echo", 0) == 0 && line.size() >= marker.size() &&
          line.compare(line.size() - marker.size(), marker.size(), marker) == 0)
        return;
    }
  }
  // What the host holds now, as it saves it.
  hostmodel::Project Saved() {
    Host("save");
    auto loaded = hostmodel::LoadProjectFile(project_);
    EXPECT_TRUE(loaded.ok()) << loaded.error();
    return loaded.ok() ? loaded.value() : hostmodel::Project();
  }
  // velmar's next update, woken by the add-on, that read what names; what
  // it read (null when none came).
  json AwaitVelmar(const char* what) {
    const json update = velmar_->Next("update", [&](const json& e) { return e["read"].value(what, 0) > 0; });
    EXPECT_TRUE(update.is_object()) << "velmar read no " << what;
    return update.is_object() ? update["read"] : json();
  }

  fs::path dir_;
  std::string project_;
  std::u16string link_;
  std::unique_ptr<Events> velmar_;
  std::unique_ptr<ChildProcess> host_;
  int steps_ = 0;
};

TEST_F(ModelTest, TheMirrorEqualsTheHostsModelAndAnEditRereadsOnlyItsSurface) {
  velmar_ = std::make_unique<Events>(ChildProcess::Start(VELMAR_PROGRAM, {"--json", "run", "--exit-when-ended"}));
  ASSERT_TRUE(velmar_->Next("ready", [](const json&) { return true; }, 10000).is_object());
  host_ = ChildProcess::Start(CORV_HOSTSIM_PATH, {"--no-launch", "--echo", "--addon", CORV_ADDON_PATH, "--json",
                                                  (dir_ / "session.jsonl").string()});
  ASSERT_NE(host_, nullptr);
  Host("open " + project_);
  Host("window 3d");
  Host("menu 32101");  // Start Corvanta
  AwaitVelmar("geometries");

  CorvantaAPI::LiveConnection guest;
  ASSERT_EQ(guest.Open(link_), 0);
  SceneMirror mirror(guest);
  mirror.Update();
  for (const Problem& p : mirror.TakeProblems()) ADD_FAILURE() << p.record << " " << p.field << ": " << p.message;
  {
    SCOPED_TRACE("after the start");
    ExpectMirrorEqualsModel(mirror.scene(), Saved());
  }
  std::map<std::string, std::uint32_t> ids;
  for (const Surface& s : mirror.scene().surfaces) ids[s.name] = s.recordId;
  // An edit, what velmar (following the same link) read of it, and the one
  // surface and part the mirror reads again; the mirror equals the model.
  struct Edit {
    const char* command;
    const char* surface;
    const char* part;  // "geometries", "parameters"
  };
  for (const Edit& edit : {Edit{"edit box 2 -4 0 4 -2 2 1", "Concrete", "geometries"},  // a concrete box
                           Edit{"edit color 2 0.8 0.2 0.1", "Plaster", "parameters"}}) {
    SCOPED_TRACE(edit.command);
    const auto before = mirror.readCounts();
    Host(edit.command);
    const json read = AwaitVelmar(edit.part);
    for (const char* part : {"geometries", "parameters", "textures"})
      EXPECT_EQ(read.value(part, -1), std::string(part) == edit.part ? 1 : 0) << read;
    mirror.Update();
    EXPECT_TRUE(mirror.TakeProblems().empty());
    ExpectMirrorEqualsModel(mirror.scene(), Saved());
    const auto after = mirror.readCounts();
    for (const auto& [name, id] : ids) {
      SCOPED_TRACE(name);
      const bool edited = name == edit.surface;
      const bool geometry = std::string(edit.part) == "geometries";
      EXPECT_EQ(after.at(id).geometry, before.at(id).geometry + (edited && geometry ? 1 : 0));
      EXPECT_EQ(after.at(id).parameters, before.at(id).parameters + (edited && !geometry ? 1 : 0));
      EXPECT_EQ(after.at(id).texture, before.at(id).texture);
    }
  }

  guest.Close();
  Host("menu 32103");  // Stop Corvanta
  EXPECT_TRUE(velmar_->Next("link-ended", [](const json&) { return true; }).is_object());
}

}  // namespace
