// Named mappings between real processes, with Windows lifetime: alive while
// anybody holds them, gone after the last close or death.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

#include "../src/utf16.h"
#include "base/utf.h"
#include "platform/win32.h"
#include "test_support.h"

namespace {

using namespace corvtest;

std::string uniqueName(const std::string& what) { return "Corv/test\\" + std::to_string(::getpid()) + "/" + what; }
std::u16string wide(const std::string& s) { return base::FromUtf8(s); }
std::string shmFile(const std::string& name) { return "/dev/shm" + platform::ShmObjectName(wide(name)); }
bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

HANDLE create(const std::string& name, DWORD size) {
  return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, wide(name).c_str());
}

// The error of a call that gave no handle; 0 when it gave one.
DWORD Refused(HANDLE h) { return h == nullptr ? GetLastError() : 0; }

std::string field(const std::string& line, int index) {
  std::size_t start = 0;
  for (int i = 0; i < index; ++i) start = line.find(' ', start) + 1;
  return line.substr(start, line.find(' ', start) - start);
}

TEST(SharedMemory, ASecondCreateJoinsAndTheLastHandleOrViewRemoves) {
  const std::string name = uniqueName("twice");
  HANDLE first = create(name, 100000);
  const DWORD created = GetLastError();
  HANDLE second = create(name, 4096);  // the size asked for does not matter then
  const DWORD joined = GetLastError();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(std::tuple(created, joined, platform::GetMappingSize(first), platform::GetMappingSize(second)),
            std::tuple(DWORD(ERROR_SUCCESS), DWORD(ERROR_ALREADY_EXISTS), 100000u, 100000u));
  struct stat st {};
  ASSERT_EQ(::stat(shmFile(name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // the user's own
  auto* a = static_cast<unsigned char*>(MapViewOfFile(first, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  auto* b = static_cast<unsigned char*>(MapViewOfFile(second, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a[99999], 0);  // new mappings are zero
  a[99999] = 0x5A;
  EXPECT_EQ(b[99999], 0x5A);

  auto* tail = static_cast<unsigned char*>(MapViewOfFile(first, FILE_MAP_READ, 0, 65536, 0));
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(tail[99999 - 65536], 0x5A);  // an offset view sees the same bytes

  // Alive while any handle or view holds it.
  EXPECT_TRUE(UnmapViewOfFile(a));
  EXPECT_TRUE(UnmapViewOfFile(b));
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(exists(shmFile(name)));  // second still holds it
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_TRUE(exists(shmFile(name)));  // and the view
  EXPECT_TRUE(UnmapViewOfFile(tail));
  EXPECT_FALSE(exists(shmFile(name)));
  EXPECT_EQ(Refused(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(name).c_str())), ERROR_FILE_NOT_FOUND);
}

// The renderer reads on after the add-on's process is gone: a mapping lives
// while another process holds it, and goes with that last holder.
TEST(SharedMemory, AMappingOutlivesItsCreatorWhileAnotherProcessHoldsIt) {
  const std::string name = uniqueName("outlives");
  Peer creator = StartTool("shm_peer", {"create", name, "4096", "7"});
  ASSERT_EQ(Line(creator), "ready 0 4096");
  HANDLE h = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(name).c_str());
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(ExitCode(creator, true), 0);
  const auto* view = static_cast<const unsigned char*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::count(view, view + 4096, 7), 4096);
  UnmapViewOfFile(view);
  CloseHandle(h);
  EXPECT_FALSE(exists(shmFile(name)));
}

// Objects whose holders were killed are left behind by POSIX, held by
// nobody: creating over such a name gives fresh memory, opening one finds
// nothing, and any process that creates or opens sweeps them on the way.
TEST(SharedMemory, ObjectsOfKilledHoldersAreStaleAndSwept) {
  const std::string name = uniqueName("killed"), a = uniqueName("left-a"), b = uniqueName("left-b");
  for (const std::string& n : {name, a, b}) {
    Peer owner = StartTool("shm_peer", {"create", n, "4096", "1"});
    ASSERT_EQ(field(Line(owner), 0), "ready");
    if (n == name) {
      Peer guest = StartTool("shm_peer", {"open", n});
      ASSERT_EQ(field(Line(guest), 0), "ready");
    }
  }  // every holder killed (not asserted: another process may sweep at any moment)

  HANDLE h = create(name, 8192);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(platform::GetMappingSize(h), 8192u);
  auto* view = static_cast<unsigned char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 0);
  UnmapViewOfFile(view);
  CloseHandle(h);
  EXPECT_FALSE(exists(shmFile(name)));

  // A fresh process looking for an unrelated name sweeps what is left.
  Peer looker = StartTool("shm_peer", {"open", uniqueName("missing")});
  EXPECT_EQ(Line(looker), "error 2");
  EXPECT_EQ(ExitCode(looker), 1);
  EXPECT_FALSE(exists(shmFile(a)));
  EXPECT_FALSE(exists(shmFile(b)));
  {
    Peer again = StartTool("shm_peer", {"create", a, "4096", "3"});
    ASSERT_EQ(field(Line(again), 0), "ready");
  }
  // So does a fresh process creating an unrelated name; a live object is
  // never swept.
  const std::string c = uniqueName("left-c");
  Peer live = StartTool("shm_peer", {"create", c, "4096", "1"});
  ASSERT_EQ(field(Line(live), 0), "ready");
  EXPECT_FALSE(exists(shmFile(a)));
  EXPECT_EQ(Refused(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(a).c_str())), ERROR_FILE_NOT_FOUND);
  platform::SweepStaleMappings();
  EXPECT_TRUE(exists(shmFile(c)));
  EXPECT_EQ(ExitCode(live, true), 0);
  EXPECT_FALSE(exists(shmFile(c)));
}

TEST(SharedMemory, AnotherUsersObjectIsNeverOpened) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make an object owned by another user";
  const std::string name = uniqueName("foreign");
  const std::string path = shmFile(name);
  // The object appears under its name already foreign: made under a name no
  // sweep looks at, then renamed. Made in place, it would be ours until the
  // chown, and a sweep in a process running beside this test could rightly
  // remove it as stale in that moment.
  const std::string making = "/dev/shm/making-foreign-" + std::to_string(::getpid());
  const int fd = ::open(making.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "theirs", 6), 6);
  ASSERT_EQ(::fchown(fd, 54321, 54321), 0);
  ::close(fd);
  ASSERT_EQ(::rename(making.c_str(), path.c_str()), 0);

  EXPECT_EQ(Refused(create(name, 4096)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Refused(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(name).c_str())), ERROR_ACCESS_DENIED);
  platform::SweepStaleMappings();
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0) << "a foreign object must not be removed";
  EXPECT_TRUE(st.st_size == 6 && st.st_uid == 54321u);
  ::unlink(path.c_str());
}

TEST(SharedMemory, BadArgumentsFailWithClearCodes) {
  const std::string name = uniqueName("bad");
  const std::u16string w = wide(name);
  // Size 0; far more than the machine has: refused now, not a fault on
  // first write. A name too long for any object.
  const DWORD sizes[][3] = {{0, 0, ERROR_INVALID_PARAMETER},
                            {0x7FFF, 0, ERROR_NOT_ENOUGH_MEMORY},
                            {0xFFFFFFFF, 0xFFFFFFFF, ERROR_NOT_ENOUGH_MEMORY}};
  for (const auto& [high, low, error] : sizes)
    EXPECT_EQ(Refused(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, high, low, w.c_str())), error);
  EXPECT_EQ(Refused(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, std::u16string(40000, u'n').c_str())),
            ERROR_FILENAME_EXCED_RANGE);
  EXPECT_FALSE(exists(shmFile(name)));

  HANDLE h = create(name, 70000);
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(UnmapViewOfFile(nullptr));
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));  // a handle dies once
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Refused(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(platform::GetMappingSize(h), 0u);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x12345)));
  EXPECT_FALSE(exists(shmFile(name)));
}

TEST(SharedMemory, ConcurrentCreateAndCloseFromTwoProcesses) {
  const std::string name = uniqueName("churn");
  Peer other = StartTool("shm_peer", {"churn", name, "3", "300"});
  Peer mine = StartTool("shm_peer", {"churn", name, "3", "300"});
  EXPECT_EQ(Line(other, 60000), "done 0");
  EXPECT_EQ(Line(mine, 60000), "done 0");
  EXPECT_EQ(ExitCode(other), 0);
  EXPECT_EQ(ExitCode(mine), 0);
  EXPECT_FALSE(exists(shmFile(name)));
}

}  // namespace
