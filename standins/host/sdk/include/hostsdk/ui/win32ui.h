// The Windows user-interface calls the add-on makes: message boxes with the
// thread's computer-based-training hook, window texts and icons, the status
// bar child window, the common save dialog and the shell opener. The host
// stand-in implements them in-process: its windows (main window, status bar,
// message boxes, dialogs) are published in the per-user window registry, so
// that the other window calls of platform/win32.h (GetWindowTextW,
// GetClassNameW, IsWindow, GetWindow) see them as on Windows.
#pragma once

#ifdef _WIN32
// The system's own calls there (hostsdk/ui/win32ui_native.h).
#include "hostsdk/ui/win32ui_native.h"
#include "hostsdk/ui/rs.h"
#else

#include "platform/win32.h"
#include "hostsdk/ui/rs.h"

struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
struct HHOOK__;
using HHOOK = HHOOK__*;
using HOOKPROC = LRESULT (*)(int code, WPARAM wParam, LPARAM lParam);

DWORD GetCurrentThreadId();

// ---- Message boxes ----------------------------------------------------------
inline constexpr UINT MB_OK = 0x0;
inline constexpr UINT MB_OKCANCEL = 0x1;
inline constexpr UINT MB_ABORTRETRYIGNORE = 0x2;
inline constexpr UINT MB_YESNOCANCEL = 0x3;
inline constexpr UINT MB_YESNO = 0x4;
inline constexpr UINT MB_RETRYCANCEL = 0x5;
inline constexpr UINT MB_ICONERROR = 0x10;
inline constexpr UINT MB_ICONQUESTION = 0x20;
inline constexpr UINT MB_ICONWARNING = 0x30;
inline constexpr UINT MB_ICONINFORMATION = 0x40;
inline constexpr int IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7;

// Shows a message box owned by `owner` (may be null) and returns the pressed
// button (IDOK...), 0 on failure (bad style, out of memory).
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// ---- Hooks -------------------------------------------------------------------
inline constexpr int WH_CBT = 5;
inline constexpr int HCBT_ACTIVATE = 5;  // wParam: the window being activated
struct CBTACTIVATESTRUCT {
  BOOL fMouse;
  HWND hWndActive;
};
// Only WH_CBT hooks on a thread of this process are supported; others fail
// with ERROR_INVALID_PARAMETER and return null.
HHOOK SetWindowsHookExW(int idHook, HOOKPROC proc, HINSTANCE module, DWORD threadId);
LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam);
BOOL UnhookWindowsHookEx(HHOOK hook);

// ---- Window texts, icons, children ----------------------------------------------
inline constexpr UINT WM_SETTEXT = 0x000C;
inline constexpr UINT WM_GETICON = 0x007F;
inline constexpr UINT WM_SETICON = 0x0080;
inline constexpr WPARAM ICON_SMALL = 0;
inline constexpr WPARAM ICON_BIG = 1;
inline constexpr int SM_CXSMICON = 49;
inline constexpr int SM_CYSMICON = 50;
inline constexpr int SM_CXICON = 11;
inline constexpr int SM_CYICON = 12;

int GetSystemMetrics(int index);
// WM_SETICON (lParam an HICON, returns the previous one), WM_GETICON and
// WM_SETTEXT (lParam a LPCWSTR) on the host's windows; 0 otherwise.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL SetWindowTextW(HWND window, LPCWSTR text);
// Child windows of `parent` by class and title (null matches any); the search
// starts after `childAfter`.
HWND FindWindowExW(HWND parent, HWND childAfter, LPCWSTR className, LPCWSTR title);

// ---- Common save dialog ------------------------------------------------------------
inline constexpr DWORD OFN_OVERWRITEPROMPT = 0x00000002;
inline constexpr DWORD OFN_HIDEREADONLY = 0x00000004;
inline constexpr DWORD OFN_NOCHANGEDIR = 0x00000008;
inline constexpr DWORD OFN_PATHMUSTEXIST = 0x00000800;
inline constexpr DWORD FNERR_BUFFERTOOSMALL = 0x3003;
inline constexpr DWORD CDERR_INITIALIZATION = 0x0002;

struct OPENFILENAMEW {
  DWORD lStructSize;
  HWND hwndOwner;
  HINSTANCE hInstance;
  LPCWSTR lpstrFilter;  // pairs of NUL-ended texts, ended by one more NUL
  LPWSTR lpstrCustomFilter;
  DWORD nMaxCustFilter;
  DWORD nFilterIndex;  // from 1
  LPWSTR lpstrFile;    // in: proposal; out: chosen path
  DWORD nMaxFile;      // units in lpstrFile
  LPWSTR lpstrFileTitle;
  DWORD nMaxFileTitle;
  LPCWSTR lpstrInitialDir;
  LPCWSTR lpstrTitle;
  DWORD Flags;
  WORD nFileOffset;
  WORD nFileExtension;
  LPCWSTR lpstrDefExt;
  LPARAM lCustData;
  void* lpfnHook;
  LPCWSTR lpTemplateName;
  void* pvReserved;
  DWORD dwReserved;
  DWORD FlagsEx;
};
// TRUE when the user chose a file (written into lpstrFile); FALSE when the
// user cancelled (CommDlgExtendedError 0) or on an error such as a path that
// does not fit nMaxFile (FNERR_BUFFERTOOSMALL) or a bad structure.
BOOL GetSaveFileNameW(OPENFILENAMEW* ofn);
DWORD CommDlgExtendedError();

// ---- Shell ---------------------------------------------------------------------------
// Returns a value above 32 on success, as Windows does (2 file not found,
// 31 no association). The host records every request; it opens addresses
// with platform::OpenUrl unless it was told to record only (tests, scripts).
HINSTANCE ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory, int showCommand);

// The save dialog's text fields take the system's text as it is.
inline LPCWSTR UiText(const char16_t* text) { return text; }
inline LPWSTR UiText(char16_t* text) { return text; }

#endif  // _WIN32
