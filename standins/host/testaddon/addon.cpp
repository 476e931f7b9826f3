// A small add-on that exercises the host as the real add-on does: it
// registers a 3D file type, catches project and view events, observes a
// sight and its model, and reads the model through the modeler interface.
// Tests reach it through the probe (probe.h).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hostsdk/acapi.h"
#include "hostsdk/glue.h"
#include "hostsdk/loader.h"
#include "hostsdk/modeler.h"
#include "hostsdk/requests.h"
#include "hostsdk/sight.h"
#include "testaddon/probe.h"

namespace {

std::mutex g_journalMutex;
std::vector<std::string> g_journal;

// The journal also goes to the file CORV_TESTADDON_JOURNAL names, so that a
// test can read what happened after the module was unloaded.
void Note(const std::string& line) {
  std::lock_guard lock(g_journalMutex);
  g_journal.push_back(line);
  if (const char* path = std::getenv("CORV_TESTADDON_JOURNAL")) {
    if (FILE* f = std::fopen(path, "a")) {
      std::fprintf(f, "%s\n", line.c_str());
      std::fclose(f);
    }
  }
}

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0) {
  char text[160];
  std::snprintf(text, sizeof(text), format, a, b, c, d);
  return text;
}

nlohmann::json CameraJson(const Modeler::Camera& camera) {
  nlohmann::json j;
  const ShortRect r = camera.GetDrawRect();
  j["projection"] = camera.GetProjectionType();
  j["drawRect"] = {r.left, r.top, r.right, r.bottom};
  const Modeler::PerspectiveData* persp = camera.GetPerspectiveData();
  j["perspective"] = persp != nullptr;
  if (persp != nullptr) {
    // Read as a reader that treats the record as opaque would.
    double angle;
    std::memcpy(&angle, reinterpret_cast<const unsigned char*>(persp) + 120, sizeof(angle));
    j["viewAngle"] = angle;
  }
  const ModelerAPI::Vertex eye = camera.GetViewPoint();
  const ModelerAPI::Vertex target = camera.GetTargetPoint();
  j["viewPoint"] = {eye.x, eye.y, eye.z};
  j["targetPoint"] = {target.x, target.y, target.z};
  j["roll"] = camera.GetRollAngle();
  return j;
}

std::string g_lastCamera;

class CameraWatcher : public Modeler::ISightObserver {
 public:
  void CameraChanged(const Modeler::Sight& sight) override {
    if (sight.IsSightInvalid()) return;
    const Modeler::Camera camera = sight.GetCamera();
    g_lastCamera = CameraJson(camera).dump();
    Note(Format("camera persp=%.0f", camera.GetPerspectiveData() != nullptr ? 1 : 0));
  }
  void ModelReplaced(const Modeler::Sight&) override { Note("sight model replaced"); }
  void SightInvalidated(const Modeler::Sight&) override { Note("sight invalidated"); }
  void DrawRectChanged(const Modeler::Sight&) override { Note("sight draw rect"); }
};

class ModelWatcher : public Modeler::IModel3DObserver {
 public:
  void ModelChanged(const Modeler::Model3D&) override { Note("model changed"); }
  void ElementsChanged(const Modeler::Model3D&, const std::vector<API_Guid>& elements) override {
    std::string line = "model elements " + std::to_string(elements.size());
    for (const API_Guid& g : elements) line += " " + APIGuidToString(g);
    Note(line);
  }
  void RebuildStarted(const Modeler::Model3D&) override { Note("model rebuild started"); }
  void RebuildFinished(const Modeler::Model3D&) override { Note("model rebuild finished"); }
  void SourceDestroyed(GS::EventSource*) override { Note("model destroyed"); }
};

struct LinkState {
  Modeler::SightPtr sight;
  Modeler::SightPtr previous;
  Modeler::ConstModel3DPtr model3D;
  std::unique_ptr<AttributeReader> reader;
  std::unique_ptr<ModelerAPI::Model> model;
  CameraWatcher camera;
  ModelWatcher modelWatcher;
};
std::unique_ptr<LinkState> g_link;
int g_savedCount = -1;

// ---- Model dump ---------------------------------------------------------------------

nlohmann::json TextureJson(const ModelerAPI::Texture& t) {
  nlohmann::json j;
  j["pixelType"] = t.GetPixelType();
  j["width"] = t.GetPixelMapXSize();
  j["height"] = t.GetPixelMapYSize();
  j["pixels"] = t.GetPixelMapSize();
  std::vector<unsigned char> buffer(std::size_t(t.GetPixelMapSize()) * 4);
  const bool copied = t.GetPixelMap(buffer.data(), buffer.size());
  unsigned long long sum = 0;
  for (unsigned char b : buffer) sum = sum * 31 + b;
  j["pixelSum"] = copied ? sum : 0;
  j["alpha"] = t.HasAlphaChannel();
  j["transparentPattern"] = t.IsTransparentPattern();
  j["xSize"] = t.GetXSize();
  j["ySize"] = t.GetYSize();
  j["fingerprint"] = t.GetFingerprint().ToUtf8();
  return j;
}

nlohmann::json DumpModel(const ModelerAPI::Model& model) {
  nlohmann::json out;
  nlohmann::json elements = nlohmann::json::array();
  const Int32 n = model.GetElementNum();
  for (Int32 i = 1; i <= n; ++i) {
    ModelerAPI::Element element;
    model.GetElement(i, &element);
    nlohmann::json e;
    e["guid"] = APIGuidToString(element.GetElemGuid());
    e["genId"] = element.GetGenId();
    nlohmann::json bodies = nlohmann::json::array();
    for (Int32 b = 1; b <= element.GetBodyNum(); ++b) {
      ModelerAPI::Body body;
      element.GetBody(b, &body);
      nlohmann::json jb;
      jb["closed"] = body.IsClosed();
      nlohmann::json vertices = nlohmann::json::array();
      for (Int32 v = 1; v <= body.GetVertexNum(); ++v) {
        ModelerAPI::Vertex vx;
        body.GetVertex(v, &vx);
        vertices.push_back({vx.x, vx.y, vx.z});
      }
      jb["vertices"] = vertices;
      nlohmann::json normals = nlohmann::json::array();
      for (Int32 k = 1; k <= body.GetPolygonVectorNum(); ++k) {
        ModelerAPI::Vector nv;
        body.GetVector(k, &nv);
        normals.push_back({nv.x, nv.y, nv.z});
      }
      jb["normals"] = normals;
      nlohmann::json polygons = nlohmann::json::array();
      for (Int32 p = 1; p <= body.GetPolygonCount(); ++p) {
        ModelerAPI::Polygon polygon;
        body.GetPolygon(p, &polygon);
        nlohmann::json jp;
        jp["invisible"] = polygon.IsInvisible();
        jp["curved"] = polygon.IsCurved();
        ModelerAPI::AttributeIndex material;
        polygon.GetMaterialIndex(material);
        jp["material"] = material.GetIndex();
        jp["normalIndex"] = polygon.GetNormalVectorIndex();
        jp["hasTexture"] = polygon.HasPolygonTexture();
        nlohmann::json pieces = nlohmann::json::array();
        nlohmann::json uvs = nlohmann::json::array();
        nlohmann::json cornerNormals = nlohmann::json::array();
        Int32 position = 0;
        for (Int32 c = 1; c <= polygon.GetConvexPolygonNum(); ++c) {
          ModelerAPI::ConvexPolygon convex;
          polygon.GetConvexPolygon(c, &convex);
          nlohmann::json piece = nlohmann::json::array();
          for (Int32 k = 1; k <= convex.GetVertexNum(); ++k) {
            const Int32 vi = convex.GetVertexIndex(k);
            piece.push_back(vi);
            ModelerAPI::Vertex vx;
            body.GetVertex(vi, &vx);
            ModelerAPI::TextureCoordinate uv;
            polygon.GetTextureCoordinate(&vx, &uv);
            uvs.push_back({uv.u, uv.v});
            ModelerAPI::Vector cn;
            polygon.GetNormalVectorByVertex(++position, &cn);
            cornerNormals.push_back({cn.x, cn.y, cn.z});
          }
          pieces.push_back(piece);
        }
        jp["pieces"] = pieces;
        jp["uvs"] = uvs;
        jp["cornerNormals"] = cornerNormals;
        polygons.push_back(jp);
      }
      jb["polygons"] = polygons;
      bodies.push_back(jb);
    }
    e["bodies"] = bodies;
    elements.push_back(e);
  }
  out["elements"] = elements;

  nlohmann::json textures = nlohmann::json::array();
  for (Int32 t = 1; t <= model.GetTextureNum(); ++t) {
    ModelerAPI::Texture texture;
    model.GetTexture(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::TextureIndex, t), &texture);
    textures.push_back(TextureJson(texture));
  }
  out["textures"] = textures;

  nlohmann::json materials = nlohmann::json::array();
  API_AttributeIndex count = 0;
  out["materialCountResult"] = ACAPI_Attribute_GetNum(API_MaterialID, &count);
  for (API_AttributeIndex i = 1; i <= count; ++i) {
    API_Attribute attr{};
    attr.header.typeID = API_MaterialID;
    attr.header.index = i;
    nlohmann::json m;
    const GSErrCode err = ACAPI_Attribute_Get(&attr);
    m["result"] = err;
    if (err == NoError) {
      m["index"] = attr.header.index;
      m["stamp"] = attr.header.modiStamp;
      m["guid"] = APIGuidToString(attr.header.guid);
      m["flags"] = attr.header.flags;
      m["name"] = std::string(attr.header.name);
      m["type"] = int(attr.material.mtype);
      m["transparency"] = attr.material.transpPc;
      m["shine"] = attr.material.shine;
      m["attenuation"] = attr.material.transpAtt;
      m["percentage"] = attr.material.percentage;
      m["surface"] = {attr.material.surfaceRGB.f_red, attr.material.surfaceRGB.f_green,
                      attr.material.surfaceRGB.f_blue};
      m["second"] = {attr.material.specularRGB.f_red, attr.material.specularRGB.f_green,
                     attr.material.specularRGB.f_blue};
      m["hasTextureLocation"] = attr.material.texture.fileLoc != nullptr;
      if (attr.material.texture.fileLoc != nullptr) {
        GS::UniString path;
        m["textureEmpty"] = attr.material.texture.fileLoc->IsEmpty();
        if (attr.material.texture.fileLoc->ToPath(&path) == NoError) m["texturePath"] = path.ToUtf8();
      }
      ModelerAPI::Material mm;
      model.GetMaterial(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::MaterialIndex, i), &mm);
      m["modelerHasTexture"] = mm.HasTexture();
      if (mm.HasTexture()) {
        ModelerAPI::Texture texture;
        mm.GetTexture(&texture);
        m["textureFingerprint"] = texture.GetFingerprint().ToUtf8();
      }
    }
    ACAPI_DisposeAttribute(&attr);
    materials.push_back(m);
  }
  out["materials"] = materials;
  return out;
}

// ---- Host callbacks -----------------------------------------------------------------

GSErrCode OnProjectEvent(API_NotifyEventID event, Int32 param) {
  Note("project " + std::to_string(int(event)) + " " + std::to_string(param));
  return NoError;
}

GSErrCode OnViewEvent(const API_NotifyViewEventType* event) {
  Note("view " + std::to_string(event != nullptr ? int(event->notifID) : -1));
  return NoError;
}

// The handler type of a 3D file type takes the sight by value.
GSErrCode Save3DFile(const API_IOParams* params,
                     Modeler::SightPtr sight) {  // NOLINT(performance-unnecessary-value-param)
  if (params == nullptr || params->fileLoc == nullptr) return APIERR_BADPARS;
  GS::UniString path;
  if (params->fileLoc->ToPath(&path) != NoError) return APIERR_CANCEL;
  AttributeReader reader;
  ModelerAPI::Model model;
  if (EXPGetModel(sight, &model, &reader) != NoError) return APIERR_GENERAL;
  g_savedCount = model.GetElementNum();
  std::ofstream file(path.ToUtf8());
  if (!file) return APIERR_GENERAL;
  nlohmann::json doc;
  doc["elements"] = g_savedCount;
  file << doc.dump();
  Note("save3d " + path.ToUtf8());
  // Asked to, it changes the window from inside the host's call: the view
  // event must arrive after this handler returned, not in the middle of it.
  if (path.ToUtf8().find("switch") != std::string::npos) {
    API_WindowInfo window;
    window.typeID = APIWind_FloorPlanID;
    Note("save3d switch " + std::to_string(ACAPI_Database(APIDb_ChangeCurrentWindowID, &window)));
  }
  return file.good() ? NoError : APIERR_GENERAL;
}

// The "dae" type: a small COLLADA document that names what the model holds,
// enough for the host's command-line export to be tested without the
// product. It writes beside the destination and renames, as a careful
// writer does; a destination in a missing folder fails.
GSErrCode SaveDaeFile(const API_IOParams* params,
                      Modeler::SightPtr sight) {  // NOLINT(performance-unnecessary-value-param)
  if (params == nullptr || params->fileLoc == nullptr) return APIERR_BADPARS;
  GS::UniString path;
  if (params->fileLoc->ToPath(&path) != NoError) return APIERR_CANCEL;
  AttributeReader reader;
  ModelerAPI::Model model;
  if (EXPGetModel(sight, &model, &reader) != NoError) return APIERR_GENERAL;
  long triangles = 0;
  for (Int32 e = 1; e <= model.GetElementNum(); ++e) {
    ModelerAPI::Element element;
    model.GetElement(e, &element);
    for (Int32 b = 1; b <= element.GetBodyNum(); ++b) {
      ModelerAPI::Body body;
      element.GetBody(b, &body);
      for (Int32 p = 1; p <= body.GetPolygonCount(); ++p) {
        ModelerAPI::Polygon polygon;
        body.GetPolygon(p, &polygon);
        for (Int32 c = 1; c <= polygon.GetConvexPolygonNum(); ++c) {
          ModelerAPI::ConvexPolygon convex;
          polygon.GetConvexPolygon(c, &convex);
          triangles += std::max<Int32>(0, convex.GetVertexNum() - 2);
        }
      }
    }
  }
  const std::string target = path.ToUtf8();
  const std::string temp = target + ".part";
  {
    std::ofstream file(temp, std::ios::binary);
    if (!file) return APIERR_GENERAL;
    file << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
         << "<COLLADA xmlns=\"http://www.collada.org/2005/11/COLLADASchema\" version=\"1.4.1\">\r\n"
         << "<!-- test add-on: " << model.GetElementNum() << " elements, " << triangles << " triangles -->\r\n"
         << "</COLLADA>\r\n";
    if (!file.flush()) {
      std::remove(temp.c_str());
      return APIERR_GENERAL;
    }
  }
  if (std::rename(temp.c_str(), target.c_str()) != 0) {
    std::remove(temp.c_str());
    return APIERR_GENERAL;
  }
  Note("savedae " + target + " " + std::to_string(triangles));
  return NoError;
}

// ---- Probe --------------------------------------------------------------------------

GSErrCode ProbeAttach() {
  if (g_link) return NoError;
  auto link = std::make_unique<LinkState>();
  GSErrCode err = ACAPI_3D_CreateSight(&link->sight);
  if (err != NoError) return err;
  err = ACAPI_3D_SelectSight(link->sight, &link->previous);
  if (err != NoError) return err;
  link->model3D = link->sight->GetConstMainModelPtr();
  if (link->model3D == nullptr) return APIERR_GENERAL;
  link->sight->Attach(link->camera);
  link->model3D->Attach(link->modelWatcher);
  link->reader = std::make_unique<AttributeReader>();
  link->model = std::make_unique<ModelerAPI::Model>();
  err = EXPGetModel(link->model3D, link->model.get(), link->reader.get());
  Modeler::SightPtr ignored;
  ACAPI_3D_SelectSight(link->previous, &ignored);
  if (err != NoError) return err;
  g_link = std::move(link);
  return NoError;
}

void ProbeDetach() {
  if (!g_link) return;
  if (!g_link->sight->IsSightInvalid()) {
    g_link->sight->Detach(g_link->camera);
    if (auto model = g_link->sight->GetConstMainModelPtr()) model->Detach(g_link->modelWatcher);
  }
  g_link.reset();
}

TestAddonProbe g_probe{
    [] {
      std::lock_guard lock(g_journalMutex);
      return g_journal;
    },
    [] {
      std::lock_guard lock(g_journalMutex);
      g_journal.clear();
    },
    [](GSType s, void* a, void* b) { return ACAPI_Environment(s, a, b); },
    [](GSType s, void* a, void* b) { return ACAPI_Database(s, a, b); },
    [](GSType s, void* a, void* b) { return ACAPI_Goodies(s, a, b); },
    [](GSType s, void* a, void* b) { return ACAPI_Automate(s, a, b); },
    [](bool keep) { return ACAPI_KeepInMemory(keep); },
    [](const char* text) -> GSErrCode {
      DBPrintf("%s", text);
      return NoError;
    },
    &ProbeAttach,
    &ProbeDetach,
    []() -> std::string { return g_link ? DumpModel(*g_link->model).dump() : std::string(); },
    []() -> std::string {
      if (!g_link || g_link->sight->IsSightInvalid()) return std::string();
      return CameraJson(g_link->sight->GetCamera()).dump();
    },
    [] { return g_savedCount; },
};

}  // namespace

extern "C" __attribute__((visibility("default"))) TestAddonProbe* TestAddon_Probe() { return &g_probe; }

// ---- Entry points -------------------------------------------------------------------

API_AddonType CheckEnvironment(API_EnvirParams* envir) {
  Note("CheckEnvironment imported=" + std::to_string(ACAPI_Glue::IsImported() ? 1 : 0));
  const char16_t name[] = u"Host test add-on";
  const char16_t description[] = u"Exercises the host stand-in";
  std::memcpy(envir->addOnInfo.name, name, sizeof(name));
  std::memcpy(envir->addOnInfo.description, description, sizeof(description));
  // Tests ask it to decline through the environment.
  if (std::getenv("CORV_TESTADDON_DECLINE") != nullptr) return APIAddon_DontRegister;
  return APIAddon_Normal;
}

GSErrCode RegisterInterface() {
  Note("RegisterInterface");
  API_FTypeReg noExtension{};
  noExtension.cmdRef = 2;
  Note("register without extension " + std::to_string(ACAPI_Register_FileType(&noExtension)));
  API_FTypeReg reg{};
  reg.cmdRef = 1;
  reg.ftype = FourCC("TEXT");
  reg.fcreator = FourCC("TRVK");
  std::strcpy(reg.extname, "tst");
  reg.descStrResID = 32501;
  reg.descStrResItemID = 1;
  reg.methodFlags = APIFType_Save3D;
  GSErrCode err = ACAPI_Register_FileType(&reg);
  if (err != NoError) return err;
  API_FTypeReg dae = reg;
  dae.cmdRef = 3;
  std::strcpy(dae.extname, "dae");
  return ACAPI_Register_FileType(&dae);
}

GSErrCode Initialize() {
  Note("Initialize context=" + std::to_string(ACAPI_Glue::Context() != nullptr ? 1 : 0));
  GSErrCode err = ACAPI_Notify_CatchProjectEvent(API_AllProjectNotificationMask, &OnProjectEvent);
  if (err == NoError) err = ACAPI_Notify_CatchViewEvent(API_AllViewNotificationMask, API_PublicViewMap, &OnViewEvent);
  if (err == NoError) ACAPI_KeepInMemory(true);
  if (err == NoError) err = ACAPI_Install_FileTypeHandler3D(1, &Save3DFile);
  return err == NoError ? ACAPI_Install_FileTypeHandler3D(3, &SaveDaeFile) : err;
}

GSErrCode FreeData() {
  Note("FreeData");
  ACAPI_Notify_CatchProjectEvent(API_AllProjectNotificationMask, nullptr);
  ACAPI_Notify_CatchViewEvent(API_AllViewNotificationMask, API_PublicViewMap, nullptr);
  ProbeDetach();
  return NoError;
}
