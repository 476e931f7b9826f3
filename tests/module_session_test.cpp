// hostsim sessions against the add-on module itself: what the host gets at
// load (menus, identity), the menu states and the palette as the user sees
// them, the settings dialog writing the registry store and the project's
// auto-text, the about box and its links, the message boxes, and the
// renderer check with its alerts and launch.
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

namespace {

using namespace system_test;

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

// Waits until `count` renderer windows are up (or gone, for 0).
bool AwaitRenderers(std::size_t count) {
  for (int i = 0; i < 500 && RendererProcesses().size() != count; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return RendererProcesses().size() == count;
}

void EndRenderers() {
  for (DWORD pid : RendererProcesses()) ::kill(pid_t(pid), SIGKILL);
  AwaitRenderers(0);
}

int Velmar(const std::string& args) {
  return std::system(("'" + std::string(VELMAR_PATH) + "' " + args + " > /dev/null 2>&1").c_str());
}

// One session from load to unload: the registration, the settings dialog
// without a project (where it hides the offset's value row), the about box,
// a start refused for an untitled project, and the palette with its
// commands and the host's control messages.
TEST(ModuleSession, FromLoadToUnloadWithoutALink) {
  ForgetSettings();
  auto r = RunModule("module", R"HS(
answer dialog 32205 select 9 2; select 9 6; click 1
menu 32107
answer dialog 32204 tooltip 5; click 5; click 7; click 8; click 1
menu 32100
new
answer msgbox ok
menu 32101
)HS" + Menus("..-...+") + SavedProject("module") +
                                   R"HS(menu 32106
menu 32106
menu 32110
expect menu 32106 checked
expect menu 32110 checked
expect tooltip 1 "About Velmar® Corvanta® for ArchiCAD - v.3.50"
expect tooltip 2 "Start Corvanta to view your project in Velmar."
expect tooltip 4 "Status: Corvanta stopped"
palette tooltip 7
palette control disable
)HS" + Palette("-....-") + "palette control enable\n" +
                                   Palette("+.-..+") + R"HS(
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
)HS" + Palette("+-..-+.-") + R"HS(
palette close
expect menu 32106 unchecked
unload
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<int> ids;
  for (const auto& m : r.Of("menu.register")) ids.push_back(m.value("menu", 0));
  ASSERT_EQ(ids, (std::vector<int>{32101, 32102, 32103, 32104, 32106, 32107, 32105, 32100, 32110}));
  EXPECT_TRUE(r.Has("menu.register",
                    {{"menu", 32101}, {"text", "Start Corvanta"}, {"title", "Corvanta\u00ae"}, {"icon", 32101}}));
  EXPECT_TRUE(r.Has("menu.register", {{"menu", 32110}, {"icon", 32106}, {"position", 12}}));
  EXPECT_TRUE(r.Has("menu.register", {{"menu", 32104}, {"text", "Start camera synchronization"}}));
  EXPECT_EQ(r.Of("menu.handler").size(), 9u);
  EXPECT_NE(r.output.find("Velmar Corvanta for ArchiCAD"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Abnormal add-on termination"), std::string::npos);
  EXPECT_TRUE(
      r.Has("palette.register", {{"ref", 32450}, {"flags", 1015}, {"guid", "{14996244-A12A-49A7-B85E-500D6916A929}"}}));
  EXPECT_EQ(r.Of("palette.register").size(), 1u);
  EXPECT_EQ(r.Of("palette.unregister").size(), 1u);
  // Menu texts are written only when they change: none here.
  EXPECT_TRUE(r.Of("menu.text").empty()) << r.output;
  EXPECT_TRUE(r.Of("menu.text.unchanged").empty()) << r.output;

  // Without a project, Custom hides the value row (and Level shows it).
  int hidden = 0, shownAfter = 0;
  for (const auto& e : r.Of("dialog.item")) {
    const int item = e.value("item", 0);
    if (e["res"] != 32205 || item < 10 || item > 12) continue;
    if (e.value("what", "") == "hidden") ++hidden;
    if (e.value("what", "") == "shown" && hidden == 3) ++shownAfter;
  }
  EXPECT_EQ(hidden, 3) << r.output;
  EXPECT_EQ(shownAfter, 3) << r.output;
  EXPECT_EQ(SettingsValue("OffsetType"), 0);

  // The about box: its version, its tooltip and its three links.
  EXPECT_TRUE(r.Has("dialog.item", {{"res", 32204}, {"item", 3}, {"value", "version: 3.50.904"}})) << r.output;
  EXPECT_TRUE(r.Has("dialog.tooltip", {{"res", 32204}, {"item", 5}, {"text", "Open web page"}})) << r.output;
  const auto shell = r.Of("shell");
  ASSERT_EQ(shell.size(), 3u) << r.output;
  const char* pages[] = {"/support.html", "/archicad-exporters.html", ""};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string file = shell[i]["file"];
    EXPECT_EQ(file.rfind("https://velmar.torvik.example" + std::string(pages[i]) + "?utm_source=ArchiCAD%20", 0), 0u)
        << file;
    EXPECT_NE(file.find("&utm_medium=3%2e50%2e904&utm_campaign=ArchiCAD%20Corvanta"), std::string::npos) << file;
    EXPECT_EQ(shell[i]["show"], 5);
  }

  // The untitled project's start: one box with our icon (set by a hook
  // that is gone again), and the link stays stopped.
  EXPECT_EQ(r.Of("msgbox.show").size(), 1u) << r.output;
  EXPECT_TRUE(r.Has("msgbox.show", {{"caption", "Velmar Corvanta - Save project first"},
                                    {"style", 64},
                                    {"text", "Please save your project before starting Velmar Corvanta."},
                                    {"ownerIsMain", true}}));
  ASSERT_EQ(r.Of("msgbox.answer").size(), 1u);
  EXPECT_EQ(r.Of("msgbox.answer")[0]["smallIcon"], 101);
  EXPECT_EQ(r.Of("hook.install").size(), 1u);
  EXPECT_EQ(r.Of("hook.remove").size(), 1u);

  // The palette's separator has no tooltip of ours.
  EXPECT_TRUE(r.Has("dialog.tooltip", {{"item", 7}, {"returned", 0}})) << r.output;
}

// What the shell shows in each state of the link: the menu's enabled items
// (a row as Menus takes it), the palette's (as Palette takes it), its
// link and status icons; whether the start command reads Resume.
struct Shows {
  const char* menus;
  const char* palette;
  int link, status;
  bool resume;
};
constexpr Shows kNoProject{"-----+++", "+--+-+.-", 32111, 32131, false};
constexpr Shows kStopped{"+---++++", "++-+-+.+", 32111, 32131, false};
constexpr Shows kRunning{"-+++++-+", "+++++-.+", 32112, 32133, false};
constexpr Shows kPaused{"+-+-++-+", "++++--.+", 32113, 32132, true};

// One session through every state of the link, with the 3D window in front
// and not, camera synchronisation on and off, in perspective and parallel:
// after each step the menu and the palette show all of what the state
// allows, the start command reads Resume only while paused, and the camera
// command is ticked and reads Stop only while running with synchronisation
// on. The link runs without a renderer (the check's alert declined).
TEST(ModuleSession, TheMenuAndPaletteShowWhatEveryLinkStateAllows) {
  ForgetSettings();
  const struct {
    const char* step;
    std::string actions;
    Shows shows;
    bool synced;     // the camera command ticked
    int cameraIcon;  // the palette's camera item
  } steps[] = {
      {"no project", "menu 32106\n", kNoProject, false, 32120},
      {"stopped, 3D window", SavedProject("states") + "window 3d\nprojection perspective\n", kStopped, false, 32120},
      {"stopped, plan window", "window plan\n", kStopped, false, 32120},
      {"started from the plan window, synchronising", "answer alert No\nmenu 32101\n", kRunning, true, 32122},
      {"synchronisation off", "menu 32104\n", kRunning, false, 32121},
      {"synchronisation on", "menu 32104\n", kRunning, true, 32122},
      {"parallel projection", "projection parallel\n", kRunning, true, 32120},
      {"perspective again", "projection perspective\n", kRunning, true, 32122},
      {"paused while synchronising", "menu 32102\n", kPaused, false, 32120},
      {"paused, plan window", "window plan\n", kPaused, false, 32120},
      {"palette made again while paused", "palette close\nmenu 32110\n", kPaused, false, 32120},
      {"resumed from the plan window", "menu 32101\n", kRunning, true, 32122},
      {"plan window pauses by itself", "window plan\n", kPaused, false, 32120},
      {"3D window resumes", "window 3d\n", kRunning, true, 32122},
      {"paused without synchronising", "menu 32104\nmenu 32102\n", kPaused, false, 32120},
      {"resumed without synchronising", "menu 32101\n", kRunning, false, 32121},
      {"stopped while synchronising", "menu 32104\nmenu 32103\n", kStopped, false, 32120},
      {"stopped from a pause", "answer alert No\nmenu 32101\nmenu 32102\nmenu 32103\n", kStopped, false, 32120},
      {"project closed while running", "answer alert No\nmenu 32101\nclose\n", kNoProject, false, 32120},
  };
  std::string script;
  for (const auto& s : steps) {
    script += "echo " + std::string(s.step) + "\n" + s.actions + Menus(s.shows.menus) + Palette(s.shows.palette) +
              Icons(s.shows.link, s.shows.status, s.cameraIcon) + "expect menutext 32101 \"" +
              (s.shows.resume ? "Resume" : "Start") + " Corvanta\"\nexpect menu 32104 " +
              (s.synced ? "checked" : "unchecked") + "\nexpect menutext 32104 \"" + (s.synced ? "Stop" : "Start") +
              " camera synchronization\"\n";
  }
  ExpectEveryLineHeld(RunModule("states", script));
}

// The stored settings as the next export and link read them, with the
// store's defaults.
struct StoredSettings {
  int camera = 1, optimize = 1, smooth = 1, nodes = 1, offsetType = 1;
  std::string customOffset = "0.010000";
  // The values as hostsim's export takes them and the store holds them.
  std::vector<std::pair<std::string, json>> Named() const {
    return {{"CameraAutoSync", camera}, {"OptimizeSurfaces", optimize}, {"SmoothSurfaces", smooth},
            {"ExportNodes", nodes},     {"OffsetType", offsetType},     {"CustomOffset", customOffset}};
  }
  bool SameExport(const StoredSettings& o) const {
    return optimize == o.optimize && smooth == o.smooth && nodes == o.nodes && offsetType == o.offsetType &&
           (offsetType != 0 || customOffset == o.customOffset);
  }
};

// A document without its creation and modification times.
std::string Timeless(const std::string& document) {
  std::istringstream in(document);
  std::string out;
  for (std::string line; std::getline(in, line);)
    if (line.find("<created>") == std::string::npos && line.find("<modified>") == std::string::npos) out += line + "\n";
  return out;
}

// Every control of the settings dialog, one change a step: the dialog
// opened again shows what the step before stored, the next link starts
// with the camera synchronisation chosen, and the next export is the very
// document that hostsim's export writes with the step's values stored by
// name, and another document than the step before whenever a value it
// reads changed: a control wired to another setting, or a setting stored
// under another name, writes another document. Offsets are stored in
// metres whatever the project's units, and a custom one is written into
// the project's auto-text too; the project's auto-text wins over the
// registry's when the project is opened again, and a project without it
// gets it when Custom is chosen. The project's levels name the pop-up's
// entry and give the height shown; when the host cannot answer, the dialog
// falls back to the plain level names and a zero height, and the web links
// to an empty host label.
TEST(ModuleSession, EverySettingsControlStoresItsSettingForTheNextExportAndLink) {
  ForgetSettings();
  const std::string dir = Root() + "/dialog", project = dir + "/house.pln", reference = dir + "/reference/house.pln";
  fs::create_directories(dir + "/reference");
  auto setup =
      RunModule("dialog-setup", "sample\nset sealevel 3.25\nset levels Ground 0.5 Roof 7.5\nsaveas " + project + "\n");
  ASSERT_EQ(setup.status, 0) << setup.output;
  fs::copy_file(project, reference);  // never carries the offset's auto-text

  auto link = [](const char* camera) {
    return "answer alert No\nmenu 32101\nexpect menu 32104 " + std::string(camera) + "\nmenu 32103\n";
  };
  const struct {
    std::string before;  // what the user does before opening the dialog
    const char* dialog;  // the actions in the dialog before OK
    std::string after;   // and after it
    StoredSettings stored;
  } steps[] = {
      {"", "", "", {1, 1, 1, 1, 1, "0.010000"}},
      {"", "check 2 off;", link("unchecked"), {0, 1, 1, 1, 1, "0.010000"}},
      {"", "check 3 off;", "", {0, 0, 1, 1, 1, "0.010000"}},
      {"", "check 4 off;", "", {0, 0, 0, 1, 1, "0.010000"}},
      {"", "check 5 off;", "", {0, 0, 0, 0, 1, "0.010000"}},
      {"", "check 2 on; check 3 on; check 4 on; check 5 on;", link("checked"), {1, 1, 1, 1, 1, "0.010000"}},
      {"", "select 9 2;", "", {1, 1, 1, 1, 2, "0.010000"}},  // sea level
      {"", "select 9 3;", "", {1, 1, 1, 1, 3, "0.010000"}},  // the first reference level
      {"", "select 9 4;", "", {1, 1, 1, 1, 4, "0.010000"}},
      {"", "select 9 1;", "", {1, 1, 1, 1, 1, "0.010000"}},  // zero
      {"",
       "select 9 6; set 11 1.5;",
       "expect autotext \"Velmar model offset\" 1.500\nsave\n",
       {1, 1, 1, 1, 0, "1.500000"}},
      {"set units in\n", "set 11 10;", "expect autotext \"Velmar model offset\" 0.254\n", {1, 1, 1, 1, 0, "0.254000"}},
  };
  std::string script = "open " + project + "\nwindow 3d\n";
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const std::string step = "step" + std::to_string(i);
    fs::create_directories(dir + "/" + step);
    fs::create_directories(dir + "/ref" + std::to_string(i));
    script += "echo " + step + "\nsignal " + step + "\n" + steps[i].before + "answer dialog 32205 " + steps[i].dialog +
              " click 1\nmenu 32107\n" + steps[i].after + "save3d " + dir + "/" + step + "/house.dae\n";
  }
  auto r = RunModule("settings", script);
  ExpectEveryLineHeld(r);
  for (const auto& [name, value] : steps[std::size(steps) - 1].stored.Named())
    EXPECT_EQ(SettingsValue(name), value) << name;
  EXPECT_TRUE(r.After("step11").Has("dialog.item", {{"item", 12}, {"what", "text"}, {"value", "in"}})) << r.output;

  std::string previous;
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    // The dialog opens with the switches the step before stored (the
    // host logs the boxes the dialog turns on).
    const StoredSettings shown = i == 0 ? StoredSettings{} : steps[i - 1].stored;
    const int switches[] = {shown.camera, shown.optimize, shown.smooth, shown.nodes};
    int turnedOn[6] = {};
    for (const auto& e : r.After("step" + std::to_string(i)).events) {
      if (e.value("kind", "") == "signal") break;
      const int item = e.value("item", 0);
      if (e.value("kind", "") == "dialog.item" && e.value("what", "") == "value" && item >= 2 && item <= 5)
        turnedOn[item] = e.value("value", 0);
    }
    for (int item = 2; item <= 5; ++item) EXPECT_EQ(turnedOn[item], switches[item - 2]) << "item " << item;
    std::string command = std::string("'") + HOSTSIM_PATH + "' export '" + reference + "' -o '" + dir + "/ref" +
                          std::to_string(i) + "/house.dae' --module '" + CORVANTA_MODULE_PATH + "' --quiet";
    for (const auto& [name, value] : steps[i].stored.Named())
      command += " --setting " + name + "=" + (value.is_string() ? value.get<std::string>() : value.dump());
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string document = Timeless(ReadAll(dir + "/step" + std::to_string(i) + "/house.dae"));
    ASSERT_FALSE(document.empty());
    EXPECT_TRUE(document == Timeless(ReadAll(dir + "/ref" + std::to_string(i) + "/house.dae")))
        << "not the document of an export with the values stored by name";
    if (i > 0) {
      EXPECT_EQ(document == previous, steps[i].stored.SameExport(steps[i - 1].stored)) << "the same as the step before";
    }
    previous = document;
  }

  auto again = RunModule("settings-again", SavedProject("custom") + R"HS(
expect autotext "Velmar model offset" none
answer dialog 32205 click 1
menu 32107
expect autotext "Velmar model offset" 0.254
signal reopen
open )HS" + project + R"HS(
answer dialog 32205 click 1
menu 32107
signal levels
set levels Ground 0 Roof 7.5
answer dialog 32205 select 9 4; click 1
menu 32107
signal faults
fault GPRF 0x81060001
fault GMAP 0x81060001
answer dialog 32205 select 9 4; click 1
menu 32107
answer dialog 32204 click 5; click 1
menu 32100
fault off
)HS");
  EXPECT_EQ(again.status, 0) << again.output;
  const auto reopened = again.After("reopen");
  EXPECT_TRUE(reopened.Has("dialog.item", {{"item", 11}, {"what", "number"}, {"value", 1.5}})) << again.output;

  EXPECT_EQ(SettingsValue("OffsetType"), 4);
  const auto levels = again.After("levels"), faulty = again.After("faults");
  EXPECT_TRUE(levels.Has("dialog.change", {{"item", 9}, {"text", "Roof"}})) << again.output;
  EXPECT_TRUE(levels.Has("dialog.item", {{"item", 11}, {"what", "number"}, {"value", 7.5}})) << again.output;
  EXPECT_TRUE(levels.Has("dialog.item", {{"item", 11}, {"what", "disabled"}})) << again.output;
  EXPECT_TRUE(faulty.Has("dialog.change", {{"item", 9}, {"text", "2nd Reference Level"}})) << again.output;
  for (const auto& e : faulty.Of("dialog.item"))
    EXPECT_FALSE(e.value("item", 0) == 11 && e.value("what", "") == "number" && e["value"] != 0.0) << e;
  const auto shell = faulty.Of("shell");
  ASSERT_EQ(shell.size(), 1u) << again.output;
  EXPECT_NE(shell[0]["file"].get<std::string>().find("/support.html?utm_source=&utm_medium=3%2e50%2e904"),
            std::string::npos);
}

// A settings store that cannot be written (its file damaged): the first
// change in the dialog says so, naming the file, and the file stays as it
// was for the user to repair.
TEST(ModuleSession, ADamagedSettingsStoreIsReportedOnceNamingItsFile) {
  ForgetSettings();
  const std::string folder = Root() + "/hkcu/Software/Torvik/PluginForArchiCAD";
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
  EXPECT_EQ(ReadAll(file), damaged);
  // What cannot be read loads as the fresh installation's values.
  EXPECT_TRUE(r.Has("dialog.item", {{"res", 32205}, {"item", 2}, {"what", "value"}, {"value", 1}})) << r.output;
  ForgetSettings();
}

// The start's renderer check: a running renderer titled with a build
// number is as old as its version; none installed offers the download
// page; an installed one that is not running is started on Yes only. The
// started renderer is a program of its own: it holds none of the host's
// handles (a pipe on the host's output ends with the host while the
// renderer runs on) and writes its output to its log.
TEST(ModuleSession, TheRendererCheckJudgesOffersAndStarts) {
  EndRenderers();
  auto old = livelink_test::ChildProcess::Start(VELMAR_PATH, {"--app-version", "8.2 (build 7)", "run"});
  ASSERT_TRUE(old);
  ASSERT_TRUE(AwaitRenderers(1));
  auto older = RunModule("old-renderer", SavedProject("old-renderer") + "answer alert No\nmenu 32101\n");
  EXPECT_TRUE(older.Has("alert.show", {{"res", 32201}, {"title", "Velmar Corvanta - Newer Velmar version required"}}))
      << older.output;
  old.reset();
  EndRenderers();

  auto none = RunModule("check-none", SavedProject("check-none") + "answer alert Yes\nmenu 32101\n");
  const auto alerts = none.Of("alert.show");
  ASSERT_EQ(alerts.size(), 1u) << none.output;
  EXPECT_EQ(alerts[0]["res"], 32201);
  EXPECT_NE(alerts[0]["message"].get<std::string>().find("You need to have Velmar 8.3.0 or newer"), std::string::npos);
  const auto shell = none.Of("shell");
  ASSERT_EQ(shell.size(), 1u) << none.output;
  EXPECT_EQ(shell[0]["file"].get<std::string>().rfind("https://velmar.torvik.example/free-trial.html?", 0), 0u);

  // Installed in this test's machine store, not running: No starts no
  // renderer (else the next start would find it running and ask nothing),
  // Yes starts it, with hostsim's output a pipe read to its end.
  ASSERT_EQ(Velmar("--app-version 9.1.2 install"), 0);
  const std::string log = Root() + "/run/velmar.log", events = Root() + "/launch.jsonl";
  std::filesystem::remove(log);
  const std::string script = Root() + "/launch.hs";
  std::ofstream(script) << LoadLine() << SavedProject("launch") << "answer alert No\nmenu 32101\nmenu 32103\n"
                        << "answer alert Yes\nmenu 32101\nexpect status \"Corvanta started.\"\n";
  auto host = livelink_test::ChildProcess::Start(HOSTSIM_PATH, {"--no-launch", "--json", events, "run", script});
  ASSERT_TRUE(host);
  std::string line, output;
  while (host->ReadLine(&line, 60000)) output += line + "\n";
  EXPECT_EQ(ExitCode(host->Wait(10000)), 0) << output;
  EXPECT_EQ(ReadLog(events).Count("alert.show", {{"res", 32202},
                                                 {"message",
                                                  "Velmar 8.3.0 or newer is not running.\r\nWould you like "
                                                  "to start Velmar now?"}}),
            2)
      << output;
  EXPECT_TRUE(AwaitRenderers(1)) << output;
  EXPECT_EQ(output.find("ready (pid"), std::string::npos) << output;
  std::string text;
  for (int i = 0; i < 250 && text.find(" ready (pid") == std::string::npos; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    text = ReadAll(log);
  }
  EXPECT_NE(text.find(" ready (pid"), std::string::npos) << text;
  EndRenderers();
  Velmar("uninstall");
}

// Starts that are refused with a box: a second host instance linking a
// project of the same path (the box names the file only, and the status
// bar is cleared again), and a path longer than a renderer could ever
// find.
TEST(ModuleSession, ASecondInstanceAndAPathTooLongAreRefused) {
  EndRenderers();
  const std::string project = Root() + "/shared/villa.pln";
  std::filesystem::path deep = Root() + "/deep";
  while (deep.string().size() < 270) deep /= std::string(60, 'd');
  std::filesystem::create_directories(deep);
  std::filesystem::create_directories(Root() + "/shared");
  auto setup =
      RunModule("inuse-setup", "sample\nsaveas " + project + "\nsaveas " + (deep / "House.pln").string() + "\n");
  ASSERT_EQ(setup.status, 0) << setup.output;
  const std::string first = Root() + "/inuse-first.hs";
  std::ofstream(first) << LoadLine() << "open " << project
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
signal long
open )HS" + (deep / "House.pln").string() +
                                         R"HS(
answer alert No
answer msgbox ok
menu 32101
expect menu 32103 disabled
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(holder->Wait(30000), 0);
  const auto boxes = r.Of("msgbox.show");
  ASSERT_EQ(boxes.size(), 2u) << r.output;
  EXPECT_TRUE(r.Has("msgbox.show", {{"caption", "Velmar Corvanta - File already open"},
                                    {"style", 16},
                                    {"text",
                                     "Cannot start the Corvanta connection.\n\nFile \"villa.dae\" is being "
                                     "used by another instance of ArchiCAD.\n\nSave the file with a "
                                     "different name or stop other connections."}}));
  const auto status = r.Of("statusbar");
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.back()["text"], "");
  EXPECT_NE(boxes[1]["text"].get<std::string>().find("too long"), std::string::npos) << boxes[1];
  EXPECT_NE(boxes[1]["caption"], boxes[0]["caption"]);
}

}  // namespace
