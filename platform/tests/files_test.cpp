// The Win32 file calls over real files, in a translation unit that includes
// libjpeg's headers before the stand-ins' (both define TRUE and FALSE), and
// writes a real JPEG with them as texture export does.
#include <cstdio>
#include <jpeglib.h>

#include "platform/win32.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "base/utf.h"
#include "test_support.h"

namespace {

std::u16string Wide(const std::string& path) { return base::FromUtf8(path); }

std::string Dir(const char* name) {
  const std::string dir = corvtest::IsolatedEnvironment::Root() + "/" + name;
  std::filesystem::create_directories(dir);
  return dir;
}

// A 4 x 2 grey JPEG written with libjpeg's TRUE (force baseline).
void WriteJpeg(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file);
  info.image_width = 4;
  info.image_height = 2;
  info.input_components = 1;
  info.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  jpeg_start_compress(&info, TRUE);
  JSAMPLE row[4] = {10, 80, 160, 240};
  while (info.next_scanline < info.image_height) {
    JSAMPROW rows[1] = {row};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::fclose(file);
}

std::vector<char> Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// Both headers in one unit: TRUE and FALSE keep the Windows values.
static_assert(TRUE == 1 && FALSE == 0);

TEST(PlatformFilesTest, AttributesAndFoldersAsTheTextureFolderUsesThem) {
  const std::string root = Dir("attributes");
  const std::u16string folder = Wide(root + "/House_Textures");
  SetLastError(0);
  EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesW(Wide(root + "/no/such").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_EQ(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryW(Wide(root + "/a/b").c_str(), nullptr));  // no parent
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  const std::string image = root + "/House_Textures/ziegel \u00e4.jpg";  // non-ASCII name
  WriteJpeg(image);
  EXPECT_EQ(GetFileAttributesW(Wide(image).c_str()), FILE_ATTRIBUTE_NORMAL);
  if (::geteuid() != 0) {  // root may write anything
    ::chmod(image.c_str(), 0444);
    EXPECT_EQ(GetFileAttributesW(Wide(image).c_str()), FILE_ATTRIBUTE_READONLY);
    ::chmod(image.c_str(), 0644);
  }

  EXPECT_FALSE(DeleteFileW(folder.c_str()));  // folders are not files
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(DeleteFileW(Wide(image).c_str()));
  EXPECT_FALSE(DeleteFileW(Wide(image).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(GetFileAttributesW(nullptr), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(CreateDirectoryW(u"", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(PlatformFilesTest, CopyReplacesWholeOrRefusesAndLeavesNoTemporaryBehind) {
  const std::string root = Dir("copy");
  const std::string source = root + "/brick.jpg";
  WriteJpeg(source);
  const std::vector<char> original = Bytes(source);
  ASSERT_GT(original.size(), 100u);
  ASSERT_EQ(static_cast<unsigned char>(original[0]), 0xFF);  // SOI marker
  ASSERT_EQ(static_cast<unsigned char>(original[1]), 0xD8);

  const std::string target = root + "/00000000000000ff.jpg";
  ASSERT_TRUE(CopyFileW(Wide(source).c_str(), Wide(target).c_str(), FALSE));
  EXPECT_EQ(Bytes(target), original);

  // Overwriting a longer old file leaves exactly the new bytes.
  { std::ofstream(target, std::ios::binary) << std::string(100000, 'x'); }
  ASSERT_TRUE(CopyFileW(Wide(source).c_str(), Wide(target).c_str(), FALSE));
  EXPECT_EQ(Bytes(target), original);

  { std::ofstream(target, std::ios::binary) << "old"; }
  EXPECT_FALSE(CopyFileW(Wide(source).c_str(), Wide(target).c_str(), TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(Bytes(target), std::vector<char>({'o', 'l', 'd'}));

  EXPECT_TRUE(CopyFileW(Wide(source).c_str(), Wide(source).c_str(), FALSE));  // onto itself
  EXPECT_EQ(Bytes(source), original);

  EXPECT_FALSE(CopyFileW(Wide(root + "/missing.png").c_str(), Wide(target).c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(CopyFileW(Wide(root).c_str(), Wide(root + "/dir-copy").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CopyFileW(Wide(source).c_str(), Wide(root + "/gone/x.jpg").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // A FIFO as source must not block the copy.
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);
  EXPECT_FALSE(CopyFileW(Wide(root + "/fifo").c_str(), Wide(target).c_str(), FALSE));

  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root)) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 3u);  // brick.jpg, the target and the FIFO: no temporaries
}
