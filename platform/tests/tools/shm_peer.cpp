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

int churn(const std::u16string& name, int threads, int rounds) {
  std::atomic<int> errors{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < rounds; ++i) {
        HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
        const DWORD error = GetLastError();
        if (!h || (error != ERROR_SUCCESS && error != ERROR_ALREADY_EXISTS)) {
          ++errors;
          continue;
        }
        auto* counter = static_cast<std::atomic<std::uint32_t>*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
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
  const std::string mode = argc >= 3 ? argv[1] : "";
  const std::u16string name = base::FromUtf8(argc >= 3 ? argv[2] : "");
  if (mode == "churn" && argc == 5) return churn(name, std::atoi(argv[3]), std::atoi(argv[4]));
  if ((mode != "create" || argc != 5) && (mode != "open" || argc != 3)) {
    std::fprintf(stderr, "usage: shm_peer create NAME SIZE FILL | open NAME | churn NAME THREADS N\n");
    return 2;
  }
  HANDLE h = mode == "open" ? OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str())
                            : CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                 static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)), name.c_str());
  const DWORD error = GetLastError();
  auto* view = h ? static_cast<unsigned char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
  if (!view) {
    std::printf("error %u\n", GetLastError());
    return 1;
  }
  const SIZE_T size = platform::GetMappingSize(h);
  if (mode == "create" && error == ERROR_SUCCESS) std::memset(view, std::atoi(argv[4]), size);
  std::printf("ready %u %zu\n", error, size);
  std::fflush(stdout);
  for (std::string line; std::getline(std::cin, line);) {
  }
  UnmapViewOfFile(view);
  CloseHandle(h);
  return 0;
}
