#include "context/plugin_settings.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "base/utf.h"
#include "c_number.h"
#include "hostsdk/acapi.h"
#include "hostsdk/guid.h"
#include "hostsdk/requests.h"
#include "platform/win32.h"
#include "util/registry_values.h"
#include "util/text.h"

namespace context {
namespace {

// Outcome of reading one value.
enum class Read { Ok, Missing, Unusable };

// Closes the key on every path out of Load and Save.
struct KeyCloser {
  HKEY key;
  ~KeyCloser() {
    if (key != nullptr) RegCloseKey(key);
  }
};

// A DWORD value is usable only as exactly four bytes of REG_DWORD; anything
// else written there (by hand, by an older tool) is left for the user.
Read ReadDword(HKEY key, const char16_t* name, std::uint32_t& out) {
  DWORD type = 0;
  BYTE data[4] = {};
  DWORD size = sizeof(data);
  const LSTATUS r = RegQueryValueExW(key, name, nullptr, &type, data, &size);
  if (r == LSTATUS(ERROR_FILE_NOT_FOUND)) return Read::Missing;
  if (r != LSTATUS(ERROR_SUCCESS) || type != REG_DWORD || size != 4) return Read::Unusable;
  out = std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 | std::uint32_t(data[2]) << 16 |
        std::uint32_t(data[3]) << 24;
  return Read::Ok;
}

// The custom offset is REG_SZ text ("%f"). A text that holds no number reads
// as 0.0, one out of float range, NaN or infinite as 0.01; both count as
// unusable, so the stored text survives until the user enters an offset.
Read ReadOffsetText(HKEY key, const char16_t* name, float& out) {
  DWORD type = 0;
  BYTE data[1024] = {};
  DWORD size = sizeof(data);
  const LSTATUS r = RegQueryValueExW(key, name, nullptr, &type, data, &size);
  if (r == LSTATUS(ERROR_FILE_NOT_FOUND)) return Read::Missing;
  if (r != LSTATUS(ERROR_SUCCESS) || type != REG_SZ || size % 2 != 0) return Read::Unusable;
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), data, size);
  if (const auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
  const std::string utf8 = base::ToUtf8(text);
  const char* begin = utf8.c_str();
  char* end = nullptr;
  errno = 0;
  const float v = ParseFloatC(begin, &end);
  if (end == begin) {
    out = 0.0f;
    return Read::Unusable;
  }
  if (errno == ERANGE || !std::isfinite(v)) {
    out = PluginSettings::kDefaultCustomOffset;
    return Read::Unusable;
  }
  out = v;
  return Read::Ok;
}

bool WriteDword(HKEY key, const char16_t* name, std::uint32_t v) {
  const BYTE data[4] = {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
  return RegSetValueExW(key, name, 0, REG_DWORD, data, 4) == LSTATUS(ERROR_SUCCESS);
}

bool WriteOffset(HKEY key, const char16_t* name, float v) {
  const std::u16string text = util::FormatString(u"%f", double(v));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        DWORD((text.size() + 1) * 2)) == LSTATUS(ERROR_SUCCESS);
}

bool ProjectAvailable() {
  API_ProjectInfo info;
  return ACAPI_Environment(APIEnv_ProjectID, &info) == NoError;
}

// The custom auto-texts of the open project; empty on any failure.
std::vector<API_AutotextEntry> CustomAutoTexts() {
  API_AutotextList list;
  if (ACAPI_Goodies(APIAny_GetAutoTextsID, &list, reinterpret_cast<void*>(APIAutoText_Custom)) != NoError) {
    return {};
  }
  return std::move(list.entries);
}

const API_AutotextEntry* FindOffsetEntry(const std::vector<API_AutotextEntry>& entries) {
  const GS::UniString name = GS::UniString::FromUtf8(PluginSettings::kOffsetAutoTextName);
  for (const auto& e : entries) {
    if (e[0] == name) return &e;
  }
  return nullptr;
}

constexpr const char16_t* kNames[] = {u"CameraAutoSync",   u"MemoryTextures", u"ColorAsTextures", u"SmoothSurfaces",
                                      u"OptimizeSurfaces", u"ExportNodes",    u"OffsetType"};
constexpr const char16_t* kOffsetName = u"CustomOffset";

}  // namespace

PluginSettings::PluginSettings(std::u16string keyPath) : keyPath_(std::move(keyPath)) { Load(); }

bool PluginSettings::Load() {
  KeyCloser key{util::OpenOrCreateKey(keyPath_)};
  if (key.key == nullptr) return false;
  std::uint32_t* fields[] = {&cameraAutoSync_,   &memoryTextures_, &colorAsTextures_, &smoothSurfaces_,
                             &optimizeSurfaces_, &exportNodes_,    &offsetType_};
  keepStored_ = 0;
  for (unsigned i = 0; i < 7; ++i) {
    std::uint32_t v = 1;
    const Read r = ReadDword(key.key, kNames[i], v);
    if (r != Read::Ok) v = 1;
    if (r == Read::Unusable) keepStored_ |= 1u << i;
    *fields[i] = v;
  }
  float offset = kDefaultCustomOffset;
  const Read r = ReadOffsetText(key.key, kOffsetName, offset);
  if (r == Read::Missing) offset = kDefaultCustomOffset;
  if (r == Read::Unusable) keepStored_ |= kBitCustomOffset;
  customOffset_ = offset;
  return true;
}

bool PluginSettings::Save() {
  KeyCloser key{util::OpenOrCreateKey(keyPath_)};
  if (key.key == nullptr) return false;
  const std::uint32_t values[] = {cameraAutoSync_,   memoryTextures_, colorAsTextures_, smoothSurfaces_,
                                  optimizeSurfaces_, exportNodes_,    offsetType_};
  bool ok = true;
  for (unsigned i = 0; i < 7; ++i) {
    if ((keepStored_ & (1u << i)) != 0) continue;
    ok = WriteDword(key.key, kNames[i], values[i]) && ok;
  }
  if ((keepStored_ & kBitCustomOffset) == 0) ok = WriteOffset(key.key, kOffsetName, customOffset_) && ok;
  return ok;
}

bool PluginSettings::SetSwitch(std::uint32_t& field, unsigned bit, bool on) {
  field = on ? 1 : 0;
  keepStored_ &= ~bit;
  return Save();
}

bool PluginSettings::SetCameraAutoSync(bool on) { return SetSwitch(cameraAutoSync_, kBitCameraAutoSync, on); }
bool PluginSettings::SetMemoryTextures(bool on) { return SetSwitch(memoryTextures_, kBitMemoryTextures, on); }
bool PluginSettings::SetColorAsTextures(bool on) { return SetSwitch(colorAsTextures_, kBitColorAsTextures, on); }
bool PluginSettings::SetSmoothSurfaces(bool on) { return SetSwitch(smoothSurfaces_, kBitSmoothSurfaces, on); }
bool PluginSettings::SetOptimizeSurfaces(bool on) { return SetSwitch(optimizeSurfaces_, kBitOptimizeSurfaces, on); }
bool PluginSettings::SetExportNodes(bool on) { return SetSwitch(exportNodes_, kBitExportNodes, on); }

bool PluginSettings::SetOffsetType(std::uint32_t n) {
  offsetType_ = n < 5 ? n : kOffsetZero;
  keepStored_ &= ~unsigned(kBitOffsetType);
  return Save();
}

bool PluginSettings::SetCustomOffset(float metres) {
  customOffset_ = std::isfinite(metres) ? metres : kDefaultCustomOffset;
  keepStored_ &= ~unsigned(kBitCustomOffset);
  return Save();
}

std::optional<double> PluginSettings::LevelHeight(std::uint32_t offsetType) {
  switch (offsetType) {
    case kOffsetZero: return 0.0;
    case kOffsetSeaLevel: {
      API_PlaceInfo place;
      if (ACAPI_Environment(APIEnv_GetPlaceSetsID, &place) != NoError) return std::nullopt;
      return place.altitude;
    }
    case kOffsetLevel1:
    case kOffsetLevel2: {
      API_RefLevelsPrefs levels;
      if (ACAPI_Environment(APIEnv_GetPreferencesID, &levels, reinterpret_cast<void*>(std::intptr_t(1))) != NoError) {
        return std::nullopt;
      }
      if (offsetType == kOffsetLevel1) {
        if (!levels.hasLevel1) return std::nullopt;
        return levels.level1val;
      }
      if (!levels.hasLevel2) return std::nullopt;
      return levels.level2val;
    }
    default: return std::nullopt;
  }
}

float PluginSettings::EffectiveOffset() const {
  if (offsetType_ == kOffsetCustom) {
    if (const auto v = ReadOffsetAutoText()) return *v;
    return customOffset_;
  }
  const auto h = LevelHeight(offsetType_);
  if (!h || !std::isfinite(*h)) return 0.0f;
  return float(*h);
}

std::optional<float> PluginSettings::ReadOffsetAutoText() {
  const auto entries = CustomAutoTexts();
  const API_AutotextEntry* e = FindOffsetEntry(entries);
  if (e == nullptr) return std::nullopt;
  const std::string utf8 = (*e)[2].ToUtf8();
  errno = 0;
  const float v = ParseFloatC(utf8.c_str(), nullptr);
  if (errno == ERANGE || std::isinf(v) || std::isnan(v)) return std::nullopt;
  return v;
}

bool PluginSettings::WriteOffsetAutoText(float value) {
  if (!ProjectAvailable()) return false;
  const auto entries = CustomAutoTexts();
  GS::UniString key;
  if (const API_AutotextEntry* e = FindOffsetEntry(entries)) {
    key = (*e)[1];
  } else {
    API_Guid guid;
    if (ACAPI_GenerateGuid(&guid) != NoError) return false;
    if (ACAPI_Goodies(APIAny_CreateAnAutoTextID, &guid, const_cast<char*>(kOffsetAutoTextName)) != NoError) {
      return false;
    }
    key = GS::UniString::FromUtf8("autotext-" + APIGuidToString(guid));
  }
  GS::UniString text(util::FormatString(u"%0.3f", double(value)));
  return ACAPI_Goodies(APIAny_SetAnAutoTextID, &key, &text) == NoError;
}

}  // namespace context
