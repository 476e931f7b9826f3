// hostsim commands for the project, its 3D view and its settings, the
// host's update message, and two hostsim processes waiting for each other:
// each through a script, checked in the JSON log and the add-ons' journals.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ui_env.h"

using uitest::RunHostsim;

namespace {

std::string Load() { return std::string("load ") + CORV_UIADDON_PATH + "\n"; }

int Count(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), text));
}

// The camera and the 3D window as the host keeps them, and the request
// failures a script can arrange; bad values are refused and change nothing.
TEST(HostsimProject, CameraWindowSizeAndProjection) {
  auto r = RunHostsim("camera", R"HS(
sample
window 3d
expect window 3d
camera set 0 0 1.6 0 10 1.6 90 50
window size 600 800
projection parallel
expect projection parallel
show camera
projection perspective
camera set 0 0 1.6 0 10 1.6
show camera
camera set 0 0 1.6 0 10 1.6 0 180
window size 0 800
camera set 1 2 x 4 5 6
expect errors 3
)HS");
  EXPECT_EQ(r.status, 1) << "three lines were refused: " << r.output;
  auto shown = r.Of("show.camera");
  ASSERT_EQ(shown.size(), 2u) << r.output;
  EXPECT_EQ(shown[0]["projection"], 2);
  EXPECT_EQ(shown[0]["viewPoint"], nlohmann::json({0.0, 0.0, 1.6}));
  EXPECT_EQ(shown[0]["targetPoint"], nlohmann::json({0.0, 10.0, 1.6}));
  EXPECT_EQ(shown[0]["roll"], 90.0);
  EXPECT_EQ(shown[0]["viewAngle"], 50.0);
  EXPECT_EQ(shown[0]["drawRect"], nlohmann::json({0, 0, 600, 800}));
  // Roll and angle stay what they were when the command leaves them out.
  EXPECT_EQ(shown[1]["projection"], 1);
  EXPECT_EQ(shown[1]["roll"], 90.0);
  EXPECT_EQ(shown[1]["viewAngle"], 50.0);
  auto errors = r.Of("error");
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_NE(errors[0]["reason"].get<std::string>().find("outside 0..180"), std::string::npos);
}

// Settings the add-on reads: reference levels, sea level, working unit;
// auto-texts of the project shown and expected by name or key.
TEST(HostsimProject, SettingsAndAutoTexts) {
  const std::string pln = uitest::TempDir() + "/texts.pln";
  std::ofstream(pln) << R"({"format": "host-project", "version": 1, "state": {"untitled": false, "soloPath": "x.pln",
    "customAutoTexts": [{"name": "Velmar model offset", "key": "autotext-0A1B2C3D-0000-4000-8000-000000000001",
                         "value": "0.250"}]}})";
  auto r = RunHostsim("settings", "open " + pln + R"HS(
set levels "Ground Floor" 0 "First Floor" 3.2
set sealevel 112.5
set units ft-in
show settings
set levels
set units furlong
show settings
expect autotext "Velmar model offset" 0.250
expect autotext autotext-0A1B2C3D-0000-4000-8000-000000000001 0.250
expect autotext "Other text" none
show autotexts
set version 22.0.3
expect version 22.0.3
fault GWIN 0x81060001
fault off
expect autotext "Velmar model offset" 0.5
expect errors 2
)HS");
  EXPECT_EQ(r.status, 1) << "the wrong value is an expectation that fails: " << r.output;
  auto settings = r.Of("show.settings");
  ASSERT_EQ(settings.size(), 2u) << r.output;
  EXPECT_EQ(settings[0]["units"], "ft-in");
  EXPECT_EQ(settings[0]["seaLevel"], 112.5);
  ASSERT_EQ(settings[0]["levels"].size(), 2u);
  EXPECT_EQ(settings[0]["levels"][1]["name"], "First Floor");
  EXPECT_EQ(settings[0]["levels"][1]["height"], 3.2);
  EXPECT_TRUE(settings[1]["levels"].empty()) << "no levels at all is a valid setting";
  EXPECT_EQ(settings[1]["units"], "ft-in") << "an unknown unit changes nothing";
  auto texts = r.Of("show.autotexts");
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0]["autotexts"][0]["value"], "0.250");
  EXPECT_EQ(r.Of("expect.ok").size(), 5u);
  EXPECT_EQ(r.Of("host.fault").size(), 2u) << "set and cleared";
  auto failed = r.Of("error");
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_NE(failed[1]["reason"].get<std::string>().find("\"0.250\", not \"0.5\""), std::string::npos)
      << failed[1].dump();
}

// Material edits from a script: a texture from a file and none, a deleted
// material whose users move to another one; a deleted material cannot be
// edited or deleted again. The project event of "new reset" is 2.
TEST(HostsimProject, TextureEditsDeletedMaterialsAndNewAndReset) {
  const std::string brick = std::string(CORV_HOST_SAMPLES) + "brick.png";
  auto r = RunHostsim("materials", Load() + "sample\nedit texture 2 " + brick + R"HS( 0.5 0.5
edit texture 3 0
edit texture 3 0
edit delete-material 2 1
edit delete-material 2
edit color 2 0.1 0.2 0.3
edit texture 99 0
new reset
new
expect errors 3
)HS");
  EXPECT_EQ(r.status, 1) << "three edits were refused: " << r.output;
  auto edits = r.Of("edit");
  ASSERT_EQ(edits.size(), 4u) << r.output;
  EXPECT_EQ(edits[0]["materials"], 1);
  EXPECT_EQ(edits[0]["changed"], 0) << "a texture edit rebuilds no element";
  EXPECT_EQ(edits[1]["materials"], 1);
  EXPECT_EQ(edits[2]["materials"], 0) << "the same texture again changes nothing";
  EXPECT_EQ(edits[3]["removedMaterials"], 1);
  EXPECT_GT(edits[3]["changed"].get<int>(), 0) << "the users of the deleted material are rebuilt";
  EXPECT_EQ(Count(r.journal, "project event 2"), 1) << r.output;
  EXPECT_EQ(Count(r.journal, "project event 1"), 1) << r.output;
}

// Every write of a menu's flags or text is logged, a write that changes
// nothing as unchanged. The update message reaches the add-on's modeless
// dialog when asked for and while the host waits, about once a second.
TEST(HostsimProject, MenuWritesAndTheUpdateMessage) {
  auto r = RunHostsim("update", Load() + R"HS(
sample
sample
idle update
wait 1300
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  auto unchanged = r.Of("menu.flags.unchanged");
  EXPECT_FALSE(unchanged.empty()) << "opening a second sample writes the same menu states again";
  for (const auto& e : unchanged) {
    EXPECT_EQ(e["changed"], false);
    EXPECT_TRUE(e.contains("enabled")) << e.dump();
  }
  for (const auto& e : r.Of("menu.flags")) EXPECT_EQ(e["changed"], true);
  const int updates = Count(r.journal, "update");
  EXPECT_GE(updates, 2) << r.output;
  EXPECT_LE(updates, 3) << "at most once a second while waiting";
  EXPECT_GE(r.Of("dialog.update").size(), 2u);
}

// Two hostsim processes meet at signals: the first raises one and waits for
// the second's answer, which comes only after the second took the first.
TEST(HostsimProject, TwoSessionsWaitForEachOther) {
  const std::string dir = uitest::TempDir();
  std::ofstream(dir + "/first.hs") << "signal first-ready\nawait second-done 5000\necho met\n";
  std::ofstream(dir + "/second.hs") << "await first-ready 5000\nsignal second-done\nawait never 150\n";
  const std::string hostsim = std::string("'") + CORV_HOSTSIM_PATH + "' --json ";
  const std::string cmd = "cd '" + dir + "' && (" + hostsim + "first.jsonl run first.hs > first.out 2>&1 & a=$!; " +
                          hostsim + "second.jsonl run second.hs > second.out 2>&1; b=$?; wait $a; exit $(( $? * 16 + b )))";
  const int rc = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(rc));
  const int code = WEXITSTATUS(rc);
  EXPECT_EQ(code / 16, 0) << "the first session met the second";
  EXPECT_EQ(code % 16, 1) << "the second one's last wait timed out";
  std::ifstream second(dir + "/second.jsonl");
  std::stringstream text;
  text << second.rdbuf();
  EXPECT_NE(text.str().find("signal never did not come within 150 ms"), std::string::npos) << text.str();
  EXPECT_FALSE(std::filesystem::exists(dir + "/run/hostsim-signals/first-ready")) << "taken by the wait";
}

}  // namespace
