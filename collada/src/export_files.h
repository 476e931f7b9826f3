// The file-system steps of an export on the system's own calls: POSIX on
// Linux (posix/export_files.cpp), Win32 on Windows (win/export_files.cpp).
// OutputFile and StagedExport build their promise (the destination and its
// texture folder are replaced whole or not at all) on these alone.
//
// Paths are UTF-8. A step that fails returns false and leaves the system's
// own error code in *err (errno, or GetLastError()); ErrorText gives the
// system's text for it, as the user reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace collada::files {

using SystemError = unsigned long;

// strerror's text, or FormatMessageW's without its final period and line
// break (the caller's sentence goes on after it).
std::string ErrorText(SystemError err);

// The codes for failures the export finds itself before the system would.
SystemError NoFileNameError();  // EINVAL, ERROR_INVALID_NAME
SystemError IsAFolderError();   // EISDIR, ERROR_ACCESS_DENIED (what opening a folder as a file gives)
SystemError NotAFolderError();  // ENOTDIR, ERROR_DIRECTORY
SystemError NotOpenError();     // EBADF, ERROR_INVALID_HANDLE
SystemError NameTakenError();   // EEXIST, ERROR_FILE_EXISTS
SystemError ShortWriteError();  // EIO, ERROR_WRITE_FAULT

enum class Kind { Missing, Folder, File };
// What path names: links are followed when follow is true (a link to a
// folder is then a Folder), otherwise a link is a File. Missing with *err
// set also when it cannot be looked at; *err is 0 when it does not exist.
Kind KindOf(const std::string& path, bool follow, SystemError* err);

// A file's lasting properties that a replacement keeps: the mode bits on
// Linux, the attributes on Windows. A read-only document on Windows cannot
// be replaced (MoveFileExW refuses it): CanBeReplaced says so before any
// byte is written.
struct Keep {
  bool exists = false;
  std::uint32_t bits = 0;
};
Keep KeepOf(const std::string& path);
bool CanBeReplaced(const Keep& keep, SystemError* err);

// A new file of that name, made only if none exists (NameTakenError() when
// one does), open for writing.
class NewFile {
 public:
  NewFile() = default;
  ~NewFile() { Close(nullptr); }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  bool Create(const std::string& path, SystemError* err);
  bool IsOpen() const;
  // Gives the file what a replaced document had.
  void Apply(const Keep& keep);
  // Writes all of it or fails.
  bool Write(const char* data, std::size_t size, SystemError* err);
  // Starts handing [from, from + length) to the disk without waiting; a
  // system that cannot leaves it to Flush.
  void HandOver(std::uint64_t from, std::uint64_t length);
  // Waits until the data are on the disk.
  bool Flush(SystemError* err);
  // Closes; false (with *err when err is given) when closing failed.
  bool Close(SystemError* err);

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  Keep keep_;
};

// Renames from to to in one step, replacing a file of that name, on the
// same file system (MoveFileExW with MOVEFILE_REPLACE_EXISTING and
// MOVEFILE_WRITE_THROUGH on Windows: the rename is on the disk when it
// returns).
bool Move(const std::string& from, const std::string& to, SystemError* err);
// A new, hidden folder: pattern ends in "XXXXXX", which is replaced.
bool MakeUniqueFolder(std::string& pattern, SystemError* err);
bool MakeFolder(const std::string& path, SystemError* err);
// An empty file of that name, made whatever is in the way (nothing is).
void MakeEmptyFile(const std::string& path);
void RemoveFile(const std::string& path);
// The folder with everything in it; nothing when it cannot.
void RemoveTree(const std::string& path);
// The names in a folder other than "." and ".."; empty when it cannot be
// read.
std::vector<std::string> Entries(const std::string& folder);

}  // namespace collada::files
