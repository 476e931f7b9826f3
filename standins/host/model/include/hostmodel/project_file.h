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
// an error. On failure the message starts with the file path and says what
// is wrong and where in the document; no partial project is returned.
// A large file is read a window at a time and its elements on all cores;
// it is never held whole unless it has a problem to name.
Result<Project> LoadProjectFile(const std::string& path);

// Parses project JSON text; `origin` names the source in messages and is the
// base for relative texture paths (its folder). Fails as LoadProjectFile.
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

namespace detail {

// How a project file is read, for tests and measurements.
struct ProjectReading {
  // The elements array is read in pieces of about this many bytes on all
  // cores, each holding a window of at most this many bytes of the text
  // (more when one element is larger).
  std::size_t pieceBytes = std::size_t{48} << 20;
  std::size_t windowBytes = std::size_t{16} << 20;
};

// How the last read went.
struct ProjectReadReport {
  bool treeRead = false;      // through the document tree (see below)
  std::size_t pieces = 0;     // pieces the elements array was cut into
  bool piecesRedone = false;  // a cut fell inside an element; the rest was read in one piece
};

Result<Project> LoadProjectFile(const std::string& path, const ProjectReading& tuning, ProjectReadReport* report);
Result<Project> ParseProject(std::string_view json, const std::string& origin, const ProjectReading& tuning,
                             ProjectReadReport* report);

// How a project file is written, for tests: direct false writes it the
// ordinary way throughout, as on a file system that refuses writes past
// the page cache.
struct ProjectWriting {
  bool direct = true;
};

Status SaveProjectFile(const Project& project, const ProjectState& state, const std::string& path,
                       const ProjectWriting& how);

// The reading every other one must agree with: the whole document parsed
// into a JSON tree, then read from it. Takes several times the file's size
// in memory; the readers above fall back to it for any document they do
// not take themselves, so that its messages are the ones given.
Result<Project> ParseProjectTree(std::string_view json, const std::string& origin);

}  // namespace detail

}  // namespace hostmodel
