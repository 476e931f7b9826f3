// The settings helpers over the real registry store in the test process's
// own roots: the key, the 1024-byte text limit, number parsing and the
// stored float form.
#include <gtest/gtest.h>

#include <cfloat>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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
  float ReadFloat(LSTATUS expect = 0) {
    float f = -1.0f;
    EXPECT_EQ(ReadFloatValue(key_, u"CustomOffset", f, 0.01f), expect);
    return f;
  }
  const fs::path root_ = livelink_test::Isolated().root();
  HKEY key_ = OpenOrCreateKey(u"Software\\Torvik\\PluginSettings");
};

TEST_F(RegistryValues, OpenOrCreateKeyOpensOneKeyWhateverTheSpellingAndFailsAsNull) {
  EXPECT_TRUE(fs::is_directory(root_ / "hkcu" / "Software" / "Torvik" / "PluginSettings"));
  HKEY again = OpenOrCreateKey(u"SOFTWARE\\Torvik\\PluginSettings");
  ASSERT_NE(again, nullptr);
  WriteDwordValue(again, u"OffsetType", 4);
  RegCloseKey(again);
  std::uint32_t v = 0;
  ReadDwordValue(key_, u"offsettype", v, 1);
  EXPECT_EQ(v, 4u);
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
  std::u16string out = u"stale";
  EXPECT_EQ(ReadStringValue(key_, u"Missing", out), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(out, u"");
  SetRaw(u"Embedded", REG_SZ, u"ab\0cd", 10);
  SetText(u"Full", std::u16string(512, u'x'), false);
  SetText(u"Bare", u"abc", false);
  SetText(u"Long", std::u16string(512, u'y'));
  const struct {
    const char16_t* name;
    LSTATUS result;
    std::u16string text;
  } cases[] = {{u"embedded", 0, u"ab"}, {u"Full", 0, std::u16string(512, u'x')}, {u"Bare", 0, u"abc"},
               {u"Long", ERROR_MORE_DATA, u""}};
  for (const auto& c : cases) {
    EXPECT_EQ(ReadStringValue(key_, c.name, out), c.result);
    EXPECT_EQ(out, c.text);
  }
}

// Numbers: a DWORD is up to 4 bytes little-endian whatever the type; a
// float is the text's leading decimal number, 0 without one, the default when
// unreadable, out of float range, infinite or NaN. Written floats are "%f"
// text with the NUL and read back exactly.
TEST_F(RegistryValues, NumbersReadTheirBytesOrTextAndFallBackToTheDefault) {
  std::uint32_t v = 0;
  ReadDwordValue(key_, u"Missing", v, 7);
  EXPECT_EQ(v, 7u);
  EXPECT_FLOAT_EQ(ReadFloat(ERROR_FILE_NOT_FOUND), 0.01f);
  const std::pair<std::vector<BYTE>, std::uint32_t> dwords[] = {
      {{1, 2, 3, 4, 5, 6, 7, 8}, 7}, {{0x34, 0x12}, 0x1234}, {{'1', 0, 0, 0}, 0x31}};
  for (const auto& [bytes, expected] : dwords) {
    SetRaw(u"Value", REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
    ReadDwordValue(key_, u"Value", v = 0xFFFFFFFF, 7);
    EXPECT_EQ(v, expected) << bytes.size() << " bytes";
  }
  const std::pair<std::u16string, float> floats[] = {
      {u"  -3.25 m", -3.25f}, {u"abc", 0.0f}, {u"0x1p3", 8.0f},  {u"1,5", 1.0f},   {u"+-1", 0.0f},
      {u"1e39", 0.01f},       {u"1e-60", 0.01f}, {u"-Infinity", 0.01f}, {u"nan", 0.01f}, {std::u16string(512, u'1'), 0.01f}};
  for (const auto& [text, expected] : floats) {
    SetText(u"CustomOffset", text, text.size() < 512);  // 512 digits fill the buffer without a NUL
    EXPECT_FLOAT_EQ(ReadFloat(), expected) << std::string(text.begin(), text.end());
  }
  SetText(u"CustomOffset", std::u16string(600, u'1'));
  EXPECT_FLOAT_EQ(ReadFloat(ERROR_MORE_DATA), 0.01f);
  for (const auto& [value, text] : {std::pair{-2.5f, std::u16string(u"-2.500000")},
                                    {FLT_MAX, u"340282346638528859811704183484516925440.000000"}}) {
    WriteFloatValue(key_, u"CustomOffset", value);
    std::u16string stored;
    EXPECT_EQ(ReadStringValue(key_, u"CustomOffset", stored), 0);
    EXPECT_EQ(stored, text);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key_, u"CustomOffset", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, (text.size() + 1) * 2);  // the NUL counted
    EXPECT_EQ(ReadFloat(), value);
  }
}

}  // namespace
