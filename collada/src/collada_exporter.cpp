// The export: destination, model reading, the geometry stages and the
// document file.
#include "collada/collada_exporter.h"

#include <ctime>
#include <exception>
#include <new>

#include "base/exception_text.h"
#include "base/utf.h"
#include "collada/document_text.h"
#include "collada/document_writer.h"
#include "collada/output_file.h"
#include "collada/staged_export.h"
#include "context/host_queries.h"
#include "context/plugin_settings.h"
#include "hostsdk/acapi.h"
#include "scene/material_library.h"
#include "scene/material_record.h"
#include "path_parts.h"
#include "util/text.h"

namespace collada {
namespace {

// A failure inside the export that ends it with APIERR_GENERAL.
struct ExportFailure : std::exception {
  explicit ExportFailure(std::string text) : what_(std::move(text)) {}
  const char* what() const noexcept override { return what_.c_str(); }
  std::string what_;
};

}  // namespace

ColladaExporter::ColladaExporter(std::unique_ptr<context::PluginSettings> ownSettings)
    : materials(std::make_unique<scene::MaterialLibrary>(nullptr)),
      builder(std::make_unique<scene::MeshBuilder>(materials.get(), &groups, &usedKeys)),
      settings(ownSettings ? std::move(ownSettings) : std::make_unique<context::PluginSettings>()) {
  builder->SetDebugOutput([](std::string_view text) { DBPrintf("%.*s", static_cast<int>(text.size()), text.data()); });
}

ColladaExporter::~ColladaExporter() { Reset(); }

void ColladaExporter::ForgetFolder() { lastFolder.clear(); }

void ColladaExporter::SetProgressListener(std::function<void(std::u16string_view)> listener) {
  progress = std::move(listener);
}

void ColladaExporter::Status(std::u16string_view text) {
  if (progress) progress(text);
}

void ColladaExporter::Reset() {
  model.reset();
  attributeReader.reset();
  nodes.clear();
  // The images the last document refers to belong to that document: the
  // library must not delete them when its records go, and the next export
  // writes them again.
  for (scene::MaterialRecord* record : usedMaterials) {
    record->texturePath.clear();
    record->textureFileOwned = false;
  }
  usedMaterials.clear();
  usedKeys.clear();
  groups.clear();
  bodies.clear();
  geometries.clear();
  if (materials) materials->Reset();
}

GSErrCode ColladaExporter::Export(const Modeler::SightPtr& sight, const API_IOParams* ioParams) {
  Reset();
  lastError.clear();

  if (ioParams != nullptr) {
    path.clear();
    GS::UniString location;
    if (ioParams->fileLoc != nullptr && ioParams->fileLoc->ToPath(&location) == NoError) path = location.ToU16();
  } else {
    path = ChooseDestination(lastFolder);
  }
  if (path.empty()) return APIERR_CANCEL;

  const auto slash = LastSeparator(path);
  lastFolder = slash == std::u16string::npos ? path : path.substr(0, slash);

  Status(u"Velmar Collada exporter: initializing\u2026");
  Modeler::SightPtr previous;
  bool selected = false;
  GSErrCode result = NoError;
  // Every file of the export (document and images) reports a file-size limit
  // as an error instead of ending the host.
  FileSizeSignalGuard fileSizeGuard;
  StagedExport staged;
  try {
    attributeReader = std::make_unique<AttributeReader>();
    model = std::make_unique<ModelerAPI::Model>();
    GSErrCode read;
    if (sight != nullptr) {
      read = EXPGetModel(sight, model.get(), attributeReader.get());
    } else {
      context::Make3DWindowCurrent();
      Modeler::SightPtr own;
      read = ACAPI_3D_CreateSight(&own);
      if (read == NoError && own != nullptr) {
        if (ACAPI_3D_SelectSight(own, &previous) == NoError) selected = true;
        read = EXPGetModel(own->GetConstMainModelPtr(), model.get(), attributeReader.get());
      } else if (read == NoError) {
        read = APIERR_BADID;
      }
    }
    // Writing an empty document over the user's file because the model
    // could not be read would be a silent loss.
    if (read != NoError) throw ExportFailure("the 3D model cannot be read (host error " + std::to_string(read) + ")");
    if (!staged.Begin(base::ToUtf8(path))) throw ExportFailure(staged.Error());
    imagePath = base::FromUtf8(staged.StagedDocumentPath());
    LoadGeometry();
    if (!WriteToDestination(staged)) result = APIERR_GENERAL;
  } catch (const std::bad_alloc&) {
    lastError = "out of memory";
    result = APIERR_GENERAL;
  } catch (const std::exception& e) {
    lastError = e.what();
    result = APIERR_GENERAL;
  } catch (...) {
    // Not one of ours: the user sees "unexpected failure", the host's
    // debug output what it was.
    DBPrintf("Velmar Collada exporter: the export stopped: %s\n", base::CurrentExceptionText());
    lastError = "unexpected failure";
    result = APIERR_GENERAL;
  }
  Reset();
  imagePath.clear();
  if (selected && previous != nullptr) {
    Modeler::SightPtr ours;
    ACAPI_3D_SelectSight(previous, &ours);
  }
  if (result == NoError) {
    Status(u"Velmar Collada exporter: export complete.");
  } else {
    if (lastError.empty()) lastError = "unexpected failure";
    Status(u"Velmar Collada exporter: export failed: " + base::FromUtf8(lastError) + u".");
  }
  return result;
}

bool ColladaExporter::WriteToDestination(StagedExport& staged) {
  OutputFile out;
  if (!out.Open(base::ToUtf8(path))) {
    lastError = out.Error();
    return false;
  }

  DocumentContent content;
  content.materials.reserve(usedMaterials.size());
  for (std::size_t i = 0; i < usedMaterials.size(); ++i) {
    const scene::MaterialRecord& record = *usedMaterials[i];
    DocumentMaterial m;
    m.id = materialIds[i];
    m.name = XmlText(record.name);
    m.surfaceType = record.surfaceType;
    m.colour = record.colour;
    m.secondColour = record.secondColour;
    m.shine = record.shine;
    m.opacity = record.opacity;
    content.materials.push_back(std::move(m));
  }
  content.exportImagePath = [this](std::size_t i) { return materials->ExportImagePath(*usedMaterials[i]); };
  content.geometries.reserve(geometries.size());
  for (const auto& g : geometries) content.geometries.push_back(g.get());
  content.nodes.reserve(nodes.size());
  for (const auto& n : nodes) content.nodes.push_back(n.get());
  content.exportNodes = exportNodes;
  content.status = [this](std::u16string_view text) { Status(text); };
  content.created = std::time(nullptr);

  WriteDocument(out, content);
  if (!staged.Place(out)) {
    lastError = staged.Error();
    return false;
  }
  return true;
}

}  // namespace collada
