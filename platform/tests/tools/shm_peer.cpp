// Holds a named mapping in its own process for the shared memory tests.
//
//   shm_peer create NAME SIZE FILL   create (or join) NAME; a new mapping is
//                                    filled with the byte FILL
//   shm_peer open NAME               open an existing mapping
//   shm_peer churn NAME THREADS N    THREADS threads each create, touch and
//                                    close NAME N times; prints "done ERRORS"
//
// create and open print "ready LASTERROR SIZE" and hold the mapping, mapped,
// until their input ends; then they unmap, close and exit 0. NAME is UTF-8.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "../../src/utf16.h"
#include "base/utf.h"
#include "platform/win32.h"

namespace {

int serve(HANDLE mapping, DWORD creationError) {
  const SIZE_T size = platform::GetMappingSize(mapping);
  auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (!view) {
    std::printf("error %u\n", GetLastError());
    return 1;
  }
  std::printf("ready %u %zu\n", creationError, size);
  std::fflush(stdout);
  for (std::string line; std::getline(std::cin, line);) {
  }
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  return 0;
}

int churn(const std::u16string& name, int threads, int rounds) {
  std::atomic<int> errors{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < rounds; ++i) {
        HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                      name.c_str());
        const DWORD error = GetLastError();
        if (!h || (error != ERROR_SUCCESS && error != ERROR_ALREADY_EXISTS)) {
          ++errors;
          continue;
        }
        auto* counter =
            static_cast<std::atomic<std::uint32_t>*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (!counter) ++errors;
        else counter->fetch_add(1);
        if (counter && !UnmapViewOfFile(counter)) ++errors;
        if (!CloseHandle(h)) ++errors;
      }
    });
  }
  for (auto& w : workers) w.join();
  std::printf("done %d\n", errors.load());
  return errors.load() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: shm_peer create NAME SIZE FILL | open NAME | churn NAME THREADS N\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::u16string name = base::FromUtf8(argv[2]);
  if (mode == "create" && argc == 5) {
    const unsigned long size = std::strtoul(argv[3], nullptr, 10);
    const int fill = std::atoi(argv[4]);
    HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  static_cast<DWORD>(size), name.c_str());
    const DWORD error = GetLastError();
    if (!h) {
      std::printf("error %u\n", error);
      return 1;
    }
    if (error == ERROR_SUCCESS) {
      void* view = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0);
      if (!view) return 1;
      std::memset(view, fill, size);
      UnmapViewOfFile(view);
    }
    return serve(h, error);
  }
  if (mode == "open" && argc == 3) {
    HANDLE h = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    if (!h) {
      std::printf("error %u\n", GetLastError());
      return 1;
    }
    return serve(h, GetLastError());
  }
  if (mode == "churn" && argc == 5) return churn(name, std::atoi(argv[3]), std::atoi(argv[4]));
  std::fprintf(stderr, "shm_peer: bad arguments\n");
  return 2;
}
