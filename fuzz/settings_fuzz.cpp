// The add-on's settings as the registry store holds them: the input is the
// values file of the settings key, as a user editing it by hand or an older
// tool could have left it. The settings record loads it and saves.
//
// Nothing is lost: a damaged file stays as it was (and a change made to the
// settings then reports that it could not be stored); values that are not the
// add-on's keep their bytes; and a second load and save of what the first
// save wrote changes nothing (the record reads back what it stores).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "context/plugin_settings.h"
#include "isolation.h"
#include "memory_registry.h"
#include "registry_store.h"

using context::PluginSettings;
namespace regstore = platform::regstore;

namespace {

std::string ValuesFile() {
  return std::string(std::getenv("CORV_REGISTRY_HKCU")) + "/Software/Torvik/PluginForArchiCAD/.values.json";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Ours(const std::u16string& name) {
  for (const char16_t* own : {u"CameraAutoSync", u"MemoryTextures", u"ColorAsTextures", u"SmoothSurfaces",
                              u"OptimizeSurfaces", u"ExportNodes", u"OffsetType", u"CustomOffset"})
    if (regstore::EqualNoCase(name, own)) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  livelink_test::Isolated();
  corv_fuzz::MoveRegistryToMemory();
  std::filesystem::create_directories(std::filesystem::path(ValuesFile()).parent_path());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = ValuesFile();
  const std::string before(reinterpret_cast<const char*>(data), size);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << before;
  std::vector<regstore::Value> values;
  const bool parsed = regstore::ParseValues(before, values);

  PluginSettings settings;
  const bool saved = settings.Save();
  const std::string after = ReadAll(path);
  if (!parsed) {
    // Every value reads as unusable and is kept; a change the user makes
    // cannot be stored, and says so.
    if (settings.SetCameraAutoSync(!settings.CameraAutoSync())) __builtin_trap();  // failure reported as success
    if (ReadAll(path) != before) __builtin_trap();                                 // a damaged file is never rewritten
    return 0;
  }
  std::vector<regstore::Value> left;
  if (!regstore::ParseValues(after, left)) __builtin_trap();
  for (const auto& value : values) {
    if (Ours(value.name)) continue;
    bool kept = false;
    for (const auto& other : left)
      kept = kept || (other.name == value.name && other.type == value.type && other.data == value.data);
    if (!kept) __builtin_trap();  // another program's value was changed
  }
  PluginSettings again;
  if (again.CameraAutoSync() != settings.CameraAutoSync() || again.MemoryTextures() != settings.MemoryTextures() ||
      again.ColorAsTextures() != settings.ColorAsTextures() || again.SmoothSurfaces() != settings.SmoothSurfaces() ||
      again.OptimizeSurfaces() != settings.OptimizeSurfaces() || again.ExportNodes() != settings.ExportNodes() ||
      again.OffsetType() != settings.OffsetType())
    __builtin_trap();  // the switches did not read back as saved
  if (saved) {
    again.Save();
    if (ReadAll(path) != after) __builtin_trap();  // a second save changed what the first wrote
  }
  return 0;
}
