// Names of the texture folder and of the image files the material library
// writes into it. Paths are POSIX paths; an extension is what follows the
// last "." of the last path component only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ModelerAPI {
class Texture;
}

namespace scene {

struct TextureFolderNames {
  std::u16string folder;  // full path of the folder
  std::u16string name;    // its last component: "<file name>_Textures"
};

// The texture folder beside base: base without its extension, split at its
// last "/" into directory and file name; the folder is
// "<directory>/<file name>_Textures". A base without "/" gives a folder
// relative to the working directory. Empty names for an empty base.
TextureFolderNames TextureFolderFor(std::u16string_view base);

// The text after the last "." of the last component of path; empty when
// that component has no ".".
std::u16string FileExtension(std::u16string_view path);

// "png" for a texture that both has an alpha channel and is a transparent
// pattern (written as 32-bit PNG), otherwise "jpg" (24-bit JPEG).
std::u16string ImageExtension(const ModelerAPI::Texture& texture);
bool KeepsAlpha(const ModelerAPI::Texture& texture);

// "<key as 16 lower-case hex digits>.<extension>" (no "." for an empty one).
std::u16string ImageFileName(std::uint64_t key, std::u16string_view extension);

// directory + "/" + name.
std::u16string JoinPath(std::u16string_view directory, std::u16string_view name);

}  // namespace scene
