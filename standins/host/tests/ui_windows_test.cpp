// The host's windows in-process, where the Win32 rules the add-on relies on
// are edges a session cannot reach: the status bar seen through the window
// calls, and the save dialog's answers and buffer rules. Menus, the palette,
// message boxes, alerts and the shell as the add-on drives them are held by
// the system's module sessions.
#include <gtest/gtest.h>

#include <fstream>

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
  }
  void TearDown() override {
    ui().SetAnswerer(nullptr);
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
};

TEST_F(UiWindows, StatusBarIsAChildWindowOfTheMainWindow) {
  HWND bar = FindWindowExW(main_, nullptr, u"msctls_statusbar32", u"");
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(GetWindow(bar, GW_OWNER), main_);
  EXPECT_TRUE(SetWindowTextW(bar, u"Link started."));
  EXPECT_EQ(ui().StatusText(), u"Link started.");
  // As on Windows, a bar with text is not found by an empty title, so an
  // add-on that searched again instead of keeping its handle would fail here too.
  EXPECT_EQ(FindWindowExW(main_, nullptr, u"msctls_statusbar32", u""), nullptr);
  ui().DestroyWindows();
  EXPECT_FALSE(IsWindow(bar));
  EXPECT_FALSE(SetWindowTextW(bar, u"gone"));
}

// The save dialog as the exporter meets it: the proposal read only as far
// as its buffer, filters and title as given, a bare name placed in the
// shown folder (or the proposal's), a declined overwrite asking again, a
// cancel that is no error, and a path too long for the buffer.
TEST_F(UiWindows, SaveDialogProposalsAnswersAndBufferRules) {
  const std::string dir = uitest::TempDir();
  std::ofstream(dir + "/taken.dae") << "old";
  const std::u16string folder = host::ui::Utf16(dir);
  char16_t buf[260] = {};
  std::copy(folder.begin(), folder.end(), buf);
  std::u16string(u"/house.dae").copy(buf + folder.size(), 10);
  static const char16_t filter[] = u"Collada files\0*.dae\0All files\0*.*\0";
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.lpstrFile = buf;
  ofn.nMaxFile = 260;
  ofn.lpstrFilter = filter;
  ofn.lpstrTitle = u"Export collada file";
  ofn.Flags = OFN_OVERWRITEPROMPT;
  for (const char* a : {"save taken.dae", "overwrite no", "save mine.dae", "save taken.dae", "overwrite no",
                        "save cancel", "save taken.dae", "overwrite yes"})
    Answer(a);
  ASSERT_TRUE(GetSaveFileNameW(&ofn));
  EXPECT_EQ(std::u16string(buf), folder + u"/mine.dae");
  EXPECT_EQ(ofn.nFileOffset, folder.size() + 1);
  EXPECT_EQ(ofn.nFileExtension, folder.size() + 6);
  EXPECT_FALSE(GetSaveFileNameW(&ofn));
  EXPECT_EQ(CommDlgExtendedError(), 0u) << "a cancel is no error";
  ASSERT_TRUE(GetSaveFileNameW(&ofn));
  EXPECT_EQ(std::u16string(buf), folder + u"/taken.dae");
  auto shows = ui().log().EventsOfKind("savedialog.show");
  ASSERT_EQ(shows.size(), 3u);
  EXPECT_EQ(shows[0].data["proposal"], dir + "/house.dae");
  EXPECT_EQ(shows[0].data["title"], "Export collada file");
  EXPECT_EQ(shows[0].data["overwritePrompt"], true);
  EXPECT_EQ(shows[0].data["filters"], nlohmann::json::parse(R"([["Collada files","*.dae"],["All files","*.*"]])"));
  EXPECT_EQ(ui().log().EventsOfKind("savedialog.overwrite").size(), 3u);

  // A proposal that fills the buffer without a NUL is read only that far;
  // a chosen path that does not fit reports the size it needs.
  char16_t small[8];
  for (auto& c : small) c = u'a';
  ofn.lpstrFile = small;
  ofn.nMaxFile = 8;
  ofn.lpstrInitialDir = folder.c_str();
  ofn.lpstrDefExt = u"dae";
  Answer("save a-name-longer-than-eight");
  EXPECT_FALSE(GetSaveFileNameW(&ofn));
  EXPECT_EQ(CommDlgExtendedError(), FNERR_BUFFERTOOSMALL);
  EXPECT_EQ(small[0], dir.size() + 1 + 24 + 4 + 1);  // the default extension and the terminator included
  EXPECT_EQ(ui().log().EventsOfKind("savedialog.show").back().data["proposal"], "aaaaaaaa");
  ofn.lStructSize = 12;
  EXPECT_FALSE(GetSaveFileNameW(&ofn));
  EXPECT_NE(CommDlgExtendedError(), 0u);
}

}  // namespace
