// A process that stops while holding one of the per-user lock files (say in
// a debugger) must not hang everybody else.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/win32.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

int holdLock(const char* file) {
  const std::string path = platform::RuntimeDirectory() + "/" + file;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX), 0);
  return fd;
}

TEST(RuntimeLocks, StuckHolderDelaysButNeverHangs) {
  ASSERT_FALSE(platform::RuntimeDirectory().empty());
  int fd = holdLock("windows.lock");
  auto start = Clock::now();
  EXPECT_EQ(platform::CreatePublishedWindow({u"C", u"T", nullptr, true}), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  ::close(fd);

  // Shared memory stays correct without the lock (its flock protocol alone
  // is safe), so it goes on after the wait.
  fd = holdLock("shm.lock");
  const std::u16string name = u"stuck-lock-" + std::u16string(1, u'a' + ::getpid() % 26);
  start = Clock::now();
  HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
  EXPECT_NE(h, nullptr);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  ::close(fd);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_NE(::access(("/dev/shm" + platform::ShmObjectName(name)).c_str(), F_OK), 0);
}

TEST(RuntimeLocks, RuntimeDirectoryIsPrivate) {
  const std::string dir = platform::RuntimeDirectory();
  ASSERT_FALSE(dir.empty());
  struct stat st {};
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, ::geteuid());
}

TEST(RuntimeLocks, RelativeRuntimeDirectoryBecomesAbsolute) {
  // Window records name sockets inside it for processes started elsewhere.
  const std::string saved = std::getenv("CORV_RUNTIME_DIR");
  char* cwd = ::getcwd(nullptr, 0);
  ASSERT_EQ(::chdir(corvtest::IsolatedEnvironment::Root().c_str()), 0);
  ::setenv("CORV_RUNTIME_DIR", "relative/run/", 1);
  const std::string dir = platform::RuntimeDirectory();
  ::setenv("CORV_RUNTIME_DIR", saved.c_str(), 1);
  EXPECT_EQ(::chdir(cwd), 0);
  std::free(cwd);
  EXPECT_EQ(dir, corvtest::IsolatedEnvironment::Root() + "/relative/run");
}

}  // namespace
