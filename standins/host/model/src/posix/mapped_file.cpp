#include "mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hostmodel::detail {

MappedFile::MappedFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  file_ = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  size_ = static_cast<std::size_t>(st.st_size);
  if (size_ == 0) {
    ok_ = true;
    return;
  }
  // Not populated here: each thread that reads a part maps its own pages
  // in (Prefault), so that the mapping of a large file is not one core's
  // work before any reading starts.
  void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return;
  ::madvise(p, size_, MADV_SEQUENTIAL);
  data_ = static_cast<const char*>(p);
  ok_ = true;
}

MappedFile::~MappedFile() {
  (void)mapping_;  // a Windows mapping's handle; a POSIX mapping has none
  if (data_) ::munmap(const_cast<char*>(data_), size_);
  if (file_ >= 0) ::close(static_cast<int>(file_));
}

void Prefault(const char* begin, const char* end) {
  if (begin >= end) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(begin) & ~(page - 1);
  ::madvise(reinterpret_cast<void*>(first), reinterpret_cast<std::uintptr_t>(end) - first, MADV_POPULATE_READ);
}

}  // namespace hostmodel::detail
