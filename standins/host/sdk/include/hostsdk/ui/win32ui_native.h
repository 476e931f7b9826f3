// The Windows user-interface calls the add-on makes, on Windows: the
// system's own (user32's message boxes, hooks, window texts and icons,
// comdlg32's save dialog, shell32's opener), reached with the system's
// char16_t text through thin overloads as platform/win32_native.h does for
// the others. Included by hostsdk/ui/win32ui.h on Windows only.
#pragma once

#include "platform/win32.h"

#include <commdlg.h>
#include <shellapi.h>

inline int MessageBoxW(HWND owner, const char16_t* text, const char16_t* caption, UINT type) {
  return ::MessageBoxW(owner, base::WideText(text), base::WideText(caption), type);
}
inline BOOL SetWindowTextW(HWND window, const char16_t* text) { return ::SetWindowTextW(window, base::WideText(text)); }
inline HWND FindWindowExW(HWND parent, HWND childAfter, const char16_t* className, const char16_t* title) {
  return ::FindWindowExW(parent, childAfter, base::WideText(className), base::WideText(title));
}
inline HINSTANCE ShellExecuteW(HWND owner, const char16_t* verb, const char16_t* file, const char16_t* parameters,
                               const char16_t* directory, int showCommand) {
  return ::ShellExecuteW(owner, base::WideText(verb), base::WideText(file), base::WideText(parameters),
                         base::WideText(directory), showCommand);
}

// The system's text in the save dialog's structure, whose fields are the
// API's own text type.
inline LPCWSTR UiText(const char16_t* text) { return base::WideText(text); }
inline LPWSTR UiText(char16_t* text) { return base::WideText(text); }
