// Test helper: writes count REG_DWORD values named <prefix><i> = i into the
// current user's key <subkey>, each through its own RegSetValueExW, as a second
// process racing the test. Exits 0 when every write succeeded.
#include "platform/win32.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
std::u16string Widen(const char* s) {
  std::u16string r;
  for (; *s != '\0'; ++s) r.push_back(static_cast<unsigned char>(*s));
  return r;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: reg_writer SUBKEY PREFIX COUNT\n");
    return 2;
  }
  std::u16string subKey = Widen(argv[1]);
  std::u16string prefix = Widen(argv[2]);
  long count = std::strtol(argv[3], nullptr, 10);
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, 0,
                               KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != 0) {
    std::fprintf(stderr, "reg_writer: cannot create key %s: error %d\n", argv[1], rc);
    return 1;
  }
  for (long i = 0; i < count; ++i) {
    std::u16string name = prefix + Widen(std::to_string(i).c_str());
    DWORD v = static_cast<DWORD>(i);
    rc = RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    if (rc != 0) {
      std::fprintf(stderr, "reg_writer: setting value %ld failed: error %d\n", i, rc);
      RegCloseKey(key);
      return 1;
    }
  }
  RegCloseKey(key);
  return 0;
}
