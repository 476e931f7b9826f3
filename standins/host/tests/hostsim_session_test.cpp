// hostsim sessions driving the UI test add-on: what the user sees (menus,
// palette, status bar, dialogs, message boxes) and what the add-on receives
// back, read from the JSON lines log and the add-on's journal.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "ui_env.h"

using uitest::RunHostsim;

namespace {

std::string Load() { return std::string("load ") + CORV_UIADDON_PATH + "\n"; }

// A saved project, so that the link can start.
std::string SavedProject(const std::string& name) {
  return "sample\nsaveas " + uitest::TempDir() + "/" + name + ".pln\n";
}

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  return std::find(lines.begin(), lines.end(), text) != lines.end();
}

TEST(HostsimSession, MenusFollowTheLinkStateAndTheProject) {
  auto r = RunHostsim("menus", Load() + R"HS(
expect menu 32101 disabled
expect menu 32105 disabled
expect menu 32100 enabled
expect menu 32107 enabled
)HS" + SavedProject("menus") + R"HS(
expect menu 32101 enabled
answer alert Yes
menu 32101
expect menu 32101 disabled
expect menu 32102 enabled
expect menu 32103 enabled
expect menu 32107 disabled
expect status "Link started."
menu 32102
expect menutext 32101 "Resume Link"
expect menu 32101 enabled
expect menu 32102 disabled
menu 32101
expect menutext 32101 "Start Link"
menu 32103
expect status "Link stopped."
expect menu 32107 enabled
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(Has(r.journal, "alert 32202 -> 1")) << r.output;
  // The alert showed the add-on's parameter in its text.
  auto alerts = r.Of("alert.show");
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0]["message"], "Renderer 8.3.0 or newer is not running.\r\nWould you like to start it now?");
  // The text changed twice (to Resume and back), never for unchanged state.
  EXPECT_EQ(r.Of("menu.text").size(), 2u);
  auto statuses = r.Of("statusbar");
  ASSERT_GE(statuses.size(), 3u);
  EXPECT_EQ(statuses[0]["text"], "Link initializing\u2026");
}

TEST(HostsimSession, PaletteCommandsControlMessagesAndTooltips) {
  auto r = RunHostsim("palette", Load() + SavedProject("palette") + R"HS(
menu 32106
expect menu 32106 checked
expect menu 32110 checked
expect palette 3 disabled
expect palette 2 icon 32111
expect tooltip 2 "Start the link."
expect tooltip 6 "Export (from the help resource)"
expect tooltip 5 "(none)"
palette click 5
answer alert No
palette click 2
expect palette 2 icon 32112
expect palette 4 icon 32132
expect palette 4 icon 32133
expect tooltip 4 "Status: running"
expect palette 3 enabled
palette control disable
expect palette 1 disabled
expect palette 4 disabled
palette control enable
expect palette 1 enabled
expect palette 3 enabled
palette control visible
palette png )HS" + uitest::TempDir() + R"HS(/palette.png
menu 32110
expect menu 32106 unchecked
expect menu 32110 unchecked
palette control open
palette close
menu 32100
)HS");
  // Two deliberate failures: the wrong icon and the separator click; the
  // About dialog has no answer queued and is cancelled with an error too.
  EXPECT_EQ(r.status, 1);
  auto errors = r.Of("error");
  ASSERT_EQ(errors.size(), 3u) << r.output;
  EXPECT_NE(errors[0]["reason"].get<std::string>().find("cannot be clicked"), std::string::npos);
  EXPECT_EQ(errors[0]["line"], 13);
  EXPECT_NE(errors[1]["reason"].get<std::string>().find("shows icon 32133"), std::string::npos);
  EXPECT_EQ(r.Of("palette.visible").at(0)["visible"], true);
  EXPECT_TRUE(Has(r.journal, "alert 32202 -> 2"));
  EXPECT_TRUE(Has(r.journal, "palette control 6"));
  // A tooltip request for the separator came back unanswered (0).
  bool separatorAsked = false;
  for (const auto& t : r.Of("dialog.tooltip"))
    if (t["item"] == 5) {
      separatorAsked = true;
      EXPECT_EQ(t["returned"], 0);
      EXPECT_TRUE(t["text"].is_null());
    }
  EXPECT_TRUE(separatorAsked);
  EXPECT_TRUE(std::filesystem::file_size(uitest::TempDir() + "/palette.png") > 100);
  // The close box closed the palette; the add-on's callback saw it.
  EXPECT_FALSE(r.Of("dialog.cancel").empty());
}

TEST(HostsimSession, MessageBoxThroughTheHookAndAboutDialogLinks) {
  auto r = RunHostsim("msgbox", Load() + R"HS(
new
menu 32101
answer msgbox ok
menu 32101
answer dialog 32204 tooltip 4; click 4; click 5; click 3; click 1
menu 32100
)HS");
  // First try: Start is disabled without a saved project? No: a new project
  // is available but untitled, so Start asks to save first.
  auto shows = r.Of("msgbox.show");
  ASSERT_EQ(shows.size(), 2u) << r.output;
  EXPECT_EQ(shows[0]["caption"], "Tester - Save project first");
  EXPECT_EQ(shows[0]["style"], 64);
  EXPECT_EQ(shows[0]["ownerIsMain"], true);
  auto answers = r.Of("msgbox.answer");
  ASSERT_EQ(answers.size(), 2u);
  // Unanswered: the box's only button, reported as an error.
  EXPECT_EQ(answers[0]["button"], 1);
  // The add-on's CBT hook found the box by its title and set its icon.
  EXPECT_EQ(answers[1]["smallIcon"], 101);
  EXPECT_EQ(r.Of("hook.install").size(), 2u);
  EXPECT_EQ(r.Of("hook.remove").size(), 2u);
  EXPECT_TRUE(Has(r.journal, "msgbox Tester - Save project first -> 1"));
  // About: two links opened (recorded, not launched), a click on the plain
  // version text does nothing, OK closes with item 1.
  auto shell = r.Of("shell");
  ASSERT_EQ(shell.size(), 2u);
  EXPECT_EQ(shell[0]["file"], "https://example.org/support.html");
  EXPECT_EQ(shell[0]["show"], 5);
  EXPECT_EQ(shell[0]["launched"], false);
  EXPECT_TRUE(Has(r.journal, "about -> 1"));
  // The link's tooltip comes from the dialog's help resource.
  auto tips = r.Of("dialog.tooltip");
  ASSERT_EQ(tips.size(), 1u);
  EXPECT_EQ(tips[0]["text"], "Open web page");
  EXPECT_EQ(tips[0]["source"], "resource");
  EXPECT_TRUE(Has(r.journal, "about closed 1"));
  auto version = std::find_if(r.events.begin(), r.events.end(), [](const nlohmann::json& e) {
    return e["kind"] == "dialog.item" && e["res"] == 32204 && e["item"] == 3;
  });
  ASSERT_NE(version, r.events.end());
  EXPECT_EQ((*version)["value"], "version: 1.2.3");
  EXPECT_EQ(r.status, 1);  // the unanswered first box
}

TEST(HostsimSession, SettingsDialogItemsAndRanges) {
  auto r = RunHostsim("settings", Load() + R"HS(
answer dialog 32205 set 6 5; check 2 off; select 5 3; select 5 4; set 6 150; check 3 on; click 1
menu 32107
answer dialog 32205 select 5 2; cancel
menu 32107
)HS");
  EXPECT_EQ(r.status, 1) << r.output;
  // The disabled field refused the first action; the rest of that answer
  // was dropped, so the dialog was cancelled with the values it had.
  ASSERT_GE(r.journal.size(), 2u);
  EXPECT_TRUE(Has(r.journal, "settings follow=1 optimize=0 level=1 offset=0.250")) << r.output;
  EXPECT_TRUE(Has(r.journal, "settings follow=1 optimize=0 level=2 offset=0.250"));
  auto refused = r.Of("dialog.refused");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0]["reason"].get<std::string>().find("disabled"), std::string::npos);

  auto r3 = RunHostsim("settings3", Load() + R"HS(
answer dialog 32205 check 2 off; select 5 4; set 6 150; check 3 on; click 1
menu 32107
)HS");
  EXPECT_EQ(r3.status, 0) << r3.output;
  // 150 is outside -50..100: the field keeps 100.
  EXPECT_TRUE(Has(r3.journal, "settings follow=0 optimize=1 level=0 offset=100.000")) << r3.output;
  auto changes = r3.Of("dialog.change");
  auto clamped = std::find_if(changes.begin(), changes.end(), [](const auto& e) { return e.contains("clamped"); });
  ASSERT_NE(clamped, changes.end());
  EXPECT_EQ((*clamped)["clamped"], true);
  EXPECT_EQ((*clamped)["real"], 100.0);
  // The pop-up was filled with icons and a separator at open.
  auto opens = r3.Of("dialog.open");
  ASSERT_FALSE(opens.empty());
}

TEST(HostsimSession, SaveDialogProposalOverwriteAndCancel) {
  const std::string dir = uitest::TempDir();
  std::ofstream(dir + "/taken.tst") << "old";
  auto r = RunHostsim("save", Load() + SavedProject("house") + R"HS(
answer save mine.tst
menu 32105
answer save taken.tst
answer overwrite no
answer save cancel
menu 32105
answer save taken.tst
answer overwrite yes
menu 32105
)HS");
  EXPECT_EQ(r.status, 0) << r.output;
  auto shows = r.Of("savedialog.show");
  ASSERT_EQ(shows.size(), 3u);
  EXPECT_EQ(shows[0]["proposal"], dir + "/house.tst");
  EXPECT_EQ(shows[0]["title"], "Export test file");
  EXPECT_EQ(shows[0]["overwritePrompt"], true);
  EXPECT_EQ(shows[0]["filters"], nlohmann::json::parse(R"([["Test files","*.tst"],["All files","*.*"]])"));
  // A bare name lands beside the proposal.
  EXPECT_TRUE(Has(r.journal, "export " + dir + "/mine.tst name-at " + std::to_string(dir.size() + 1) + " ext-at " +
                                 std::to_string(dir.size() + 6)))
      << r.output;
  EXPECT_TRUE(Has(r.journal, "export cancelled 0"));
  EXPECT_TRUE(Has(r.journal, "export " + dir + "/taken.tst name-at " + std::to_string(dir.size() + 1) + " ext-at " +
                                 std::to_string(dir.size() + 7)));
  std::ifstream in(dir + "/taken.tst");
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "exported");
}

TEST(HostsimSession, NothingCallsIntoAnAddonAfterItIsUnloaded) {
  setenv("CORV_UIADDON_CARELESS", "1", 1);
  auto r = RunHostsim("careless", Load() + R"HS(
menu 32106
unload
idle 3
palette click 1
menu 32106
palette control visible 32450
new
answer msgbox ok
echo still alive
)HS");
  unsetenv("CORV_UIADDON_CARELESS");
  EXPECT_TRUE(Has(r.journal, "freed carelessly")) << r.output;
  auto forget = r.Of("ui.forget");
  ASSERT_EQ(forget.size(), 1u) << r.output;
  EXPECT_EQ(forget[0]["palettes"], 1);
  EXPECT_EQ(forget[0]["hooks"], 1);
  EXPECT_GE(forget[0]["dialogs"].get<int>(), 2);  // the palette and the idle dialog
  // The palette, the menu and the palette's registration are gone; the
  // queued message-box answer was never asked for.
  auto errors = r.Of("error");
  ASSERT_EQ(errors.size(), 4u) << r.output;
  EXPECT_NE(errors[0]["reason"].get<std::string>().find("no palette is open"), std::string::npos);
  EXPECT_NE(errors[1]["reason"].get<std::string>().find("no menu item"), std::string::npos);
  EXPECT_NE(errors[2]["reason"].get<std::string>().find("no palette registered"), std::string::npos);
  EXPECT_EQ(r.Of("echo").size(), 1u);
  EXPECT_EQ(r.status, 1);
}

// Every write of a menu's flags or text is logged, a write that changes
// nothing as unchanged. The update message reaches the add-on's modeless
// dialog when asked for.
TEST(HostsimSession, MenuWritesAndTheUpdateMessage) {
  auto r = RunHostsim("update", Load() + "sample\nsample\nidle update\n");
  EXPECT_EQ(r.status, 0) << r.output;
  auto unchanged = r.Of("menu.flags.unchanged");
  EXPECT_FALSE(unchanged.empty()) << "opening a second sample writes the same menu states again";
  for (const auto& e : unchanged) {
    EXPECT_EQ(e["changed"], false);
    EXPECT_TRUE(e.contains("enabled")) << e.dump();
  }
  for (const auto& e : r.Of("menu.flags")) EXPECT_EQ(e["changed"], true);
  EXPECT_TRUE(Has(r.journal, "update")) << r.output;
  EXPECT_GE(r.Of("dialog.update").size(), 1u);
}

}  // namespace
