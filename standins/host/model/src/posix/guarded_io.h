// assimp's file access for an OBJ import, with every material library
// checked by the guard (material_library_guard.h) before assimp reads it.
#pragma once

#include <assimp/DefaultIOSystem.h>

#include <string>

namespace hostmodel::detail {

// Opens files as assimp's default does, except that every file other than
// model (the OBJ itself, which may be very large and is not a library) is
// read whole and checked first. A library that fails the check is not
// opened; refused() then says which and why, and the import must fail.
class GuardedIO : public Assimp::DefaultIOSystem {
 public:
  explicit GuardedIO(std::string model) : model_(std::move(model)) {}
  Assimp::IOStream* Open(const char* file, const char* mode) override;
  const std::string& refused() const { return refused_; }

 private:
  std::string model_;
  std::string refused_;
};

}  // namespace hostmodel::detail
