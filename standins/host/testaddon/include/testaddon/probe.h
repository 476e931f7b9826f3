// What the test add-on lets a test reach inside it. The test looks the probe
// up with dlsym after the host loaded the module; every call runs in the
// add-on, through the add-on's own glue and its view of the SDK, exactly as
// the add-on's own code would.
#pragma once

#include <string>
#include <vector>

#include "hostsdk/types.h"

struct TestAddonProbe {
  // One line per entry point, callback and notification, in order
  // ("CheckEnvironment imported=1", "project 4 0", "view 16",
  // "model elements 2", "camera persp=1 angle=60.000", ...).
  std::vector<std::string> (*journal)();
  void (*clearJournal)();

  // The requests by dispatcher, made from inside the add-on.
  GSErrCode (*environment)(GSType selector, void* p1, void* p2);
  GSErrCode (*database)(GSType selector, void* p1, void* p2);
  GSErrCode (*goodies)(GSType selector, void* p1, void* p2);
  GSErrCode (*automate)(GSType selector, void* p1, void* p2);
  GSErrCode (*keepInMemory)(bool keep);
  GSErrCode (*debugPrint)(const char* text);  // DBPrintf("%s", text)

  // Creates a sight, selects it, reads its model with EXPGetModel and keeps
  // that model, attaching a camera observer to the sight and a model
  // observer to its main model. Fails without a project.
  GSErrCode (*attach)();
  // Detaches the observers and drops the sight and model.
  void (*detach)();
  // The kept model as JSON: elements (guid, genId, bodies with vertices,
  // closed flag, normals, polygons with flags, material, normal index,
  // pieces and texture coordinates), textures of the model, and every
  // material attribute read with ACAPI_Attribute_Get. Empty on failure.
  std::string (*dumpModel)();
  // The last camera an observer notification or readCamera saw, as JSON.
  std::string (*readCamera)();
  // Where the 3D file-type handler writes; the handler writes a small JSON
  // document with the element count it read through the sight it was given.
  int (*savedCount)();
};

extern "C" TestAddonProbe* TestAddon_Probe();
