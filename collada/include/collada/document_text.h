// Texts that the COLLADA document carries besides numbers: names made safe
// for XML, image references, identifiers, colours and the creation date.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace collada {

// Escapes " & ' < > as XML entities and converts to UTF-8. Characters that
// XML 1.0 forbids anywhere in a document (control characters other than tab,
// line feed and carriage return, U+FFFE and U+FFFF) become "_", as name
// sanitising does with other characters that are not part of a name; a lone
// surrogate becomes U+FFFD.
std::string XmlText(std::u16string_view text);

// An image reference: UriEncode (spaces, "%", "#" and non-name characters
// percent-encoded, UTF-8 bytes in lower-case hexadecimal), then XmlText.
std::string ImageReference(std::u16string_view path);

// "%lX" of the low 32 bits of a material key: 0x2A and 0x10000002A give "2A",
// the default material's key -1 gives "FFFFFFFF".
std::string MaterialId(std::uint64_t key);
// "%llX" of the whole key, for a material whose 32-bit identifier another
// material of the same document holds already.
std::string LongMaterialId(std::uint64_t key);

// "%0.3f %0.3f %0.3f %0.3f" of (R/256, G/256, B/256, alpha) of an ARGB colour
// whose top byte is ignored: a channel of 255 is "0.996", 128 is "0.500".
std::string FormatColor(std::uint32_t colour, float alpha);

// The name a surface type has in the document ("water", "glass", ...); empty
// for 0 and for values outside 1 to 9.
std::string_view SurfaceTypeName(std::int32_t surfaceType);

// The local time t in the asctime layout with English names whatever the
// locale, ending with its line feed: "Mon Dec  7 00:47:52 2026\n".
std::string AsctimeText(std::time_t t);

}  // namespace collada
