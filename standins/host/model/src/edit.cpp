#include "hostmodel/edit.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "hostmodel/geometry.h"
#include "hostmodel/image.h"

namespace hostmodel {

namespace {

template <typename T>
void AddOnce(std::vector<T>& list, const T& value) {
  if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
}

// Generation ids and stamps only need to differ from what a reader saw last;
// 0 is reserved for "never built".
void BumpGenId(Element& e) {
  if (++e.genId == 0) e.genId = 1;
}
void BumpStamp(Material& m) { ++m.stamp; }

Result<ChangeSet> NoSuchElement(const Guid& g) {
  return Result<ChangeSet>::Fail("no element with GUID " + g.ToString());
}

Result<ChangeSet> BadMaterial(const Project& p, std::int32_t i) {
  if (i >= 1 && static_cast<std::size_t>(i) <= p.materials.size())
    return Result<ChangeSet>::Fail("material " + std::to_string(i) + " is deleted");
  return Result<ChangeSet>::Fail("material index " + std::to_string(i) + " out of range 1.." +
                                 std::to_string(p.materials.size()));
}

// In range and not deleted: a material an edit may use or change.
bool MaterialInRange(const Project& p, std::int32_t i) { return p.MaterialAt(i) != nullptr; }

Material& MaterialRef(Project& p, std::int32_t i) { return p.materials[static_cast<std::size_t>(i - 1)]; }

void Translate(Element& e, const Vec3& d) {
  for (Body& b : e.bodies) {
    for (Vec3& v : b.vertices) v = {v.x + d.x, v.y + d.y, v.z + d.z};
    // Every polygon's mapping origin moves along (planar textures travel
    // with the element; box mapping is anchored to the world by definition
    // and ignores it), each table entry once. Polygons of the default
    // mapping get a moved copy of it.
    for (TextureMapping& m : b.mappings) m.origin = {m.origin.x + d.x, m.origin.y + d.y, m.origin.z + d.z};
    std::int32_t moved = 0;
    for (Polygon& p : b.polygons)
      if (p.mappingIndex == 0) {
        if (moved == 0) {
          TextureMapping m;
          m.origin = d;
          b.mappings.push_back(m);
          moved = static_cast<std::int32_t>(b.mappings.size());
        }
        p.mappingIndex = moved;
      }
  }
}

bool FiniteVec(const Vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Deterministic, so that edits replay identically, and unique in the
// project. Starting the counter at the element count makes the first try
// succeed in practice (counting up from 1 would cost a linear search per
// taken number: cubic for many additions).
Guid FreshGuid(const Project& p, const std::string& seed) {
  for (std::uint64_t n = p.elements.size() + 1;; ++n) {
    Guid g = Guid::FromName(seed + "#" + std::to_string(n));
    if (p.FindElement(g) < 0) return g;
  }
}

}  // namespace

bool ChangeSet::Empty() const {
  return changedElements.empty() && addedElements.empty() && removedElements.empty() && changedMaterials.empty() &&
         addedMaterials.empty() && removedMaterials.empty() && addedTextures.empty();
}

void ChangeSet::Merge(const ChangeSet& o) {
  for (const auto& g : o.changedElements) AddOnce(changedElements, g);
  for (const auto& g : o.addedElements) AddOnce(addedElements, g);
  for (const auto& g : o.removedElements) AddOnce(removedElements, g);
  for (auto i : o.changedMaterials) AddOnce(changedMaterials, i);
  for (auto i : o.addedMaterials) AddOnce(addedMaterials, i);
  for (auto i : o.removedMaterials) AddOnce(removedMaterials, i);
  for (auto i : o.addedTextures) AddOnce(addedTextures, i);
}

Result<ChangeSet> MoveElement(Project& project, const Guid& element, const Vec3& offset) {
  std::int32_t i = project.FindElement(element);
  if (i < 0) return NoSuchElement(element);
  if (!FiniteVec(offset)) return Result<ChangeSet>::Fail("move offset is not a finite vector");
  ChangeSet cs;
  if (offset == Vec3{}) return Result<ChangeSet>::Ok(cs);
  Element& e = project.elements[static_cast<std::size_t>(i)];
  Translate(e, offset);
  BumpGenId(e);
  cs.changedElements.push_back(e.guid);
  return Result<ChangeSet>::Ok(cs);
}

Result<ChangeSet> CopyElement(Project& project, const Guid& element, const Vec3& offset) {
  std::int32_t i = project.FindElement(element);
  if (i < 0) return NoSuchElement(element);
  if (!FiniteVec(offset)) return Result<ChangeSet>::Fail("copy offset is not a finite vector");
  Element copy = project.elements[static_cast<std::size_t>(i)];
  copy.guid = FreshGuid(project, "copy of " + element.ToString());
  copy.genId = 1;
  copy.name += " (copy)";
  Translate(copy, offset);
  ChangeSet cs;
  cs.addedElements.push_back(copy.guid);
  project.elements.push_back(std::move(copy));
  return Result<ChangeSet>::Ok(cs);
}

Result<ChangeSet> DeleteElement(Project& project, const Guid& element) {
  std::int32_t i = project.FindElement(element);
  if (i < 0) return NoSuchElement(element);
  project.elements.erase(project.elements.begin() + i);
  ChangeSet cs;
  cs.removedElements.push_back(element);
  return Result<ChangeSet>::Ok(cs);
}

Result<ChangeSet> SetElementMaterial(Project& project, const Guid& element, std::int32_t materialIndex) {
  std::int32_t i = project.FindElement(element);
  if (i < 0) return NoSuchElement(element);
  if (!MaterialInRange(project, materialIndex)) return BadMaterial(project, materialIndex);
  Element& e = project.elements[static_cast<std::size_t>(i)];
  bool changed = false;
  for (Body& b : e.bodies)
    for (Polygon& p : b.polygons)
      if (p.materialIndex != materialIndex) {
        p.materialIndex = materialIndex;
        changed = true;
      }
  ChangeSet cs;
  if (changed) {
    BumpGenId(e);
    cs.changedElements.push_back(e.guid);
  }
  return Result<ChangeSet>::Ok(cs);
}

// Sets one field of a material; the stamp is bumped only when the value
// really changes, as the host does, so a no-op edit reports nothing.
template <typename Field, typename Value>
Result<ChangeSet> ChangeMaterialField(Project& project, std::int32_t materialIndex, Field Material::*field,
                                      const Value& value) {
  Material& m = MaterialRef(project, materialIndex);
  ChangeSet cs;
  if (m.*field == value) return Result<ChangeSet>::Ok(cs);
  m.*field = value;
  BumpStamp(m);
  cs.changedMaterials.push_back(materialIndex);
  return Result<ChangeSet>::Ok(cs);
}

Result<ChangeSet> SetMaterialColor(Project& project, std::int32_t materialIndex, const ColorRGB& color) {
  if (!MaterialInRange(project, materialIndex)) return BadMaterial(project, materialIndex);
  for (double c : {color.r, color.g, color.b})
    if (!(c >= 0.0 && c <= 1.0)) return Result<ChangeSet>::Fail("colour components must lie in 0..1");
  return ChangeMaterialField(project, materialIndex, &Material::surfaceColor, color);
}

Result<ChangeSet> SetMaterialTransparency(Project& project, std::int32_t materialIndex, std::int32_t percent) {
  if (!MaterialInRange(project, materialIndex)) return BadMaterial(project, materialIndex);
  if (percent < 0 || percent > 100)
    return Result<ChangeSet>::Fail("transparency " + std::to_string(percent) + " outside 0..100");
  return ChangeMaterialField(project, materialIndex, &Material::transparency, static_cast<std::int16_t>(percent));
}

Result<ChangeSet> SetMaterialTexture(Project& project, std::int32_t materialIndex, std::int32_t textureIndex) {
  if (!MaterialInRange(project, materialIndex)) return BadMaterial(project, materialIndex);
  if (textureIndex < 0 || static_cast<std::size_t>(textureIndex) > project.textures.size())
    return Result<ChangeSet>::Fail("texture index " + std::to_string(textureIndex) + " out of range 0.." +
                                   std::to_string(project.textures.size()));
  return ChangeMaterialField(project, materialIndex, &Material::textureIndex, textureIndex);
}

Result<ChangeSet> SetMaterialTextureFile(Project& project, std::int32_t materialIndex, const std::string& imagePath,
                                         double xSize, double ySize) {
  if (!MaterialInRange(project, materialIndex)) return BadMaterial(project, materialIndex);
  if (!(xSize > 0) || !(ySize > 0) || !std::isfinite(xSize) || !std::isfinite(ySize))
    return Result<ChangeSet>::Fail("texture size must be positive");
  auto decoded = DecodeImageFile(imagePath);
  if (!decoded) return Result<ChangeSet>::Fail(decoded.error());
  Texture t = std::move(decoded).value();
  t.xSize = xSize;
  t.ySize = ySize;
  ChangeSet cs;
  // The same image at the same size is the same texture: reuse its index.
  std::int32_t index = 0;
  for (std::size_t i = 0; i < project.textures.size(); ++i)
    if (project.textures[i] == t) index = static_cast<std::int32_t>(i + 1);
  if (index == 0) {
    project.textures.push_back(std::move(t));
    index = static_cast<std::int32_t>(project.textures.size());
    cs.addedTextures.push_back(index);
  }
  auto r = SetMaterialTexture(project, materialIndex, index);
  cs.Merge(r.value());
  return Result<ChangeSet>::Ok(cs);
}

Result<ChangeSet> DeleteMaterial(Project& project, std::int32_t materialIndex, std::int32_t replacement) {
  if (!MaterialInRange(project, materialIndex)) return BadMaterial(project, materialIndex);
  if (replacement == materialIndex)
    return Result<ChangeSet>::Fail("material " + std::to_string(materialIndex) + " cannot replace itself");
  const bool keepIndex = replacement == kNoReplacement;
  if (keepIndex) replacement = materialIndex;
  if (replacement != 0 && !MaterialInRange(project, replacement)) return BadMaterial(project, replacement);
  if (replacement == 0) {
    for (std::int32_t i = 1; i <= static_cast<std::int32_t>(project.materials.size()) && replacement == 0; ++i)
      if (i != materialIndex && MaterialInRange(project, i)) replacement = i;
  }
  ChangeSet cs;
  std::vector<Element*> users;
  for (Element& e : project.elements) {
    bool uses = false;
    for (const Body& b : e.bodies)
      for (const Polygon& p : b.polygons) uses = uses || p.materialIndex == materialIndex;
    if (uses) users.push_back(&e);
  }
  if (!users.empty() && replacement == 0)
    return Result<ChangeSet>::Fail("material " + std::to_string(materialIndex) +
                                   " is in use and no other material is left to replace it");
  for (Element* e : users) {
    for (Body& b : e->bodies)
      for (Polygon& p : b.polygons)
        if (p.materialIndex == materialIndex) p.materialIndex = replacement;
    BumpGenId(*e);
    cs.changedElements.push_back(e->guid);
  }
  Material& m = MaterialRef(project, materialIndex);
  m.deleted = true;
  BumpStamp(m);
  cs.removedMaterials.push_back(materialIndex);
  return Result<ChangeSet>::Ok(cs);
}

Result<ChangeSet> AddBox(Project& project, const Vec3& lo, const Vec3& hi, std::int32_t materialIndex,
                         const std::string& name) {
  if (!MaterialInRange(project, materialIndex)) return BadMaterial(project, materialIndex);
  if (!FiniteVec(lo) || !FiniteVec(hi) || !(lo.x < hi.x) || !(lo.y < hi.y) || !(lo.z < hi.z))
    return Result<ChangeSet>::Fail("a box needs a positive extent along x, y and z");
  Element e;
  e.guid = FreshGuid(project, "box");
  e.genId = 1;
  e.name = name;
  e.bodies.push_back(MakeBox(lo, hi, materialIndex));
  ChangeSet cs;
  cs.addedElements.push_back(e.guid);
  project.elements.push_back(std::move(e));
  return Result<ChangeSet>::Ok(cs);
}

ChangeSet ApplyReload(Project& project, Project reloaded) {
  ChangeSet cs;

  // Textures: identity is the image content; a known image keeps its index.
  std::vector<std::int32_t> texMap(reloaded.textures.size() + 1, 0);
  std::vector<bool> texChanged(project.textures.size() + 1, false);
  for (std::size_t i = 0; i < reloaded.textures.size(); ++i) {
    Texture& t = reloaded.textures[i];
    std::int32_t found = 0;
    for (std::size_t k = 0; k < project.textures.size() && !found; ++k)
      if (project.textures[k].fingerprint == t.fingerprint) found = static_cast<std::int32_t>(k + 1);
    if (found) {
      Texture& old = project.textures[static_cast<std::size_t>(found - 1)];
      if (!(old == t)) {
        // Same pixels; a new size or flags changes what the materials using
        // it show, a new name or file location alone does not.
        Texture probe = t;
        probe.name = old.name;
        probe.filePath = old.filePath;
        texChanged[static_cast<std::size_t>(found)] = texChanged[static_cast<std::size_t>(found)] || !(probe == old);
        old = std::move(t);
      }
    } else {
      project.textures.push_back(std::move(t));
      found = static_cast<std::int32_t>(project.textures.size());
      cs.addedTextures.push_back(found);
      texChanged.push_back(false);
    }
    texMap[i + 1] = found;
  }
  auto mapTex = [&](std::int32_t i) {
    return i >= 1 && static_cast<std::size_t>(i) < texMap.size() ? texMap[static_cast<std::size_t>(i)] : 0;
  };

  // Materials: identity is the GUID; host attributes never disappear, so a
  // material gone from the file stays (unused) and indices stay stable.
  std::vector<std::int32_t> matMap(reloaded.materials.size() + 1, 0);
  for (std::size_t i = 0; i < reloaded.materials.size(); ++i) {
    Material m = std::move(reloaded.materials[i]);
    m.textureIndex = mapTex(m.textureIndex);
    std::int32_t found = 0;
    for (std::size_t k = 0; k < project.materials.size() && !found; ++k)
      if (project.materials[k].guid == m.guid) found = static_cast<std::int32_t>(k + 1);
    if (found) {
      Material& old = project.materials[static_cast<std::size_t>(found - 1)];
      Material probe = m;
      probe.stamp = old.stamp;
      bool textureResized = old.textureIndex > 0 && texChanged[static_cast<std::size_t>(old.textureIndex)];
      if (!(probe == old) || textureResized) {
        std::int64_t stamp = m.stamp != old.stamp ? m.stamp : old.stamp + 1;
        old = std::move(m);
        old.stamp = stamp;
        cs.changedMaterials.push_back(found);
      }
    } else {
      project.materials.push_back(std::move(m));
      found = static_cast<std::int32_t>(project.materials.size());
      cs.addedMaterials.push_back(found);
    }
    matMap[i + 1] = found;
  }

  // Elements: identity is the GUID; equal content keeps the generation id.
  std::map<Guid, std::size_t> known;
  for (std::size_t i = 0; i < project.elements.size(); ++i) known.emplace(project.elements[i].guid, i);
  std::set<Guid> kept;
  std::vector<Element> result;
  result.reserve(reloaded.elements.size());
  for (Element& e : reloaded.elements) {
    kept.insert(e.guid);
    for (Body& b : e.bodies)
      for (Polygon& p : b.polygons) {
        p.materialIndex = p.materialIndex >= 1 && static_cast<std::size_t>(p.materialIndex) < matMap.size()
                              ? matMap[static_cast<std::size_t>(p.materialIndex)]
                              : 0;
        p.textureIndex = mapTex(p.textureIndex);
      }
    auto found = known.find(e.guid);
    if (found == known.end()) {
      if (e.genId == 0) e.genId = 1;
      cs.addedElements.push_back(e.guid);
      result.push_back(std::move(e));
      continue;
    }
    Element& old = project.elements[found->second];
    if (old.bodies == e.bodies && old.name == e.name) {
      result.push_back(std::move(old));
      continue;
    }
    if (e.genId == old.genId || e.genId == 0) {
      e.genId = old.genId;
      BumpGenId(e);
    }
    cs.changedElements.push_back(e.guid);
    result.push_back(std::move(e));
  }
  for (const Element& old : project.elements)
    if (!kept.count(old.guid)) cs.removedElements.push_back(old.guid);
  project.elements = std::move(result);
  return cs;
}

}  // namespace hostmodel
