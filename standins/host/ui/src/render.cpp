// Draws a dialog or palette as a PNG picture a person can look at: item
// frames, icons at their places, disabled items faded. Texts are drawn as
// bars (the host stand-in has no font).
#include <fstream>

#include "impl.h"
#include "resc/png_image.h"

namespace host::ui {

namespace {
constexpr int kScale = 2;

void Fill(resc::Image& img, int x, int y, int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  for (int yy = std::max(0, y); yy < std::min(img.height, y + h); ++yy)
    for (int xx = std::max(0, x); xx < std::min(img.width, x + w); ++xx) {
      auto* p = &img.rgba[(static_cast<std::size_t>(yy) * img.width + xx) * 4];
      p[0] = r;
      p[1] = g;
      p[2] = b;
      p[3] = 255;
    }
}

void Frame(resc::Image& img, int x, int y, int w, int h, std::uint8_t c) {
  Fill(img, x, y, w, 1, c, c, c);
  Fill(img, x, y + h - 1, w, 1, c, c, c);
  Fill(img, x, y, 1, h, c, c, c);
  Fill(img, x + w - 1, y, 1, h, c, c, c);
}

// Nearest-neighbour scaling so that the icon fits the item.
resc::Image Fit(const resc::Image& src, int w, int h) {
  int side = std::max(1, std::min(w, h));
  resc::Image out;
  out.width = out.height = side;
  out.rgba.assign(static_cast<std::size_t>(side) * side * 4, 0);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      int sx = x * src.width / side, sy = y * src.height / side;
      std::copy_n(&src.rgba[(static_cast<std::size_t>(sy) * src.width + sx) * 4], 4,
                  &out.rgba[(static_cast<std::size_t>(y) * side + x) * 4]);
    }
  return out;
}

void Fade(resc::Image& img, int x, int y, int w, int h) {
  for (int yy = std::max(0, y); yy < std::min(img.height, y + h); ++yy)
    for (int xx = std::max(0, x); xx < std::min(img.width, x + w); ++xx) {
      auto* p = &img.rgba[(static_cast<std::size_t>(yy) * img.width + xx) * 4];
      for (int k = 0; k < 3; ++k) p[k] = static_cast<std::uint8_t>((p[k] + 3 * 236) / 4);
    }
}
}  // namespace

bool Ui::RenderDialogPng(short dialId, const std::string& path, std::string* error) {
  const DialogState* d = Dialog(dialId);
  if (!d) {
    *error = "no open dialog " + std::to_string(dialId);
    return false;
  }
  if (d->width <= 0 || d->height <= 0 || d->width > 2000 || d->height > 2000) {
    *error = "dialog has no drawable size";
    return false;
  }
  resc::Image img;
  img.width = d->width * kScale;
  img.height = d->height * kScale;
  img.rgba.assign(static_cast<std::size_t>(img.width) * img.height * 4, 0);
  Fill(img, 0, 0, img.width, img.height, 236, 236, 236);
  Frame(img, 0, 0, img.width, img.height, 160);
  for (const auto& it : d->items) {
    if (!it.visible) continue;
    int x = it.rect.x * kScale, y = it.rect.y * kScale, w = it.rect.w * kScale, h = it.rect.h * kScale;
    using K = resc::ItemKind;
    switch (it.kind) {
      case K::Separator: Fill(img, x, y, std::max(w, 1), std::max(h, 1), 150, 150, 150); break;
      case K::Button:
      case K::IconButton:
        Fill(img, x, y, w, h, 250, 250, 250);
        Frame(img, x, y, w, h, 120);
        break;
      case K::Check:
        Frame(img, x, y + h / 2 - 6, 12, 12, 90);
        if (it.value) Fill(img, x + 3, y + h / 2 - 3, 6, 6, 40, 40, 40);
        Fill(img, x + 18, y + h / 2 - 2, std::min<int>(w - 18, static_cast<int>(it.text.size()) * 6), 4, 90, 90, 90);
        break;
      case K::Popup:
      case K::RealEdit:
        Fill(img, x, y, w, std::min(h, 18 * kScale), 255, 255, 255);
        Frame(img, x, y, w, std::min(h, 18 * kScale), 120);
        break;
      case K::Text:
      case K::Link: {
        int len = std::min<int>(w, static_cast<int>(it.text.size()) * 6);
        if (it.kind == K::Link) Fill(img, x, y + h / 2 - 2, len, 4, 40, 90, 200);
        else Fill(img, x, y + h / 2 - 2, len, 4, 90, 90, 90);
        break;
      }
      case K::Picture:
      case K::Icon: break;
    }
    if (it.icon) {
      const auto* res = Resources(it.iconModule);
      auto ic = res ? res->icons.find(it.icon) : decltype(res->icons.end()){};
      resc::Image icon;
      std::string why;
      if (res && ic != res->icons.end() && resc::DecodePng(ic->second.png, &icon, &why)) {
        int pad = it.kind == K::IconButton ? 4 : 0;
        resc::Image fitted = Fit(icon, w - 2 * pad, h - 2 * pad);
        resc::Blit(fitted, &img, x + (w - fitted.width) / 2, y + (h - fitted.height) / 2);
      } else {
        Fill(img, x + 2, y + 2, w - 4, h - 4, 255, 0, 255);  // a missing icon shows as magenta
      }
    }
    if (!it.enabled) Fade(img, x, y, w, h);
  }
  auto png = resc::EncodePng(img);
  if (png.empty()) {
    *error = "PNG encoding failed";
    return false;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  if (!out) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace host::ui
