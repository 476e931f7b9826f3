// The settings key and text reader over the real registry store in the test
// process's own roots: one key whatever the spelling, and the 1024-byte text
// limit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "isolation.h"
#include "util/registry_values.h"

using namespace util;
namespace fs = std::filesystem;

namespace {

class RegistryValues : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(key_, nullptr); }
  void TearDown() override { RegCloseKey(key_); }
  // Stores the first units of text (of a terminated buffer) as REG_SZ.
  void SetText(HKEY key, const char16_t* name, const std::u16string& text, std::size_t units) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), DWORD(units * 2)), 0);
  }
  const fs::path root_ = livelink_test::Isolated().root();
  HKEY key_ = OpenOrCreateKey(u"Software\\Torvik\\PluginSettings");
};

TEST_F(RegistryValues, OneKeyWhateverTheSpellingAndTextThatStopsAtNulOrTheDataEnd) {
#ifndef _WIN32
  EXPECT_TRUE(fs::is_directory(root_ / "hkcu" / "Software" / "Torvik" / "PluginSettings"));
#endif
  HKEY again = OpenOrCreateKey(u"SOFTWARE\\Torvik\\PluginSettings");
  ASSERT_NE(again, nullptr);
  SetText(again, u"OffsetType", u"4", 2);
  RegCloseKey(again);
  std::u16string v;
  EXPECT_EQ(ReadStringValue(key_, u"offsettype", v), 0);
  EXPECT_EQ(v, u"4");
  // An empty key name on the way: the emulation refuses it; Wine's registry
  // makes the key (docs/windows.md), so only Linux checks it.
#ifndef _WIN32
  EXPECT_EQ(OpenOrCreateKey(u"Software\\\\Bad"), nullptr);
  // A user store (the emulation's file store; Windows has no such place) that cannot be created (its place is a file).
  const std::string saved = std::getenv("CORV_REGISTRY_HKCU");
  std::ofstream(root_ / "blocker") << "x";
  ::setenv("CORV_REGISTRY_HKCU", (root_ / "blocker" / "hkcu").c_str(), 1);
  EXPECT_EQ(OpenOrCreateKey(u"Software\\Torvik"), nullptr);
  ::setenv("CORV_REGISTRY_HKCU", saved.c_str(), 1);
#endif

  // Text stops at its first NUL or, stored without one, at the data's end,
  // never past the 1024-byte buffer; one unit more than fits is "more data".
  SetText(key_, u"Embedded", std::u16string(u"ab\0cd", 5), 5);
  SetText(key_, u"Full", std::u16string(512, u'x'), 512);
  SetText(key_, u"Bare", u"abc", 3);
  SetText(key_, u"Long", std::u16string(512, u'y'), 513);
  // Exactly 1024 bytes without a NUL: Wine's RegQueryValueExW wants room
  // for the NUL it adds and says "more data"; Windows and the emulation
  // return the bytes as stored (docs/windows.md).
  const bool wine = livelink_test::UnderWine();
  const std::tuple<const char16_t*, LSTATUS, std::u16string> cases[] = {
      {u"embedded", 0, u"ab"},
      {u"Full", wine ? ERROR_MORE_DATA : 0, wine ? u"" : std::u16string(512, u'x')},
      {u"Bare", 0, u"abc"},
      {u"Missing", ERROR_FILE_NOT_FOUND, u""},
      {u"Long", ERROR_MORE_DATA, u""}};  // failures empty out
  for (const auto& [name, result, text] : cases) {
    EXPECT_EQ(ReadStringValue(key_, name, v), result);
    EXPECT_EQ(v, text);
  }
}

}  // namespace
