// The Windows facilities the add-on and the renderer stand-in use, realised
// on Linux with Win32 names, arguments and result codes, so that the code of
// the system reads as it would on its original platform.
//
// Text is UTF-16 (char16_t); "W" functions take and return UTF-16 strings.
// Every function sets the calling thread's last error on failure, as Win32
// does; GetLastError reads it.
#pragma once

#ifdef _WIN32
// On Windows the real API (and the extras on it).
#include "platform/win32_native.h"
#else

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---- Basic types -----------------------------------------------------------
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using LSTATUS = LONG;
using REGSAM = DWORD;
using SIZE_T = std::size_t;
using WCHAR = char16_t;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using HANDLE = void*;
struct HKEY__;
using HKEY = HKEY__*;
struct HWND__;
using HWND = HWND__*;

// Macros, as the Windows headers have them, so that headers defining them the
// same way behind #ifndef (libjpeg's) can be included before or after this.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
inline constexpr DWORD MAX_PATH = 260;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

// ---- Error codes (the subset the system tests) -----------------------------
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_DIRECTORY = 267;
inline constexpr DWORD ERROR_INVALID_ADDRESS = 487;
inline constexpr DWORD ERROR_MAPPED_ALIGNMENT = 1132;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_BADDB = 1009;  // a damaged registry store file
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_TIMEOUT = 1460;
inline constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;  // a window's message queue is full

DWORD GetLastError();
void SetLastError(DWORD code);
DWORD GetCurrentProcessId();
BOOL CloseHandle(HANDLE handle);  // mappings and process handles

// ---- Named shared memory ---------------------------------------------------
inline constexpr DWORD PAGE_READONLY = 0x02;
inline constexpr DWORD PAGE_READWRITE = 0x04;
inline constexpr DWORD SEC_COMMIT = 0x8000000;  // the default; the only kind supported
inline constexpr DWORD FILE_MAP_WRITE = 0x0002;
inline constexpr DWORD FILE_MAP_READ = 0x0004;
inline constexpr DWORD FILE_MAP_ALL_ACCESS = 0xF001F;
// View offsets must be multiples of this, as on Windows.
inline constexpr DWORD MAPPING_ALLOCATION_GRANULARITY = 65536;

// hFile must be INVALID_HANDLE_VALUE (memory backed). When the name is live
// already, returns a handle to the existing mapping and sets the last error to
// ERROR_ALREADY_EXISTS, as Windows does (the size asked for is then ignored).
// A null or empty name makes an unnamed mapping. The memory is committed at
// creation: a size the system cannot provide fails with
// ERROR_NOT_ENOUGH_MEMORY instead of faulting later. Size 0 gives
// ERROR_INVALID_PARAMETER; an object of that name owned by another user gives
// ERROR_ACCESS_DENIED and is left untouched.
HANDLE CreateFileMappingW(HANDLE hFile, void* attributes, DWORD protect, DWORD sizeHigh, DWORD sizeLow, LPCWSTR name);
// ERROR_FILE_NOT_FOUND when no live process holds a mapping of that name.
// Handles are never inherited by started programs, whatever inherit says.
HANDLE OpenFileMappingW(DWORD access, BOOL inherit, LPCWSTR name);
// bytes 0 maps from the offset to the end. A view keeps its mapping alive
// after CloseHandle, as on Windows. A range outside the mapping gives
// ERROR_INVALID_PARAMETER, an offset that is not a multiple of
// MAPPING_ALLOCATION_GRANULARITY ERROR_MAPPED_ALIGNMENT.
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes);
// view must be an address MapViewOfFile returned; anything else gives
// ERROR_INVALID_ADDRESS.
BOOL UnmapViewOfFile(LPCVOID view);

namespace platform {
// True once another process shrank the object under this view and an access
// past the new end was caught: the view then holds zero-filled private pages
// (reads give zeros, writes reach no one) until it is unmapped. On Windows a
// section cannot shrink while mapped; here a peer can ftruncate it, and
// without this guard the access would kill the process with SIGBUS. The
// guard is a process-wide SIGBUS handler; faults outside our views go on to
// the handler installed before it. Views are guarded from MapViewOfFile on.
bool IsViewBroken(LPCVOID view);
// How many views of this process have been found shrunk so far (never goes
// down). Safe from any thread; unchanged means no view broke in between.
std::uint64_t BrokenViewCount();
// Size in bytes of the mapping behind a handle (from fstat), 0 for a bad
// handle. The object is shared: another process can resize it at any time,
// so this is not the length of a view made earlier.
SIZE_T GetMappingSize(HANDLE mapping);
// The length of a view MapViewOfFile returned, as it was mapped (0 for any
// other address). A guest checks every offset it reads against this: a size
// read again after mapping may already count bytes a peer added since.
SIZE_T GetViewSize(LPCVOID view);
// The one function that turns a Windows mapping name into the POSIX shared
// memory object name (with its leading "/"). Injective; long names take a
// digest form. Publisher and renderer both use it.
std::string ShmObjectName(std::u16string_view mappingName);
// Removes every shared memory object of this user that no live process holds
// any more (left behind by processes that died). Creating or opening a
// mapping runs it too, at most every kSweepIntervalMs per process. Returns
// the number removed.
inline constexpr int kSweepIntervalMs = 250;
int SweepStaleMappings();
// The per-user runtime directory (window registry, lock files), created with
// mode 0700 if missing. Empty, with the last error set, when it cannot be made
// or is not a directory owned by this user.
std::string RuntimeDirectory();
}  // namespace platform

// ---- Files -------------------------------------------------------------------
// Paths are UTF-16 (UTF-8 on disk), POSIX separators. Each call sets the last
// error on failure: ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND for a missing
// file or folder on the way, ERROR_ACCESS_DENIED when permissions forbid it,
// ERROR_INVALID_PARAMETER for a null or empty path or one holding NUL.
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;

// FILE_ATTRIBUTE_DIRECTORY for a folder, else FILE_ATTRIBUTE_NORMAL; plus
// FILE_ATTRIBUTE_READONLY when the caller may not write it. Symbolic links
// are followed. INVALID_FILE_ATTRIBUTES on failure.
DWORD GetFileAttributesW(LPCWSTR path);
// One folder (mode 0777 before the umask); its parent must exist.
// ERROR_ALREADY_EXISTS when anything of that name exists.
BOOL CreateDirectoryW(LPCWSTR path, void* security);
// Removes a file (not a folder: ERROR_ACCESS_DENIED, as on Windows).
BOOL DeleteFileW(LPCWSTR path);
// Copies a regular file's bytes; failIfExists refuses an existing target
// (ERROR_FILE_EXISTS), otherwise it is replaced. The copy is written beside
// the target and renamed over it, so a reader never sees half a file and a
// failed copy leaves the old target as it was. A folder as source gives
// ERROR_ACCESS_DENIED.
BOOL CopyFileW(LPCWSTR existingPath, LPCWSTR newPath, BOOL failIfExists);

// ---- Registry --------------------------------------------------------------
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;
// Further results of the registry functions (besides 0, 2, 5, 6, 87, 234, 259
// and ERROR_BADDB for a key whose store file is damaged).
inline constexpr DWORD ERROR_BAD_PATHNAME = 161;  // empty component in a key path
inline constexpr DWORD ERROR_CANTREAD = 1012;     // the store could not be read
inline constexpr DWORD ERROR_CANTWRITE = 1013;    // the store could not be written
inline constexpr DWORD ERROR_KEY_DELETED = 1018;  // the handle's key was deleted

// Every registry function returns its result and also sets the last error to
// it on failure. Handles may be used and closed from any thread. Key and
// value names compare case-insensitively; sub-keys enumerate in
// case-insensitive name order, values in the order they were first set.
// Data sizes follow Win32: a too-small buffer gives ERROR_MORE_DATA and the
// size needed; REG_SZ data is returned exactly as set (its NUL included when
// the writer counted it). The store's files and locks: docs/registry.md.

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, HKEY* result);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
                        void* security, HKEY* result, DWORD* disposition);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataBytes);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataBytes);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName);
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, DWORD* classChars, DWORD* reserved, DWORD* subKeys,
                         DWORD* maxSubKeyChars, DWORD* maxClassChars, DWORD* values, DWORD* maxValueNameChars,
                         DWORD* maxValueBytes, DWORD* securityBytes, void* lastWriteTime);
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, DWORD* valueNameChars, DWORD* reserved, DWORD* type,
                      BYTE* data, DWORD* dataBytes);
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameChars, DWORD* reserved, LPWSTR keyClass,
                      DWORD* classChars, void* lastWriteTime);

// ---- Windows and messages --------------------------------------------------
inline constexpr UINT GW_HWNDFIRST = 0;
inline constexpr UINT GW_HWNDLAST = 1;
inline constexpr UINT GW_HWNDNEXT = 2;
inline constexpr UINT GW_HWNDPREV = 3;
inline constexpr UINT GW_OWNER = 4;
inline constexpr UINT GW_CHILD = 5;  // published windows have no children: always null
using WNDENUMPROC = BOOL (*)(HWND, LPARAM);

BOOL EnumWindows(WNDENUMPROC callback, LPARAM parameter);
DWORD GetWindowThreadProcessId(HWND window, DWORD* processId);
int GetClassNameW(HWND window, LPWSTR buffer, int maxChars);
int GetWindowTextW(HWND window, LPWSTR buffer, int maxChars);
BOOL IsWindow(HWND window);
BOOL IsWindowVisible(HWND window);
HWND GetWindow(HWND window, UINT command);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);  // never blocks
HWND GetForegroundWindow();
BOOL SetForegroundWindow(HWND window);

namespace platform {
// One value of a registry key, as RegEnumValueW gives it.
struct RegistryValue {
  std::u16string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};
// Every value of an open key (KEY_QUERY_VALUE) from one read of the store,
// in RegEnumValueW's order; RegEnumValueW reads the store once per index.
LSTATUS ReadRegistryValues(HKEY key, std::vector<RegistryValue>* out);
// Deletes those of names that exist (case-insensitively) in one write of the
// key (KEY_SET_VALUE); ERROR_FILE_NOT_FOUND, writing nothing, when none does.
LSTATUS DeleteRegistryValues(HKEY key, const std::vector<std::u16string>& names);
}  // namespace platform

namespace platform {
// A top-level window published by this process in the per-user window
// registry, with a datagram endpoint that receives posted messages.
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
// Returns null (and sets the last error) on failure: ERROR_INVALID_PARAMETER
// for an empty class name or texts longer than kMaxWindowTextUnits,
// ERROR_INVALID_WINDOW_HANDLE for an owner that is no window, and
// ERROR_PATH_NOT_FOUND / ERROR_ACCESS_DENIED / ERROR_FILENAME_EXCED_RANGE
// when the runtime directory cannot hold the window.
inline constexpr std::size_t kMaxWindowTextUnits = 32767;
HWND CreatePublishedWindow(const WindowDesc& desc);
// These four act on windows of the calling process only; any other handle
// gives ERROR_INVALID_WINDOW_HANDLE.
BOOL SetPublishedWindowText(HWND window, std::u16string_view title);
BOOL ShowPublishedWindow(HWND window, bool visible);
BOOL DestroyPublishedWindow(HWND window);
// File descriptor that becomes readable when a message is waiting (for poll);
// -1 for a handle that is not a window of this process.
int PublishedWindowFd(HWND window);
// Waits up to timeoutMs (-1 forever) for one posted message; false on
// timeout (ERROR_TIMEOUT), for a bad handle, or once the window is destroyed.
// Datagrams that are not exactly one message are dropped.
bool ReceivePostedMessage(HWND window, PostedMessage* out, int timeoutMs);

// The datagram that carries a posted message to a window's socket: message
// (u32) at byte 0, wParam (u64) at 4, lParam (i64) at 12, little-endian,
// 20 bytes, nothing else.
inline constexpr std::size_t kMessageDatagramBytes = 20;
void EncodeMessageDatagram(const PostedMessage& message, unsigned char (&out)[kMessageDatagramBytes]);
bool DecodeMessageDatagram(const unsigned char* bytes, std::size_t size, PostedMessage* out);
}  // namespace platform

// ---- Processes and the desktop ---------------------------------------------
inline constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
inline constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
inline constexpr DWORD PROCESS_NAME_NATIVE = 0x1;
inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOWMAXIMIZED = 3;
inline constexpr int SW_SHOW = 5;

// Ids of all processes, ascending, from /proc. Win32 rules: bytes is the
// buffer size in bytes; a buffer too small is filled and bytesReturned equals
// bytes (call again with more room). Null arguments: ERROR_INVALID_PARAMETER.
BOOL K32EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned);
// Only the query rights are granted (others: ERROR_ACCESS_DENIED). The image
// path is taken when the process is opened. ERROR_INVALID_PARAMETER for a
// process that does not exist, ERROR_ACCESS_DENIED for one that cannot be
// inspected (another user's, a kernel thread, a zombie).
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
// *chars: buffer size in units on entry, the path length without NUL on
// success. Too small: ERROR_INSUFFICIENT_BUFFER, *chars unchanged.
BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR buffer, DWORD* chars);

namespace platform {
// Starts a program with an argument vector (no shell) in a working directory
// (empty: the current one). args excludes the program itself. A program
// without "/" is searched in PATH; a relative path is taken from the current
// directory, not from workingDirectory. The child inherits no descriptors
// beyond 0-2 and finds its requested show state in CORV_SHOW_WINDOW
// (SW_SHOWMAXIMIZED or SW_SHOWNORMAL). Returns false and sets the last error
// on failure (ERROR_FILE_NOT_FOUND, ERROR_DIRECTORY, ERROR_ACCESS_DENIED,
// ERROR_BAD_EXE_FORMAT, ERROR_INVALID_PARAMETER for text holding NUL); the
// child is not waited for (it is reaped in the background).
bool StartProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                  const std::u16string& workingDirectory, bool maximised, DWORD* processId);
// Starts a program as StartProcess does, detached from this process as a
// program started from the desktop is (the Windows start of a program with
// no inherited handles): it runs in a session of its own (no controlling
// terminal, outside this process's group, so the terminal's Ctrl-C and
// hang-up do not reach it), with no signal blocked and the usual signals at
// their default actions; its standard input is /dev/null and its standard
// output and error are appended to outputFile (created with mode 0600), or
// go to /dev/null when outputFile is empty or cannot be opened. It holds no
// descriptor of this process, so a pipe on this process's output reaches
// its end when this process exits, whatever the program does.
bool StartDetachedProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                          const std::u16string& workingDirectory, bool maximised, const std::u16string& outputFile,
                          DWORD* processId);
// Opens a web address with xdg-open, or with the program named by
// CORV_URL_OPENER, passing the address as its one argument. Returns false
// when the opener could not be started, and refuses (ERROR_INVALID_PARAMETER)
// an empty address, one holding NUL, or one starting with "-", which the
// opener would take for an option.
bool OpenUrl(const std::u16string& address);

// The file of the loaded module (program or library) that holds the code
// or data at address, as the system names it; "" when no module does.
std::string ModuleFileOf(const void* address);

enum class MeasurementSystem { Metric, US };
// The measurement of the user's locale as the C library resolves it (LC_ALL,
// then LC_MEASUREMENT, then LANG; empty variables count as unset), without
// touching the process locale. Metric when none is set or the locale is not
// installed.
MeasurementSystem UserMeasurementSystem();
}  // namespace platform

// ---- Environment overrides (tests use temporary ones) -----------------------
// CORV_REGISTRY_HKCU   directory of the current user's registry store
//                      (default $XDG_CONFIG_HOME or ~/.config, /corvanta/registry)
// CORV_REGISTRY_HKLM   directory of the machine's registry store
//                      (default /var/lib/corvanta/registry)
// CORV_RUNTIME_DIR     per-user runtime directory: window registry, lock files
//                      (default $XDG_RUNTIME_DIR/corvanta, else
//                      $HOME/.cache/corvanta/runtime, else a 0700
//                      /tmp/corvanta-UID)
// CORV_URL_OPENER      program that opens web addresses instead of xdg-open

#endif  // _WIN32
