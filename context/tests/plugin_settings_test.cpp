// The settings record against a real (temporary) registry store: a fresh
// installation's defaults, the setters' guards, and values a user or
// another tool left damaged. No host runs: every host query fails.
#include "context/plugin_settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "base/utf.h"
#include "isolation.h"
#include "platform/win32.h"

using context::PluginSettings;

namespace {

struct Raw {
  LSTATUS result = -1;
  DWORD type = 0;
  std::vector<BYTE> data = std::vector<BYTE>(2048);
};

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    livelink_test::Isolated();
    static int n = 0;
    path_ = u"Software\\Torvik\\Test" + base::FromUtf8(std::to_string(++n));
    // On Windows the registry is the prefix's own and outlives the test:
    // each test starts without its key.
    RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
  }
  void TearDown() override { RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str()); }
  HKEY Key() {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    return key;
  }
  void Set(const char16_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = Key();
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), 0);
    RegCloseKey(key);
  }
  void SetText(const char16_t* name, const std::u16string& t) {
    Set(name, REG_SZ, t.c_str(), DWORD((t.size() + 1) * 2));
  }
  void SetDword(const char16_t* name, DWORD v) { Set(name, REG_DWORD, &v, 4); }
  Raw Get(const char16_t* name) {
    HKEY key = Key();
    Raw raw;
    DWORD size = DWORD(raw.data.size());
    raw.result = RegQueryValueExW(key, name, nullptr, &raw.type, raw.data.data(), &size);
    raw.data.resize(raw.result == 0 ? size : 0);
    RegCloseKey(key);
    return raw;
  }
  std::u16string Text(const char16_t* name) {
    const Raw raw = Get(name);
    std::u16string s(raw.data.size() / 2, u'\0');
    std::memcpy(s.data(), raw.data.data(), s.size() * 2);
    return s.empty() || s.back() != u'\0' ? s : s.substr(0, s.size() - 1);
  }
  DWORD Dword(const char16_t* name) {
    const Raw raw = Get(name);
    EXPECT_EQ(raw.type, REG_DWORD);
    DWORD v = 0;
    if (raw.data.size() == 4) std::memcpy(&v, raw.data.data(), 4);
    return v;
  }
  std::u16string path_;
};

TEST_F(Settings, AFreshStoreCreatesTheKeyWithEverySwitchOnAndTheFirstSaveWritesAllValues) {
  PluginSettings s(path_);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_READ, &key), 0);
  RegCloseKey(key);
  EXPECT_TRUE(s.CameraAutoSync() && s.MemoryTextures() && s.ColorAsTextures() && s.SmoothSurfaces() &&
              s.OptimizeSurfaces() && s.ExportNodes());
  EXPECT_EQ(s.OffsetType(), 1u);
  EXPECT_FLOAT_EQ(s.CustomOffset(), 0.01f);
  // Loading writes nothing; the first change writes every value, typed.
  EXPECT_EQ(Get(u"CameraAutoSync").result, LSTATUS(ERROR_FILE_NOT_FOUND));
  s.SetSmoothSurfaces(false);
  EXPECT_EQ(Dword(u"CameraAutoSync"), 1u);
  EXPECT_EQ(Dword(u"SmoothSurfaces"), 0u);
  EXPECT_EQ(Dword(u"OffsetType"), 1u);
  EXPECT_EQ(Get(u"CustomOffset").type, REG_SZ);
  EXPECT_EQ(Text(u"CustomOffset"), u"0.010000");
}

TEST_F(Settings, SettersGuardOffsetTypeAndOffsetsAndTheEffectiveOffsetFallsBack) {
  PluginSettings s(path_);
  for (auto [set, stored] : {std::pair{4u, 4u}, {7u, 1u}, {0u, 0u}}) {
    s.SetOffsetType(set);
    EXPECT_EQ(s.OffsetType(), stored) << set;
    EXPECT_EQ(Dword(u"OffsetType"), stored) << set;
  }
  s.SetCustomOffset(-2.25f);
  EXPECT_EQ(Text(u"CustomOffset"), u"-2.250000");
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity()}) {
    s.SetCustomOffset(2.0f);
    s.SetCustomOffset(bad);
    EXPECT_FLOAT_EQ(s.CustomOffset(), 0.01f);
    EXPECT_EQ(Text(u"CustomOffset"), u"0.010000");
  }
  // Without a host no auto-text is read: Custom is the registry's offset.
  s.SetCustomOffset(0.75f);
  s.SetOffsetType(0);
  EXPECT_FLOAT_EQ(s.EffectiveOffset(), 0.75f);
  for (std::uint32_t type : {1u, 2u, 3u, 4u}) {
    s.SetOffsetType(type);
    EXPECT_EQ(s.EffectiveOffset(), 0.0f) << type;
  }
  // A type another tool stored beyond the known ones is no offset at all.
  SetDword(u"OffsetType", 9);
  s.Load();
  EXPECT_EQ(s.OffsetType(), 9u);
  EXPECT_EQ(s.EffectiveOffset(), 0.0f);
}

// A key no registry can hold: on Windows a name longer than a key's name
// may be (Wine, unlike the Linux store, makes a key of an empty name).
std::u16string UnopenableKey() {
#ifdef _WIN32
  return u"Software\\" + std::u16string(300, u'x');
#else
  return u"Software\\\\Torvik";  // an empty component: no such key can exist
#endif
}

TEST_F(Settings, AKeyThatCannotBeOpenedKeepsTheCurrentValuesAndSavesNothing) {
  PluginSettings s(UnopenableKey());
  EXPECT_FALSE(s.Load());
  EXPECT_FALSE(s.CameraAutoSync());
  EXPECT_TRUE(s.OptimizeSurfaces() && s.ExportNodes());
  EXPECT_EQ(s.OffsetType(), 1u);
  EXPECT_FALSE(s.Save());
  s.SetCameraAutoSync(true);  // kept in memory for this session
  EXPECT_TRUE(s.CameraAutoSync());
}

// Values of the wrong type or size, and offset texts that are no number or
// out of range, load as their fallbacks; what the user had stored stays in
// the store until the user sets that very value.
TEST_F(Settings, UnusableValuesLoadAsFallbacksAndAreNotOverwrittenByOtherChanges) {
  SetText(u"CameraAutoSync", u"0");
  const BYTE eight[8] = {0, 0, 0, 0, 1, 2, 3, 4};
  Set(u"OffsetType", REG_BINARY, eight, 8);
  const BYTE two[2] = {0, 0};
  Set(u"ExportNodes", REG_DWORD, two, 2);
  SetDword(u"CustomOffset", 5);
  SetDword(u"SmoothSurfaces", 0);
  PluginSettings s(path_);
  EXPECT_TRUE(s.CameraAutoSync());
  EXPECT_EQ(s.OffsetType(), 1u);
  EXPECT_TRUE(s.ExportNodes());
  EXPECT_FLOAT_EQ(s.CustomOffset(), 0.01f);
  EXPECT_FALSE(s.SmoothSurfaces());

  s.SetMemoryTextures(false);
  EXPECT_EQ(Get(u"CameraAutoSync").type, REG_SZ);
  EXPECT_EQ(Get(u"OffsetType").data, std::vector<BYTE>(eight, eight + 8));
  EXPECT_EQ(Get(u"ExportNodes").data.size(), 2u);
  EXPECT_EQ(Get(u"CustomOffset").type, REG_DWORD);
  EXPECT_EQ(Dword(u"MemoryTextures"), 0u);
  EXPECT_EQ(Dword(u"SmoothSurfaces"), 0u);

  // The user's own choice replaces the damaged value.
  s.SetCameraAutoSync(false);
  EXPECT_EQ(Dword(u"CameraAutoSync"), 0u);
  s.SetCustomOffset(0.5f);
  EXPECT_EQ(Text(u"CustomOffset"), u"0.500000");
  EXPECT_EQ(Get(u"OffsetType").type, REG_BINARY);

  bool nodes = false;
  // Out of a float's range either way (too large, or too small to be held)
  // is unusable, read in the C locale on every platform.
  for (auto [text, value] : {std::pair{u"abc", 0.0f},
                             {u"1e999", 0.01f},
                             {u"-1e999", 0.01f},
                             {u"nan", 0.01f},
                             {u"inf", 0.01f},
                             {u"1e39", 0.01f},
                             {u"1e-60", 0.01f}}) {
    SetText(u"CustomOffset", text);
    s.Load();
    EXPECT_FLOAT_EQ(s.CustomOffset(), value) << base::ToUtf8(text);
    s.SetExportNodes(nodes = !nodes);  // a change that saves
    EXPECT_EQ(Text(u"CustomOffset"), text);
  }
  // A leading number with trailing text reads as the number.
  SetText(u"CustomOffset", u"2.5 m");
  s.Load();
  EXPECT_FLOAT_EQ(s.CustomOffset(), 2.5f);
  SetText(u"CustomOffset", u" -0x1.8p1");
  s.Load();
  EXPECT_FLOAT_EQ(s.CustomOffset(), -3.0f);
}

}  // namespace
