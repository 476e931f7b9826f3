// The registry store's values file, which a user may edit by hand and any
// program of the user may write. The input is the file of one key: first
// the format alone (a file that parses writes back to a file that parses to
// the same values, and writing is stable), then the store's functions on it
// as the add-on and velmar call them. A damaged file is refused with
// ERROR_BADDB by every value operation and never rewritten.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "isolation.h"
#include "memory_registry.h"
#include "platform/win32.h"
#include "registry_store.h"

namespace regstore = platform::regstore;

namespace {

constexpr char16_t kKey[] = u"Software\\Fuzz";

std::string ValuesFile() { return std::string(std::getenv("CORV_REGISTRY_HKCU")) + "/Software/Fuzz/.values.json"; }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Same(const std::vector<regstore::Value>& a, const std::vector<regstore::Value>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].name != b[i].name || a[i].type != b[i].type || a[i].data != b[i].data) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  livelink_test::Isolated();
  corv_fuzz::MoveRegistryToMemory();
  std::filesystem::create_directories(std::filesystem::path(ValuesFile()).parent_path());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<regstore::Value> values;
  const bool parsed = regstore::ParseValues(text, values);
  if (parsed) {
    const std::string written = regstore::SerializeValues(values);
    std::vector<regstore::Value> again;
    if (!regstore::ParseValues(written, again)) __builtin_trap();  // the store cannot read what it wrote
    if (!Same(values, again)) __builtin_trap();                    // a value changed on the way
    if (regstore::SerializeValues(again) != written) __builtin_trap();
  }

  const std::string path = ValuesFile();
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != LSTATUS(ERROR_SUCCESS))
    return 0;
  const auto expect = [&](LSTATUS status) {
    if (!parsed && status != LSTATUS(ERROR_BADDB)) __builtin_trap();
  };
  DWORD count = 0, longestName = 0, largest = 0;
  expect(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName, &largest,
                          nullptr, nullptr));
  std::vector<platform::RegistryValue> listed;
  expect(platform::ReadRegistryValues(key, &listed));
  if (parsed && listed.size() != values.size()) __builtin_trap();
  // Each value read back by name, through a buffer too small and then one
  // of the size asked for.
  for (std::size_t i = 0; i < listed.size() && i < 16; ++i) {
    DWORD type = 0, bytes = 1;
    BYTE small[1];
    LSTATUS status = RegQueryValueExW(key, listed[i].name.c_str(), nullptr, &type, small, &bytes);
    if (status == LSTATUS(ERROR_MORE_DATA) || status == LSTATUS(ERROR_SUCCESS)) {
      std::vector<BYTE> whole(bytes + 1);
      DWORD wholeBytes = bytes;
      status = RegQueryValueExW(key, listed[i].name.c_str(), nullptr, &type, whole.data(), &wholeBytes);
      if (status == LSTATUS(ERROR_SUCCESS) &&
          (wholeBytes != listed[i].data.size() ||
           !std::equal(listed[i].data.begin(), listed[i].data.end(), whole.begin())))
        __builtin_trap();  // the enumeration and the query disagree
    }
  }
  for (DWORD i = 0; i < 4; ++i) {
    char16_t name[300];
    DWORD nameUnits = 300, type = 0, bytes = 64;
    BYTE buffer[64];
    RegEnumValueW(key, i, name, &nameUnits, nullptr, &type, buffer, &bytes);
  }
  const DWORD one = 1;
  expect(RegSetValueExW(key, u"FuzzAdded", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one));
  expect(RegDeleteValueW(key, u"FuzzAdded"));
  RegCloseKey(key);
  if (!parsed && ReadAll(path) != text) __builtin_trap();  // a damaged file is left for the user to repair
  return 0;
}
