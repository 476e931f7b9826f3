// The host's native project file: JSON, extension ".pln" (".json" is read
// too). Layout: docs/project-format.md.
#pragma once

#include <string>
#include <string_view>

#include "hostmodel/model.h"
#include "hostmodel/result.h"

namespace hostmodel {

// Reads a project file. Texture images referenced by path are decoded
// relative to the project file's folder; a missing or undecodable image is
// an error. On failure the message starts with the file path.
Result<Project> LoadProjectFile(const std::string& path);

// Parses project JSON text; `origin` names the source in messages and is the
// base for relative texture paths (its folder).
Result<Project> ParseProject(std::string_view json, const std::string& origin);

// Serialises a project. Textures with a filePath are written as references
// (relative to `baseDir` when below it); embedded ones carry their pixels.
std::string SerializeProject(const Project& project, const std::string& baseDir = {});

// Writes atomically (temporary file, then rename): a failed save leaves any
// earlier file untouched.
Status SaveProjectFile(const Project& project, const std::string& path);

// The same with the project's state taken from `state` instead of
// project.state, so that a caller saving under a new name need not copy a
// large project to change its state.
Status SaveProjectFile(const Project& project, const ProjectState& state, const std::string& path);

}  // namespace hostmodel
