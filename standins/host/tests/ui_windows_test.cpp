// The host's windows and questions in-process: message boxes and the CBT
// hook chain, the status bar seen through the Win32 window calls, the save
// dialog's buffer rules, alerts, tooltips, menu requests and the shell.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "hostui/answers.h"
#include "hostui/ui.h"
#include "ui_env.h"

namespace {

using host::ui::Ui;

class UiWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    ui().Reset();
    ui().log().Clear();
    answers_ = std::make_unique<host::ui::ScriptedAnswerer>();
    ui().SetAnswerer(answers_.get());
    main_ = ui().EnsureMainWindow(u"Host main");
    std::string error;
    res_ = ui().OpenModuleResources(CORV_UIADDON_PATH, &error);
    ASSERT_NE(res_, 0) << error;
  }
  void TearDown() override {
    ui().SetAnswerer(nullptr);
    ui().CloseModuleResources(res_);
    ui().Reset();
    ui().DestroyWindows();
  }
  static Ui& ui() { return Ui::Get(); }
  void Answer(const std::string& text) {
    std::string error;
    ASSERT_TRUE(answers_->Push(text, 0, &error)) << error;
  }
  std::unique_ptr<host::ui::ScriptedAnswerer> answers_;
  HWND main_ = nullptr;
  GSResModule res_ = 0;
};

std::vector<std::string> g_calls;
HHOOK g_first = nullptr, g_second = nullptr;
HICON g_icon = nullptr;
std::u16string g_seenTitle;
HWND g_box = nullptr;

LRESULT FirstHook(int code, WPARAM w, LPARAM l) {
  g_calls.push_back("first " + std::to_string(code));
  if (code == HCBT_ACTIVATE) {
    char16_t title[257] = {};
    GetWindowTextW(reinterpret_cast<HWND>(w), title, 256);
    g_seenTitle = title;
    g_box = reinterpret_cast<HWND>(w);
    SendMessageW(g_box, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(g_icon));
    return 0;
  }
  return CallNextHookEx(g_first, code, w, l);
}
LRESULT SecondHook(int code, WPARAM w, LPARAM l) {
  g_calls.push_back("second " + std::to_string(code));
  return CallNextHookEx(g_second, code, w, l);
}

TEST_F(UiWindows, MessageBoxRunsTheHookChainNewestFirstAndKeepsTheIcon) {
  g_calls.clear();
  g_icon = RSLoadIcon(res_, 101, GetSystemMetrics(SM_CXSMICON));
  ASSERT_NE(g_icon, nullptr);
  g_first = SetWindowsHookExW(WH_CBT, FirstHook, nullptr, GetCurrentThreadId());
  g_second = SetWindowsHookExW(WH_CBT, SecondHook, nullptr, GetCurrentThreadId());
  ASSERT_NE(g_first, nullptr);
  Answer("msgbox no");
  int button = MessageBoxW(main_, u"Text", u"Tester caption", MB_YESNO | MB_ICONQUESTION);
  EXPECT_EQ(button, IDNO);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"second 5", "first 5"}));
  // The box was a real window while it was up: its title came through
  // GetWindowTextW, and it is gone afterwards.
  EXPECT_EQ(g_seenTitle, u"Tester caption");
  EXPECT_FALSE(IsWindow(g_box));
  ASSERT_EQ(ui().MessageBoxes().size(), 1u);
  EXPECT_EQ(ui().MessageBoxes()[0].smallIcon, 101);
  EXPECT_EQ(ui().MessageBoxes()[0].owner, main_);
  EXPECT_TRUE(UnhookWindowsHookEx(g_second));
  EXPECT_TRUE(UnhookWindowsHookEx(g_first));
  EXPECT_FALSE(UnhookWindowsHookEx(g_first));  // twice: refused
  // A hook of another kind is refused; an unknown style shows nothing.
  EXPECT_EQ(SetWindowsHookExW(2, FirstHook, nullptr, 0), nullptr);
  EXPECT_EQ(MessageBoxW(main_, u"x", u"y", 0x9), 0);
  EXPECT_EQ(ui().MessageBoxes().size(), 1u);
  // A box nobody answers presses the button that commits to nothing.
  EXPECT_EQ(MessageBoxW(nullptr, u"Sure?", nullptr, MB_YESNOCANCEL), IDCANCEL);
  EXPECT_EQ(ui().MessageBoxes().back().caption, u"Error");
  EXPECT_EQ(ui().log().ErrorCount(), 1u);
  EXPECT_TRUE(DestroyIcon(g_icon));
  EXPECT_FALSE(DestroyIcon(g_icon));
}

TEST_F(UiWindows, StatusBarIsAChildWindowOfTheMainWindow) {
  HWND bar = FindWindowExW(main_, nullptr, u"msctls_statusbar32", u"");
  ASSERT_NE(bar, nullptr);
  EXPECT_TRUE(IsWindow(bar));
  char16_t cls[64] = {};
  GetClassNameW(bar, cls, 64);
  EXPECT_EQ(std::u16string(cls), u"msctls_statusbar32");
  EXPECT_EQ(GetWindow(bar, GW_OWNER), main_);
  EXPECT_TRUE(SetWindowTextW(bar, u"Link started."));
  EXPECT_EQ(ui().StatusText(), u"Link started.");
  char16_t text[64] = {};
  GetWindowTextW(bar, text, 64);
  EXPECT_EQ(std::u16string(text), u"Link started.");
  // As on Windows, the title is part of the search: a bar with text is not
  // found by an empty title; the add-on keeps its handle instead.
  EXPECT_EQ(FindWindowExW(main_, nullptr, u"msctls_statusbar32", u""), nullptr);
  EXPECT_EQ(FindWindowExW(main_, nullptr, u"msctls_statusbar32", nullptr), bar);
  EXPECT_EQ(FindWindowExW(nullptr, nullptr, u"msctls_statusbar32", nullptr), nullptr);
  // Same text again: no new log line.
  auto before = ui().log().EventsOfKind("statusbar").size();
  SetWindowTextW(bar, u"Link started.");
  EXPECT_EQ(ui().log().EventsOfKind("statusbar").size(), before);
  ui().DestroyWindows();
  EXPECT_FALSE(IsWindow(bar));
  EXPECT_FALSE(SetWindowTextW(bar, u"gone"));
}

TEST_F(UiWindows, SaveDialogBufferRules) {
  const std::string dir = uitest::TempDir();
  char16_t small[8];
  // A proposal that fills the buffer without a NUL is read only that far.
  for (auto& c : small) c = u'a';
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.lpstrFile = small;
  ofn.nMaxFile = 8;
  std::u16string initial = host::ui::Utf16(dir);
  ofn.lpstrInitialDir = initial.c_str();
  Answer("save a-name-longer-than-eight.txt");
  EXPECT_FALSE(GetSaveFileNameW(&ofn));
  EXPECT_EQ(CommDlgExtendedError(), FNERR_BUFFERTOOSMALL);
  EXPECT_EQ(small[0], dir.size() + 1 + 28 + 1);  // the size needed, terminator included
  auto shows = ui().log().EventsOfKind("savedialog.show");
  ASSERT_EQ(shows.size(), 1u);
  EXPECT_EQ(shows[0].data["proposal"], "aaaaaaaa");
  EXPECT_EQ(shows[0].data["title"], "Save As");

  char16_t buf[260] = u"";
  ofn.lpstrFile = buf;
  ofn.nMaxFile = 260;
  ofn.lpstrDefExt = u"dae";
  char16_t title[16];
  ofn.lpstrFileTitle = title;
  ofn.nMaxFileTitle = 16;
  Answer("save model");
  ASSERT_TRUE(GetSaveFileNameW(&ofn));
  EXPECT_EQ(std::u16string(buf), initial + u"/model.dae");
  EXPECT_EQ(std::u16string(title), u"model.dae");
  // No answer at all: cancelled, which is no error.
  EXPECT_FALSE(GetSaveFileNameW(&ofn));
  EXPECT_EQ(CommDlgExtendedError(), 0u);
  ofn.lStructSize = 12;
  EXPECT_FALSE(GetSaveFileNameW(&ofn));
  EXPECT_NE(CommDlgExtendedError(), 0u);
}

TEST_F(UiWindows, AlertsFormatTheirParametersAndFallBackToTheLastButton) {
  Answer("alert 1");
  EXPECT_EQ(DGResAlert(res_, 32202, "9.1", nullptr, nullptr), 1);
  auto shown = ui().log().EventsOfKind("alert.show");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].data["message"], "Renderer 9.1 or newer is not running.\r\nWould you like to start it now?");
  EXPECT_EQ(shown[0].data["icon"], 32100);
  Answer("alert no");
  EXPECT_EQ(DGResAlert(res_, 32202, nullptr, nullptr, nullptr), 2);
  EXPECT_EQ(ui().log().EventsOfKind("alert.show")[1].data["message"],
            "Renderer  or newer is not running.\r\nWould you like to start it now?");
  // Unanswered, or answered with a button it does not have.
  EXPECT_EQ(DGResAlert(res_, 32202, "1", nullptr, nullptr), 2);
  Answer("alert 3");
  EXPECT_EQ(DGResAlert(res_, 32203, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(DGResAlert(res_, 999, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(ui().log().ErrorCount(), 3u);
}

short g_tooltipReturn = 1;
short TooltipCallback(short message, short, short, DGUserData, DGMessageData data) {
  if (message != DG_MSG_TOOLTIP) return 0;
  auto* help = reinterpret_cast<DGHelpData*>(data);
  // Fills the whole buffer without a terminator.
  for (int i = 0; i < DG_TOOLTIP_MAX; ++i) help->toolTipText[i] = u'x';
  return g_tooltipReturn;
}

TEST_F(UiWindows, PaletteItemsTooltipsAndRanges) {
  short pal = DGCreateDockablePalette(res_, 32450, res_, TooltipCallback, 0, u"{GUID}");
  ASSERT_GT(pal, 0);
  DGBeginProcessEvents(pal);
  // Hidden palettes take no clicks.
  EXPECT_NE(ui().Click(pal, 1), "");
  DGShowModelessDialog(pal, DG_DF_FIRST);
  EXPECT_TRUE(DGIsModelessDialogVisible(pal));
  auto tip = ui().Tooltip(pal, 1);
  ASSERT_TRUE(tip);
  EXPECT_EQ(tip->size(), static_cast<std::size_t>(DG_TOOLTIP_MAX - 1));
  g_tooltipReturn = 0;
  EXPECT_EQ(ui().Tooltip(pal, 6), u"Export (from the help resource)");
  EXPECT_FALSE(ui().Tooltip(pal, 2));
  EXPECT_FALSE(ui().Tooltip(pal, 99));
  g_tooltipReturn = 1;
  DGSetItemIcon(pal, 2, res_, 32112);
  EXPECT_EQ(DGGetItemIcon(pal, 2), 32112);
  DGSetItemIcon(pal, 2, res_, 31999);  // no such icon: reported
  EXPECT_EQ(ui().log().ErrorCount(), 1u);
  EXPECT_EQ(ui().Cancel(pal), "");
  EXPECT_FALSE(DGIsDialogOpen(pal));
  // Item calls on a closed dialog do nothing.
  DGEnableItem(pal, 1);
  EXPECT_EQ(DGGetItemCount(pal), 0);
  EXPECT_EQ(DGCreateDockablePalette(res_, 31000, res_, TooltipCallback, 0, nullptr), 0);
}

TEST_F(UiWindows, MenuRequestsCheckTheirArguments) {
  ui().SetCurrentModule(0);
  EXPECT_EQ(ui().RegisterMenu(32101, 32121, 0, 0), APIERR_GENERAL);
  ui().SetCurrentModule(res_);
  EXPECT_EQ(ui().RegisterMenu(31000, 0, 0, 0), APIERR_BADID);
  EXPECT_EQ(ui().RegisterMenu(32101, 31000, 0, 0), APIERR_BADID);
  EXPECT_EQ(ui().RegisterMenu(32101, 32121, 0, 1), NoError);
  EXPECT_EQ(ui().RegisterMenu(32101, 32121, 0, 1), APIERR_REFUSEDCMD);
  EXPECT_EQ(ui().RegisterMenu(32102, 32122, 0, 4), NoError);
  EXPECT_EQ(ui().RegisterMenu(32110, 32130, 12, 5), NoError);
  EXPECT_EQ(ui().FindMenu(32101)->group, ui().FindMenu(32102)->group);
  EXPECT_NE(ui().FindMenu(32110)->group, ui().FindMenu(32101)->group);
  EXPECT_EQ(ui().FindMenu(32110)->icon, 32106);
  EXPECT_EQ(ui().FindMenu(32110)->menuTitle, u"");

  API_MenuItemRef ref{32101, 1};
  GSFlags flags = 0;
  EXPECT_EQ(ui().Interface(APIIo_GetMenuItemFlagsID, &ref, &flags), NoError);
  flags |= API_MenuItemDisabled | API_MenuItemChecked;
  EXPECT_EQ(ui().Interface(APIIo_SetMenuItemFlagsID, &ref, &flags), NoError);
  EXPECT_TRUE(ui().FindMenu(32101)->Checked());
  std::string why;
  EXPECT_EQ(ui().ChooseMenu(32101, 1, &why), APIERR_REFUSEDCMD);
  EXPECT_NE(why.find("disabled"), std::string::npos);
  GS::UniString text(u"Resume");
  EXPECT_EQ(ui().Interface(APIIo_SetMenuItemTextID, &ref, &text), NoError);
  EXPECT_EQ(ui().FindMenu(32101)->text, u"Resume");
  EXPECT_EQ(ui().FindMenu(32101)->icon, 32101);  // a plain text keeps the icon
  API_MenuItemRef bad{32101, 2};
  EXPECT_EQ(ui().Interface(APIIo_GetMenuItemFlagsID, &bad, &flags), APIERR_BADINDEX);
  API_MenuItemRef unknown{31000, 1};
  EXPECT_EQ(ui().Interface(APIIo_GetMenuItemFlagsID, &unknown, &flags), APIERR_BADID);
  EXPECT_EQ(ui().Interface(APIIo_GetMenuItemFlagsID, &ref, nullptr), APIERR_BADPARS);
  EXPECT_EQ(ui().Interface(FourCC("XXXX"), &ref, &flags), APIERR_BADSELECTOR);
  // Enabled but without a handler.
  flags = 0;
  ui().Interface(APIIo_SetMenuItemFlagsID, &ref, &flags);
  EXPECT_EQ(ui().ChooseMenu(32101, 1, &why), APIERR_REFUSEDCMD);
  EXPECT_NE(why.find("no handler"), std::string::npos);
  EXPECT_EQ(ui().InstallMenuHandler(31000, nullptr), APIERR_BADID);
}

TEST_F(UiWindows, ShellRequestsAreRecordedAndOpenedOnlyWhenAllowed) {
  ui().SetShellLaunches(false);
  auto r = reinterpret_cast<std::intptr_t>(ShellExecuteW(nullptr, nullptr, u"https://example.org/", nullptr, nullptr, 5));
  EXPECT_GT(r, 32);
  EXPECT_FALSE(ui().ShellRequests().back().launched);
  EXPECT_EQ(reinterpret_cast<std::intptr_t>(ShellExecuteW(nullptr, nullptr, u"", nullptr, nullptr, 5)), 2);
  ui().SetShellLaunches(true);  // the opener is /bin/true in these tests
  r = reinterpret_cast<std::intptr_t>(ShellExecuteW(nullptr, u"open", u"https://example.org/a b", nullptr, nullptr, 5));
  EXPECT_GT(r, 32);
  EXPECT_TRUE(ui().ShellRequests().back().launched);
  ui().SetShellLaunches(false);
}

}  // namespace
