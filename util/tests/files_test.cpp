// File queries against real files and the times the file system reports.
#include <gtest/gtest.h>
#ifdef _WIN32
#include "base/windows_text.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "base/utf.h"
#include "isolation.h"
#include "util/files.h"
#include "util/text.h"

using namespace util;
namespace fs = std::filesystem;

namespace {

// Sets a file's access and write times (seconds and nanoseconds since 1970).
bool SetTimes(const fs::path& file, const struct timespec (&times)[2]) {
#ifdef _WIN32
  auto toFileTime = [](const struct timespec& t) {
    const std::uint64_t v = (std::uint64_t(t.tv_sec) + 11644473600ull) * 10000000ull + std::uint64_t(t.tv_nsec) / 100;
    return FILETIME{DWORD(v), DWORD(v >> 32)};
  };
  HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const FILETIME access = toFileTime(times[0]), write = toFileTime(times[1]);
  const bool ok = SetFileTime(h, nullptr, &access, &write);
  CloseHandle(h);
  return ok;
#else
  return ::utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
#endif
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  std::u16string U(const fs::path& p) const {
    const auto text = p.u8string();
    return base::FromUtf8(std::string(text.begin(), text.end()));
  }
  const fs::path dir_ =
      fs::u8path(livelink_test::Isolated().root()) / ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(Files, ExistenceAndTimeStampsOfFilesNotDirectories) {
  fs::path file = dir_ / fs::u8path("Büro ä.png");
  std::ofstream(file) << "png";
  EXPECT_TRUE(FileExists(U(file)));
  for (const fs::path& none : {dir_, dir_ / "missing.png", fs::path()}) EXPECT_FALSE(FileExists(U(none))) << none;
  // A NUL would otherwise cut the path down to the existing file.
  EXPECT_FALSE(FileExists(U(file) + std::u16string(1, u'\0') + u"junk"));
#ifndef _WIN32
  // Symbolic links need a privilege on Windows; the Linux build checks them.
  fs::create_symlink(file, dir_ / "link");
  EXPECT_TRUE(FileExists(U(dir_ / "link")));
  fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
  EXPECT_FALSE(FileExists(U(dir_ / "dangling")));
#endif

  // Time stamps: the file system's times since 1601.
  file = dir_ / "texture.jpg";
  const std::int64_t before = std::time(nullptr);
  std::ofstream(file) << "jpeg";
  // 2021-03-04 05:06:07.123456789 for the access, a second later for the write.
  struct timespec times[2] = {{1614834367, 123456789}, {1614834368, 987654321}};
  ASSERT_TRUE(SetTimes(file, times));
  const std::int64_t after = std::time(nullptr);

  // 1 the access, 2 (and anything else) the last write.
  for (const auto& [which, stamp] : {std::pair{1, 132593079671234567ull},
                                     {2, 132593079689876543ull},
                                     {-1, 132593079689876543ull},
                                     {7, 132593079689876543ull}})
    EXPECT_EQ(GetFileTimeStamp(U(file), which), stamp) << which;
  // Creation: the birth time, or the change time where there is none; both
  // fall between making the file and setting its other times. The file
  // system may stamp from a finer clock than time()'s coarse one, which lags
  // it by up to a tick, so a second of slack is allowed on either side.
  const std::uint64_t created = GetFileTimeStamp(U(file), 0);
  if (livelink_test::UnderWine() && created == 132593079689876543ull) {
    // Wine reports no creation time of its own on a Linux file system: it
    // gives the last write's (docs/windows.md). Windows keeps the real one.
    std::printf("Under Wine: the creation time reads as the last write time\n");
  } else {
    EXPECT_GE(created, std::uint64_t(before - 1 + 11644473600LL) * 10000000ull);
    EXPECT_LT(created, std::uint64_t(after + 2 + 11644473600LL) * 10000000ull);
  }
  for (const fs::path& none : {dir_ / "missing.jpg", dir_, fs::path()})  // a directory is not a file
    EXPECT_EQ(GetFileTimeStamp(U(none), 2), 0u) << none;
}

// "\" separates a Windows path (the host writes them so); on Linux it is a
// character of a name, and only "/" separates.
TEST(PathSeparators, BackslashSeparatesOnWindowsOnly) {
  EXPECT_EQ(util::LastPathSeparator(u"/p/proj.old/House"), 11u);
  EXPECT_EQ(util::LastPathSeparator(u"House"), std::u16string_view::npos);
#ifdef _WIN32
  EXPECT_TRUE(util::IsPathSeparator(u'\\'));
  EXPECT_EQ(util::LastPathSeparator(u"C:/p\\proj.old\\House"), 13u);
#else
  EXPECT_FALSE(util::IsPathSeparator(u'\\'));
  EXPECT_EQ(util::LastPathSeparator(u"/p/a\\b"), 2u);
#endif
}

}  // namespace
