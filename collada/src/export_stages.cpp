// The geometry stages of an export: building bodies on the host thread, then
// merging per material, serialising and creating marker nodes in parallel.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "context/plugin_settings.h"
#include "collada/collada_exporter.h"
#include "collada/document_text.h"
#include "collada/geometry_plan.h"
#include "collada/geometry_text.h"
#include "collada/number_text.h"
#include "parallel_or_throw.h"
#include "hostsdk/acapi.h"
#include "scene/material_library.h"
#include "scene/material_record.h"
#include "scene/mesh_finisher.h"

namespace collada {

void ColladaExporter::LoadGeometry() {
  bool smooth = true, optimize = true;
  float offset = 0.0f;
  if (settings) {
    settings->Load();
    smooth = settings->SmoothSurfaces();
    optimize = settings->OptimizeSurfaces();
    exportNodes = settings->ExportNodes();
    offset = settings->EffectiveOffset();
  }
  builder->SetOptions(smooth, optimize, offset);

  Status(u"Velmar Collada exporter: load materials\u2026");
  // The images go to the staged texture folder; the document refers to them
  // by the real folder's name.
  materials->BeginExport(model.get(), imagePath.empty() ? path : imagePath);
  materials->Refresh(0);

  Status(u"Velmar Collada exporter: load geometries\u2026");
  const Int32 elementCount = model->GetElementNum();
  if (elementCount <= 0) return;

  std::size_t bodyTotal = 0;
  for (Int32 i = 1; i <= elementCount; ++i) {
    ModelerAPI::Element element;
    model->GetElement(i, &element);
    if (!element.IsInvalid()) bodyTotal += static_cast<std::size_t>(std::max<Int32>(0, element.GetBodyNum()));
  }
  bodies.reserve(bodyTotal);
  {
    // The meshes of bodies read so far are finished meanwhile; the material
    // each is finished with is looked up here, on the thread that may add
    // records to the library.
    scene::MeshFinisher finisher(*builder);
    for (Int32 i = 1; i <= elementCount; ++i) {
      ModelerAPI::Element element;
      model->GetElement(i, &element);
      if (element.IsInvalid()) continue;
      const Int32 bodyCount = element.GetBodyNum();
      for (Int32 b = 1; b <= bodyCount; ++b) {
        ModelerAPI::Body body;
        element.GetBody(b, &body);
        bodies.push_back(builder->BuildBody(body));
        for (const auto& mesh : bodies.back()->meshes) finisher.Queue(mesh.get(), materials->Find(mesh->materialKey));
      }
    }
    // The rest is the merge's, on every thread.
    finisher.Stop();
  }

  Status(u"Velmar Collada exporter: merge geometries\u2026");
  const std::vector<PlannedGeometry> plan =
      PlanGeometries(std::vector<std::uint64_t>(usedKeys.begin(), usedKeys.end()),
                     [&](std::uint64_t key) { return materials->Find(key)->key; });
  geometries.reserve(plan.size());
  ParallelOrThrow(plan.size(), [&](std::size_t i) { MergeMaterial(plan[i]); });
  // The geometries read the meshes; the bodies keep only what the marker
  // nodes need besides.
  for (auto& body : bodies) body->positions = {};
  // The parallel stages append in any order; the document is the same for
  // the same model when its geometries and nodes come in key and body order.
  std::sort(geometries.begin(), geometries.end(),
            [](const auto& a, const auto& b) { return a->materialKey < b->materialKey; });

  ChooseMaterials();

  // The arrays are formatted as the document is written (collada/geometry_text.h):
  // here the geometries get their names.
  Status(u"Velmar Collada exporter: serialize geometries\u2026");
  std::unordered_map<std::uint64_t, std::size_t> indexOfKey;
  for (std::size_t i = 0; i < usedMaterials.size(); ++i) indexOfKey[usedMaterials[i]->key] = i;
  for (std::size_t i = 0; i < geometries.size(); ++i) {
    GeometryInfo& g = *geometries[i];
    const scene::MaterialRecord* record = materials->Find(g.materialKey);
    auto it = indexOfKey.find(record->key);
    g.id = it != indexOfKey.end() ? materialIds[it->second] : MaterialId(record->key);
    g.name = XmlText(record->name);
  }

  if (exportNodes) {
    Status(u"Velmar Collada exporter: create nodes\u2026");
    nodes.reserve(bodies.size());
    ParallelOrThrow(bodies.size(), [&](std::size_t i) { CreateNode(*bodies[i]); });
    std::sort(nodes.begin(), nodes.end(), [](const auto& a, const auto& b) {
      return a->name.size() != b->name.size() ? a->name.size() < b->name.size() : a->name < b->name;
    });
  }
}

void ColladaExporter::ChooseMaterials() {
  // Every material a mesh uses, once (keys 0 and -1 and unknown keys share
  // the default material), in key order.
  std::map<std::uint64_t, scene::MaterialRecord*> byKey;
  std::unordered_set<const scene::MaterialRecord*> seen;
  for (const auto& [key, group] : groups) {
    scene::MaterialRecord* record = materials->Find(key);
    if (seen.insert(record).second) byKey.emplace(record->key, record);
  }
  usedMaterials.clear();
  materialIds.clear();
  std::unordered_set<std::string> taken;
  for (auto& [key, record] : byKey) {
    // The document's identifiers are the low 32 bits of the key; a material
    // whose 32 bits another one holds already gets its whole key, so that
    // no two effects, materials or geometries share an id.
    std::string id = MaterialId(key);
    if (taken.count(id) != 0) id = LongMaterialId(key);
    for (int n = 1; taken.count(id) != 0; ++n) id = LongMaterialId(key) + "-" + std::to_string(n);
    taken.insert(id);
    usedMaterials.push_back(record);
    materialIds.push_back(std::move(id));
  }
}

void ColladaExporter::MergeMaterial(const PlannedGeometry& planned) {
  const std::uint64_t key = planned.materialKey;
  const scene::MaterialRecord* record = materials->Find(key);
  // The meshes of every key that resolves to this material, key by key in
  // each group's own order (a group's holes are no meshes).
  std::vector<scene::MeshInfo*> group;
  for (std::uint64_t meshKey : planned.keys) {
    auto groupIt = groups.find(meshKey);
    if (groupIt == groups.end()) continue;
    for (scene::MeshInfo* mesh : groupIt->second)
      if (mesh != nullptr) group.push_back(mesh);
  }
  if (group.empty()) return;

  std::atomic<std::uint64_t> vertexTotal{0}, indexTotal{0};
  std::vector<char> usable(group.size(), 0);
  ParallelOrThrow(group.size(), [&](std::size_t m) {
    scene::MeshInfo* mesh = group[m];
    if (mesh == nullptr) return;  // a group may hold holes
    if (!mesh->IsFinished() && !builder->FinishMesh(mesh, record)) return;
    if (mesh->vertexCount < 0 || mesh->indexCount < 0) return;
    usable[m] = 1;
    std::uint64_t copies = mesh->doubleSided ? 2 : 1;
    vertexTotal += copies * static_cast<std::uint64_t>(mesh->vertexCount);
    indexTotal += copies * static_cast<std::uint64_t>(mesh->indexCount);
  });
  const std::uint64_t V = vertexTotal.load(), I = indexTotal.load();
  if (V == 0) return;
  // The counts are 32-bit numbers in the document.
  if (V > 0xFFFFFFFFull || I > 0xFFFFFFFFull) {
    DBPrintf("Velmar Collada exporter: material %llX has too many vertices for one geometry; left out\n",
             static_cast<unsigned long long>(key));
    return;
  }

  // The geometry reads the meshes in place while the document is written:
  // a merged copy would double the model's memory for nothing the document
  // needs. Each mesh gives a run, a double-sided one a second for its back.
  auto geometry = std::make_unique<GeometryInfo>();
  geometry->materialKey = key;
  geometry->runs.reserve(group.size());
  std::uint32_t vertices = 0, indices = 0;
  for (std::size_t m = 0; m < group.size(); ++m) {
    if (!usable[m]) continue;
    const scene::MeshInfo& mesh = *group[m];
    if (mesh.vertexCount == 0) continue;
    MeshRun run;
    run.positions = mesh.positions.data();
    run.normals = mesh.normals.data();
    run.texCoords = mesh.texCoords.data();
    run.indices = mesh.indices.data();
    run.positionsHeld = mesh.positions.size();
    run.normalsHeld = mesh.normals.size();
    run.texCoordsHeld = mesh.texCoords.size();
    run.plainTexCoords = !mesh.HoldsTexCoords();
    if (!mesh.normalOf.empty()) {
      run.normalOf = mesh.normalOf.data();
      run.normalOfHeld = mesh.normalOf.size();
    }
    run.indicesHeld = mesh.indices.size();
    run.vertexCount = static_cast<std::uint32_t>(mesh.vertexCount);
    run.indexCount = static_cast<std::uint32_t>(mesh.indexCount);
    for (bool back : {false, true}) {
      if (back && !mesh.doubleSided) break;
      run.back = back;
      run.base = vertices;
      run.firstIndex = indices;
      geometry->runs.push_back(run);
      vertices += run.vertexCount;
      indices += run.indexCount;
    }
  }
  // The counts are those of the runs: the indices of a mesh without
  // vertices name nothing and are left out with it.
  geometry->vertexCount = vertices;
  geometry->indexCount = indices;
  geometries.push_back(std::move(geometry));
}

void ColladaExporter::CreateNode(const scene::BodyInfo& body) {
  if (body.vertexCount == 0) return;
  auto node = std::make_unique<NodeInfo>();
  char number[32];
  std::snprintf(number, sizeof number, "vn-%04llu", static_cast<unsigned long long>(body.id));
  node->name = number;
  // The centre is stored as (x, z + offset, y): the translation is the
  // host's (x, y, z + offset).
  node->matrix = "1 0 0 " + Fixed6(body.centre[0]) + " 0 1 0 " + Fixed6(body.centre[2]) + " 0 0 1 " +
                 Fixed6(body.centre[1]) + " 0 0 0 1";
  nodes.push_back(std::move(node));
}

}  // namespace collada
