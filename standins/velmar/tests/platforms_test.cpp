// The same publication gives a renderer the same canonical form on Linux
// and on Windows: the test publisher runs the same script once as a Linux
// program and once as a Windows program under Wine, and velmar on each side
// writes what it holds of the link as canonical bytes (snapshot
// --canonical). The two files must be equal byte for byte, and velmar
// following the link tells the same update on both. This catches
// what the platform layers could change between the publisher's memory and
// the renderer's form: record and block layouts, text widths, float bits,
// texture block decoding, the order of what the registry lists.
//
// The Windows side is the `windows` preset's build (CORV_WINDOWS_BUILD_DIR,
// else build/windows beside this build's sources); without it or without
// Wine the test is skipped and says which is missing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "child_process.h"
#include "isolation.h"
#include "livelink/canonical_bytes.h"
#include "test_temp_dir.h"

using livelink_test::ChildProcess;
namespace fs = std::filesystem;

namespace {

// Surfaces of every kind the renderer reads: boxes and a quad, a texture
// block, a recoloured material, non-ASCII and spaced names, a camera, one
// surface retired again, geometry written twice.
const std::vector<std::string> kScript = {
    "surface wall 1 C0B090 1 Wall \xC3\xA4u\xC3\x9F"
    "en",
    "box wall 0 0 0 4 0.25 3",
    "box wall 0 0 0 0.25 6 3",
    "geometry wall",
    "surface glass 2 80A0FF 0.35 Glass pane",
    "quad glass 1 0 1 3 0 1 3 0 2.5 1 0 2.5",
    "double glass",
    "geometry glass",
    "surface floor 3 FFFFFF 1 Floor",
    "box floor -1 -1 -0.2 5 7 0",
    "texture floor 16 8 7",
    "geometry floor",
    "surface gone 1 112233 1 Retired",
    "box gone 9 9 9 10 10 10",
    "geometry gone",
    "retire gone",
    "material wall A08060",
    "box wall 3.75 0 0 4 6 3",
    "geometry wall",
    "camera 10 -8 6 2 3 1 0.9",
    "publish",
};

std::string Trimmed(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// Runs the script through a started publisher; true when it made its link
// and answered every command (no "unknown", no surface refused).
bool Publish(ChildProcess& publisher) {
  std::string line;
  if (!publisher.ReadLine(&line, 90000) || Trimmed(line) != "created 0") {
    ADD_FAILURE() << "the publisher did not create its link: " << line;
    return false;
  }
  for (const std::string& command : kScript) {
    if (!publisher.Send(command) || !publisher.ReadLine(&line, 30000)) {
      ADD_FAILURE() << "no answer to " << command;
      return false;
    }
    line = Trimmed(line);
    const bool noRoom = command.rfind("surface ", 0) == 0 && line.size() > 2 && line.substr(line.size() - 2) == " 0";
    if (line.rfind("unknown", 0) == 0 || noRoom) {
      ADD_FAILURE() << command << ": " << line;
      return false;
    }
  }
  return true;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The canonical bytes that velmar (the command: the program, or the Wine
// runner and the program) wrote of link into file, read back from readBack
// (the same file under this system's path); empty with a failure when it
// wrote none.
std::string CanonicalOf(const std::vector<std::string>& velmar, const std::string& link, const std::string& file,
                        const fs::path& readBack) {
  std::vector<std::string> args(velmar.begin() + 1, velmar.end());
  args.insert(args.end(), {"--json", "snapshot", link, "--canonical", file});
  const auto child = ChildProcess::Start(velmar.front(), args);
  if (!child) {
    ADD_FAILURE() << "cannot start " << velmar.front();
    return {};
  }
  std::string line, events;
  while (child->ReadLine(&line, 90000)) events += line + "\n";
  const int status = child->Wait(30000);
  EXPECT_EQ(status, 0) << events;
  const std::string bytes = ReadFile(readBack);
  EXPECT_FALSE(bytes.empty()) << "velmar wrote no canonical form: " << events;
  EXPECT_NE(events.find("\"problems\":[]"), std::string::npos) << events;
  return bytes;
}

// velmar following the link (run, the program or the Wine runner and the
// program): its window is found and woken by the publisher's next
// publish, it reads the scene, and Ctrl-C ends it cleanly. The "update"
// event it told of the whole scene (fields that tell time or process left
// out), or null with a failure.
nlohmann::json FollowedUpdate(const std::vector<std::string>& velmar, const std::string& link,
                              ChildProcess& publisher) {
  std::vector<std::string> args(velmar.begin() + 1, velmar.end());
  args.insert(args.end(), {"--json", "run", "--link", link});
  const auto child = ChildProcess::Start(velmar.front(), args);
  if (!child) {
    ADD_FAILURE() << "cannot start " << velmar.front();
    return nullptr;
  }
  nlohmann::json update, wake, exit;
  std::string line;
  auto next = [&](const std::string& event) {
    for (;;) {
      if (!child->ReadLine(&line, 90000)) return nlohmann::json();
      nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
      if (!value.is_discarded() && value.value("event", "") == event) return value;
    }
  };
  update = next("update");
  EXPECT_FALSE(update.is_null()) << "no update after opening the link";
  // The wake-up goes to velmar's window: a real one of its class under Wine.
  EXPECT_TRUE(publisher.Send("publish") && publisher.ReadLine(&line, 30000)) << "publish";
  wake = next("wake");
  EXPECT_TRUE(!wake.is_null() && wake.value("linked", false)) << "no wake-up reached velmar: " << wake;
  child->Signal(SIGINT);
  exit = next("exit");
  EXPECT_EQ(exit.value("code", -1), 0) << "Ctrl-C did not end velmar cleanly: " << exit;
  EXPECT_EQ(child->Wait(30000), 0);
  if (update.is_null()) return nullptr;
  return {{"cause", update["cause"]}, {"scene", update["scene"]}, {"changed", update["changed"]}};
}

std::string Describe(const std::string& linuxBytes, const std::string& windowsBytes) {
  CorvantaAPI::CanonicalScene linuxScene, windowsScene;
  std::string error;
  if (!CorvantaAPI::DecodeCanonicalScene(linuxBytes, &linuxScene, &error)) return "Linux: " + error;
  if (!CorvantaAPI::DecodeCanonicalScene(windowsBytes, &windowsScene, &error)) return "Windows: " + error;
  const std::string differences = CorvantaAPI::DescribeDifferences(linuxScene, windowsScene, "Linux", "Windows");
  return differences.empty() ? "equal forms, different bytes: the encoding is not canonical" : differences;
}

}  // namespace

TEST(PlatformsTest, TheSameScriptGivesTheSameCanonicalBytesOnLinuxAndUnderWine) {
  const char* configured = std::getenv("CORV_WINDOWS_BUILD_DIR");
  const fs::path windowsBuild = configured != nullptr && *configured != '\0' ? configured : CORV_WINDOWS_BUILD_DIR;
  const fs::path windowsVelmar = windowsBuild / "standins/velmar/velmar.exe";
  const fs::path windowsPublisher = windowsBuild / "standins/velmar/velmar_test_publisher.exe";
  if (!fs::exists(windowsVelmar) || !fs::exists(windowsPublisher))
    GTEST_SKIP() << "no Windows build of velmar in " << windowsBuild
                 << " (cmake --preset windows && cmake --build --preset windows)";
  if (std::system("command -v wine64 >/dev/null 2>&1 || command -v wine >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "Wine is not installed (scripts/install-deps.sh)";
  livelink_test::Isolated();
  testsupport::TempDir folder("corv-platforms");
  const std::string link = "Platforms " + std::to_string(::getpid());

  auto linuxPublisher = ChildProcess::Start(VELMAR_PUBLISHER, {link});
  ASSERT_TRUE(linuxPublisher && Publish(*linuxPublisher));
  const fs::path linuxFile = folder.path() / "linux.cvcs";
  const std::string linuxBytes = CanonicalOf({VELMAR_PROGRAM}, link, linuxFile.string(), linuxFile);

  // Wine runs a Windows program on this machine's files through drive Z:.
  const std::string wineRun = CORV_WINE_RUN;
  auto windowsPublisher_ = ChildProcess::Start(wineRun, {windowsPublisher.string(), link});
  ASSERT_TRUE(windowsPublisher_ && Publish(*windowsPublisher_));
  const fs::path windowsFile = folder.path() / "windows.cvcs";
  const std::string windowsBytes =
      CanonicalOf({wineRun, windowsVelmar.string()}, link, "Z:" + windowsFile.string(), windowsFile);

  const nlohmann::json linuxUpdate = FollowedUpdate({VELMAR_PROGRAM}, link, *linuxPublisher);
  const nlohmann::json windowsUpdate = FollowedUpdate({wineRun, windowsVelmar.string()}, link, *windowsPublisher_);

  ASSERT_FALSE(linuxBytes.empty());
  EXPECT_GT(linuxBytes.size(), 1000u);  // the scene's triangles are in it, not just a header
  EXPECT_TRUE(linuxBytes == windowsBytes) << Describe(linuxBytes, windowsBytes);
  // What velmar tells of the scene: surfaces with their counts, bounds and
  // geometry digests, the camera, the status.
  ASSERT_FALSE(linuxUpdate.is_null());
  EXPECT_EQ(linuxUpdate["scene"].value("surfaces", 0), 3);
  EXPECT_EQ(linuxUpdate, windowsUpdate) << "Linux:   " << linuxUpdate.dump() << "\nWindows: " << windowsUpdate.dump();

  for (ChildProcess* publisher : {linuxPublisher.get(), windowsPublisher_.get()}) {
    publisher->Send("quit");
    EXPECT_EQ(publisher->Wait(30000), 0);
  }
}
