// The open project: opening, saving and closing, the current window and the
// 3D view, project settings, edits and the 3D file-type save.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>

#include "base/parallel_for.h"
#include "context.h"
#include "snapshot_releaser.h"
#include "host/host.h"
#include "hostmodel/import.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"

namespace host {

namespace {

std::string LowerExtension(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return {};
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

bool IsProjectFile(const std::string& path) {
  const std::string ext = LowerExtension(path);
  return ext == "pln" || ext == "json";
}

API_Guid ToApiGuid(const hostmodel::Guid& g) {
  API_Guid out{};
  std::memcpy(&out, g.bytes.data(), sizeof(out));
  return out;
}

std::string Hex(GSErrCode code) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace

hostmodel::Project Host::CurrentProject() const {
  hostmodel::Project project;
  if (!hasProject_) return project;
  if (auto snapshot = Snapshot()) project = *snapshot;
  project.state = state_;
  return project;
}

ModelerAPI::ProjectSnapshot Host::Snapshot() const { return model3D_ ? model3D_->Snapshot() : nullptr; }

std::string Host::VersionText() const {
  if (hasProject_ && !state_.hostVersion.empty()) return state_.hostVersion;
  return options_.version;
}

Modeler::Camera Host::SdkCamera() const {
  const hostmodel::Camera& c = state_.camera;
  ShortRect rect{c.drawRect[0], c.drawRect[1], c.drawRect[2], c.drawRect[3]};
  return Modeler::Camera::Make(c.projection == 1 ? Modeler::kPerspectiveProjection : Modeler::kParallelProjection,
                               ModelerAPI::Vertex{c.viewPoint.x, c.viewPoint.y, c.viewPoint.z},
                               ModelerAPI::Vertex{c.targetPoint.x, c.targetPoint.y, c.targetPoint.z}, c.rollAngle,
                               c.viewAngle, rect);
}

// ---- Sights ---------------------------------------------------------------------------

Modeler::SightPtr Host::CreateSight() {
  if (!hasProject_ || !model3D_) return nullptr;
  auto sight = std::make_shared<Modeler::Sight>(model3D_, SdkCamera());
  sights_.erase(std::remove_if(sights_.begin(), sights_.end(), [](auto& w) { return w.expired(); }), sights_.end());
  sights_.push_back(sight);
  return sight;
}

Modeler::SightPtr Host::SelectSight(const Modeler::SightPtr& sight) {
  Modeler::SightPtr previous = currentSight_;
  currentSight_ = sight;
  return previous;
}

void Host::NotifyCameraChanged() {
  const Modeler::Camera camera = SdkCamera();
  std::vector<Modeler::SightPtr> live;
  for (auto& w : sights_) {
    if (auto s = w.lock()) {
      s->SetCamera(camera);
      live.push_back(std::move(s));
    }
  }
  Deliver([this, live] {
    AddonScope scope(*this, 0);
    for (auto& s : live) s->NotifyCameraChanged();
  });
}

// ---- Opening and closing ---------------------------------------------------------------

void Host::DropProject() {
  for (auto& w : sights_) {
    if (auto s = w.lock()) {
      AddonScope scope(*this, 0);
      s->Invalidate();
    }
  }
  sights_.clear();
  windowSight_.reset();
  currentSight_.reset();
  model3D_.reset();
  modelFilePath_.clear();
  StopWatching();
}

Status Host::InstallProject(hostmodel::Project project, API_NotifyEventID event, const std::string& modelFile,
                            bool checked) {
  if (!checked) {
    const std::string problem = hostmodel::Validate(project);
    if (!problem.empty()) return Status::Fail(problem);
  }
  if (hasProject_) {
    SendProjectEvent(APINotify_Close, 0);
    DropProject();
    hasProject_ = false;
  }
  state_ = project.state;
  model3D_ = std::make_shared<Modeler::Model3D>(std::make_shared<hostmodel::Project>(std::move(project)));
  hasProject_ = true;
  modified_ = false;
  modelFilePath_ = modelFile;
  windowSight_ = CreateSight();
  currentSight_ = windowSight_;
  if (mainWindow_ != nullptr) {
    std::string title = "Host - ";
    title += state_.untitled ? std::string("Untitled") : std::filesystem::path(state_.soloPath).filename().string();
    platform::SetPublishedWindowText(mainWindow_, GS::UniString::FromUtf8(title).ToU16());
  }
  SendProjectEvent(event, 0);
  return Status::Ok();
}

Status Host::NewProject(bool reset) {
  hostmodel::Project project;
  project.state.hostVersion = options_.version;
  Log("project", reset ? "new project, settings reset" : "new project");
  return InstallProject(std::move(project), reset ? APINotify_NewAndReset : APINotify_New, {});
}

Status Host::OpenSampleProject() {
  Log("project", "open the sample building");
  return InstallProject(hostmodel::SampleBuilding(), APINotify_Open, {});
}

Status Host::OpenProject(const std::string& path) {
  const bool native = IsProjectFile(path);
  std::vector<std::string> warnings;
  hostmodel::ImportOptions importOptions;
  importOptions.warnings = &warnings;
  Result<hostmodel::Project> loaded =
      native ? hostmodel::LoadProjectFile(path) : hostmodel::ImportModel(path, importOptions);
  // What the import left out is said whether or not the project opens.
  for (const std::string& w : warnings) Log("warning", w);
  if (!loaded) {
    Log("project", "refused " + path + ": " + loaded.error());
    return Status::Fail(loaded.error());
  }
  // Both loaders check what they produce: installing does not check again.
  hostmodel::Project project = std::move(loaded).value();
  if (native) {
    // A project file is where it is, whatever path it recorded when saved.
    if (!project.state.teamwork) {
      project.state.untitled = false;
      project.state.soloPath = std::filesystem::absolute(path).lexically_normal().string();
    }
  }
  Log("project", "open " + path);
  return InstallProject(std::move(project), APINotify_Open,
                        native ? std::string() : std::filesystem::absolute(path).lexically_normal().string(), true);
}

Status Host::OpenTeamworkProject(const std::string& path, const std::string& url) {
  std::vector<std::string> warnings;
  hostmodel::ImportOptions importOptions;
  importOptions.warnings = &warnings;
  Result<hostmodel::Project> loaded = hostmodel::LoadAnyFile(path, importOptions);
  for (const std::string& w : warnings) Log("warning", w);
  if (!loaded) {
    Log("project", "refused " + path + ": " + loaded.error());
    return Status::Fail(loaded.error());
  }
  hostmodel::Project project = std::move(loaded).value();
  project.state.untitled = false;
  project.state.teamwork = true;
  project.state.teamworkUrl = url;
  project.state.soloPath.clear();
  Log("project", "open teamwork project " + url);
  return InstallProject(std::move(project), APINotify_Open, {}, true);
}

Status Host::SaveProject() {
  if (!hasProject_) return Status::Fail("no project is open");
  if (state_.teamwork) return Status::Fail("a teamwork project has no file of its own: save a copy under a name");
  if (state_.untitled || state_.soloPath.empty()) {
    return Status::Fail("the project has not been saved yet: save it under a name first");
  }
  return SaveProjectAs(state_.soloPath);
}

Status Host::SaveProjectAs(const std::string& path) {
  if (!hasProject_) return Status::Fail("no project is open");
  if (path.empty()) return Status::Fail("no file name given");
  const std::string target = std::filesystem::absolute(path).lexically_normal().string();
  SendProjectEvent(APINotify_PreSave, 0);
  // The model as it stands, saved without a copy (a large one takes
  // seconds to copy) under the state the save gives it.
  hostmodel::ProjectState state = state_;
  state.untitled = false;
  state.teamwork = false;
  state.teamworkUrl.clear();
  state.soloPath = target;
  const ModelerAPI::ProjectSnapshot snapshot = Snapshot();
  const hostmodel::Project none;
  Status saved = hostmodel::SaveProjectFile(snapshot ? *snapshot : none, state, target);
  if (!saved) {
    Log("project", "save failed: " + saved.error());
    return saved;
  }
  state_ = state;
  modified_ = false;
  if (mainWindow_ != nullptr) {
    platform::SetPublishedWindowText(
        mainWindow_, GS::UniString::FromUtf8("Host - " + std::filesystem::path(target).filename().string()).ToU16());
  }
  Log("project", "saved " + target);
  SendProjectEvent(APINotify_Save, 0);
  return Status::Ok();
}

Status Host::CloseProject() {
  if (!hasProject_) return Status::Fail("no project is open");
  Log("project", "close");
  SendProjectEvent(APINotify_Close, 0);
  DropProject();
  hasProject_ = false;
  state_ = hostmodel::ProjectState{};
  if (mainWindow_ != nullptr) platform::SetPublishedWindowText(mainWindow_, u"Host - no project");
  return Status::Ok();
}

// ---- Windows and the 3D view ------------------------------------------------------------

Status Host::SwitchWindow(hostmodel::WindowType window) {
  if (!hasProject_) return Status::Fail("no project is open");
  const int type = int(window);
  if (type < int(hostmodel::WindowType::FloorPlan) || type > int(hostmodel::WindowType::Layout)) {
    return Status::Fail("unknown window type " + std::to_string(type));
  }
  if (state_.currentWindow == window) return Status::Ok();
  state_.currentWindow = window;
  Log("view", "current window " + std::to_string(type));
  SendViewEvent(APINotifyView_Opened, API_WindowTypeID(type));
  SendProjectEvent(APINotify_ChangeWindow, type);
  return Status::Ok();
}

Status Host::SetProjection(bool perspective) {
  if (!hasProject_) return Status::Fail("no project is open");
  const std::int32_t projection = perspective ? Modeler::kPerspectiveProjection : Modeler::kParallelProjection;
  if (state_.camera.projection == projection) return Status::Ok();
  state_.camera.projection = projection;
  Log("view", perspective ? "3D projection perspective" : "3D projection parallel");
  NotifyCameraChanged();
  return Status::Ok();
}

Status Host::SetCamera(const hostmodel::Camera& camera) {
  if (!hasProject_) return Status::Fail("no project is open");
  if (camera.viewAngle <= 0.0 || camera.viewAngle >= 180.0) {
    return Status::Fail("view angle " + std::to_string(camera.viewAngle) + " is outside 0..180 degrees");
  }
  state_.camera = camera;
  char text[160];
  std::snprintf(text, sizeof(text), "camera (%.3f, %.3f, %.3f) -> (%.3f, %.3f, %.3f) roll %.1f angle %.1f",
                camera.viewPoint.x, camera.viewPoint.y, camera.viewPoint.z, camera.targetPoint.x, camera.targetPoint.y,
                camera.targetPoint.z, camera.rollAngle, camera.viewAngle);
  Log("view", text);
  NotifyCameraChanged();
  return Status::Ok();
}

Status Host::MoveCamera(const hostmodel::Vec3& offset) {
  if (!hasProject_) return Status::Fail("no project is open");
  hostmodel::Camera camera = state_.camera;
  camera.viewPoint = {camera.viewPoint.x + offset.x, camera.viewPoint.y + offset.y, camera.viewPoint.z + offset.z};
  camera.targetPoint = {camera.targetPoint.x + offset.x, camera.targetPoint.y + offset.y,
                        camera.targetPoint.z + offset.z};
  return SetCamera(camera);
}

Status Host::SetDrawRect(std::int16_t width, std::int16_t height) {
  if (!hasProject_) return Status::Fail("no project is open");
  if (width <= 0 || height <= 0) return Status::Fail("the 3D window needs a positive width and height");
  state_.camera.drawRect = {0, 0, width, height};
  Log("view", "3D window " + std::to_string(width) + " x " + std::to_string(height));
  NotifyCameraChanged();
  return Status::Ok();
}

// ---- Project settings ---------------------------------------------------------------------

Status Host::SetReferenceLevels(const std::vector<hostmodel::ReferenceLevel>& levels) {
  if (!hasProject_) return Status::Fail("no project is open");
  state_.referenceLevels = levels;
  modified_ = true;
  Log("project", "reference levels changed");
  return Status::Ok();
}

Status Host::SetSeaLevelAltitude(double metres) {
  if (!hasProject_) return Status::Fail("no project is open");
  state_.seaLevelAltitude = metres;
  modified_ = true;
  Log("project", "sea level altitude changed");
  return Status::Ok();
}

Status Host::SetWorkingLengthUnit(hostmodel::LengthUnit unit) {
  if (!hasProject_) return Status::Fail("no project is open");
  state_.workingLengthUnit = unit;
  modified_ = true;
  Log("project", "working length unit " + std::to_string(int(unit)));
  return Status::Ok();
}

// ---- Edits --------------------------------------------------------------------------------

namespace {
// A whole project, its elements copied in parallel: the copy an edit makes
// of a large model is most of the edit's time.
hostmodel::Project CopyProject(const hostmodel::Project& from) {
  // A member added to the project must be copied here too: the sizes of
  // the members themselves, not of what they hold, are meant.
  // NOLINTBEGIN(bugprone-sizeof-container)
  static_assert(sizeof(hostmodel::Project) == sizeof(hostmodel::ProjectState) + sizeof(from.materials) +
                                                  sizeof(from.textures) + sizeof(from.elements));
  // NOLINTEND(bugprone-sizeof-container)
  hostmodel::Project copy;
  copy.state = from.state;
  copy.materials = from.materials;
  copy.textures = from.textures;
  copy.elements.resize(from.elements.size());
  base::ParallelFor(from.elements.size(), [&](std::size_t i) { copy.elements[i] = from.elements[i]; });
  return copy;
}
}  // namespace

Status Host::ApplyEdit(const std::string& what,
                       const std::function<Result<hostmodel::ChangeSet>(hostmodel::Project&)>& edit,
                       hostmodel::ChangeSet* changes) {
  if (!hasProject_ || !model3D_) return Status::Fail("no project is open");
  // While no reader holds the model, the edit changes it in place: copying
  // a large model would be most of an edit's time. A reader that holds it
  // keeps what it has, and the edit goes to a copy that replaces it whole.
  std::optional<Result<hostmodel::ChangeSet>> result;
  const bool inPlace = model3D_->EditInPlace([&](hostmodel::Project& p) { result.emplace(edit(p)); });
  std::shared_ptr<hostmodel::Project> copy;
  ModelerAPI::ProjectSnapshot replaced;
  if (!inPlace) {
    replaced = model3D_->Snapshot();
    copy = std::make_shared<hostmodel::Project>(CopyProject(*replaced));
    result.emplace(edit(*copy));
  }
  if (!*result) {
    Log("edit", what + " refused: " + result->error());
    return Status::Fail(result->error());
  }
  const hostmodel::ChangeSet& set = result->value();
  if (changes != nullptr) *changes = set;
  if (set.Empty()) {
    Log("edit", what + ": nothing changed");
    return Status::Ok();
  }
  const ModelerAPI::ProjectSnapshot edited = inPlace ? model3D_->Snapshot() : copy;
  // Elements that changed, came or went, and those that show a changed
  // material: what an observer needs to look at again.
  std::vector<API_Guid> touched;
  std::set<hostmodel::Guid> seen;
  auto add = [&](const hostmodel::Guid& g) {
    if (seen.insert(g).second) touched.push_back(ToApiGuid(g));
  };
  for (auto& g : set.changedElements) add(g);
  for (auto& g : set.addedElements) add(g);
  for (auto& g : set.removedElements) add(g);
  if (!set.changedMaterials.empty()) {
    const std::set<std::int32_t> materials(set.changedMaterials.begin(), set.changedMaterials.end());
    for (const auto& e : edited->elements) {
      bool uses = false;
      for (const auto& b : e.bodies) {
        for (const auto& p : b.polygons) uses = uses || materials.count(p.materialIndex) != 0;
      }
      if (uses) add(e.guid);
    }
  }
  if (!inPlace) {
    model3D_->SetSnapshot(std::move(copy));
    if (!releaser_) releaser_ = std::make_unique<SnapshotReleaser>();
    releaser_->Release(std::move(replaced));
  }
  modified_ = true;
  Log("edit", what + ": " + std::to_string(set.changedElements.size()) + " changed, " +
                  std::to_string(set.addedElements.size()) + " added, " + std::to_string(set.removedElements.size()) +
                  " removed elements, " + std::to_string(set.changedMaterials.size()) + " changed materials");
  Modeler::Model3DPtr model = model3D_;
  Deliver([this, model, touched] {
    AddonScope scope(*this, 0);
    model->NotifyElementsChanged(touched);
  });
  return Status::Ok();
}

namespace {
Result<hostmodel::ChangeSet> Finish(const Status& status, const hostmodel::ChangeSet& changes) {
  if (!status) return Result<hostmodel::ChangeSet>::Fail(status.error());
  return Result<hostmodel::ChangeSet>::Ok(changes);
}
}  // namespace

Result<hostmodel::ChangeSet> Host::MoveElement(const hostmodel::Guid& element, const hostmodel::Vec3& offset) {
  hostmodel::ChangeSet changes;
  const Status s = ApplyEdit(
      "move " + element.ToString(), [&](hostmodel::Project& p) { return hostmodel::MoveElement(p, element, offset); },
      &changes);
  return Finish(s, changes);
}

Result<hostmodel::ChangeSet> Host::CopyElement(const hostmodel::Guid& element, const hostmodel::Vec3& offset) {
  hostmodel::ChangeSet changes;
  const Status s = ApplyEdit(
      "copy " + element.ToString(), [&](hostmodel::Project& p) { return hostmodel::CopyElement(p, element, offset); },
      &changes);
  return Finish(s, changes);
}

Result<hostmodel::ChangeSet> Host::DeleteElement(const hostmodel::Guid& element) {
  hostmodel::ChangeSet changes;
  const Status s = ApplyEdit(
      "delete " + element.ToString(), [&](hostmodel::Project& p) { return hostmodel::DeleteElement(p, element); },
      &changes);
  return Finish(s, changes);
}

Result<hostmodel::ChangeSet> Host::SetElementMaterial(const hostmodel::Guid& element, std::int32_t material) {
  hostmodel::ChangeSet changes;
  const Status s = ApplyEdit(
      "material of " + element.ToString(),
      [&](hostmodel::Project& p) { return hostmodel::SetElementMaterial(p, element, material); }, &changes);
  return Finish(s, changes);
}

Result<hostmodel::ChangeSet> Host::SetMaterialColor(std::int32_t material, const hostmodel::ColorRGB& color) {
  hostmodel::ChangeSet changes;
  const Status s = ApplyEdit(
      "colour of material " + std::to_string(material),
      [&](hostmodel::Project& p) { return hostmodel::SetMaterialColor(p, material, color); }, &changes);
  return Finish(s, changes);
}

Result<hostmodel::ChangeSet> Host::SetMaterialTransparency(std::int32_t material, std::int32_t percent) {
  hostmodel::ChangeSet changes;
  const Status s = ApplyEdit(
      "transparency of material " + std::to_string(material),
      [&](hostmodel::Project& p) { return hostmodel::SetMaterialTransparency(p, material, percent); }, &changes);
  return Finish(s, changes);
}

Result<hostmodel::ChangeSet> Host::SetMaterialTexture(std::int32_t material, std::int32_t texture) {
  hostmodel::ChangeSet changes;
  const Status s = ApplyEdit(
      "texture of material " + std::to_string(material),
      [&](hostmodel::Project& p) { return hostmodel::SetMaterialTexture(p, material, texture); }, &changes);
  return Finish(s, changes);
}

Result<hostmodel::ChangeSet> Host::SetMaterialTextureFile(std::int32_t material, const std::string& imagePath,
                                                          double xSize, double ySize) {
  hostmodel::ChangeSet changes;
  const Status s = ApplyEdit(
      "texture file of material " + std::to_string(material),
      [&](hostmodel::Project& p) { return hostmodel::SetMaterialTextureFile(p, material, imagePath, xSize, ySize); },
      &changes);
  return Finish(s, changes);
}

Result<hostmodel::ChangeSet> Host::DeleteMaterial(std::int32_t material, std::int32_t replacement) {
  hostmodel::ChangeSet changes;
  const Status s = ApplyEdit(
      "delete material " + std::to_string(material),
      [&](hostmodel::Project& p) { return hostmodel::DeleteMaterial(p, material, replacement); }, &changes);
  return Finish(s, changes);
}

Result<hostmodel::ChangeSet> Host::AddBox(const hostmodel::Vec3& minCorner, const hostmodel::Vec3& maxCorner,
                                          std::int32_t material, const std::string& name) {
  hostmodel::ChangeSet changes;
  const Status s = ApplyEdit(
      "add box " + name,
      [&](hostmodel::Project& p) { return hostmodel::AddBox(p, minCorner, maxCorner, material, name); }, &changes);
  return Finish(s, changes);
}

// ---- 3D file-type save --------------------------------------------------------------------

Status Host::Save3D(const std::string& path) {
  if (!hasProject_) return Status::Fail("no project is open");
  if (state_.currentWindow != hostmodel::WindowType::ThreeD) {
    return Status::Fail("only the 3D window can be saved as a 3D file type; it is not the current window");
  }
  const std::string ext = LowerExtension(path);
  if (ext.empty()) return Status::Fail(path + ": the file name has no extension naming a file type");
  const FileTypeRecord* type = nullptr;
  for (const auto& f : fileTypes_) {
    std::string registered(f.reg.extname, strnlen(f.reg.extname, sizeof(f.reg.extname)));
    for (char& c : registered) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (registered == ext && (f.reg.methodFlags & APIFType_Save3D) != 0 && f.handler3D != nullptr) {
      type = &f;
      break;
    }
  }
  if (type == nullptr) return Status::Fail("no add-on saves the 3D window as \"." + ext + "\"");
  IO::Location location(path);
  API_IOParams params;
  params.method = APIFType_Save3D;
  params.refCon = type->reg.cmdRef;
  params.fileLoc = &location;
  const APIIO3DCommandProc handler = type->handler3D;
  const AddonId addon = type->addon;
  Log("save3d", "save the 3D window as " + path);
  GSErrCode err;
  {
    AddonScope scope(*this, addon);
    err = handler(&params, windowSight_);
  }
  if (err != NoError) {
    Log("save3d", "the add-on reported " + Hex(err) + " saving " + path);
    return Status::Fail("the add-on could not save " + path + " (error " + Hex(err) + ")");
  }
  return Status::Ok();
}

}  // namespace host
