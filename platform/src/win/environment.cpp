// The runtime folder and the user's measurement system on Windows.
#include "platform/win32.h"

#include "base/utf.h"

namespace platform {
namespace {

std::wstring Variable(const wchar_t* name) {
  const DWORD units = GetEnvironmentVariableW(name, nullptr, 0);
  if (units == 0) return {};
  std::wstring value(units, L'\0');
  const DWORD got = GetEnvironmentVariableW(name, value.data(), units);
  value.resize(got < units ? got : 0);
  return value;
}

// Makes every missing folder of path; true when it is a folder at the end.
bool MakeFolders(const std::wstring& path) {
  for (std::size_t at = path.find_first_of(L"\\/", 3);; at = path.find_first_of(L"\\/", at + 1)) {
    const std::wstring part = path.substr(0, at);
    if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    if (at == std::wstring::npos) break;
  }
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetLastError(ERROR_DIRECTORY);
    return false;
  }
  return true;
}

}  // namespace

std::string RuntimeDirectory() {
  std::wstring dir = Variable(L"CORV_RUNTIME_DIR");
  if (dir.empty()) {
    const std::wstring local = Variable(L"LOCALAPPDATA");
    if (local.empty()) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return {};
    }
    dir = local + L"\\corvanta\\runtime";
  }
  while (dir.size() > 3 && (dir.back() == L'\\' || dir.back() == L'/')) dir.pop_back();
  if (!MakeFolders(dir)) return {};
  return base::ToUtf8(base::FromWide(dir));
}

MeasurementSystem UserMeasurementSystem() {
  DWORD measure = 0;
  // LOCALE_RETURN_NUMBER: the value as a DWORD, 0 metric, 1 US.
  if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_IMEASURE | LOCALE_RETURN_NUMBER,
                      reinterpret_cast<LPWSTR>(&measure), sizeof measure / sizeof(wchar_t)) == 0)
    return MeasurementSystem::Metric;
  return measure == 1 ? MeasurementSystem::US : MeasurementSystem::Metric;
}

}  // namespace platform
