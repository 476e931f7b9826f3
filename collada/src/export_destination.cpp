// Where the document goes: the save dialog, its proposal and the document
// extension.
#include <cstring>

#include "collada/collada_exporter.h"
#include "hostsdk/acapi.h"
#include "hostsdk/ui/win32ui.h"
#include "context/host_queries.h"
#include "path_parts.h"

namespace collada {
namespace {

constexpr std::size_t kFileBufferUnits = 260;

// The last path component of path starts after this index.
std::size_t NameStart(const std::u16string& path) {
  const auto slash = LastSeparator(path);
  return slash == std::u16string::npos ? 0 : slash + 1;
}

// The "." that starts the extension of the last path component, or npos.
// Folders are not looked at: "/a/proj.old/House" has no extension.
std::size_t ExtensionDot(const std::u16string& path) {
  auto dot = path.find_last_of(u'.');
  if (dot == std::u16string::npos || dot < NameStart(path)) return std::u16string::npos;
  return dot;
}

}  // namespace

std::u16string ColladaExporter::WithDocumentExtension(std::u16string path) {
  if (!path.empty() && ExtensionDot(path) == std::u16string::npos) path += u".dae";
  return path;
}

std::u16string ColladaExporter::ProposalFor(const std::u16string& projectPath, bool folderRemembered) {
  if (projectPath.empty()) return {};
  std::u16string proposal = projectPath;
  auto dot = ExtensionDot(proposal);
  if (dot != std::u16string::npos) proposal.erase(dot);
  proposal += u".dae";
  if (folderRemembered) proposal.erase(0, NameStart(proposal));
  return proposal;
}

std::u16string ColladaExporter::ChooseDestination(const std::u16string& initialFolder) {
  std::u16string proposal = ProposalFor(context::GetProjectFilePath(), !initialFolder.empty());
  // A proposal that does not fit the dialog's buffer is not proposed.
  if (proposal.size() >= kFileBufferUnits) proposal.clear();

  char16_t file[kFileBufferUnits] = {};
  std::memcpy(file, proposal.data(), proposal.size() * sizeof(char16_t));

  HWND owner = nullptr;
  if (ACAPI_Environment(APIEnv_GetMainWindowID, &owner) != NoError) owner = nullptr;

  static constexpr char16_t kFilter[] = u"Collada files\0*.dae\0All files\0*.*\0";  // one more NUL ends it
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = UiText(kFilter);
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = UiText(file);
  ofn.nMaxFile = kFileBufferUnits;
  ofn.lpstrFileTitle = nullptr;
  ofn.lpstrInitialDir = initialFolder.empty() ? nullptr : UiText(initialFolder.c_str());
  ofn.lpstrTitle = UiText(u"Export collada file");
  ofn.Flags = OFN_OVERWRITEPROMPT;
  ofn.lpstrDefExt = nullptr;
  if (!GetSaveFileNameW(&ofn)) return {};

  file[kFileBufferUnits - 1] = 0;
  return WithDocumentExtension(std::u16string(file));
}

}  // namespace collada
