// The runtime's function-table entries: registrations, requests by
// selector, attributes and sights. Each resolves its host from the context
// and fails with APIERR_GENERAL when there is none (a call from a thread the
// host did not call into, without a context).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "context.h"
#include "host/host.h"
#include "hostsdk/hostcalls.h"

namespace host {

namespace entries {

std::string SelectorText(GSType s) {
  char text[5] = {char(s >> 24), char(s >> 16), char(s >> 8), char(s), 0};
  for (int i = 0; i < 4; ++i) {
    if (text[i] < 32 || text[i] > 126) text[i] = '?';
  }
  return text;
}

// Copies UTF-8 text into a fixed field, cutting at a character boundary so
// the field never ends in half a character, and always terminating it.
void CopyText(char* field, std::size_t capacity, const std::string& text) {
  if (capacity == 0) return;
  std::size_t n = std::min(text.size(), capacity - 1);
  while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::fill(std::copy_n(text.data(), n, field), field + capacity, '\0');
}

GSErrCode DebugPrint(API_HostContext* ctx, const char* text) {
  Host* host = Host::FromContext(ctx);
  if (text == nullptr) return APIERR_BADPARS;
  if (host == nullptr) {
    // Still debugger output: stderr is where it would have gone too.
    std::fputs(text, stderr);
    return APIERR_GENERAL;
  }
  host->Log("debug", text);
  return NoError;
}

GSErrCode KeepInMemory(API_HostContext* ctx, bool keep) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  AddonRecord* r = host->MutableAddon(Host::CallingAddon(ctx));
  if (r == nullptr) return APIERR_NOTMINE;
  r->keepInMemory = keep;
  return NoError;
}

GSErrCode RegisterFileType(API_HostContext* ctx, const API_FTypeReg* reg) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  if (reg == nullptr) return APIERR_BADPARS;
  if (strnlen(reg->extname, sizeof(reg->extname)) == 0) return APIERR_BADEXTENSION;
  if (strnlen(reg->extname, sizeof(reg->extname)) == sizeof(reg->extname)) return APIERR_BADPARS;
  const AddonId addon = Host::CallingAddon(ctx);
  if (addon == 0) return APIERR_NOTMINE;
  auto& types = host->MutableFileTypes();
  for (auto& f : types) {
    if (f.addon == addon && f.reg.cmdRef == reg->cmdRef) {
      f.reg = *reg;  // registering again replaces the earlier record
      return NoError;
    }
  }
  FileTypeRecord record;
  record.addon = addon;
  record.reg = *reg;
  types.push_back(record);
  host->Log("addon", std::string("file type .") + reg->extname + " registered");
  return NoError;
}

GSErrCode InstallFileTypeHandler3D(API_HostContext* ctx, GSType cmdRef, APIIO3DCommandProc handler) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  const AddonId addon = Host::CallingAddon(ctx);
  for (auto& f : host->MutableFileTypes()) {
    if (f.addon == addon && GSType(f.reg.cmdRef) == cmdRef) {
      f.handler3D = handler;
      return NoError;
    }
  }
  return APIERR_BADID;  // no file type registered under that reference
}

GSErrCode CatchProjectEvent(API_HostContext* ctx, GSFlags mask, APIProjectEventHandlerProc handler) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  AddonRecord* r = host->MutableAddon(Host::CallingAddon(ctx));
  if (r == nullptr) return APIERR_NOTMINE;
  r->projectHandler = handler;
  r->projectMask = handler != nullptr ? mask : 0;
  return NoError;
}

GSErrCode CatchViewEvent(API_HostContext* ctx, GSFlags mask, API_NavigatorMapID map, APIViewEventHandlerProc handler) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  AddonRecord* r = host->MutableAddon(Host::CallingAddon(ctx));
  if (r == nullptr) return APIERR_NOTMINE;
  r->viewHandler = handler;
  r->viewMask = handler != nullptr ? mask : 0;
  r->viewMap = map;
  return NoError;
}

// ---- Environment ------------------------------------------------------------------------

GSErrCode Environment(API_HostContext* ctx, GSType selector, void* p1, void* p2) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  if (const GSErrCode fault = host->Fault(SelectorText(selector))) return fault;
  const hostmodel::ProjectState& state = host->State();
  switch (selector) {
    case APIEnv_ProjectID: {
      if (p1 == nullptr) return APIERR_BADPARS;
      if (!host->HasProject()) return APIERR_NOPLAN;
      auto* info = static_cast<API_ProjectInfo*>(p1);
      *info = API_ProjectInfo{};
      info->untitled = state.untitled;
      info->teamwork = state.teamwork;
      if (!state.untitled && !state.teamwork) info->location = IO::Location(state.soloPath);
      if (state.teamwork) info->teamworkUrl = GS::UniString::FromUtf8(state.teamworkUrl);
      if (!state.untitled && !state.soloPath.empty()) {
        info->projectName = GS::UniString::FromUtf8(std::filesystem::path(state.soloPath).stem().string());
      }
      return NoError;
    }
    case APIEnv_GetMainWindowID: {
      if (p1 == nullptr) return APIERR_BADPARS;
      if (host->MainWindow() == nullptr) return APIERR_GENERAL;
      *static_cast<HWND*>(p1) = host->MainWindow();
      return NoError;
    }
    case APIEnv_GetPreferencesID: {
      if (p1 == nullptr) return APIERR_BADPARS;
      if (!host->HasProject()) return APIERR_NOPLAN;
      const auto type = reinterpret_cast<std::intptr_t>(p2);
      if (type == 0) {
        auto* prefs = static_cast<API_WorkingUnitPrefs*>(p1);
        *prefs = API_WorkingUnitPrefs{};
        prefs->lengthUnit = API_LengthTypeID(int(state.workingLengthUnit));
        return NoError;
      }
      if (type == 1) {
        auto* prefs = static_cast<API_RefLevelsPrefs*>(p1);
        *prefs = API_RefLevelsPrefs{};
        if (!state.referenceLevels.empty()) {
          prefs->hasLevel1 = true;
          prefs->level1val = state.referenceLevels[0].height;
          CopyText(prefs->level1name, sizeof(prefs->level1name), state.referenceLevels[0].name);
        }
        if (state.referenceLevels.size() > 1) {
          prefs->hasLevel2 = true;
          prefs->level2val = state.referenceLevels[1].height;
          CopyText(prefs->level2name, sizeof(prefs->level2name), state.referenceLevels[1].name);
        }
        return NoError;
      }
      return APIERR_BADPARS;
    }
    case APIEnv_GetPlaceSetsID: {
      if (p1 == nullptr) return APIERR_BADPARS;
      if (!host->HasProject()) return APIERR_NOPLAN;
      auto* place = static_cast<API_PlaceInfo*>(p1);
      *place = API_PlaceInfo{};
      place->altitude = state.seaLevelAltitude;
      return NoError;
    }
    case APIEnv_Get3DProjectionSetsID: {
      if (p1 == nullptr) return APIERR_BADPARS;
      if (!host->HasProject()) return APIERR_NOPLAN;
      auto* info = static_cast<API_3DProjectionInfo*>(p1);
      const Modeler::Camera camera = host->SdkCamera();
      *info = API_3DProjectionInfo{};
      info->projectionType = camera.GetProjectionType();
      info->isPersp = camera.GetPerspectiveData() != nullptr;
      if (info->isPersp) info->persp = *camera.GetPerspectiveData();
      return NoError;
    }
    case APIEnv_Change3DProjectionSetsID: {
      if (p1 == nullptr) return APIERR_BADPARS;
      if (!host->HasProject()) return APIERR_NOPLAN;
      const auto* info = static_cast<const API_3DProjectionInfo*>(p1);
      const Status s = host->SetProjection(info->isPersp);
      return s ? NoError : APIERR_GENERAL;
    }
    case APIEnv_ApplicationID: {
      if (p1 == nullptr) return APIERR_BADPARS;
      auto* app = static_cast<API_ApplicationInfo*>(p1);
      std::memset(app, 0, sizeof(*app));
      const std::string version = host->VersionText();
      CopyText(app->version, sizeof(app->version), version);
      CopyText(app->productName, sizeof(app->productName), "Host");
      int major = 0, minor = 0, build = 0;
      std::sscanf(version.c_str(), "%d.%d.%d", &major, &minor, &build);
      app->mainVersion = major;
      app->releaseVersion = minor;
      app->buildNumber = build;
      return NoError;
    }
    default:
      host->Log("addon", "unknown environment selector '" + SelectorText(selector) + "'");
      return APIERR_BADSELECTOR;
  }
}

// ---- Database ---------------------------------------------------------------------------

GSErrCode Database(API_HostContext* ctx, GSType selector, void* p1, void*) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  if (const GSErrCode fault = host->Fault(SelectorText(selector))) return fault;
  switch (selector) {
    case APIDb_GetCurrentWindowID: {
      if (p1 == nullptr) return APIERR_BADPARS;
      if (!host->HasProject()) return APIERR_NOPLAN;
      auto* info = static_cast<API_WindowInfo*>(p1);
      *info = API_WindowInfo{};
      info->typeID = API_WindowTypeID(int(host->State().currentWindow));
      return NoError;
    }
    case APIDb_ChangeCurrentWindowID: {
      if (p1 == nullptr) return APIERR_BADPARS;
      if (!host->HasProject()) return APIERR_NOPLAN;
      const auto* info = static_cast<const API_WindowInfo*>(p1);
      const Status s = host->SwitchWindow(hostmodel::WindowType(int(info->typeID)));
      return s ? NoError : APIERR_BADPARS;
    }
    default:
      host->Log("addon", "unknown database selector '" + SelectorText(selector) + "'");
      return APIERR_BADSELECTOR;
  }
}

// ---- Automation -------------------------------------------------------------------------

GSErrCode Automate(API_HostContext* ctx, GSType selector, void*, void*) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  if (const GSErrCode fault = host->Fault(SelectorText(selector))) return fault;
  switch (selector) {
    case APIDo_RebuildID: {
      if (!host->HasProject()) return APIERR_NOPLAN;
      host->Log("view", "rebuild");
      Modeler::Model3DPtr model = host->Model3D();
      host->Deliver([host, model] {
        Host::AddonScope scope(*host, 0);
        model->NotifyRebuild(true);
        model->NotifyRebuild(false);
      });
      return NoError;
    }
    default:
      host->Log("addon", "unknown automation selector '" + SelectorText(selector) + "'");
      return APIERR_BADSELECTOR;
  }
}

// ---- Goodies: auto-texts ----------------------------------------------------------------

GSErrCode Goodies(API_HostContext* ctx, GSType selector, void* p1, void* p2) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  if (const GSErrCode fault = host->Fault(SelectorText(selector))) return fault;
  switch (selector) {
    case APIAny_GetAutoTextsID: {
      if (p1 == nullptr) return APIERR_BADPARS;
      if (!host->HasProject()) return APIERR_NOPLAN;
      const auto filter = reinterpret_cast<std::intptr_t>(p2);
      auto* list = static_cast<API_AutotextList*>(p1);
      list->entries.clear();
      const hostmodel::ProjectState& state = host->State();
      if (filter != APIAutoText_Custom) {
        // The host's own auto-texts come first in the full list.
        const std::string name =
            state.untitled ? std::string("Untitled") : std::filesystem::path(state.soloPath).stem().string();
        list->entries.push_back(
            {GS::UniString(u"Project Name"), GS::UniString(u"<PROJECTNAME>"), GS::UniString::FromUtf8(name)});
      }
      for (const auto& t : state.customAutoTexts) {
        list->entries.push_back(
            {GS::UniString::FromUtf8(t.name), GS::UniString::FromUtf8(t.key), GS::UniString::FromUtf8(t.value)});
      }
      return NoError;
    }
    case APIAny_CreateAnAutoTextID: {
      if (p1 == nullptr || p2 == nullptr) return APIERR_BADPARS;
      if (!host->HasProject()) return APIERR_NOPLAN;
      const auto* guid = static_cast<const API_Guid*>(p1);
      const char* name = static_cast<const char*>(p2);
      const std::size_t nameLength = strnlen(name, 256);
      if (nameLength == 0 || nameLength == 256) return APIERR_BADNAME;
      if (*guid == APINULLGuid) return APIERR_BADPARS;
      const std::string key = "autotext-" + APIGuidToString(*guid);
      auto& texts = host->MutableState().customAutoTexts;
      for (const auto& t : texts) {
        if (t.key == key) return APIERR_BADNAME;  // the GUID is taken
      }
      texts.push_back(hostmodel::AutoText{std::string(name, nameLength), key, std::string()});
      host->MarkModified();
      host->Log("project", "auto-text \"" + std::string(name, nameLength) + "\" created as " + key);
      return NoError;
    }
    case APIAny_SetAnAutoTextID: {
      if (p1 == nullptr || p2 == nullptr) return APIERR_BADPARS;
      if (!host->HasProject()) return APIERR_NOPLAN;
      const std::string key = static_cast<const GS::UniString*>(p1)->ToUtf8();
      const std::string value = static_cast<const GS::UniString*>(p2)->ToUtf8();
      for (auto& t : host->MutableState().customAutoTexts) {
        if (t.key == key) {
          t.value = value;
          host->MarkModified();
          host->Log("project", "auto-text " + key + " = " + value);
          return NoError;
        }
      }
      return APIERR_BADNAME;
    }
    default: host->Log("addon", "unknown goodies selector '" + SelectorText(selector) + "'"); return APIERR_BADSELECTOR;
  }
}

// ---- Attributes -------------------------------------------------------------------------

GSErrCode AttributeGetNum(API_HostContext* ctx, API_AttrTypeID type, API_AttributeIndex* count) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  if (count == nullptr) return APIERR_BADPARS;
  if (!host->HasProject()) return APIERR_NOPLAN;
  if (type != API_MaterialID) return APIERR_BADID;
  ModelerAPI::ProjectSnapshot snapshot = host->Snapshot();
  *count = snapshot ? API_AttributeIndex(snapshot->materials.size()) : 0;
  return NoError;
}

GSErrCode AttributeGet(API_HostContext* ctx, API_Attribute* attribute) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  if (attribute == nullptr) return APIERR_BADPARS;
  if (!host->HasProject()) return APIERR_NOPLAN;
  if (attribute->header.typeID != API_MaterialID) return APIERR_BADID;
  ModelerAPI::ProjectSnapshot snapshot = host->Snapshot();
  const hostmodel::Material* m = snapshot ? snapshot->MaterialAt(attribute->header.index) : nullptr;
  if (m == nullptr) {
    const auto index = attribute->header.index;
    const bool deleted = snapshot && index >= 1 && std::size_t(index) <= snapshot->materials.size() &&
                         snapshot->materials[std::size_t(index - 1)].deleted;
    return deleted ? APIERR_DELETED : APIERR_BADINDEX;
  }
  const API_AttributeIndex index = attribute->header.index;
  *attribute = API_Attribute{};
  API_Attr_Head& head = attribute->header;
  head.typeID = API_MaterialID;
  head.index = index;
  head.modiStamp = m->stamp;
  std::memcpy(&head.guid, m->guid.bytes.data(), sizeof(head.guid));
  head.flags = m->headerFlags;
  CopyText(head.name, sizeof(head.name), m->name);
  API_MaterialType& mat = attribute->material;
  mat.mtype = API_MaterTypeID(m->materialType);
  mat.transpPc = m->transparency;
  mat.shine = m->shininess;
  mat.transpAtt = m->attenuation;
  mat.percentage = m->percentage;
  mat.surfaceRGB = {m->surfaceColor.r, m->surfaceColor.g, m->surfaceColor.b};
  mat.specularRGB = {m->secondColor.r, m->secondColor.g, m->secondColor.b};
  if (const hostmodel::Texture* t = snapshot->TextureAt(m->textureIndex)) {
    mat.texture.fileLoc = new IO::Location(t->filePath);
    mat.texture.xSize = t->xSize;
    mat.texture.ySize = t->ySize;
  }
  return NoError;
}

// ---- Sights and GUIDs -------------------------------------------------------------------

GSErrCode CreateSight(API_HostContext* ctx, Modeler::SightPtr* sight) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  if (sight == nullptr) return APIERR_BADPARS;
  if (!host->HasProject()) return APIERR_NOPLAN;
  if (const GSErrCode fault = host->Fault("sight")) return fault;
  *sight = host->CreateSight();
  return *sight ? NoError : APIERR_GENERAL;
}

GSErrCode SelectSight(API_HostContext* ctx, const Modeler::SightPtr* sight, Modeler::SightPtr* previous) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  if (sight == nullptr) return APIERR_BADPARS;
  Modeler::SightPtr before = host->SelectSight(*sight);
  if (previous != nullptr) *previous = std::move(before);
  return NoError;
}

GSErrCode GetCurrentSight(API_HostContext* ctx, Modeler::SightPtr* sight) {
  Host* host = Host::FromContext(ctx);
  if (host == nullptr) return APIERR_GENERAL;
  if (sight == nullptr) return APIERR_BADPARS;
  if (!host->HasProject()) return APIERR_NOPLAN;
  *sight = host->CurrentSight();
  return NoError;
}

GSErrCode GenerateGuid(API_HostContext*, API_Guid* guid) {
  if (guid == nullptr) return APIERR_BADPARS;
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::uint8_t bytes[16];
  for (int i = 0; i < 16; i += 8) {
    const std::uint64_t r = random();
    std::memcpy(bytes + i, &r, 8);
  }
  bytes[7] = std::uint8_t((bytes[7] & 0x0F) | 0x40);  // version 4 (time_hi_and_version, little-endian)
  bytes[8] = std::uint8_t((bytes[8] & 0x3F) | 0x80);  // variant
  std::memcpy(guid, bytes, sizeof(*guid));
  return NoError;
}

}  // namespace entries

void Host::InstallRuntimeEntries() {
  table_.Set(HostFunc_DebugPrint, HostCall::DebugPrint(&entries::DebugPrint));
  table_.Set(HostFunc_KeepInMemory, HostCall::KeepInMemory(&entries::KeepInMemory));
  table_.Set(HostFunc_RegisterFileType, HostCall::RegisterFileType(&entries::RegisterFileType));
  table_.Set(HostFunc_InstallFileTypeHandler3D, HostCall::InstallFileTypeHandler3D(&entries::InstallFileTypeHandler3D));
  table_.Set(HostFunc_CatchProjectEvent, HostCall::CatchProjectEvent(&entries::CatchProjectEvent));
  table_.Set(HostFunc_CatchViewEvent, HostCall::CatchViewEvent(&entries::CatchViewEvent));
  table_.Set(HostFunc_Environment, HostCall::Dispatcher(&entries::Environment));
  table_.Set(HostFunc_Database, HostCall::Dispatcher(&entries::Database));
  table_.Set(HostFunc_Goodies, HostCall::Dispatcher(&entries::Goodies));
  table_.Set(HostFunc_Automate, HostCall::Dispatcher(&entries::Automate));
  table_.Set(HostFunc_AttributeGetNum, HostCall::AttributeGetNum(&entries::AttributeGetNum));
  table_.Set(HostFunc_AttributeGet, HostCall::AttributeGet(&entries::AttributeGet));
  table_.Set(HostFunc_CreateSight, HostCall::CreateSight(&entries::CreateSight));
  table_.Set(HostFunc_SelectSight, HostCall::SelectSight(&entries::SelectSight));
  table_.Set(HostFunc_GetCurrentSight, HostCall::GetCurrentSight(&entries::GetCurrentSight));
  table_.Set(HostFunc_GenerateGuid, HostCall::GenerateGuid(&entries::GenerateGuid));
}

}  // namespace host
