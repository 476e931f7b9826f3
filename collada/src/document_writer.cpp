#include "collada/document_writer.h"

#include <string>

#include "collada/document_text.h"
#include "collada/geometry_text.h"
#include "collada/number_text.h"

namespace collada {
namespace {

constexpr std::string_view kNamespace = "http://www.collada.org/2005/11/COLLADASchema";

// Lines given with "\n" ends; each reaches the file with CR LF.
void Lines(OutputFile& out, std::string_view text) {
  while (!text.empty()) {
    auto end = text.find('\n');
    if (end == std::string_view::npos) end = text.size();
    out.Line(text.substr(0, end));
    text.remove_prefix(end < text.size() ? end + 1 : end);
  }
}

// Writes the pieces in order as one line.
template <typename... Pieces>
void Line(OutputFile& out, const Pieces&... pieces) {
  (out.Write(std::string_view(pieces)), ...);
  out.Write("\r\n");
}

std::string Decimal(std::uint64_t n) { return std::to_string(n); }

void Status(const DocumentContent& content, std::u16string_view text) {
  if (content.status) content.status(text);
}

constexpr std::string_view kMarkerEffect =
    "\t<effect id=\"effect-velmarNode\" name=\"Velmar Node Material\">\n"
    "\t\t<profile_COMMON>\n"
    "\t\t\t<technique sid=\"common\">\n"
    "\t\t\t\t<phong>\n"
    "\t\t\t\t\t<ambient>\n"
    "\t\t\t\t\t\t<color>0.1 0.1 0.1 1.0</color>\n"
    "\t\t\t\t\t</ambient>\n"
    "\t\t\t\t\t<diffuse>\n"
    "\t\t\t\t\t\t<color>1.0 1.0 1.0 1.0</color>\n"
    "\t\t\t\t\t</diffuse>\n"
    "\t\t\t\t\t<transparent opaque=\"A_ONE\">\n"
    "\t\t\t\t\t\t<color>0.01 0.01 0.01 0.01</color>\n"
    "\t\t\t\t\t</transparent>\n"
    "\t\t\t\t\t<transparency>\n"
    "\t\t\t\t\t\t<float>1</float>\n"
    "\t\t\t\t\t</transparency>\n"
    "\t\t\t\t</phong>\n"
    "\t\t\t</technique>\n"
    "\t\t</profile_COMMON>\n"
    "\t\t<extra>\n"
    "\t\t\t<technique profile=\"VELMAR\">\n"
    "\t\t\t\t<surface_type>invisible</surface_type>\n"
    "\t\t\t</technique>\n"
    "\t\t</extra>\n"
    "\t</effect>\n";

constexpr std::string_view kMarkerMaterial =
    "\t<material id=\"material-velmarNode\" name=\"Velmar Node Material\">\n"
    "\t\t<instance_effect url=\"#effect-velmarNode\" />\n"
    "\t</material>\n";

constexpr std::string_view kMarkerGeometry =
    "\t<geometry id=\"velmarNode\" name=\"Velmar Node Geometry\">\n"
    "\t\t<mesh>\n"
    "\t\t\t<source id=\"velmarNode-positions\">\n"
    "\t\t\t\t<float_array id=\"velmarNode-positions-array\" count=\"9\">0 0 -0.01 0.01 0 0.01 -0.01 0 "
    "0.01</float_array>\n"
    "\t\t\t\t<technique_common>\n"
    "\t\t\t\t\t<accessor source=\"#velmarNode-positions-array\" count=\"3\" stride=\"3\">\n"
    "\t\t\t\t\t\t<param name=\"X\" type=\"float\"/>\n"
    "\t\t\t\t\t\t<param name=\"Y\" type=\"float\"/>\n"
    "\t\t\t\t\t\t<param name=\"Z\" type=\"float\"/>\n"
    "\t\t\t\t\t</accessor>\n"
    "\t\t\t\t</technique_common>\n"
    "\t\t\t</source>\n"
    "\t\t\t<source id=\"velmarNode-normals\">\n"
    "\t\t\t\t<float_array id=\"velmarNode-normals-array\" count=\"9\">0 1 0 0 1 0 0 1 0</float_array>\n"
    "\t\t\t\t<technique_common>\n"
    "\t\t\t\t\t<accessor source=\"#velmarNode-normals-array\" count=\"3\" stride=\"3\">\n"
    "\t\t\t\t\t\t<param name=\"X\" type=\"float\"/>\n"
    "\t\t\t\t\t\t<param name=\"Y\" type=\"float\"/>\n"
    "\t\t\t\t\t\t<param name=\"Z\" type=\"float\"/>\n"
    "\t\t\t\t\t</accessor>\n"
    "\t\t\t\t</technique_common>\n"
    "\t\t\t</source>\n"
    "\t\t\t<source id=\"velmarNode-uv\">\n"
    "\t\t\t\t<float_array id=\"velmarNode-uv-array\" count=\"6\">0 0 1 0 0 0</float_array>\n"
    "\t\t\t\t<technique_common>\n"
    "\t\t\t\t\t<accessor source=\"#velmarNode-uv-array\" count=\"3\" stride=\"2\">\n"
    "\t\t\t\t\t\t<param name=\"S\" type=\"float\"/>\n"
    "\t\t\t\t\t\t<param name=\"T\" type=\"float\"/>\n"
    "\t\t\t\t\t</accessor>\n"
    "\t\t\t\t</technique_common>\n"
    "\t\t\t</source>\n"
    "\t\t\t<vertices id=\"velmarNode-vertices\">\n"
    "\t\t\t\t<input semantic=\"POSITION\" source=\"#velmarNode-positions\"/>\n"
    "\t\t\t</vertices>\n"
    "\t\t\t<triangles count=\"1\" material=\"material-velmarNode\">\n"
    "\t\t\t\t<input offset=\"0\" semantic=\"VERTEX\" source=\"#velmarNode-vertices\"/>\n"
    "\t\t\t\t<input offset=\"0\" semantic=\"NORMAL\" source=\"#velmarNode-normals\"/>\n"
    "\t\t\t\t<input offset=\"0\" semantic=\"TEXCOORD\" source=\"#velmarNode-uv\" set=\"0\"/>\n"
    "\t\t\t\t<p>0 1 2</p>\n"
    "\t\t\t</triangles>\n"
    "\t\t</mesh>\n"
    "\t</geometry>\n";

constexpr std::string_view kMarkerInstance =
    "\t<instance_geometry url=\"#velmarNode\">\n"
    "\t\t<bind_material>\n"
    "\t\t\t<technique_common>\n"
    "\t\t\t\t<instance_material target=\"#material-velmarNode\" symbol=\"material-velmarNode\" />\n"
    "\t\t\t</technique_common>\n"
    "\t\t</bind_material>\n"
    "\t</instance_geometry>\n";

void WriteAsset(OutputFile& out, const DocumentContent& content) {
  Status(content, u"Velmar Collada exporter: processing assets\u2026");
  Lines(out,
        "<asset>\n"
        "<contributor>\n"
        "<authoring_tool>ArchiCAD COLLADA exporter ver 3.50.904 for Velmar.</authoring_tool>\n"
        "</contributor>\n");
  // The asctime text ends with its own line feed, which becomes CR LF like
  // every other; the closing tag therefore stands on the next line.
  std::string date = AsctimeText(content.created);
  if (!date.empty() && date.back() == '\n') date.pop_back();
  Line(out, "<created>", date);
  Lines(out,
        "</created>\n"
        "<unit name=\"meter\" meter=\"1.00\"/>\n"
        "<up_axis>Z_UP</up_axis>\n"
        "</asset>\n");
}

// Returns, per material, whether its image is in the library.
std::vector<bool> WriteImages(OutputFile& out, const DocumentContent& content) {
  Status(content, u"Velmar Collada exporter: processing images\u2026");
  std::vector<bool> hasImage(content.materials.size(), false);
  out.Line("<library_images>");
  for (std::size_t i = 0; i < content.materials.size(); ++i) {
    if (!content.exportImagePath) break;
    std::u16string path = content.exportImagePath(i);
    if (path.empty()) continue;
    const std::string& id = content.materials[i].id;
    std::string reference = ImageReference(path);
    Line(out, "<image id=\"image-", id, "\" name=\"image-", id, "\">");
    Line(out, "<init_from>", reference, "</init_from>");
    out.Line("</image>");
    hasImage[i] = true;
  }
  out.Line("</library_images>");
  return hasImage;
}

void WriteEffect(OutputFile& out, const DocumentMaterial& m, bool textured) {
  const std::string& id = m.id;
  Line(out, "<effect id=\"effect-", id, "\" name=\"", m.name, "\">");
  out.Line("<profile_COMMON>");
  if (textured) {
    Line(out, " <newparam sid=\"surface-", id, "\">");
    // The schema requires the surface's type; without it the document is
    // not valid COLLADA 1.4.1.
    out.Line("  <surface type=\"2D\">");
    Line(out, "   <init_from>image-", id, "</init_from>");
    out.Line("  </surface>");
    out.Line(" </newparam>");
    Line(out, " <newparam sid=\"sampler2d-", id, "\">");
    out.Line("  <sampler2D>");
    Line(out, "   <source>surface-", id, "</source>");
    out.Line("  </sampler2D>");
    out.Line(" </newparam>");
  }
  Lines(out,
        "<technique sid=\"common\">\n"
        "<phong>\n"
        "<ambient>\n"
        "<color>0.1 0.1 0.1 1.0</color>\n"
        "</ambient>\n"
        "<diffuse>\n");
  if (textured) {
    Line(out, "<texture texture=\"sampler2d-", id, "\" texcoord=\"CHANNEL0\"/>");
  } else {
    Line(out, "<color>", FormatColor(m.colour, m.opacity), "</color>");
  }
  out.Line("</diffuse>");
  out.Line("<specular>");
  Line(out, "<color>", FormatColor(m.secondColour, 1.0f), "</color>");
  out.Line("</specular>");
  out.Line("<shininess>");
  Line(out, "<float>", Fixed3(m.shine), "</float>");
  Lines(out,
        "</shininess>\n"
        "<reflective>\n"
        "<color>0 0 0 1.0</color>\n"
        "</reflective>\n"
        "<reflectivity>\n"
        "<float>1.0</float>\n"
        "</reflectivity>\n"
        "<transparent opaque=\"A_ONE\">\n");
  std::string o = Fixed3(m.opacity);
  Line(out, "<color>", o, " ", o, " ", o, " ", o, "</color>");
  Lines(out,
        "</transparent>\n"
        "<transparency>\n"
        "<float>1</float>\n"
        "</transparency>\n"
        "</phong>\n"
        "</technique>\n"
        "</profile_COMMON>\n");
  std::string_view surface = SurfaceTypeName(m.surfaceType);
  if (!surface.empty()) {
    out.Line("<extra>");
    out.Line("<technique profile=\"VELMAR\">");
    Line(out, "<surface_type>", surface, "</surface_type>");
    out.Line("</technique>");
    out.Line("</extra>");
  }
  out.Line("</effect>");
}

void WriteEffects(OutputFile& out, const DocumentContent& content, const std::vector<bool>& hasImage) {
  Status(content, u"Velmar Collada exporter: processing effects\u2026");
  out.Line("<library_effects>");
  for (std::size_t i = 0; i < content.materials.size(); ++i) WriteEffect(out, content.materials[i], hasImage[i]);
  if (content.exportNodes) Lines(out, kMarkerEffect);
  out.Line("</library_effects>");
}

void WriteMaterials(OutputFile& out, const DocumentContent& content) {
  Status(content, u"Velmar Collada exporter: processing materials\u2026");
  out.Line("<library_materials>");
  for (const DocumentMaterial& m : content.materials) {
    Line(out, "<material id=\"material-", m.id, "\" name=\"", m.name, "\">");
    Line(out, "<instance_effect url=\"#effect-", m.id, "\" />");
    out.Line("</material>");
  }
  if (content.exportNodes) Lines(out, kMarkerMaterial);
  out.Line("</library_materials>");
}

void WriteSource(OutputFile& out, const std::string& id, std::string_view kind, std::uint32_t vertices, int stride,
                 std::string_view params) {
  Line(out, "<technique_common>");
  Line(out, "<accessor source=\"#", id, "-", kind, "-array\" count=\"", Decimal(vertices), "\" stride=\"",
       Decimal(static_cast<std::uint64_t>(stride)), "\">");
  Lines(out, params);
  out.Line("</accessor>");
  out.Line("</technique_common>");
  out.Line("</source>");
}

constexpr std::string_view kXyzParams =
    "<param name=\"X\" type=\"float\"/>\n"
    "<param name=\"Y\" type=\"float\"/>\n"
    "<param name=\"Z\" type=\"float\"/>\n";
constexpr std::string_view kStParams =
    "<param name=\"S\" type=\"float\"/>\n"
    "<param name=\"T\" type=\"float\"/>\n";

void WriteGeometry(OutputFile& out, ArrayWriter& arrays, const GeometryInfo& g) {
  const std::string& id = g.id;
  std::uint64_t v = g.vertexCount;
  Line(out, "<geometry id=\"", id, "\" name=\"", g.name, "\">");
  out.Line("<mesh>");
  Line(out, "<source id=\"", id, "-positions\">");
  Line(out, "<float_array id=\"", id, "-positions-array\" count=\"", Decimal(3 * v), "\">");
  arrays.Write(out, g, GeometryArray::kPositions);
  out.Line("</float_array>");
  WriteSource(out, id, "positions", g.vertexCount, 3, kXyzParams);
  Line(out, "<source id=\"", id, "-normals\">");
  Line(out, "<float_array id=\"", id, "-normals-array\" count=\"", Decimal(3 * v), "\">");
  arrays.Write(out, g, GeometryArray::kNormals);
  out.Line("");
  out.Line("</float_array>");
  WriteSource(out, id, "normals", g.vertexCount, 3, kXyzParams);
  Line(out, "<source id=\"", id, "-uv\">");
  Line(out, "<float_array id=\"", id, "-uv-array\" count=\"", Decimal(2 * v), "\">");
  arrays.Write(out, g, GeometryArray::kTexcoords);
  out.Line("</float_array>");
  WriteSource(out, id, "uv", g.vertexCount, 2, kStParams);
  Line(out, "<vertices id=\"", id, "-vertices\">");
  Line(out, "<input semantic=\"POSITION\" source=\"#", id, "-positions\"/>");
  out.Line("</vertices>");
  Line(out, "<triangles count=\"", Decimal(g.indexCount / 3), "\" material=\"material-", id, "\">");
  Line(out, "<input offset=\"0\" semantic=\"VERTEX\" source=\"#", id, "-vertices\"/>");
  Line(out, "<input offset=\"0\" semantic=\"NORMAL\" source=\"#", id, "-normals\"/>");
  Line(out, "<input offset=\"0\" semantic=\"TEXCOORD\" source=\"#", id, "-uv\" set=\"0\"/>");
  out.Write("<p>");
  arrays.Write(out, g, GeometryArray::kIndices);
  out.Line("</p>");
  out.Line("</triangles>");
  out.Line("</mesh>");
  out.Line("</geometry>");
}

void WriteGeometries(OutputFile& out, const DocumentContent& content) {
  Status(content, u"Velmar Collada exporter: processing geometries\u2026");
  out.Line("<library_geometries>");
  ArrayWriter arrays;
  for (const GeometryInfo* g : content.geometries) WriteGeometry(out, arrays, *g);
  if (content.exportNodes) Lines(out, kMarkerGeometry);
  out.Line("</library_geometries>");
}

void WriteVisualScenes(OutputFile& out, const DocumentContent& content) {
  Status(content, u"Velmar Collada exporter: processing nodes\u2026");
  Lines(out,
        "<library_visual_scenes>\n"
        "<visual_scene id=\"ArchiCAD_project\">\n"
        "<node id=\"node-velmarModel\" name=\"geometry-velmarModel\">\n");
  for (const GeometryInfo* g : content.geometries) {
    Line(out, "<instance_geometry url=\"#", g->id, "\">");
    out.Line("<bind_material>");
    out.Line("<technique_common>");
    Line(out, "<instance_material target=\"#material-", g->id, "\" symbol=\"material-", g->id, "\" >");
    Lines(out,
          "</instance_material>\n"
          "</technique_common>\n"
          "</bind_material>\n"
          "</instance_geometry>\n");
  }
  Lines(out,
        "<extra>\n"
        "<technique profile=\"VELMAR\">\n"
        "<flatten_hierarchy>true</flatten_hierarchy>\n"
        "</technique>\n"
        "</extra>\n"
        "</node>\n");
  if (content.exportNodes) {
    for (const NodeInfo* n : content.nodes) {
      Line(out, "<node id=\"node-", n->name, "\" name=\"geometry-", n->name, "\">");
      Line(out, "<matrix>", n->matrix, "</matrix>");
      Lines(out, kMarkerInstance);
      out.Line("</node>");
    }
  }
  Lines(out,
        "</visual_scene>\n"
        "</library_visual_scenes>\n"
        "<scene>\n"
        "<instance_visual_scene url=\"#ArchiCAD_project\"/>\n"
        "</scene>\n");
}

}  // namespace

void WriteDocument(OutputFile& out, const DocumentContent& content) {
  out.Line("<?xml version=\"1.0\" encoding=\"utf-8\"?>");
  Line(out, "<COLLADA xmlns=\"", kNamespace, "\" version=\"1.4.1\">");
  WriteAsset(out, content);
  std::vector<bool> hasImage = WriteImages(out, content);
  WriteEffects(out, content, hasImage);
  WriteMaterials(out, content);
  WriteGeometries(out, content);
  WriteVisualScenes(out, content);
  out.Line("</COLLADA>");
}

}  // namespace collada
