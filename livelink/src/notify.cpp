// Waking the renderer: the search for renderer main windows over the process
// list and the window registry, and the posting of the change message.

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "base/case_map.h"
#include "base/concurrent_containers.h"
#include "base/parallel_for.h"
#include "connection_tables.h"

namespace CorvantaAPI {

namespace {

constexpr DWORD kProcessBufferBytes = 16384;
constexpr DWORD kTextUnits = 260;
constexpr DWORD kFoundMarker = 0xFFFFFFFF;

std::u16string UpperCase(const char16_t* text, std::size_t units) {
  return base::UpperCase(std::u16string_view(text, units));
}

struct MainWindowSearch {
  DWORD processId = 0;
  HWND found = nullptr;
};

BOOL FindMainWindowCallback(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<MainWindowSearch*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search->processId) return TRUE;
  if (GetWindow(window, GW_OWNER) != nullptr || !IsWindowVisible(window)) return TRUE;
  search->found = window;
  SetLastError(kFoundMarker);
  return FALSE;
}

// First visible, unowned top-level window of the process, or null.
HWND FindMainWindow(DWORD processId) {
  MainWindowSearch search{processId, nullptr};
  SetLastError(0);
  if (EnumWindows(FindMainWindowCallback, reinterpret_cast<LPARAM>(&search))) return nullptr;
  return GetLastError() == kFoundMarker ? search.found : nullptr;
}

void ExamineProcess(DWORD processId, base::ConcurrentVector<HWND>& result) {
  if (processId == 0) return;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process == nullptr) return;
  char16_t path[kTextUnits] = {};
  DWORD units = kTextUnits;
  const BOOL gotPath = QueryFullProcessImageNameW(process, 0, path, &units);
  CloseHandle(process);
  if (!gotPath) return;

  const std::u16string upperPath = UpperCase(path, std::min<DWORD>(units, kTextUnits));
  std::u16string_view expectedClass;
  if (upperPath.find(u"VELMAR") != std::u16string::npos) expectedClass = u"START";
  else if (upperPath.find(u"BRIMSEL") != std::u16string::npos) expectedClass = u"BRIMSEL EDITOR";
  else return;

  HWND window = FindMainWindow(processId);
  if (window == nullptr) return;
  char16_t className[kTextUnits] = {};
  const int classUnits = GetClassNameW(window, className, static_cast<int>(kTextUnits));
  if (classUnits <= 0) return;
  const std::u16string upperClass =
      UpperCase(className, std::min<std::size_t>(static_cast<std::size_t>(classUnits), kTextUnits));
  if (upperClass.find(expectedClass) != std::u16string::npos) result.push_back(window);
}

}  // namespace

std::vector<HWND> FindRendererWindows() {
  base::ConcurrentVector<HWND> found;
  std::vector<DWORD> ids(kProcessBufferBytes / sizeof(DWORD));
  DWORD bytes = 0;
  if (!K32EnumProcesses(ids.data(), kProcessBufferBytes, &bytes)) return {};
  const std::size_t count = std::min<std::size_t>(bytes / sizeof(DWORD), ids.size());
  if (count == 1) ExamineProcess(ids[0], found);
  else base::ParallelFor(count, [&](std::size_t i) { ExamineProcess(ids[i], found); });
  return std::vector<HWND>(found.begin(), found.end());
}

std::int32_t LiveConnection::Notify(std::uint32_t code, std::uint32_t parameter) {
  // The worker and the camera thread may both notify; neither waits long.
  if (!notifyMutex_.try_lock_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(25))) return -1;
  const base::DeadlineMutexHold hold(notifyMutex_, std::adopt_lock);

  if (windowsStale_.exchange(false)) windows_.clear();
  for (HWND window : windows_) {
    if (!IsWindow(window)) {
      windows_.clear();
      break;
    }
  }
  if (windows_.empty()) {
    windows_ = FindRendererWindows();
  }
  std::int32_t result = -1;
  for (HWND window : windows_) {
    if (IsWindow(window) &&
        PostMessageW(window, kWakeMessage, static_cast<WPARAM>(parameter), static_cast<LPARAM>(code)))
      result = 0;
  }
  return result;
}

}  // namespace CorvantaAPI
