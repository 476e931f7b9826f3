// The guard against shrunk shared memory: our views survive a truncation by
// reading zeros and say so; a bus error anywhere else still ends the process
// as it would have without the guard.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "base/utf.h"
#include "platform/win32.h"
#include "test_support.h"

namespace {

void Truncate(const std::u16string& mappingName) {
  const int fd = ::shm_open(platform::ShmObjectName(mappingName).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 0), 0);
  ::close(fd);
}

}  // namespace

TEST(PlatformMappingGuardTest, AShrunkViewReadsZerosAndIsMarkedBroken) {
  const std::u16string name = u"guard/shrink-" + base::FromUtf8(std::to_string(::getpid()));
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 3 * 4096, name.c_str());
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<volatile unsigned char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  HANDLE other = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, (name + u"-other").c_str());
  auto* sound = static_cast<volatile unsigned char*>(MapViewOfFile(other, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(sound, nullptr);
  view[5000] = 7;
  sound[10] = 9;
  EXPECT_FALSE(platform::IsViewBroken(const_cast<unsigned char*>(view)));
  const std::uint64_t brokenBefore = platform::BrokenViewCount();

  Truncate(name);
  EXPECT_EQ(view[5000], 0);  // would be SIGBUS
  view[8000] = 1;            // so would this
  EXPECT_EQ(view[8000], 1);  // private pages: our own write only
  EXPECT_TRUE(platform::IsViewBroken(const_cast<unsigned char*>(view)));
  EXPECT_EQ(platform::BrokenViewCount(), brokenBefore + 1);  // one view, however often it is touched
  // Only the view that was hit is replaced.
  EXPECT_FALSE(platform::IsViewBroken(const_cast<unsigned char*>(sound)));
  EXPECT_EQ(sound[10], 9);

  EXPECT_TRUE(UnmapViewOfFile(const_cast<unsigned char*>(view)));
  EXPECT_TRUE(UnmapViewOfFile(const_cast<unsigned char*>(sound)));
  CloseHandle(mapping);
  CloseHandle(other);
  EXPECT_FALSE(platform::IsViewBroken(nullptr));
}

TEST(PlatformMappingGuardDeathTest, ABusErrorOutsideOurViewsStillEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Install the guard first, through a view of our own.
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, u"guard/outside");
  ASSERT_NE(mapping, nullptr);
  ASSERT_NE(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
  EXPECT_DEATH(
      {
        char path[] = "/tmp/corv-guard-XXXXXX";
        const int fd = ::mkstemp(path);
        ::unlink(path);
        if (::ftruncate(fd, 8192) != 0) ::_exit(0);
        auto* bytes = static_cast<volatile char*>(::mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (::ftruncate(fd, 0) != 0) ::_exit(0);
        bytes[4096] = 1;  // a foreign mapping past its end: not ours to mend
        ::_exit(0);
      },
      "");
}
