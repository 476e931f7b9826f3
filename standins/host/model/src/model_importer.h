// The model importer behind the host's own OBJ reader: assimp on Linux
// (src/posix/model_importer.cpp), which reads every format it knows and the
// OBJ files the direct reader declines; none on Windows
// (src/win/model_importer.cpp), where Debian packages no MinGW build of
// assimp and such a file is refused with the reason.
#pragma once

#include <memory>
#include <string>

struct aiScene;

namespace hostmodel::detail {

// A scene the importer made, alive as long as this object.
class ImportedScene {
 public:
  virtual ~ImportedScene() = default;
  virtual const aiScene* scene() const = 0;
};

// The scene of the model file at path (UTF-8), or null with *error saying
// why ("cannot read model (...)"), for a message that names the file.
// declined: why the direct reader left an OBJ file to the importer, empty
// for another format.
std::unique_ptr<ImportedScene> ImportWithModelImporter(const std::string& path, const std::string& declined,
                                                       std::string* error);

// Whether this build has a model importer (false on Windows).
bool HasModelImporter();

}  // namespace hostmodel::detail
