#include "velmar_output.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "base/utf.h"
#include "gltf_writer.h"
#include "livelink/canonical_bytes.h"
#include "picture.h"
#include "surface_digest.h"
#include "terminal_text.h"

using nlohmann::json;

namespace velmar {

namespace {

json BoundsJson(const Bounds& bounds) { return {{"min", bounds.min}, {"max", bounds.max}}; }

json SurfaceJson(const Surface& s) {
  char colour[9];
  std::snprintf(colour, sizeof colour, "%08X", s.colour);
  json value = {{"slot", s.slot},
                {"id", s.recordId},
                {"name", s.name},
                {"surfaceType", s.surfaceType},
                {"colour", colour},
                {"opacity", s.opacity},
                {"texture", s.texture ? json(s.texture->source) : json()},
                {"vertices", s.geometry ? s.geometry->vertexCount() : 0},
                {"triangles", s.geometry ? s.geometry->triangleCount() : 0},
                {"geometryDigest", DigestText(GeometryDigest(s.geometry.get()))}};
  if (s.geometry && !s.geometry->bounds.empty) value["bounds"] = BoundsJson(s.geometry->bounds);
  return value;
}

}  // namespace

json SceneSummary(const Scene& scene) {
  const Bounds bounds = scene.ComputeBounds();
  json value = {{"surfaces", scene.surfaces.size()},
                {"vertices", scene.VertexCount()},
                {"triangles", scene.TriangleCount()},
                {"textures", scene.TextureCount()},
                {"cameraFollowed", scene.camera.followed}};
  if (!bounds.empty) value["bounds"] = BoundsJson(bounds);
  if (!scene.status.empty()) value["status"] = scene.status;
  return value;
}

json StatsJson(const UpdateStats& stats) {
  return {{"locked", stats.locked},
          {"changeCount", stats.changeCount},
          {"slots", stats.slotsScanned},
          {"added", stats.surfacesAdded},
          {"removed", stats.surfacesRemoved},
          {"parameters", stats.parametersRead},
          {"geometries", stats.geometriesRead},
          {"textures", stats.texturesRead},
          {"geometryBytesChanged", stats.geometryBytesChanged},
          {"geometriesCopied", stats.geometriesCopied},
          {"camera", stats.cameraRead},
          {"status", stats.statusRead},
          {"problems", stats.problems}};
}

json UpdateContentJson(const Scene& scene, const UpdateStats& stats) {
  json surfaces = json::array();
  // Both in slot order.
  auto read = stats.surfacesRead.begin();
  for (const Surface& surface : scene.surfaces) {
    while (read != stats.surfacesRead.end() && *read < surface.slot) ++read;
    if (read == stats.surfacesRead.end()) break;
    if (*read == surface.slot) surfaces.push_back(SurfaceJson(surface));
  }
  json value = {{"surfaces", std::move(surfaces)}, {"removed", stats.surfacesGone}};
  if (stats.cameraRead) {
    const Camera& c = scene.camera;
    value["camera"] = {{"followed", c.followed}, {"kind", c.kind},         {"fieldOfView", c.fieldOfView},
                       {"position", c.position}, {"backward", c.backward}, {"up", c.up}};
  }
  return value;
}

void EmitProblems(Reporter& reporter, const std::vector<Problem>& problems) {
  for (const Problem& p : problems) {
    reporter.Emit(
        "problem",
        {{"record", p.record}, {"slot", p.slot}, {"id", p.recordId}, {"field", p.field}, {"message", p.message}},
        "problem: " + p.record + " record " + std::to_string(p.recordId) + " (slot " + std::to_string(p.slot) + "), " +
            Printable(p.field) + ": " + Printable(p.message));
  }
}

bool EmitPicture(Reporter& reporter, const Scene& scene, const std::string& path, int width, int height, bool framing) {
  const auto started = std::chrono::steady_clock::now();
  PictureOptions options;
  options.width = width;
  options.height = height;
  options.followCamera = !framing;
  PictureInfo info;
  const Image picture = DrawScene(scene, options, &info);
  const double drawMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  std::string error;
  if (!WritePng(path, picture, &error)) {
    reporter.Error(error);
    return false;
  }
  char human[256];
  std::snprintf(human, sizeof human, "picture %s (%dx%d, %s camera, %zu triangles, %.1f ms)", Printable(path).c_str(),
                picture.width, picture.height, info.followed ? "followed" : "framing", info.trianglesDrawn, drawMs);
  json fields = {{"path", path},
                 {"width", picture.width},
                 {"height", picture.height},
                 {"camera", info.followed ? "followed" : "framing"},
                 {"triangles", info.trianglesDrawn},
                 {"drawMs", drawMs}};
  if (!info.cameraNote.empty()) fields["cameraNote"] = info.cameraNote;
  reporter.Emit("picture", std::move(fields), human);
  return true;
}

bool EmitGltf(Reporter& reporter, const Scene& scene, const std::string& path) {
  std::string error;
  GltfSummary summary;
  if (!WriteGlb(scene, path, &error, &summary)) {
    reporter.Error(error);
    return false;
  }
  reporter.Emit("gltf",
                {{"path", path},
                 {"meshes", summary.meshes},
                 {"vertices", summary.vertices},
                 {"triangles", summary.triangles},
                 {"images", summary.images}},
                "glTF " + Printable(path) + ": " + std::to_string(summary.meshes) + " meshes, " +
                    std::to_string(summary.triangles) + " triangles, " + std::to_string(summary.images) + " images");
  return true;
}

bool EmitCanonical(Reporter& reporter, CorvantaAPI::LiveConnection& connection, const std::string& path) {
  const CorvantaAPI::CanonicalScene scene = CorvantaAPI::ReadCanonicalScene(connection);
  const std::string bytes = CorvantaAPI::EncodeCanonicalScene(scene);
  // A path of the user's text on every platform (UTF-16 on Windows).
  const std::filesystem::path file(base::FromUtf8(path));
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out || !out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush()) {
    reporter.Error("cannot write " + path);
    return false;
  }
  nlohmann::json problems = nlohmann::json::array();
  for (const auto& problem : scene.problems) problems.push_back(problem);
  reporter.Emit("canonical",
                {{"path", path},
                 {"surfaces", scene.surfaces.size()},
                 {"triangles", scene.TriangleCount()},
                 {"bytes", bytes.size()},
                 {"problems", std::move(problems)}},
                "canonical form " + Printable(path) + ": " + std::to_string(scene.surfaces.size()) + " surfaces, " +
                    std::to_string(scene.TriangleCount()) + " triangles" +
                    (scene.problems.empty() ? "" : ", " + std::to_string(scene.problems.size()) + " problems"));
  return true;
}

}  // namespace velmar
