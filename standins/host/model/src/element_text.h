// The elements of a project as the project file writes and reads them: the
// JSON array of elements, laid out as the rest of the document (one level
// of indent a space, arrays of numbers on one line), numbers written as the
// JSON library writes them. Geometry is nearly all of a large project's
// file, so it is written and read straight from and to text, elements in
// parallel, instead of through a document tree.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "project_io.h"

#include "hostmodel/model.h"

namespace hostmodel::detail {

// Appends the array of project.elements as the value of a member at the
// given depth of the document. Text that is not UTF-8 in names is written
// with replacement characters, as the rest of the document is; numbers
// that are not finite are written as null. Throws only on memory
// exhaustion.
void AppendElements(const Project& project, int depth, std::string& out);

// The same text handed to write a piece at a time, in order, while the
// next pieces are made (so that a file fills as the text is made, and the
// whole text is never held at once). False as soon as write returns false.
bool WriteElements(const Project& project, int depth, const std::function<bool(std::string_view)>& write);

// The text of a project file, handed out a window at a time: held in
// memory, or read from an open file as the reader gets to it, so that a
// large file is never held whole.
class TextSource {
 public:
  virtual ~TextSource() = default;
  virtual std::uint64_t size() const = 0;
  // The bytes [offset, offset + length), clipped to size(). A file's bytes
  // are read into `buffer` and the view points there. Throws TextReadError
  // when they cannot be read (an error, or a file that shrank meanwhile).
  virtual std::string_view Read(std::uint64_t offset, std::size_t length, std::string& buffer) const = 0;
};

struct TextReadError {
  std::string what;  // the system's words, empty for a file that ended early
};

class MemoryText final : public TextSource {
 public:
  explicit MemoryText(std::string_view text) : text_(text) {}
  std::uint64_t size() const override { return text_.size(); }
  std::string_view Read(std::uint64_t offset, std::size_t length, std::string& buffer) const override;

 private:
  std::string_view text_;
};

// Reads at offsets (ProjectInput::ReadAt), so that several threads may read
// one file at once. The file stays the caller's.
class FileText final : public TextSource {
 public:
  FileText(const ProjectInput& file, std::uint64_t size) : file_(file), size_(size) {}
  std::uint64_t size() const override { return size_; }
  std::string_view Read(std::uint64_t offset, std::size_t length, std::string& buffer) const override;

 private:
  const ProjectInput& file_;
  std::uint64_t size_;
};

struct ElementReading {
  // The elements array is cut into pieces of about this many bytes, read
  // on all cores; a smaller array is read in one piece.
  std::size_t pieceBytes;
  // Bytes of file text held at once per piece being read (more when one
  // element is larger).
  std::size_t windowBytes;
};

// A project document's top level read without a document tree: each member
// other than the elements array as its text, for the caller to parse; the
// elements read straight into Elements.
struct DocumentParts {
  std::vector<std::pair<std::string, std::string>> members;  // decoded key, value text
  bool hasElements = false;
  std::vector<Element> elements;
  std::size_t pieces = 0;     // pieces the elements were read in
  bool piecesRedone = false;  // a cut fell wrongly: the elements after it were read again in one piece
};

// Reads the document when it is JSON that the document tree reader takes
// and that it would read to these very elements: nullopt otherwise, when
// only the tree reader can name the problem (invalid JSON, a member of the
// wrong type, range or count, a repeated member, a number that is not
// read back as written, nesting deeper than 256), and for an empty text.
// Throws TextReadError when the file cannot be read, std::bad_alloc on
// memory exhaustion.
std::optional<DocumentParts> ReadDocumentParts(const TextSource& text, const ElementReading& tuning);

}  // namespace hostmodel::detail
