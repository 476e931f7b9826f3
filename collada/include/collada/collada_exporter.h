// The COLLADA export: reads the host's 3D model, builds its meshes with the
// live link's mesh builder (finishing meshes while the host thread reads the
// next bodies) and materials with a material library of its own, merges
// every material's meshes into one geometry, read in place, and writes one
// COLLADA 1.4.1 document (metres, Z up), its arrays formatted in parallel as
// it goes, with its texture images in a folder beside it
// ("<name>_Textures").
//
// Reached from the add-on's export command (no sight, no I/O parameters: the
// save dialog asks for the destination) and from the host's save of the
// "dae" file type (the host's sight and destination).
//
// Results: 0 when the document was written; APIERR_CANCEL (0x81060003) when
// no destination was chosen (nothing is written, nothing changes);
// APIERR_GENERAL (0x81060001) for every failure: the model cannot be read,
// memory runs out, the folder is missing or read-only, the disk is full or
// the file-size limit is reached, the destination is a folder. A failure
// leaves an existing destination and its texture folder exactly as they
// were: the document goes to a temporary file and the images to a staging
// folder beside it, and both take their places only once the document is
// complete and on disk (collada/staged_export.h). LastError tells why.
//
// Progress goes to the progress listener only (the add-on connects it to
// the host's status bar); the last text is "Velmar Collada exporter: export
// complete." or "Velmar Collada exporter: export failed: <why>.". The
// exporter shows no message box: after a failed export command the caller
// tells the user (Path and LastError say what and why); the file type's
// save returns its result to the host, which reports the failed save.
//
// Host user-interface thread only; one export at a time. The stages run
// parallel loops and Export returns when they are done.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/concurrent_containers.h"
#include "collada/geometry_info.h"
#include "collada/geometry_plan.h"
#include "hostsdk/filetype.h"
#include "hostsdk/sight.h"
#include "hostsdk/types.h"
#include "scene/mesh_builder.h"

#include "context/plugin_settings.h"

namespace scene {
class MaterialLibrary;
struct MaterialRecord;
}  // namespace scene

namespace collada {

class StagedExport;

class ColladaExporter {
 public:
  // settings: the record the export reloads from the registry at every
  // export; a record of its own when null.
  explicit ColladaExporter(std::unique_ptr<context::PluginSettings> settings = nullptr);
  ~ColladaExporter();
  ColladaExporter(const ColladaExporter&) = delete;
  ColladaExporter& operator=(const ColladaExporter&) = delete;

  // sight: the host's sight of the model to export, or null to read the 3D
  // window through a sight of the exporter's own. ioParams: the host's file
  // type save (its fileLoc is the destination), or null to ask the user.
  [[nodiscard]] GSErrCode Export(const Modeler::SightPtr& sight, const API_IOParams* ioParams);

  // Forgets the folder of the last export (the project was closed): the next
  // save dialog proposes the project's full path again.
  void ForgetFolder();

  // The save dialog: proposes the project's file name with ".dae" (its full
  // path unless initialFolder is given), filters "Collada files" and "All
  // files", title "Export collada file". Empty when the user cancels.
  std::u16string ChooseDestination(const std::u16string& initialFolder);

  // The destination the user typed, made into the document's path: ".dae"
  // appended when the last path component has no extension.
  static std::u16string WithDocumentExtension(std::u16string path);
  // The save dialog's proposal from the project's path: its extension
  // replaced by ".dae" (appended when it has none), reduced to the file name
  // when a folder is remembered.
  static std::u16string ProposalFor(const std::u16string& projectPath, bool folderRemembered);

  const std::u16string& LastFolder() const { return lastFolder; }
  const std::u16string& Path() const { return path; }
  // Why the last export failed; empty after a success or a cancel.
  const std::string& LastError() const { return lastError; }

  // Receives every status text of an export, in order, on the calling
  // thread: the add-on shows them in the host's status bar.
  void SetProgressListener(std::function<void(std::u16string_view)> listener);

  // Empties everything one export builds (also run after each export).
  void Reset();

 private:
  void Status(std::u16string_view text);
  void LoadGeometry();
  void ChooseMaterials();
  void MergeMaterial(const collada::PlannedGeometry& planned);
  void CreateNode(const scene::BodyInfo& body);
  bool WriteToDestination(collada::StagedExport& staged);

  // Model reading (during an export only).
  std::unique_ptr<AttributeReader> attributeReader;
  std::unique_ptr<ModelerAPI::Model> model;

  std::unique_ptr<scene::MaterialLibrary> materials;
  scene::MaterialGroups groups;
  base::ConcurrentSet<std::uint64_t> usedKeys;
  std::unique_ptr<scene::MeshBuilder> builder;
  std::unique_ptr<context::PluginSettings> settings;

  // The materials the document writes, in a fixed order (by key), each once,
  // and their identifiers in the document (unique within it).
  std::vector<scene::MaterialRecord*> usedMaterials;
  std::vector<std::string> materialIds;
  std::vector<std::unique_ptr<scene::BodyInfo>> bodies;
  base::ConcurrentVector<std::unique_ptr<GeometryInfo>> geometries;
  bool exportNodes = true;
  base::ConcurrentVector<std::unique_ptr<NodeInfo>> nodes;

  std::u16string path;
  // Where the images are written during an export: a document path in the
  // staging folder (see collada/staged_export.h).
  std::u16string imagePath;
  std::u16string lastFolder;
  std::string lastError;
  std::function<void(std::u16string_view)> progress;
};

}  // namespace collada
