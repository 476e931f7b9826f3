// Checks shared by the export's tests: reading a written document back,
// normalising what changes from run to run, and the COLLADA schema
// validator.
#pragma once

#include <string>

#include "test_temp_dir.h"

namespace collada_test {

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// The creation date replaced by "DATE" (the line break the date ends with
// is kept).
std::string NormaliseDate(const std::string& document);

// The document a writer without nodes makes of one with nodes: every
// element of the node marker (its effect, material and geometry) and every
// node of a body left out, each from its opening line to the closing line
// at the same indentation.
std::string WithoutNodes(const std::string& document);

// Runs the COLLADA 1.4.1 validator on a file; empty when the file is valid,
// the validator's report otherwise. "skipped" prefixes the text when the
// validator is not installed.
std::string SchemaProblems(const std::string& path);

using TempDir = ::testsupport::TempDir;

}  // namespace collada_test
