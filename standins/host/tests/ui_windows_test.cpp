// The host's windows in-process, where the Win32 rules the add-on relies on
// are edges a session cannot reach: the status bar seen through the window
// calls, and the save dialog's buffer rules. Menus, the palette, message
// boxes, alerts and the shell as the add-on drives them are held by the
// hostsim sessions.
#include <gtest/gtest.h>

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

}  // namespace
