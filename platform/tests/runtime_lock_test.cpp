// A process that stops while holding one of the per-user lock files (say in
// a debugger) must not hang everybody else.
#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Another process takes the lock file and stops itself holding it, as a
// renderer stopped by Ctrl-Z does.
class StoppedHolder {
 public:
  explicit StoppedHolder(const char* file) {
    const std::string path = platform::RuntimeDirectory() + "/" + file;
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
      ::raise(SIGSTOP);
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid_, &status, WUNTRACED);
    stopped_ = WIFSTOPPED(status);
  }
  ~StoppedHolder() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  bool stopped() const { return stopped_; }

 private:
  pid_t pid_ = -1;
  bool stopped_ = false;
};

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

TEST(RuntimeLocks, StoppedHolderCostsAtMostOneWait) {
  ASSERT_FALSE(platform::RuntimeDirectory().empty());
  std::vector<HANDLE> handles;
  std::vector<std::string> objects;
  for (int i = 0; i < 20; ++i) {
    const std::u16string name = u"stopped-holder-" + std::u16string(1, u'a' + i);
    HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
    ASSERT_NE(h, nullptr);
    handles.push_back(h);
    objects.push_back("/dev/shm" + platform::ShmObjectName(name));
  }
  StoppedHolder holder("shm.lock");
  ASSERT_TRUE(holder.stopped());

  // Closing waits on nothing, and the last holder's objects still go. (The
  // bounds are half of one full wait of 2 s: far from any schedule a loaded
  // machine gives, and far below what a close or create that waited costs.)
  auto start = Clock::now();
  for (HANDLE h : handles) EXPECT_TRUE(CloseHandle(h));
  EXPECT_LT(SecondsSince(start), 1.0);
  for (const auto& object : objects) EXPECT_NE(::access(object.c_str(), F_OK), 0) << object;

  // Creating goes on without the lock: at most one full wait, then none.
  start = Clock::now();
  HANDLE first = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, u"after-stop-1");
  EXPECT_NE(first, nullptr);
  EXPECT_LT(SecondsSince(start), 3.0);
  start = Clock::now();
  HANDLE second = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, u"after-stop-2");
  EXPECT_NE(second, nullptr);
  HANDLE opened = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, u"after-stop-1");
  EXPECT_NE(opened, nullptr);
  EXPECT_LT(SecondsSince(start), 1.0);
  for (HANDLE h : {first, second, opened}) CloseHandle(h);
}

TEST(RuntimeLocks, RuntimeDirectoryIsPrivate) {
  struct stat st {};
  ASSERT_EQ(::stat(platform::RuntimeDirectory().c_str(), &st), 0);
  EXPECT_EQ(std::pair(st.st_mode & 0777, st.st_uid), std::pair(0700u, ::geteuid()));
}

}  // namespace
