// Icons on Windows: RSLoadIcon makes a real icon of the module's image (a
// 32-bit colour bitmap with its alpha), which any window can show and
// user32's DestroyIcon releases; the host remembers which resource each icon
// came from, for its log of the icons an add-on sets.
#include "base/windows_text.h"
#include "impl.h"
#include "resc/png_image.h"

using host::ui::I;
using host::ui::U;

namespace {

HICON MakeIcon(const resc::Image& image) {
  BITMAPV5HEADER header{};
  header.bV5Size = sizeof header;
  header.bV5Width = image.width;
  header.bV5Height = -image.height;  // rows top to bottom, as the image's
  header.bV5Planes = 1;
  header.bV5BitCount = 32;
  header.bV5Compression = BI_BITFIELDS;
  header.bV5RedMask = 0x00FF0000;
  header.bV5GreenMask = 0x0000FF00;
  header.bV5BlueMask = 0x000000FF;
  header.bV5AlphaMask = 0xFF000000;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (colour == nullptr || bits == nullptr) {
    if (colour) DeleteObject(colour);
    return nullptr;
  }
  auto* out = static_cast<std::uint8_t*>(bits);
  const std::size_t pixels = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
  for (std::size_t i = 0; i < pixels; ++i) {
    out[i * 4 + 0] = image.rgba[i * 4 + 2];
    out[i * 4 + 1] = image.rgba[i * 4 + 1];
    out[i * 4 + 2] = image.rgba[i * 4 + 0];
    out[i * 4 + 3] = image.rgba[i * 4 + 3];
  }
  HBITMAP mask = CreateBitmap(image.width, image.height, 1, 1, nullptr);
  ICONINFO info{};
  info.fIcon = TRUE;
  info.hbmColor = colour;
  info.hbmMask = mask;
  HICON icon = mask ? CreateIconIndirect(&info) : nullptr;
  DeleteObject(colour);
  if (mask) DeleteObject(mask);
  return icon;
}

}  // namespace

HICON RSLoadIcon(GSResModule module, short iconId, int size) {
  const auto* res = U().Resources(module);
  if (!res || size < 0) return nullptr;
  auto found = res->icons.find(iconId);
  if (found == res->icons.end()) return nullptr;
  resc::Image image;
  std::string why;
  if (!resc::DecodePng(found->second.png, &image, &why)) {
    U().log().Add("error", "icon " + std::to_string(iconId) + ": " + why, {{"icon", iconId}});
    return nullptr;
  }
  HICON icon = MakeIcon(image);
  if (icon) I().icons[icon] = iconId;
  return icon;
}

short RSIconId(HICON icon) {
  auto found = I().icons.find(icon);
  return found == I().icons.end() ? 0 : found->second;
}
