#include "win_error.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "base/utf.h"
#include "base/windows_text.h"

namespace hostmodel::detail {

std::string WinErrorText(unsigned long code) {
  wchar_t text[512] = {};
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, 512, nullptr);
  std::wstring_view words(text, n);
  while (!words.empty() &&
         (words.back() == L'\r' || words.back() == L'\n' || words.back() == L'.' || words.back() == L' '))
    words.remove_suffix(1);
  if (words.empty()) return "error " + std::to_string(code);
  return base::ToUtf8(base::FromWide(words));
}

}  // namespace hostmodel::detail
