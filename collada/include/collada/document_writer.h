// The COLLADA 1.4.1 document: asset, images, effects, materials, geometries
// and the visual scene, written line by line with CR LF line ends, UTF-8
// without a byte-order mark.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "collada/geometry_info.h"
#include "collada/output_file.h"

namespace collada {

// One material as the document shows it.
struct DocumentMaterial {
  std::string id;    // identifier text, unique in the document (MaterialId)
  std::string name;  // XML-safe UTF-8 (XmlText)
  std::int32_t surfaceType = 0;
  std::uint32_t colour = 0xFFAAAAAA;        // diffuse, ARGB
  std::uint32_t secondColour = 0xFFAAAAAA;  // specular, ARGB
  float shine = 1.0f;
  float opacity = 1.0f;
};

struct DocumentContent {
  // In the order the document visits them (images, effects, materials).
  std::vector<DocumentMaterial> materials;
  // The image of material i relative to the document's folder, written or
  // copied by the call; empty when the material has no image or its image
  // could not be produced. Called once per material, in order, while the
  // image library is written. May be empty (no images at all).
  std::function<std::u16string(std::size_t)> exportImagePath;
  // Geometries, serialised or with the runs of meshes that outlive the
  // call, in the order of the geometry library and of the instances in the
  // scene.
  std::vector<const GeometryInfo*> geometries;
  std::vector<const NodeInfo*> nodes;
  bool exportNodes = true;
  // Status texts ("Velmar Collada exporter: processing assets…", ...), in
  // document order. May be empty. None says the export is complete: that is
  // known only once the document is in place.
  std::function<void(std::u16string_view)> status;
  std::time_t created = 0;  // local time written into the asset
};

// Writes the whole document to out. A write failure leaves out failed (the
// caller finds out at Commit); an exception from the image or status
// callback, or std::bad_alloc while formatting an array, leaves the writer
// at once.
//
// A material gets the texture sampler only when its image made it into the
// image library; a material whose image is missing keeps its colour, so the
// document never names an image it does not hold.
void WriteDocument(OutputFile& out, const DocumentContent& content);

}  // namespace collada
