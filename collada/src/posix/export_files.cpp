// The export's file-system steps on POSIX calls.
#include "../export_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace collada::files {

std::string ErrorText(SystemError err) { return std::strerror(static_cast<int>(err)); }

SystemError NoFileNameError() { return EINVAL; }
SystemError IsAFolderError() { return EISDIR; }
SystemError NotAFolderError() { return ENOTDIR; }
SystemError NotOpenError() { return EBADF; }
SystemError NameTakenError() { return EEXIST; }
SystemError ShortWriteError() { return EIO; }

Kind KindOf(const std::string& path, bool follow, SystemError* err) {
  struct stat st {};
  const int r = follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (r != 0) {
    *err = errno == ENOENT ? 0 : static_cast<SystemError>(errno);
    return Kind::Missing;
  }
  *err = 0;
  return S_ISDIR(st.st_mode) ? Kind::Folder : Kind::File;
}

Keep KeepOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return Keep{true, static_cast<std::uint32_t>(st.st_mode & 07777)};
}

// rename() replaces a file the user may not write as long as the folder
// may be written: a read-only document is replaced, keeping its mode.
bool CanBeReplaced(const Keep&, SystemError*) { return true; }

bool NewFile::Create(const std::string& path, SystemError* err) {
  Close(nullptr);
  // 0666 under the process's umask, as a newly created document would be.
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    *err = static_cast<SystemError>(errno);
    return false;
  }
  return true;
}

bool NewFile::IsOpen() const { return fd_ >= 0; }

void NewFile::Apply(const Keep& keep) {
  keep_ = keep;
  if (fd_ >= 0 && keep.exists) (void)::fchmod(fd_, static_cast<mode_t>(keep.bits));
}

bool NewFile::Write(const char* data, std::size_t size, SystemError* err) {
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = static_cast<SystemError>(errno);
      return false;
    }
    if (n == 0) {
      *err = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void NewFile::HandOver(std::uint64_t from, std::uint64_t length) {
  (void)::sync_file_range(fd_, static_cast<off_t>(from), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
}

bool NewFile::Flush(SystemError* err) {
  if (::fdatasync(fd_) == 0) return true;
  *err = static_cast<SystemError>(errno);
  return false;
}

bool NewFile::Close(SystemError* err) {
  if (fd_ < 0) return true;
  const int r = ::close(fd_);
  fd_ = -1;
  if (r == 0) return true;
  if (err != nullptr) *err = static_cast<SystemError>(errno);
  return false;
}

bool Move(const std::string& from, const std::string& to, SystemError* err) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  *err = static_cast<SystemError>(errno);
  return false;
}

bool MakeUniqueFolder(std::string& pattern, SystemError* err) {
  if (::mkdtemp(pattern.data()) != nullptr) return true;
  *err = static_cast<SystemError>(errno);
  return false;
}

bool MakeFolder(const std::string& path, SystemError* err) {
  if (::mkdir(path.c_str(), 0700) == 0) return true;
  *err = static_cast<SystemError>(errno);
  return false;
}

void MakeEmptyFile(const std::string& path) {
  if (FILE* file = std::fopen(path.c_str(), "w")) std::fclose(file);
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

}  // namespace collada::files
