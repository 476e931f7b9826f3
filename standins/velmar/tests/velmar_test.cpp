// velmar as a real separate process against a publisher in the test
// process: finding and opening the link, wake-ups and what they report,
// ending the link, clean exit on signals, the installed-program entry.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

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

std::u16string ReadText(HKEY key, const char16_t* name) {
  char16_t buffer[512] = {};
  DWORD bytes = sizeof buffer - 2;
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes) != 0)
    return u"<missing>";
  return std::u16string(buffer);
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

TEST(PeerVelmarHelpTest, HelpDocumentsEveryCommand) {
  const auto [output, code] = RunVelmar({"--help"});
  EXPECT_EQ(code, 0);
  for (const char* word : {"run", "list", "show", "end", "install", "uninstall", "--json",
                           "--app-version", "0x8729", "InstallLocation"})
    EXPECT_NE(output.find(word), std::string::npos) << word;
  EXPECT_NE(RunVelmar({"--no-such-option"}).second, 0);
}

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

TEST_F(PeerVelmarTest, RendererEndsTheLinkAndThePublisherSeesIt) {
  auto velmar = StartVelmar({"run", "--link", Narrow(name_), "--end-after", "1", "--exit-when-ended"});
  ASSERT_NE(velmar, nullptr);
  ASSERT_FALSE(WaitEvent(*velmar, "opened").is_null());
  EXPECT_TRUE(link_.IsConnected());
  EXPECT_EQ(link_.Notify(kNotifyChanged, 0), 0);
  ASSERT_FALSE(WaitEvent(*velmar, "ended").is_null());
  EXPECT_FALSE(link_.IsConnected());
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

  velmar = StartVelmar({"run"});
  ASSERT_NE(velmar, nullptr);
  velmar->Signal(SIGTERM);
  EXPECT_FALSE(WaitEvent(*velmar, "exit").is_null());
  EXPECT_NE(velmar->Wait(kWaitMs), -1);
}

// Wake-ups that queue up while velmar is busy (here: stopped) are read
// together, in few turns; and a publisher that never stops sending cannot
// keep velmar from seeing Ctrl-C.
TEST_F(PeerVelmarTest, QueuedWakeUpsAreReadTogetherAndAFloodCannotHoldOffAnInterrupt) {
  auto velmar = StartVelmar({"run", "--link", Narrow(name_)});
  ASSERT_NE(velmar, nullptr);
  ASSERT_FALSE(WaitEvent(*velmar, "opened").is_null());
  velmar->Signal(SIGSTOP);
  int delivered = 0;
  for (int i = 0; i < 2000; ++i) delivered += link_.Notify(kNotifyChanged, i) == 0 ? 1 : 0;
  // The socket queues a few (the kernel's datagram queue length).
  ASSERT_GT(delivered, 4);
  velmar->Signal(SIGCONT);
  int events = 0, merged = 0;
  while (merged < delivered) {
    const json wake = WaitEvent(*velmar, "wake");
    ASSERT_FALSE(wake.is_null()) << merged << " of " << delivered << " wake-ups seen";
    ++events;
    merged += wake.value("merged", 1);
  }
  EXPECT_EQ(merged, delivered);
  EXPECT_LE(events, 2) << delivered << " queued wake-ups";

  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    while (flooding.load()) link_.Notify(kNotifyChanged, 0);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  velmar->Signal(SIGINT);
  const bool exited = !WaitEvent(*velmar, "exit", 3000).is_null();
  flooding = false;
  flood.join();
  EXPECT_TRUE(exited) << "velmar did not stop under the flood";
  EXPECT_NE(velmar->Wait(kWaitMs), -1);
}

TEST_F(PeerVelmarTest, NoticesThePublisherDying) {
  const std::u16string name = UniqueName("dying");
  auto publisher = ChildProcess::Start(LIVELINK_PEER, {"create", Narrow(name), "8"});
  ASSERT_NE(publisher, nullptr);
  ASSERT_EQ(publisher->WaitFor("created", kWaitMs), "created 0");
  auto velmar = StartVelmar({"run", "--link", Narrow(name), "--exit-when-ended"});
  ASSERT_NE(velmar, nullptr);
  ASSERT_FALSE(WaitEvent(*velmar, "opened").is_null());
  publisher->Signal(SIGKILL);
  json ended = WaitEvent(*velmar, "link-ended");
  ASSERT_FALSE(ended.is_null());
  EXPECT_EQ(ended["reason"], "the publisher is gone");
}

// A publisher that truncates the control area velmar has mapped: velmar's
// next read of it meets zeros instead of SIGBUS, says the link ended and
// why, and follows the next link that appears.
TEST(PeerVelmarShrinkTest, AnAreaShrunkUnderVelmarEndsThatLinkAndTheNextIsFollowed) {
  const std::u16string first = UniqueName("shrunk");
  ScenePublisher publisher(first);
  ASSERT_TRUE(publisher.Started());
  auto ask = [&](const std::string& command) { return publisher.Ask(command); };
  ask("surface BOX 0 ff0000 1 Red");
  ask("box BOX -0.5 0 2 0.5 1 3");
  ask("geometry BOX");
  ask("publish");

  auto velmar = StartVelmar({"run"});
  ASSERT_NE(velmar, nullptr);
  json update = WaitEvent(*velmar, "update");
  ASSERT_FALSE(update.is_null());
  EXPECT_EQ(update["scene"]["triangles"], 12);

  // velmar reads the area at its next liveness check at the latest.
  EXPECT_EQ(ask("shrinkarea"), "shrunk 0");
  const json ended = WaitEvent(*velmar, "link-ended");
  ASSERT_FALSE(ended.is_null());
  EXPECT_EQ(ended["name"], Narrow(first));
  EXPECT_EQ(ended["reason"], "its shared memory was shrunk under this renderer");
  publisher.Quit();

  // The next link is followed as any other.
  const std::u16string second = UniqueName("after-shrunk");
  LiveConnection next;
  ASSERT_EQ(next.Create(second, 16), 0);
  next.Announce();
  json opened;
  do {
    opened = WaitEvent(*velmar, "opened");
  } while (!opened.is_null() && opened["name"] != Narrow(second));
  ASSERT_FALSE(opened.is_null());
  EXPECT_EQ(next.Notify(kNotifyChanged, 0), 0);
  EXPECT_FALSE(WaitEvent(*velmar, "wake").is_null());
  velmar->Signal(SIGINT);
  const int status = velmar->Wait(kWaitMs);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
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

// A hostile publisher's text: an escape sequence that retitles the window,
// one that clears the screen, a bell, a line break that forges a line of
// velmar's own. On the terminal it shows escaped; in JSON it is the text.
TEST_F(PeerVelmarTest, TextFromSharedMemoryIsEscapedOnTheTerminalAndKeptInJson) {
  const std::u16string hostile = u"\x1b]0;owned\x07{\"a\":\"\x1b[2J\nproblem: forged\"\x9b}";
  auto* stat = reinterpret_cast<StatRecord*>(link_.OwnStatRecord());
  auto* text = static_cast<char16_t*>(link_.OpenBlock(stat->blockId));
  ASSERT_NE(text, nullptr);
  ASSERT_GE(stat->blockCapacity, (hostile.size() + 1) * 2);
  std::memcpy(text, hostile.c_str(), (hostile.size() + 1) * 2);
  link_.SetLabel(u"House\x1b[8m hidden\r");
  link_.Announce();
  const std::string utf8 = "\x1b]0;owned\x07{\"a\":\"\x1b[2J\nproblem: forged\"\xC2\x9B}";

  auto terminalSafe = [](const std::string& output) {
    for (unsigned char c : output)
      if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
    return output.find("\xC2\x9B") == std::string::npos && output.find("\nproblem: forged") == std::string::npos;
  };
  auto [output, code] = RunVelmar({"show", Narrow(name_)});
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(terminalSafe(output)) << output;
  EXPECT_NE(output.find("\\x1b]0;owned\\x07"), std::string::npos) << output;
  EXPECT_NE(output.find("\\x0aproblem: forged\"\\u009b}"), std::string::npos) << output;
  EXPECT_NE(output.find("label: House\\x1b[8m hidden\\x0d\n"), std::string::npos) << output;

  // The mirror refuses the status (not JSON) and says so, quoting it.
  const std::string png = (std::filesystem::temp_directory_path() /
                           ("velmar-hostile-" + std::to_string(::getpid()) + ".png")).string();
  std::tie(output, code) = RunVelmar({"snapshot", Narrow(name_), "--out", png, "--size", "32x32"});
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(terminalSafe(output)) << output;
  EXPECT_NE(output.find("problem: STAT record"), std::string::npos) << output;
  EXPECT_NE(output.find("not a JSON object: \\x1b]0;owned"), std::string::npos) << output;

  // In JSON every line parses and carries the text as it was.
  for (const auto& args : {std::vector<std::string>{"--json", "show", Narrow(name_)},
                           std::vector<std::string>{"--json", "snapshot", Narrow(name_), "--out", png, "--size", "32x32"}}) {
    std::tie(output, code) = RunVelmar(args);
    EXPECT_EQ(code, 0);
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
      const json line = json::parse(output.substr(start, end - start), nullptr, false);
      ASSERT_FALSE(line.is_discarded()) << output.substr(start, end - start);
      if (line["event"] == "snapshot")
        quoted = line["snapshot"]["status"] == utf8 && line["snapshot"]["label"] == "House\x1b[8m hidden\r";
      if (line["event"] == "problem")
        quoted = line["record"] == "STAT" && line["message"] == "not a JSON object: " + utf8;
    }
    EXPECT_TRUE(quoted) << args[1] << ": " << output;
  }
  std::filesystem::remove(png);
}

TEST(PeerVelmarInstallTest, EntersAndRemovesItselfFromTheInstalledPrograms) {
  auto [output, code] = RunVelmar({"--json", "--app-version", "9.1.2", "install", "--key", "VelmarTest"});
  ASSERT_EQ(code, 0) << output;
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VelmarTest", 0,
                          KEY_READ, &key),
            0);
  EXPECT_EQ(ReadText(key, u"DisplayName"), u"Velmar 9.1.2");
  EXPECT_EQ(ReadText(key, u"DisplayVersion"), u"9.1.2");
  // The launcher appends the executable's name to the location.
  const std::u16string location = ReadText(key, u"InstallLocation");
  RegCloseKey(key);
  std::string program = VELMAR_PROGRAM;
  EXPECT_EQ(Narrow(location) + "velmar", program);

  std::tie(output, code) = RunVelmar({"uninstall", "--key", "VelmarTest"});
  EXPECT_EQ(code, 0);
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VelmarTest", 0,
                          KEY_READ, &key),
            0);
  EXPECT_EQ(RunVelmar({"uninstall", "--key", "VelmarTest"}).second, 1);
}

// velmar drawing and saving what a publisher in a third process sends:
// a picture after each update, the snapshot command, glTF when the link ends.
TEST(PeerVelmarPicturesTest, PicturesAfterEachUpdateSnapshotOnRequestAndGltfAtTheEnd) {
  const std::u16string name = UniqueName("pictures");
  ScenePublisher publisher(name);
  ASSERT_TRUE(publisher.Started());
  auto ask = [&](const std::string& command) { return publisher.Ask(command); };
  const auto dir = std::filesystem::temp_directory_path() / ("velmar-pictures-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string glb = (dir / "model.glb").string();

  ask("surface WALL 0 c8c8c8 1 Wall");
  ask("quad WALL -2 0 5 -2 3 5 2 3 5 2 0 5");
  ask("geometry WALL");
  ask("texture WALL 8 8 5");
  ask("surface BOX 0 ff0000 1 Red");
  ask("box BOX -0.5 0 2 0.5 1 3");
  ask("geometry BOX");
  ask("publish");  // announces the link

  auto velmar = StartVelmar({"run", "--link", Narrow(name), "--snapshots", dir.string(), "--gltf", glb,
                             "--size", "160x120", "--exit-when-ended"});
  ASSERT_NE(velmar, nullptr);
  json update = WaitEvent(*velmar, "update");
  ASSERT_FALSE(update.is_null());
  EXPECT_EQ(update["scene"]["surfaces"], 2);
  EXPECT_EQ(update["scene"]["triangles"], 14);
  EXPECT_EQ(update["scene"]["textures"], 1);
  json first = WaitEvent(*velmar, "picture");
  ASSERT_FALSE(first.is_null());
  EXPECT_EQ(first["camera"], "framing");  // no camera sent yet
  velmar::Image image;
  std::string error;
  ASSERT_TRUE(velmar::ReadImageFile(first["path"], &image, &error)) << error;
  EXPECT_EQ(image.width, 160);
  EXPECT_EQ(image.height, 120);

  // An edit and a camera: the next picture is drawn from the camera, and the
  // box there is orange.
  ask("material BOX ff8000");
  ask("publish");
  ASSERT_FALSE(WaitEvent(*velmar, "update", kWaitMs).is_null());
  ask("camera 0 1.5 -3 0 1.5 5 60");
  json second;
  for (int i = 0; i < 3 && (second.is_null() || second["camera"] != "followed"); ++i)
    second = WaitEvent(*velmar, "picture");
  ASSERT_FALSE(second.is_null());
  EXPECT_EQ(second["camera"], "followed");
  ASSERT_TRUE(velmar::ReadImageFile(second["path"], &image, &error)) << error;
  const std::uint8_t* centre = image.At(80, 80);  // the box's front face
  EXPECT_GT(centre[0], 150);
  EXPECT_GT(centre[1], 60);
  EXPECT_LT(centre[2], 20);

  // On request, from another velmar.
  const std::string asked = (dir / "asked.png").string();
  const auto [output, code] = RunVelmar({"--json", "snapshot", Narrow(name), "--out", asked, "--framing"});
  EXPECT_EQ(code, 0) << output;
  EXPECT_NE(output.find("\"triangles\":14"), std::string::npos) << output;
  EXPECT_TRUE(velmar::ReadImageFile(asked, &image, &error)) << error;

  // The link ends: the glTF file holds what was sent.
  ask("destroy");
  json gltf = WaitEvent(*velmar, "gltf");
  ASSERT_FALSE(gltf.is_null());
  EXPECT_EQ(gltf["meshes"], 2);
  EXPECT_EQ(gltf["triangles"], 14);
  EXPECT_EQ(gltf["images"], 1);
  EXPECT_TRUE(std::filesystem::file_size(glb) > 1000);
  EXPECT_FALSE(WaitEvent(*velmar, "exit").is_null());
  std::filesystem::remove_all(dir);
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
// carries an edit from one that carries something else (the status).
TEST(PeerVelmarContentTest, EachUpdateNamesWhatItBroughtByContent) {
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
  ask("publish");

  auto velmar = StartVelmar({"run", "--link", Narrow(name), "--exit-when-ended"});
  ASSERT_NE(velmar, nullptr);
  json update = WaitUpdate(*velmar, [&](const json& u) { return Named(u, wall)["triangles"] == 2; });
  ASSERT_FALSE(update.is_null());
  json red = Named(update, box);
  EXPECT_EQ(red["name"], "Red");
  EXPECT_EQ(red["colour"], "FFFF0000");
  EXPECT_EQ(red["triangles"], 12);
  EXPECT_EQ(red["vertices"], 24);
  EXPECT_EQ(red["bounds"]["min"], json({-0.5, 0.0, 2.0}));
  EXPECT_EQ(red["bounds"]["max"], json({0.5, 1.0, 3.0}));
  EXPECT_TRUE(red["texture"].is_null());
  EXPECT_EQ(Named(update, wall)["name"], "Wall");
  EXPECT_LE(update["readAt"].get<double>(), update["at"].get<double>());
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
  // With a back copy it is other triangles.
  ask("double COPY");
  ask("geometry COPY");
  ask("publish");
  update = WaitUpdate(*velmar, [&](const json& u) { return Named(u, copy)["triangles"] == 24; });
  ASSERT_FALSE(update.is_null());
  EXPECT_NE(Named(update, copy)["geometryDigest"], boxDigest);

  // The box moves: new bounds, a new digest.
  ask("clear BOX");
  ask("box BOX 1 0 2 2 1 3");
  ask("geometry BOX");
  ask("publish");
  update = WaitUpdate(*velmar, [&](const json& u) { return !Named(u, box).is_null(); });
  ASSERT_FALSE(update.is_null());
  red = Named(update, box);
  EXPECT_EQ(red["triangles"], 12);
  EXPECT_EQ(red["bounds"]["min"], json({1.0, 0.0, 2.0}));
  const std::string movedDigest = red["geometryDigest"];
  EXPECT_NE(movedDigest, boxDigest);

  // A colour: the record's new colour, the triangles as they were.
  ask("material BOX 00ff00");
  ask("publish");
  update = WaitUpdate(*velmar, [&](const json& u) { return !Named(u, box).is_null(); });
  ASSERT_FALSE(update.is_null());
  EXPECT_EQ(Named(update, box)["colour"], "FF00FF00");
  EXPECT_EQ(Named(update, box)["geometryDigest"], movedDigest);
  EXPECT_EQ(update["changed"]["surfaces"].size(), 1u);
  EXPECT_FALSE(update["changed"].contains("camera"));

  // The camera: its record, and no surface.
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

  // The status alone (read by velmar's own poll, no wake-up): an update that
  // names no surface and no camera.
  ask("status toolName=Other");
  update = WaitUpdate(*velmar, [](const json& u) { return u["read"]["status"] == true; });
  ASSERT_FALSE(update.is_null());
  EXPECT_TRUE(update["changed"]["surfaces"].empty());
  EXPECT_FALSE(update["changed"].contains("camera"));
  EXPECT_TRUE(update["changed"]["removed"].empty());

  // A retired surface is named as gone.
  ask("retire COPY");
  ask("publish");
  update = WaitUpdate(*velmar, [](const json& u) { return !u["changed"]["removed"].empty(); });
  ASSERT_FALSE(update.is_null());
  EXPECT_EQ(update["changed"]["removed"], json({copy}));
  EXPECT_TRUE(update["changed"]["surfaces"].empty());

  publisher.Quit();
  velmar->Signal(SIGINT);
  EXPECT_NE(velmar->Wait(kWaitMs), -1);
}
