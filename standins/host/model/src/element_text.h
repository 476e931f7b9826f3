// The elements of a project as the project file writes them: the JSON
// array of elements, laid out as the rest of the document (one level of
// indent a space, arrays of numbers on one line), numbers written as the
// JSON library writes them. Geometry is nearly all of a large project's
// file, so it is written straight to text, elements in parallel, instead
// of through a document tree.
#pragma once

#include <functional>
#include <string>
#include <string_view>

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

}  // namespace hostmodel::detail
