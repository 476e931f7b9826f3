// No model exporter on Windows: Debian packages no MinGW build of assimp,
// which writes the interchange formats on Linux (src/posix/export.cpp).
// Saving the native project format works on both.
#include "hostmodel/export.h"

namespace hostmodel {

Status ExportModel(const Project&, const std::string& path) {
  return Status::Fail(path +
                      ": cannot export the model (writing model files needs the model exporter, which the "
                      "Windows build does not include; save the project instead)");
}

}  // namespace hostmodel
