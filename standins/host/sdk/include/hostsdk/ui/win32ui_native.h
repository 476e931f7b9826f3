// The Windows user-interface calls of win32ui.h on Windows: the real
// user32, comdlg32 and shell32 functions, reached with the system's UTF-16
// text (char16_t) through overloads that cast to wchar_t, as
// platform/win32_native.h does for the rest of the API. Included by
// win32ui.h on Windows only.
#pragma once

#include "base/windows_text.h"
#include <commdlg.h>
#include <shellapi.h>

inline int MessageBoxW(HWND owner, const char16_t* text, const char16_t* caption, UINT type) {
  return ::MessageBoxW(owner, base::WideText(text), base::WideText(caption), type);
}
inline BOOL SetWindowTextW(HWND window, const char16_t* text) {
  return ::SetWindowTextW(window, base::WideText(text));
}
inline HWND FindWindowExW(HWND parent, HWND childAfter, const char16_t* className, const char16_t* title) {
  return ::FindWindowExW(parent, childAfter, base::WideText(className), base::WideText(title));
}
inline HINSTANCE ShellExecuteW(HWND owner, const char16_t* verb, const char16_t* file, const char16_t* parameters,
                               const char16_t* directory, int showCommand) {
  return ::ShellExecuteW(owner, base::WideText(verb), base::WideText(file), base::WideText(parameters),
                         base::WideText(directory), showCommand);
}
