// Moves this process's registry store to memory (a folder of its own in
// /dev/shm, removed at exit). Every registry write ends in fsync, which on
// a disk makes a target a few hundred runs a second; in memory the same
// code runs many times faster. Called after the test isolation set the
// roots; where /dev/shm cannot take the folder the store stays on disk.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace corv_fuzz {

inline void MoveRegistryToMemory() {
  static std::string root;
  if (!root.empty()) return;
  char pattern[] = "/dev/shm/fuzz-registry-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return;
  root = pattern;
  std::filesystem::create_directory(root + "/hkcu");
  std::filesystem::create_directory(root + "/hklm");
  ::setenv("CORV_REGISTRY_HKCU", (root + "/hkcu").c_str(), 1);
  ::setenv("CORV_REGISTRY_HKLM", (root + "/hklm").c_str(), 1);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  });
}

}  // namespace corv_fuzz
