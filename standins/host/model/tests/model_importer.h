// What the tests of the model library say when this build has no model
// importer (assimp): the Windows build reads OBJ files with the host's own
// reader alone, and refuses every other file.
#pragma once

#include <gtest/gtest.h>

#include "hostmodel/import.h"

#define HOSTMODEL_SKIP_WITHOUT_MODEL_IMPORTER(what)                                                            \
  do {                                                                                                         \
    if (!::hostmodel::ModelImporterAvailable())                                                                \
      GTEST_SKIP() << what << ": needs the model importer (assimp), which the Windows build does not include"; \
  } while (false)
