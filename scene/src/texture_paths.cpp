#include "scene/texture_paths.h"

#include "hostsdk/modeler.h"

namespace scene {

TextureFolderNames TextureFolderFor(std::u16string_view base) {
  if (base.empty()) return {};
  std::u16string path(base);
  const std::size_t slash = path.rfind(u'/');
  const std::size_t dot = path.rfind(u'.');
  // Only a "." in the last component starts an extension: "/a/proj.old/House"
  // keeps its name whole.
  if (dot != std::u16string::npos && (slash == std::u16string::npos || dot > slash)) path.resize(dot);
  TextureFolderNames names;
  if (slash == std::u16string::npos) {
    names.name = path + u"_Textures";
    names.folder = names.name;
  } else {
    names.name = path.substr(slash + 1) + u"_Textures";
    names.folder = JoinPath(std::u16string_view(path).substr(0, slash), names.name);
  }
  return names;
}

std::u16string FileExtension(std::u16string_view path) {
  const std::size_t slash = path.rfind(u'/');
  const std::size_t dot = path.rfind(u'.');
  if (dot == std::u16string_view::npos || (slash != std::u16string_view::npos && dot < slash)) return {};
  return std::u16string(path.substr(dot + 1));
}

bool KeepsAlpha(const ModelerAPI::Texture& texture) {
  return texture.HasAlphaChannel() && texture.IsTransparentPattern();
}

std::u16string ImageExtension(const ModelerAPI::Texture& texture) { return KeepsAlpha(texture) ? u"png" : u"jpg"; }

std::u16string ImageFileName(std::uint64_t key, std::u16string_view extension) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  std::u16string name(16, u'0');
  for (int i = 15; i >= 0; --i, key >>= 4) name[static_cast<std::size_t>(i)] = kHex[key & 15];
  if (!extension.empty()) {
    name += u'.';
    name += extension;
  }
  return name;
}

std::u16string JoinPath(std::u16string_view directory, std::u16string_view name) {
  std::u16string path(directory);
  path += u'/';
  path += name;
  return path;
}

}  // namespace scene
