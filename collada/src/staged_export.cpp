#include "collada/staged_export.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace collada {
namespace {

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "<name without its extension>_Textures", as the image writer names the
// folder beside a document.
std::string TextureFolderName(const std::string& documentName) {
  const auto dot = documentName.rfind('.');
  return (dot == std::string::npos ? documentName : documentName.substr(0, dot)) + "_Textures";
}

// The entries of a folder other than "." and ".."; empty when it cannot be
// read.
std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

}  // namespace

StagedExport::~StagedExport() {
  // After an undo that could not put every replaced image back, the folder
  // still holds them: it stays for the user (Error named it).
  if (stagingFolder_.empty() || keepStaging_) return;
  std::error_code ec;
  std::filesystem::remove_all(stagingFolder_, ec);
}

void StagedExport::Fail(const std::string& what, int err) {
  if (!error_.empty()) return;
  error_ = what + ": " + std::strerror(err);
}

bool StagedExport::Begin(const std::string& destination) {
  error_.clear();
  destination_ = destination;
  if (destination.empty() || destination.back() == '/') {
    Fail("no file name in the destination", EINVAL);
    return false;
  }
  struct stat st {};
  if (::stat(destination.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error_ = "the destination is a folder";
    return false;
  }
  const std::string folder = FolderOf(destination);
  const std::string name = NameOf(destination);
  // Hidden, unique, and in the destination's folder: renames from it into
  // place stay within one file system.
  std::string pattern = folder + "/." + name + ".export-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    Fail("cannot create a file in " + folder, errno);
    return false;
  }
  stagingFolder_ = pattern;
  stagedDocument_ = stagingFolder_ + "/" + name;
  stagedTextures_ = stagingFolder_ + "/" + TextureFolderName(name);
  textureFolder_ = folder + "/" + TextureFolderName(name);
  // Something that is not a folder holds the texture folder's name: no
  // image could go there, so none is written (a file in the staged folder's
  // place keeps the image writer from making it).
  if (::stat(textureFolder_.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    if (FILE* block = std::fopen(stagedTextures_.c_str(), "w")) std::fclose(block);
  }
  return true;
}

bool StagedExport::PlaceImages() {
  struct stat st {};
  if (::stat(stagedTextures_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;  // no image written
  const std::vector<std::string> images = Entries(stagedTextures_);
  if (images.empty()) return true;

  if (::lstat(textureFolder_.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      Fail("cannot look at " + textureFolder_, errno);
      return false;
    }
    // No texture folder yet: the staged one becomes it in one step.
    if (::rename(stagedTextures_.c_str(), textureFolder_.c_str()) != 0) {
      Fail("cannot create " + textureFolder_, errno);
      return false;
    }
    movedWholeFolder_ = true;
    return true;
  }
  if (::stat(textureFolder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    Fail("cannot put images into " + textureFolder_, ENOTDIR);
    return false;
  }
  // An existing folder keeps its other files: the images go in one by one,
  // an image of the same name first moved aside so that it can come back.
  const std::string aside = stagingFolder_ + "/replaced";
  bool asideMade = false;
  for (const std::string& image : images) {
    const std::string from = stagedTextures_ + "/" + image;
    const std::string to = textureFolder_ + "/" + image;
    if (::lstat(to.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        Fail("cannot replace " + to, EISDIR);
        return false;
      }
      if (!asideMade && ::mkdir(aside.c_str(), 0700) != 0) {
        Fail("cannot create a folder in " + stagingFolder_, errno);
        return false;
      }
      asideMade = true;
      const std::string kept = aside + "/" + image;
      if (::rename(to.c_str(), kept.c_str()) != 0) {
        Fail("cannot replace " + to, errno);
        return false;
      }
      moves_.emplace_back(to, kept);
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
      Fail("cannot write " + to, errno);
      return false;
    }
    moves_.emplace_back(from, to);
  }
  return true;
}

void StagedExport::UndoImages() {
  bool complete = true;
  if (movedWholeFolder_) {
    complete = ::rename(textureFolder_.c_str(), stagedTextures_.c_str()) == 0;
  } else {
    while (!moves_.empty()) {
      const auto& [from, to] = moves_.back();
      if (::rename(to.c_str(), from.c_str()) != 0) complete = false;
      moves_.pop_back();
    }
  }
  movedWholeFolder_ = false;
  if (complete) return;
  // Keeps the staging folder (see the destructor) and says where the rest is.
  keepStaging_ = true;
  error_ += "; images that could not be put back are in " + stagingFolder_;
}

bool StagedExport::Place(OutputFile& document) {
  if (!document.Finish()) {
    error_ = document.Error();
    return false;
  }
  if (!PlaceImages()) {
    UndoImages();
    document.Abandon();
    return false;
  }
  if (!document.Replace()) {
    error_ = document.Error();
    UndoImages();
    return false;
  }
  movedWholeFolder_ = false;
  moves_.clear();
  return true;
}

}  // namespace collada
