// The Windows build's platform: the real Win32 API from <windows.h>
// (kernel32, advapi32, user32), reached with the system's UTF-16 text
// (char16_t) through thin overloads that cast to wchar_t (base's
// windows_text.h), plus the project's own extras implemented on documented
// Win32 calls (platform/src/win/). Included by platform/win32.h on Windows
// only; the Linux emulation is not compiled there. Where the two platforms
// behave differently: docs/windows.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/windows_text.h"
#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <psapi.h>

// View offsets must be multiples of this (the allocation granularity of
// every 64-bit Windows).
inline constexpr DWORD MAPPING_ALLOCATION_GRANULARITY = 65536;

// ---- The system's text with the "W" functions ------------------------------
// Each forwards to the function of the same name; attributes and classes the
// system never passes stay null. OpenFileMappingW never makes an inheritable
// handle, as on Linux, whatever inherit says.
inline HANDLE CreateFileMappingW(HANDLE file, void* attributes, DWORD protect, DWORD sizeHigh, DWORD sizeLow,
                                 const char16_t* name) {
  return ::CreateFileMappingW(file, static_cast<LPSECURITY_ATTRIBUTES>(attributes), protect, sizeHigh, sizeLow,
                              base::WideText(name));
}
inline HANDLE OpenFileMappingW(DWORD access, BOOL, const char16_t* name) {
  return ::OpenFileMappingW(access, FALSE, base::WideText(name));
}
inline DWORD GetFileAttributesW(const char16_t* path) { return ::GetFileAttributesW(base::WideText(path)); }
inline BOOL CreateDirectoryW(const char16_t* path, void* attributes) {
  return ::CreateDirectoryW(base::WideText(path), static_cast<LPSECURITY_ATTRIBUTES>(attributes));
}
inline BOOL DeleteFileW(const char16_t* path) { return ::DeleteFileW(base::WideText(path)); }
inline BOOL CopyFileW(const char16_t* from, const char16_t* to, BOOL failIfExists) {
  return ::CopyFileW(base::WideText(from), base::WideText(to), failIfExists);
}
inline LSTATUS RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, REGSAM access, HKEY* result) {
  return ::RegOpenKeyExW(key, base::WideText(subKey), options, access, result);
}
inline LSTATUS RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD reserved, char16_t* keyClass, DWORD options,
                               REGSAM access, void* security, HKEY* result, DWORD* disposition) {
  return ::RegCreateKeyExW(key, base::WideText(subKey), reserved, base::WideText(keyClass), options, access,
                           static_cast<LPSECURITY_ATTRIBUTES>(security), result, disposition);
}
inline LSTATUS RegQueryValueExW(HKEY key, const char16_t* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                                DWORD* dataBytes) {
  return ::RegQueryValueExW(key, base::WideText(valueName), reserved, type, data, dataBytes);
}
inline LSTATUS RegSetValueExW(HKEY key, const char16_t* valueName, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD dataBytes) {
  return ::RegSetValueExW(key, base::WideText(valueName), reserved, type, data, dataBytes);
}
inline LSTATUS RegDeleteValueW(HKEY key, const char16_t* valueName) {
  return ::RegDeleteValueW(key, base::WideText(valueName));
}
inline LSTATUS RegDeleteKeyW(HKEY key, const char16_t* subKey) { return ::RegDeleteKeyW(key, base::WideText(subKey)); }
inline LSTATUS RegEnumValueW(HKEY key, DWORD index, char16_t* valueName, DWORD* valueNameChars, DWORD* reserved,
                             DWORD* type, BYTE* data, DWORD* dataBytes) {
  return ::RegEnumValueW(key, index, base::WideText(valueName), valueNameChars, reserved, type, data, dataBytes);
}
inline LSTATUS RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* nameChars, DWORD* reserved,
                             char16_t* keyClass, DWORD* classChars, void* lastWriteTime) {
  return ::RegEnumKeyExW(key, index, base::WideText(name), nameChars, reserved, base::WideText(keyClass), classChars,
                         static_cast<FILETIME*>(lastWriteTime));
}
inline LSTATUS RegQueryInfoKeyW(HKEY key, char16_t* keyClass, DWORD* classChars, DWORD* reserved, DWORD* subKeys,
                                DWORD* maxSubKeyChars, DWORD* maxClassChars, DWORD* values, DWORD* maxValueNameChars,
                                DWORD* maxValueBytes, DWORD* securityBytes, void* lastWriteTime) {
  return ::RegQueryInfoKeyW(key, base::WideText(keyClass), classChars, reserved, subKeys, maxSubKeyChars, maxClassChars,
                            values, maxValueNameChars, maxValueBytes, securityBytes,
                            static_cast<FILETIME*>(lastWriteTime));
}
inline int GetClassNameW(HWND window, char16_t* buffer, int maxChars) {
  return ::GetClassNameW(window, base::WideText(buffer), maxChars);
}
inline int GetWindowTextW(HWND window, char16_t* buffer, int maxChars) {
  return ::GetWindowTextW(window, base::WideText(buffer), maxChars);
}
inline BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, char16_t* buffer, DWORD* chars) {
  return ::QueryFullProcessImageNameW(process, flags, base::WideText(buffer), chars);
}

// ---- The project's extras ---------------------------------------------------
namespace platform {
// A section cannot shrink while a view of it exists on Windows: no view ever
// breaks, so these say so (false, 0) and exist for the code shared with
// Linux, where a peer can truncate the object.
bool IsViewBroken(LPCVOID view);
std::uint64_t BrokenViewCount();
// The committed length of the section behind a handle, whole pages (a view
// of the whole of it measured with VirtualQuery); 0 for a bad handle.
SIZE_T GetMappingSize(HANDLE mapping);
// The length of a view MapViewOfFile returned: whole pages, all of them
// readable (the bytes past the section's end read as zeros); 0 for any other
// address.
SIZE_T GetViewSize(LPCVOID view);
// %CORV_RUNTIME_DIR%, else %LOCALAPPDATA%\corvanta\runtime, made if missing;
// empty with the last error set when it cannot be made.
std::string RuntimeDirectory();

struct RegistryValue {
  std::u16string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};
// Every value of an open key, in RegEnumValueW's order.
LSTATUS ReadRegistryValues(HKEY key, std::vector<RegistryValue>* out);
// Deletes those of names that exist; ERROR_FILE_NOT_FOUND when none does.
LSTATUS DeleteRegistryValues(HKEY key, const std::vector<std::u16string>& names);

// A real top-level window of this class and title, owned by the calling
// thread, whose posted messages ReceivePostedMessage takes from that
// thread's queue (a window's messages reach only the thread that made it).
struct WindowDesc {
  std::u16string className;
  std::u16string title;
  HWND owner = nullptr;
  bool visible = true;
};
struct PostedMessage {
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};
inline constexpr std::size_t kMaxWindowTextUnits = 32767;
HWND CreatePublishedWindow(const WindowDesc& desc);
BOOL SetPublishedWindowText(HWND window, std::u16string_view title);
BOOL ShowPublishedWindow(HWND window, bool visible);
BOOL DestroyPublishedWindow(HWND window);
// Waits up to timeoutMs (-1 forever) for a message posted to the window
// (WM_USER and above; the system's own messages are dispatched meanwhile).
// Call on the thread that made the window.
bool ReceivePostedMessage(HWND window, PostedMessage* out, int timeoutMs);

// CreateProcessW with a command line quoted for CommandLineToArgvW, no
// handles inherited; the show state goes in STARTUPINFO and in
// CORV_SHOW_WINDOW, as on Linux.
bool StartProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                  const std::u16string& workingDirectory, bool maximised, DWORD* processId);
// As StartProcess, detached (no console of ours, a process group of its
// own), its output appended to outputFile when one is given.
bool StartDetachedProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                          const std::u16string& workingDirectory, bool maximised, const std::u16string& outputFile,
                          DWORD* processId);
// The opener named by CORV_URL_OPENER, else ShellExecuteW's "open"; the same
// refusals as on Linux.
bool OpenUrl(const std::u16string& address);

// The file of the loaded module (program or library) that holds the code
// or data at address, as the system names it; "" when no module does.
std::string ModuleFileOf(const void* address);

enum class MeasurementSystem { Metric, US };
// The user's locale's LOCALE_IMEASURE.
MeasurementSystem UserMeasurementSystem();
}  // namespace platform
