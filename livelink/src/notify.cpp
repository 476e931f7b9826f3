// Waking the renderer: the search for renderer main windows over the process
// list and the window registry, and the posting of the change message.
#include <locale.h>
#include <wctype.h>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/concurrent_vector.h>
#include <oneapi/tbb/parallel_for.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "connection_tables.h"

namespace CorvantaAPI {

namespace {

constexpr DWORD kProcessBufferBytes = 16384;
constexpr DWORD kTextUnits = 260;
constexpr DWORD kFoundMarker = 0xFFFFFFFF;

// Case mapping of C.UTF-8 without touching the process locale (the host's).
locale_t Utf8Locale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

std::u16string UpperCase(const char16_t* text, std::size_t units) {
  std::u16string upper(text, units);
  const locale_t locale = Utf8Locale();
  for (char16_t& c : upper) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;  // surrogate halves map to themselves
    const wint_t mapped = locale != static_cast<locale_t>(0)
                              ? towupper_l(static_cast<wint_t>(c), locale)
                              : static_cast<wint_t>(c >= u'a' && c <= u'z' ? c - 32 : c);
    if (mapped <= 0xFFFF) c = static_cast<char16_t>(mapped);
  }
  return upper;
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

void ExamineProcess(DWORD processId, tbb::concurrent_vector<HWND>& result) {
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
  if (upperPath.find(u"VELMAR") != std::u16string::npos)
    expectedClass = u"START";
  else if (upperPath.find(u"BRIMSEL") != std::u16string::npos)
    expectedClass = u"BRIMSEL EDITOR";
  else
    return;

  HWND window = FindMainWindow(processId);
  if (window == nullptr) return;
  char16_t className[kTextUnits] = {};
  const int classUnits = GetClassNameW(window, className, static_cast<int>(kTextUnits));
  if (classUnits <= 0) return;
  const std::u16string upperClass =
      UpperCase(className, std::min<std::size_t>(static_cast<std::size_t>(classUnits), kTextUnits));
  if (upperClass.find(expectedClass) != std::u16string::npos) result.push_back(window);
}

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORV_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define CORV_THREAD_SANITIZER 1
#endif

// body(i) for every i < count, in parallel. Under ThreadSanitizer the loop
// runs on plain threads: oneTBB synchronises inside an uninstrumented
// library, so the sanitizer would flag its task hand-over instead of
// checking the loop body, which is what matters here.
template <typename Body>
void ParallelFor(std::size_t count, const Body& body) {
#ifdef CORV_THREAD_SANITIZER
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i = next++; i < count; i = next++) body(i);
  };
  std::vector<std::thread> threads(std::max(1u, std::min(4u, std::thread::hardware_concurrency())));
  for (auto& thread : threads) thread = std::thread(worker);
  for (auto& thread : threads) thread.join();
#else
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) body(i);
                    });
#endif
}

}  // namespace

bool TimedMutex::try_lock_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (!released_.wait_until(hold, deadline, [this] { return !locked_; })) return false;
  locked_ = true;
  return true;
}

void TimedMutex::unlock() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    locked_ = false;
  }
  released_.notify_one();
}

std::vector<HWND> FindRendererWindows() {
  tbb::concurrent_vector<HWND> found;
  std::vector<DWORD> ids(kProcessBufferBytes / sizeof(DWORD));
  DWORD bytes = 0;
  if (!K32EnumProcesses(ids.data(), kProcessBufferBytes, &bytes)) return {};
  const std::size_t count = std::min<std::size_t>(bytes / sizeof(DWORD), ids.size());
  if (count == 1)
    ExamineProcess(ids[0], found);
  else
    ParallelFor(count, [&](std::size_t i) { ExamineProcess(ids[i], found); });
  return std::vector<HWND>(found.begin(), found.end());
}

std::int32_t LiveConnection::Notify(std::uint32_t code, std::uint32_t parameter) {
  // The worker and the camera thread may both notify; neither waits long.
  if (!notifyMutex_.try_lock_until(std::chrono::steady_clock::now() +
                                   std::chrono::milliseconds(25)))
    return -1;
  std::lock_guard<TimedMutex> hold(notifyMutex_, std::adopt_lock);

  if (windowsStale_.exchange(false)) tables_->windows.clear();
  for (HWND window : tables_->windows) {
    if (!IsWindow(window)) {
      tables_->windows.clear();
      break;
    }
  }
  if (tables_->windows.empty()) {
    tables_->windows = FindRendererWindows();
  }
  std::int32_t result = -1;
  for (HWND window : tables_->windows) {
    if (IsWindow(window) &&
        PostMessageW(window, kWakeMessage, static_cast<WPARAM>(parameter),
                     static_cast<LPARAM>(code)))
      result = 0;
  }
  return result;
}

}  // namespace CorvantaAPI
