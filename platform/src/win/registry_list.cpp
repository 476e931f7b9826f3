// Listing and deleting many values of a key on the real registry: one
// RegEnumValueW pass, sized by RegQueryInfoKeyW and tried again when a
// writer grows the key meanwhile.
#include "platform/win32.h"

#include "base/case_map.h"

namespace platform {

LSTATUS ReadRegistryValues(HKEY key, std::vector<RegistryValue>* out) {
  if (out == nullptr) return ERROR_INVALID_PARAMETER;
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD count = 0, maxName = 0, maxData = 0;
    LSTATUS status = ::RegQueryInfoKeyW(key, static_cast<LPWSTR>(nullptr), nullptr, nullptr, nullptr, nullptr, nullptr,
                                        &count, &maxName, &maxData, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return status;
    std::vector<RegistryValue> values;
    bool grew = false;
    for (DWORD index = 0;; ++index) {
      std::wstring name(maxName + 1, L'\0');
      std::vector<BYTE> data(maxData);
      DWORD nameChars = maxName + 1, dataBytes = maxData, type = REG_NONE;
      status = ::RegEnumValueW(key, index, name.data(), &nameChars, nullptr, &type,
                               data.empty() ? nullptr : data.data(), &dataBytes);
      if (status == ERROR_NO_MORE_ITEMS) break;
      if (status == ERROR_MORE_DATA) {
        grew = true;
        break;
      }
      if (status != ERROR_SUCCESS) return status;
      name.resize(nameChars);
      data.resize(dataBytes);
      values.push_back(RegistryValue{base::FromWide(name), type, std::move(data)});
    }
    if (!grew) {
      *out = std::move(values);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_MORE_DATA;
}

LSTATUS DeleteRegistryValues(HKEY key, const std::vector<std::u16string>& names) {
  bool deleted = false;
  for (const std::u16string& name : names) {
    const LSTATUS status = ::RegDeleteValueW(key, base::WideText(name.c_str()));
    if (status == ERROR_SUCCESS) {
      deleted = true;
    } else if (status != ERROR_FILE_NOT_FOUND) {
      return status;
    }
  }
  return deleted ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

}  // namespace platform
