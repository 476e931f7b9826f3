// A fresh directory per test, removed with everything in it afterwards.
#pragma once

#include <fstream>
#include <string>

#include "test_temp_dir.h"

namespace hostmodel::testing {

using TempDir = ::testsupport::TempDir;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace hostmodel::testing
