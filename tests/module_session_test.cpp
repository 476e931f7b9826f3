// hostsim sessions against the add-on module itself: what the host gets at
// load (menus, file type, identity), the menu states and the palette as the
// user sees them, the settings dialog writing the registry store and the
// project's auto-text, the about box and its links, the message boxes and
// the renderer check with its alerts and launch.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "livelink/renderer_windows.h"
#include "platform/win32.h"
#include "session_env.h"

using addon_test::RunModule;
using nlohmann::json;

namespace {

std::string SavedProject(const std::string& name) {
  return "sample\nsaveas " + addon_test::Root() + "/" + name + ".pln\n";
}

std::vector<int> Ids(const std::vector<json>& events, const char* field) {
  std::vector<int> ids;
  for (const auto& e : events) ids.push_back(e.value(field, 0));
  return ids;
}

// The ids of the processes of running renderer windows (velmar).
std::vector<DWORD> RendererProcesses() {
  std::vector<DWORD> pids;
  for (HWND w : CorvantaAPI::FindRendererWindows()) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != 0) pids.push_back(pid);
  }
  return pids;
}

void EndRenderers() {
  for (DWORD pid : RendererProcesses()) ::kill(pid_t(pid), SIGKILL);
  for (int i = 0; i < 100 && !RendererProcesses().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST(ModuleSession, RegistersItsMenusInOrderAndLeavesNothingBehindAtUnload) {
  auto r = RunModule("register", "unload\n");
  EXPECT_EQ(r.status, 0) << r.output;
  const auto menus = r.Of("menu.register");
  EXPECT_EQ(Ids(menus, "menu"),
            (std::vector<int>{32101, 32102, 32103, 32104, 32106, 32107, 32105, 32100, 32110}));
  ASSERT_EQ(menus.size(), 9u);
  EXPECT_EQ(menus[0]["text"], "Start Corvanta");
  EXPECT_EQ(menus[0]["title"], "Corvanta\u00ae");
  EXPECT_EQ(menus[0]["icon"], 32101);
  EXPECT_EQ(menus[8]["icon"], 32106);
  EXPECT_EQ(menus[8]["position"], 12);
  EXPECT_EQ(menus[3]["text"], "Start camera synchronization");
  // Every command got its handler.
  EXPECT_EQ(r.Of("menu.handler").size(), 9u);
  EXPECT_NE(r.output.find("Velmar Corvanta for ArchiCAD"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Abnormal add-on termination"), std::string::npos);
  EXPECT_EQ(r.Of("palette.unregister").size(), 1u);
}

TEST(ModuleSession, MenuStatesWithoutProjectAndStoppedWriteNoTextsWhileTheStateHolds) {
  auto r = RunModule("menus", R"HS(
expect menu 32101 disabled
expect menu 32102 disabled
expect menu 32103 disabled
expect menu 32104 disabled
expect menu 32105 disabled
expect menu 32100 enabled
expect menu 32106 enabled
expect menu 32107 enabled
)HS" + SavedProject("menus") + R"HS(
menu 32106
menu 32106
expect menu 32101 enabled
expect menu 32105 enabled
expect menu 32102 disabled
expect menu 32103 disabled
expect menu 32104 disabled
expect menutext 32101 "Start Corvanta"
expect menutext 32104 "Start camera synchronization"
expect menu 32104 unchecked
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  // No text was written at all, not even one that changed nothing.
  EXPECT_TRUE(r.Of("menu.text").empty()) << r.output;
  EXPECT_TRUE(r.Of("menu.text.unchanged").empty()) << r.output;
}

TEST(ModuleSession, StartWithAnUntitledProjectAsksToSaveFirstAndStaysStopped) {
  auto r = RunModule("untitled", R"HS(
new
answer msgbox ok
menu 32101
expect menu 32103 disabled
expect menu 32107 enabled
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  const auto boxes = r.Of("msgbox.show");
  ASSERT_EQ(boxes.size(), 1u) << r.output;
  EXPECT_EQ(boxes[0]["caption"], "Velmar Corvanta - Save project first");
  EXPECT_EQ(boxes[0]["text"], "Please save your project before starting Velmar Corvanta.");
  EXPECT_EQ(boxes[0]["style"], 64);
  EXPECT_EQ(boxes[0]["ownerIsMain"], true);
  const auto answers = r.Of("msgbox.answer");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0]["smallIcon"], 101);  // the hook gave the box our icon
  EXPECT_EQ(r.Of("hook.install").size(), 1u);
  EXPECT_EQ(r.Of("hook.remove").size(), 1u);
}

TEST(ModuleSession, BothPaletteCommandsToggleOnePaletteAndTheHostsControlMessages) {
  const std::string png = addon_test::Root() + "/palette.png";
  auto r = RunModule("palette", SavedProject("palette") + R"HS(
menu 32110
expect menu 32106 checked
expect menu 32110 checked
expect palette 1 enabled
expect palette 2 enabled
expect palette 3 disabled
expect palette 4 enabled
expect palette 5 disabled
expect palette 6 enabled
expect palette 8 enabled
expect palette 2 icon 32111
expect palette 4 icon 32131
expect palette 5 icon 32120
expect tooltip 1 "About Velmar® Corvanta® for ArchiCAD - v.3.50"
expect tooltip 2 "Start Corvanta to view your project in Velmar."
expect tooltip 4 "Status: Corvanta stopped"
palette tooltip 7
palette png )HS" + png + R"HS(
palette control disable
expect palette 1 disabled
expect palette 6 disabled
palette control enable
expect palette 1 enabled
expect palette 3 disabled
expect palette 6 enabled
palette control visible
menu 32106
expect menu 32106 unchecked
expect menu 32110 unchecked
palette control open
expect menu 32106 checked
expect menu 32110 checked
close
menu 32106
menu 32106
expect palette 2 disabled
expect palette 5 disabled
expect palette 8 disabled
expect palette 6 enabled
expect palette 1 enabled
palette close
expect menu 32106 unchecked
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  // The separator has no tooltip of ours.
  bool separatorAsked = false;
  for (const auto& t : r.Of("dialog.tooltip")) {
    if (t.value("item", 0) == 7) {
      separatorAsked = true;
      EXPECT_EQ(t["returned"], 0);
    }
  }
  EXPECT_TRUE(separatorAsked) << r.output;
  EXPECT_EQ(r.Of("palette.register").size(), 1u);
  const auto registration = r.Of("palette.register")[0];
  EXPECT_EQ(registration["ref"], 32450);
  EXPECT_EQ(registration["flags"], 1015);
  EXPECT_EQ(registration["guid"], "{14996244-A12A-49A7-B85E-500D6916A929}");
  // The picture of the palette is a real PNG of some size.
  std::ifstream in(png, std::ios::binary);
  char sig[8] = {};
  in.read(sig, 8);
  EXPECT_EQ(std::string(sig + 1, 3), "PNG");
  EXPECT_GT(std::filesystem::file_size(png), 1000u);
}

TEST(ModuleSession, SettingsDialogSavesEveryChangeAndTheOffsetTravelsWithTheProject) {
  addon_test::ForgetSettings();
  auto r = RunModule("settings", SavedProject("settings") + R"HS(
answer dialog 32205 check 2 off; check 4 off; select 9 6; set 11 1.5; click 1
menu 32107
expect autotext "Velmar model offset" 1.500
save
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(addon_test::SettingsValue("CameraAutoSync"), 0);
  EXPECT_EQ(addon_test::SettingsValue("SmoothSurfaces"), 0);
  EXPECT_EQ(addon_test::SettingsValue("OptimizeSurfaces"), 1);
  EXPECT_EQ(addon_test::SettingsValue("ExportNodes"), 1);
  EXPECT_EQ(addon_test::SettingsValue("OffsetType"), 0);
  EXPECT_EQ(addon_test::SettingsValue("CustomOffset"), "1.500000");

  // Opened again, the dialog shows what was stored; the project's auto-text
  // wins over the registry's offset.
  auto again = RunModule("settings-again", "open " + addon_test::Root() + R"HS(/settings.pln
answer dialog 32205 click 1
menu 32107
)HS");
  EXPECT_EQ(again.status, 0) << again.output;
  bool sawValue = false;
  for (const auto& e : again.Of("dialog.item")) {
    if (e.value("item", 0) == 11 && e.value("what", "") == "number") {
      EXPECT_DOUBLE_EQ(e["value"].get<double>(), 1.5);
      sawValue = true;
    }
    if (e.value("item", 0) == 2 && e.value("what", "") == "value") {
      EXPECT_EQ(e["value"], 0);
    }
  }
  EXPECT_TRUE(sawValue) << again.output;
}

TEST(ModuleSession, ImperialUnitsStoreMetresAndCustomWithoutAutoTextCreatesItOnClose) {
  addon_test::ForgetSettings();
  auto r = RunModule("imperial", SavedProject("imperial") + R"HS(
set units in
answer dialog 32205 select 9 6; set 11 10; click 1
menu 32107
expect autotext "Velmar model offset" 0.254
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(addon_test::SettingsValue("CustomOffset"), "0.254000");
  bool inches = false;
  for (const auto& e : r.Of("dialog.item"))
    if (e.value("item", 0) == 12 && e.value("what", "") == "text" && e["value"] == "in") inches = true;
  EXPECT_TRUE(inches) << r.output;

  // A project without the auto-text: choosing Custom and closing writes the
  // registry's offset into it.
  auto fresh = RunModule("custom-close", SavedProject("custom-close") + R"HS(
expect autotext "Velmar model offset" none
answer dialog 32205 select 9 6; click 1
menu 32107
expect autotext "Velmar model offset" 0.254
)HS");
  EXPECT_EQ(fresh.status, 0) << fresh.output;
}

TEST(ModuleSession, LevelsOfTheProjectNameThePopUpAndNoProjectHidesTheValueRow) {
  addon_test::ForgetSettings();
  auto r = RunModule("levels", SavedProject("levels") + R"HS(
set levels Ground 0 Roof 7.5
answer dialog 32205 select 9 4; click 1
menu 32107
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(addon_test::SettingsValue("OffsetType"), 4);
  bool roofNamed = false, roofHeight = false, disabled = false;
  for (const auto& e : r.Of("dialog.item")) {
    if (e.value("item", 0) == 11 && e.value("what", "") == "number" && e["value"] == 7.5) roofHeight = true;
    if (e.value("item", 0) == 11 && e.value("what", "") == "disabled") disabled = true;
  }
  for (const auto& e : r.Of("dialog.change"))
    if (e.value("item", 0) == 9 && e.dump().find("Roof") != std::string::npos) roofNamed = true;
  EXPECT_TRUE(roofNamed) << r.output;
  EXPECT_TRUE(roofHeight && disabled) << r.output;

  auto none = RunModule("levels-none", R"HS(
answer dialog 32205 select 9 2; select 9 6; click 1
menu 32107
)HS");
  EXPECT_EQ(none.status, 0) << none.output;
  int hidden = 0, shownAfter = 0;
  for (const auto& e : none.Of("dialog.item")) {
    const int item = e.value("item", 0);
    if (item < 10 || item > 12) continue;
    if (e.value("what", "") == "hidden") ++hidden;
    if (e.value("what", "") == "shown" && hidden == 3) ++shownAfter;
  }
  EXPECT_EQ(hidden, 3) << none.output;
  EXPECT_EQ(shownAfter, 3) << none.output;
  EXPECT_EQ(addon_test::SettingsValue("OffsetType"), 0);
}

TEST(ModuleSession, AboutShowsTheVersionAndOpensItsThreeLinks) {
  auto r = RunModule("about", R"HS(
answer dialog 32204 tooltip 5; click 5; click 7; click 8; click 1
menu 32100
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  const auto shell = r.Of("shell");
  ASSERT_EQ(shell.size(), 3u) << r.output;
  const std::string query = "?utm_source=ArchiCAD%20";
  EXPECT_EQ(shell[0]["file"].get<std::string>().rfind("https://velmar.torvik.example/support.html" + query, 0), 0u);
  EXPECT_EQ(shell[1]["file"].get<std::string>().rfind("https://velmar.torvik.example/archicad-exporters.html" + query, 0),
            0u);
  EXPECT_EQ(shell[2]["file"].get<std::string>().rfind("https://velmar.torvik.example" + query, 0), 0u);
  for (const auto& s : shell) {
    const std::string file = s["file"];
    EXPECT_NE(file.find("&utm_medium=3%2e50%2e904&utm_campaign=ArchiCAD%20Corvanta"), std::string::npos) << file;
    EXPECT_EQ(s["show"], 5);
  }
  bool version = false;
  for (const auto& e : r.Of("dialog.item"))
    if (e.value("item", 0) == 3 && e["value"] == "version: 3.50.904") version = true;
  EXPECT_TRUE(version) << r.output;
  const auto tips = r.Of("dialog.tooltip");
  ASSERT_FALSE(tips.empty());
  EXPECT_EQ(tips[0]["text"], "Open web page");
}

TEST(ModuleSession, NoRendererInstalledOffersItsPageAndInstalledOneIsStartedOnYes) {
  EndRenderers();
  auto none = RunModule("check-none", SavedProject("check-none") + R"HS(
answer alert Yes
menu 32101
)HS");
  const auto alerts = none.Of("alert.show");
  ASSERT_GE(alerts.size(), 1u) << none.output;
  EXPECT_EQ(alerts[0]["res"], 32201);
  EXPECT_NE(alerts[0]["message"].get<std::string>().find("You need to have Velmar 8.3.0 or newer"), std::string::npos);
  const auto shell = none.Of("shell");
  ASSERT_GE(shell.size(), 1u) << none.output;
  EXPECT_EQ(shell[0]["file"].get<std::string>().rfind("https://velmar.torvik.example/free-trial.html?", 0), 0u);

  // Installed (in this test's machine store), not running: No starts
  // nothing, Yes starts it.
  const std::string install = std::string("'") + VELMAR_PATH + "' --app-version 9.1.2 install > /dev/null 2>&1";
  ASSERT_EQ(std::system(install.c_str()), 0);
  auto no = RunModule("check-no", SavedProject("check-no") + R"HS(
answer alert No
menu 32101
)HS");
  ASSERT_GE(no.Of("alert.show").size(), 1u) << no.output;
  EXPECT_EQ(no.Of("alert.show")[0]["res"], 32202);
  EXPECT_EQ(no.Of("alert.show")[0]["message"], "Velmar 8.3.0 or newer is not running.\r\nWould you like to start Velmar now?");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(RendererProcesses().empty());

  auto yes = RunModule("check-yes", SavedProject("check-yes") + R"HS(
answer alert Yes
menu 32101
)HS");
  ASSERT_GE(yes.Of("alert.show").size(), 1u) << yes.output;
  EXPECT_EQ(yes.Of("alert.show")[0]["res"], 32202);
  bool started = false;
  for (int i = 0; i < 250 && !started; ++i) {
    started = !RendererProcesses().empty();
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(started) << yes.output;
  EndRenderers();
  std::system((std::string("'") + VELMAR_PATH + "' uninstall > /dev/null 2>&1").c_str());
}

// The link's states as the menu and the palette show them. No renderer is
// installed here: the check's alert is declined and the link starts anyway.
TEST(ModuleSession, MenuAndPaletteFollowTheLinkThroughStartPauseResumeAndStop) {
  EndRenderers();
  addon_test::ForgetSettings();
  auto r = RunModule("states", SavedProject("states") + R"HS(
window 3d
projection perspective
menu 32106
answer alert No
menu 32101
expect status "Corvanta started."
expect menu 32101 disabled
expect menu 32102 enabled
expect menu 32103 enabled
expect menu 32104 enabled
expect menu 32104 checked
expect menutext 32104 "Stop camera synchronization"
expect menu 32107 disabled
expect palette 2 icon 32112
expect palette 4 icon 32133
expect palette 5 icon 32122
expect palette 6 disabled
expect tooltip 2 "Pause Corvanta to complete changes and improve performance while modeling."
menu 32104
expect menu 32104 unchecked
expect menutext 32104 "Start camera synchronization"
expect palette 5 icon 32121
menu 32102
expect menutext 32101 "Resume Corvanta"
expect menu 32101 enabled
expect menu 32102 disabled
expect menu 32104 disabled
expect palette 2 icon 32113
expect palette 4 icon 32132
expect palette 5 icon 32120
menu 32101
expect menutext 32101 "Start Corvanta"
palette click 3
expect status "Corvanta® stopped."
expect menu 32107 enabled
expect palette 2 icon 32111
expect palette 4 icon 32131
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  // Texts change only with the choice: camera (on), camera (off), Resume,
  // Start; the stop finds the camera text already reading Start.
  std::vector<std::string> texts;
  for (const auto& e : r.Of("menu.text")) texts.push_back(e.value("text", ""));
  EXPECT_EQ(texts, (std::vector<std::string>{"Stop camera synchronization", "Start camera synchronization",
                                             "Resume Corvanta", "Start Corvanta"}))
      << r.output;
}

// A palette window made again from its resource (closed and opened while
// the link runs, and while it is paused) shows the state's icons and
// tooltips, not the resource's.
TEST(ModuleSession, APaletteOpenedAgainShowsTheLinksState) {
  EndRenderers();
  addon_test::ForgetSettings();
  auto r = RunModule("recreate", SavedProject("recreate") + R"HS(
window 3d
projection perspective
menu 32106
answer alert No
menu 32101
menu 32106
menu 32106
expect palette 2 icon 32112
expect palette 4 icon 32133
expect palette 5 icon 32122
expect tooltip 2 "Pause Corvanta to complete changes and improve performance while modeling."
expect tooltip 4 "Status: Corvanta running"
expect tooltip 5 "Stop camera synchronization with Velmar."
menu 32102
palette close
menu 32110
expect palette 2 icon 32113
expect palette 4 icon 32132
expect palette 5 icon 32120
expect tooltip 2 "Resume Corvanta to update changes in Velmar."
expect tooltip 4 "Status: Corvanta paused"
expect tooltip 5 "Switch back to a perspective view to synchronize the camera."
menu 32103
palette close
menu 32110
expect palette 2 icon 32111
expect palette 4 icon 32131
expect tooltip 2 "Start Corvanta to view your project in Velmar."
expect tooltip 4 "Status: Corvanta stopped"
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
}

// A running renderer whose title carries a build number after its version
// is as old as its version: the start tells the user a newer one is needed.
TEST(ModuleSession, ARendererTitledWithABuildNumberIsJudgedByItsVersion) {
  EndRenderers();
  auto old = livelink_test::ChildProcess::Start(VELMAR_PATH, {"--app-version", "8.2 (build 7)", "run"});
  ASSERT_TRUE(old);
  for (int i = 0; i < 250 && RendererProcesses().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_FALSE(RendererProcesses().empty());
  auto r = RunModule("old-renderer", SavedProject("old-renderer") + R"HS(
answer alert No
menu 32101
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  const auto alerts = r.Of("alert.show");
  ASSERT_EQ(alerts.size(), 1u) << r.output;
  EXPECT_EQ(alerts[0]["res"], 32201);
  EXPECT_EQ(alerts[0]["title"], "Velmar Corvanta - Newer Velmar version required");
  old.reset();
  EndRenderers();
}

// The renderer the add-on starts is a program of its own: it does not hold
// the host's output (a pipe on it ends when the host exits, while the
// renderer runs on), and its own output goes to its log.
TEST(ModuleSession, AStartedRendererHoldsNoneOfTheHostsHandles) {
  EndRenderers();
  const std::string log = addon_test::Root() + "/run/velmar.log";
  std::filesystem::remove(log);
  ASSERT_EQ(std::system((std::string("'") + VELMAR_PATH + "' --app-version 9.1.2 install > /dev/null 2>&1").c_str()),
            0);
  const std::string script = addon_test::Root() + "/launch.hs";
  std::ofstream(script) << addon_test::LoadLine() << SavedProject("launch")
                        << "answer alert Yes\nmenu 32101\nexpect status \"Corvanta started.\"\n";
  // hostsim's output is a pipe read to its end.
  auto host = livelink_test::ChildProcess::Start(HOSTSIM_PATH, {"--no-launch", "run", script});
  ASSERT_TRUE(host);
  std::string line, output;
  while (host->ReadLine(&line, 60000)) output += line + "\n";
  const int status = host->Wait(10000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << output;
  // The pipe ended with hostsim, not with the renderer: that one still runs.
  bool running = false;
  for (int i = 0; i < 250 && !running; ++i) {
    running = !RendererProcesses().empty();
    if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(running) << output;
  EXPECT_EQ(output.find("ready (pid"), std::string::npos) << output;
  std::string text;
  for (int i = 0; i < 250 && text.find(" ready (pid") == std::string::npos; ++i) {
    std::ifstream in(log);
    std::stringstream s;
    s << in.rdbuf();
    text = s.str();
    if (text.find(" ready (pid") == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(text.find(" ready (pid"), std::string::npos) << text;
  EndRenderers();
  std::system((std::string("'") + VELMAR_PATH + "' uninstall > /dev/null 2>&1").c_str());
}

// A settings store that cannot be written (its file damaged): the first
// change in the dialog says so, naming the file, and the file stays as it
// was for the user to repair.
TEST(ModuleSession, ADamagedSettingsStoreIsReportedOnceNamingItsFile) {
  addon_test::ForgetSettings();
  const std::string folder = addon_test::Root() + "/hkcu/Software/Torvik/PluginForArchiCAD";
  std::filesystem::create_directories(folder);
  const std::string file = folder + "/.values.json";
  const std::string damaged = "{\"format\": \"corvanta registry key 1\", \"values\": [ {\"name\": ";
  std::ofstream(file) << damaged;
  // One box for three changes: a second one would find no answer.
  auto r = RunModule("damaged", R"HS(
answer dialog 32205 check 2 off; check 4 off; select 9 2; click 1
answer msgbox ok
menu 32107
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  const auto boxes = r.Of("msgbox.show");
  ASSERT_EQ(boxes.size(), 1u) << r.output;
  EXPECT_EQ(boxes[0]["caption"], "Velmar Corvanta - Settings not stored");
  EXPECT_NE(boxes[0]["text"].get<std::string>().find("\"" + file + "\""), std::string::npos) << boxes[0]["text"];
  EXPECT_EQ(boxes[0]["style"], 0x30);
  std::ifstream in(file);
  std::stringstream now;
  now << in.rdbuf();
  EXPECT_EQ(now.str(), damaged);
  addon_test::ForgetSettings();
}

// A second host instance linking a project of the same path is refused,
// with a box that names the file only.
TEST(ModuleSession, ASecondInstanceOnTheSameProjectIsToldTheFileIsInUse) {
  EndRenderers();
  const std::string project = addon_test::Root() + "/shared/villa.pln";
  std::filesystem::create_directories(addon_test::Root() + "/shared");
  {
    auto setup = RunModule("inuse-setup", "sample\nsaveas " + project + "\n");
    ASSERT_EQ(setup.status, 0) << setup.output;
  }
  const std::string first = addon_test::Root() + "/inuse-first.hs";
  std::ofstream(first) << addon_test::LoadLine() << "open " << project
                       << "\nanswer alert No\nmenu 32101\nexpect status \"Corvanta started.\"\nsignal linked\n"
                          "await checked 30000\nmenu 32103\n";
  auto holder = livelink_test::ChildProcess::Start(HOSTSIM_PATH, {"--no-launch", "--quiet", "run", first});
  ASSERT_TRUE(holder);
  auto r = RunModule("inuse-second", "await linked 30000\nopen " + project + R"HS(
answer alert No
answer msgbox ok
menu 32101
expect menu 32103 disabled
signal checked
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(holder->Wait(30000), 0);
  const auto boxes = r.Of("msgbox.show");
  ASSERT_EQ(boxes.size(), 1u) << r.output;
  EXPECT_EQ(boxes[0]["caption"], "Velmar Corvanta - File already open");
  EXPECT_EQ(boxes[0]["text"],
            "Cannot start the Corvanta connection.\n\nFile \"villa.dae\" is being used by another instance of "
            "ArchiCAD.\n\nSave the file with a different name or stop other connections.");
  EXPECT_EQ(boxes[0]["style"], 16);
  const auto status = r.Of("statusbar");
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.back()["text"], "");
}

// A host killed during a link and started again at once on the same
// project, while the renderer still maps the dead link's control area: the
// start is not refused; it takes the link's name over, and the renderer
// ends the old link (its publisher is gone) and joins the new one.
TEST(ModuleSession, AStartRightAfterAKilledHostTakesTheLinkOver) {
  EndRenderers();
  const std::string project = addon_test::Root() + "/crash/villa.pln";
  std::filesystem::create_directories(addon_test::Root() + "/crash");
  {
    auto setup = RunModule("crash-setup", "sample\nsaveas " + project + "\n");
    ASSERT_EQ(setup.status, 0) << setup.output;
  }
  auto renderer = livelink_test::ChildProcess::Start(VELMAR_PATH, {"--app-version", "9.0", "run"});
  ASSERT_TRUE(renderer);
  const std::string first = addon_test::Root() + "/crash-first.hs";
  std::ofstream(first) << addon_test::LoadLine() << "open " << project
                       << "\nmenu 32101\nexpect status \"Corvanta started.\"\nawait never 60000\n";
  auto killed = livelink_test::ChildProcess::Start(HOSTSIM_PATH, {"--no-launch", "--quiet", "run", first});
  ASSERT_TRUE(killed);
  ASSERT_FALSE(renderer->WaitFor("opened link", 30000).empty());

  // The renderer is held still, so the dead link's area stays mapped by it
  // until the new start has run.
  renderer->Signal(SIGSTOP);
  killed->Signal(SIGKILL);
  killed->Wait(10000);
  const std::string second = addon_test::Root() + "/crash-second.hs";
  const std::string log = addon_test::Root() + "/crash-second.jsonl";
  std::ofstream(second) << addon_test::LoadLine() << "open " << project
                        << "\nmenu 32101\nexpect status \"Corvanta started.\"\nexpect menu 32103 enabled\n"
                           "signal restarted\nawait seen 30000\nmenu 32103\n";
  auto restarted =
      livelink_test::ChildProcess::Start(HOSTSIM_PATH, {"--no-launch", "--quiet", "--json", log, "run", second});
  ASSERT_TRUE(restarted);
  const std::string signals = addon_test::Root() + "/run/hostsim-signals";
  bool started = false;
  for (int i = 0; i < 1500 && !started; ++i) {
    started = std::filesystem::exists(signals + "/restarted");
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  renderer->Signal(SIGCONT);
  EXPECT_TRUE(started);
  const std::string ended = renderer->WaitFor("link ", 30000);
  EXPECT_NE(ended.find("ended: the publisher is gone"), std::string::npos) << ended;
  EXPECT_FALSE(renderer->WaitFor("opened link", 30000).empty());
  std::ofstream(signals + "/seen") << "test\n";
  const int status = restarted->Wait(30000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) EXPECT_EQ(line.find("\"msgbox.show\""), std::string::npos) << line;
  renderer.reset();
  EndRenderers();
}

// The host's save of the 3D window as "dae" goes to the exporter.
TEST(ModuleSession, SavingThe3DWindowAsDaeWritesACollada) {
  const std::string file = addon_test::Root() + "/saved/house.dae";
  std::filesystem::create_directories(addon_test::Root() + "/saved");
  auto r = RunModule("save3d", SavedProject("save3d") + "window 3d\nsave3d " + file + "\n");
  EXPECT_EQ(r.status, 0) << r.output;
  std::ifstream in(file);
  std::string head;
  std::getline(in, head);
  EXPECT_EQ(head.rfind("<?xml", 0), 0u) << r.output;
}

// Host queries that fail: the dialog falls back to the locale's units, the
// design's level names and a zero height, the web links to an empty host
// label; nothing is lost from the store.
TEST(ModuleSession, FailingHostQueriesFallBackWithoutLosingStoredValues) {
  addon_test::ForgetSettings();
  auto r = RunModule("faults", SavedProject("faults") + R"HS(
set levels Ground 0 Roof 7.5
fault GPRF 0x81060001
fault GMAP 0x81060001
answer dialog 32205 select 9 4; click 1
menu 32107
answer dialog 32204 click 5; click 1
menu 32100
fault off
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(addon_test::SettingsValue("OffsetType"), 4);
  bool defaultName = false, levelHeightShown = false;
  for (const auto& e : r.Of("dialog.change"))
    if (e.value("item", 0) == 9 && e.value("text", "") == "2nd Reference Level") defaultName = true;
  // The height cannot be read: the field keeps 0 instead of showing 7.5.
  for (const auto& e : r.Of("dialog.item"))
    if (e.value("item", 0) == 11 && e.value("what", "") == "number" && e["value"] != 0.0) levelHeightShown = true;
  EXPECT_TRUE(defaultName) << r.output;
  EXPECT_FALSE(levelHeightShown) << r.output;
  const auto shell = r.Of("shell");
  ASSERT_EQ(shell.size(), 1u) << r.output;
  EXPECT_NE(shell[0]["file"].get<std::string>().find("/support.html?utm_source=&utm_medium=3%2e50%2e904"),
            std::string::npos);
}

}  // namespace
