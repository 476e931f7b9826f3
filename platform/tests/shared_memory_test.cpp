// Named mappings between real processes, with Windows lifetime: alive while
// anybody holds them, gone after the last close or death.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../src/utf16.h"
#include "base/utf.h"
#include "platform/win32.h"
#include "test_support.h"

namespace {

using corvtest::Child;
using corvtest::ToolPath;

std::string uniqueName(const std::string& what) {
  return "Corv/test\\" + std::to_string(::getpid()) + "/" + what;
}
std::u16string wide(const std::string& s) { return base::FromUtf8(s); }
std::string shmFile(const std::string& name) {
  return "/dev/shm" + platform::ShmObjectName(wide(name));
}
bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

HANDLE create(const std::string& name, DWORD size) {
  return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                            wide(name).c_str());
}

std::string field(const std::string& line, int index) {
  std::size_t start = 0;
  for (int i = 0; i < index; ++i) start = line.find(' ', start) + 1;
  return line.substr(start, line.find(' ', start) - start);
}

TEST(SharedMemory, SecondCreateInProcessJoinsTheLiveMapping) {
  const std::string name = uniqueName("twice");
  HANDLE first = create(name, 100000);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(platform::GetMappingSize(first), 100000u);
  struct stat st {};
  ASSERT_EQ(::stat(shmFile(name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  HANDLE second = create(name, 4096);  // the size asked for does not matter then
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(platform::GetMappingSize(second), 100000u);
  auto* a = static_cast<unsigned char*>(MapViewOfFile(first, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  auto* b = static_cast<unsigned char*>(MapViewOfFile(second, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a[99999], 0);  // new mappings are zero
  a[99999] = 0x5A;
  EXPECT_EQ(b[99999], 0x5A);

  EXPECT_TRUE(UnmapViewOfFile(a));
  EXPECT_TRUE(UnmapViewOfFile(b));
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(exists(shmFile(name)));  // second still holds it
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_FALSE(exists(shmFile(name)));
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(name).c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(SharedMemory, ViewKeepsMappingAliveAfterCloseHandle) {
  const std::string name = uniqueName("view-alive");
  HANDLE h = create(name, 65536 * 2);
  ASSERT_NE(h, nullptr);
  auto* whole = static_cast<unsigned char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  auto* tail = static_cast<unsigned char*>(MapViewOfFile(h, FILE_MAP_READ, 0, 65536, 16));
  ASSERT_TRUE(whole && tail);
  whole[65536 + 3] = 7;
  EXPECT_EQ(tail[3], 7);  // an offset view sees the same bytes
  ASSERT_TRUE(CloseHandle(h));
  HANDLE again = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(name).c_str());
  ASSERT_NE(again, nullptr) << "views must keep the mapping alive";
  CloseHandle(again);
  UnmapViewOfFile(whole);
  EXPECT_TRUE(exists(shmFile(name)));
  UnmapViewOfFile(tail);
  EXPECT_FALSE(exists(shmFile(name)));
}

TEST(SharedMemory, BytesAreSharedWithAnotherProcess) {
  const std::string name = uniqueName("shared");
  Child owner({ToolPath("shm_peer"), "create", name, "10242048", "171"});
  ASSERT_EQ(owner.ReadLine(), "ready 0 10242048");

  HANDLE h = OpenFileMappingW(FILE_MAP_ALL_ACCESS, TRUE, wide(name).c_str());
  ASSERT_NE(h, nullptr) << GetLastError();
  ASSERT_EQ(platform::GetMappingSize(h), 10242048u);
  auto* view = static_cast<unsigned char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 171);
  EXPECT_EQ(view[10242047], 171);
  view[5000] = 9;
  EXPECT_EQ(owner.Ask("read 5000"), "byte 9");
  EXPECT_EQ(owner.Ask("write 10242047 33"), "ok");
  EXPECT_EQ(view[10242047], 33);

  // Creating the live name from here reports it and joins the same memory.
  HANDLE joined = create(name, 4096);
  ASSERT_NE(joined, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  auto* other = static_cast<unsigned char*>(MapViewOfFile(joined, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other[5000], 9);
  UnmapViewOfFile(other);
  CloseHandle(joined);

  // The owner leaves; we keep it alive, and our close removes it.
  EXPECT_EQ(owner.Finish(), 0);
  EXPECT_TRUE(exists(shmFile(name)));
  EXPECT_EQ(view[5000], 9);
  UnmapViewOfFile(view);
  CloseHandle(h);
  EXPECT_FALSE(exists(shmFile(name)));
}

TEST(SharedMemory, NamesOfKilledHoldersAreStale) {
  const std::string name = uniqueName("killed");
  const std::string block = uniqueName("killed-block");
  Child owner({ToolPath("shm_peer"), "create", name, "4096", "1"});
  ASSERT_EQ(field(owner.ReadLine(), 0), "ready");
  Child guest({ToolPath("shm_peer"), "open", name});
  ASSERT_EQ(field(guest.ReadLine(), 0), "ready");
  Child blockOwner({ToolPath("shm_peer"), "create", block, "4096", "2"});
  ASSERT_EQ(field(blockOwner.ReadLine(), 0), "ready");
  owner.Kill();
  guest.Kill();
  blockOwner.Kill();
  // POSIX leaves the objects behind, held by nobody. (Not asserted: any
  // other process of this user may sweep them away at any moment.)

  // Creating over the stale name succeeds with fresh memory.
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

  // Opening a stale name finds nothing and clears it away.
  Child again({ToolPath("shm_peer"), "create", block, "4096", "3"});
  ASSERT_EQ(field(again.ReadLine(), 0), "ready");
  again.Kill();
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(block).c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(exists(shmFile(block)));
}

TEST(SharedMemory, AnyLaterCreateSweepsWhatDeadProcessesLeft) {
  const std::string a = uniqueName("left-a"), b = uniqueName("left-b");
  {
    Child ca({ToolPath("shm_peer"), "create", a, "4096", "1"});
    Child cb({ToolPath("shm_peer"), "create", b, "4096", "1"});
    ASSERT_EQ(field(ca.ReadLine(), 0), "ready");
    ASSERT_EQ(field(cb.ReadLine(), 0), "ready");
  }  // both killed; left behind unless another process swept already
  // A fresh process looking for an unrelated name sweeps on the way.
  Child looker({ToolPath("shm_peer"), "open", uniqueName("missing")});
  EXPECT_EQ(looker.ReadLine(), "error 2");
  EXPECT_EQ(looker.Wait(), 1);
  EXPECT_FALSE(exists(shmFile(a)));
  EXPECT_FALSE(exists(shmFile(b)));

  {
    Child ca({ToolPath("shm_peer"), "create", a, "4096", "1"});
    ASSERT_EQ(field(ca.ReadLine(), 0), "ready");
  }
  // So does a fresh process creating an unrelated name.
  const std::string c = uniqueName("left-c");
  Child cc({ToolPath("shm_peer"), "create", c, "4096", "1"});
  ASSERT_EQ(field(cc.ReadLine(), 0), "ready");
  EXPECT_FALSE(exists(shmFile(a)));
  EXPECT_TRUE(exists(shmFile(c)));  // live: never swept
  platform::SweepStaleMappings();  // may remove other processes' leftovers, never a live object
  EXPECT_TRUE(exists(shmFile(c)));
  EXPECT_EQ(cc.Finish(), 0);
  EXPECT_FALSE(exists(shmFile(c)));
}

TEST(SharedMemory, AnotherUsersObjectIsNeverOpened) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make an object owned by another user";
  const std::string name = uniqueName("foreign");
  const std::string path = shmFile(name);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "theirs", 6), 6);
  ASSERT_EQ(::fchown(fd, 54321, 54321), 0);
  ::close(fd);

  EXPECT_EQ(create(name, 4096), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(name).c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  platform::SweepStaleMappings();
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0) << "a foreign object must not be removed";
  EXPECT_EQ(st.st_size, 6);
  EXPECT_EQ(st.st_uid, 54321u);
  ::unlink(path.c_str());
}

TEST(SharedMemory, BadArgumentsFailWithClearCodes) {
  const std::string name = uniqueName("bad");
  const std::u16string w = wide(name);
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, w.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateFileMappingW(nullptr, nullptr, PAGE_READWRITE, 0, 16, w.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, 0x40, 0, 16, w.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // Far more than the machine has: refused now, not a fault on first write.
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0x7FFF, 0, w.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0xFFFFFFFF, 0xFFFFFFFF, w.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(exists(shmFile(name)));

  EXPECT_EQ(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, u""), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  const std::u16string huge(40000, u'n');
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, huge.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);

  HANDLE h = create(name, 70000);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 4096, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
  EXPECT_EQ(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 65536, 5000), nullptr);  // past the end
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 1, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, SIZE_T(-1)), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MapViewOfFile(h, 0, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  int local = 0;
  EXPECT_FALSE(UnmapViewOfFile(&local));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
  EXPECT_FALSE(UnmapViewOfFile(nullptr));

  ASSERT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));  // a handle dies once
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(platform::GetMappingSize(h), 0u);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x12345)));
  EXPECT_FALSE(exists(shmFile(name)));
}

TEST(SharedMemory, ReadOnlyAccessIsEnforced) {
  const std::string name = uniqueName("readonly");
  HANDLE owner = create(name, 4096);
  ASSERT_NE(owner, nullptr);
  HANDLE reader = OpenFileMappingW(FILE_MAP_READ, FALSE, wide(name).c_str());
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(MapViewOfFile(reader, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  void* view = MapViewOfFile(reader, FILE_MAP_READ, 0, 0, 0);
  EXPECT_NE(view, nullptr);
  UnmapViewOfFile(view);
  CloseHandle(reader);
  CloseHandle(owner);
}

TEST(SharedMemory, UnnamedMappingsNeedNoName) {
  HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1000, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(platform::GetMappingSize(h), 1000u);
  auto* view = static_cast<char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  std::memset(view, 1, 1000);
  UnmapViewOfFile(view);
  EXPECT_TRUE(CloseHandle(h));
}

TEST(SharedMemory, ConcurrentCreateAndCloseFromTwoProcesses) {
  const std::string name = uniqueName("churn");
  Child other({ToolPath("shm_peer"), "churn", name, "3", "300"});
  Child mine({ToolPath("shm_peer"), "churn", name, "3", "300"});
  EXPECT_EQ(other.ReadLine(60000), "done 0");
  EXPECT_EQ(mine.ReadLine(60000), "done 0");
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_EQ(mine.Wait(), 0);
  EXPECT_FALSE(exists(shmFile(name)));
}

TEST(SharedMemory, ParallelBlocksFromManyThreadsStayDistinct) {
  // As the live link publishes geometry: many threads create, fill, reopen
  // and release their own blocks at once.
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 40; ++i) {
        const std::string name = uniqueName("block/" + std::to_string(t) + "/" + std::to_string(i));
        const DWORD size = 4096 + 512 * static_cast<DWORD>(i);
        HANDLE h = create(name, size);
        if (!h || GetLastError() != ERROR_SUCCESS) { ++failures; continue; }
        auto* w = static_cast<unsigned char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        HANDLE o = OpenFileMappingW(FILE_MAP_READ, FALSE, wide(name).c_str());
        auto* r = o ? static_cast<unsigned char*>(MapViewOfFile(o, FILE_MAP_READ, 0, 0, 0)) : nullptr;
        if (!w || !r || platform::GetMappingSize(o) != size) {
          ++failures;
        } else {
          w[size - 1] = static_cast<unsigned char>(t * 40 + i);
          if (r[size - 1] != static_cast<unsigned char>(t * 40 + i)) ++failures;
        }
        if (r) UnmapViewOfFile(r);
        if (w) UnmapViewOfFile(w);
        if (o) CloseHandle(o);
        CloseHandle(h);
        if (exists(shmFile(name))) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
