// The texture images of one export, kept apart until the document is in
// place. A document refers to its images in the folder "<name>_Textures"
// beside it; writing them straight into that folder would leave new images
// beside an old document (or beside none) when the export fails, and would
// overwrite the images an existing document refers to.
//
// So the images go to a hidden staging folder beside the destination
// (".<file name>.export-XXXXXX", same file system), into a texture folder of
// the same name as the real one. Place moves them into the real texture
// folder and then renames the finished document over the destination; when
// the document cannot be put in place, every moved image goes back and every
// image it replaced is restored, so the destination's document and texture
// folder are exactly as they were. Files of an existing texture folder that
// the export does not write stay where they are; the ones it writes anew are
// replaced, as the document is.
//
// The destructor removes the staging folder with whatever is left in it (the
// images of a failed export, the images replaced by a successful one). A
// process killed during an export may leave the hidden folder behind; it
// holds nothing the destination needs.
//
// Paths are UTF-8 with "/" separators ("\" too on Windows). The moves are
// renames within the destination's folder (MoveFileExW on Windows, which
// writes them through). Not thread-safe; one export at a time.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "collada/output_file.h"

namespace collada {

class StagedExport {
 public:
  StagedExport() = default;
  ~StagedExport();
  StagedExport(const StagedExport&) = delete;
  StagedExport& operator=(const StagedExport&) = delete;

  // Makes the staging folder beside destination. False, with Error() telling
  // why, when the destination is a folder or its folder does not exist or
  // cannot be written. When the destination's texture folder name is taken
  // by something that is not a folder, no image can be placed: the staged
  // texture folder is then blocked too, so that the export writes no image
  // and its materials keep their colours.
  bool Begin(const std::string& destination);

  // The path to hand to the image writer as the document's path: a file of
  // the destination's name inside the staging folder, so that its texture
  // folder ("<name>_Textures") is staged and the document's references
  // ("<name>_Textures/<image>") are those of the real one.
  const std::string& StagedDocumentPath() const { return stagedDocument_; }
  // The destination's texture folder.
  const std::string& TextureFolder() const { return textureFolder_; }

  // Puts the staged images into the texture folder, then document (finished,
  // see OutputFile::Finish) over the destination. False, with everything as
  // it was and Error() telling why, when either step fails.
  bool Place(OutputFile& document);

  const std::string& Error() const { return error_; }

 private:
  bool PlaceImages();
  void UndoImages();
  void Fail(const std::string& what, unsigned long err);

  std::string destination_;
  std::string stagingFolder_;
  std::string stagedDocument_;
  std::string stagedTextures_;
  std::string textureFolder_;
  // What PlaceImages did, to be undone in reverse order: a whole folder
  // renamed into place, or single images (from, to) renamed, and images of
  // the existing folder moved aside (from, to).
  bool movedWholeFolder_ = false;
  std::vector<std::pair<std::string, std::string>> moves_;
  bool keepStaging_ = false;  // an undo left files in it
  std::string error_;
};

}  // namespace collada
