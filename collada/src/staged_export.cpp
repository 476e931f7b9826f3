#include "collada/staged_export.h"

#include "export_files.h"
#include "path_parts.h"

namespace collada {
namespace {

// "<name without its extension>_Textures", as the image writer names the
// folder beside a document.
std::string TextureFolderName(const std::string& documentName) {
  const auto dot = documentName.rfind('.');
  return (dot == std::string::npos ? documentName : documentName.substr(0, dot)) + "_Textures";
}

// folder + separator + name, without doubling a root's separator. The
// separator is the one the folder's path uses (a Windows path the user
// chose reads "C:\Models\House_Textures" in messages, not "C:\Models/...").
std::string Join(const std::string& folder, const std::string& name) {
  if (IsPathSeparator(folder.back())) return folder + name;
  const std::size_t at = LastSeparator(folder);
  return folder + (at == std::string::npos ? '/' : folder[at]) + name;
}

}  // namespace

StagedExport::~StagedExport() {
  // After an undo that could not put every replaced image back, the folder
  // still holds them: it stays for the user (Error named it).
  if (stagingFolder_.empty() || keepStaging_) return;
  files::RemoveTree(stagingFolder_);
}

void StagedExport::Fail(const std::string& what, unsigned long err) {
  if (!error_.empty()) return;
  error_ = what + ": " + files::ErrorText(err);
}

bool StagedExport::Begin(const std::string& destination) {
  error_.clear();
  destination_ = destination;
  if (destination.empty() || IsPathSeparator(destination.back())) {
    Fail("no file name in the destination", files::NoFileNameError());
    return false;
  }
  files::SystemError err = 0;
  if (files::KindOf(destination, true, &err) == files::Kind::Folder) {
    error_ = "the destination is a folder";
    return false;
  }
  const std::string folder = FolderOf(destination);
  const std::string name = NameOf(destination);
  // Hidden, unique, and in the destination's folder: renames from it into
  // place stay within one file system.
  std::string pattern = Join(folder, "." + name + ".export-XXXXXX");
  if (!files::MakeUniqueFolder(pattern, &err)) {
    Fail("cannot create a file in " + folder, err);
    return false;
  }
  stagingFolder_ = pattern;
  stagedDocument_ = stagingFolder_ + "/" + name;
  stagedTextures_ = stagingFolder_ + "/" + TextureFolderName(name);
  textureFolder_ = Join(folder, TextureFolderName(name));
  // Something that is not a folder holds the texture folder's name: no
  // image could go there, so none is written (a file in the staged folder's
  // place keeps the image writer from making it).
  if (files::KindOf(textureFolder_, true, &err) == files::Kind::File) files::MakeEmptyFile(stagedTextures_);
  return true;
}

bool StagedExport::PlaceImages() {
  files::SystemError err = 0;
  if (files::KindOf(stagedTextures_, true, &err) != files::Kind::Folder) return true;  // no image written
  const std::vector<std::string> images = files::Entries(stagedTextures_);
  if (images.empty()) return true;

  if (files::KindOf(textureFolder_, false, &err) == files::Kind::Missing) {
    if (err != 0) {
      Fail("cannot look at " + textureFolder_, err);
      return false;
    }
    // No texture folder yet: the staged one becomes it in one step.
    if (!files::Move(stagedTextures_, textureFolder_, &err)) {
      Fail("cannot create " + textureFolder_, err);
      return false;
    }
    movedWholeFolder_ = true;
    return true;
  }
  if (files::KindOf(textureFolder_, true, &err) != files::Kind::Folder) {
    Fail("cannot put images into " + textureFolder_, err != 0 ? err : files::NotAFolderError());
    return false;
  }
  // An existing folder keeps its other files: the images go in one by one,
  // an image of the same name first moved aside so that it can come back.
  const std::string aside = stagingFolder_ + "/replaced";
  bool asideMade = false;
  for (const std::string& image : images) {
    const std::string from = stagedTextures_ + "/" + image;
    const std::string to = Join(textureFolder_, image);
    const files::Kind there = files::KindOf(to, false, &err);
    if (there == files::Kind::Folder) {
      Fail("cannot replace " + to, files::IsAFolderError());
      return false;
    }
    if (there == files::Kind::File) {
      if (!asideMade && !files::MakeFolder(aside, &err)) {
        Fail("cannot create a folder in " + stagingFolder_, err);
        return false;
      }
      asideMade = true;
      const std::string kept = aside + "/" + image;
      if (!files::Move(to, kept, &err)) {
        Fail("cannot replace " + to, err);
        return false;
      }
      moves_.emplace_back(to, kept);
    }
    if (!files::Move(from, to, &err)) {
      Fail("cannot write " + to, err);
      return false;
    }
    moves_.emplace_back(from, to);
  }
  return true;
}

void StagedExport::UndoImages() {
  bool complete = true;
  files::SystemError err = 0;
  if (movedWholeFolder_) {
    complete = files::Move(textureFolder_, stagedTextures_, &err);
  } else {
    while (!moves_.empty()) {
      const auto& [from, to] = moves_.back();
      if (!files::Move(to, from, &err)) complete = false;
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
