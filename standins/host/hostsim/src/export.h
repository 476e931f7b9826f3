// hostsim export: a model file to a COLLADA document through the add-on's
// own "dae" file type, as the host's save of the 3D window as that type
// does it. For people and scripts:
//   hostsim export MODEL -o OUT.dae [--module PATH] [--setting NAME=VALUE]...
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace hostsim {

struct ExportOptions {
  std::string model;   // any file the host opens: a native project or a model
  std::string output;  // the document; its extension picks the file type
  std::string module;  // the add-on; empty: the module built beside hostsim
  // Add-on settings for this export only (the registry store's values under
  // the add-on's key; numbers as DWORD, other texts as strings). The
  // user's own values are put back afterwards.
  std::vector<std::pair<std::string, std::string>> settings;
  bool quiet = false;  // no progress lines
};

// The module of the product as the build tree places it beside hostsim.
std::string DefaultAddonModule();

// Runs the export. Progress (stages, the add-on's status texts, a line every
// few seconds of a long save) goes to `progress`, problems too. Exit status:
// 0 written; 1 the add-on could not write it; 2 the model cannot be read,
// the destination cannot be written, or the module cannot be loaded.
int RunExport(const ExportOptions& options, std::ostream& progress);

}  // namespace hostsim
