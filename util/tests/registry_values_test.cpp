// The settings key and text reader over the real registry store in the test
// process's own roots: one key whatever the spelling, and the 1024-byte text
// limit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "isolation.h"
#include "util/registry_values.h"

using namespace util;
namespace fs = std::filesystem;

namespace {

class RegistryValues : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(key_, nullptr); }
  void TearDown() override { RegCloseKey(key_); }
  void SetRaw(const char16_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), bytes), 0);
  }
  void SetText(const char16_t* name, const std::u16string& text, bool withNul = true) {
    SetRaw(name, REG_SZ, text.data(), static_cast<DWORD>((text.size() + (withNul ? 1 : 0)) * 2));
  }
  const fs::path root_ = livelink_test::Isolated().root();
  HKEY key_ = OpenOrCreateKey(u"Software\\Torvik\\PluginSettings");
};

TEST_F(RegistryValues, OpenOrCreateKeyOpensOneKeyWhateverTheSpellingAndFailsAsNull) {
  EXPECT_TRUE(fs::is_directory(root_ / "hkcu" / "Software" / "Torvik" / "PluginSettings"));
  HKEY again = OpenOrCreateKey(u"SOFTWARE\\Torvik\\PluginSettings");
  ASSERT_NE(again, nullptr);
  ASSERT_EQ(RegSetValueExW(again, u"OffsetType", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"4"), 4), 0);
  RegCloseKey(again);
  std::u16string v;
  EXPECT_EQ(ReadStringValue(key_, u"offsettype", v), 0);
  EXPECT_EQ(v, u"4");
  EXPECT_EQ(OpenOrCreateKey(u"Software\\\\Bad"), nullptr);
  // A user store that cannot be created (its place is a file).
  const std::string saved = std::getenv("CORV_REGISTRY_HKCU");
  std::ofstream(root_ / "blocker") << "x";
  ::setenv("CORV_REGISTRY_HKCU", (root_ / "blocker" / "hkcu").c_str(), 1);
  EXPECT_EQ(OpenOrCreateKey(u"Software\\Torvik"), nullptr);
  ::setenv("CORV_REGISTRY_HKCU", saved.c_str(), 1);
}

// Text stops at its first NUL or, stored without one, at the data's end,
// never past the 1024-byte buffer; one unit more than fits is "more data".
TEST_F(RegistryValues, ReadStringValueStopsAtNulAndAtTheDataEnd) {
  std::u16string out;
  SetRaw(u"Embedded", REG_SZ, u"ab\0cd", 10);
  SetText(u"Full", std::u16string(512, u'x'), false);
  SetText(u"Bare", u"abc", false);
  SetText(u"Long", std::u16string(512, u'y'));
  const struct {
    const char16_t* name;
    LSTATUS result;
    std::u16string text;
  } cases[] = {{u"embedded", 0, u"ab"}, {u"Full", 0, std::u16string(512, u'x')}, {u"Bare", 0, u"abc"},
               {u"Missing", ERROR_FILE_NOT_FOUND, u""}, {u"Long", ERROR_MORE_DATA, u""}};  // failures empty out
  for (const auto& c : cases) {
    EXPECT_EQ(ReadStringValue(key_, c.name, out), c.result);
    EXPECT_EQ(out, c.text);
  }
}

}  // namespace
