// A document written beside its destination and put in place only when it is
// whole. The bytes go to a new temporary file in the destination's folder;
// Commit flushes them to the disk and renames the temporary file over the
// destination in one step, so a reader of the destination sees either the old
// document or the new one, never a part of either. Any failure (the folder is
// missing or read-only, the disk is full, the process's file-size limit is
// reached, the destination is a directory; on Windows also a read-only
// document or one another program holds open) leaves the destination
// untouched and removes the temporary file. The file-system steps are the
// system's own (src/posix/, src/win/); the rename is MoveFileExW with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH on Windows.
//
// Writes never throw and are not checked one by one: the first failure is
// kept, later writes do nothing, and Commit reports it.
#pragma once

#ifndef _WIN32
#include <signal.h>
#endif

#include <cstddef>
#include <cstdint>
#include <string>
#include <memory>
#include <string_view>

namespace collada {

// Writing past the process's file-size limit raises SIGXFSZ, whose default
// action ends the process: the host would die for a failed export. While an
// object of this class lives, the signal is blocked on the calling thread,
// so writes report EFBIG instead; a signal the writes left pending is
// consumed when the outermost guard goes. For every file an export writes
// (the document, its images). Windows has no such signal (a write past a
// limit fails with its error): there the guard does nothing.
class FileSizeSignalGuard {
 public:
  FileSizeSignalGuard();
  ~FileSizeSignalGuard();
  FileSizeSignalGuard(const FileSizeSignalGuard&) = delete;
  FileSizeSignalGuard& operator=(const FileSizeSignalGuard&) = delete;

#ifndef _WIN32
 private:
  sigset_t set_{};
  sigset_t old_{};
  bool active_ = false;
  bool wasPending_ = false;
#endif
};

namespace files {
class NewFile;
}

class OutputFile {
 public:
  OutputFile();
  ~OutputFile();  // abandons an uncommitted file
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file for destination (a UTF-8 path). False, with
  // Error() telling why, when it cannot be created.
  bool Open(const std::string& destination);

  void Write(std::string_view bytes);
  // A line of the document: the text, then CR LF.
  void Line(std::string_view text) {
    Write(text);
    Write("\r\n");
  }
  // Room for a formatted piece of at most n bytes, written by the caller,
  // who then calls Advance with the end of what it wrote. n must be small
  // (a few hundred bytes).
  char* Reserve(std::size_t n);
  void Advance(char* end) { used_ = static_cast<std::size_t>(end - buffer_.data()); }

  bool Failed() const { return !error_.empty(); }
  // Why it failed ("File too large", "cannot create a file in <folder>: ..."),
  // without the destination's path.
  const std::string& Error() const { return error_; }

  // Flushes, syncs and renames over the destination. False (the destination
  // unchanged, the temporary file gone) after any failure. The same as Finish
  // followed by Replace.
  bool Commit();
  // Flushes, syncs and closes the temporary file, which stays until Replace
  // or Abandon. False (the temporary file gone) after any failure.
  bool Finish();
  // Renames the finished temporary file over the destination. False (the
  // destination unchanged, the temporary file gone) when it is not finished
  // or the rename fails.
  bool Replace();
  // Removes the temporary file; the destination stays as it was.
  void Abandon();

  const std::string& TemporaryPath() const { return tempPath_; }

 private:
  void Flush();
  void WriteAll(const char* data, std::size_t size);
  void Fail(const std::string& what, unsigned long err);

  std::unique_ptr<files::NewFile> file_;
  std::string destination_;
  std::string tempPath_;
  std::string buffer_;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;     // bytes in the file
  std::uint64_t handedOver_ = 0;  // of them, handed to the disk's write-back
  bool finished_ = false;
  std::string error_;
};

}  // namespace collada
