// A guard in front of assimp's reading of OBJ material libraries. The
// assimp that Debian 12 ships (5.2) follows a null material, and the
// program dies, when an MTL library names a texture (map_..., bump, disp,
// norm) before its first newmtl. A user may open any file, so every file
// assimp opens beside an OBJ model is read through this guard first: such
// a library is not handed to assimp, and the import fails with the reason.
#pragma once

#include <assimp/DefaultIOSystem.h>

#include <string>
#include <string_view>

namespace hostmodel::detail {

// Empty when assimp may read this material library; otherwise why not
// ("line 3: map_Kd before any newmtl").
std::string UnsafeMaterialLibrary(std::string_view text);

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
