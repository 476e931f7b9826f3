// What velmar tells about the scene it mirrors, and the files it makes of
// it: summaries and problems as events, pictures, glTF files.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "livelink/live_connection.h"
#include "scene.h"
#include "scene_mirror.h"
#include "surface_digest.h"
#include "velmar_report.h"

namespace velmar {

// Surfaces, vertices, triangles, textures, the bounding box in the
// renderer's frame, whether the camera is followed, the status map.
nlohmann::json SceneSummary(const Scene& scene);
nlohmann::json StatsJson(const UpdateStats& stats);

// What one update brought, by content, for a script to tell which update
// carries which edit: "surfaces", each surface the update added or re-read
// (slot, id, name, surfaceType, colour as "AARRGGBB", opacity, texture
// source or null, vertices, triangles, bounds when it has triangles,
// geometryDigest: GeometryDigest as hex); "removed", the record ids of the
// surfaces that went; and "camera" (followed, kind, fieldOfView, position,
// backward, up) when the camera record was read. A digest costs a sum
// over the surface's pieces, which its reader keeps current.
nlohmann::json UpdateContentJson(const Scene& scene, const UpdateStats& stats);

// One "problem" event per problem (record, slot, field, message).
void EmitProblems(Reporter& reporter, const std::vector<Problem>& problems);

// Draws the scene to a PNG file and emits "picture" (path, camera, timing);
// on failure reports an error and returns false.
bool EmitPicture(Reporter& reporter, const Scene& scene, const std::string& path, int width, int height, bool framing);

// Writes the scene as binary glTF and emits "gltf"; false on failure.
bool EmitGltf(Reporter& reporter, const Scene& scene, const std::string& path);

// Reads the link's canonical form (under its lock), writes its bytes to
// path and emits "canonical" (path, surfaces, triangles, bytes, problems);
// false with an error when the file cannot be written.
bool EmitCanonical(Reporter& reporter, CorvantaAPI::LiveConnection& connection, const std::string& path);

}  // namespace velmar
