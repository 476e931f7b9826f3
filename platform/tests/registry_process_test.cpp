// The registry store between real processes: concurrent writers of one key
// lose nothing, and a writer killed in the middle leaves a whole file and no
// lock behind.
#include "platform/win32.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class RegistryProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corv-regproc-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ::setenv("CORV_REGISTRY_HKCU", (dir_ / "hkcu").c_str(), 1);
    ::setenv("CORV_REGISTRY_HKLM", (dir_ / "hklm").c_str(), 1);
    ::setenv("CORV_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A second process writing count values <prefix><i> = i into the key, each
  // through its own RegSetValueExW; it exits 0 when every write succeeded.
  static pid_t StartWriter(const std::u16string& subKey, const char* prefix, int count) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != 0)
      ::_exit(1);
    for (int i = 0; i < count; ++i) {
      const DWORD v = static_cast<DWORD>(i);
      if (RegSetValueExW(key, Name(prefix, i).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) != 0)
        ::_exit(1);
    }
    ::_exit(0);
  }
  static int Wait(pid_t pid) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return status;
  }
  static bool ValueIs(HKEY k, const std::u16string& name, DWORD expect) {
    DWORD v = 0;
    DWORD size = sizeof v;
    return RegQueryValueExW(k, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size) == 0 &&
           size == 4 && v == expect;
  }
  static std::u16string Name(const char* prefix, int i) {
    std::u16string r;
    for (const char* p = prefix; *p != '\0'; ++p) r.push_back(static_cast<char16_t>(*p));
    for (char c : std::to_string(i)) r.push_back(static_cast<char16_t>(c));
    return r;
  }
  static DWORD ValueCount(HKEY k, LSTATUS* rc) {
    DWORD count = 0;
    *rc = RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr,
                           nullptr, nullptr, nullptr);
    return count;
  }

  fs::path dir_;
};

// Every write rewrites and syncs the key's whole file, so the run is bound by
// the disk: 250 writes each keep both writers overlapping for hundreds of
// read-modify-write rounds, which is what loses values without the lock.
constexpr int kWritesEach = 250;

TEST_F(RegistryProcesses, TwoWritersOfOneKeyLoseNothing) {
  constexpr int kCount = kWritesEach;
  // Both processes also race to create the key itself.
  pid_t a = StartWriter(u"Software\\Torvik\\LiveConnections", "a", kCount);
  pid_t b = StartWriter(u"SOFTWARE\\torvik\\liveconnections", "b", kCount);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  int sa = Wait(a);
  int sb = Wait(b);
  ASSERT_TRUE(WIFEXITED(sa) && WEXITSTATUS(sa) == 0);
  ASSERT_TRUE(WIFEXITED(sb) && WEXITSTATUS(sb) == 0);

  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Torvik\\LiveConnections", 0, KEY_READ, &k), 0);
  LSTATUS rc = 0;
  EXPECT_EQ(ValueCount(k, &rc), 2u * kCount);
  EXPECT_EQ(rc, 0);
  int missing = 0;
  for (int i = 0; i < kCount; ++i) {
    if (!ValueIs(k, Name("a", i), static_cast<DWORD>(i))) ++missing;
    if (!ValueIs(k, Name("b", i), static_cast<DWORD>(i))) ++missing;
  }
  EXPECT_EQ(missing, 0);
  RegCloseKey(k);
  // Whichever spelling won the race, there is one directory per key.
  int keyDirs = 0;
  for (auto& e : fs::recursive_directory_iterator(dir_ / "hkcu")) keyDirs += e.is_directory() ? 1 : 0;
  EXPECT_EQ(keyDirs, 3);
}

TEST_F(RegistryProcesses, WriterKilledMidwayLeavesAWholeFileAndNoLock) {
  pid_t w = StartWriter(u"Software\\Torvik\\Crash", "v", 1000000);
  ASSERT_GT(w, 0);
  // Let it get well into its writes, then kill it without warning.
  HKEY k = nullptr;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  LSTATUS rc = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (k == nullptr) RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Torvik\\Crash", 0, KEY_ALL_ACCESS, &k);
    if (k != nullptr && ValueCount(k, &rc) >= 50) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_NE(k, nullptr);
  ::kill(w, SIGKILL);
  int status = Wait(w);
  ASSERT_TRUE(WIFSIGNALED(status));

  DWORD count = ValueCount(k, &rc);
  ASSERT_EQ(rc, 0);  // never a torn file
  ASSERT_GE(count, 50u);
  // The writer wrote in order, so what is there is exactly a prefix.
  for (DWORD i = 0; i < count; ++i) ASSERT_TRUE(ValueIs(k, Name("v", static_cast<int>(i)), i)) << i;
  // Its lock died with it: a new write goes through at once.
  DWORD one = 1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RegSetValueExW(k, u"after", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(ValueCount(k, &rc), count + 1);
  RegCloseKey(k);
}

}  // namespace
