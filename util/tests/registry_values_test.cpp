// The settings helpers over the real registry store in a temporary root:
// defaults, the 1024-byte text limit, float parsing and the stored forms.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

#include "util/registry_values.h"

using namespace util;
namespace fs = std::filesystem;

namespace {

class RegistryValues : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corv-regvalues-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ::setenv("CORV_REGISTRY_HKCU", (dir_ / "hkcu").c_str(), 1);
    ::setenv("CORV_REGISTRY_HKLM", (dir_ / "hklm").c_str(), 1);
    ::setenv("CORV_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
    key_ = OpenOrCreateKey(u"Software\\Torvik\\PluginSettings");
    ASSERT_NE(key_, nullptr);
  }
  void TearDown() override {
    if (key_ != nullptr) RegCloseKey(key_);
    fs::remove_all(dir_);
  }
  void SetRaw(const char16_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), bytes), 0);
  }
  void SetText(const char16_t* name, const std::u16string& text, bool withNul = true) {
    SetRaw(name, REG_SZ, text.data(), static_cast<DWORD>((text.size() + (withNul ? 1 : 0)) * 2));
  }
  float ReadFloat(const char16_t* name, LSTATUS expect = 0) {
    float f = -1.0f;
    EXPECT_EQ(ReadFloatValue(key_, name, f, 0.01f), expect);
    return f;
  }

  fs::path dir_;
  HKEY key_ = nullptr;
};

TEST_F(RegistryValues, OpenOrCreateKeyCreatesOnceAndReportsFailureAsNull) {
  EXPECT_TRUE(fs::is_directory(dir_ / "hkcu" / "Software" / "Torvik" / "PluginSettings"));
  HKEY again = OpenOrCreateKey(u"SOFTWARE\\Torvik\\PluginSettings");
  ASSERT_NE(again, nullptr);
  WriteDwordValue(again, u"OffsetType", 4);
  std::uint32_t v = 0;
  ReadDwordValue(key_, u"offsettype", v, 1);
  EXPECT_EQ(v, 4u);
  RegCloseKey(again);
  EXPECT_EQ(OpenOrCreateKey(u"Software\\\\Bad"), nullptr);
  // A user store that cannot be created (its place is a file).
  std::ofstream(dir_ / "blocker") << "x";
  ::setenv("CORV_REGISTRY_HKCU", (dir_ / "blocker" / "hkcu").c_str(), 1);
  EXPECT_EQ(OpenOrCreateKey(u"Software\\Torvik"), nullptr);
}

TEST_F(RegistryValues, ReadStringValueStopsAtNulAndAtTheDataEnd) {
  std::u16string out = u"stale";
  EXPECT_EQ(ReadStringValue(key_, u"Missing", out), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(out, u"");
  SetText(u"Location", u"/opt/velmar/");
  EXPECT_EQ(ReadStringValue(key_, u"location", out), 0);
  EXPECT_EQ(out, u"/opt/velmar/");
  SetRaw(u"Embedded", REG_SZ, u"ab\0cd", 10);
  EXPECT_EQ(ReadStringValue(key_, u"Embedded", out), 0);
  EXPECT_EQ(out, u"ab");
  // Text written without a NUL, filling the whole 1024-byte buffer: the
  // reader must stop at the data's end, not run on past the buffer.
  SetText(u"Full", std::u16string(512, u'x'), false);
  EXPECT_EQ(ReadStringValue(key_, u"Full", out), 0);
  EXPECT_EQ(out, std::u16string(512, u'x'));
  SetText(u"Bare", u"abc", false);
  EXPECT_EQ(ReadStringValue(key_, u"Bare", out), 0);
  EXPECT_EQ(out, u"abc");
  // One unit more than fits: the registry's "more data", and nothing read.
  SetText(u"Long", std::u16string(512, u'y'));
  EXPECT_EQ(ReadStringValue(key_, u"Long", out), ERROR_MORE_DATA);
  EXPECT_EQ(out, u"");
}

TEST_F(RegistryValues, ReadDwordValueFallsBackOnAnyFailure) {
  std::uint32_t v = 99;
  ReadDwordValue(key_, u"CameraAutoSync", v, 1);
  EXPECT_EQ(v, 1u);
  WriteDwordValue(key_, u"CameraAutoSync", 0);
  ReadDwordValue(key_, u"CameraAutoSync", v, 1);
  EXPECT_EQ(v, 0u);
  const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  SetRaw(u"Wide", REG_BINARY, eight, 8);  // does not fit in 4 bytes
  ReadDwordValue(key_, u"Wide", v, 7);
  EXPECT_EQ(v, 7u);
  const BYTE two[2] = {0x34, 0x12};
  SetRaw(u"Short", REG_BINARY, two, 2);  // no stale high bytes
  v = 0xFFFFFFFF;
  ReadDwordValue(key_, u"Short", v, 7);
  EXPECT_EQ(v, 0x1234u);
  SetText(u"Text", u"1");  // the type is not tested: the bytes are read
  ReadDwordValue(key_, u"Text", v, 7);
  EXPECT_EQ(v, 0x31u);
}

TEST_F(RegistryValues, ReadFloatValueParsesTheLeadingNumber) {
  EXPECT_FLOAT_EQ(ReadFloat(u"CustomOffset", ERROR_FILE_NOT_FOUND), 0.01f);
  const std::pair<std::u16string, float> cases[] = {
      {u"2.5", 2.5f},        {u"1.500000", 1.5f},   {u"  -3.25 m", -3.25f}, {u"+7", 7.0f},
      {u"abc", 0.0f},        {u"", 0.0f},           {u".5", 0.5f},          {u"1e3", 1000.0f},
      {u"0x1p3", 8.0f},      {u"1,5", 1.0f},        {u"+-1", 0.0f},
      // Out of float range, infinite or NaN: the default.
      {u"1e999", 0.01f},     {u"1e39", 0.01f},      {u"-1e39", 0.01f},      {u"1e-60", 0.01f},
      {u"inf", 0.01f},       {u"-Infinity", 0.01f}, {u"nan", 0.01f},
  };
  for (const auto& [text, expected] : cases) {
    SetText(u"CustomOffset", text);
    EXPECT_FLOAT_EQ(ReadFloat(u"CustomOffset"), expected) << std::string(text.begin(), text.end());
  }
  // 512 digits without a NUL: bounded by the data, and out of range.
  SetText(u"CustomOffset", std::u16string(512, u'1'), false);
  EXPECT_FLOAT_EQ(ReadFloat(u"CustomOffset"), 0.01f);
  SetText(u"CustomOffset", std::u16string(600, u'1'));
  EXPECT_FLOAT_EQ(ReadFloat(u"CustomOffset", ERROR_MORE_DATA), 0.01f);
}

// The stored text is printf's "%f" with its NUL, and reads back exactly,
// the largest float included.
TEST_F(RegistryValues, WriteFloatValueStoresPrintfTextWithItsNul) {
  for (const auto& [value, text] : {std::pair{0.01f, std::u16string(u"0.010000")}, {-2.5f, u"-2.500000"},
                                    {FLT_MAX, u"340282346638528859811704183484516925440.000000"}}) {
    WriteFloatValue(key_, u"CustomOffset", value);
    char16_t buf[80] = {};
    DWORD size = sizeof buf, type = 0;
    EXPECT_EQ(RegQueryValueExW(key_, u"CustomOffset", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), 0);
    EXPECT_EQ(std::u16string(buf, size / 2), text + u'\0');
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(ReadFloat(u"CustomOffset"), value);
  }
}

}  // namespace
