// Renderer discovery against real stores and processes: versions compared as
// numbers, the installed-program list of a temporary machine store, running
// velmar processes found by their windows, and the launch of an installed
// renderer (a stand-in executable that reports how it was started).
#include "renderer/renderer.h"
#include "renderer/web_links.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "base/utf.h"
#include "child_process.h"
#include "isolation.h"
#include "platform/win32.h"
#include "util/text.h"

using namespace renderer;

namespace {

TEST(CompareVersions, NumbersNotTexts) {
  EXPECT_EQ(CompareVersions(u"8.3", u"8.3.0"), 0);
  EXPECT_EQ(CompareVersions(u"8.3.0.0", u"8.3"), 0);
  EXPECT_EQ(CompareVersions(u"8.2.5", u"8.3.0"), -1);
  EXPECT_EQ(CompareVersions(u"10.1", u"9.0"), 1);
  EXPECT_EQ(CompareVersions(u"8.3.0.1", u"8.3.0"), 1);
  // "version 8.3.0 (build 1)" cleans to 8.3.01: 8, 3, 1.
  EXPECT_EQ(CleanVersion(u"version 8.3.0 (build 1)"), u"8.3.01");
  EXPECT_EQ(CompareVersions(CleanVersion(u"version 8.3.0 (build 1)"), u"8.3.1"), 0);
  // Reading stops at the first part that is not a number.
  EXPECT_EQ(CompareVersions(u"9..5", u"9"), 0);
  EXPECT_EQ(CompareVersions(u"", u"0.0"), 0);
  EXPECT_EQ(CompareVersions(u"abc", u"0.0.0.1"), -1);
  // Numbers beyond int range saturate instead of wrapping.
  EXPECT_EQ(CompareVersions(u"99999999999999999999", u"2147483646"), 1);
}

TEST(VersionInTitle, OnlyTheVersionNotEveryDigitOfTheTitle) {
  // Every digit cleaned together would read 8.27 and pass the check.
  EXPECT_EQ(VersionInTitle(u"Velmar 8.2 (build 7)"), u"8.2");
  EXPECT_LT(CompareVersions(VersionInTitle(u"Velmar 8.2 (build 7)"), kRequiredVersion), 0);
  EXPECT_EQ(VersionInTitle(u"Velmar 10.1.3 - house.dae"), u"10.1.3");
  EXPECT_EQ(VersionInTitle(u"3D view - Velmar v9.0. beta 2"), u"9.0");
  EXPECT_EQ(VersionInTitle(u"Velmar beta"), u"");
  EXPECT_EQ(VersionInTitle(u"Velmar2 9.0"), u"");  // not "Velmar " at all
}

class Installed : public ::testing::Test {
 protected:
  // Each test starts from a machine store without any program list (on
  // Windows the prefix's registry: without the entries the tests make).
  void SetUp() override { Clear(); }
  // On Windows the prefix's registry outlives the test: what it installed
  // must not look like an installed renderer to the programs run after it.
  void TearDown() override { Clear(); }
  static void Clear() {
#ifdef _WIN32
    for (const char16_t* key : {u"A", u"B", u"C", u"D", u"E", u"F", u"G", u"Old", u"New", u"NoLoc"})
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::u16string(kUninstallKey) + u"\\" + key).c_str());
#else
    std::filesystem::remove_all(livelink_test::Isolated().root() + "/hklm/SOFTWARE");
#endif
  }
  static void Add(const std::u16string& key, const std::u16string& name, const std::u16string& version,
                  const std::u16string& location = u"", bool withLocation = true) {
    HKEY k = nullptr;
    const std::u16string path = std::u16string(kUninstallKey) + u"\\" + key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              0);
    auto set = [&](const char16_t* value, const std::u16string& text) {
      RegSetValueExW(k, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), DWORD((text.size() + 1) * 2));
    };
    set(u"DisplayName", name);
    set(u"DisplayVersion", version);
    if (withLocation) set(u"InstallLocation", location);
    RegCloseKey(k);
  }
};

TEST_F(Installed, HighestVelmarEntryByNumberSkippingOthersAndEntriesWithoutDigits) {
  EXPECT_EQ(GetInstalledRendererVersion(), u"0.0");  // no list at all
  Add(u"A", u"Velmar 8.2", u"8.2");
  Add(u"B", u"Velmar 10.1", u"10.1");
  Add(u"C", u"Other renderer", u"99.0");
  Add(u"D", u"velmar lower case", u"50.0");  // the name test is case-sensitive
  Add(u"E", u"Velmar beta", u"beta");
  Add(u"F", u"Velmar dots", u"...");
  EXPECT_EQ(GetInstalledRendererVersion(), u"10.1");
  Add(u"G", u"Velmar 2024", u"version 12.0.3 (build 7)");
  EXPECT_EQ(GetInstalledRendererVersion(), u"12.0.37");
}

// A stand-in renderer named like the renderer's executable that writes its
// working directory, show state and arguments to a file: a script on Linux,
// a small program (tests/tools/launch_report.cpp) on Windows.
class Launch : public Installed {
 protected:
  void SetUp() override {
    Installed::SetUp();
#ifdef _WIN32
    const std::string pid = std::to_string(GetCurrentProcessId());
#else
    const std::string pid = std::to_string(::getpid());
#endif
    dir_ = livelink_test::Isolated().root() + "/Program Files/Velmar " + pid;
    std::filesystem::create_directories(dir_);
    report_ = livelink_test::Isolated().root() + "/launch-report";
    std::filesystem::remove(report_);
    const std::string exe = dir_ + "/" + base::ToUtf8(kRendererExecutable);
#ifdef _WIN32
    _putenv_s("CORV_TEST_LAUNCH_REPORT", report_.c_str());
    std::filesystem::copy_file(LAUNCH_REPORT_TOOL, exe + ".exe", std::filesystem::copy_options::overwrite_existing);
#else
    ::setenv("CORV_TEST_LAUNCH_REPORT", report_.c_str(), 1);
    std::ofstream(exe) << "#!/bin/sh\necho \"$(pwd)|$CORV_SHOW_WINDOW|$#\" > \"$CORV_TEST_LAUNCH_REPORT\"\n";
    ::chmod(exe.c_str(), 0755);
#endif
  }
  std::string WaitReport() {
    for (int i = 0; i < 200; ++i) {
      std::ifstream in(report_);
      std::string line;
      if (std::getline(in, line) && !line.empty()) return Plain(line);
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return {};
  }
  // A folder as the system writes it: Windows turns "/" into "\".
  static std::string Plain(std::string path) {
#ifdef _WIN32
    std::replace(path.begin(), path.end(), '/', '\\');
#endif
    return path;
  }
  std::string dir_, report_;
};

TEST_F(Launch, StartsTheMatchingEntryMaximisedInItsFolderWhetherOrNotTheLocationEndsInASeparator) {
  Add(u"Old", u"Velmar 8.1", u"8.1", u"/nonexistent/");
  for (const std::string& location : {dir_, dir_ + "/"}) {
    std::filesystem::remove(report_);
    Add(u"New", u"Velmar 9.0", u"9.0", base::FromUtf8(location));
    ASSERT_TRUE(LaunchRenderer(u"9.0"));
    EXPECT_EQ(WaitReport(), Plain(dir_) + "|3|0") << location;
  }
}

TEST_F(Launch, RefusesWithoutEntryLocationFolderOrExecutable) {
  EXPECT_FALSE(LaunchRenderer(u"9.0"));  // no entry
  Add(u"NoLoc", u"Velmar 9.0", u"9.0", u"", false);
  EXPECT_FALSE(LaunchRenderer(u"9.0"));
  Add(u"NoLoc", u"Velmar 9.0", u"9.0", u"/nonexistent/Velmar");
  EXPECT_FALSE(LaunchRenderer(u"9.0"));
  const std::string empty = livelink_test::Isolated().root() + "/empty-install";
  std::filesystem::create_directories(empty);
  Add(u"NoLoc", u"Velmar 9.0", u"9.0", base::FromUtf8(empty));
  EXPECT_FALSE(LaunchRenderer(u"9.0"));
  // A version must match exactly after cleaning: 9.0 is not 9.0.0.
  Add(u"NoLoc", u"Velmar 9.0", u"9.0", base::FromUtf8(dir_));
  EXPECT_FALSE(LaunchRenderer(u"9.0.0"));
  EXPECT_TRUE(LaunchRenderer(u"9.0"));
  EXPECT_FALSE(WaitReport().empty());
}

// The highest version among the running renderers' windows, once it is
// the one wanted (or after 5 s).
std::u16string AwaitHighest(const std::u16string& wanted) {
  for (int i = 0; i < 200 && GetRunningRendererVersion(true) != wanted; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  return GetRunningRendererVersion(true);
}

TEST(Running, HighestOfTheRunningRenderersWindows) {
  livelink_test::Isolated();
  EXPECT_EQ(GetRunningRendererVersion(true), u"0.0.0.0");
  auto older = livelink_test::ChildProcess::Start(VELMAR_PATH, {"--app-version", "8.2", "run"});
  auto newer = livelink_test::ChildProcess::Start(VELMAR_PATH, {"--app-version", "9.0", "run"});
  ASSERT_TRUE(older && newer);
  EXPECT_EQ(AwaitHighest(u"9.0"), u"9.0");
  // With only the older one left, the check would not pass.
  newer.reset();
  EXPECT_EQ(AwaitHighest(u"8.2"), u"8.2");
  EXPECT_LT(CompareVersions(GetRunningRendererVersion(true), kRequiredVersion), 0);
}

// The pages themselves are checked where the add-on opens them (its
// session test); here the encoding of a host label with its version.
TEST(WebLinks, QueryEncodesItsThreeValues) {
  EXPECT_EQ(BuildLinkQuery(u"ArchiCAD 21.0.0"),
            u"?utm_source=ArchiCAD%2021%2e0%2e0&utm_medium=3%2e50%2e904&utm_campaign=ArchiCAD%20Corvanta");
}

}  // namespace
