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
#include <array>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>

#include "base/utf.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "isolation.h"
#include "livelink/live_connection.h"
#include "scene_mirror.h"
#include "tools/velmar_peer.h"

using namespace velmar;
using velmar_test::ChildProcess;
using velmar_test::json;
namespace fs = std::filesystem;

namespace {

constexpr int kWaitMs = 30000;
// The vertical model offset the test sets in the add-on's settings, so
// that the frame's up axis is seen to carry it.
constexpr float kOffset = 0.25f;

// One surface as a renderer draws it: triangles, their bounds, the
// material's fields and the texture's pixels (R, G, B, A). What the host's
// model predicts and what the mirror holds are brought to this form and
// compared whole; floats within a few units in the last place.
struct Drawn {
  std::size_t triangles = 0;
  Bounds bounds;
  std::uint32_t colour = 0;
  std::int32_t surfaceType = 0;
  std::array<float, 4> fields{1, 0, 0, 0};  // opacity, shine, attenuation, percentage
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgba;

  bool operator==(const Drawn& o) const {
    auto near = [](float a, float b, float tolerance) { return std::fabs(a - b) <= tolerance; };
    bool same = triangles == o.triangles && bounds.empty == o.bounds.empty && colour == o.colour &&
                surfaceType == o.surfaceType && width == o.width && height == o.height && rgba == o.rgba;
    for (int i = 0; i < 4; ++i)
      same = same && near(fields[i], o.fields[i], 1e-6f) &&
             (i == 3 || (near(bounds.min[i], o.bounds.min[i], 1e-4f) && near(bounds.max[i], o.bounds.max[i], 1e-4f)));
    return same;
  }
};

void PrintTo(const Drawn& d, std::ostream* out) {
  *out << d.triangles << " triangles from (" << d.bounds.min[0] << " " << d.bounds.min[1] << " " << d.bounds.min[2]
       << "), colour " << std::hex << d.colour << std::dec << ", type " << d.surfaceType << ", opacity " << d.fields[0]
       << ", texture " << d.width << "x" << d.height;
}

std::uint8_t Channel(double value) { return static_cast<std::uint8_t>(static_cast<int>(value * 255) & 0xFF); }

// The surfaces of a project by name: the default material (no host
// attribute behind it: triangles only), and one per material that a
// visible polygon uses, with the triangles of the polygons' convex pieces
// (a fan of m - 2 per piece; twice for an open body, which the renderer
// gets with both sides) in the renderer's frame (x, z + offset, y).
std::map<std::string, Drawn> FromModel(const hostmodel::Project& project) {
  std::map<std::string, Drawn> surfaces;
  surfaces["Default material"];
  for (const auto& element : project.elements)
    for (const auto& body : element.bodies)
      for (const auto& polygon : body.polygons) {
        if (polygon.invisible) continue;
        EXPECT_EQ(polygon.textureIndex, 0) << "a polygon texture of its own makes a surface of its own";
        const hostmodel::Material* material = project.MaterialAt(polygon.materialIndex);
        Drawn& e = surfaces[material != nullptr ? material->name : "Default material"];
        if (material != nullptr) {
          const hostmodel::Texture* texture = project.TextureAt(material->textureIndex);
          const auto& c = material->surfaceColor;
          e.colour =
              texture != nullptr ? 0x00FFFFFFu : 0xFF000000u | Channel(c.r) << 16 | Channel(c.g) << 8 | Channel(c.b);
          e.fields = {std::clamp(1.0f - material->transparency / 100.0f, 0.0f, 1.0f), material->shininess / 10000.0f,
                      material->attenuation / 65535.0f, material->percentage / 100.0f};
          e.surfaceType = material->materialType == 5 ? 2 : 0;
          if (texture != nullptr) {
            // The host's pixels are A, R, G, B; alpha only counts for a cut-out.
            const bool cutOut = texture->hasAlphaChannel && texture->transparentPattern;
            e.width = texture->width;
            e.height = texture->height;
            e.rgba.resize(texture->pixels.size());
            for (std::size_t p = 0; p + 3 < e.rgba.size(); p += 4)
              for (std::size_t k = 0; k < 4; ++k)
                e.rgba[p + k] = k < 3 ? texture->pixels[p + k + 1] : cutOut ? texture->pixels[p] : 255;
          }
        }
        for (const auto& piece : polygon.convexPieces) {
          if (piece.size() < 3) continue;
          e.triangles += (piece.size() - 2) * (body.closed ? 1 : 2);
          for (std::int32_t v : piece) {
            const hostmodel::Vec3& p = body.vertices[static_cast<std::size_t>(v)];
            const float point[3] = {static_cast<float>(p.x), static_cast<float>(p.z) + kOffset,
                                    static_cast<float>(p.y)};
            e.bounds.Add(point);
          }
        }
      }
  return surfaces;
}

std::map<std::string, Drawn> FromMirror(const Scene& scene) {
  std::map<std::string, Drawn> surfaces;
  for (const Surface& s : scene.surfaces) {
    EXPECT_EQ(surfaces.count(s.name), 0u) << "two surfaces " << s.name;
    Drawn& d = surfaces[s.name];
    if (s.geometry != nullptr) {
      d.triangles = s.geometry->triangleCount();
      // What is drawn: a block may keep room (vertices no triangle uses).
      for (std::uint32_t v : s.geometry->indices) d.bounds.Add(&s.geometry->positions[3 * std::size_t(v)]);
    }
    if (s.name == "Default material") continue;
    d.colour = s.colour;
    d.surfaceType = s.surfaceType;
    d.fields = {s.opacity, s.shine, s.attenuation, s.percentage};
    if (s.texture != nullptr) {
      d.width = s.texture->image.width;
      d.height = s.texture->image.height;
      d.rgba = s.texture->image.rgba;
    }
  }
  return surfaces;
}

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
  }
  void TearDown() override {
    velmar_test::EndHostAndVelmar(host_.get(), velmar_.get());
    fs::remove_all(dir_);
  }

  // Runs one hostsim command and waits until it has run.
  void Host(const std::string& command) {
    ASSERT_TRUE(velmar_test::RunHostCommand(*host_, command, "model test step " + std::to_string(++steps_), kWaitMs));
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
    const json update = velmar_test::NextEvent(
        *velmar_, "update", [&](const json& e) { return e["read"].value(what, 0) > 0; }, kWaitMs);
    EXPECT_TRUE(update.is_object()) << "velmar read no " << what;
    return update.is_object() ? update["read"] : json();
  }

  fs::path dir_;
  std::string project_;
  std::u16string link_;
  std::unique_ptr<ChildProcess> velmar_;
  std::unique_ptr<ChildProcess> host_;
  int steps_ = 0;
};

TEST_F(ModelTest, TheMirrorEqualsTheHostsModelAndAnEditRereadsOnlyItsSurface) {
  velmar_ = ChildProcess::Start(VELMAR_PROGRAM, {"--json", "run", "--exit-when-ended"});
  ASSERT_TRUE(velmar_test::NextEvent(*velmar_, "ready").is_object());
  host_ = ChildProcess::Start(CORV_HOSTSIM_PATH, {"--no-launch", "--echo", "--addon", CORV_ADDON_PATH, "--json",
                                                  (dir_ / "session.jsonl").string()});
  ASSERT_NE(host_, nullptr);
  Host("open " + project_);
  // The add-on's vertical offset, set in its dialog: a custom height.
  Host("answer dialog 32205 select 9 6; set 11 0.25; click 1");
  Host("menu 32107");
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
    EXPECT_EQ(FromMirror(mirror.scene()), FromModel(Saved()));
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
    EXPECT_EQ(FromMirror(mirror.scene()), FromModel(Saved()));
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
  EXPECT_TRUE(velmar_test::NextEvent(*velmar_, "link-ended", kWaitMs).is_object());
}

}  // namespace
