#include "isolation.h"

#ifdef _WIN32
#include <process.h>

#include "base/utf.h"
#include "base/windows_text.h"
#else
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace livelink_test {

#ifdef _WIN32
// The registry is the real one (the Wine prefix's, private to the build
// folder); what a test process gets of its own is its runtime folder.
Isolation::Isolation() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD units = GetTempPathW(MAX_PATH + 1, temp);
  if (units == 0 || units > MAX_PATH) throw std::runtime_error("no temporary folder");
  for (unsigned attempt = 0;; ++attempt) {
    const std::wstring dir = std::wstring(temp, units) + L"livelink-test-" + std::to_wstring(GetCurrentProcessId()) +
                             L"-" + std::to_wstring(attempt);
    if (CreateDirectoryW(dir.c_str(), nullptr)) {
      root_ = base::ToUtf8(base::FromWide(dir));
      SetEnvironmentVariableW(L"CORV_RUNTIME_DIR", (dir + L"\\run").c_str());
      CreateDirectoryW((dir + L"\\run").c_str(), nullptr);
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS || attempt > 1000) throw std::runtime_error("no test folder");
  }
}
#else
Isolation::Isolation() {
  char pattern[] = "/tmp/livelink-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  for (const char* sub : {"/hkcu", "/hklm", "/run"}) {
    const std::string dir = root_ + sub;
    if (::mkdir(dir.c_str(), 0700) != 0) throw std::runtime_error("mkdir " + dir + " failed");
  }
  ::setenv("CORV_REGISTRY_HKCU", (root_ + "/hkcu").c_str(), 1);
  ::setenv("CORV_REGISTRY_HKLM", (root_ + "/hklm").c_str(), 1);
  ::setenv("CORV_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
  // A child that died must fail a write, not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
}
#endif

Isolation::~Isolation() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::u8path(root_), ignored);
}

const Isolation& Isolated() {
  static const Isolation isolation;
  return isolation;
}

// Runs before main: the environment must be in place before any platform
// call, including those made from static initialisers of test files.
[[maybe_unused]] static const Isolation& kEarly = Isolated();

bool UnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

std::size_t ViewBytes(std::size_t bytes) {
#ifdef _WIN32
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  const std::size_t page = info.dwPageSize;
  return (bytes + page - 1) / page * page;
#else
  return bytes;
#endif
}

std::u16string UniqueName(const char* stem) {
  static std::atomic<int> counter{0};
  char text[160];
  std::snprintf(text, sizeof text, "C:\\Links\\%s-%d-%d.dae", stem, static_cast<int>(::getpid()), counter.fetch_add(1));
  std::u16string name;
  for (const char* p = text; *p != 0; ++p) name.push_back(static_cast<char16_t>(*p));
  return name;
}

}  // namespace livelink_test
