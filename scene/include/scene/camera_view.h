// The camera record the renderer follows: built from a copy of the host's
// 3D camera. Pure functions; the controller decides when to send.
#pragma once

#include "hostsdk/modeler.h"
#include "hostsdk/sight.h"
#include "livelink/layout.h"

namespace scene {

// The up vector (host frame, z up) for an eye, a target and a roll angle in
// degrees. Eye and target 1e-5 apart or closer look along (0, 1, 0); a view
// straight up or down takes (1, 0, 0) as its side direction.
ModelerAPI::Vector CameraUpVector(const ModelerAPI::Vertex& eye, const ModelerAPI::Vertex& target, double rollDegrees);

// Width over height of the drawing rectangle (its third and fourth members),
// 1 when either is 0.
float AspectFactor(const ShortRect& rect);

// The record of an active perspective camera, every other byte zero. Eye and
// target are lifted by verticalOffset (metres) as the scene's meshes are.
// The view angle is taken from the perspective data (null: 0).
CorvantaAPI::CameraViewData BuildCameraRecord(const Modeler::Camera& camera, float verticalOffset);

}  // namespace scene
