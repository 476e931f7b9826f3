// Files and folders that someone else planted or swapped in the runtime
// directory and the registry store: nothing may block a reader, and nothing
// of another user is trusted.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "platform/win32.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Runs body in a forked child; true when it ended with status 0 within
// limitMs (a blocked call is killed, so a regression fails instead of
// hanging the suite).
bool FinishesInTime(const std::function<bool()>& body, int limitMs) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body() ? 0 : 1);
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(HostileFiles, FifosInPlaceOfRecordsBlockNoReader) {
  const std::string dir = platform::RuntimeDirectory();
  ASSERT_FALSE(dir.empty());
  // A window record, the foreground file and a lock file as FIFOs: opening
  // one for reading would wait for a writer that never comes.
  fs::create_directories(dir + "/windows");
  const std::string record = dir + "/windows/7ffe0000.json";
  ASSERT_EQ(::mkfifo(record.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir + "/foreground").c_str(), 0600), 0);
  const HWND planted = reinterpret_cast<HWND>(std::uintptr_t{0x7ffe0000});
  EXPECT_TRUE(FinishesInTime(
      [&] {
        std::size_t count = 0;
        EnumWindows(
            [](HWND, LPARAM c) {
              ++*reinterpret_cast<std::size_t*>(c);
              return TRUE;
            },
            reinterpret_cast<LPARAM>(&count));
        return !IsWindow(planted) && !PostMessageW(planted, 0x8729, 0, 2) && GetForegroundWindow() == nullptr;
      },
      1500));
  ::unlink(record.c_str());
  ::unlink((dir + "/foreground").c_str());

  // The registry: a key whose values file is a FIFO reads as damaged.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\FifoPlanted", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            0);
  const DWORD one = 1;
  ASSERT_EQ(RegSetValueExW(key, u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), 0);
  RegCloseKey(key);
  const std::string values = std::string(std::getenv("CORV_REGISTRY_HKCU")) + "/Software/FifoPlanted/.values.json";
  ASSERT_EQ(::unlink(values.c_str()), 0);
  ASSERT_EQ(::mkfifo(values.c_str(), 0600), 0);
  EXPECT_TRUE(FinishesInTime(
      [] {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\FifoPlanted", 0, KEY_ALL_ACCESS, &k) != 0) return true;
        DWORD data = 0, bytes = 4;
        const LSTATUS read = RegQueryValueExW(k, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &bytes);
        const LSTATUS write = RegSetValueExW(k, u"w", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), 4);
        RegCloseKey(k);
        return read != 0 && write != 0;  // reported, not silently emptied
      },
      1500));
  ::unlink(values.c_str());
}

// CI runs as root: the other user is played by a child that drops to
// uid 65534 (nobody).
TEST(HostileFiles, RuntimeFolderRemadeByAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user (uid 65534)";
  const std::string saved = std::getenv("CORV_RUNTIME_DIR");
  // The other user must reach it: a sticky, world-writable folder of its
  // own under /tmp, like /tmp itself.
  char parentName[] = "/tmp/corv-hostile-XXXXXX";
  ASSERT_NE(::mkdtemp(parentName), nullptr);
  const std::string parent = parentName;
  ::chmod(parent.c_str(), 01777);
  const std::string dir = parent + "/run";
  ::setenv("CORV_RUNTIME_DIR", dir.c_str(), 1);
  ASSERT_EQ(platform::RuntimeDirectory(), dir);

  // Our folder goes (a cleaner of /tmp), the other user makes one in its
  // place, open to all, with a forged window record in it.
  fs::remove_all(dir);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
    if (::mkdir(dir.c_str(), 0777) != 0 || ::mkdir((dir + "/windows").c_str(), 0777) != 0) ::_exit(2);
    ::chmod(dir.c_str(), 0777);
    std::ofstream(dir + "/windows/7ffd0000.json")
        << R"({"hwnd": 2147287040, "pid": 1, "tid": 1, "startTime": 0, "class": "VelmarSTART", "title": "x", "owner": 0, "visible": true, "socket": "/nonexistent"})";
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  EXPECT_TRUE(platform::RuntimeDirectory().empty() && GetLastError() == ERROR_ACCESS_DENIED);
  EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(std::uintptr_t{0x7ffd0000})));
  EXPECT_EQ(platform::CreatePublishedWindow({u"C", u"T", nullptr, true}), nullptr);
  // Nothing of ours went into it.
  EXPECT_FALSE(fs::exists(dir + "/windows.lock") || fs::exists(dir + "/shm.lock"));
  ::setenv("CORV_RUNTIME_DIR", saved.c_str(), 1);
  fs::remove_all(parent);
}

}  // namespace
