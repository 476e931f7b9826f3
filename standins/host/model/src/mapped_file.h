// A model file's text mapped read-only, for the OBJ reader, each platform
// its own way (src/posix/mapped_file.cpp: open and mmap;
// src/win/mapped_file.cpp: CreateFileW, CreateFileMappingW and
// MapViewOfFile). Only a regular file is mapped; an empty one is ok with
// no bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hostmodel::detail {

class MappedFile {
 public:
  explicit MappedFile(const std::string& path);  // UTF-8
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  bool ok() const { return ok_; }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::intptr_t file_ = -1;    // descriptor or file handle
  std::intptr_t mapping_ = 0;  // the mapping's handle where there is one
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  bool ok_ = false;
};

// Brings the file's pages under [begin, end) in ahead of reading them, in
// one call rather than a fault every few pages. Only a hint: where the
// system cannot, the pages fault in as they are read.
void Prefault(const char* begin, const char* end);

}  // namespace hostmodel::detail
