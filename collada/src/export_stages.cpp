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
  for (Int32 i = 1; i <= elementCount; ++i) {
    ModelerAPI::Element element;
    model->GetElement(i, &element);
    if (element.IsInvalid()) continue;
    const Int32 bodyCount = element.GetBodyNum();
    for (Int32 b = 1; b <= bodyCount; ++b) {
      ModelerAPI::Body body;
      element.GetBody(b, &body);
      bodies.push_back(builder->BuildBody(body));
    }
  }

  Status(u"Velmar Collada exporter: merge geometries\u2026");
  const std::vector<collada::PlannedGeometry> plan =
      collada::PlanGeometries(std::vector<std::uint64_t>(usedKeys.begin(), usedKeys.end()),
                              [&](std::uint64_t key) { return materials->Find(key)->key; });
  geometries.reserve(plan.size());
  collada::ParallelOrThrow(plan.size(), [&](std::size_t i) { MergeMaterial(plan[i]); });
  // The meshes live on in the merged buffers; the bodies keep only what the
  // marker nodes need.
  for (auto& body : bodies) body->positions = {};
  // The parallel stages append in any order; the document is the same for
  // the same model when its geometries and nodes come in key and body order.
  std::sort(geometries.begin(), geometries.end(),
            [](const auto& a, const auto& b) { return a->materialKey < b->materialKey; });

  ChooseMaterials();

  Status(u"Velmar Collada exporter: serialize geometries\u2026");
  std::unordered_map<std::uint64_t, std::size_t> indexOfKey;
  for (std::size_t i = 0; i < usedMaterials.size(); ++i) indexOfKey[usedMaterials[i]->key] = i;
  {
    // The pieces of all arrays of all geometries share the threads.
    std::vector<GeometryInfo*> list;
    list.reserve(geometries.size());
    for (auto& g : geometries) list.push_back(g.get());
    collada::SerializeGeometries(list);
  }
  for (std::size_t i = 0; i < geometries.size(); ++i) {
    GeometryInfo& g = *geometries[i];
    const scene::MaterialRecord* record = materials->Find(g.materialKey);
    auto it = indexOfKey.find(record->key);
    g.id = it != indexOfKey.end() ? materialIds[it->second] : collada::MaterialId(record->key);
    g.name = collada::XmlText(record->name);
  }

  if (exportNodes) {
    Status(u"Velmar Collada exporter: create nodes\u2026");
    nodes.reserve(bodies.size());
    collada::ParallelOrThrow(bodies.size(), [&](std::size_t i) { CreateNode(*bodies[i]); });
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
    std::string id = collada::MaterialId(key);
    if (taken.count(id) != 0) id = collada::LongMaterialId(key);
    for (int n = 1; taken.count(id) != 0; ++n) id = collada::LongMaterialId(key) + "-" + std::to_string(n);
    taken.insert(id);
    usedMaterials.push_back(record);
    materialIds.push_back(std::move(id));
  }
}

void ColladaExporter::MergeMaterial(const collada::PlannedGeometry& planned) {
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
  collada::ParallelOrThrow(group.size(), [&](std::size_t m) {
    scene::MeshInfo* mesh = group[m];
    if (!mesh->IsFinished() && !builder->FinishMesh(mesh, record)) return;
    if (mesh->vertexCount < 0 || mesh->indexCount < 0) return;
    usable[m] = 1;
    std::uint64_t copies = mesh->doubleSided ? 2 : 1;
    vertexTotal += copies * static_cast<std::uint64_t>(mesh->vertexCount);
    indexTotal += copies * static_cast<std::uint64_t>(mesh->indexCount);
  });
  const std::uint64_t V = vertexTotal.load(), I = indexTotal.load();
  if (V == 0) return;
  // The counts are 32-bit words of the buffer and of the document.
  if (V > 0xFFFFFFFFull || I > 0xFFFFFFFFull) {
    DBPrintf("Velmar Collada exporter: material %llX has too many vertices for one geometry; left out\n",
             static_cast<unsigned long long>(key));
    return;
  }

  auto geometry = std::make_unique<GeometryInfo>();
  geometry->materialKey = key;
  geometry->vertexDataWords = collada::MergedWords(V, I);
  geometry->vertexData.reset(new (std::nothrow) std::uint32_t[geometry->vertexDataWords]);
  if (geometry->vertexData == nullptr) return;

  std::uint32_t* words = geometry->vertexData.get();
  words[0] = static_cast<std::uint32_t>(V);
  words[1] = static_cast<std::uint32_t>(I);
  words[2] = 1;
  float* positions = reinterpret_cast<float*>(words + 3);
  float* normals = positions + 3 * V;
  float* uvs = normals + 3 * V;
  std::uint32_t* indices = reinterpret_cast<std::uint32_t*>(uvs + 2 * V);

  std::uint64_t vo = 0, io = 0;
  auto copy = [&](const scene::MeshInfo& mesh, bool back) {
    const std::size_t nv = static_cast<std::size_t>(mesh.vertexCount);
    const std::size_t ni = static_cast<std::size_t>(mesh.indexCount);
    // A mesh whose arrays are shorter than its counts contributes what its
    // counts promise as zeros rather than reading past its arrays.
    auto take = [](float* to, const std::vector<float>& from, std::size_t n) {
      std::size_t have = std::min(n, from.size());
      if (have > 0) std::memcpy(to, from.data(), have * sizeof(float));
      if (have < n) std::memset(to + have, 0, (n - have) * sizeof(float));
    };
    take(positions + 3 * vo, mesh.positions, 3 * nv);
    take(normals + 3 * vo, mesh.normals, 3 * nv);
    take(uvs + 2 * vo, mesh.texCoords, 2 * nv);
    const std::uint32_t base = static_cast<std::uint32_t>(vo);
    const std::size_t haveIndices = std::min(ni, mesh.indices.size());
    for (std::size_t j = 0; j < ni; ++j) {
      std::size_t from = back ? ni - 1 - j : j;
      std::uint32_t index = from < haveIndices ? mesh.indices[from] : 0;
      // An index outside the mesh would name another mesh's vertex.
      if (index >= nv) index = 0;
      indices[io + j] = index + base;
    }
    if (back) {
      float* n = normals + 3 * vo;
      for (std::size_t k = 0; k < 3 * nv; ++k) n[k] = -n[k];
    }
    vo += nv;
    io += ni;
  };
  for (std::size_t m = 0; m < group.size(); ++m) {
    if (!usable[m]) continue;
    scene::MeshInfo& mesh = *group[m];
    if (mesh.vertexCount == 0) continue;
    copy(mesh, false);
    if (mesh.doubleSided) copy(mesh, true);
    // Merged: the mesh's own arrays are not needed again in this export.
    mesh.positions = {};
    mesh.normals = {};
    mesh.texCoords = {};
    mesh.indices = {};
  }
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
  node->matrix = "1 0 0 " + collada::Fixed6(body.centre[0]) + " 0 1 0 " + collada::Fixed6(body.centre[2]) +
                 " 0 0 1 " + collada::Fixed6(body.centre[1]) + " 0 0 0 1";
  nodes.push_back(std::move(node));
}
