// The files of the native project format, each platform its own way
// (src/posix/project_io.cpp: POSIX descriptors, pread, O_DIRECT and fsync;
// src/win/project_io.cpp: Win32 handles, overlapped offsets and
// FlushFileBuffers). Paths are UTF-8. Errors are the system's own words.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace hostmodel::detail {

// A project file opened for reading.
class ProjectInput {
 public:
  explicit ProjectInput(const std::string& path);
  ~ProjectInput();
  ProjectInput(const ProjectInput&) = delete;
  ProjectInput& operator=(const ProjectInput&) = delete;

  // Empty when the file is open, else why it could not be opened.
  const std::string& error() const { return error_; }
  // A regular file, and its size when opened; anything else (a pipe, a
  // device) is read in order to its end.
  bool regular() const { return regular_; }
  std::uint64_t size() const { return size_; }

  // Up to length bytes at offset into buffer: how many were read, 0 at the
  // end, -1 with *error set. Several threads may read one file at once.
  std::int64_t ReadAt(std::uint64_t offset, char* buffer, std::size_t length, std::string* error) const;
  // The next bytes in order, the same way.
  std::int64_t Read(char* buffer, std::size_t length, std::string* error);

 private:
  std::intptr_t handle_ = -1;
  bool open_ = false;
  bool regular_ = false;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
  std::string error_;
};

// A new file written in order and flushed to the disk before it is closed.
class ProjectOutput {
 public:
  // Creates the file, or empties the one of that name. `direct` asks for
  // writes past the system's file cache where the platform and the file
  // system take them; they are ordinary writes elsewhere.
  ProjectOutput(const std::string& path, bool direct);
  ~ProjectOutput();
  ProjectOutput(const ProjectOutput&) = delete;
  ProjectOutput& operator=(const ProjectOutput&) = delete;

  // Empty while all is well, else why the file could not be made or
  // written.
  const std::string& error() const { return error_; }
  // False with error() set when the file cannot take the text.
  bool Write(std::string_view text);
  // Writes what is held, flushes the file to the disk and closes it.
  bool Finish();

 private:
  struct State;
  State* state_ = nullptr;
  std::string error_;
};

// A name beside path for the text of a save in progress, this process's own.
std::string TemporarySibling(const std::string& path);
// Gives the file `from` the name `to`, replacing a file of that name; false
// with *error set when it cannot.
bool RenameOver(const std::string& from, const std::string& to, std::string* error);
void RemoveFile(const std::string& path);

}  // namespace hostmodel::detail
