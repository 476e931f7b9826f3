// A small add-on that carries the exporter, as the product's module does:
// it registers the "dae" file type with the exporter as its 3D save handler
// and lets a test start the export command and change the export settings.
#include <cstring>
#include <memory>
#include <string>

#include "context/plugin_settings.h"
#include "collada/collada_exporter.h"
#include "hostsdk/acapi.h"
#include "hostsdk/loader.h"

namespace {

std::unique_ptr<collada::ColladaExporter> g_exporter;
std::string g_lastError;
std::u16string g_lastFolder;
std::string g_progress;

GSErrCode SaveDae(const API_IOParams* params, Modeler::SightPtr sight) {
  GSErrCode result = g_exporter->Export(std::move(sight), params);
  g_lastError = g_exporter->LastError();
  return result;
}

}  // namespace

#define PROBE extern "C" __attribute__((visibility("default")))

// The export command (save dialog, the exporter's own sight).
PROBE int ColladaTestAddon_ExportCommand() {
  GSErrCode result = g_exporter->Export(nullptr, nullptr);
  g_lastError = g_exporter->LastError();
  return static_cast<int>(result);
}
PROBE void ColladaTestAddon_ForgetFolder() { g_exporter->ForgetFolder(); }
PROBE const char16_t* ColladaTestAddon_LastFolder() {
  g_lastFolder = g_exporter->LastFolder();
  return g_lastFolder.c_str();
}
PROBE const char* ColladaTestAddon_LastError() { return g_lastError.c_str(); }
// Status texts of the exports so far, one per line (UTF-8).
PROBE const char* ColladaTestAddon_Progress() { return g_progress.c_str(); }
PROBE void ColladaTestAddon_SetSwitches(int exportNodes, int smooth, int optimize) {
  context::PluginSettings settings;
  settings.SetExportNodes(exportNodes != 0);
  settings.SetSmoothSurfaces(smooth != 0);
  settings.SetOptimizeSurfaces(optimize != 0);
  settings.SetOffsetType(context::PluginSettings::kOffsetZero);
}

API_AddonType CheckEnvironment(API_EnvirParams* envir) {
  const char16_t name[] = u"COLLADA export test add-on";
  std::memcpy(envir->addOnInfo.name, name, sizeof(name));
  return APIAddon_Normal;
}

GSErrCode RegisterInterface() {
  API_FTypeReg reg{};
  reg.cmdRef = 1;
  reg.ftype = FourCC("DAE ");
  reg.fcreator = FourCC("TRVK");
  std::strcpy(reg.extname, "dae");
  reg.methodFlags = APIFType_Save3D;
  return ACAPI_Register_FileType(&reg);
}

GSErrCode Initialize() {
  g_exporter = std::make_unique<collada::ColladaExporter>();
  g_exporter->SetProgressListener([](std::u16string_view text) {
    for (char16_t c : text) g_progress.push_back(c < 0x80 ? static_cast<char>(c) : '~');  // '~': the ellipsis
    g_progress += "\n";
  });
  return ACAPI_Install_FileTypeHandler3D(1, &SaveDae);
}

GSErrCode FreeData() {
  g_exporter.reset();
  return NoError;
}
