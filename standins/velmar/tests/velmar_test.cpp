// velmar as a real separate process against a publisher in the test
// process: finding and opening the link, wake-ups and what they report,
// ending the link, clean exit on signals, pictures, glTF and the content
// each update names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>
#include <string>

#include "child_process.h"
#include "isolation.h"
#include "image.h"
#include "livelink/live_connection.h"

using namespace CorvantaAPI;
using livelink_test::ChildProcess;
using livelink_test::UniqueName;
using nlohmann::json;

namespace {

constexpr int kWaitMs = 10000;

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// Next JSON line whose "event" is event; null json on timeout.
json WaitEvent(ChildProcess& child, const std::string& event, int timeoutMs = kWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string line;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !child.ReadLine(&line, static_cast<int>(left.count()))) return json();
    json value = json::parse(line, nullptr, false);
    if (value.is_discarded()) {
      ADD_FAILURE() << "not JSON: " << line;
      continue;
    }
    if (value.value("event", "") == event) return value;
  }
}

std::unique_ptr<ChildProcess> StartVelmar(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--json"};
  all.insert(all.end(), args.begin(), args.end());
  auto child = ChildProcess::Start(VELMAR_PROGRAM, all);
  if (child == nullptr) return nullptr;
  if (WaitEvent(*child, "ready").is_null()) return nullptr;
  return child;
}

// Runs velmar to completion; its output and exit code.
std::pair<std::string, int> RunVelmar(const std::vector<std::string>& args) {
  auto child = ChildProcess::Start(VELMAR_PROGRAM, args);
  if (child == nullptr) return {"", -1};
  std::string output, line;
  while (child->ReadLine(&line, kWaitMs)) output += line + "\n";
  const int status = child->Wait(kWaitMs);
  return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

const json* FindRecord(const json& records, const std::string& type) {
  for (const auto& record : records)
    if (record["type"] == type) return &record;
  return nullptr;
}

// The hand-made scene publisher in a process of its own, asked line by line.
class ScenePublisher {
 public:
  explicit ScenePublisher(const std::u16string& name)
      : child_(ChildProcess::Start(VELMAR_PUBLISHER, {Narrow(name)})) {}
  bool Started() { return child_ != nullptr && child_->WaitFor("created", kWaitMs) == "created 0"; }
  // The answer to command (a test failure when none comes).
  std::string Ask(const std::string& command) {
    std::string line;
    EXPECT_TRUE(child_->Send(command) && child_->ReadLine(&line, kWaitMs)) << command;
    return line;
  }
  void Quit() { child_->Send("quit"); }
  void Kill() { child_->Signal(SIGKILL); }

 private:
  std::unique_ptr<ChildProcess> child_;
};

class PeerVelmarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = UniqueName("velmar");
    ASSERT_EQ(link_.Create(name_, 5000), 0);
    link_.UpdateStatus({{u"toolName", {0, u"Host Modeller"}}, {u"vertexCount", {1, u"24"}}});
  }
  std::u16string name_;
  LiveConnection link_;
};

}  // namespace

TEST_F(PeerVelmarTest, FollowsAnAnnouncedLinkAndReportsEachWakeUp) {
  EXPECT_EQ(link_.Notify(kNotifyChanged, 0), -1);  // no renderer yet
  link_.Announce();
  auto velmar = StartVelmar({"--app-version", "8.4.1", "run", "--exit-when-ended"});
  ASSERT_NE(velmar, nullptr);
  json opened = WaitEvent(*velmar, "opened");
  ASSERT_FALSE(opened.is_null());
  EXPECT_EQ(opened["name"], Narrow(name_));
  const json& first = opened["snapshot"];
  EXPECT_EQ(first["capacity"], 5000);
  EXPECT_EQ(first["recordCount"], 3);
  EXPECT_EQ(first["status"], "{\"toolName\":\"Host%20Modeller\",\"vertexCount\":\"24\"}");
  ASSERT_NE(FindRecord(first["records"], "VIEW"), nullptr);
  ASSERT_NE(FindRecord(first["records"], "STAT"), nullptr);

  // A batch: one surface, the changed flag, the wake-up.
  ASSERT_TRUE(link_.Lock(10000));
  Record* surface = link_.CreateRecord(kTypeSurface);
  link_.SetRecordFlags(surface, kFlagChanged);
  link_.SetFlags(kFlagChanged);
  link_.Unlock();
  EXPECT_EQ(link_.Notify(kNotifyChanged, 0), 0);
  json wake = WaitEvent(*velmar, "wake");
  ASSERT_FALSE(wake.is_null());
  EXPECT_EQ(wake["code"], 2);
  EXPECT_EQ(wake["parameter"], 0);
  const json& changed = wake["changes"]["records"];
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(changed[0]["type"], "SRFC");
  EXPECT_EQ(changed[0]["id"], surface->id);
  EXPECT_EQ(changed[0]["changeCount"], 1);
  EXPECT_EQ(changed[0]["change"], "new");
  EXPECT_EQ(wake["snapshot"]["changeCount"], 2);

  // The camera: position (1, 2, 3) at byte 592 of the camera data.
  std::vector<std::uint8_t> camera(kCameraDataBytes, 0);
  const float eye[3] = {1.0f, 2.0f, 3.0f};
  const std::uint32_t kind = 6;
  std::memcpy(camera.data() + 584, &kind, 4);
  std::memcpy(camera.data() + 592, eye, sizeof eye);
  link_.UpdateView(true, camera.data());
  wake = WaitEvent(*velmar, "wake");
  ASSERT_FALSE(wake.is_null());
  ASSERT_TRUE(wake["changes"].contains("camera"));
  EXPECT_EQ(wake["changes"]["camera"]["active"], 1);
  EXPECT_EQ(wake["changes"]["camera"]["kind"], 6);
  EXPECT_EQ(wake["changes"]["camera"]["position"], json({1.0, 2.0, 3.0}));

  // The status moves to a bigger block: velmar follows it.
  link_.UpdateStatus({{u"toolName", {0, std::u16string(300, u'x')}}});
  link_.Notify(kNotifyChanged, 0);
  wake = WaitEvent(*velmar, "wake");
  ASSERT_FALSE(wake.is_null());
  EXPECT_EQ(wake["changes"]["status"], "{\"toolName\":\"" + std::string(300, 'x') + "\"}");

  // The publisher stops: velmar sees the registry value go and, asked to,
  // exits.
  link_.Destroy();
  json ended = WaitEvent(*velmar, "link-ended");
  ASSERT_FALSE(ended.is_null());
  EXPECT_EQ(ended["reason"], "the publisher removed it");
  const int status = velmar->Wait(kWaitMs);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(PeerVelmarTest, InterruptUnpublishesTheWindowAndExitsCleanly) {
  auto velmar = StartVelmar({"run", "--link", Narrow(name_)});
  ASSERT_NE(velmar, nullptr);
  ASSERT_FALSE(WaitEvent(*velmar, "opened").is_null());
  EXPECT_EQ(FindRendererWindows().size(), 1u);
  velmar->Signal(SIGINT);
  EXPECT_FALSE(WaitEvent(*velmar, "exit").is_null());
  const int status = velmar->Wait(kWaitMs);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(FindRendererWindows().empty());
  EXPECT_EQ(link_.Notify(kNotifyChanged, 0), -1);
}

// A publisher that dies, or that truncates the control area velmar has
// mapped (velmar's next read meets zeros instead of SIGBUS): velmar says
// the link ended and why, and exits as asked.
TEST(PeerVelmarEndTest, APublisherThatDiesOrShrinksTheAreaEndsTheLink) {
  for (const bool kill : {true, false}) {
    SCOPED_TRACE(kill ? "killed" : "shrunk");
    const std::u16string name = UniqueName("ending");
    ScenePublisher publisher(name);
    ASSERT_TRUE(publisher.Started());
    publisher.Ask("surface BOX 0 ff0000 1 Red");
    publisher.Ask("box BOX -0.5 0 2 0.5 1 3");
    publisher.Ask("geometry BOX");
    publisher.Ask("publish");
    auto velmar = StartVelmar({"run", "--exit-when-ended"});
    ASSERT_NE(velmar, nullptr);
    json update = WaitEvent(*velmar, "update");
    ASSERT_FALSE(update.is_null());
    EXPECT_EQ(update["scene"]["triangles"], 12);
    if (kill)
      publisher.Kill();
    else
      EXPECT_EQ(publisher.Ask("shrinkarea"), "shrunk 0");  // read at the next liveness check at the latest
    const json ended = WaitEvent(*velmar, "link-ended");
    ASSERT_FALSE(ended.is_null());
    EXPECT_EQ(ended["name"], Narrow(name));
    EXPECT_EQ(ended["reason"], kill ? "the publisher is gone" : "its shared memory was shrunk under this renderer");
    const int status = velmar->Wait(kWaitMs);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    if (!kill) publisher.Quit();
  }
}

TEST_F(PeerVelmarTest, ListShowAndEndFromTheCommandLine) {
  auto [output, code] = RunVelmar({"--json", "list"});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(json::parse(output)["links"], json::array());
  link_.Announce();
  std::tie(output, code) = RunVelmar({"--json", "list"});
  EXPECT_EQ(json::parse(output)["links"], json::array({Narrow(name_)}));

  std::tie(output, code) = RunVelmar({"show", Narrow(name_)});
  EXPECT_EQ(code, 0);
  EXPECT_NE(output.find("STAT"), std::string::npos);
  EXPECT_NE(output.find("Host%20Modeller"), std::string::npos);

  // A control area whose header does not describe the mapping is refused.
  link_.Area().header()->totalSize = 1u << 30;
  std::tie(output, code) = RunVelmar({"show", Narrow(name_)});
  EXPECT_EQ(code, 1);
  link_.Area().header()->totalSize = 5001 * 2048;

  std::tie(output, code) = RunVelmar({"end", Narrow(name_)});
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(link_.IsConnected());
  EXPECT_EQ(RunVelmar({"end", "C:\\no\\such.dae"}).second, 1);
}

namespace {

// The next update whose content satisfies holds; null json on timeout.
template <typename Holds>
json WaitUpdate(ChildProcess& child, Holds holds) {
  for (;;) {
    json update = WaitEvent(child, "update");
    if (update.is_null() || holds(update)) return update;
  }
}

// The surface of that record id among those an update names; null if absent.
json Named(const json& update, unsigned id) {
  for (const json& surface : update["changed"]["surfaces"])
    if (surface["id"] == id) return surface;
  return json();
}

unsigned IdOf(const std::string& answer) {  // "surface KEY ID"
  return static_cast<unsigned>(std::stoul(answer.substr(answer.rfind(' ') + 1)));
}

}  // namespace

// Each update says by content what it brought: the surfaces it touched with
// name, colour, triangles, bounds and a digest of their triangles, the
// surfaces that went, the camera. A script can thus tell the update that
// carries an edit from one that carries something else (the status). A
// picture follows each update, drawn from the camera once there is one;
// the glTF file is written when the link ends.
TEST(PeerVelmarContentTest, EachUpdateNamesWhatItBroughtPicturesFollowAndGltfEnds) {
  const std::u16string name = UniqueName("content");
  ScenePublisher publisher(name);
  ASSERT_TRUE(publisher.Started());
  auto ask = [&](const std::string& command) { return publisher.Ask(command); };
  const unsigned box = IdOf(ask("surface BOX 0 ff0000 1 Red"));
  ask("box BOX -0.5 0 2 0.5 1 3");
  ask("geometry BOX");
  const unsigned wall = IdOf(ask("surface WALL 0 c8c8c8 1 Wall"));
  ask("quad WALL -2 0 5 -2 3 5 2 3 5 2 0 5");
  ask("geometry WALL");
  ask("texture WALL 8 8 5");
  ask("publish");

  const auto dir = std::filesystem::temp_directory_path() / ("velmar-content-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string glb = (dir / "model.glb").string();
  auto velmar = StartVelmar({"run", "--link", Narrow(name), "--snapshots", dir.string(), "--gltf", glb,
                             "--size", "160x120", "--exit-when-ended"});
  ASSERT_NE(velmar, nullptr);
  json update = WaitUpdate(*velmar, [&](const json& u) { return Named(u, wall)["triangles"] == 2; });
  ASSERT_FALSE(update.is_null());
  EXPECT_EQ(update["scene"]["surfaces"], 2);
  EXPECT_EQ(update["scene"]["triangles"], 14);
  EXPECT_EQ(update["scene"]["textures"], 1);
  const json picture = WaitEvent(*velmar, "picture");
  ASSERT_FALSE(picture.is_null());
  EXPECT_EQ(picture["camera"], "framing");  // no camera sent yet
  velmar::Image image;
  std::string error;
  ASSERT_TRUE(velmar::ReadImageFile(picture["path"], &image, &error)) << error;
  EXPECT_EQ(image.width, 160);
  EXPECT_EQ(image.height, 120);
  json red = Named(update, box);
  EXPECT_EQ(red["name"], "Red");
  EXPECT_EQ(red["colour"], "FFFF0000");
  EXPECT_EQ(red["triangles"], 12);
  EXPECT_EQ(red["vertices"], 24);
  EXPECT_EQ(red["bounds"]["min"], json({-0.5, 0.0, 2.0}));
  EXPECT_EQ(red["bounds"]["max"], json({0.5, 1.0, 3.0}));
  EXPECT_TRUE(red["texture"].is_null());
  EXPECT_EQ(Named(update, wall)["name"], "Wall");
  const std::string boxDigest = red["geometryDigest"];
  ASSERT_EQ(boxDigest.size(), 16u);
  EXPECT_NE(boxDigest, Named(update, wall)["geometryDigest"]);

  // The same box written face by face in the other order, in a block laid
  // out otherwise: the same triangles, the same digest; only that surface
  // is named.
  const unsigned copy = IdOf(ask("surface COPY 0 0000ff 1 Copy"));
  const char* faces[6] = {"-0.5 0 3 -0.5 0 2 0.5 0 2 0.5 0 3",   "-0.5 1 2 -0.5 1 3 0.5 1 3 0.5 1 2",
                          "0.5 0 2 0.5 1 2 0.5 1 3 0.5 0 3",     "-0.5 0 3 -0.5 1 3 -0.5 1 2 -0.5 0 2",
                          "0.5 0 3 0.5 1 3 -0.5 1 3 -0.5 0 3",   "-0.5 0 2 -0.5 1 2 0.5 1 2 0.5 0 2"};
  for (const char* face : faces) ask(std::string("quad COPY ") + face);
  ask("geometry COPY");
  ask("publish");
  update = WaitUpdate(*velmar, [&](const json& u) { return Named(u, copy)["triangles"] == 12; });
  ASSERT_FALSE(update.is_null());
  EXPECT_EQ(Named(update, copy)["geometryDigest"], boxDigest);
  EXPECT_TRUE(Named(update, box).is_null());
  EXPECT_TRUE(Named(update, wall).is_null());
  // A colour: the record's new colour, the triangles as they were.
  ask("material BOX 00ff00");
  ask("publish");
  update = WaitUpdate(*velmar, [&](const json& u) { return !Named(u, box).is_null(); });
  ASSERT_FALSE(update.is_null());
  EXPECT_EQ(Named(update, box)["colour"], "FF00FF00");
  EXPECT_EQ(Named(update, box)["geometryDigest"], boxDigest);
  EXPECT_EQ(update["changed"]["surfaces"].size(), 1u);
  EXPECT_FALSE(update["changed"].contains("camera"));

  // A retired surface is named as gone.
  ask("retire COPY");
  ask("publish");
  update = WaitUpdate(*velmar, [](const json& u) { return !u["changed"]["removed"].empty(); });
  ASSERT_FALSE(update.is_null());
  EXPECT_EQ(update["changed"]["removed"], json({copy}));
  EXPECT_TRUE(update["changed"]["surfaces"].empty());

  // The camera: its record, and no surface; the picture is drawn from it,
  // the green box in the middle.
  ask("camera 0 1.5 -3 0 1.5 5 60");
  update = WaitUpdate(*velmar, [](const json& u) { return u["changed"].contains("camera"); });
  ASSERT_FALSE(update.is_null());
  const json& camera = update["changed"]["camera"];
  EXPECT_EQ(camera["followed"], true);
  EXPECT_EQ(camera["kind"], 6);
  EXPECT_EQ(camera["position"], json({0.0, 1.5, -3.0}));
  EXPECT_EQ(camera["backward"], json({0.0, 0.0, -1.0}));
  EXPECT_EQ(camera["fieldOfView"], 60.0);
  EXPECT_TRUE(update["changed"]["surfaces"].empty());
  const json followed = WaitEvent(*velmar, "picture");
  ASSERT_FALSE(followed.is_null());
  EXPECT_EQ(followed["camera"], "followed");
  ASSERT_TRUE(velmar::ReadImageFile(followed["path"], &image, &error)) << error;
  const std::uint8_t* centre = image.At(80, 80);  // the box's front face
  EXPECT_LT(centre[0], 20);
  EXPECT_GT(centre[1], 100);
  EXPECT_LT(centre[2], 20);

  // The status alone (read by velmar's own poll, no wake-up): an update that
  // names no surface and no camera.
  ask("status toolName=Other");
  update = WaitUpdate(*velmar, [](const json& u) { return u["read"]["status"] == true; });
  ASSERT_FALSE(update.is_null());
  EXPECT_TRUE(update["changed"]["surfaces"].empty());
  EXPECT_FALSE(update["changed"].contains("camera"));
  EXPECT_TRUE(update["changed"]["removed"].empty());

  // The link ends: the glTF file holds what was sent.
  ask("destroy");
  const json gltf = WaitEvent(*velmar, "gltf");
  ASSERT_FALSE(gltf.is_null());
  EXPECT_EQ(gltf["meshes"], 2);
  EXPECT_EQ(gltf["triangles"], 14);
  EXPECT_EQ(gltf["images"], 1);
  EXPECT_GT(std::filesystem::file_size(glb), 1000u);
  EXPECT_FALSE(WaitEvent(*velmar, "exit").is_null());
  std::filesystem::remove_all(dir);
}
